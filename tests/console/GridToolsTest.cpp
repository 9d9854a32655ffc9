// The grids' sorting, filter, keys, copy, export and remembered layout, through the views'
// widgets against the reference server, and the tools alone over a small model.

#include "GridTools.h"
#include "ConsoleTestSupport.h"
#include "DBFormU.h"
#include "GridModel.h"
#include "LocConnFormU.h"
#include "ViewSupport.h"
#include "WebConnFormU.h"

#include <QAbstractItemModelTester>
#include <QAction>
#include <QClipboard>
#include <QDir>
#include <QFile>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QLineEdit>
#include <QSplitter>
#include <QTableView>
#include <QTest>

namespace {

using nlohmann::json;
using Texts = std::vector<std::string>;

// What a grid shows in one column, top to bottom.
Texts Shown(const QTableView* grid, int column = 0) {
    return ColumnTexts(*grid->model(), column);
}

struct TNameRow {
    QString Name;
    int Count = 0;
};

constexpr TGridColumn<TNameRow> kNameColumns[] = {
    {.Header = "Name", .Display = GridField<&TNameRow::Name>},
    {.Header = "Count", .Display = GridField<&TNameRow::Count>},
};

// A grid over a model of names and counts, as the views make theirs.
struct TSmallGrid {
    explicit TSmallGrid(std::vector<TNameRow> rows) {
        Model.Reset(std::move(rows));
        new QAbstractItemModelTester(&Proxy, QAbstractItemModelTester::FailureReportingMode::Fatal,
                                     &Proxy);
        Grid = MakeGrid("SmallGrid", &Proxy);
        MakeGridTools(Grid, {});
        Grid->setParent(&Window);
    }
    QWidget Window;
    TGridModel<TNameRow> Model{kNameColumns, nullptr};
    TGridProxy Proxy{&Model};
    QTableView* Grid;
};

class GridToolsTest : public ConsoleTest {
protected:
    void Open(const json& fixture = SmallInstallation()) {
        StartServer(fixture);
        MakeMainForm();
        ASSERT_TRUE(ConnectTcp(server_->Port(), fixture.value("administrator_password", "")));
        boxes_.Clear();
    }
    // Shows a view as the active window, so that its shortcuts work.
    static void Activate(QWidget& view) {
        view.show();
        view.activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&view));
    }
    std::string TempPath(const char* name) const { return folder_.Path() + name; }
};

TEST(GridProxyTest, SortsNumbersByValueAndTextsByTheLocalesCollation) {
    TSmallGrid small({{QStringLiteral("تارا"), 10},
                      {QStringLiteral("بهرام"), 9},
                      {QStringLiteral("پری"), 100},
                      {QStringLiteral("ژاله"), 2}});
    // In Farsi, پ follows ب and ژ follows ز: neither is where its code point would put it.
    small.Proxy.SetCollationLocale(QLocale(QLocale::Persian, QLocale::Iran));
    struct {
        int Column;
        Qt::SortOrder Order;
        Texts Names;
    } cases[] = {
        {0, Qt::AscendingOrder, {"بهرام", "پری", "تارا", "ژاله"}},
        {0, Qt::DescendingOrder, {"ژاله", "تارا", "پری", "بهرام"}},
        {1, Qt::AscendingOrder, {"ژاله", "بهرام", "تارا", "پری"}},
        {1, Qt::DescendingOrder, {"پری", "تارا", "بهرام", "ژاله"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Column * 10 + c.Order);
        small.Grid->sortByColumn(c.Column, c.Order);
        EXPECT_EQ(Shown(small.Grid), c.Names);
    }
}

TEST(GridProxyTest, AHeaderClickSortsAndASecondReversesIt) {
    TSmallGrid small(
        {{QStringLiteral("b"), 2}, {QStringLiteral("a"), 10}, {QStringLiteral("c"), 1}});
    small.Window.resize(300, 200);
    small.Window.show();
    QHeaderView* header = small.Grid->horizontalHeader();
    const QPoint count(header->sectionViewportPosition(1) + 5, header->height() / 2);
    QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, count);
    EXPECT_EQ(Shown(small.Grid, 1), (Texts{"1", "2", "10"}));
    QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, count);
    EXPECT_EQ(Shown(small.Grid, 1), (Texts{"10", "2", "1"}));
}

