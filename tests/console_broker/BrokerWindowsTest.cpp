// The broker login dialog and the HTTP sessions view, driven as an administrator would, against
// the reference broker in this process, with the messages recorded and answered from a script.

#include "BrokerTestSupport.h"

#include "BusyCursor.h"
#include "ConfigStore.h"
#include "GridTools.h"
#include "HTTPSessionsFormU.h"
#include "HttpLoginDlgU.h"
#include "MainU.h"
#include "MessagePresenters.h"
#include "RequestRunner.h"
#include "ServerErrors.h"
#include "TempFolder.h"

#include <QAbstractItemModelTester>
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QGroupBox>
#include <QHeaderView>
#include <QKeySequence>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QSplitter>
#include <QTableView>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <filesystem>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// A loopback port that nothing listens on.
int DeadPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    ::close(fd);
    return ntohs(addr.sin_port);
}

nlohmann::json Installation() {
    return nlohmann::json::parse(R"({
      "id": 5,
      "servers": [
        {"name": "MAIN", "center": "Main Library", "password": "p&ss=1"},
        {"name": "ARCH", "center": "A&B", "password": "arch"}
      ],
      "sessions": [
        {"id": 11, "server": "MAIN", "user_id": 3, "user": "ali", "kind": 0, "latime": 37622.5,
         "resources": [
           {"db_id": 1, "db_name": "BOOKS", "app_id": 2, "app_handle": 3, "edit_id": 4,
            "edit_handle": 5},
           {"db_id": 6, "db_name": "AUTHORS", "app_id": 0, "app_handle": 0, "edit_id": 7,
            "edit_handle": 8},
           {"db_id": 9, "db_name": "MAPS", "app_id": 10, "app_handle": 11, "edit_id": 0,
            "edit_handle": 0}]},
        {"id": 12, "server": "MAIN", "user_id": 4, "user": "sara", "kind": 1, "latime": 37622},
        {"id": 21, "server": "ARCH", "user_id": 9, "user": "guest", "kind": 2, "latime": 37623.25,
         "resources": [{"db_id": 2, "db_name": "PHOTOS", "app_id": 0, "app_handle": 0,
                        "edit_id": 0, "edit_handle": 0}]}
      ]
    })");
}

testbroker::Behaviour Delay(const std::string& query, int ms) {
    testbroker::Behaviour b;
    b.query = query;
    b.delayMs = ms;
    b.times = 1;
    return b;
}

std::vector<std::string> ColumnTexts(const QAbstractItemModel& model, int column) {
    std::vector<std::string> texts;
    for (int row = 0; row < model.rowCount(); ++row)
        texts.push_back(model.data(model.index(row, column)).toString().toStdString());
    return texts;
}

// Runs `action` on the next modal window once it is up, from inside its event loop.
void WhenModal(std::function<void(QWidget*)> action) {
    auto* timer = new QTimer;
    QObject::connect(timer, &QTimer::timeout, [timer, action] {
        if (QWidget* modal = QApplication::activeModalWidget()) {
            timer->stop();
            timer->deleteLater();
            action(modal);
        }
    });
    timer->start(5);
}

class BrokerWindowsTest : public ::testing::Test {
protected:
    BrokerWindowsTest() {
        previousStore_ = SetConfigStore(&store_);
        Requester.SetPauseMillisecondsForTesting(5);
        // Both tables of the sessions view are checked on every change the tests make.
        for (QAbstractItemModel* model :
             std::initializer_list<QAbstractItemModel*>{sessions_->Sessions, sessions_->Resources})
            new QAbstractItemModelTester(
                model, QAbstractItemModelTester::FailureReportingMode::Fatal, model);
    }
    ~BrokerWindowsTest() override {
        windows_.reset();
        SetConfigStore(previousStore_);
    }

    void StartBroker(const nlohmann::json& fixture = Installation()) {
        broker_ = std::make_unique<TInProcessBroker>(fixture);
    }
    std::string Port() const { return std::to_string(broker_->Broker().Port()); }
    // The bodies the broker received whose query is `name` (GetServerList, Logout, ...).
    std::vector<std::string> Bodies(const std::string& name) const {
        std::vector<std::string> found;
        for (const std::string& body : broker_->Bodies())
            if (body.find("RQ=" + name) != std::string::npos)
                found.push_back(body);
        return found;
    }
    void Connect(const std::string& url) {
        login_->edt_BrokerURL->setText(QString::fromStdString(url));
        login_->ac_HTTPConnectExecute();
    }
    void Tick(std::size_t row, const std::string& password) {
        login_->RowCheckBox(row)->setChecked(true);
        login_->RowPasswordBox(row)->setText(QString::fromStdString(password));
    }
    int px(int pixels) const { return ScreenPixels(login_, pixels); }
    std::string URLBox() const { return login_->edt_BrokerURL->text().toStdString(); }
    std::string StoredURL() const {
        const TConfigValue v = store_.Read("BrokerURL");
        return v.Kind == TConfigValueKind::String ? v.Text : "<none>";
    }

