#pragma once

// "Error Log": the server's error log as read-only text.

#include "AutoRefresh.h"
#include "ViewSupport.h"
#include <QAbstractScrollArea>

#include <QDialog>
#include <QString>
#include <string>
#include <vector>

class QAction;
class QLabel;
class QLineEdit;

// A read-only text area for a log of any size: it keeps the text and where each line starts,
// and draws only the lines in view, so a log of many megabytes shows at once. Text is selected
// by character with the mouse (drag, Shift+click, double-click a word) or the keyboard
// (Shift+arrows), and copied with Ctrl+C. A find marks every match.
class TLogView final : public QAbstractScrollArea {
public:
    explicit TLogView(QWidget* parent = nullptr);

    // Lines are separated by line feeds.
    void SetPlainText(QString text);
    void Clear() { SetPlainText(QString()); }
    const QString& toPlainText() const { return text_; }
    int LineCount() const { return static_cast<int>(starts_.size()); }
    QString Line(int index) const;
    // The selected characters, from and to (to not included); both -1 when none.
    std::pair<qsizetype, qsizetype> Selection() const;
    QString SelectedText() const;
    // The caret, or -1.
    qsizetype Cursor() const { return cursor_; }
    // Selects from `from` to `to` (the caret there) and brings the caret into view.
    void Select(qsizetype from, qsizetype to);
    void SelectAll();
    void Copy() const;
    // The first line in view.
    int TopLine() const;
    int LineOf(qsizetype position) const;

    // Marks every place of `text` (case-insensitively); an empty text marks none.
    void SetFindText(const QString& text);
    const QString& FindText() const { return find_; }
    qsizetype MatchCount() const { return static_cast<qsizetype>(matches_.size()); }
    // The match selected by the last FindNext or FindPrevious (0 the first), or -1.
    qsizetype CurrentMatch() const { return currentMatch_; }
    // Selects the next match after the caret (the previous one before the selection), going
    // round at the end; false when there is none.
    bool FindNext();
    bool FindPrevious();

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void changeEvent(QEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;

private:
    void UpdateScrollBars();
    int LineAt(int y) const;
    int LineHeight() const;
    qsizetype LineStart(int line) const;
    qsizetype LineEnd(int line) const;
    qsizetype PositionAt(const QPoint& point) const;
    int TextLeft() const;
    void MoveCursor(qsizetype position, bool extend);
    void ShowCursor();
    void SelectMatch(std::size_t index);

    QString text_;
    std::vector<int> starts_;
    int widestLine_ = 0; // in characters
    qsizetype anchor_ = -1;
    qsizetype cursor_ = -1;
    QString find_;
    std::vector<qsizetype> matches_;
    qsizetype currentMatch_ = -1;
};

class TErrorLogForm final : public TCenteredDialog {
    Q_OBJECT
public:
    explicit TErrorLogForm(QWidget* parent = nullptr);

    // Replaces the text with the server's whole log; after a failed chunk the text read so far
    // stays.
    bool RefreshView();

    // The log as last loaded, every line ending in CR LF (the server's bytes).
    const TServerText& LogText() const { return text_; }

    // Writes the log as shown: UTF-8, with the platform's line ends. A file that cannot be
    // written gets a message and is left as it was; false then.
    bool SaveAs(const QString& path);

    TLogView* LogMemo;
    QWidget* FindBar;
    QLineEdit* FindEdit;
    QLabel* MatchCountLbl;
    QAction* FindAct;
    QAction* FindNextAct;
    QAction* FindPreviousAct;
    QAction* CopyAct;
    QAction* SelectAllAct;
    QAction* SaveAsAct;
    TAutoRefresh* AutoRefresh;
    QLabel* StatusLine;

private:
    void UpdateMatchCount();
    // The load behind both refreshes; an automatic one keeps the scroll position, and a log
    // scrolled to its end stays at its end as it grows.
    bool Load(bool keepPlace);

    TServerText text_;
};
