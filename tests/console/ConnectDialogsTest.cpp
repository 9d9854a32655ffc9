// The two connect dialogs and the saved addresses: validation in its order, the focus, every
// failure text, and the fields filled from the configuration store at start.

#include "ConsoleTestSupport.h"
#include "RequestDispatcher.h"
#include "SpxAddrDlgU.h"
#include "TCPAddrDlgU.h"

#include <QLineEdit>
#include <QPushButton>

namespace {

using nlohmann::json;

TEST_F(ConsoleTest, FirstStartWithNothingSavedKeepsTheInitialTexts) {
    MakeMainForm();
    EXPECT_EQ(form_->SpxAddrDlg->NetworkNumEdit->text().toStdString(), "");
    EXPECT_EQ(form_->SpxAddrDlg->NodeNumEdit->text().toStdString(), "1");
    EXPECT_EQ(form_->SpxAddrDlg->SocketNumEdit->text().toStdString(), "4545");
    EXPECT_EQ(form_->TCPAddrDlg->IPAddressText(), "255.255.255.255");
    EXPECT_EQ(form_->TCPAddrDlg->PortNumEdit->text().toStdString(), "4545");
    EXPECT_EQ(form_->BrokerURL(), "");
    EXPECT_TRUE(boxes_.Texts().empty());
}

// A connect dialog opens on its first address field; Tab goes through the address fields in
// their order, then the password, then the buttons.
TEST_F(ConsoleTest, TabGoesThroughTheAddressThenThePasswordThenTheButtons) {
    MakeMainForm();
    // The focusable widgets of a window in the order Tab reaches them from its start.
    const auto chain = [](QWidget* window, int count) {
        std::vector<std::string> names;
        QWidget* w = window;
        for (int i = 0; i < count; ++i) {
            do
                w = w->nextInFocusChain();
            while (w->focusPolicy() == Qt::NoFocus || w->objectName().isEmpty());
            names.push_back(w->objectName().toStdString());
        }
        return names;
    };
    EXPECT_EQ(chain(form_->SpxAddrDlg.get(), 6),
              (std::vector<std::string>{"NetworkNumEdit", "NodeNumEdit", "SocketNumEdit",
                                        "PasswordEdit", "OKBtn", "CancelBtn"}));
    EXPECT_EQ(chain(form_->TCPAddrDlg.get(), 5),
              (std::vector<std::string>{"IPAddressEdit", "PortNumEdit", "PasswordEdit", "OKBtn",
                                        "CancelBtn"}));
}

TConfigValue Bin(std::vector<std::uint8_t> bytes) {
    return {TConfigValueKind::Binary, {}, std::move(bytes)};
}
TConfigValue Str(std::string text) {
    return {TConfigValueKind::String, std::move(text), {}};
}

struct TSavedCase {
    const char* Name;
    std::vector<std::pair<std::string, TConfigValue>> Values;
    std::vector<std::string> Spx; // network, node, socket
    std::string Ip;
    std::string Port;
    std::string Url;
    std::vector<std::string> Messages;
};

TEST_F(ConsoleTest, SavedAddressesFillTheDialogs) {
    const std::vector<std::string> initialSpx{"", "1", "4545"};
    const TSavedCase cases[] = {
        {"hexadecimal forms",
         {{"SPXNetNum", Bin({0, 0, 0xA1, 0xB2})},
          {"SPXNodeNum", Bin({0, 0, 0, 0, 0, 1})},
          {"SPXSocketNum", Bin({0x45, 0x45})}},
         {"A1B2", "1", "4545"},
         "255.255.255.255",
         "4545",
         "",
         {}},
        {"all-zero numbers and a low socket",
         {{"SPXNetNum", Bin({0, 0, 0, 0})},
          {"SPXNodeNum", Bin({0, 0, 0, 0, 0, 0})},
          {"SPXSocketNum", Bin({1, 0})}},
         {"0", "0", "0001"},
         "255.255.255.255",
         "4545",
         "",
         {}},
        {"right-aligned octets",
         {{"IPAddr", Bin({10, 0, 0, 1})}, {"IPPort", Bin({0xC1, 0x11})}},
         initialSpx,
         " 10.  0.  0.  1",
         "4545",
         "",
         {}},
        {"zero port and zero socket mean nothing saved",
         {{"IPAddr", Bin({10, 0, 0, 1})},
          {"IPPort", Bin({0, 0})},
          {"SPXNetNum", Bin({0, 0, 0xA1, 0xB2})}},
         initialSpx,
         "255.255.255.255",
         "4545",
         "",
         {}},
        {"a shorter value fills the first bytes",
         {{"IPAddr", Bin({192, 168})}, {"IPPort", Bin({80})}},
         initialSpx,
         "192.168.  0.  0",
         "80",
         "",
         {}},
        {"a 5-byte network number stops everything",
         {{"SPXNetNum", Bin({1, 2, 3, 4, 5})},
          {"SPXSocketNum", Bin({0x45, 0x45})},
          {"IPAddr", Bin({10, 0, 0, 1})},
          {"IPPort", Bin({0xC1, 0x11})},
          {"BrokerURL", Str("http://broker/ZephWebMain.DLL")}},
         initialSpx,
         "255.255.255.255",
         "4545",
         "",
         {"Invalid data type for 'SPXNetNum'"}},
        {"a port saved as text",
         {{"SPXNetNum", Bin({0, 0, 0xA1, 0xB2})},
          {"SPXSocketNum", Bin({0x45, 0x45})},
          {"IPPort", Str("4545")}},
         initialSpx,
         "255.255.255.255",
         "4545",
         "",
         {"Invalid data type for 'IPPort'"}},
        {"broker URL",
         {{"BrokerURL", Str("http://broker/ZephWebMain.DLL")}},
         initialSpx,
         "255.255.255.255",
         "4545",
         "http://broker/ZephWebMain.DLL",
         {}},
        {"broker URL of the wrong type",
         {{"BrokerURL", Bin({1, 2})}},
         initialSpx,
         "255.255.255.255",
         "4545",
         "",
         {"Invalid data type for 'BrokerURL'"}},
    };
    for (const TSavedCase& c : cases) {
        SCOPED_TRACE(c.Name);
        TMemoryConfigStore store;
        for (const auto& [name, value] : c.Values)
            store.Put(name, value);
        SetConfigStore(&store);
        boxes_.Clear();
        std::string handed;
        form_ = std::make_unique<TMainForm>(folder_.Path());
        form_->OnBrokerURLLoaded = [&handed](const std::string& url) { handed = url; };
        form_->show();
        QCoreApplication::processEvents();
        const TSpxAddrDlg& spx = *form_->SpxAddrDlg;
        EXPECT_EQ((std::vector<std::string>{spx.NetworkNumEdit->text().toStdString(),
                                            spx.NodeNumEdit->text().toStdString(),
                                            spx.SocketNumEdit->text().toStdString()}),
                  c.Spx);
        EXPECT_EQ(form_->TCPAddrDlg->IPAddressText(), c.Ip);
        EXPECT_EQ(form_->TCPAddrDlg->PortNumEdit->text().toStdString(), c.Port);
        EXPECT_EQ(form_->BrokerURL(), c.Url);
        EXPECT_EQ(handed, c.Url);
        EXPECT_EQ(boxes_.Texts(), c.Messages);
        form_.reset();
        DoneErrorLog();
        SetConfigStore(&store_);
    }
}

TEST_F(ConsoleTest, SpxValidationStopsAtTheFirstFailingFieldAndFocusesIt) {
    MakeMainForm();
    TSpxAddrDlg& dlg = *form_->SpxAddrDlg;
    dlg.show();
    struct {
        const char* Net;
        const char* Node;
        const char* Socket;
        std::string Message;
        QLineEdit* Focus;
    } cases[] = {
        {"", "x", "", "Network Number is not Entered...", dlg.NetworkNumEdit},
        {"  ", "", "", "Invalid (non-hex) character in Network Number...", dlg.NetworkNumEdit},
        {"A1G2", "", "", "Invalid (non-hex) character in Network Number...", dlg.NetworkNumEdit},
        {"ab", "", "", "Node Number is not Entered...", dlg.NodeNumEdit},
        {"ab", "1x", "", "Invalid (non-hex) character in Node Number...", dlg.NodeNumEdit},
        {"ab", "1", "", "Socket Number is not Entered...", dlg.SocketNumEdit},
        {"ab", "1", "45 5", "Invalid (non-hex) character in Socket Number...", dlg.SocketNumEdit},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Message + " for '" + c.Net + "' '" + c.Node + "' '" + c.Socket + "'");
        dlg.NetworkNumEdit->setText(QString::fromLatin1(c.Net));
        dlg.NodeNumEdit->setText(QString::fromLatin1(c.Node));
        dlg.SocketNumEdit->setText(QString::fromLatin1(c.Socket));
        dlg.PasswordEdit->setFocus();
        boxes_.Clear();
        dlg.OKBtnClick();
        EXPECT_EQ(boxes_.Texts(), std::vector<std::string>{c.Message});
        EXPECT_EQ(dlg.focusWidget(), c.Focus);
        EXPECT_EQ(dlg.result(), 0);
        EXPECT_FALSE(IsConnected());
    }
    EXPECT_TRUE(store_.Values().empty());
}