    TRequesterGuard requester_;
    TMemoryConfigStore store_;
    TRecordingMessagePresenter boxes_;
    std::unique_ptr<TInProcessBroker> broker_;
    // Built as the console builds them, with the requester's hooks.
    std::unique_ptr<TBrokerWindows> windows_ = std::make_unique<TBrokerWindows>(nullptr, &boxes_);
    TSessionListForm* sessions_ = &windows_->Sessions();
    THTTPLoginDlg* login_ = &windows_->Login();

private:
    IConfigStore* previousStore_;
};

TEST_F(BrokerWindowsTest, ConnectShowsAndStoresTheNormalisedURL) {
    StartBroker();
    const std::string host = "127.0.0.1:" + Port();
    const std::string expected = "HTTP://127.0.0.1:" + Port() + "/WEB/";
    for (const std::string& typed :
         {"  " + host + "/web ", "http://" + host + "/web/", "HTTP://" + host + "/Web"}) {
        SCOPED_TRACE(typed);
        store_.WriteString("BrokerURL", "before");
        Connect(typed);
        EXPECT_TRUE(boxes_.Texts().empty());
        EXPECT_EQ(URLBox(), expected);
        EXPECT_EQ(StoredURL(), expected);
        EXPECT_EQ(Requester.ModuleURL, expected + "ZephWebMain.DLL");
        EXPECT_EQ(login_->RowCount(), 2u);
    }

    // A broker that cannot be reached: the box still shows the normalised URL, the rows are
    // gone and the stored URL stays.
    const std::string dead = "127.0.0.1:" + std::to_string(DeadPort());
    Connect(" " + dead + "/x");
    EXPECT_EQ(URLBox(), "HTTP://" + dead + "/X/");
    EXPECT_EQ(boxes_.Texts(), std::vector<std::string>{"Broker not found, check the URL."});
    EXPECT_EQ(login_->RowCount(), 0u);
    EXPECT_EQ(StoredURL(), expected);
}

TEST_F(BrokerWindowsTest, RowsFromTheServerList) {
    const std::string longName(90, 'L');
    nlohmann::json fixture = Installation();
    fixture["servers"][1]["center"] = longName;
    fixture["servers"][0]["center"] = "A&B";
    for (int i = 3; i <= 11; ++i)
        fixture["servers"].push_back(
            {{"name", "S" + std::to_string(i)}, {"center", "Centre " + std::to_string(i)}});
    StartBroker(fixture);
    login_->show();
    Connect("127.0.0.1:" + Port() + "/web");
    ASSERT_EQ(login_->RowCount(), 11u);

    // The caption doubles the ampersand, so that it is shown and is no mnemonic.
    EXPECT_EQ(login_->RowCheckBox(0)->text().toStdString(), "A&&B");
    EXPECT_TRUE(QKeySequence::mnemonic(login_->RowCheckBox(0)->text()).isEmpty());
    // The long centre name is whole on its check box, and cut in the row's entry.
    EXPECT_EQ(login_->RowCheckBox(1)->text().toStdString(), longName);
    EXPECT_EQ(login_->Logic.ServerRows[1].ECenterName.size(), 80u);

    // Rows 20 pixels apart from 20 down, 10 in from the groups' left edges.
    for (std::size_t i = 0; i < 11; ++i) {
        SCOPED_TRACE(i);
        const int top = px(20 + 20 * static_cast<int>(i));
        QCheckBox* check = login_->RowCheckBox(i);
        QLineEdit* password = login_->RowPasswordBox(i);
        EXPECT_EQ(check->mapTo(login_->gb_Servers, QPoint(0, 0)), QPoint(px(10), top));
        EXPECT_EQ(password->mapTo(login_->gb_Passwords, QPoint(0, 0)), QPoint(px(10), top));
        EXPECT_EQ(check->width(), login_->gb_Servers->width() - px(20));
        EXPECT_LE(password->width(), login_->gb_Passwords->width() - px(20));
        EXPECT_FALSE(check->isChecked());
        EXPECT_EQ(password->echoMode(), QLineEdit::Password);
    }

    // Eleven rows do not fit: the two groups scroll together and the last row can be reached.
    QScrollBar* bar = login_->PasswordsArea->verticalScrollBar();
    ASSERT_GT(bar->maximum(), 0);
    bar->setValue(bar->maximum());
    EXPECT_EQ(login_->ServersArea->verticalScrollBar()->value(), bar->maximum());
    for (QScrollArea* area : {login_->ServersArea, login_->PasswordsArea}) {
        QWidget* last = area == login_->ServersArea
                            ? static_cast<QWidget*>(login_->RowCheckBox(10))
                            : static_cast<QWidget*>(login_->RowPasswordBox(10));
        const QRect shown(last->mapTo(area->viewport(), QPoint(0, 0)), last->size());
        EXPECT_TRUE(area->viewport()->rect().contains(shown)) << area->objectName().toStdString();
    }

    // A second Connect rebuilds the rows: ticks and passwords are gone.
    Tick(0, "secret");
    Connect(URLBox());
    ASSERT_EQ(login_->RowCount(), 11u);
    EXPECT_FALSE(login_->RowCheckBox(0)->isChecked());
    EXPECT_TRUE(login_->RowPasswordBox(0)->text().isEmpty());
}

