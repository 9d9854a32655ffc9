#include "WebConnFormU.h"

#include "MessageDialogs.h"
#include "RequestRunner.h"
#include "ViewSupport.h"

#include <QHeaderView>
#include <QItemSelectionModel>
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
    connect(RefreshAct, &QAction::triggered, this, [this] { RefreshActExecute(); });
    connect(DeleteConnAct, &QAction::triggered, this, [this] { DeleteConnActExecute(); });

    Connections = new TWebConnModel(kConnColumns, this);
    ConnGrid = MakeGrid("ConnGrid", Connections);
    ConnGrid->horizontalHeader()->setSectionResizeMode(TConnColumn::UserName, QHeaderView::Stretch);
    ConnGrid->horizontalHeader()->setSectionResizeMode(TConnColumn::LastAccessTime,
                                                       QHeaderView::ResizeToContents);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(bar);
    layout->addWidget(ConnGrid, 1);
}

int TWebConnForm::CurrentRow() const {
    return CurrentGridRow(ConnGrid);
}

void TWebConnForm::SetCurrentRow(int row) {
    SetCurrentGridRow(ConnGrid, row);
}

bool TWebConnForm::RefreshView() {
    TWebConnList list;
    if (RunConsoleRequest([&list] { return GetWebConnList(1, list); }) != kExchangeDone)
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
    Connections->Reset(std::move(rows));
    SetCurrentRow(0);
    return complete;
}

void TWebConnForm::DeleteConnActExecute() {
    const int row = CurrentRow();
    if (row < 0 || !ConfirmDeletion("Are you sure about deleting connection?"))
        return;
    const TWebConnRow* r = Connections->RowAt(row);
    if (r == nullptr)
        return;
    const std::int32_t userId = r->UserId;
    if (RunConsoleRequest([userId] { return DeleteWebConn(1, userId); }) != kExchangeDone)
        return;
    Connections->Remove(row);
    SetCurrentRow(std::min(row, Connections->rowCount() - 1));
}
