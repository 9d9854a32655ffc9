#include "HTTPSessionsFormU.h"

#include "GridView.h"

#include <QAction>
#include <QGridLayout>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QSplitter>
#include <QTableView>
#include <QToolBar>
#include <QVBoxLayout>
#include <algorithm>

namespace {

QVariant SessionUserName(const THTTPSessionRow& r) {
    return Utf8Text(ServerUserName(r));
}

// A name too long for the column is cut in its middle; the tool tip shows it whole.
constexpr TGridColumn<THTTPSessionRow> kSessionColumns[] = {
    {.Header = "User Name", .Display = SessionUserName, .ToolTip = SessionUserName},
};

constexpr TGridColumn<TDBResourceRow> kResourceColumns[] = {
    {.Header = "DB ID",
     .Display = GridField<&TDBResourceRow::DBId>,
     .Alignment = kGridNumberAlignment,
     .Width = 50},
    {.Header = "Database Name",
     .Display = [](const TDBResourceRow& r) -> QVariant { return Utf8Text(r.DBName); },
     .Width = 253},
    {.Header = "Append File ID",
     .Display = GridField<&TDBResourceRow::AppFileId>,
     .Alignment = kGridNumberAlignment,
     .Width = 84},
    {.Header = "Edit File ID",
     .Display = GridField<&TDBResourceRow::EditFileId>,
     .Alignment = kGridNumberAlignment,
     .Width = 77},
};

void WriteResourceJson(TJsonText& out, const TDBResourceRow& r) {
    out.BeginObject();
    out.Key("db_id").Number(r.DBId);
    out.Key("db_name").Utf8(r.DBName);
    out.Key("app_file_id").Number(r.AppFileId);
    out.Key("app_file_handle").Number(r.AppFileHandle);
    out.Key("edit_file_id").Number(r.EditFileId);
    out.Key("edit_file_handle").Number(r.EditFileHandle);
    out.EndObject();
}

void WriteSessionJson(TJsonText& out, const THTTPSessionRow& r) {
    out.BeginObject();
    out.Key("session_id").Number(r.SessionId);
    out.Key("server_idx").Number(r.ServerIdx);
    out.Key("server_name").Utf8(r.ServerName);
    out.Key("center_name").Utf8(r.ECenterName);
    out.Key("user_id").Number(r.UserId);
    out.Key("user_name").Utf8(r.UserName);
    out.Key("kind").Number(r.KindNumber);
    out.Key("kind_text").Utf8(r.Kind);
    out.Key("last_access").Real(r.LastAccessTime);
    out.Key("last_access_text").Utf8(LastAccessTimeText(r.LastAccessTime));
    out.Key("resources").BeginArray();
    for (const TDBResourceRow& resource : r.DBResourceList)
        WriteResourceJson(out, resource);
    out.EndArray().EndObject();
}

struct TSessionColumn {
    enum : int { UserName = GridColumn(kSessionColumns, "User Name") };
};

QLabel* AddLabelRow(QGridLayout* grid, int row, const char* caption, const char* name) {
    auto* value = new QLabel;
    value->setObjectName(QString::fromLatin1(name));
    value->setTextInteractionFlags(Qt::TextSelectableByMouse);
    // Left also for a centre name in a right-to-left script, as the captions are.
    value->setAlignment(Qt::AlignAbsolute | Qt::AlignLeft | Qt::AlignVCenter);
    grid->addWidget(new QLabel(QString::fromLatin1(caption)), row, 0);
    grid->addWidget(value, row, 1);
    return value;
}

} // namespace

