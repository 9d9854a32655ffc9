#include "HTTPSessionsFormU.h"

#include "ViewSupport.h"

#include <QAction>
#include <QGridLayout>
#include <QGuiApplication>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QScreen>
#include <QSplitter>
#include <QTableView>
#include <QToolBar>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>

int ScreenPixels(const QWidget* widget, int pixelsAt96) {
    const QScreen* screen = widget != nullptr ? widget->screen() : nullptr;
    if (screen == nullptr)
        screen = QGuiApplication::primaryScreen();
    const double dpi = screen != nullptr ? screen->logicalDotsPerInchY() : 96.0;
    if (dpi <= 96.0)
        return pixelsAt96;
    return static_cast<int>(std::lround(pixelsAt96 * dpi / 96.0));
}

// ---- session table

int TSessionModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int TSessionModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : 1;
}

QVariant TSessionModel::data(const QModelIndex& index, int role) const {
    // A name too long for the column is cut in its middle; the tool tip shows it whole.
    if (!index.isValid() || index.row() >= rowCount() ||
        (role != Qt::DisplayRole && role != Qt::ToolTipRole))
        return {};
    return Utf8Text(ServerUserName(rows_[static_cast<std::size_t>(index.row())]));
}

QVariant TSessionModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation == Qt::Horizontal && role == Qt::DisplayRole && section == 0)
        return QStringLiteral("User Name");
    return QAbstractTableModel::headerData(section, orientation, role);
}

void TSessionModel::Reset(std::vector<THTTPSessionRow> rows) {
    beginResetModel();
    rows_ = std::move(rows);
    endResetModel();
}

// ---- resource table

int TDBResourceModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() || rows_ == nullptr ? 0 : static_cast<int>(rows_->size());
}

int TDBResourceModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : 4;
}

QVariant TDBResourceModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rowCount())
        return {};
    if (role == Qt::TextAlignmentRole && index.column() != 1)
        return QVariant(Qt::AlignRight | Qt::AlignVCenter);
    if (role != Qt::DisplayRole)
        return {};
    const TDBResourceRow& r = (*rows_)[static_cast<std::size_t>(index.row())];
    switch (index.column()) {
    case 0:
        return r.DBId;
    case 1:
        return Utf8Text(r.DBName);
    case 2:
        return r.AppFileId;
    case 3:
        return r.EditFileId;
    }
    return {};
}

QVariant TDBResourceModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation == Qt::Horizontal && role == Qt::DisplayRole) {
        switch (section) {
        case 0:
            return QStringLiteral("DB ID");
        case 1:
            return QStringLiteral("Database Name");
        case 2:
            return QStringLiteral("Append File ID");
        case 3:
            return QStringLiteral("Edit File ID");
        }
    }
    return QAbstractTableModel::headerData(section, orientation, role);
}

void TDBResourceModel::Show(const std::vector<TDBResourceRow>* rows) {
    beginResetModel();
    rows_ = rows;
    endResetModel();
}

// ---- the window

namespace {

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

void PrepareGrid(QTableView* grid, const char* name) {
    grid->setObjectName(QString::fromLatin1(name));
    grid->setSelectionBehavior(QAbstractItemView::SelectRows);
    grid->setSelectionMode(QAbstractItemView::SingleSelection);
    grid->setEditTriggers(QAbstractItemView::NoEditTriggers);
    grid->verticalHeader()->hide();
    grid->verticalHeader()->setDefaultSectionSize(grid->fontMetrics().height() + 6);
    grid->horizontalHeader()->setHighlightSections(false);
}

} // namespace

