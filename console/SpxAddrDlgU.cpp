#include "SpxAddrDlgU.h"

#include "MessageDialogs.h"
#include "RequestRunner.h"
#include "ViewSupport.h"

#include <QApplication>
#include <QLineEdit>

TBusyHooks DialogBusyHooks() {
    TBusyHooks hooks;
    hooks.BeginBusy = [] { QApplication::setOverrideCursor(Qt::WaitCursor); };
    hooks.ProcessEvents = [] { QCoreApplication::processEvents(); };
    hooks.EndBusy = [] { QApplication::restoreOverrideCursor(); };
    return hooks;
}

TSpxAddrDlg::TSpxAddrDlg(QWidget* parent)
    : TConnectDialog(parent, "SpxAddrDlg", "Connect to Spx Server", "IPX Address",
                     {{"&Network Number", "NetworkNumEdit"},
                      {"N&ode Number", "NodeNumEdit"},
                      {"&Socket Number", "SocketNumEdit"}}) {
    NetworkNumEdit = AddressField(0);
    NetworkNumEdit->setMaxLength(8);
    NodeNumEdit = AddressField(1);
    NodeNumEdit->setMaxLength(12);
    NodeNumEdit->setText(QStringLiteral("1"));
    SocketNumEdit = AddressField(2);
    SocketNumEdit->setMaxLength(4);
    SocketNumEdit->setText(QStringLiteral("4545"));
}

TSpxFields TSpxAddrDlg::Fields() const {
    return {NetworkNumEdit->text().toStdString(), NodeNumEdit->text().toStdString(),
            SocketNumEdit->text().toStdString()};
}

bool TSpxAddrDlg::ConnectAndLogin() {
    const TSpxFields fields = Fields();
    std::string message;
    const TSpxField failing = ValidateSpxFields(fields, message);
    if (failing != TSpxField::None) {
        ShowMessageBox(message);
        QLineEdit* edit = failing == TSpxField::NetworkNum ? NetworkNumEdit
                          : failing == TSpxField::NodeNum  ? NodeNumEdit
                                                           : SocketNumEdit;
        edit->setFocus();
        return false;
    }
    const TServerAddress address = EncodeIpxAddress(fields);
    const std::string password = PasswordEdit->text().toStdString();
    bool connected = false;
    RunServerRequest(
        [&] { connected = ConnectAndLoginSpx(address, password, RequestBusyHooks()); });
    if (!connected)
        return false;
    SaveSpxServerAddress(address);
    return true;
}
