// The main window: its commands' enabling rules before and after a connect and a logout, the
// labels, the saved address, the confirmations, and closing without a logout.

#include "ConsoleTestSupport.h"
#include "LocConnFormU.h"
#include "ReplyBuffer.h"
#include "RequestDispatcher.h"
#include "TCPAddrDlgU.h"

#include <QAction>
#include <QEventLoop>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QTimer>

namespace {

// The enabled state of every command, in the menu's order.
std::vector<bool> Enabled(const TMainForm& f) {
    std::vector<bool> states;
    for (QAction* a :
         {f.SpxConnAction, f.TCPConnectAction, f.SpxLogoutAction, f.HTTPSessionAction, f.FileExit1,
          f.UsersMenu->menuAction(), f.DisplayLocalConnListAction, f.DisplayWebConnListAction,
          f.DatabasesMenu->menuAction(), f.DisplayDBListAction, f.StatusMenu->menuAction(),
          f.ServerSummaryAction, f.ShowErrLogAction, f.ClearErrLogAction})
        states.push_back(a->isEnabled());
    return states;
}

const std::vector<bool> kNotConnected{true,  true,  false, true,  true,  false, false,
                                      false, false, false, false, false, false, false};
const std::vector<bool> kConnected{false, false, true, false, true, true, true,
                                   true,  true,  true, true,  true, true, true};

TEST_F(ConsoleTest, ConnectThroughTheMenuThenLogoutOnlyOnYes) {
    StartServer(SmallInstallation());
    MakeMainForm();
    EXPECT_EQ(form_->windowTitle().toStdString(), "Zephran Servers Remote Console");
    EXPECT_EQ(Enabled(*form_), kNotConnected);

    const int port = server_->Port();
    WhenModal([port](QWidget* modal) {
        auto* dlg = qobject_cast<TTCPAddrDlg*>(modal);
        ASSERT_NE(dlg, nullptr);
        dlg->IPAddressEdit->setText(QStringLiteral("127.  0.  0.  1"));
        dlg->PortNumEdit->setText(QString::number(port));
        dlg->PasswordEdit->setText(QStringLiteral("secret"));
        dlg->OKBtn->click();
    });
    form_->TCPConnectAction->trigger();
    ASSERT_TRUE(IsConnected());
    EXPECT_TRUE(boxes_.Texts().empty());
    EXPECT_EQ(form_->TheServerNameLB->text().toStdString(), "Server Name: MAIN");
    EXPECT_EQ(form_->TheCenterNameLB->text().toStdString(), "Center Name: کتابخانه مرکزي");
    // Enabled again when the interface is idle.
    form_->SpxLogoutAction->setEnabled(false);
    QEventLoop idle;
    QTimer::singleShot(20, &idle, &QEventLoop::quit);
    idle.exec();
    EXPECT_EQ(Enabled(*form_), kConnected);
    EXPECT_EQ(Hex(store_.Read("IPAddr").Bytes), "7f000001");
    EXPECT_EQ(store_.Read("IPPort").Bytes,
              (std::vector<std::uint8_t>{static_cast<std::uint8_t>(port),
                                         static_cast<std::uint8_t>(port >> 8)}));

    for (TMsgDlgBtn answer : {TMsgDlgBtn::mbNo, TMsgDlgBtn::mbCancel}) {
        boxes_.Answer(answer);
        form_->SpxLogoutAction->trigger();
        EXPECT_TRUE(IsConnected());
    }
    EXPECT_TRUE(server_->Requests(19).empty());
    boxes_.Answer(TMsgDlgBtn::mbYes);
    form_->SpxLogoutAction->trigger();
    EXPECT_EQ(boxes_.Texts(), std::vector<std::string>(3, "Are you sure to logout from server?"));
    ASSERT_EQ(boxes_.Messages().size(), 3u);
    EXPECT_EQ(boxes_.Messages()[0].Kind, TMsgDlgType::mtConfirmation);
    EXPECT_FALSE(IsConnected());
    EXPECT_EQ(server_->Requests(19).size(), 1u);
    EXPECT_EQ(form_->TheServerNameLB->text().toStdString(), "Server Name: ");
    EXPECT_EQ(form_->TheCenterNameLB->text().toStdString(), "Center Name: ");
    EXPECT_EQ(Enabled(*form_), kNotConnected);
}

TEST_F(ConsoleTest, WithoutADispatcherNeitherConnectCommandIsOffered) {
    // No room for the dispatcher's tables: the window comes up without one.
    SetAllocationLimitForTesting(16);
    MakeMainForm();
    SetAllocationLimitForTesting(-1);
    EXPECT_FALSE(form_->DispatcherReady());
    EXPECT_EQ(RequestDispatcher, nullptr);
    EXPECT_EQ(boxes_.Texts(),
              std::vector<std::string>{"Could not initialize Request Dispatcher..."});
    // Still so after the idle-time pass over the enabling rules.
    QEventLoop idle;
    QTimer::singleShot(20, &idle, &QEventLoop::quit);
    idle.exec();
    EXPECT_FALSE(form_->SpxConnAction->isEnabled());
    EXPECT_FALSE(form_->TCPConnectAction->isEnabled());
    std::vector<bool> expected = kNotConnected;
    expected[0] = expected[1] = false;
    EXPECT_EQ(Enabled(*form_), expected);
}

TEST_F(ConsoleTest, ClearErrorLogOnlyOnYesAndClosingSendsNoLogout) {
    StartServer(SmallInstallation());
    MakeMainForm();
    ASSERT_TRUE(ConnectTcp(server_->Port(), "secret"));
    boxes_.Answer(TMsgDlgBtn::mbNo);
    boxes_.Answer(TMsgDlgBtn::mbCancel);
    form_->ClearErrLogAction->trigger();
    form_->ClearErrLogAction->trigger();
    EXPECT_TRUE(server_->Requests(375).empty());
    boxes_.Answer(TMsgDlgBtn::mbYes);
    form_->ClearErrLogAction->trigger();
    EXPECT_EQ(boxes_.Texts(), std::vector<std::string>(3, "Are you sure to clear error log?"));
    EXPECT_EQ(server_->Requests(375).size(), 1u);

    form_->FileExit1->trigger();
    EXPECT_FALSE(form_->isVisible());
    form_.reset();
    EXPECT_TRUE(server_->Requests(19).empty());
    EXPECT_EQ(boxes_.Texts().size(), 3u);
}

TEST_F(ConsoleTest, AViewCommandLoadsTheViewAndShowsItModally) {
    StartServer(SmallInstallation());
    MakeMainForm();
    ASSERT_TRUE(ConnectTcp(server_->Port(), "secret"));
    bool shown = false;
    WhenModal([&shown](QWidget* modal) {
        shown = modal->objectName() == QStringLiteral("LocConnForm");
        modal->close();
    });
    form_->DisplayLocalConnListAction->trigger();
    EXPECT_TRUE(shown);
    EXPECT_EQ(form_->LocConnForm->Connections->rowCount(), 3);
}

TEST_F(ConsoleTest, HttpSessionsRunsTheAttachedDialogOnlyWhileNotConnected) {
    StartServer(SmallInstallation());
    MakeMainForm();
    int opened = 0;
    form_->OnHTTPSession = [&opened] { ++opened; };
    form_->HTTPSessionAction->trigger();
    EXPECT_EQ(opened, 1);
    ASSERT_TRUE(ConnectTcp(server_->Port(), "secret"));
    EXPECT_FALSE(form_->HTTPSessionAction->isEnabled());
    form_->HTTPSessionAction->trigger();
    EXPECT_EQ(opened, 1);
}

} // namespace