TEST(GridExportTest, CsvQuotesAndDisarmsFormulasWhileJsonKeepsTheTextExact) {
    struct {
        const char* Name;
        QString Cell;
        std::string Csv;
    } cases[] = {
        {"plain", QStringLiteral("ALI"), "ALI"},
        {"Farsi", QStringLiteral("سارا"), "سارا"},
        {"comma", QStringLiteral("a,b"), "\"a,b\""},
        {"quote", QStringLiteral("say \"hi\""), "\"say \"\"hi\"\"\""},
        {"line break", QStringLiteral("a\nb"), "\"a\nb\""},
        {"formula", QStringLiteral("=HYPERLINK(\"x\")"), "\"'=HYPERLINK(\"\"x\"\")\""},
        {"plus", QStringLiteral("+1"), "'+1"},
        {"minus", QStringLiteral("-2+3"), "'-2+3"},
        {"at", QStringLiteral("@SUM(A1)"), "'@SUM(A1)"},
        {"tab", QStringLiteral("\tx"), "'\tx"},
        {"carriage return", QStringLiteral("\rx"), "\"'\rx\""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        TSmallGrid small({{c.Cell, 1}});
        EXPECT_EQ(GridCsv(small.Grid).toStdString(), "Name,Count\r\n" + c.Csv + ",1\r\n");
        const json parsed = json::parse(GridJsonText(small.Grid).toStdString());
        EXPECT_EQ(parsed["rows"][0]["Name"].get<std::string>(), c.Cell.toStdString());
    }
}

TEST_F(GridToolsTest, TheFilterKeepsMatchingRowsCountsThemAndTheDetailsFollow) {
    Open();
    TLocConnForm& view = *form_->LocConnForm;
    Activate(view);
    ASSERT_TRUE(view.RefreshView());
    // Until a header is clicked the rows stand in the server's order.
    EXPECT_EQ(Shown(view.ConnGrid), (Texts{"ALI", "سارا", "REZA"}));
    EXPECT_EQ(view.ConnGrid->horizontalHeader()->sortIndicatorSection(), -1);
    QLineEdit* filter = GridFilterEdit(view.ConnGrid);
    QLabel* count = GridCountLabel(view.ConnGrid);
    ASSERT_NE(filter, nullptr);
    ASSERT_NE(count, nullptr);
    EXPECT_EQ(count->text().toStdString(), "3 of 3");

    // Ctrl+F reaches the field from the grid.
    view.ConnGrid->setFocus();
    QTest::keyClick(view.ConnGrid, Qt::Key_F, Qt::ControlModifier);
    EXPECT_EQ(QApplication::focusWidget(), filter);

    struct {
        const char* Typed;
        Texts Rows;
        const char* Count;
    } cases[] = {
        {"a", {"ALI", "REZA"}, "2 of 3"},
        {"RE", {"REZA"}, "1 of 3"},
        {"سا", {"سارا"}, "1 of 3"},
        {"nobody", {}, "0 of 3"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Typed);
        filter->clear();
        const QString typed = QString::fromUtf8(c.Typed);
        // Key clicks are Latin letters only; other letters come as an input method gives them.
        if (typed.front().unicode() < 0x80)
            QTest::keyClicks(filter, typed);
        else
            filter->insert(typed);
        EXPECT_EQ(Shown(view.ConnGrid), c.Rows);
        EXPECT_EQ(count->text().toStdString(), c.Count);
    }
    // Nothing shown: nothing current, no details.
    EXPECT_EQ(view.CurrentRow(), -1);
    EXPECT_TRUE(view.RequestsCountEdit->text().isEmpty());
    EXPECT_EQ(view.Results->rowCount(), 0);

    // The details are the ones of the connection shown, not of the model's row of that place.
    filter->setText(QStringLiteral("سا"));
    view.SetCurrentRow(0);
    EXPECT_EQ(view.RequestsCountEdit->text().toStdString(), "9");

    // A refresh filters the new rows and makes the first row shown current.
    view.RefreshAct->trigger();
    EXPECT_EQ(Shown(view.ConnGrid), Texts{"سارا"});
    EXPECT_EQ(view.CurrentRow(), 1);
    EXPECT_EQ(view.RequestsCountEdit->text().toStdString(), "9");

    // Esc clears the field; the dialog stays open.
    filter->setFocus();
    QTest::keyClick(filter, Qt::Key_Escape);
    EXPECT_TRUE(filter->text().isEmpty());
    EXPECT_TRUE(view.isVisible());
    EXPECT_EQ(count->text().toStdString(), "3 of 3");

    // Tab goes from the field to the grid.
    QTest::keyClick(filter, Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), view.ConnGrid);
    view.hide();
}

