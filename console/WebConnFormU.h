#pragma once

// "WEB Connections": the users who reach the server through the web gateway; a web
// connection can be deleted.

#include "ConsoleRequests.h"

#include "AutoRefresh.h"
#include "GridModel.h"
#include "ViewSupport.h"

#include <vector>

class QAction;
class QLabel;
class QTableView;
class TGridProxy;

struct TWebConnRow {
    TServerText UserName;
    std::int32_t UserId = 0;
    TDateTime LastAccessTime = 0;
};

// "User Name", "Last Access Time".
using TWebConnModel = TGridModel<TWebConnRow>;

class TWebConnForm final : public TCenteredDialog {
    Q_OBJECT
public:
    explicit TWebConnForm(QWidget* parent = nullptr);

    bool RefreshView();
    void RefreshActExecute() { RefreshView(); }
    void DeleteConnActExecute();

    // The current connection's row in Connections, or -1.
    int CurrentRow() const;
    // Makes the connection shown at `row` (as sorted and filtered) current.
    void SetCurrentRow(int row);

    TWebConnModel* Connections;
    TGridProxy* ConnProxy;
    QTableView* ConnGrid;
    QAction* RefreshAct;
    QAction* DeleteConnAct;
    TAutoRefresh* AutoRefresh;
    QLabel* StatusLine;

private:
    // The load behind both refreshes; an automatic one keeps the current connection by its
    // user id, the selection and the scroll position.
    bool Load(bool keepPlace);
};