TEST_F(BrokerWindowsTest, EnablingRulesAndEnterInTheURLBox) {
    StartBroker();
    login_->show();
    const auto buttonsFollow = [this] {
        EXPECT_EQ(login_->btn_Connect->isEnabled(), login_->ac_HTTPConnect->isEnabled());
        EXPECT_EQ(login_->btn_ReloadBroker->isEnabled(), login_->ac_ReloadBroker->isEnabled());
        EXPECT_EQ(login_->btn_ShowSessionList->isEnabled(),
                  login_->ac_DisplaySessions->isEnabled());
    };
    const struct {
        const char* text;
        bool enabled;
    } cases[] = {{"", false}, {" \t ", false}, {"\x01", false}, {" h ", true}, {"x", true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        login_->edt_BrokerURL->setText(QString::fromLatin1(c.text));
        EXPECT_EQ(login_->ac_HTTPConnect->isEnabled(), c.enabled);
        EXPECT_EQ(login_->ac_ReloadBroker->isEnabled(), c.enabled);
        EXPECT_FALSE(login_->ac_DisplaySessions->isEnabled());
        buttonsFollow();
    }

    // Enter in an empty box runs Connect although the button is disabled; nothing is sent.
    login_->edt_BrokerURL->clear();
    ASSERT_FALSE(login_->btn_Connect->isEnabled());
    QTest::keyClick(login_->edt_BrokerURL, Qt::Key_Return);
    ASSERT_EQ(boxes_.Messages().size(), 1u);
    EXPECT_EQ(boxes_.Messages()[0].Text, "Broker URL is not valid");
    EXPECT_EQ(boxes_.Messages()[0].Kind, TMsgDlgType::mtError);
    EXPECT_TRUE(broker_->Bodies().empty());
    boxes_.Clear();

    // Enter with a URL connects once (no button takes the key over as well).
    login_->edt_BrokerURL->setText(QString::fromStdString("127.0.0.1:" + Port() + "/web"));
    QTest::keyClick(login_->edt_BrokerURL, Qt::Key_Return);
    EXPECT_EQ(Bodies("GetServerList").size(), 1u);
    ASSERT_EQ(login_->RowCount(), 2u);
    EXPECT_TRUE(boxes_.Texts().empty());

    // Display sessions follows the ticks.
    EXPECT_FALSE(login_->ac_DisplaySessions->isEnabled());
    login_->RowCheckBox(1)->setChecked(true);
    EXPECT_TRUE(login_->ac_DisplaySessions->isEnabled());
    buttonsFollow();
    login_->RowCheckBox(1)->setChecked(false);
    EXPECT_FALSE(login_->ac_DisplaySessions->isEnabled());
    buttonsFollow();
}

TEST_F(BrokerWindowsTest, DisplaySessions) {
    StartBroker();
    login_->show();
    Connect("127.0.0.1:" + Port() + "/web");
    ASSERT_EQ(login_->RowCount(), 2u);

    // One invalid password: its message, and nothing loaded or opened.
    Tick(0, "p&ss=1");
    Tick(1, "wrong");
    login_->ac_DisplaySessionsExecute();
    ASSERT_EQ(boxes_.Messages().size(), 1u);
    EXPECT_EQ(boxes_.Messages()[0].Text, "Invalid password for:\rA&&B");
    EXPECT_EQ(boxes_.Messages()[0].Kind, TMsgDlgType::mtError);
    EXPECT_TRUE(Bodies("GetSessionList").empty());
    EXPECT_FALSE(sessions_->isVisible());
    EXPECT_EQ(sessions_->Sessions->rowCount(), 0);
    boxes_.Clear();

    // Both valid: the view is loaded for the ticked servers and shown modally.
    Tick(1, "arch");
    bool shown = false;
    std::vector<std::string> names;
    WhenModal([&](QWidget* modal) {
        shown = modal == sessions_;
        names = ColumnTexts(*sessions_->Sessions, 0);
        modal->close();
    });
    login_->ac_DisplaySessionsExecute();
    EXPECT_TRUE(shown);
    EXPECT_EQ(names, (std::vector<std::string>{"MAIN/ali", "MAIN/sara", "ARCH/guest"}));
    EXPECT_EQ(Bodies("GetSessionList"),
              std::vector<std::string>{"_CLTVER=600&_RQ=GetSessionList&_COUNT=2&_SNAME1=MAIN&"
                                       "_PASSWORD1=p&ss=1&_SNAME2=ARCH&_PASSWORD2=arch"});
    EXPECT_TRUE(boxes_.Texts().empty());
}

TEST_F(BrokerWindowsTest, Reload) {
    StartBroker();
    Connect("127.0.0.1:" + Port() + "/web");
    ASSERT_EQ(login_->RowCount(), 2u);

    // An unticked row stops the reload after the rows before it were checked.
    Tick(0, "p&ss=1");
    login_->ac_ReloadBrokerExecute();
    EXPECT_EQ(boxes_.Texts(),
              std::vector<std::string>{
                  "You have to enter passwords of all servers before reloading the broker."});
    EXPECT_EQ(Bodies("CheckPassword").size(), 1u);
    EXPECT_TRUE(Bodies("GetId").empty());
    EXPECT_EQ(broker_->Broker().ReloadCount(), 0);
    boxes_.Clear();

    Tick(1, "arch");
    login_->ac_ReloadBrokerExecute();
    ASSERT_EQ(boxes_.Messages().size(), 1u);
    EXPECT_EQ(boxes_.Messages()[0].Text, "HTTP broker reloaded successfully.");
    EXPECT_EQ(boxes_.Messages()[0].Kind, TMsgDlgType::mtInformation);
    EXPECT_EQ(broker_->Broker().ReloadCount(), 1);
}

TEST_F(BrokerWindowsTest, ReloadWithoutRowsAndAnUnreachableBroker) {
    const std::string dead = "127.0.0.1:" + std::to_string(DeadPort());
    login_->edt_BrokerURL->setText(QString::fromStdString(dead));
    login_->ac_ReloadBrokerExecute();
    // Connect's message, then the identity query's.
    EXPECT_EQ(boxes_.Texts(), (std::vector<std::string>{"Broker not found, check the URL.",
                                                        "Broker not found, check the URL."}));
    EXPECT_EQ(URLBox(), "HTTP://" + dead + "/");
    EXPECT_EQ(StoredURL(), "<none>");
    EXPECT_EQ(login_->RowCount(), 0u);
}

class SessionsViewTest : public BrokerWindowsTest {
protected:
    void Load() {
        Requester.ModuleURL = broker_->ModuleURL();
        sessions_->ClearServers();
        sessions_->AddServer("MAIN", "p&ss=1");
        sessions_->AddServer("ARCH", "arch");
        ASSERT_TRUE(sessions_->RefreshSessions());
    }
    std::vector<std::string> Names() const { return ColumnTexts(*sessions_->Sessions, 0); }
    std::string Count() const { return sessions_->TotalSessionCountLbl->text().toStdString(); }
};

TEST_F(SessionsViewTest, Filled) {
    StartBroker();
    EXPECT_EQ(sessions_->windowTitle().toStdString(), "HTTP Sessions");
    EXPECT_EQ(sessions_->size(), QSize(px(696), px(480)));
    const QAbstractItemModel& resources = *sessions_->Resources;
    EXPECT_EQ(sessions_->Sessions->headerData(0, Qt::Horizontal).toString().toStdString(),
              "User Name");
    const char* titles[] = {"DB ID", "Database Name", "Append File ID", "Edit File ID"};
    const int widths[] = {50, 253, 84, 77};
    for (int column = 0; column < 4; ++column) {
        EXPECT_EQ(resources.headerData(column, Qt::Horizontal).toString().toStdString(),
                  titles[column]);
        EXPECT_GE(sessions_->DBResourceListGrid->columnWidth(column), px(widths[column]));
    }

    Load();
    EXPECT_EQ(Names(), (std::vector<std::string>{"MAIN/ali", "MAIN/sara", "ARCH/guest"}));
    EXPECT_EQ(Count(), "3");
    const struct {
        const char* kind;
        const char* time;
        std::vector<std::string> dbNames;
    } rows[] = {
        {"Search", "2003/01/01 12:00:00", {"BOOKS", "AUTHORS", "MAPS"}},
        {"Edit", "2003/01/01", {}},
        {"Unknown", "2003/01/02 06:00:00", {"PHOTOS"}},
    };
    for (int row = 0; row < 3; ++row) {
        SCOPED_TRACE(row);
        sessions_->SetCurrentRow(row);
        EXPECT_EQ(sessions_->SessionKindFld->text().toStdString(), rows[row].kind);
        EXPECT_EQ(sessions_->LastAccessTimeFld->text().toStdString(), rows[row].time);
        EXPECT_EQ(ColumnTexts(resources, 1), rows[row].dbNames);
    }
    sessions_->SetCurrentRow(0);
    EXPECT_EQ(ColumnTexts(resources, 0), (std::vector<std::string>{"1", "6", "9"}));
    EXPECT_EQ(ColumnTexts(resources, 2), (std::vector<std::string>{"2", "0", "10"}));
    EXPECT_EQ(ColumnTexts(resources, 3), (std::vector<std::string>{"4", "7", "0"}));
    EXPECT_EQ(sessions_->ECenterNameFld->text().toStdString(), "Main Library");

    // A failed refresh shows the broker's error and keeps both tables.
    testbroker::Behaviour failing;
    failing.query = "GetSessionList";
    failing.error = 10;
    failing.errorText = "Refused";
    broker_->Broker().SetBehaviours({failing});
    sessions_->RefreshActExecute();
    EXPECT_EQ(boxes_.Texts(), std::vector<std::string>{"Error Number 10\rRefused"});
    EXPECT_EQ(Names(), (std::vector<std::string>{"MAIN/ali", "MAIN/sara", "ARCH/guest"}));
    EXPECT_EQ(ColumnTexts(resources, 1), (std::vector<std::string>{"BOOKS", "AUTHORS", "MAPS"}));
    EXPECT_EQ(Count(), "3");
}

TEST_F(SessionsViewTest, ALongUserNameStaysOnOneLineWhole) {
    const std::string server = "CENTRALLIBRARYSERVER";
    const std::string user = "reference.desk.evening.shift.2"; // 30 characters
    nlohmann::json fixture = Installation();
    fixture["servers"].push_back({{"name", server}, {"center", "Central"}, {"password", "c"}});
    fixture["sessions"].push_back({{"id", 31},
                                   {"server", server},
                                   {"user_id", 5},
                                   {"user", user},
                                   {"kind", 0},
                                   {"latime", 37622.5}});
    StartBroker(fixture);
    Requester.ModuleURL = broker_->ModuleURL();
    sessions_->ClearServers();
    sessions_->AddServer("MAIN", "p&ss=1");
    sessions_->AddServer(server, "c");
    ASSERT_TRUE(sessions_->RefreshSessions());
    ASSERT_EQ(Names(), (std::vector<std::string>{"MAIN/ali", "MAIN/sara", server + "/" + user}));

    // Every name is also its own tool tip, whole.
    const QAbstractItemModel& model = *sessions_->Sessions;
    for (int row = 0; row < model.rowCount(); ++row)
        EXPECT_EQ(model.data(model.index(row, 0), Qt::ToolTipRole).toString(),
                  model.data(model.index(row, 0)).toString());
    // One line per name, never broken at the "/"; what does not fit goes from the middle, so
    // that the server and the end of the user name both show.
    QTableView& grid = *sessions_->GenGrid;
    EXPECT_FALSE(grid.wordWrap());
    EXPECT_EQ(grid.textElideMode(), Qt::ElideMiddle);

    // The column fills the left pane and widens with it.
    sessions_->show();
    QCoreApplication::processEvents();
    const int described = grid.columnWidth(0);
    EXPECT_GE(described, px(188));
    EXPECT_EQ(described, grid.viewport()->width());
    sessions_->Splitter1->setSizes({px(401), px(696 - 401 - 5)});
    QCoreApplication::processEvents();
    EXPECT_GE(grid.columnWidth(0), described + px(150));
    EXPECT_EQ(grid.columnWidth(0), grid.viewport()->width());
    sessions_->hide();
}

TEST_F(SessionsViewTest, Delete) {
    const struct {
        TMsgDlgBtn answer;
        int row;
        const char* logout; // the body the broker received, or none
        std::vector<std::string> names;
        const char* current;
    } cases[] = {
        {TMsgDlgBtn::mbNo, 0, nullptr, {"MAIN/ali", "MAIN/sara", "ARCH/guest"}, "MAIN/ali"},
        {TMsgDlgBtn::mbCancel, 0, nullptr, {"MAIN/ali", "MAIN/sara", "ARCH/guest"}, "MAIN/ali"},
        {TMsgDlgBtn::mbYes,
         0,
         "_CLTVER=600&_RQ=Logout&_SESSIONID=11&_UID=3&_SNAME=MAIN&_UNAME=ali",
         {"MAIN/sara", "ARCH/guest"},
         "MAIN/sara"},
        {TMsgDlgBtn::mbYes,
         2,
         "_CLTVER=600&_RQ=Logout&_SESSIONID=21&_UID=9&_SNAME=ARCH&_UNAME=guest",
         {"MAIN/ali", "MAIN/sara"},
         "MAIN/sara"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.logout == nullptr ? "not sent" : c.logout);
        StartBroker();
        Load();
        boxes_.Clear();
        sessions_->SetCurrentRow(c.row);
        boxes_.Answer(c.answer);
        sessions_->DelSessionActExecute();
        EXPECT_EQ(boxes_.Texts(), std::vector<std::string>{"Are you sure about deleting session?"});
        const std::vector<std::string> sent = Bodies("Logout");
        EXPECT_EQ(sent, c.logout == nullptr ? std::vector<std::string>{}
                                            : std::vector<std::string>{c.logout});
        EXPECT_EQ(Names(), c.names);
        EXPECT_EQ(Count(), std::to_string(c.names.size()));
        ASSERT_GE(sessions_->CurrentRow(), 0);
        EXPECT_EQ(Names()[static_cast<std::size_t>(sessions_->CurrentRow())], c.current);
        // The resources shown are the current session's.
        const auto* current = sessions_->List().CurrentSession();
        ASSERT_NE(current, nullptr);
        EXPECT_EQ(sessions_->Resources->rowCount(),
                  static_cast<int>(current->DBResourceList.size()));
    }

    // A logout the broker refuses deletes nothing; on an empty table nothing is asked.
    StartBroker();
    Load();
    testbroker::Behaviour refusing;
    refusing.query = "Logout";
    refusing.error = 12;
    broker_->Broker().SetBehaviours({refusing});
    boxes_.Clear();
    boxes_.Answer(TMsgDlgBtn::mbYes);
    sessions_->DelSessionActExecute();
    EXPECT_EQ(boxes_.Texts(), (std::vector<std::string>{
                                  "Are you sure about deleting session?",
                                  "Error Number 12\rError String not returned from server!"}));
    EXPECT_EQ(Count(), "3");
    broker_->Broker().SetBehaviours({});
    for (int i = 0; i < 3; ++i) {
        boxes_.Answer(TMsgDlgBtn::mbYes);
        sessions_->DelSessionActExecute();
    }
    EXPECT_EQ(Count(), "0");
    EXPECT_EQ(sessions_->CurrentRow(), -1);
    EXPECT_EQ(sessions_->Resources->rowCount(), 0);
    boxes_.Clear();
    sessions_->DelSessionActExecute();
    EXPECT_TRUE(boxes_.Texts().empty());
}

// While an exchange waits, events run: a second action is dropped, and closing the window
// only hides it; the waiting exchange finishes its rows.
TEST_F(SessionsViewTest, TheSessionShownCurrentIsTheOneLoggedOutWhateverTheFilterAndSort) {
    StartBroker();
    Load();
    QTableView& grid = *sessions_->GenGrid;
    grid.sortByColumn(0, Qt::DescendingOrder);
    EXPECT_EQ(ColumnTexts(*grid.model(), 0),
              (std::vector<std::string>{"MAIN/sara", "MAIN/ali", "ARCH/guest"}));
    GridFilterEdit(&grid)->setText(QStringLiteral("arch"));
    EXPECT_EQ(GridCountLabel(&grid)->text().toStdString(), "1 of 3");
    sessions_->SetCurrentRow(0);
    EXPECT_EQ(sessions_->CurrentRow(), 2);
    EXPECT_EQ(sessions_->SessionKindFld->text().toStdString(), "Unknown");
    EXPECT_EQ(ColumnTexts(*sessions_->Resources, 1), std::vector<std::string>{"PHOTOS"});

    boxes_.Clear();
    boxes_.Answer(TMsgDlgBtn::mbYes);
    sessions_->DelSessionActExecute();
    EXPECT_EQ(Bodies("Logout"),
              std::vector<std::string>{
                  "_CLTVER=600&_RQ=Logout&_SESSIONID=21&_UID=9&_SNAME=ARCH&_UNAME=guest"});
    EXPECT_EQ(Names(), (std::vector<std::string>{"MAIN/ali", "MAIN/sara"}));
    EXPECT_EQ(GridCountLabel(&grid)->text().toStdString(), "0 of 2");
    EXPECT_EQ(sessions_->CurrentRow(), -1);
    EXPECT_TRUE(sessions_->SessionKindFld->text().isEmpty());
    EXPECT_EQ(sessions_->Resources->rowCount(), 0);
}

TEST_F(BrokerWindowsTest, ActionsWhileAnExchangeWaits) {
    StartBroker();
    login_->show();
    broker_->Broker().SetBehaviours({Delay("GetServerList", 300)});
    login_->edt_BrokerURL->setText(QString::fromStdString("127.0.0.1:" + Port() + "/web"));
    bool connectEnabledMeanwhile = true;
    bool fired = false;
    QTimer::singleShot(50, [&] {
        fired = true;
        connectEnabledMeanwhile = login_->btn_Connect->isEnabled();
        login_->ac_HTTPConnectExecute();
        QTest::keyClick(login_->edt_BrokerURL, Qt::Key_Return);
        login_->ac_ReloadBrokerExecute();
        login_->ac_DisplaySessionsExecute();
    });
    login_->ac_HTTPConnectExecute();
    ASSERT_TRUE(fired);
    EXPECT_FALSE(connectEnabledMeanwhile);
    EXPECT_EQ(Bodies("GetServerList").size(), 1u);
    EXPECT_EQ(broker_->Bodies().size(), 1u);
    EXPECT_EQ(login_->RowCount(), 2u);
    EXPECT_TRUE(boxes_.Texts().empty());
    EXPECT_TRUE(login_->btn_Connect->isEnabled());

    // The dialog closed while the sessions load: the rows are loaded, the view is not opened.
    Tick(0, "p&ss=1");
    broker_->Broker().SetBehaviours({Delay("GetSessionList", 300)});
    QTimer::singleShot(50, [&] { login_->btn_Cancel->click(); });
    bool opened = false;
    QTimer guard;
    QObject::connect(&guard, &QTimer::timeout, [&] {
        if (QWidget* modal = QApplication::activeModalWidget(); modal == sessions_) {
            opened = true;
            modal->close();
        }
    });
    guard.start(5);
    login_->ac_DisplaySessionsExecute();
    guard.stop();
    EXPECT_FALSE(opened);
    EXPECT_FALSE(login_->isVisible());
    EXPECT_EQ(sessions_->Sessions->rowCount(), 2);

    // The sessions view: a refresh or a delete asked for during a refresh is dropped.
    broker_->Broker().ClearRequests();
    broker_->Broker().SetBehaviours({Delay("GetSessionList", 300)});
    sessions_->show();
    QTimer::singleShot(50, [&] {
        boxes_.Answer(TMsgDlgBtn::mbYes);
        sessions_->RefreshActExecute();
        sessions_->DelSessionActExecute();
        sessions_->close();
    });
    EXPECT_TRUE(sessions_->RefreshSessions());
    EXPECT_EQ(Bodies("GetSessionList").size(), 1u);
    EXPECT_TRUE(Bodies("Logout").empty());
    EXPECT_TRUE(boxes_.Texts().empty());
    EXPECT_EQ(sessions_->Sessions->rowCount(), 2);
    EXPECT_TRUE(sessions_->RefreshAct->isEnabled());
}

// A broker that takes its time gets the wait window, whose Cancel abandons the exchange as the
// answer Yes to the slow-exchange question does.
TEST_F(BrokerWindowsTest, TheWaitWindowAbandonsASlowExchangeAsTheAbortDoes) {
    StartBroker();
    login_->show();
    const std::string url = "127.0.0.1:" + Port() + "/web";

    // The described abort, answered at the first question.
    broker_->Broker().SetBehaviours({Delay("GetServerList", 3000)});
    Requester.SetPauseCountForTesting(2);
    boxes_.Answer(TMsgDlgBtn::mbYes);
    Connect(url);
    const std::size_t abortedRows = login_->RowCount();
    std::vector<std::string> abortedBoxes = boxes_.Texts();
    ASSERT_FALSE(abortedBoxes.empty());
    EXPECT_EQ(abortedBoxes.front(), Requester.SlowExchangeQuestion());
    abortedBoxes.erase(abortedBoxes.begin());
    boxes_.Clear();

    // The wait window's Cancel.
    Requester.ResetWaitForTesting();
    Requester.SetPauseMillisecondsForTesting(5);
    broker_->Broker().SetBehaviours({Delay("GetServerList", 3000)});
    std::string caption;
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        for (QWidget* w : QApplication::topLevelWidgets())
            if (w->objectName() == QStringLiteral("WaitWindow") && w->isVisible() &&
                caption.empty()) {
                caption = w->windowTitle().toStdString();
                QTest::keyClick(w, Qt::Key_Escape);
            }
    });
    watch.start(10);
    Connect(url);
    watch.stop();
    EXPECT_EQ(caption, "Please Wait");
    EXPECT_EQ(login_->RowCount(), abortedRows);
    EXPECT_EQ(abortedRows, 0u);
    EXPECT_EQ(boxes_.Texts(), abortedBoxes);
    EXPECT_FALSE(ConsoleRequestRunning());
}

