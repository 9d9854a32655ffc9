#pragma once

// What every grid of the console offers beyond showing its rows: sorting by a click on a
// header, a filter field with its "N of M" count above the outer grids, Copy, Select All and
// Export... in a context menu, and a layout (column widths, sort, splitter, window place)
// that is kept in the configuration store between runs.

#include <QCollator>
#include <QKeySequence>
#include <QLocale>
#include <QObject>
#include <QSortFilterProxyModel>
#include <QString>

#include <functional>
#include <string>
#include <vector>

class QAction;
class QLabel;
class QLineEdit;
class QSplitter;
class QTableView;
class QWidget;

// Sorts by each cell's kGridSortRole value: numbers and date-times by value, texts by the
// collation of a locale (the user's by default). Keeps the rows of which any cell contains the
// filter text, case-insensitively.
class TGridProxy final : public QSortFilterProxyModel {
    Q_OBJECT
public:
    explicit TGridProxy(QAbstractItemModel* source, QObject* parent = nullptr);

    void SetCollationLocale(const QLocale& locale);
    void SetFilterText(const QString& text);
    const QString& FilterText() const { return filter_; }

protected:
    bool lessThan(const QModelIndex& left, const QModelIndex& right) const override;
    bool filterAcceptsRow(int sourceRow, const QModelIndex& sourceParent) const override;

private:
    QCollator collator_;
    QString filter_;
};

// The grid's model as the form knows it: the proxy's source, or the grid's model itself.
QAbstractItemModel* GridSourceModel(const QTableView* grid);
// The row of the grid's source model shown at `shownRow`, or -1.
int GridSourceRow(const QTableView* grid, int shownRow);

// The JSON text of one row of a grid's source model, as `zephran-admin --json` writes the
// same record.
class TJsonText;
using TGridJsonRow = std::function<void(TJsonText& out, int sourceRow)>;

// A grid's export: the list key of the JSON document and the writer of one record.
struct TGridJson {
    const char* ListKey = nullptr;
    TGridJsonRow Row;
};

// Gives a grid (made over a TGridProxy) sortable headers, whole rows selected one or many at a
// time, Ctrl+C, and a context menu with Copy, Select All and Export...
void MakeGridTools(QTableView* grid, TGridJson json);

// The filter field and its count above an outer grid: Ctrl+F in `window` focuses the field,
// Esc in it clears it. Returns the row of the two to put above the grid.
QWidget* MakeGridFilter(QWidget* window, QTableView* grid);
// A panel holding the grid's filter above the grid.
QWidget* GridWithFilter(QWidget* window, QTableView* grid);
// The filter field and the count label of a grid given a filter.
QLineEdit* GridFilterEdit(const QTableView* grid);
QLabel* GridCountLabel(const QTableView* grid);

// The selected rows as tab-separated text with the header row, in the order shown; every row
// shown when none is selected.
QString GridSelectionText(const QTableView* grid);
void CopyGridSelection(const QTableView* grid);

// Writes the rows shown to `path`: JSON when the name ends in ".json", CSV otherwise. A file
// that cannot be written gets a message and is left as it was; false then.
bool ExportGrid(const QTableView* grid, const QString& path);
// The CSV text (UTF-8, CR LF line ends) of the rows shown, with the header row. A cell that a
// spreadsheet would run as a formula is written with a leading apostrophe.
QByteArray GridCsv(const QTableView* grid);
// The JSON text of the rows shown: one object with the list under its key.
QByteArray GridJsonText(const QTableView* grid);

// Makes an action's shortcut a standard key and names it in the tool tip.
void SetStandardShortcut(QAction* action, QKeySequence::StandardKey key);

// A window's remembered layout, under "<window's object name>/...". The grids' column widths
// and sort, the splitter's sizes and the window's place are read now and written whenever the
// window is hidden. A place that lies off every screen is ignored.
void KeepLayout(QWidget* window, std::vector<QTableView*> grids, QSplitter* splitter = nullptr);

// Writes the text that the JSON documents of export hold.
class TJsonText {
public:
    TJsonText& BeginObject();
    TJsonText& EndObject();
    TJsonText& BeginArray();
    TJsonText& EndArray();
    TJsonText& Key(const char* key);
    TJsonText& String(const QString& value);
    TJsonText& Utf8(const std::string& value);
    TJsonText& Number(long long value);
    // A number of any size; null when it is not finite.
    TJsonText& Real(double value);
    TJsonText& Bool(bool value);
    TJsonText& Null();
    // A date-time as "YYYY-MM-DDTHH:MM:SS".
    TJsonText& Time(double value);
    const QByteArray& Text() const { return text_; }

private:
    void Separate();
    TJsonText& Open(char bracket);
    TJsonText& Close(char bracket);
    // A value written as it is.
    TJsonText& Raw(const QByteArray& value);
    QByteArray text_;
    bool first_ = true;
};
