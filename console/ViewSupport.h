#pragma once

// Small pieces that every window of the console shares: server texts for display, toolbar
// icons, placement, and the date-times of the views.

#include "ConsoleRequests.h"

#include <QDialog>
#include <QIcon>
#include <QString>
#include <QStyle>
#include <optional>
#include <string>

class QAction;
class QToolBar;
class QWidget;

// A server text (Windows-1256) as display text: the one place where the console decodes one.
QString ServerText(const TServerText& text);
// The same, with every line end (CR LF, or carriage returns before a line feed) made one line
// feed, as a text area breaks its lines.
QString ServerLines(const TServerText& text);
// UTF-8 as display text.
QString Utf8Text(const std::string& utf8);

// An icon of the desktop theme, or Qt's standard icon when the theme has none.
QIcon ThemeIcon(const char* themeName, QStyle::StandardPixmap fallback);

// A toolbar of icon buttons without captions (the action's text stays as the tool tip).
QToolBar* MakeIconToolBar(QWidget* parent);
QAction* AddIconAction(QToolBar* bar, const char* objectName, const char* toolTip,
                       const char* themeName, QStyle::StandardPixmap fallback);

// Moves a top-level window to the middle of the screen it is on.
void CenterOnScreen(QWidget* window);

// A window of the console that opens in the middle of its screen.
class TCenteredDialog : public QDialog {
public:
    using QDialog::QDialog;

protected:
    void showEvent(QShowEvent* event) override;
};

// A length in pixels at 96 dots per inch, scaled to the screen the widget is on.
int ScreenPixels(const QWidget* widget, int pixelsAt96);

// A server date-time for a view; on an invalid one the error box is shown and nothing is
// returned, and the view stops its load there.
std::optional<TDateTime> ViewDateTime(const TServerDateTime& value);
// The message of that error box.
std::string InvalidDateTimeText(const TServerDateTime& value);

class QAbstractItemModel;
class QFormLayout;
class QLineEdit;
class QTableView;

// A read-only value box under its caption in a details pane.
QLineEdit* AddDetail(QFormLayout* form, const char* caption, const char* name);
// A read-only grid over a model: whole rows selected one at a time, no row numbers.
QTableView* MakeGrid(const char* name, QAbstractItemModel* model);
// The row of a grid's current cell in the grid's own rows (the form's model, whatever the
// sorting and filtering of what is shown), or -1.
int CurrentGridRow(const QTableView* grid);
// The place of the current row among the rows shown, or -1.
int ShownGridRow(const QTableView* grid);
// Makes the row shown at `row` current and selects it; a row out of range leaves none current.
void SetCurrentGridRow(QTableView* grid, int row);
// Writes `bytes` as the whole file `path`, beside it first and put in its place when whole, so
// that a full disk or a closed folder leaves the file that was there as it was. On failure the
// reason is answered (and nothing is shown).
std::optional<QString> WriteWholeFile(const QString& path, const QByteArray& bytes);
// The same, with the box "Cannot write the file <path>: <reason>" on failure; false then.
bool WriteWholeFileOrSay(const QString& path, const QByteArray& bytes);

// Asks `question` with Yes, No and Cancel: true on Yes alone.
bool ConfirmDeletion(const char* question);
