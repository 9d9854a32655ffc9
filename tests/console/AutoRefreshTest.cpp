// Watching a server live: the auto-refresh control and its ticks, the grids keeping their place
// across an automatic refresh, the status history with its rates and CSV, and its charts.

#include "AutoRefresh.h"
#include "ConsoleRequests.h"
#include "ConsoleTestSupport.h"
#include "CounterChart.h"
#include "DBFormU.h"
#include "ErrLogFormU.h"
#include "GridModel.h"
#include "LocConnFormU.h"
#include "RequestDispatcher.h"
#include "ServerTextPrinting.h"
#include "SrvStatusFormU.h"
#include "StatusHistory.h"
#include "WebConnFormU.h"

#include <QAction>
#include <QDialog>
#include <QEventLoop>
#include <QFile>
#include <QImage>
#include <QItemSelectionModel>
#include <QLabel>
#include <QLineEdit>
#include <QScrollBar>
#include <QSortFilterProxyModel>
#include <QTableView>
#include <QTest>
#include <QTimer>

#include <optional>

namespace {

using nlohmann::json;
using Texts = std::vector<std::string>;

// Lets events through until `done` holds, or gives up after a generous while.
bool WaitFor(const std::function<bool()>& done) {
    return QTest::qWaitFor(done, 10000);
}

// Lets the event loop run for a while (ticks that should not come get their chance to).
void Spin(int milliseconds) {
    QEventLoop loop;
    QTimer::singleShot(milliseconds, &loop, &QEventLoop::quit);
    loop.exec();
}

// ---- the control on its own

class AutoRefreshControlTest : public ::testing::Test {
protected:
    AutoRefreshControlTest() : previous_(SetConfigStore(&store_)) {}
    ~AutoRefreshControlTest() override { SetConfigStore(previous_); }