TSessionListForm::TSessionListForm(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("SessionListForm"));
    setWindowTitle(QStringLiteral("HTTP Sessions"));
    const auto px = [this](int pixels) { return ScreenPixels(this, pixels); };

    SessionListBar = MakeIconToolBar(this);
    SessionListBar->setObjectName(QStringLiteral("SessionListBar"));
    RefreshAct = AddIconAction(SessionListBar, "RefreshAct", "Refresh", "view-refresh",
                               QStyle::SP_BrowserReload);
    DelSessionAct = AddIconAction(SessionListBar, "DelSessionAct", "Delete Session", "edit-delete",
                                  QStyle::SP_TrashIcon);
    SessionListBar->widgetForAction(RefreshAct)->setObjectName(QStringLiteral("RefreshBtn"));
    SessionListBar->widgetForAction(DelSessionAct)->setObjectName(QStringLiteral("DelBtn"));
    connect(RefreshAct, &QAction::triggered, this, [this] { RefreshActExecute(); });
    connect(DelSessionAct, &QAction::triggered, this, [this] { DelSessionActExecute(); });

    Sessions = new TSessionModel(this);
    Resources = new TDBResourceModel(this);

    GenGrid = new QTableView;
    PrepareGrid(GenGrid, "GenGrid");
    GenGrid->setModel(Sessions);
    GenGrid->setColumnWidth(0, px(188));
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

    auto* heading = new QLabel(QStringLiteral("Database Active Resource List"));
    heading->setObjectName(QStringLiteral("DBResourceListLbl"));
    heading->setAlignment(Qt::AlignCenter);
    QFont bold = heading->font();
    bold.setBold(true);
    heading->setFont(bold);

    DBResourceListGrid = new QTableView;
    PrepareGrid(DBResourceListGrid, "DBResourceListGrid");
    DBResourceListGrid->setModel(Resources);
    DBResourceListGrid->setSelectionMode(QAbstractItemView::NoSelection);
    DBResourceListGrid->setFocusPolicy(Qt::NoFocus);
    // A column is never narrower than its title.
    const int widths[] = {50, 253, 84, 77};
    for (int column = 0; column < 4; ++column)
        DBResourceListGrid->setColumnWidth(
            column, std::max(px(widths[column]),
                             DBResourceListGrid->horizontalHeader()->sectionSizeHint(column)));

    auto* right = new QWidget;
    auto* rightLayout = new QVBoxLayout(right);
    rightLayout->setContentsMargins(0, 0, 0, 0);
    rightLayout->setSpacing(px(4));
    rightLayout->addLayout(labels);
    rightLayout->addWidget(heading);
    rightLayout->addWidget(DBResourceListGrid, 1);

    Splitter1 = new QSplitter(Qt::Horizontal);
    Splitter1->setObjectName(QStringLiteral("Splitter1"));
    Splitter1->setHandleWidth(px(5));
    Splitter1->setChildrenCollapsible(false);
    Splitter1->addWidget(GenGrid);
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

    connect(GenGrid->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
            [this](const QModelIndex& current) {
                list_.Current = current.isValid() ? current.row() : -1;
                ShowCurrent();
            });
}

int TSessionListForm::CurrentRow() const {
    const QModelIndex current = GenGrid->selectionModel()->currentIndex();
    return current.isValid() ? current.row() : -1;
}

void TSessionListForm::SetCurrentRow(int row) {
    if (row >= 0 && row < Sessions->rowCount()) {
        GenGrid->selectionModel()->setCurrentIndex(Sessions->index(row, 0),
                                                   QItemSelectionModel::ClearAndSelect |
                                                       QItemSelectionModel::Rows);
        list_.Current = row;
    } else {
        GenGrid->selectionModel()->clearCurrentIndex();
        list_.Current = -1;
    }
    ShowCurrent();
}

void TSessionListForm::ShowCurrent() {
    const int row = CurrentRow();
    if (row < 0) {
        Resources->Show(nullptr);
        for (QLabel* label : {SessionKindFld, ECenterNameFld, LastAccessTimeFld})
            label->clear();
        return;
    }
    const THTTPSessionRow& r = Sessions->Rows()[static_cast<std::size_t>(row)];
    SessionKindFld->setText(Utf8Text(r.Kind));
    ECenterNameFld->setText(Utf8Text(r.ECenterName));
    LastAccessTimeFld->setText(Utf8Text(LastAccessTimeText(r.LastAccessTime)));
    Resources->Show(&r.DBResourceList);
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
    Resources->Show(nullptr);
    Sessions->Reset(list_.Sessions);
    SetCurrentRow(0);
    UpdateSessionCountLabel();
}

void TSessionListForm::DelSessionActExecute() {
    if (busy_)
        return;
    SetBusy(true);
    const bool removed = list_.DelSessionActExecute();
    SetBusy(false);
    if (!removed)
        return;
    const int current = list_.Current;
    Resources->Show(nullptr);
    Sessions->Reset(list_.Sessions);
    SetCurrentRow(current);
    UpdateSessionCountLabel();
}

void TSessionListForm::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    CenterOnScreen(this);
}
