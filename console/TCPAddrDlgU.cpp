#include "TCPAddrDlgU.h"

#include "ConnectLogin.h"
#include "MessageDialogs.h"
#include "RequestRunner.h"
#include "SpxAddrDlgU.h"
#include "ViewSupport.h"

#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

QLineEdit* AddField(QGridLayout* grid, int row, const char* label, const char* name) {
    auto* edit = new QLineEdit;
    edit->setObjectName(QString::fromLatin1(name));
    auto* caption = new QLabel(QString::fromLatin1(label));
    caption->setBuddy(edit);
    grid->addWidget(caption, row, 0);
    grid->addWidget(edit, row, 1);
    return edit;
}

} // namespace

TTCPAddrDlg::TTCPAddrDlg(QWidget* parent) : TCenteredDialog(parent) {
    setObjectName(QStringLiteral("TCPAddrDlg"));
    setWindowTitle(QStringLiteral("Connect to TCP Server"));

    auto* addressGroup = new QGroupBox(QStringLiteral("TCP Address"));
    auto* addressGrid = new QGridLayout(addressGroup);
    IPAddressEdit = AddField(addressGrid, 0, "&IP Address", "IPAddressEdit");
    // Digits at fixed places with the dots between; the blank stands for an unfilled place.
    IPAddressEdit->setInputMask(QStringLiteral("000.000.000.000; "));
    IPAddressEdit->setText(QStringLiteral("255.255.255.255"));
    PortNumEdit = AddField(addressGrid, 1, "&Port Number", "PortNumEdit");
    PortNumEdit->setInputMask(QStringLiteral("00000; "));
    PortNumEdit->setText(QStringLiteral("4545"));

    auto* passwordGroup = new QGroupBox(QStringLiteral("Administrator Password"));
    auto* passwordGrid = new QGridLayout(passwordGroup);
    PasswordEdit = AddField(passwordGrid, 0, "&Password", "PasswordEdit");
    PasswordEdit->setMaxLength(30);
    PasswordEdit->setEchoMode(QLineEdit::Password);
    PasswordEdit->setStyleSheet(QStringLiteral("lineedit-password-character: 42"));
    addressGrid->setColumnMinimumWidth(0, 110);
    passwordGrid->setColumnMinimumWidth(0, 110);
    addressGrid->setColumnMinimumWidth(1, 150);
    passwordGrid->setColumnMinimumWidth(1, 150);

    OKBtn = new QPushButton(QStringLiteral("Connect"));
    OKBtn->setObjectName(QStringLiteral("OKBtn"));
    OKBtn->setDefault(true);
    CancelBtn = new QPushButton(QStringLiteral("Cancel"));
    CancelBtn->setObjectName(QStringLiteral("CancelBtn"));
    connect(OKBtn, &QPushButton::clicked, this, &TTCPAddrDlg::OKBtnClick);
    connect(CancelBtn, &QPushButton::clicked, this, &QDialog::reject);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(OKBtn);
    buttons->addWidget(CancelBtn);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(addressGroup);
    layout->addWidget(passwordGroup);
    layout->addLayout(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);
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

void TTCPAddrDlg::OKBtnClick() {
    if (ConnectAndLogin())
        accept();
    else
        setResult(0);
}
