#include "DBFormU.h"

#include "GridTools.h"
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

void WriteResultJson(TJsonText& out, const TDBResultRow& r) {
    out.BeginObject();
    out.Key("kind").Number(r.KindNumber);
    out.Key("kind_text").String(r.Kind);
    out.Key("user_name").String(r.UserName);
    out.EndObject();
}

void WriteDatabaseJson(TJsonText& out, const TDBRow& r) {
    out.BeginObject();
    out.Key("id").Number(r.Id);
    out.Key("name").String(r.Name);
    out.Key("path").String(r.Path);
    out.Key("status").String(r.Status);
    out.Key("is_parent").Bool(r.IsParent);
    out.Key("child_count").Number(r.ChildCount);
    out.Key("childhood").String(r.ChildHoodStr);
    out.Key("child_ids").BeginArray();
    for (std::uint16_t id : r.ChildIds)
        out.Number(id);
    out.EndArray();
    out.Key("child_list").String(r.ChildListStr);
    out.Key("res_count").Number(r.ResCount);
    out.Key("results").BeginArray();
    for (const TDBResultRow& result : r.ResList)
        WriteResultJson(out, result);
    out.EndArray().EndObject();
}

struct TResultColumn {
    enum : int {
        Kind = GridColumn(kResultColumns, "Kind"),
        UserName = GridColumn(kResultColumns, "User Name"),
    };
};

} // namespace

TDBListForm::TDBListForm(QWidget* parent) : TGridView(parent, "DBListForm", "Databases") {
    resize(820, 520);

    const TViewGrid<TDBRow> databases =
        MakeViewGrid(this, "DBGrid", kDBColumns, "databases", WriteDatabaseJson);
    Databases = databases.Model;
    DBProxy = databases.Proxy;
    DBGrid = databases.Grid;
    Databases->SetKey([](const TDBRow& r) -> QVariant { return int{r.Id}; });
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
    auto* details = new QWidget;
    auto* detailsLayout = new QVBoxLayout(details);
    detailsLayout->setContentsMargins(0, 0, 0, 0);
    detailsLayout->addLayout(form, 1);

    const TViewGrid<TDBResultRow> results =
        MakeViewGrid(this, "ResultGrid", kResultColumns, "results", WriteResultJson);
    Results = results.Model;
    ResultProxy = results.Proxy;
    ResultGrid = results.Grid;
    ResultGrid->horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
    ResultGrid->horizontalHeader()->setStretchLastSection(true);
    ResultGrid->setColumnWidth(TResultColumn::Kind, 170);
    ResultGrid->setColumnWidth(TResultColumn::UserName, 150);

    auto* rightSplitter = new QSplitter(Qt::Vertical);
    rightSplitter->addWidget(details);
    rightSplitter->addWidget(MakeDetailsPane(nullptr, MakeGridHeading("Result List"), ResultGrid));
    rightSplitter->setSizes({230, 250});

    Splitter = new QSplitter(Qt::Horizontal);
    Splitter->addWidget(GridWithFilter(this, DBGrid));
    Splitter->addWidget(rightSplitter);
    Splitter->setStretchFactor(1, 1);
    Splitter->setSizes({330, 490});

    SetMainGrid(DBGrid);
    SetBody(Splitter);
    KeepLayout(this, {DBGrid, ResultGrid}, Splitter);
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

bool TDBListForm::Load(bool keepPlace) {
    TDBList list;
    if (RunConsoleRequest([&list] { return GetDBList(1, list); }) != TExchangeResult::Done)
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
        row.ChildIds = d.ChildIds;
        row.ResCount = d.ResCount;
        row.ResList.reserve(d.Results.size());
        for (const TDBResult& r : d.Results)
            row.ResList.push_back(
                {Utf8Text(ResultKindName(r.Kind)), ServerText(r.UserName), {}, r.Kind});
        rows.push_back(std::move(row));
    }
    ReleaseDBList(list);
    ShowRows(Databases, std::move(rows), keepPlace);
    return true;
}
