// Server requests on a worker thread: the interface stays live while a server takes its time,
// the wait window comes after a while and its Cancel brings the console back at once; boxes
// that a request raises are shown on the interface thread.

#include "RequestRunner.h"
#include "ConsoleTestSupport.h"
#include "ErrLogFormU.h"
#include "LocConnFormU.h"
#include "ServerErrors.h"
#include "SrvStatusFormU.h"
#include "TCPAddrDlgU.h"
#include "WaitWindow.h"

#include <QElapsedTimer>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <fstream>
#include <sstream>
#include <thread>

namespace {

using nlohmann::json;
using Texts = std::vector<std::string>;

// Long enough that a request that was not cancelled is seen to have waited for the answer: it
// then ends with the answer, not with a failure box.
constexpr int kLongDelayMs = 60000;

json Delaying(int code, int ms) {
    json fixture = SmallInstallation();
    fixture["behaviour"]["delays_ms"][std::to_string(code)] = ms;
    return fixture;
}

TWaitWindow* VisibleWaitWindow() {
    for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* wait = qobject_cast<TWaitWindow*>(w); wait != nullptr && wait->isVisible())
            return wait;
    return nullptr;
}

// Watches a request from the interface thread: how often a timer fired during it, when the
// wait window first showed, and, when asked, presses a key in the wait window once it shows.
class TWaitWatch {
public:
    explicit TWaitWatch(std::optional<Qt::Key> press = std::nullopt) : press_(press) {
        clock_.start();
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            ++ticks_;
            TWaitWindow* wait = VisibleWaitWindow();
            if (wait == nullptr || shownAtMs_ >= 0)
                return;
            shownAtMs_ = clock_.elapsed();
            caption_ = wait->windowTitle().toStdString();
            text_ = wait->TextLB->text().toStdString();
            button_ = wait->CancelBtn->text().toStdString();
            if (press_) {
                QTest::keyClick(wait, *press_);
                pressedAtMs_ = clock_.elapsed();
            }
        });
        timer_.start(10);
    }
    long long ElapsedMs() const { return clock_.elapsed(); }

    QElapsedTimer clock_;
    QTimer timer_;
    std::optional<Qt::Key> press_;
    int ticks_ = 0;
    long long shownAtMs_ = -1;
    long long pressedAtMs_ = -1;
    std::string caption_, text_, button_;
};