    TMemoryConfigStore store_;
    IConfigStore* previous_;
};

TEST_F(AutoRefreshControlTest, IsOffByDefaultAndRemembersTheIntervalPerView) {
    TAutoRefresh first(QStringLiteral("LocConnForm"), nullptr);
    EXPECT_FALSE(first.IsOn());
    EXPECT_FALSE(first.ToggleAct->isChecked());
    EXPECT_EQ(first.IntervalSeconds(), TAutoRefresh::kDefaultInterval);
    ASSERT_EQ(first.IntervalActs.size(), TAutoRefresh::kIntervals.size());

    // Picking an interval from the menu turns it on and keeps the interval for that view.
    first.IntervalActs[3]->trigger();
    EXPECT_TRUE(first.IsOn());
    EXPECT_TRUE(first.ToggleAct->isChecked());
    EXPECT_EQ(first.IntervalSeconds(), 30);
    EXPECT_EQ(store_.Read("LocConnForm/AutoRefreshSec").Text, "30");

    TAutoRefresh again(QStringLiteral("LocConnForm"), nullptr);
    TAutoRefresh other(QStringLiteral("DBListForm"), nullptr);
    EXPECT_EQ(again.IntervalSeconds(), 30);
    EXPECT_TRUE(again.IntervalActs[3]->isChecked());
    EXPECT_FALSE(again.IsOn());
    EXPECT_EQ(other.IntervalSeconds(), TAutoRefresh::kDefaultInterval);

    // Values the menu does not offer, stored or asked for, are not taken.
    for (const char* stored : {"7", "0", "-5", "ten", ""}) {
        SCOPED_TRACE(stored);
        store_.Put("WebConnForm/AutoRefreshSec", {TConfigValueKind::String, stored, {}});
        EXPECT_EQ(TAutoRefresh(QStringLiteral("WebConnForm"), nullptr).IntervalSeconds(),
                  TAutoRefresh::kDefaultInterval);
    }
    store_.Put("WebConnForm/AutoRefreshSec", {TConfigValueKind::Binary, {}, {5}});
    EXPECT_EQ(TAutoRefresh(QStringLiteral("WebConnForm"), nullptr).IntervalSeconds(),
              TAutoRefresh::kDefaultInterval);
    first.SetIntervalSeconds(7);
    EXPECT_EQ(first.IntervalSeconds(), 30);
}

TEST_F(AutoRefreshControlTest, TicksRefreshOnlyWhileAllowedAndNeverPileUp) {
    TAutoRefresh control(QStringLiteral("View"), nullptr);
    bool allowed = false;
    int refreshes = 0;
    int automatic = 0;
    int inside = 0;
    int mostInside = 0;
    control.MayRefresh = [&] { return allowed; };
    control.Refresh = [&](bool isAutomatic) {
        ++refreshes;
        automatic += isAutomatic ? 1 : 0;
        mostInside = std::max(mostInside, ++inside);
        // A slow refresh that lets events through, as a request waiting for its server does,
        // for many tick intervals.
        Spin(150);
        --inside;
        return true;
    };
    control.SetTickMilliseconds(10);
    control.SetOn(true);

    Spin(200);
    EXPECT_EQ(refreshes, 0) << "paused";

    allowed = true;
    ASSERT_TRUE(WaitFor([&] { return refreshes >= 3; }));
    EXPECT_EQ(mostInside, 1);
    EXPECT_EQ(automatic, refreshes);

    // A manual refresh asked for while an automatic one runs is not started inside it.
    bool nested = true;
    control.Refresh = [&](bool) {
        nested = control.Run(false);
        return true;
    };
    control.Run(false);
    EXPECT_FALSE(nested);

    control.SetOn(false);
    const int before = refreshes;
    Spin(100);
    EXPECT_EQ(refreshes, before);
}

TEST_F(AutoRefreshControlTest, AFailedAutomaticRefreshTurnsItOffWithAMessageOnTheStatusLine) {
    TAutoRefresh control(QStringLiteral("View"), nullptr);
    QString shown;
    QObject::connect(&control, &TAutoRefresh::StatusChanged,
                     [&](const QString& text) { shown = text; });
    control.Clock = [] { return QTime(9, 5, 7); };
    bool succeed = true;
    int refreshes = 0;
    control.Refresh = [&](bool) {
        ++refreshes;
        return succeed;
    };

    EXPECT_TRUE(control.Run(false));
    EXPECT_EQ(shown.toStdString(), "Refreshed at 09:05:07");

    // A failed manual refresh says nothing more and leaves the ticks alone.
    control.SetTickMilliseconds(10);
    control.SetOn(true);
    succeed = false;
    EXPECT_FALSE(control.Run(false));
    EXPECT_TRUE(control.IsOn());
    EXPECT_EQ(shown.toStdString(), "Refreshed at 09:05:07");

    ASSERT_TRUE(WaitFor([&] { return !control.IsOn(); }));
    const int failed = refreshes;
    EXPECT_FALSE(control.ToggleAct->isChecked());
    EXPECT_EQ(shown.toStdString(), "Auto refresh stopped: the refresh at 09:05:07 failed.");
    Spin(100);
    EXPECT_EQ(refreshes, failed);

    // Turned on again, it ticks again and the stop message goes.
    succeed = true;
    control.ToggleAct->trigger();
    EXPECT_TRUE(control.IsOn());
    EXPECT_EQ(shown.toStdString(), "");
    ASSERT_TRUE(WaitFor([&] { return refreshes > failed; }));
    EXPECT_EQ(shown.toStdString(), "Refreshed at 09:05:07");
}

TEST_F(AutoRefreshControlTest, AViewWindowMayRefreshOnlyWhenShownAndNothingIsModalOverIt) {
    QDialog view;
    EXPECT_FALSE(TAutoRefresh::WindowMayRefresh(&view)) << "hidden";
    // The views are opened modally: the view itself being modal is no reason to wait.
    view.setWindowModality(Qt::ApplicationModal);
    view.show();
    QCoreApplication::processEvents();
    EXPECT_TRUE(TAutoRefresh::WindowMayRefresh(&view));

    // A box (or any other modal window) over it.
    QDialog box(&view);
    box.setWindowModality(Qt::ApplicationModal);
    box.show();
    QCoreApplication::processEvents();
    EXPECT_FALSE(TAutoRefresh::WindowMayRefresh(&view)) << "a box is open";
    box.hide();
    QCoreApplication::processEvents();
    EXPECT_TRUE(TAutoRefresh::WindowMayRefresh(&view));

    view.showMinimized();
    QCoreApplication::processEvents();
    EXPECT_FALSE(TAutoRefresh::WindowMayRefresh(&view)) << "minimised";
    view.hide();
}

// ---- a grid keeps its place

struct TItem {
    int Id = 0;
    QString Name;
};

constexpr TGridColumn<TItem> kItemColumns[] = {
    {.Header = "Name", .Display = GridField<&TItem::Name>},
    {.Header = "Id", .Display = GridField<&TItem::Id>},
};

std::vector<TItem> Items(std::initializer_list<int> ids) {
    std::vector<TItem> items;
    for (int id : ids)
        items.push_back({id, QStringLiteral("item %1").arg(id, 3, 10, QLatin1Char('0'))});
    return items;
}

std::optional<int> CurrentId(const QTableView& grid) {
    const QModelIndex current = grid.selectionModel()->currentIndex();
    if (!current.isValid())
        return std::nullopt;
    return grid.model()->data(current, kGridKeyRole).toInt();
}

std::vector<int> SelectedIds(const QTableView& grid) {
    std::vector<int> ids;
    for (const QModelIndex& index : grid.selectionModel()->selectedRows())
        ids.push_back(grid.model()->data(index, kGridKeyRole).toInt());
    std::sort(ids.begin(), ids.end());
    return ids;
}

TEST(GridPlaceTest, TheCurrentRowStaysOnItsKeyWhileRowsBeforeItComeAndGo) {
    struct {
        const char* Name;
        std::vector<TItem> Before;
        int Current; // its id
        std::vector<int> Selected;
        std::vector<TItem> After;
        std::optional<int> CurrentAfter;
        std::vector<int> SelectedAfter;
    } cases[] = {
        {"rows appear before it",
         Items({1, 2, 3, 4}),
         3,
         {3},
         Items({0, 1, 2, 5, 6, 3, 4}),
         3,
         {3}},
        {"rows vanish before it", Items({1, 2, 3, 4}), 4, {4}, Items({3, 4}), 4, {4}},
        {"several selected",
         Items({1, 2, 3, 4, 5}),
         2,
         {2, 3, 5},
         Items({5, 9, 3, 2}),
         2,
         {2, 3, 5}},
        {"it went: the row now in its place",
         Items({1, 2, 3, 4}),
         3,
         {3},
         Items({1, 2, 4, 5}),
         4,
         {4}},
        {"it went with the last rows: the last row",
         Items({1, 2, 3, 4}),
         4,
         {4},
         Items({1, 2}),
         2,
         {2}},
        {"everything went", Items({1, 2}), 1, {1}, {}, std::nullopt, {}},
    };
    for (bool proxied : {false, true}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(c.Name) + (proxied ? ", sorted by a proxy" : ""));
            TGridModel<TItem> model(kItemColumns, nullptr);
            model.SetKey([](const TItem& item) -> QVariant { return item.Id; });
            QSortFilterProxyModel proxy;
            proxy.setSourceModel(&model);
            proxy.setSortRole(kGridSortRole);
            proxy.sort(1, Qt::DescendingOrder);
            QTableView grid;
            grid.setModel(proxied ? static_cast<QAbstractItemModel*>(&proxy) : &model);
            grid.setSelectionBehavior(QAbstractItemView::SelectRows);
            grid.setSelectionMode(QAbstractItemView::ExtendedSelection);
            model.Reset(c.Before);
            QItemSelectionModel& selection = *grid.selectionModel();
            for (int row = 0; row < grid.model()->rowCount(); ++row) {
                const QModelIndex index = grid.model()->index(row, 0);
                const int id = grid.model()->data(index, kGridKeyRole).toInt();
                if (id == c.Current)
                    selection.setCurrentIndex(index, QItemSelectionModel::NoUpdate);
                if (std::find(c.Selected.begin(), c.Selected.end(), id) != c.Selected.end())
                    selection.select(index,
                                     QItemSelectionModel::Select | QItemSelectionModel::Rows);
            }
            ASSERT_EQ(CurrentId(grid), c.Current);

            const TGridPlace place = SaveGridPlace(&grid);
            model.Reset(c.After);
            RestoreGridPlace(&grid, place);
            EXPECT_EQ(CurrentId(grid), c.CurrentAfter);
            EXPECT_EQ(SelectedIds(grid), c.SelectedAfter);
        }
    }
}

