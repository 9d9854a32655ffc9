#include "DBFormU.h"

#include "ViewRules.h"
#include "ViewSupport.h"

#include <QFormLayout>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QSplitter>
#include <QStringList>
#include <QTableView>
#include <QToolBar>
#include <QVBoxLayout>

int TDBModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int TDBModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : 3;
}

QVariant TDBModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rowCount())
        return {};
    const TDBRow& r = rows_[static_cast<std::size_t>(index.row())];
    if (role == Qt::TextAlignmentRole && index.column() == 0)
        return QVariant::fromValue(Qt::AlignRight | Qt::AlignVCenter);
    if (role != Qt::DisplayRole)
        return {};
    switch (index.column()) {
    case 0:
        return static_cast<int>(r.Id);
    case 1:
        return r.Name;
    case 2:
        return r.Status;
    }
    return {};
}

QVariant TDBModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation == Qt::Horizontal && role == Qt::DisplayRole) {
        switch (section) {
        case 0:
            return QStringLiteral("ID");
        case 1:
            return QStringLiteral("Database Name");
        case 2:
            return QStringLiteral("Staus");
        }
    }
    return QAbstractTableModel::headerData(section, orientation, role);
}

void TDBModel::Reset(std::vector<TDBRow> rows) {
    beginResetModel();
    rows_ = std::move(rows);
    endResetModel();
}

int TDBResultModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() || rows_ == nullptr ? 0 : static_cast<int>(rows_->size());
}

int TDBResultModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : 3;
}

QVariant TDBResultModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rowCount() || role != Qt::DisplayRole)
        return {};
    const TDBResultRow& r = (*rows_)[static_cast<std::size_t>(index.row())];
    switch (index.column()) {
    case 0:
        return r.Kind;
    case 1:
        return r.UserName;
    case 2:
        return r.Desc;
    }
    return {};
}

QVariant TDBResultModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation == Qt::Horizontal && role == Qt::DisplayRole) {
        switch (section) {
        case 0:
            return QStringLiteral("Kind");
        case 1:
            return QStringLiteral("User Name");
        case 2:
            return QStringLiteral("Description");
        }
    }
    return QAbstractTableModel::headerData(section, orientation, role);
}

void TDBResultModel::Show(const std::vector<TDBResultRow>* rows) {
    beginResetModel();
    rows_ = rows;
    endResetModel();
}

TDBListForm::TDBListForm(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("DBListForm"));
    setWindowTitle(QStringLiteral("Databases"));
    resize(820, 520);

    auto* bar = MakeIconToolBar(this);
    RefreshAct =
        AddIconAction(bar, "RefreshAct", "Refresh", "view-refresh", QStyle::SP_BrowserReload);
    connect(RefreshAct, &QAction::triggered, this, [this] { RefreshActExecute(); });

    Databases = new TDBModel(this);
    Results = new TDBResultModel(this);

    DBGrid = MakeGrid("DBGrid", Databases);
    DBGrid->horizontalHeader()->setSectionResizeMode(0, QHeaderView::Interactive);
    DBGrid->horizontalHeader()->setSectionResizeMode(1, QHeaderView::Stretch);
    DBGrid->horizontalHeader()->setSectionResizeMode(2, QHeaderView::Interactive);
    DBGrid->setColumnWidth(0, 40);
    DBGrid->setColumnWidth(2, 60);

    auto* form = new QFormLayout;
    PathEdit = AddDetail(form, "Path", "PathEdit");
    ResCountEdit = AddDetail(form, "Result Count", "ResCountEdit");
    ChildHoodEdit = AddDetail(form, "Childhood", "ChildHoodEdit");
    ChildListMemo = new QPlainTextEdit;
    ChildListMemo->setObjectName(QStringLiteral("ChildListMemo"));
    ChildListMemo->setReadOnly(true);
    auto* childListLabel = new QLabel(QStringLiteral("ChildList"));
    childListLabel->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    form->addRow(childListLabel, ChildListMemo);

    auto* heading = new QLabel(QStringLiteral("Result List"));
    heading->setAlignment(Qt::AlignCenter);
    QFont bold = heading->font();
    bold.setBold(true);
    heading->setFont(bold);

    ResultGrid = MakeGrid("ResultGrid", Results);
    ResultGrid->horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
    ResultGrid->horizontalHeader()->setStretchLastSection(true);
    ResultGrid->setColumnWidth(0, 170);
    ResultGrid->setColumnWidth(1, 150);

    auto* details = new QWidget;
    auto* detailsLayout = new QVBoxLayout(details);
    detailsLayout->setContentsMargins(0, 0, 0, 0);
    detailsLayout->addLayout(form, 1);
    auto* results = new QWidget;
    auto* resultsLayout = new QVBoxLayout(results);
    resultsLayout->setContentsMargins(0, 0, 0, 0);
    resultsLayout->addWidget(heading);
    resultsLayout->addWidget(ResultGrid, 1);
    auto* rightSplitter = new QSplitter(Qt::Vertical);
    rightSplitter->addWidget(details);
    rightSplitter->addWidget(results);
    rightSplitter->setSizes({230, 250});

    auto* splitter = new QSplitter(Qt::Horizontal);
    splitter->addWidget(DBGrid);
    splitter->addWidget(rightSplitter);
    splitter->setStretchFactor(1, 1);
    splitter->setSizes({330, 490});

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(bar);
    layout->addWidget(splitter, 1);

    connect(DBGrid->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
            [this] { ShowCurrent(); });
}

