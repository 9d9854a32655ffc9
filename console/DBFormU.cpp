#include "DBFormU.h"

#include "RequestRunner.h"
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

namespace {

constexpr TGridColumn<TDBRow> kDBColumns[] = {
    {.Header = "ID", .Display = GridField<&TDBRow::Id>, .Alignment = kGridNumberAlignment},
    {.Header = "Database Name", .Display = GridField<&TDBRow::Name>},
    {.Header = "Staus", .Display = GridField<&TDBRow::Status>},
};

struct TDBColumn {
    enum : int {
        Id = GridColumn(kDBColumns, "ID"),
        Name = GridColumn(kDBColumns, "Database Name"),
        Status = GridColumn(kDBColumns, "Staus"),
    };
};

constexpr TGridColumn<TDBResultRow> kResultColumns[] = {
    {.Header = "Kind", .Display = GridField<&TDBResultRow::Kind>},
    {.Header = "User Name", .Display = GridField<&TDBResultRow::UserName>},
    {.Header = "Description", .Display = GridField<&TDBResultRow::Desc>},
};

struct TResultColumn {
    enum : int {
        Kind = GridColumn(kResultColumns, "Kind"),
        UserName = GridColumn(kResultColumns, "User Name"),
    };
};

} // namespace

TDBListForm::TDBListForm(QWidget* parent) : TCenteredDialog(parent) {
    setObjectName(QStringLiteral("DBListForm"));
    setWindowTitle(QStringLiteral("Databases"));
    resize(820, 520);

    auto* bar = MakeIconToolBar(this);
    RefreshAct =
        AddIconAction(bar, "RefreshAct", "Refresh", "view-refresh", QStyle::SP_BrowserReload);
    connect(RefreshAct, &QAction::triggered, this, [this] { RefreshActExecute(); });

    Databases = new TDBModel(kDBColumns, this);
    Results = new TDBResultModel(kResultColumns, this);

    DBGrid = MakeGrid("DBGrid", Databases);
    DBGrid->horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
    DBGrid->horizontalHeader()->setSectionResizeMode(TDBColumn::Name, QHeaderView::Stretch);
    DBGrid->setColumnWidth(TDBColumn::Id, 40);
    DBGrid->setColumnWidth(TDBColumn::Status, 60);

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
    ResultGrid->setColumnWidth(TResultColumn::Kind, 170);
    ResultGrid->setColumnWidth(TResultColumn::UserName, 150);

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
    return CurrentGridRow(DBGrid);
}

void TDBListForm::SetCurrentRow(int row) {
    SetCurrentGridRow(DBGrid, row);
    ShowCurrent();
}

void TDBListForm::ShowCurrent() {
    const TDBRow* current = Databases->RowAt(CurrentRow());
    if (current == nullptr) {
        Results->Clear();
        PathEdit->clear();
        ResCountEdit->clear();
        ChildHoodEdit->clear();
        ChildListMemo->clear();
        return;
    }
    const TDBRow& r = *current;
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
    Results->Reset(r.ResList);
}

bool TDBListForm::RefreshView() {
    TDBList list;
    if (RunConsoleRequest([&list] { return GetDBList(1, list); }) != kExchangeDone)
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
    Databases->Reset(std::move(rows));
    SetCurrentRow(0);
    return true;
}
