#pragma once

// "WEB Connections": the users who reach the server through the web gateway; a web
// connection can be deleted.

#include "ConsoleRequests.h"

#include "GridView.h"

#include <vector>

class QAction;
class QTableView;
class TGridProxy;

struct TWebConnRow {
    TServerText UserName;
    std::int32_t UserId = 0;
    TDateTime LastAccessTime = 0;
};

// "User Name", "Last Access Time".
using TWebConnModel = TGridModel<TWebConnRow>;

class TWebConnForm final : public TGridView {
    Q_OBJECT
public:
    explicit TWebConnForm(QWidget* parent = nullptr);

    void DeleteConnActExecute();

    TWebConnModel* Connections;
    TGridProxy* ConnProxy;
    QTableView* ConnGrid;
    QAction* DeleteConnAct;

private:
    // An automatic load keeps the current connection by its user id.
    bool Load(bool keepPlace) override;
};