TSessionListForm::TSessionListForm(QWidget* parent) : TCenteredDialog(parent) {
    setObjectName(QStringLiteral("SessionListForm"));
    setWindowTitle(QStringLiteral("HTTP Sessions"));
    const auto px = [this](int pixels) { return ScreenPixels(this, pixels); };

    SessionListBar = MakeIconToolBar(this);
    SessionListBar->setObjectName(QStringLiteral("SessionListBar"));
    RefreshAct = AddRefreshButton(SessionListBar, [this] { RefreshActExecute(); });
    DelSessionAct = AddDeleteButton(SessionListBar, "DelSessionAct", "Delete Session",
                                    [this] { DelSessionActExecute(); });
    SessionListBar->widgetForAction(RefreshAct)->setObjectName(QStringLiteral("RefreshBtn"));
    SessionListBar->widgetForAction(DelSessionAct)->setObjectName(QStringLiteral("DelBtn"));

    const TViewGrid<THTTPSessionRow> sessions =
        MakeViewGrid(this, "GenGrid", kSessionColumns, "sessions", WriteSessionJson);
    Sessions = sessions.Model;
    SessionProxy = sessions.Proxy;
    GenGrid = sessions.Grid;
    GenGrid->horizontalHeader()->setHighlightSections(false);
    GenGrid->setColumnWidth(TSessionColumn::UserName, px(188));
    // "SERVER/user" stays on one line: no break at the "/", the middle elided so that both the
    // server and the end of the user name show, and the column widens with the pane.
    GenGrid->setWordWrap(false);
    GenGrid->setTextElideMode(Qt::ElideMiddle);
    GenGrid->horizontalHeader()->setStretchLastSection(true);

    auto* labels = new QGridLayout;
    labels->setContentsMargins(px(4), 0, 0, 0);
    labels->setHorizontalSpacing(0);
    labels->setVerticalSpacing(0);
    labels->setColumnMinimumWidth(0, px(136));
    labels->setColumnStretch(1, 1);
    TotalSessionCountLbl = AddLabelRow(labels, 0, "Number of Sessions", "TotalSessionCountLbl");
    SessionKindFld = AddLabelRow(labels, 1, "Session Kind", "SessionKindFld");
    ECenterNameFld = AddLabelRow(labels, 2, "Center Name", "ECenterNameFld");
    LastAccessTimeFld = AddLabelRow(labels, 3, "Last Request Time", "LastAccessTimeFld");
    for (int row = 0; row < 4; ++row)
        labels->setRowMinimumHeight(row, px(20));
    TotalSessionCountLbl->setText(QStringLiteral("0"));

    QLabel* heading = MakeGridHeading("Database Active Resource List");
    heading->setObjectName(QStringLiteral("DBResourceListLbl"));

    const TViewGrid<TDBResourceRow> resources =
        MakeViewGrid(this, "DBResourceListGrid", kResourceColumns, "resources", WriteResourceJson);
    Resources = resources.Model;
    ResourceProxy = resources.Proxy;
    DBResourceListGrid = resources.Grid;
    DBResourceListGrid->horizontalHeader()->setHighlightSections(false);
    DBResourceListGrid->setSelectionMode(QAbstractItemView::NoSelection);
    DBResourceListGrid->setFocusPolicy(Qt::NoFocus);
    // A column is never narrower than its title.
    for (int column = 0; column < Resources->columnCount(); ++column)
        DBResourceListGrid->setColumnWidth(
            column, std::max(px(kResourceColumns[column].Width),
                             DBResourceListGrid->horizontalHeader()->sectionSizeHint(column)));

    QWidget* right = MakeDetailsPane(labels, heading, DBResourceListGrid);
    right->layout()->setSpacing(px(4));

    Splitter1 = new QSplitter(Qt::Horizontal);
    Splitter1->setObjectName(QStringLiteral("Splitter1"));
    Splitter1->setHandleWidth(px(5));
    Splitter1->setChildrenCollapsible(false);
    QWidget* left = GridWithFilter(this, GenGrid);
    left->layout()->setSpacing(px(2));
    Splitter1->addWidget(left);
    Splitter1->addWidget(right);
    Splitter1->setStretchFactor(0, 0);
    Splitter1->setStretchFactor(1, 1);
    Splitter1->setSizes({px(201), px(696 - 201 - 5)});

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(SessionListBar);
    layout->addWidget(Splitter1, 1);

    resize(px(696), px(480));

    connect(GenGrid->selectionModel(), &QItemSelectionModel::currentRowChanged, this, [this] {
        list_.Current = CurrentRow();
        ShowCurrent();
    });
    KeepLayout(this, {GenGrid, DBResourceListGrid}, Splitter1);
}

int TSessionListForm::CurrentRow() const {
    return CurrentGridRow(GenGrid);
}

void TSessionListForm::SetCurrentRow(int row) {
    SetCurrentGridRow(GenGrid, row);
    list_.Current = CurrentRow();
    ShowCurrent();
}

void TSessionListForm::ShowCurrent() {
    const THTTPSessionRow* current = Sessions->RowAt(CurrentRow());
    if (current == nullptr) {
        Resources->Clear();
        for (QLabel* label : {SessionKindFld, ECenterNameFld, LastAccessTimeFld})
            label->clear();
        return;
    }
    const THTTPSessionRow& r = *current;
    SessionKindFld->setText(Utf8Text(r.Kind));
    ECenterNameFld->setText(Utf8Text(r.ECenterName));
    LastAccessTimeFld->setText(Utf8Text(LastAccessTimeText(r.LastAccessTime)));
    Resources->Reset(r.DBResourceList);
}

void TSessionListForm::UpdateSessionCountLabel() {
    TotalSessionCountLbl->setText(QString::number(Sessions->rowCount()));
}

void TSessionListForm::SetBusy(bool busy) {
    busy_ = busy;
    RefreshAct->setEnabled(!busy);
    DelSessionAct->setEnabled(!busy);
}

bool TSessionListForm::RefreshSessions() {
    // The wait runs interface events: a refresh or a delete asked for meanwhile is dropped.
    if (busy_)
        return false;
    SetBusy(true);
    const bool loaded = list_.RefreshSessions();
    SetBusy(false);
    if (!loaded)
        return false;
    SessionsLoaded();
    return true;
}

void TSessionListForm::SessionsLoaded() {
    Sessions->Reset(list_.Sessions);
    SetCurrentRow(0);
    UpdateSessionCountLabel();
}

void TSessionListForm::DelSessionActExecute() {
    if (busy_)
        return;
    const int shown = ShownGridRow(GenGrid);
    SetBusy(true);
    const bool removed = list_.DelSessionActExecute();
    SetBusy(false);
    if (!removed)
        return;
    Sessions->Reset(list_.Sessions);
    SetCurrentRow(std::min(shown, SessionProxy->rowCount() - 1));
    UpdateSessionCountLabel();
}
