#include "LocConnFormU.h"

#include "GridTools.h"
#include "MessageDialogs.h"
#include "RequestRunner.h"
#include "ViewRules.h"
#include "ViewSupport.h"

#include <QFormLayout>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QLineEdit>
#include <QSplitter>
#include <QTableView>
#include <QToolBar>
#include <QVBoxLayout>

namespace {

constexpr TGridColumn<TLocConnRow> kConnColumns[] = {
    {.Header = "User Name",
     .Display = [](const TLocConnRow& r) -> QVariant { return ServerText(r.UserName); }},
};

void WriteResultJson(TJsonText& out, const TLocResultRow& r) {
    out.BeginObject();
    out.Key("kind").Number(r.KindNumber);
    out.Key("kind_text").String(r.Kind);
    out.Key("db_handle").Number(r.DBHandle);
    out.Key("db_name").String(r.DBName);
    out.Key("lifetime").Number(r.Lifetime);
    out.Key("description").String(r.Desc);
    out.EndObject();
}

constexpr TGridColumn<TLocResultRow> kResultColumns[] = {
    {.Header = "Kind", .Display = GridField<&TLocResultRow::Kind>},
    {.Header = "Database", .Display = GridField<&TLocResultRow::DBName>},
    {.Header = "Description", .Display = GridField<&TLocResultRow::Desc>},
};

struct TResultColumn {
    enum : int {
        Kind = GridColumn(kResultColumns, "Kind"),
        Database = GridColumn(kResultColumns, "Database"),
        Description = GridColumn(kResultColumns, "Description"),
    };
};

} // namespace

// ---- the window

TLocConnForm::TLocConnForm(QWidget* parent)
    : TGridView(parent, "LocConnForm", "Local Connections") {
    resize(760, 480);
    DeleteConnAct =
        AddDeleteAction("DeleteConnAct", "Delete Connection", [this] { DeleteConnActExecute(); });

    const TViewGrid<TLocConnRow> connections =
        MakeViewGrid(this, "ConnGrid", kConnColumns, "connections",
                     [this](TJsonText& out, const TLocConnRow& r) { WriteConnectionJson(out, r); });
    Connections = connections.Model;
    ConnProxy = connections.Proxy;
    ConnGrid = connections.Grid;
    Connections->SetKey([](const TLocConnRow& r) -> QVariant {
        return QVariantList{QByteArray::fromStdString(r.UserName.Bytes), r.SecurityNum};
    });
    ConnGrid->horizontalHeader()->setStretchLastSection(true);

    auto* form = new QFormLayout;
    StatusEdit = AddDetail(form, "Status", "StatusEdit");
    RequestsCountEdit = AddDetail(form, "Requests Count", "RequestsCountEdit");
    ASyncRequestsEdit = AddDetail(form, "Async Requests Count", "ASyncRequestsEdit");
    ResultsCountEdit = AddDetail(form, "Resuts Count", "ResultsCountEdit");
    ConnectTimeEdit = AddDetail(form, "Connect Time", "ConnectTimeEdit");
    LastRequestTimeEdit = AddDetail(form, "Last Request Time", "LastRequestTimeEdit");

    const TViewGrid<TLocResultRow> results =
        MakeViewGrid(this, "ResultGrid", kResultColumns, "results", WriteResultJson);
    Results = results.Model;
    ResultProxy = results.Proxy;
    ResultGrid = results.Grid;
    // The database name is the widest column.
    ResultGrid->horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
    ResultGrid->horizontalHeader()->setSectionResizeMode(TResultColumn::Database,
                                                         QHeaderView::Stretch);
    const QFontMetrics metrics = ResultGrid->fontMetrics();
    ResultGrid->setColumnWidth(TResultColumn::Kind,
                               metrics.horizontalAdvance(QStringLiteral("Multi-DB Search Result")) +
                                   16);
    ResultGrid->setColumnWidth(TResultColumn::Description,
                               metrics.horizontalAdvance(QStringLiteral("Permanent By Database")) +
                                   16);

    Splitter = new QSplitter(Qt::Horizontal);
    Splitter->addWidget(GridWithFilter(this, ConnGrid));
    Splitter->addWidget(MakeDetailsPane(form, MakeGridHeading("Result List"), ResultGrid));
    Splitter->setStretchFactor(1, 1);
    Splitter->setSizes({190, 570});

    SetMainGrid(ConnGrid);
    SetBody(Splitter);
    KeepLayout(this, {ConnGrid, ResultGrid}, Splitter);
}