TEST_F(ConsoleTest, TcpValidationMessagesAndTheMaskedFields) {
    MakeMainForm();
    TTCPAddrDlg& dlg = *form_->TCPAddrDlg;
    // The masked entry keeps every place in its position, an unfilled one as a blank.
    dlg.IPAddressEdit->setText(QStringLiteral(" 10.  0.  0.  1"));
    EXPECT_EQ(dlg.IPAddressText(), " 10.  0.  0.  1");
    dlg.PortNumEdit->setText(QStringLiteral("80"));
    EXPECT_EQ(dlg.PortNumText(), "80   ");
    struct {
        const char* Ip;
        const char* Port;
        std::string Message;
    } cases[] = {
        {"256.  0.  0.  1", "4545", "IP Address is not valid..."},
        {" 10.   .  0.  1", "4545", "IP Address is not valid..."},
        {"1 0.  0.  0.  1", "4545", "IP Address is not valid..."},
        {"127.  0.  0.  1", "99999", "Port Number is not valid..."},
        {"127.  0.  0.  1", "", "Port Number is not valid..."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.Ip) + " port " + c.Port);
        dlg.IPAddressEdit->setText(QString::fromLatin1(c.Ip));
        dlg.PortNumEdit->setText(QString::fromLatin1(c.Port));
        boxes_.Clear();
        dlg.OKBtnClick();
        EXPECT_EQ(boxes_.Texts(), std::vector<std::string>{c.Message});
        EXPECT_EQ(dlg.result(), 0);
    }
    EXPECT_TRUE(store_.Values().empty());
}