std::string ErrorLogText() {
    std::ifstream in(ErrorLogFileName());
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

int Count(const std::string& text, const std::string& part) {
    int n = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++n;
    return n;
}

class RequestRunnerTest : public ConsoleTest {
protected:
    // Connects to `server` (a second one, when the fixture's server delays its admission).
    void Connect(const TReferenceServer& server) {
        ASSERT_TRUE(ConnectTcp(server.Port(), "secret"));
        boxes_.Clear();
    }
    void Logout() {
        boxes_.Answer(TMsgDlgBtn::mbYes);
        form_->SpxLogoutActionExecute();
        ASSERT_FALSE(IsConnected());
        boxes_.Clear();
    }
};

TEST_F(RequestRunnerTest, TheInterfaceLivesDuringAWaitAndCancelEndsIt) {
    StartServer(Delaying(368, kLongDelayMs));
    MakeMainForm();
    Connect(*server_);
    TLocConnForm& view = *form_->LocConnForm;
    std::vector<TLocConnRow> shown(1);
    shown[0].UserName = TServerText("SHOWN BEFORE");
    view.Connections->Reset(std::move(shown));

    TWaitWatch watch(Qt::Key_Escape);
    const long long started = watch.ElapsedMs();
    EXPECT_FALSE(view.RefreshView());
    const long long ended = watch.ElapsedMs();
    std::printf("cancel to end of request: %lld ms; window shown after %lld ms\n",
                ended - watch.pressedAtMs_, watch.shownAtMs_ - started);

    // The timer kept firing: the thread was never blocked for the wait.
    EXPECT_GE(watch.ticks_, 3);
    EXPECT_GE(watch.shownAtMs_ - started, kWaitWindowDelayMs);
    EXPECT_EQ(watch.caption_, "Please Wait");
    EXPECT_EQ(watch.text_, "Waiting for the server's answer...");
    EXPECT_EQ(watch.button_, "Cancel");
    EXPECT_EQ(VisibleWaitWindow(), nullptr);
    EXPECT_FALSE(ConsoleRequestRunning());
    // The request failed as on a broken link, and the view kept its rows.
    EXPECT_EQ(boxes_.Texts(), Texts{ClientInternalErrorText(265)});
    EXPECT_EQ(ColumnTexts(*view.Connections, 0), Texts{"SHOWN BEFORE"});
    EXPECT_EQ(Count(ErrorLogText(), "Request cancelled by the user."), 1);
    EXPECT_EQ(server_->Requests(368).size(), 1u);
}

TEST_F(RequestRunnerTest, EnterInTheWaitWindowCancelsAsWell) {
    StartServer(Delaying(373, kLongDelayMs));
    MakeMainForm();
    Connect(*server_);
    TWaitWatch watch(Qt::Key_Return);
    EXPECT_FALSE(form_->ServerStatusForm->RefreshView());
    EXPECT_GE(watch.pressedAtMs_, 0);
    EXPECT_EQ(boxes_.Texts(), Texts{ClientInternalErrorText(270)});
}

TEST_F(RequestRunnerTest, AShortWaitShowsNoWaitWindow) {
    StartServer(Delaying(368, 100));
    MakeMainForm();
    Connect(*server_);
    TWaitWatch watch;
    const long long started = watch.ElapsedMs();
    EXPECT_TRUE(form_->LocConnForm->RefreshView());
    const long long lasted = watch.ElapsedMs() - started;
    // The window shows only once a wait has lasted; on a loaded machine even this one may.
    if (watch.shownAtMs_ >= 0) {
        EXPECT_GE(lasted, kWaitWindowDelayMs);
    }
    EXPECT_TRUE(boxes_.Texts().empty());
    EXPECT_EQ(form_->LocConnForm->Connections->rowCount(), 3);
}

TEST_F(RequestRunnerTest, InputDuringAWaitStartsNoSecondRequest) {
    StartServer(Delaying(368, 1000));
    MakeMainForm();
    Connect(*server_);
    TLocConnForm& view = *form_->LocConnForm;
    view.show();
    QTimer::singleShot(50, &view, [&view] {
        // Refresh's key goes nowhere while the request runs, and a refresh started by other
        // means does not start a second request.
        QTest::keyClick(&view, Qt::Key_F5);
        view.RefreshAct->trigger();
    });
    EXPECT_TRUE(view.RefreshView());
    QTest::qWait(50);
    EXPECT_EQ(server_->Requests(368).size(), 1u);
    view.hide();
}

TEST_F(RequestRunnerTest, ACancelledConnectFailsAsDescribedAndTheNextConnectWorks) {
    StartServer(Delaying(20, kLongDelayMs));
    MakeMainForm();
    TWaitWatch watch(Qt::Key_Escape);
    EXPECT_FALSE(ConnectTcp(server_->Port(), "secret"));
    EXPECT_GE(watch.pressedAtMs_, 0);
    EXPECT_EQ(boxes_.Texts(),
              Texts{"Could not connect to this server. Check server ip address and port number."});
    EXPECT_FALSE(form_->TCPAddrDlg->result() == QDialog::Accepted);
    EXPECT_EQ(Count(ErrorLogText(), "Request cancelled by the user."), 1);

    TReferenceServer prompt(folder_, SmallInstallation());
    Connect(prompt);
    EXPECT_TRUE(form_->LocConnForm->RefreshView());
    EXPECT_EQ(form_->LocConnForm->Connections->rowCount(), 3);
    EXPECT_TRUE(boxes_.Texts().empty());
}

TEST_F(RequestRunnerTest, ACancelledLogReadKeepsTheLogShownBefore) {
    StartServer(Delaying(374, kLongDelayMs));
    MakeMainForm();
    TReferenceServer prompt(folder_, SmallInstallation());
    Connect(prompt);
    TErrorLogForm& view = *form_->ErrorLogForm;
    ASSERT_TRUE(view.RefreshView());
    const QString before = view.LogMemo->toPlainText();
    ASSERT_FALSE(before.isEmpty());
    Logout();

    Connect(*server_);
    TWaitWatch watch(Qt::Key_Escape);
    EXPECT_FALSE(view.RefreshView());
    EXPECT_EQ(view.LogMemo->toPlainText(), before);
    EXPECT_EQ(boxes_.Texts(), Texts{ClientInternalErrorText(271)});
}

TEST_F(RequestRunnerTest, ClosingAViewDuringItsWaitCancelsTheRequest) {
    StartServer(Delaying(368, kLongDelayMs));
    MakeMainForm();
    Connect(*server_);
    TLocConnForm& view = *form_->LocConnForm;
    view.show();
    QTimer::singleShot(50, &view, [&view] { view.close(); });
    EXPECT_FALSE(view.RefreshView());
    EXPECT_EQ(boxes_.Texts(), Texts{ClientInternalErrorText(265)});
    // The close itself comes once the request has ended.
    QTRY_VERIFY(!view.isVisible());
    EXPECT_FALSE(CloseRequestedDuringRequest(&view));
}

// Closing the console while a view loads (as the system does at logout or shutdown) cancels
// the request at once; the console then closes instead of opening the view.
TEST_F(RequestRunnerTest, ClosingTheConsoleDuringAViewsLoadCancelsItAndOpensNoView) {
    StartServer(Delaying(368, kLongDelayMs));
    MakeMainForm();
    Connect(*server_);
    form_->show();
    TLocConnForm& view = *form_->LocConnForm;
    QTimer::singleShot(50, form_.get(), [this] { form_->close(); });
    // Should the view open all the same, it is closed again, so that the failure shows.
    bool viewOpened = false;
    QTimer::singleShot(2000, &view, [&view, &viewOpened] {
        viewOpened = view.isVisible();
        view.reject();
    });
    QElapsedTimer clock;
    clock.start();
    form_->DisplayLocalConnListActionExecute();
    EXPECT_LT(clock.elapsed(), kLongDelayMs);
    EXPECT_EQ(boxes_.Texts(), Texts{ClientInternalErrorText(265)});
    QTRY_VERIFY(!form_->isVisible());
    EXPECT_FALSE(viewOpened);
    EXPECT_FALSE(view.isVisible());
}

// Records on which thread each box came, then answers as the recorder does.
class TThreadRecorder final : public IMessagePresenter {
public:
    explicit TThreadRecorder(IMessagePresenter& next) : next_(next) {
        previous_ = SetMessagePresenter(this);
    }
    ~TThreadRecorder() override { SetMessagePresenter(previous_); }
    TMsgDlgBtn Present(const TMessageRequest& request) override {
        threads_.push_back(std::this_thread::get_id());
        runningDuringBox_.push_back(ConsoleRequestRunning());
        return next_.Present(request);
    }
    std::vector<std::thread::id> threads_;
    std::vector<bool> runningDuringBox_;

private:
    IMessagePresenter& next_;
    IMessagePresenter* previous_;
};

TEST_F(RequestRunnerTest, AServerErrorIsShownOnceOnTheInterfaceThreadWhileTheWorkerWaits) {
    json fixture = SmallInstallation();
    fixture["behaviour"]["server_errors"] = json::array({{{"code", 368}, {"error", 12}}});
    StartServer(fixture);
    MakeMainForm();
    Connect(*server_);
    TThreadRecorder recorder(boxes_);
    EXPECT_FALSE(form_->LocConnForm->RefreshView());
    EXPECT_EQ(boxes_.Texts(), Texts{ServerErrorText(12)});
    ASSERT_EQ(recorder.threads_.size(), 1u);
    EXPECT_EQ(recorder.threads_[0], std::this_thread::get_id());
    EXPECT_TRUE(recorder.runningDuringBox_[0]) << "the box came after the request had ended";
    EXPECT_FALSE(ConsoleRequestRunning());
    // The worker went on and ended; the next request runs.
    EXPECT_TRUE(form_->ServerStatusForm->RefreshView());
}

} // namespace