TEST_F(GridToolsTest, DeleteRemovesTheConnectionShownCurrentWhateverTheSort) {
    Open();
    TLocConnForm& view = *form_->LocConnForm;
    Activate(view);
    ASSERT_TRUE(view.RefreshView());
    view.ConnGrid->sortByColumn(0, Qt::DescendingOrder);
    view.SetCurrentRow(0);
    const std::string first = Shown(view.ConnGrid)[0];
    const int current = view.CurrentRow();
    ASSERT_NE(current, 0);
    EXPECT_EQ(ServerText(view.Connections->RowAt(current)->UserName).toStdString(), first);

    // The Delete key asks, then deletes that connection.
    view.ConnGrid->setFocus();
    boxes_.Answer(TMsgDlgBtn::mbYes);
    QTest::keyClick(view.ConnGrid, Qt::Key_Delete);
    ASSERT_EQ(boxes_.Texts(), Texts{"Are you sure about deleting connection?"});
    const std::vector<TLoggedRequest> deletes = server_->Requests(369);
    ASSERT_EQ(deletes.size(), 1u);
    EXPECT_EQ(deletes[0].Param, current == 1 ? 12 : 13);
    const Texts left = Shown(view.ConnGrid);
    EXPECT_EQ(left.size(), 2u);
    EXPECT_EQ(std::count(left.begin(), left.end(), first), 0);
    // The next row shown is current.
    EXPECT_EQ(view.ConnGrid->selectionModel()->currentIndex().row(), 0);
    view.hide();
}

TEST_F(GridToolsTest, RefreshAndDeleteHaveTheirStandardKeysNamedInTheirToolTips) {
    Open();
    TWebConnForm& view = *form_->WebConnForm;
    for (QAction* action : {view.RefreshAct, view.DeleteConnAct}) {
        SCOPED_TRACE(action->objectName().toStdString());
        EXPECT_FALSE(action->shortcut().isEmpty());
        EXPECT_TRUE(action->toolTip().endsWith(
            QStringLiteral(" (") + action->shortcut().toString(QKeySequence::NativeText) +
            QStringLiteral(")")));
    }
    EXPECT_EQ(view.RefreshAct->shortcut(), QKeySequence(QKeySequence::Refresh));
    EXPECT_EQ(view.DeleteConnAct->shortcut(), QKeySequence(QKeySequence::Delete));
    Activate(view);
    QTest::keyClick(view.ConnGrid, Qt::Key_F5);
    EXPECT_EQ(server_->Requests(370).size(), 1u);
    EXPECT_EQ(view.Connections->rowCount(), 2);
    view.hide();
}