TEST_F(ConsoleTest, EveryConnectFailureIsToldAndTheDialogStaysAsTyped) {
    int closedPort = 0;
    {
        TReferenceServer gone(folder_, json::object());
        closedPort = gone.Port();
    }
    struct {
        const char* Name;
        json Fixture; // null: no server
        std::string Password;
        std::string Message;
    } cases[] = {
        {"no server", nullptr, "secret",
         "Could not connect to this server. Verify server ip address and port number."},
        {"version refused",
         {{"behaviour", {{"version_refusal", {{"major", 5}, {"minor", 10}}}}}},
         "secret",
         "You need client programs version 5.10 or higher to connect to this server!"},
        {"wrong password",
         {{"administrator_password", "secret"}},
         "wrong",
         "Could not login to this server. Check administrator password."},
        {"busy account",
         {{"behaviour", {{"login", {{"refuse", true}, {"busy", 1}}}}}},
         "secret",
         "Could not login to this server. Administrator account in this server is single entry "
         "and anotheruser is currently using it."},
    };
    MakeMainForm();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        int port = closedPort;
        if (!c.Fixture.is_null()) {
            StartServer(c.Fixture);
            port = server_->Port();
        }
        boxes_.Clear();
        EXPECT_FALSE(ConnectTcp(port, c.Password));
        EXPECT_EQ(boxes_.Texts(), std::vector<std::string>{c.Message});
        TTCPAddrDlg& dlg = *form_->TCPAddrDlg;
        EXPECT_EQ(dlg.result(), 0);
        EXPECT_EQ(dlg.IPAddressText(), "127.  0.  0.  1");
        EXPECT_EQ(dlg.PasswordEdit->text().toStdString(), c.Password);
        EXPECT_EQ(form_->TheServerNameLB->text().toStdString(), "Server Name: ");
        EXPECT_TRUE(form_->TCPConnectAction->isEnabled());
    }
    EXPECT_TRUE(store_.Values().empty());
}

TEST_F(ConsoleTest, ARefusedSettingIsToldAndTheServerStaysConnected) {
    StartServer(SmallInstallation());
    store_.SetRefuseWrites(true);
    MakeMainForm();
    EXPECT_TRUE(ConnectTcp(server_->Port(), "secret"));
    EXPECT_EQ(boxes_.Texts(), std::vector<std::string>{"Failed to set data for 'IPAddr'"});
    EXPECT_EQ(form_->TCPAddrDlg->result(), QDialog::Accepted);
}

} // namespace
