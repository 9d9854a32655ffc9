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

TWebConnForm::TWebConnForm(QWidget* parent) : TGridView(parent, "WebConnForm", "WEB Connections") {
    resize(460, 360);
    DeleteConnAct =
        AddDeleteAction("DeleteConnAct", "Delete Connection", [this] { DeleteConnActExecute(); });

    const TViewGrid<TWebConnRow> grid = MakeViewGrid(
        this, "ConnGrid", kConnColumns, "connections", [](TJsonText& out, const TWebConnRow& r) {
            out.BeginObject();
            out.Key("user_name").String(ServerText(r.UserName));
            out.Key("user_id").Number(r.UserId);
            out.Key("last_access_time").Time(r.LastAccessTime);
            out.EndObject();
        });
    Connections = grid.Model;
    ConnProxy = grid.Proxy;
    ConnGrid = grid.Grid;
    Connections->SetKey([](const TWebConnRow& r) -> QVariant { return r.UserId; });
    ConnGrid->horizontalHeader()->setSectionResizeMode(TConnColumn::UserName, QHeaderView::Stretch);
    ConnGrid->horizontalHeader()->setSectionResizeMode(TConnColumn::LastAccessTime,
                                                       QHeaderView::ResizeToContents);
    SetMainGrid(ConnGrid);
    SetBody(GridWithFilter(this, ConnGrid));
    KeepLayout(this, {ConnGrid});
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
    ShowRows(Connections, std::move(rows), keepPlace);
    return complete;
}

void TWebConnForm::DeleteConnActExecute() {
    DeleteCurrentRow(Connections, "Are you sure about deleting connection?",
                     [](const TWebConnRow& r) {
                         return RunConsoleRequest([&r] { return DeleteWebConn(1, r.UserId); });
                     });
}
