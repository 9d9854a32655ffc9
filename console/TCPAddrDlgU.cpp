#include "TCPAddrDlgU.h"

#include "ConnectLogin.h"
#include "MessageDialogs.h"
#include "RequestRunner.h"
#include "SpxAddrDlgU.h"
#include "ViewSupport.h"

#include <QLineEdit>

TTCPAddrDlg::TTCPAddrDlg(QWidget* parent)
    : TConnectDialog(parent, "TCPAddrDlg", "Connect to TCP Server", "TCP Address",
                     {{"&IP Address", "IPAddressEdit"}, {"&Port Number", "PortNumEdit"}}) {
    IPAddressEdit = AddressField(0);
    // Digits at fixed places with the dots between; the blank stands for an unfilled place.
    IPAddressEdit->setInputMask(QStringLiteral("000.000.000.000; "));
    IPAddressEdit->setText(QStringLiteral("255.255.255.255"));
    PortNumEdit = AddressField(1);
    PortNumEdit->setInputMask(QStringLiteral("00000; "));
    PortNumEdit->setText(QStringLiteral("4545"));
}

std::string TTCPAddrDlg::IPAddressText() const {
    return IPAddressEdit->displayText().toStdString();
}

std::string TTCPAddrDlg::PortNumText() const {
    return PortNumEdit->displayText().toStdString();
}

bool TTCPAddrDlg::ConnectAndLogin() {
    std::array<std::uint8_t, 4> ip{};
    std::uint16_t port = 0;
    std::string message;
    if (!ValidateTcpFields({IPAddressText(), PortNumText()}, ip, port, message)) {
        ShowMessageBox(message);
        return false;
    }
    const std::string password = PasswordEdit->text().toStdString();
    bool connected = false;
    RunServerRequest(
        [&] { connected = ConnectAndLoginTcp(ip, port, password, RequestBusyHooks()); });
    if (!connected)
        return false;
    SaveTcpServerAddress(ip, port);
    return true;
}