int TDBListForm::CurrentRow() const {
    const QModelIndex current = DBGrid->selectionModel()->currentIndex();
    return current.isValid() ? current.row() : -1;
}

void TDBListForm::SetCurrentRow(int row) {
    if (row >= 0 && row < Databases->rowCount())
        DBGrid->selectionModel()->setCurrentIndex(Databases->index(row, 0),
                                                  QItemSelectionModel::ClearAndSelect |
                                                      QItemSelectionModel::Rows);
    else
        DBGrid->selectionModel()->clearCurrentIndex();
    ShowCurrent();
}

void TDBListForm::ShowCurrent() {
    const int row = CurrentRow();
    if (row < 0) {
        Results->Show(nullptr);
        PathEdit->clear();
        ResCountEdit->clear();
        ChildHoodEdit->clear();
        ChildListMemo->clear();
        return;
    }
    const TDBRow& r = Databases->Rows()[static_cast<std::size_t>(row)];
    PathEdit->setText(r.Path);
    PathEdit->setCursorPosition(0);
    ResCountEdit->setText(QString::number(r.ResCount));
    ChildHoodEdit->setText(r.ChildHoodStr);
    // One line per child, each read left to right ("7 - name") even when the name is Farsi.
    QStringList lines = r.ChildListStr.split(QStringLiteral("\r\n"));
    for (QString& line : lines)
        line.prepend(QChar(0x200E));
    ChildListMemo->setPlainText(r.ChildListStr.isEmpty() ? QString()
                                                         : lines.join(QLatin1Char('\n')));
    Results->Show(&r.ResList);
}

bool TDBListForm::RefreshView() {
    TDBList list;
    if (GetDBList(1, list) != kExchangeDone)
        return false;
    std::vector<TDBRow> rows;
    rows.reserve(list.size());
    for (const TDBInfo& d : list) {
        TDBRow row;
        row.Name = ServerText(DatabaseNameOfNumber(1, d.Id));
        row.Id = d.Id;
        row.Path = ServerText(d.Path);
        row.Status = Utf8Text(OpenStateText(d.IsOpen));
        row.IsParent = d.IsParent != 0;
        row.ChildCount = d.ChildCount;
        row.ChildHoodStr = Utf8Text(ChildhoodText(d.IsParent, d.ChildCount));
        row.ChildListStr = ServerText(ChildListText(1, d.ChildIds));
        row.ResCount = d.ResCount;
        row.ResList.reserve(d.Results.size());
        for (const TDBResult& r : d.Results)
            row.ResList.push_back({Utf8Text(ResultKindName(r.Kind)), ServerText(r.UserName), {}});
        rows.push_back(std::move(row));
    }
    ReleaseDBList(list);
    Results->Show(nullptr);
    Databases->Reset(std::move(rows));
    SetCurrentRow(0);
    return true;
}

void TDBListForm::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    CenterOnScreen(this);
}
