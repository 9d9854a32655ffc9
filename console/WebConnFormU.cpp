#include "WebConnFormU.h"

#include "GridTools.h"
#include "MessageDialogs.h"
#include "RequestRunner.h"
#include "ViewSupport.h"

#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QTableView>
#include <QToolBar>
#include <QVBoxLayout>

namespace {

constexpr TGridColumn<TWebConnRow> kConnColumns[] = {
    {.Header = "User Name",
     .Display = [](const TWebConnRow& r) -> QVariant { return ServerText(r.UserName); }},
    {.Header = "Last Access Time",
     .Display = [](const TWebConnRow& r) -> QVariant {
         return Utf8Text(FormatDisplayDateTime(r.LastAccessTime));
     },
     .Sort = GridField<&TWebConnRow::LastAccessTime>},
};

struct TConnColumn {
    enum : int {
        UserName = GridColumn(kConnColumns, "User Name"),
        LastAccessTime = GridColumn(kConnColumns, "Last Access Time"),
    };
};

} // namespace

TWebConnForm::TWebConnForm(QWidget* parent) : TCenteredDialog(parent) {
    setObjectName(QStringLiteral("WebConnForm"));
    setWindowTitle(QStringLiteral("WEB Connections"));
    resize(460, 360);

    auto* bar = MakeIconToolBar(this);
    RefreshAct =
        AddIconAction(bar, "RefreshAct", "Refresh", "view-refresh", QStyle::SP_BrowserReload);
    DeleteConnAct = AddIconAction(bar, "DeleteConnAct", "Delete Connection", "edit-delete",
                                  QStyle::SP_TrashIcon);
    SetStandardShortcut(RefreshAct, QKeySequence::Refresh);
    SetStandardShortcut(DeleteConnAct, QKeySequence::Delete);
    AutoRefresh = AddAutoRefresh(this, bar, [this](bool automatic) { return Load(automatic); });
    connect(RefreshAct, &QAction::triggered, this, [this] { RefreshActExecute(); });
    connect(DeleteConnAct, &QAction::triggered, this, [this] { DeleteConnActExecute(); });

    Connections = new TWebConnModel(kConnColumns, this);
    ConnProxy = new TGridProxy(Connections, this);
    ConnGrid = MakeGrid("ConnGrid", ConnProxy);
    MakeGridTools(ConnGrid, {"connections", [this](TJsonText& out, int row) {
                                 const TWebConnRow* r = Connections->RowAt(row);
                                 if (r == nullptr)
                                     return;
                                 out.BeginObject();
                                 out.Key("user_name").String(ServerText(r->UserName));
                                 out.Key("user_id").Number(r->UserId);
                                 out.Key("last_access_time").Time(r->LastAccessTime);
                                 out.EndObject();
                             }});
    Connections->SetKey([](const TWebConnRow& r) -> QVariant { return r.UserId; });
    ConnGrid->horizontalHeader()->setSectionResizeMode(TConnColumn::UserName, QHeaderView::Stretch);
    ConnGrid->horizontalHeader()->setSectionResizeMode(TConnColumn::LastAccessTime,
                                                       QHeaderView::ResizeToContents);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(bar);
    layout->addWidget(MakeGridFilter(this, ConnGrid));
    layout->addWidget(ConnGrid, 1);
    KeepLayout(this, {ConnGrid});
    StatusLine = AddStatusLine(layout, AutoRefresh);
}

int TWebConnForm::CurrentRow() const {
    return CurrentGridRow(ConnGrid);
}

void TWebConnForm::SetCurrentRow(int row) {
    SetCurrentGridRow(ConnGrid, row);
}

bool TWebConnForm::RefreshView() {
    return AutoRefresh->Run(false);
}

bool TWebConnForm::Load(bool keepPlace) {
    TWebConnList list;
    if (RunConsoleRequest([&list] { return GetWebConnList(1, list); }) != TExchangeResult::Done)
        return false;
    std::vector<TWebConnRow> rows;
    rows.reserve(list.size());
    bool complete = true;
    for (const TWebConnInfo& c : list) {
        const std::optional<TDateTime> lastAccess = ViewDateTime(c.LastAccessTime);
        if (!lastAccess) {
            complete = false;
            break;
        }
        rows.push_back({c.UserName, c.UserId, *lastAccess});
    }
    const TGridPlace place = SaveGridPlace(ConnGrid);
    Connections->Reset(std::move(rows));
    if (keepPlace)
        RestoreGridPlace(ConnGrid, place);
    else
        SetCurrentRow(0);
    return complete;
}

void TWebConnForm::DeleteConnActExecute() {
    const int shown = ShownGridRow(ConnGrid);
    const int row = CurrentRow();
    if (row < 0 || !ConfirmDeletion("Are you sure about deleting connection?"))
        return;
    const TWebConnRow* r = Connections->RowAt(row);
    if (r == nullptr)
        return;
    const std::int32_t userId = r->UserId;
    if (RunConsoleRequest([userId] { return DeleteWebConn(1, userId); }) != TExchangeResult::Done)
        return;
    Connections->Remove(row);
    SetCurrentRow(std::min(shown, ConnProxy->rowCount() - 1));
}
