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
class QTableView;

struct TDBResultRow {
    QString Kind;
    QString UserName;
    QString Desc; // always empty
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

    int CurrentRow() const;
    void SetCurrentRow(int row);

    TDBModel* Databases;
    TDBResultModel* Results;
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