TEST(GridPlaceTest, TheScrollPositionComesBackAndTheFocusStaysWhereItWas) {
    TGridModel<TItem> model(kItemColumns, nullptr);
    model.SetKey([](const TItem& item) -> QVariant { return item.Id; });
    std::vector<TItem> many;
    for (int id = 0; id < 300; ++id)
        many.push_back({id, QStringLiteral("item %1").arg(id)});
    model.Reset(many);
    QWidget window;
    auto* other = new QLineEdit(&window);
    auto* grid = new QTableView(&window);
    grid->setGeometry(0, 30, 200, 150);
    grid->setModel(&model);
    window.show();
    other->setFocus();
    QCoreApplication::processEvents();
    grid->selectionModel()->setCurrentIndex(
        model.index(120, 0), QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    grid->scrollTo(model.index(120, 0));
    const int scrolled = grid->verticalScrollBar()->value();
    ASSERT_GT(scrolled, 0);

    const TGridPlace place = SaveGridPlace(grid);
    many.erase(many.begin());
    model.Reset(many);
    RestoreGridPlace(grid, place);
    EXPECT_EQ(CurrentId(*grid), 120);
    EXPECT_EQ(grid->verticalScrollBar()->value(), scrolled);
    EXPECT_TRUE(other->hasFocus());
}

// ---- the views against the reference server

class AutoRefreshViewTest : public ConsoleTest {
protected:
    void Open(const json& fixture) {
        StartServer(fixture);
        MakeMainForm();
        ASSERT_TRUE(ConnectTcp(server_->Port(), fixture.value("administrator_password", "")));
        boxes_.Clear();
    }
};

TEST_F(AutoRefreshViewTest, AHiddenOrMinimisedViewSendsNoRequest) {
    Open(SmallInstallation());
    TLocConnForm& view = *form_->LocConnForm;
    view.AutoRefresh->SetTickMilliseconds(20);
    view.AutoRefresh->SetOn(true);
    Spin(300);
    EXPECT_TRUE(server_->Requests(368).empty()) << "hidden";

    view.showMinimized();
    Spin(300);
    EXPECT_TRUE(server_->Requests(368).empty()) << "minimised";

    view.showNormal();
    ASSERT_TRUE(WaitFor([&] { return server_->Requests(368).size() >= 2; }));
    EXPECT_TRUE(view.StatusLine->text().startsWith(QStringLiteral("Refreshed at ")));

    view.hide();
    QCoreApplication::processEvents();
    const std::size_t seen = server_->Requests(368).size();
    Spin(300);
    EXPECT_LE(server_->Requests(368).size(), seen + 1) << "at most the refresh under way";
    EXPECT_TRUE(boxes_.Texts().empty());
}

TEST_F(AutoRefreshViewTest, AViewOpenedFromTheMenuRefreshesItselfWhileItIsOpen) {
    Open(SmallInstallation());
    TDBListForm& view = *form_->DBListForm;
    view.AutoRefresh->SetTickMilliseconds(20);
    view.AutoRefresh->SetOn(true);
    bool refreshed = false;
    // The view runs modally; the ticks come from inside its loop.
    WhenModal([&](QWidget* modal) {
        refreshed = WaitFor([&] { return server_->Requests(372).size() >= 3; });
        modal->close();
    });
    form_->DisplayDBListAction->trigger();
    EXPECT_TRUE(refreshed);
    EXPECT_TRUE(view.StatusLine->text().startsWith(QStringLiteral("Refreshed at ")));
    // Closed, it rests.
    const std::size_t seen = server_->Requests(372).size();
    Spin(200);
    EXPECT_EQ(server_->Requests(372).size(), seen);
    EXPECT_TRUE(boxes_.Texts().empty());
}

TEST_F(AutoRefreshViewTest, AFailingServerGivesOneBoxAndStopsEveryKindOfView) {
    Open(SmallInstallation());
    struct {
        const char* Name;
        QDialog* View;
        TAutoRefresh* Control;
        QLabel* StatusLine;
        std::string Box;
    } views[] = {
        {"local connections", form_->LocConnForm.get(), form_->LocConnForm->AutoRefresh,
         form_->LocConnForm->StatusLine,
         "Client Internal Error Number 265 (Request Execution Aborted)."},
        {"web connections", form_->WebConnForm.get(), form_->WebConnForm->AutoRefresh,
         form_->WebConnForm->StatusLine,
         "Client Internal Error Number 267 (Request Execution Aborted)."},
        {"databases", form_->DBListForm.get(), form_->DBListForm->AutoRefresh,
         form_->DBListForm->StatusLine,
         "Client Internal Error Number 269 (Request Execution Aborted)."},
        {"status", form_->ServerStatusForm.get(), form_->ServerStatusForm->AutoRefresh,
         form_->ServerStatusForm->StatusLine,
         "Client Internal Error Number 270 (Request Execution Aborted)."},
    };
    TServerSet one;
    one.set(1);
    RequestDispatcher->RemoveServers(one);
    for (const auto& v : views) {
        SCOPED_TRACE(v.Name);
        boxes_.Clear();
        v.View->show();
        v.Control->SetTickMilliseconds(20);
        v.Control->SetOn(true);
        ASSERT_TRUE(WaitFor([&] { return !v.Control->IsOn(); }));
        Spin(200);
        EXPECT_EQ(boxes_.Texts(), Texts{v.Box});
        EXPECT_TRUE(v.StatusLine->text().startsWith(
            QStringLiteral("Auto refresh stopped: the refresh at ")));
        EXPECT_TRUE(v.StatusLine->text().endsWith(QStringLiteral(" failed.")));
        v.View->hide();
    }
}

TEST_F(AutoRefreshViewTest, AnAutomaticRefreshKeepsTheCurrentRowByItsKeyAndAManualOneDoesNot) {
    Open(SmallInstallation());
    TLocConnForm& locals = *form_->LocConnForm;
    ASSERT_TRUE(locals.RefreshView());
    locals.SetCurrentRow(2);
    ASSERT_EQ(locals.StatusEdit->text().toStdString(), "Invalid Status");
    // The connection before it goes on the server's side.
    ASSERT_EQ(DeleteLocalConn(1, TServerText("ALI"), 11), TExchangeResult::Done);
    ASSERT_TRUE(locals.AutoRefresh->Run(true));
    EXPECT_EQ(locals.CurrentRow(), 1);
    EXPECT_EQ(locals.Connections->RowAt(1)->UserName, TServerText("REZA"));
    EXPECT_EQ(locals.StatusEdit->text().toStdString(), "Invalid Status");
    ASSERT_TRUE(locals.RefreshView());
    EXPECT_EQ(locals.CurrentRow(), 0);

    TWebConnForm& web = *form_->WebConnForm;
    ASSERT_TRUE(web.RefreshView());
    web.SetCurrentRow(1);
    ASSERT_TRUE(web.AutoRefresh->Run(true));
    EXPECT_EQ(web.CurrentRow(), 1);
    ASSERT_TRUE(web.RefreshView());
    EXPECT_EQ(web.CurrentRow(), 0);

    TDBListForm& databases = *form_->DBListForm;
    ASSERT_TRUE(databases.RefreshView());
    databases.SetCurrentRow(1);
    const QString path = databases.PathEdit->text();
    ASSERT_TRUE(databases.AutoRefresh->Run(true));
    EXPECT_EQ(databases.CurrentRow(), 1);
    EXPECT_EQ(databases.PathEdit->text(), path);
    ASSERT_TRUE(databases.RefreshView());
    EXPECT_EQ(databases.CurrentRow(), 0);
    EXPECT_TRUE(boxes_.Texts().empty());
}

TEST_F(AutoRefreshViewTest, AnAutomaticRefreshOfTheErrorLogKeepsItsEndInView) {
    json fixture = SmallInstallation();
    std::string log;
    for (int i = 0; i < 400; ++i)
        log += "line " + std::to_string(i) + "\r\n";
    fixture["error_log"] = log;
    Open(fixture);
    TErrorLogForm& view = *form_->ErrorLogForm;
    view.resize(500, 300);
    view.show();
    ASSERT_TRUE(view.RefreshView());
    QScrollBar& vertical = *view.LogMemo->verticalScrollBar();
    QCoreApplication::processEvents();
    ASSERT_GT(vertical.maximum(), 0);
    EXPECT_EQ(vertical.value(), 0);
    vertical.setValue(vertical.maximum());
    ASSERT_TRUE(view.AutoRefresh->Run(true));
    EXPECT_EQ(vertical.value(), vertical.maximum());
    vertical.setValue(10);
    ASSERT_TRUE(view.AutoRefresh->Run(true));
    EXPECT_EQ(vertical.value(), 10);
    ASSERT_TRUE(view.RefreshView());
    EXPECT_EQ(vertical.value(), 0);
    view.hide();
}

TEST_F(AutoRefreshViewTest, EveryRefreshOfTheStatusIsASampleAndALogoutStartsAfresh) {
    Open(SmallInstallation());
    TServerStatusForm& view = *form_->ServerStatusForm;
    ASSERT_TRUE(view.RefreshView());
    ASSERT_TRUE(view.AutoRefresh->Run(true));
    ASSERT_EQ(view.History().Size(), 2u);
    ASSERT_EQ(view.Charts.size(), 4u);
    for (TCounterChart* chart : view.Charts)
        EXPECT_EQ(chart->Points().size(), 2u);
    EXPECT_EQ(view.Charts[1]->Points()[1].Value,
              static_cast<double>(view.History()[1].Block.ClientCount));

    // Saved as CSV: the header and one line a sample.
    const QString file = QString::fromStdString(folder_.Path() + "history.csv");
    ASSERT_TRUE(view.SaveHistory(file));
    QFile saved(file);
    ASSERT_TRUE(saved.open(QIODevice::ReadOnly));
    EXPECT_EQ(saved.readAll(), view.History().Csv());
    EXPECT_EQ(view.History().Csv().count("\r\n"), 3);
    // A place that cannot be written says so.
    EXPECT_FALSE(view.SaveHistory(QString::fromStdString(folder_.Path() + "no/such/h.csv")));
    ASSERT_EQ(boxes_.Texts().size(), 1u);
    EXPECT_EQ(boxes_.Texts()[0].rfind("Could not save the history to '", 0), 0u);

    view.AutoRefresh->SetOn(true);
    form_->LocConnForm->AutoRefresh->SetOn(true);
    boxes_.Answer(TMsgDlgBtn::mbYes);
    form_->SpxLogoutActionExecute();
    ASSERT_FALSE(IsConnected());
    EXPECT_TRUE(view.History().Empty());
    EXPECT_TRUE(view.Charts[0]->Points().empty());
    EXPECT_FALSE(view.AutoRefresh->IsOn());
    EXPECT_FALSE(form_->LocConnForm->AutoRefresh->IsOn());
}

// ---- the history

TServerStatusBlock Block(std::int32_t requests, std::uint16_t clients = 0) {
    TServerStatusBlock block{};
    block.NonQueuedDBRequests = requests;
    block.ClientCount = clients;
    return block;
}

TEST(StatusHistoryTest, TheRateComesFromTheTotalAndStartsAgainAfterARestart) {
    TStatusHistory history;
    const QDateTime t0(QDate(2026, 1, 2), QTime(10, 0, 0));
    const std::int32_t totals[] = {100, 300, 700, 50, 250, 250};
    for (std::size_t i = 0; i < std::size(totals); ++i)
        history.Add(Block(totals[i]), t0.addSecs(2 * static_cast<int>(i)),
                    2000 * static_cast<std::int64_t>(i));
    const std::optional<double> expected[] = {std::nullopt, 100.0, 200.0, std::nullopt, 100.0, 0.0};
    for (std::size_t i = 0; i < std::size(expected); ++i)
        EXPECT_EQ(history.RequestsPerSecond(i), expected[i]) << "sample " << i;

    // No time between two samples, or a counter wrapped past its top: no rate, never a
    // negative one.
    TStatusHistory odd;
    odd.Add(Block(10), t0, 1000);
    odd.Add(Block(20), t0, 1000);
    TServerStatusBlock wrapped = Block(2147483647);
    wrapped.QueuedDBRequests = 5;
    odd.Add(wrapped, t0, 2000);
    odd.Add(Block(-2147483647 - 1), t0, 3000);
    EXPECT_EQ(odd.RequestsPerSecond(1), std::nullopt);
    EXPECT_EQ(odd.RequestsPerSecond(2), (2147483652.0 - 20.0));
    EXPECT_EQ(odd.RequestsPerSecond(3), std::nullopt);
    EXPECT_EQ(TStatusHistory::TotalRequests(wrapped), 2147483652);
}

TEST(StatusHistoryTest, KeepsTheLastHourAtMostAndNeverMoreThanItsCap) {
    TStatusHistory history;
    const QDateTime t0(QDate(2026, 1, 2), QTime(10, 0, 0));
    // Every ten seconds for two hours: the last hour stays.
    for (int i = 0; i <= 720; ++i)
        history.Add(Block(i), t0.addSecs(10 * i), 10000 * std::int64_t{i});
    EXPECT_EQ(history.Size(), 361u);
    EXPECT_EQ(history[0].Elapsed, 3600000);
    // Many refreshes within a second: the count is bounded as well.
    TStatusHistory fast;
    for (int i = 0; i < 5000; ++i)
        fast.Add(Block(i), t0, i);
    EXPECT_EQ(fast.Size(), TStatusHistory::kMaxSamples);
    EXPECT_EQ(fast.Samples().back().Block.NonQueuedDBRequests, 4999);
    // A steady clock that went back starts afresh.
    fast.Add(Block(1), t0, 10);
    EXPECT_EQ(fast.Size(), 1u);
}

TEST(StatusHistoryTest, IsWrittenAsCsvWithAHeaderRow) {
    TStatusHistory history;
    EXPECT_EQ(history.Csv().count("\r\n"), 1);
    TServerStatusBlock block = Block(1000, 4);
    block.QueuedDBRequests = 20;
    block.ChildDBsDefined = 3;
    block.ChildDBsOpen = 2;
    block.ParentDBsDefined = 1;
    block.ParentDBsOpen = 1;
    block.ResultCounts[5] = 7;
    block.ResultCounts[0] = 65535;
    const QDateTime t0(QDate(2026, 1, 2), QTime(10, 0, 0));
    history.Add(block, t0, 0);
    block.NonQueuedDBRequests = 1100;
    history.Add(block, t0.addSecs(4), 4000);
    const QList<QByteArray> lines = history.Csv().split('\n');
    ASSERT_EQ(lines.size(), 4);
    EXPECT_TRUE(lines[0].startsWith("Time,Requests per Second,Total Server Requests,"));
    EXPECT_EQ(lines[0].count(','), lines[1].count(','));
    EXPECT_EQ(lines[1], "2026-01-02 10:00:00,,1020,1000,20,0,0,4,3,3,2,1,1,4,65542,65535,7,0,0,0,"
                        "0,0,0,0,0,0,0,0,0\r");
    EXPECT_TRUE(lines[2].startsWith("2026-01-02 10:00:04,25.00,1120,1100,"));
    EXPECT_EQ(lines[3], "");
}

// ---- the chart

TEST(CounterChartTest, HoverShowsTheNearestSampleAndTheChartFollowsThePalette) {
    TCounterChart chart(QStringLiteral("Connected Clients"));
    chart.resize(300, 120);
    const QDateTime t0(QDate(2026, 1, 2), QTime(10, 0, 0));
    EXPECT_EQ(chart.HoverText(150), QString());
    // Three samples, the third long after the second: they stand by their time.
    chart.SetPoints(
        {{t0, 0, 3.0}, {t0.addSecs(1), 1000, std::nullopt}, {t0.addSecs(10), 10000, 12.0}});
    EXPECT_EQ(chart.HoverText(0).toStdString(), "10:00:00: 3");
    EXPECT_EQ(chart.HoverText(299).toStdString(), "10:00:10: 12");
    EXPECT_EQ(chart.PointNear(-50), 0);
    // Across the chart the nearest sample goes 0, 1, 2 in order. The second stands a tenth of
    // the way along, so the last one is the nearest over nearly half of the rest (a third when
    // they stood evenly).
    std::vector<int> widths(3);
    int last = 0;
    for (int x = 0; x < chart.width(); ++x) {
        const int near = chart.PointNear(x);
        ASSERT_GE(near, last);
        last = near;
        ++widths[static_cast<std::size_t>(near)];
    }
    EXPECT_GT(widths[1], 0);
    EXPECT_GT(widths[2] * 5, (widths[1] + widths[2]) * 2);
    chart.SetDecimals(1);
    EXPECT_EQ(chart.HoverText(299).toStdString(), "10:00:10: 12.0");

    for (const QColor base : {QColor(Qt::white), QColor(30, 30, 30)}) {
        QPalette palette = chart.palette();
        palette.setColor(QPalette::Base, base);
        palette.setColor(QPalette::Text, base.lightness() > 128 ? Qt::black : Qt::white);
        chart.setPalette(palette);
        const QImage image = chart.grab().toImage();
        EXPECT_EQ(image.pixelColor(image.width() / 2, image.height() - 3), base);
    }
}

} // namespace
