#include "LocConnFormU.h"

#include <array>
#include <unordered_map>

#include "MessageDialogs.h"
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

// ---- connections table

int TLocConnModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int TLocConnModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : 1;
}

QVariant TLocConnModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rowCount() || role != Qt::DisplayRole)
        return {};
    return ServerText(rows_[static_cast<std::size_t>(index.row())].UserName);
}

QVariant TLocConnModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation == Qt::Horizontal && role == Qt::DisplayRole && section == 0)
        return QStringLiteral("User Name");
    return QAbstractTableModel::headerData(section, orientation, role);
}

void TLocConnModel::Reset(std::vector<TLocConnRow> rows) {
    beginResetModel();
    rows_ = std::move(rows);
    endResetModel();
}

void TLocConnModel::Remove(int row) {
    if (row < 0 || row >= rowCount())
        return;
    beginRemoveRows({}, row, row);
    rows_.erase(rows_.begin() + row);
    endRemoveRows();
}

// ---- result table

int TLocResultModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() || rows_ == nullptr ? 0 : static_cast<int>(rows_->size());
}

int TLocResultModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : 3;
}

QVariant TLocResultModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rowCount() || role != Qt::DisplayRole)
        return {};
    const TLocResultRow& r = (*rows_)[static_cast<std::size_t>(index.row())];
    switch (index.column()) {
    case 0:
        return r.Kind;
    case 1:
        return r.DBName;
    case 2:
        return r.Desc;
    }
    return {};
}

QVariant TLocResultModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation == Qt::Horizontal && role == Qt::DisplayRole) {
        switch (section) {
        case 0:
            return QStringLiteral("Kind");
        case 1:
            return QStringLiteral("Database");
        case 2:
            return QStringLiteral("Description");
        }
    }
    return QAbstractTableModel::headerData(section, orientation, role);
}

void TLocResultModel::Show(const std::vector<TLocResultRow>* rows) {
    beginResetModel();
    rows_ = rows;
    endResetModel();
}

// ---- the window

TLocConnForm::TLocConnForm(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("LocConnForm"));
    setWindowTitle(QStringLiteral("Local Connections"));
    resize(760, 480);

    auto* bar = MakeIconToolBar(this);
    RefreshAct =
        AddIconAction(bar, "RefreshAct", "Refresh", "view-refresh", QStyle::SP_BrowserReload);
    DeleteConnAct = AddIconAction(bar, "DeleteConnAct", "Delete Connection", "edit-delete",
                                  QStyle::SP_TrashIcon);
    connect(RefreshAct, &QAction::triggered, this, [this] { RefreshActExecute(); });
    connect(DeleteConnAct, &QAction::triggered, this, [this] { DeleteConnActExecute(); });

    Connections = new TLocConnModel(this);
    Results = new TLocResultModel(this);

    ConnGrid = MakeGrid("ConnGrid", Connections);
    ConnGrid->horizontalHeader()->setStretchLastSection(true);

    auto* form = new QFormLayout;
    StatusEdit = AddDetail(form, "Status", "StatusEdit");
    RequestsCountEdit = AddDetail(form, "Requests Count", "RequestsCountEdit");
    ASyncRequestsEdit = AddDetail(form, "Async Requests Count", "ASyncRequestsEdit");
    ResultsCountEdit = AddDetail(form, "Resuts Count", "ResultsCountEdit");
    ConnectTimeEdit = AddDetail(form, "Connect Time", "ConnectTimeEdit");
    LastRequestTimeEdit = AddDetail(form, "Last Request Time", "LastRequestTimeEdit");

    auto* heading = new QLabel(QStringLiteral("Result List"));
    heading->setAlignment(Qt::AlignCenter);
    QFont bold = heading->font();
    bold.setBold(true);
    heading->setFont(bold);

    ResultGrid = MakeGrid("ResultGrid", Results);
    // The database name is the widest column.
    ResultGrid->horizontalHeader()->setSectionResizeMode(0, QHeaderView::Interactive);
    ResultGrid->horizontalHeader()->setSectionResizeMode(1, QHeaderView::Stretch);
    ResultGrid->horizontalHeader()->setSectionResizeMode(2, QHeaderView::Interactive);
    const QFontMetrics metrics = ResultGrid->fontMetrics();
    ResultGrid->setColumnWidth(
        0, metrics.horizontalAdvance(QStringLiteral("Multi-DB Search Result")) + 16);
    ResultGrid->setColumnWidth(
        2, metrics.horizontalAdvance(QStringLiteral("Permanent By Database")) + 16);

    auto* right = new QWidget;
    auto* rightLayout = new QVBoxLayout(right);
    rightLayout->setContentsMargins(0, 0, 0, 0);
    rightLayout->addLayout(form);
    rightLayout->addWidget(heading);
    rightLayout->addWidget(ResultGrid, 1);

    auto* splitter = new QSplitter(Qt::Horizontal);
    splitter->addWidget(ConnGrid);
    splitter->addWidget(right);
    splitter->setStretchFactor(1, 1);
    splitter->setSizes({190, 570});

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(bar);
    layout->addWidget(splitter, 1);

    connect(ConnGrid->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
            [this] { ShowCurrent(); });
}

