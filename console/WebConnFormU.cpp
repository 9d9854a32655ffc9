#include "WebConnFormU.h"

#include "MessageDialogs.h"
#include "ViewSupport.h"

#include <QHeaderView>
#include <QItemSelectionModel>
#include <QTableView>
#include <QToolBar>
#include <QVBoxLayout>

int TWebConnModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int TWebConnModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : 2;
}

QVariant TWebConnModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rowCount() || role != Qt::DisplayRole)
        return {};
    const TWebConnRow& r = rows_[static_cast<std::size_t>(index.row())];
    if (index.column() == 0)
        return ServerText(r.UserName);
    if (index.column() == 1)
        return Utf8Text(FormatDisplayDateTime(r.LastAccessTime));
    return {};
}

QVariant TWebConnModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation == Qt::Horizontal && role == Qt::DisplayRole) {
        if (section == 0)
            return QStringLiteral("User Name");
        if (section == 1)
            return QStringLiteral("Last Access Time");
    }
    return QAbstractTableModel::headerData(section, orientation, role);
}

void TWebConnModel::Reset(std::vector<TWebConnRow> rows) {
    beginResetModel();
    rows_ = std::move(rows);
    endResetModel();
}

void TWebConnModel::Remove(int row) {
    if (row < 0 || row >= rowCount())
        return;
    beginRemoveRows({}, row, row);
    rows_.erase(rows_.begin() + row);
    endRemoveRows();
}

TWebConnForm::TWebConnForm(QWidget* parent) : QDialog(parent) {
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

    Connections = new TWebConnModel(this);
    ConnGrid = MakeGrid("ConnGrid", Connections);
    ConnGrid->horizontalHeader()->setSectionResizeMode(0, QHeaderView::Stretch);
    ConnGrid->horizontalHeader()->setSectionResizeMode(1, QHeaderView::ResizeToContents);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(bar);
    layout->addWidget(ConnGrid, 1);
}

int TWebConnForm::CurrentRow() const {
    const QModelIndex current = ConnGrid->selectionModel()->currentIndex();
    return current.isValid() ? current.row() : -1;
}

void TWebConnForm::SetCurrentRow(int row) {
    if (row >= 0 && row < Connections->rowCount())
        ConnGrid->selectionModel()->setCurrentIndex(Connections->index(row, 0),
                                                    QItemSelectionModel::ClearAndSelect |
                                                        QItemSelectionModel::Rows);
    else
        ConnGrid->selectionModel()->clearCurrentIndex();
}

bool TWebConnForm::RefreshView() {
    TWebConnList list;
    if (GetWebConnList(1, list) != kExchangeDone)
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
    if (row < 0)
        return;
    if (ShowMessageDialog("Are you sure about deleting connection?", TMsgDlgType::mtConfirmation,
                          {TMsgDlgBtn::mbYes, TMsgDlgBtn::mbNo, TMsgDlgBtn::mbCancel}) !=
        TMsgDlgBtn::mbYes)
        return;
    if (DeleteWebConn(1, Connections->Rows()[static_cast<std::size_t>(row)].UserId) !=
        kExchangeDone)
        return;
    Connections->Remove(row);
    SetCurrentRow(std::min(row, Connections->rowCount() - 1));
}

void TWebConnForm::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    CenterOnScreen(this);
}