TEST_F(GridToolsTest, CopyTakesTheSelectedRowsWithTheHeaderRow) {
    Open();
    TWebConnForm& view = *form_->WebConnForm;
    Activate(view);
    ASSERT_TRUE(view.RefreshView());
    view.ConnGrid->sortByColumn(1, Qt::DescendingOrder);
    view.SetCurrentRow(0);
    view.ConnGrid->setFocus();
    QTest::keyClick(view.ConnGrid, Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(QApplication::clipboard()->text().toStdString(),
              "User Name\tLast Access Time\nweb\t2024/12/11 09:00:01\n");
    QTest::keyClick(view.ConnGrid, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClick(view.ConnGrid, Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(QApplication::clipboard()->text().toStdString(),
              "User Name\tLast Access Time\nweb\t2024/12/11 09:00:01\nweb\t2024/12/10 08:30:00\n");
    // The context menu holds the same.
    Texts menu;
    for (QAction* action : view.ConnGrid->actions())
        menu.push_back(action->text().toStdString());
    EXPECT_EQ(menu, (Texts{"&Copy", "Select &All", "&Export..."}));
    view.hide();
}

TEST_F(GridToolsTest, ExportWritesTheRowsShownAsCsvOrAsTheCommandLinesJson) {
    Open();
    TLocConnForm& view = *form_->LocConnForm;
    ASSERT_TRUE(view.RefreshView());
    GridFilterEdit(view.ConnGrid)->setText(QStringLiteral("a"));

    const std::string csv = TempPath("locals.csv");
    ASSERT_TRUE(ExportGrid(view.ConnGrid, QString::fromStdString(csv)));
    QFile csvFile(QString::fromStdString(csv));
    ASSERT_TRUE(csvFile.open(QIODevice::ReadOnly));
    EXPECT_EQ(csvFile.readAll().toStdString(), "User Name\r\nALI\r\nREZA\r\n");

    const std::string path = TempPath("locals.JSON");
    ASSERT_TRUE(ExportGrid(view.ConnGrid, QString::fromStdString(path)));
    QFile file(QString::fromStdString(path));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const json exported = json::parse(file.readAll().toStdString());
    ASSERT_EQ(exported["connections"].size(), 2u);
    const json& ali = exported["connections"][0];
    Texts keys;
    for (const auto& [key, value] : ali.items())
        keys.push_back(key);
    std::sort(keys.begin(), keys.end());
    EXPECT_EQ(keys,
              (Texts{"async_requests", "capture_flags", "captured_db_id", "captured_text_bank_id",
                     "connect_time", "last_request_time", "requests_count", "results",
                     "results_count", "security_num", "status", "status_text", "user_name"}));
    EXPECT_EQ(ali["user_name"], "ALI");
    EXPECT_EQ(ali["security_num"], 11);
    EXPECT_EQ(ali["status"], 131);
    EXPECT_EQ(ali["status_text"], "Replying request");
    EXPECT_EQ(ali["connect_time"], "2004-05-17T14:03:22");
    ASSERT_EQ(ali["results"].size(), 3u);
    EXPECT_EQ(ali["results"][0],
              json::parse(R"({"kind": 5, "kind_text": ")" +
                          view.Results->Rows()[0].Kind.toStdString() +
                          R"(", "db_handle": 100, "db_name": "SEVEN", "lifetime": 32768,
                             "description": ")" +
                          view.Results->Rows()[0].Desc.toStdString() + "\"}"));
    EXPECT_EQ(exported["connections"][1]["user_name"], "REZA");

    // A file that cannot be written is told, and nothing else is touched.
    boxes_.Clear();
    EXPECT_FALSE(ExportGrid(view.ConnGrid, QString::fromStdString(TempPath("none/x.csv"))));
    ASSERT_EQ(boxes_.Texts().size(), 1u);
    EXPECT_EQ(boxes_.Texts()[0].rfind("Cannot write the file ", 0), 0u);
}

TEST_F(GridToolsTest, DatabaseExportNamesFarsiUsersExactly) {
    Open();
    TDBListForm& view = *form_->DBListForm;
    ASSERT_TRUE(view.RefreshView());
    const std::string path = TempPath("dbs.json");
    ASSERT_TRUE(ExportGrid(view.DBGrid, QString::fromStdString(path)));
    QFile file(QString::fromStdString(path));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const json exported = json::parse(file.readAll().toStdString());
    const json& seven = exported["databases"][0];
    EXPECT_EQ(seven["id"], 7);
    EXPECT_EQ(seven["name"], "SEVEN");
    EXPECT_EQ(seven["child_ids"], json::parse("[7, 9]"));
    EXPECT_EQ(seven["child_list"], "7 - SEVEN\r\n9 - UNKNOWN");
    EXPECT_EQ(seven["results"][1]["user_name"], "سارا");
    EXPECT_EQ(seven["results"][1]["kind"], 12);
}

TEST_F(GridToolsTest, TheLayoutIsRememberedAndAPlaceOffEveryScreenIsIgnored) {
    Open();
    {
        TLocConnForm& view = *form_->LocConnForm;
        view.show();
        view.ConnGrid->sortByColumn(0, Qt::DescendingOrder);
        view.ResultGrid->setColumnWidth(0, 123);
        view.Splitter->setSizes({250, 500});
        view.move(40, 50);
        view.resize(700, 420);
        view.hide();
    }
    for (const char* key : {"LocConnForm/Sort", "LocConnForm/ResultGridColumnWidths",
                            "LocConnForm/Splitter", "LocConnForm/Geometry"}) {
        SCOPED_TRACE(key);
        EXPECT_EQ(store_.Read(key).Kind, TConfigValueKind::String);
    }
    EXPECT_EQ(store_.Read("LocConnForm/Sort").Text, "0,1");

    TLocConnForm again;
    EXPECT_EQ(again.ConnGrid->horizontalHeader()->sortIndicatorSection(), 0);
    EXPECT_EQ(again.ConnGrid->horizontalHeader()->sortIndicatorOrder(), Qt::DescendingOrder);
    EXPECT_EQ(again.ResultGrid->columnWidth(0), 123);
    EXPECT_EQ(again.size(), QSize(700, 420));
    again.show();
    const QList<int> sizes = again.Splitter->sizes();
    EXPECT_EQ(sizes.size(), 2);
    EXPECT_NEAR(sizes[0], 250, 40);
    EXPECT_EQ(again.frameGeometry().topLeft(), QPoint(40, 50));
    again.hide();

    // A place on no screen: the window opens in the middle of its screen instead.
    store_.WriteString("LocConnForm/Geometry", "-30000,-30000,700,420");
    TLocConnForm lost;
    lost.show();
    EXPECT_TRUE(QGuiApplication::primaryScreen()->availableGeometry().contains(
        lost.frameGeometry().center()));
    lost.hide();
}

} // namespace