int TLocConnForm::CurrentRow() const {
    const QModelIndex current = ConnGrid->selectionModel()->currentIndex();
    return current.isValid() ? current.row() : -1;
}

void TLocConnForm::SetCurrentRow(int row) {
    if (row >= 0 && row < Connections->rowCount())
        ConnGrid->selectionModel()->setCurrentIndex(Connections->index(row, 0),
                                                    QItemSelectionModel::ClearAndSelect |
                                                        QItemSelectionModel::Rows);
    else
        ConnGrid->selectionModel()->clearCurrentIndex();
    ShowCurrent();
}

void TLocConnForm::ShowCurrent() {
    const int row = CurrentRow();
    if (row < 0) {
        Results->Show(nullptr);
        for (QLineEdit* edit : {StatusEdit, RequestsCountEdit, ASyncRequestsEdit, ResultsCountEdit,
                                ConnectTimeEdit, LastRequestTimeEdit})
            edit->clear();
        return;
    }
    const TLocConnRow& r = Connections->Rows()[static_cast<std::size_t>(row)];
    StatusEdit->setText(r.Status);
    RequestsCountEdit->setText(QString::number(r.RequestsCount));
    ASyncRequestsEdit->setText(QString::number(r.ASyncRequests));
    ResultsCountEdit->setText(QString::number(r.ResultsCount));
    ConnectTimeEdit->setText(Utf8Text(FormatDisplayDateTime(r.ConnectTime)));
    LastRequestTimeEdit->setText(Utf8Text(FormatDisplayDateTime(r.LastRequestTime)));
    Results->Show(&r.ResList);
}

bool TLocConnForm::RefreshView() {
    TLocConnList list;
    if (GetLocalConnList(1, list) != kExchangeDone)
        return false;
    std::vector<TLocConnRow> rows;
    rows.reserve(list.size());
    bool complete = true;
    // The few distinct texts of the result rows are made once and shared.
    std::array<QString, 256> kindTexts;
    std::unordered_map<std::uint16_t, QString> lifetimeTexts;
    std::unordered_map<std::uint16_t, QString> databaseNames;
    const auto kindText = [&](std::uint8_t kind) -> const QString& {
        QString& text = kindTexts[kind];
        if (text.isNull())
            text = Utf8Text(ResultKindName(kind));
        return text;
    };
    const auto cached = [](std::unordered_map<std::uint16_t, QString>& cache, std::uint16_t key,
                           auto make) -> const QString& {
        auto it = cache.find(key);
        if (it == cache.end())
            it = cache.emplace(key, make(key)).first;
        return it->second;
    };
    for (const TLocConnInfo& c : list) {
        const std::optional<TDateTime> connectTime = ViewDateTime(c.ConnectTime);
        const std::optional<TDateTime> lastRequestTime =
            connectTime ? ViewDateTime(c.LastRequestTime) : std::nullopt;
        if (!connectTime || !lastRequestTime) {
            // The rows appended so far stay.
            complete = false;
            break;
        }
        TLocConnRow row;
        row.UserName = c.UserName;
        row.SecurityNum = c.SecurityNum;
        row.Status = Utf8Text(LocalConnStatusText(c));
        row.RequestsCount = c.RequestsCount;
        row.ASyncRequests = c.ASyncRequests;
        row.ResultsCount = c.ResultsCount;
        row.ConnectTime = *connectTime;
        row.LastRequestTime = *lastRequestTime;
        row.ResList.reserve(c.Results.size());
        for (const TLocConnResult& r : c.Results)
            row.ResList.push_back(
                {kindText(r.Kind),
                 cached(databaseNames, r.DBHandle,
                        [](std::uint16_t h) { return ServerText(ResultDatabaseName(1, h)); }),
                 cached(lifetimeTexts, r.Lifetime,
                        [](std::uint16_t l) { return Utf8Text(LifetimeText(l)); })});
        rows.push_back(std::move(row));
    }
    ReleaseLocalConnList(list);
    Results->Show(nullptr);
    Connections->Reset(std::move(rows));
    SetCurrentRow(0);
    return complete;
}

void TLocConnForm::DeleteConnActExecute() {
    const int row = CurrentRow();
    if (row < 0)
        return;
    if (ShowMessageDialog("Are you sure about deleting connection?", TMsgDlgType::mtConfirmation,
                          {TMsgDlgBtn::mbYes, TMsgDlgBtn::mbNo, TMsgDlgBtn::mbCancel}) !=
        TMsgDlgBtn::mbYes)
        return;
    const TLocConnRow& r = Connections->Rows()[static_cast<std::size_t>(row)];
    if (DeleteLocalConn(1, r.UserName, r.SecurityNum) != kExchangeDone)
        return;
    Results->Show(nullptr);
    Connections->Remove(row);
    SetCurrentRow(std::min(row, Connections->rowCount() - 1));
}

void TLocConnForm::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    CenterOnScreen(this);
}