void TLocConnForm::WriteConnectionJson(TJsonText& out, const TLocConnRow& r) const {
    out.BeginObject();
    out.Key("user_name").String(ServerText(r.UserName));
    out.Key("security_num").Number(r.SecurityNum);
    out.Key("status").Number(r.StatusByte);
    out.Key("status_text").String(r.Status);
    out.Key("requests_count").Number(r.RequestsCount);
    out.Key("async_requests").Number(r.ASyncRequests);
    out.Key("results_count").Number(r.ResultsCount);
    out.Key("connect_time").Time(r.ConnectTime);
    out.Key("last_request_time").Time(r.LastRequestTime);
    out.Key("capture_flags").Number(r.CaptureFlags);
    out.Key("captured_db_id").Number(r.CapturedDBId);
    out.Key("captured_text_bank_id").Number(r.CapturedTextBankId);
    out.Key("results").BeginArray();
    for (const TLocResultRow& result : ResultRows(r))
        WriteResultJson(out, result);
    out.EndArray().EndObject();
}

void TLocConnForm::ShowCurrent() {
    const TLocConnRow* r = Connections->RowAt(CurrentRow());
    if (r == nullptr) {
        Results->Clear();
        for (QLineEdit* edit : {StatusEdit, RequestsCountEdit, ASyncRequestsEdit, ResultsCountEdit,
                                ConnectTimeEdit, LastRequestTimeEdit})
            edit->clear();
        return;
    }
    StatusEdit->setText(r->Status);
    RequestsCountEdit->setText(QString::number(r->RequestsCount));
    ASyncRequestsEdit->setText(QString::number(r->ASyncRequests));
    ResultsCountEdit->setText(QString::number(r->ResultsCount));
    ConnectTimeEdit->setText(Utf8Text(FormatDisplayDateTime(r->ConnectTime)));
    LastRequestTimeEdit->setText(Utf8Text(FormatDisplayDateTime(r->LastRequestTime)));
    Results->Reset(ResultRows(*r));
}

std::vector<TLocResultRow> TLocConnForm::ResultRows(const TLocConnRow& r) const {
    std::vector<TLocResultRow> results;
    results.reserve(r.Results.size());
    for (const TLocConnResult& result : r.Results) {
        const auto name = databaseNames_.find(result.DBHandle);
        results.push_back({Utf8Text(ResultKindName(result.Kind)),
                           name != databaseNames_.end() ? name->second : QString(),
                           Utf8Text(LifetimeText(result.Lifetime)), result.Kind, result.DBHandle,
                           result.Lifetime});
    }
    return results;
}

bool TLocConnForm::Load(bool keepPlace) {
    TLocConnList list;
    if (RunConsoleRequest([&list] { return GetLocalConnList(1, list); }) != TExchangeResult::Done)
        return false;
    std::vector<TLocConnRow> rows;
    rows.reserve(list.size());
    std::unordered_map<std::uint16_t, QString> databaseNames;
    // Which handles have been looked up: far fewer databases than results.
    std::vector<bool> named(std::size_t{1} << 16);
    bool complete = true;
    for (TLocConnInfo& c : list) {
        const std::optional<TDateTime> connectTime = ViewDateTime(c.ConnectTime);
        const std::optional<TDateTime> lastRequestTime =
            connectTime ? ViewDateTime(c.LastRequestTime) : std::nullopt;
        if (!connectTime || !lastRequestTime) {
            // The rows appended so far stay.
            complete = false;
            break;
        }
        // A database is looked up once a load, whatever the number of its results.
        for (const TLocConnResult& r : c.Results)
            if (!named[r.DBHandle]) {
                named[r.DBHandle] = true;
                databaseNames.emplace(r.DBHandle, ServerText(ResultDatabaseName(1, r.DBHandle)));
            }
        TLocConnRow row;
        row.UserName = std::move(c.UserName);
        row.SecurityNum = c.SecurityNum;
        row.StatusByte = c.Status;
        row.CaptureFlags = c.CaptureFlags;
        row.CapturedDBId = c.CapturedDBId;
        row.CapturedTextBankId = c.CapturedTextBankId;
        row.Status = Utf8Text(LocalConnStatusText(c));
        row.RequestsCount = c.RequestsCount;
        row.ASyncRequests = c.ASyncRequests;
        row.ResultsCount = c.ResultsCount;
        row.ConnectTime = *connectTime;
        row.LastRequestTime = *lastRequestTime;
        row.Results = std::move(c.Results);
        rows.push_back(std::move(row));
    }
    ReleaseLocalConnList(list);
    databaseNames_ = std::move(databaseNames);
    ShowRows(Connections, std::move(rows), keepPlace);
    return complete;
}

void TLocConnForm::DeleteConnActExecute() {
    DeleteCurrentRow(Connections, "Are you sure about deleting connection?",
                     [](const TLocConnRow& r) {
                         return RunConsoleRequest(
                             [&r] { return DeleteLocalConn(1, r.UserName, r.SecurityNum); });
                     });
}
