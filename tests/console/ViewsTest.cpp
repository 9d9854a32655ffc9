// The five server views filled from the reference server: their models against the fixture,
// the delete commands, failed and interrupted loads.

#include "ConsoleTestSupport.h"
#include "DBFormU.h"
#include "ErrLogFormU.h"
#include "LocConnFormU.h"
#include "RequestDispatcher.h"
#include "SrvStatusFormU.h"
#include "ViewSupport.h"
#include "WebConnFormU.h"
#include "Win1256.h"

#include <QAbstractItemModelTester>
#include <QAction>
#include <QFontInfo>
#include <QItemSelectionModel>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QScrollArea>
#include <QScrollBar>
#include <QTableView>
#include <QTest>

namespace {

using nlohmann::json;
using Texts = std::vector<std::string>;

class ViewTest : public ConsoleTest {
protected:
    void Open(const json& fixture) {
        StartServer(fixture);
        MakeMainForm();
        ASSERT_TRUE(ConnectTcp(server_->Port(), fixture.value("administrator_password", "")));
        boxes_.Clear();
    }
    static void Test(QAbstractItemModel* model) {
        new QAbstractItemModelTester(model, QAbstractItemModelTester::FailureReportingMode::Fatal,
                                     model);
    }
};

TEST_F(ViewTest, LocalConnectionsShowTheRowsDetailsAndResultsOfTheCurrentConnection) {
    Open(SmallInstallation());
    TLocConnForm& view = *form_->LocConnForm;
    Test(view.Connections);
    Test(view.Results);
    EXPECT_TRUE(view.RefreshView());
    EXPECT_TRUE(boxes_.Texts().empty());
    EXPECT_EQ(view.windowTitle().toStdString(), "Local Connections");
    EXPECT_EQ(ColumnTexts(*view.Connections, 0), (Texts{"ALI", "سارا", "REZA"}));
    EXPECT_EQ(view.CurrentRow(), 0);
    EXPECT_EQ(view.StatusEdit->text().toStdString(), "Replying request");
    EXPECT_EQ(view.RequestsCountEdit->text().toStdString(), "5");
    EXPECT_EQ(view.ASyncRequestsEdit->text().toStdString(), "1");
    EXPECT_EQ(view.ResultsCountEdit->text().toStdString(), "3");
    EXPECT_EQ(view.ConnectTimeEdit->text().toStdString(), "2004/05/17 14:03:22");
    EXPECT_EQ(view.LastRequestTimeEdit->text().toStdString(), "2004/05/17 14:05:00");
    EXPECT_EQ(ColumnTexts(*view.Results, 0),
              (Texts{"Search Result", "Unknown", "General Purpose"}));
    EXPECT_EQ(ColumnTexts(*view.Results, 1), (Texts{"SEVEN", "", "UNKNOWN"}));
    EXPECT_EQ(ColumnTexts(*view.Results, 2),
              (Texts{"Active By Client", "", "Permanent By Database"}));

    view.SetCurrentRow(1);
    EXPECT_EQ(view.StatusEdit->text().toStdString(), "Captured DB Id 7");
    EXPECT_EQ(view.Results->rowCount(), 0);
    view.SetCurrentRow(2);
    EXPECT_EQ(view.StatusEdit->text().toStdString(), "Invalid Status");
}

TEST_F(ViewTest, AResultGridKeepsItsRowsWhenTheRowsAboveItAreReplaced) {
    // The result grids show the results of the current row; they stay whole when the grid above
    // is emptied or refilled on its own, without the window clearing them first.
    Open(SmallInstallation());
    TLocConnForm& connections = *form_->LocConnForm;
    TDBListForm& databases = *form_->DBListForm;
    ASSERT_TRUE(connections.RefreshView());
    ASSERT_TRUE(databases.RefreshView());
    connections.Connections->Reset({});
    databases.Databases->Reset({TDBRow{}});
    EXPECT_EQ(ColumnTexts(*connections.Results, 1), (Texts{"SEVEN", "", "UNKNOWN"}));
    EXPECT_EQ(ColumnTexts(*databases.Results, 1), (Texts{"ALI", "سارا"}));
}

TEST_F(ViewTest, DeletingALocalConnectionOnlyOnYesAndWithoutAReload) {
    Open(SmallInstallation());
    TLocConnForm& view = *form_->LocConnForm;
    Test(view.Connections);
    Test(view.Results);
    view.RefreshView();
    for (TMsgDlgBtn answer : {TMsgDlgBtn::mbNo, TMsgDlgBtn::mbCancel}) {
        view.SetCurrentRow(1);
        boxes_.Answer(answer);
        view.DeleteConnActExecute();
        EXPECT_EQ(view.Connections->rowCount(), 3);
    }
    EXPECT_TRUE(server_->Requests(369).empty());

    boxes_.Answer(TMsgDlgBtn::mbYes);
    view.DeleteConnActExecute();
    EXPECT_EQ(boxes_.Texts(), Texts(3, "Are you sure about deleting connection?"));
    const std::vector<TLoggedRequest> deletes = server_->Requests(369);
    ASSERT_EQ(deletes.size(), 1u);
    EXPECT_EQ(deletes[0].Param, 12);
    const std::string name = EncodeWin1256("سارا").Bytes;
    EXPECT_EQ(deletes[0].DataHex, Hex({static_cast<std::uint8_t>(name.size())}) +
                                      Hex(std::vector<std::uint8_t>(name.begin(), name.end())));
    EXPECT_EQ(ColumnTexts(*view.Connections, 0), (Texts{"ALI", "REZA"}));
    EXPECT_EQ(view.StatusEdit->text().toStdString(), "Invalid Status");
    EXPECT_EQ(server_->Requests(368).size(), 1u);

    // The server's view of the connections comes with the next load.
    view.RefreshView();
    EXPECT_EQ(ColumnTexts(*view.Connections, 0), (Texts{"ALI", "REZA"}));
}

TEST_F(ViewTest, WebConnectionsAreToldApartByTheirIdWhenDeleted) {
    Open(SmallInstallation());
    TWebConnForm& view = *form_->WebConnForm;
    Test(view.Connections);
    view.RefreshView();
    EXPECT_EQ(view.windowTitle().toStdString(), "WEB Connections");
    EXPECT_EQ(ColumnTexts(*view.Connections, 0), (Texts{"web", "web"}));
    EXPECT_EQ(ColumnTexts(*view.Connections, 1),
              (Texts{"2024/12/10 08:30:00", "2024/12/11 09:00:01"}));
    view.SetCurrentRow(1);
    boxes_.Answer(TMsgDlgBtn::mbCancel);
    view.DeleteConnActExecute();
    boxes_.Answer(TMsgDlgBtn::mbNo);
    view.DeleteConnActExecute();
    EXPECT_TRUE(server_->Requests(371).empty());
    boxes_.Answer(TMsgDlgBtn::mbYes);
    view.DeleteConnActExecute();
    const std::vector<TLoggedRequest> deletes = server_->Requests(371);
    ASSERT_EQ(deletes.size(), 1u);
    EXPECT_EQ(deletes[0].Param, 6);
    EXPECT_EQ(ColumnTexts(*view.Connections, 1), Texts{"2024/12/10 08:30:00"});
}

TEST_F(ViewTest, WebConnectionsRefreshMakesTheFirstRowCurrentUnderItsCaptions) {
    Open(SmallInstallation());
    TWebConnForm& view = *form_->WebConnForm;
    Test(view.Connections);
    EXPECT_EQ(view.Connections->headerData(0, Qt::Horizontal).toString().toStdString(),
              "User Name");
    EXPECT_EQ(view.Connections->headerData(1, Qt::Horizontal).toString().toStdString(),
              "Last Access Time");
    EXPECT_EQ(view.CurrentRow(), -1);
    EXPECT_TRUE(view.RefreshView());
    EXPECT_EQ(view.CurrentRow(), 0);
    // The toolbar's Refresh reloads and makes the first row current again, whichever row
    // was current before.
    view.SetCurrentRow(1);
    ASSERT_EQ(view.CurrentRow(), 1);
    view.RefreshAct->trigger();
    EXPECT_EQ(server_->Requests(370).size(), 2u);
    EXPECT_EQ(view.CurrentRow(), 0);
    EXPECT_TRUE(view.ConnGrid->selectionModel()->isRowSelected(0, {}));
    EXPECT_FALSE(view.ConnGrid->selectionModel()->isRowSelected(1, {}));
    EXPECT_TRUE(boxes_.Texts().empty());
}

TEST_F(ViewTest, DatabasesShowNamesStatesChildListAndResults) {
    Open(SmallInstallation());
    TDBListForm& view = *form_->DBListForm;
    Test(view.Databases);
    Test(view.Results);
    EXPECT_TRUE(view.RefreshView());
    EXPECT_EQ(ColumnTexts(*view.Databases, 0), (Texts{"7", "9"}));
    EXPECT_EQ(ColumnTexts(*view.Databases, 1), (Texts{"SEVEN", "UNKNOWN"}));
    EXPECT_EQ(ColumnTexts(*view.Databases, 2), (Texts{"Open", "Close"}));
    EXPECT_EQ(view.Databases->headerData(2, Qt::Horizontal).toString().toStdString(), "Staus");
    EXPECT_EQ(view.PathEdit->text().toStdString(), "D:\\DB\\SEVEN");
    EXPECT_EQ(view.ResCountEdit->text().toStdString(), "2");
    EXPECT_EQ(view.ChildHoodEdit->text().toStdString(), "Parent (ChildCount = 2)");
    // Each line carries a left-to-right mark so that a Farsi name keeps "7 - " on the left.
    EXPECT_EQ(view.ChildListMemo->toPlainText().toStdString(),
              "\u200E7 - SEVEN\n\u200E9 - UNKNOWN");
    EXPECT_EQ(ColumnTexts(*view.Results, 0), (Texts{"Database Record", "Multi-DB Search Result"}));
    EXPECT_EQ(ColumnTexts(*view.Results, 1), (Texts{"ALI", "سارا"}));
    EXPECT_EQ(ColumnTexts(*view.Results, 2), (Texts{"", ""}));
    view.SetCurrentRow(1);
    EXPECT_EQ(view.ChildHoodEdit->text().toStdString(), "Child");
    EXPECT_EQ(view.ChildListMemo->toPlainText().toStdString(), "");
    EXPECT_EQ(view.Results->rowCount(), 0);
}

TEST_F(ViewTest, FarsiServerTextsAreShownDecodedExactlyOnce) {
    // Names, paths and user names arrive in the Arabic-script code page; each view shows the
    // same characters that the server was given, neither raw bytes nor decoded twice.
    const std::string db = "کتاب";
    const std::string path = "D:\\داده";
    json fixture = SmallInstallation();
    fixture["database_list"]["databases"][0]["name"] = db;
    fixture["database_view"][0]["path"] = path;
    fixture["web_connections"][0]["user_name"] = "وب";
    fixture["error_log"] = {{"lines", {"خطاي پايگاه"}}, {"line_end", "crlf"}};
    Open(fixture);

    TDBListForm& databases = *form_->DBListForm;
    ASSERT_TRUE(databases.RefreshView());
    EXPECT_EQ(ColumnTexts(*databases.Databases, 1), (Texts{db, "UNKNOWN"}));
    EXPECT_EQ(databases.PathEdit->text().toStdString(), path);
    EXPECT_EQ(databases.ChildListMemo->toPlainText().toStdString(),
              "\u200E7 - " + db + "\n\u200E9 - UNKNOWN");
    EXPECT_EQ(ColumnTexts(*databases.Results, 1), (Texts{"ALI", "سارا"}));

    TLocConnForm& locals = *form_->LocConnForm;
    ASSERT_TRUE(locals.RefreshView());
    EXPECT_EQ(ColumnTexts(*locals.Connections, 0), (Texts{"ALI", "سارا", "REZA"}));
    EXPECT_EQ(ColumnTexts(*locals.Results, 1), (Texts{db, "", "UNKNOWN"}));

    TWebConnForm& webs = *form_->WebConnForm;
    ASSERT_TRUE(webs.RefreshView());
    EXPECT_EQ(ColumnTexts(*webs.Connections, 0), (Texts{"وب", "web"}));

    TErrorLogForm& log = *form_->ErrorLogForm;
    ASSERT_TRUE(log.RefreshView());
    EXPECT_EQ(DecodeWin1256(log.LogText()), "خطاي پايگاه\r\n");
    EXPECT_EQ(log.LogMemo->toPlainText().toStdString(), "خطاي پايگاه");
    EXPECT_TRUE(boxes_.Texts().empty());
}

TEST_F(ViewTest, AFailedReloadKeepsEveryViewAsItWas) {
    Open(SmallInstallation());
    form_->LocConnForm->RefreshView();
    form_->WebConnForm->RefreshView();
    form_->DBListForm->RefreshView();
    form_->ServerStatusForm->RefreshView();
    form_->ErrorLogForm->RefreshView();
    const QString status = form_->ServerStatusForm->ValueLabels[0]->text();
    const TServerText log = form_->ErrorLogForm->LogText();
    ASSERT_FALSE(status.isEmpty());
    ASSERT_FALSE(log.empty());
    ASSERT_TRUE(boxes_.Texts().empty());

    TServerSet one;
    one.set(1);
    RequestDispatcher->RemoveServers(one);
    EXPECT_FALSE(form_->LocConnForm->RefreshView());
    EXPECT_FALSE(form_->WebConnForm->RefreshView());
    EXPECT_FALSE(form_->DBListForm->RefreshView());
    EXPECT_FALSE(form_->ServerStatusForm->RefreshView());
    EXPECT_EQ(boxes_.Texts(),
              (Texts{"Client Internal Error Number 265 (Request Execution Aborted).",
                     "Client Internal Error Number 267 (Request Execution Aborted).",
                     "Client Internal Error Number 269 (Request Execution Aborted).",
                     "Client Internal Error Number 270 (Request Execution Aborted)."}));
    EXPECT_EQ(form_->LocConnForm->Connections->rowCount(), 3);
    EXPECT_EQ(form_->LocConnForm->Results->rowCount(), 3);
    EXPECT_EQ(form_->WebConnForm->Connections->rowCount(), 2);
    EXPECT_EQ(form_->DBListForm->Databases->rowCount(), 2);
    EXPECT_EQ(form_->ServerStatusForm->ValueLabels[0]->text(), status);
}

TEST_F(ViewTest, AnInvalidServerDateStopsTheLoadAndKeepsTheRowsSoFar) {
    json fixture = SmallInstallation();
    fixture["local_connections"][1]["last_request_time"] = {104, 4, 0, 0, 0, 0};
    fixture["web_connections"][1]["last_access_time"] = {104, 1, 30, 0, 0, 0};
    Open(fixture);
    EXPECT_FALSE(form_->LocConnForm->RefreshView());
    EXPECT_FALSE(form_->WebConnForm->RefreshView());
    EXPECT_EQ(boxes_.Texts(), (Texts{"'2004/05/00 00:00:00' is not a valid date and time",
                                     "'2004/02/30 00:00:00' is not a valid date and time"}));
    EXPECT_EQ(ColumnTexts(*form_->LocConnForm->Connections, 0), Texts{"ALI"});
    EXPECT_EQ(form_->LocConnForm->Results->rowCount(), 3);
    EXPECT_EQ(ColumnTexts(*form_->WebConnForm->Connections, 1), Texts{"2024/12/10 08:30:00"});
}

TEST_F(ViewTest, ServerStatusValuesAlignInFixedColumns) {
    const json zeros = {{"non_queued_db_requests", 0}, {"queued_db_requests", 0},
                        {"non_db_requests", 0},        {"version_mismatched_requests", 0},
                        {"child_dbs_defined", 0},      {"child_dbs_open", 0},
                        {"parent_dbs_defined", 0},     {"parent_dbs_open", 0},
                        {"client_count", 0},           {"result_counts", std::vector<int>(14, 0)}};
    json busy = zeros;
    busy["non_queued_db_requests"] = 30000000;
    busy["queued_db_requests"] = 10000000;
    busy["child_dbs_defined"] = 2;
    busy["parent_dbs_defined"] = 1;
    busy["client_count"] = 12;
    busy["result_counts"][5] = 7;
    struct {
        const char* Name;
        json Status;
        std::map<std::size_t, std::string> Values; // by line
    } cases[] = {
        {"all zero",
         zeros,
         {{0, "        0 (100%)"},
          {1, "        0 (  0%)"},
          {4, "        0 (  0%)"},
          {5, "Defined =   0, Currently Open =   0"},
          {8, "0"},
          {9, "  0"},
          {23, "  0"}}},
        {"thirty million",
         busy,
         {{0, " 40000000 (100%)"},
          {1, " 30000000 ( 75%)"},
          {2, " 10000000 ( 25%)"},
          {3, "        0 (  0%)"},
          {5, "Defined =   3, Currently Open =   0"},
          {6, "Defined =   2, Currently Open =   0"},
          {8, "12"},
          {9, "  7"},
          {11, "  7"}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        json fixture = SmallInstallation();
        fixture["status"] = c.Status;
        Open(fixture);
        TServerStatusForm& view = *form_->ServerStatusForm;
        ASSERT_EQ(view.ValueLabels.size(), 24u);
        EXPECT_EQ(view.ValueLabels[0]->text().toStdString(), "");
        EXPECT_TRUE(view.RefreshView());
        for (const auto& [line, value] : c.Values)
            EXPECT_EQ(view.ValueLabels[line]->text().toStdString(), value) << "line " << line;
        EXPECT_EQ(view.CaptionLabels[0]->text().toStdString(), "Total Server Requests Count ");
        EXPECT_EQ(view.CaptionLabels[6]->text().toStdString(), "Number of Child DBatabases");
        EXPECT_TRUE(QFontInfo(view.ValueLabels[0]->font()).fixedPitch());
        form_.reset();
        DoneErrorLog();
    }
}

TEST_F(ViewTest, ServerStatusOpensWholeWhereItFitsAndScrollsWhereItDoesNot) {
    Open(SmallInstallation());
    TServerStatusForm& view = *form_->ServerStatusForm;
    ASSERT_TRUE(view.RefreshView());
    QScrollBar& vertical = *view.GroupsArea->verticalScrollBar();
    QLabel& lastValue = *view.ValueLabels.back();
    view.show();
    QCoreApplication::processEvents();

    // At its own size every line shows and nothing scrolls.
    const QSize own = view.sizeHint();
    view.resize(own);
    QCoreApplication::processEvents();
    EXPECT_EQ(vertical.maximum(), 0);
    EXPECT_EQ(view.GroupsArea->horizontalScrollBar()->maximum(), 0);
    EXPECT_FALSE(lastValue.visibleRegion().isEmpty());
    // It can be resized.
    EXPECT_GT(view.maximumHeight(), own.height());
    EXPECT_LT(view.minimumSizeHint().height(), own.height() / 2);

    // A screen with room for it keeps that size.
    const QSize frame = view.frameGeometry().size() - view.size();
    view.FitInto(QRect(QPoint(0, 0), own + frame + QSize(40, 40)));
    EXPECT_EQ(view.size(), own);

    // A screen 200 pixels too short: the window fits into it, the lower lines scroll and the
    // keyboard reaches them.
    const QRect shortScreen(QPoint(0, 0), own + frame - QSize(0, 200) + QSize(200, 0));
    view.FitInto(shortScreen);
    QCoreApplication::processEvents();
    EXPECT_EQ(view.frameGeometry().height(), shortScreen.height());
    EXPECT_LE(view.frameGeometry().width(), shortScreen.width());
    EXPECT_GT(vertical.maximum(), 0);
    EXPECT_EQ(view.GroupsArea->horizontalScrollBar()->maximum(), 0);
    EXPECT_TRUE(lastValue.visibleRegion().isEmpty());
    EXPECT_EQ(view.focusWidget(), view.GroupsArea);
    for (int i = 0; i < 20 && vertical.value() < vertical.maximum(); ++i)
        QTest::keyClick(view.GroupsArea, Qt::Key_PageDown);
    EXPECT_EQ(vertical.value(), vertical.maximum());
    EXPECT_FALSE(lastValue.visibleRegion().isEmpty());
    view.hide();
}

TEST_F(ViewTest, ErrorLogIsReadInChunksWithEveryLineEndingInCrLf) {
    const std::string x4095(4095, 'x');
    struct {
        const char* Name;
        std::string Log;
        std::string Text;
        std::vector<long long> Offsets;
        std::string Shown;
    } cases[] = {
        {"empty", "", "", {0}, ""},
        {"mixed line ends", "a\nb\r\nc\n", "a\r\nb\r\nc\r\n", {0, 7}, "a\nb\nc"},
        {"exactly 4096 bytes", x4095 + "\n", x4095 + "\r\n", {0, 4096}, x4095},
        {"CR LF across chunks",
         x4095 + "\r\nend\n",
         x4095 + "\r\r\nend\r\n",
         {0, 4096, 4101},
         x4095 + "\nend"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        json fixture = SmallInstallation();
        fixture["error_log"] = c.Log;
        Open(fixture);
        TErrorLogForm& view = *form_->ErrorLogForm;
        EXPECT_TRUE(view.RefreshView());
        EXPECT_TRUE(boxes_.Texts().empty());
        EXPECT_TRUE(view.LogText() == TServerText(c.Text));
        std::vector<long long> offsets;
        for (const TLoggedRequest& r : server_->Requests(374))
            offsets.push_back(r.Param);
        EXPECT_EQ(offsets, c.Offsets);
        EXPECT_TRUE(view.LogMemo->toPlainText().toStdString() == c.Shown);
        EXPECT_EQ(view.LogMemo->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
        EXPECT_EQ(view.LogMemo->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
        form_.reset();
        DoneErrorLog();
    }
}

} // namespace
