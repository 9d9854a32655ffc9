#pragma once

// "Databases": the databases the server has defined, the details of the selected one and the
// results held on it.

#include "ConsoleRequests.h"

#include "AutoRefresh.h"
#include "GridModel.h"
#include "ViewSupport.h"

#include <QString>
#include <vector>

class QAction;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QSplitter;
class QTableView;
class TGridProxy;

struct TDBResultRow {
    QString Kind;
    QString UserName;
    QString Desc;                // always empty
    std::uint8_t KindNumber = 0; // as the server sent it, for export
};

struct TDBRow {
    QString Name;
    std::uint16_t Id = 0;
    QString Path;
    QString Status;
    bool IsParent = false;
    std::uint16_t ChildCount = 0;
    QString ChildHoodStr;
    QString ChildListStr; // lines separated by CR LF
    std::vector<std::uint16_t> ChildIds;
    std::uint16_t ResCount = 0;
    std::vector<TDBResultRow> ResList;
};

// "ID", "Database Name", "Staus".
using TDBModel = TGridModel<TDBRow>;
// "Kind", "User Name", "Description" of the current database.
using TDBResultModel = TGridModel<TDBResultRow>;

class TDBListForm final : public TCenteredDialog {
    Q_OBJECT
public:
    explicit TDBListForm(QWidget* parent = nullptr);

    bool RefreshView();
    void RefreshActExecute() { RefreshView(); }

    // The current database's row in Databases, or -1.
    int CurrentRow() const;
    // Makes the database shown at `row` (as sorted and filtered) current.
    void SetCurrentRow(int row);

    TDBModel* Databases;
    TDBResultModel* Results;
    TGridProxy* DBProxy;
    TGridProxy* ResultProxy;
    QSplitter* Splitter;
    QTableView* DBGrid;
    QTableView* ResultGrid;
    QAction* RefreshAct;
    QLineEdit* PathEdit;
    QLineEdit* ResCountEdit;
    QLineEdit* ChildHoodEdit;
    QPlainTextEdit* ChildListMemo;
    TAutoRefresh* AutoRefresh;
    QLabel* StatusLine;

private:
    // The load behind both refreshes; an automatic one keeps the current database by its id,
    // the selection and the scroll position.
    bool Load(bool keepPlace);
    void ShowCurrent();
};