// The main window's "&HTTP Sessions" opens the dialog modally, and the saved broker URL is
// put in its URL box. Once the broker windows end, the command opens nothing.
TEST_F(BrokerWindowsTest, OpenedFromTheMainWindow) {
    TTempFolder folder;
    std::filesystem::create_directories(folder.Path() + "TEMP");
    store_.WriteString("BrokerURL", "HTTP://SAVED/WEB/");
    {
        TMainForm form(folder.Path());
        windows_ = std::make_unique<TBrokerWindows>(&form, &boxes_);
        login_ = &windows_->Login();
        sessions_ = &windows_->Sessions();
        form.LoadSavedAddresses();
        EXPECT_EQ(URLBox(), "HTTP://SAVED/WEB/");
        bool modal = false;
        WhenModal([&](QWidget* w) {
            modal = w == login_;
            w->close();
        });
        form.HTTPSessionAction->trigger();
        EXPECT_TRUE(modal);

        windows_.reset();
        EXPECT_FALSE(form.OnHTTPSession);
        EXPECT_FALSE(form.OnBrokerURLLoaded);
        form.HTTPSessionAction->trigger();
        EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    }
    DoneErrorLog();
}

// The broker windows point the requester's wait and the busy pointer at the interface while
// they live, and take the hooks away when they end.
TEST_F(BrokerWindowsTest, HooksLiveAsLongAsTheWindows) {
    TScriptedPeer peer([](const std::string&) {
        return std::make_pair(200, std::string("<r><_ERRNUM>0</_ERRNUM></r>"));
    });
    peer.Hold();
    Requester.ModuleURL = peer.ModuleURL();
    // Only the interface's events, run by the wait, release the answer.
    QTimer::singleShot(0, [&peer] { peer.Release(); });
    EXPECT_TRUE(Requester.Request("_MAINRQ=GetId").Succeeded());
    {
        TBusyCursor cursor;
        EXPECT_NE(QApplication::overrideCursor(), nullptr);
    }
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
    windows_.reset();
    {
        TBusyCursor cursor;
        EXPECT_EQ(QApplication::overrideCursor(), nullptr) << "no hook once the windows end";
    }
}

} // namespace

int main(int argc, char* argv[]) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    ::testing::InitGoogleTest(&argc, argv);
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
