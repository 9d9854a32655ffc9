#pragma once

// "Local Connections": the clients connected to the server directly, the details of the
// selected one and the results the server holds for it; a connection can be deleted.

#include "ConsoleRequests.h"

#include "GridView.h"

#include <QString>
#include <cstdint>
#include <unordered_map>
#include <vector>

class QAction;
class QLineEdit;
class QSplitter;
class TGridProxy;
class TJsonText;
class QTableView;

// One result of the current connection as its grid shows it.
struct TLocResultRow {
    QString Kind;
    QString DBName;
    QString Desc;
    // As the server sent them, for export.
    std::uint8_t KindNumber = 0;
    std::uint16_t DBHandle = 0;
    std::uint16_t Lifetime = 0;
};

struct TLocConnRow {
    TServerText UserName; // sent back as they came by a delete
    std::int32_t SecurityNum = 0;
    std::uint8_t StatusByte = 0;
    QString Status;
    std::int32_t RequestsCount = 0;
    std::uint16_t ASyncRequests = 0;
    std::uint16_t ResultsCount = 0;
    TDateTime ConnectTime = 0;
    TDateTime LastRequestTime = 0;
    std::uint16_t CaptureFlags = 0;
    std::uint16_t CapturedDBId = 0;
    std::uint16_t CapturedTextBankId = 0;
    // As the server sent them: their texts are made when the connection becomes current.
    std::vector<TLocConnResult> Results;
};

// The connections table: "User Name".
using TLocConnModel = TGridModel<TLocConnRow>;
// The result table of the current connection: "Kind", "Database", "Description".
using TLocResultModel = TGridModel<TLocResultRow>;

class TLocConnForm final : public TGridView {
    Q_OBJECT
public:
    explicit TLocConnForm(QWidget* parent = nullptr);

    void DeleteConnActExecute();

    TLocConnModel* Connections;
    TLocResultModel* Results;
    QTableView* ConnGrid;
    QTableView* ResultGrid;
    // What the grids show of the two tables: sorted, and the connections filtered.
    TGridProxy* ConnProxy;
    TGridProxy* ResultProxy;
    QSplitter* Splitter;
    QAction* DeleteConnAct;
    QLineEdit* StatusEdit;
    QLineEdit* RequestsCountEdit;
    QLineEdit* ASyncRequestsEdit;
    QLineEdit* ResultsCountEdit;
    QLineEdit* ConnectTimeEdit;
    QLineEdit* LastRequestTimeEdit;

private:
    // An automatic load keeps the current connection by its user name and security number.
    bool Load(bool keepPlace) override;
    void ShowCurrent() override;
    std::vector<TLocResultRow> ResultRows(const TLocConnRow& row) const;
    void WriteConnectionJson(TJsonText& out, const TLocConnRow& row) const;

    // The names of the databases that own the loaded results, by handle, as of the last load.
    std::unordered_map<std::uint16_t, QString> databaseNames_;
};
