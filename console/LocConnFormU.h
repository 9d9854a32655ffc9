#pragma once

// "Local Connections": the clients connected to the server directly, the details of the
// selected one and the results the server holds for it; a connection can be deleted.

#include "ConsoleRequests.h"

#include "AutoRefresh.h"
#include "GridModel.h"
#include "ViewSupport.h"

#include <QString>
#include <cstdint>
#include <unordered_map>
#include <vector>

class QAction;
class QLabel;
class QLineEdit;
class QTableView;

// One result of the current connection as its grid shows it.
struct TLocResultRow {
    QString Kind;
    QString DBName;
    QString Desc;
};

struct TLocConnRow {
    std::string UserName; // the server's bytes, sent back as they came by a delete
    std::int32_t SecurityNum = 0;
    QString Status;
    std::int32_t RequestsCount = 0;
    std::uint16_t ASyncRequests = 0;
    std::uint16_t ResultsCount = 0;
    TDateTime ConnectTime = 0;
    TDateTime LastRequestTime = 0;
    // As the server sent them: their texts are made when the connection becomes current.
    std::vector<TLocConnResult> Results;
};

// The connections table: "User Name".
using TLocConnModel = TGridModel<TLocConnRow>;
// The result table of the current connection: "Kind", "Database", "Description".
using TLocResultModel = TGridModel<TLocResultRow>;

class TLocConnForm final : public TCenteredDialog {
    Q_OBJECT
public:
    explicit TLocConnForm(QWidget* parent = nullptr);

    // Reloads both tables from server 1 and makes the first connection current; a failed load
    // keeps the rows.
    bool RefreshView();
    void RefreshActExecute() { RefreshView(); }
    void DeleteConnActExecute();

    // The selected connection's row, or -1.
    int CurrentRow() const;
    void SetCurrentRow(int row);

    TLocConnModel* Connections;
    TLocResultModel* Results;
    QTableView* ConnGrid;
    QTableView* ResultGrid;
    QAction* RefreshAct;
    QAction* DeleteConnAct;
    QLineEdit* StatusEdit;
    QLineEdit* RequestsCountEdit;
    QLineEdit* ASyncRequestsEdit;
    QLineEdit* ResultsCountEdit;
    QLineEdit* ConnectTimeEdit;
    QLineEdit* LastRequestTimeEdit;
    TAutoRefresh* AutoRefresh;
    QLabel* StatusLine;

private:
    // The load behind both refreshes; an automatic one keeps the current connection by its
    // user name and security number, the selection and the scroll position.
    bool Load(bool keepPlace);
    void ShowCurrent();

    // The names of the databases that own the loaded results, by handle, as of the last load.
    std::unordered_map<std::uint16_t, QString> databaseNames_;
};
