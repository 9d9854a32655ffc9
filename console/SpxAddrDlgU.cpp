#include "SpxAddrDlgU.h"

#include "MessageDialogs.h"
#include "RequestRunner.h"
#include "ViewSupport.h"

#include <QApplication>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

QLineEdit* AddField(QGridLayout* grid, int row, const char* label, const char* name, int limit,
                    const char* initial) {
    auto* edit = new QLineEdit(QString::fromLatin1(initial));
    edit->setObjectName(QString::fromLatin1(name));
    edit->setMaxLength(limit);
    auto* caption = new QLabel(QString::fromLatin1(label));
    caption->setBuddy(edit);
    grid->addWidget(caption, row, 0);
    grid->addWidget(edit, row, 1);
    return edit;
}

} // namespace

TBusyHooks DialogBusyHooks() {
    TBusyHooks hooks;
    hooks.BeginBusy = [] { QApplication::setOverrideCursor(Qt::WaitCursor); };
    hooks.ProcessEvents = [] { QCoreApplication::processEvents(); };
    hooks.EndBusy = [] { QApplication::restoreOverrideCursor(); };
    return hooks;
}

TSpxAddrDlg::TSpxAddrDlg(QWidget* parent) : TCenteredDialog(parent) {
    setObjectName(QStringLiteral("SpxAddrDlg"));
    setWindowTitle(QStringLiteral("Connect to Spx Server"));

    auto* addressGroup = new QGroupBox(QStringLiteral("IPX Address"));
    auto* addressGrid = new QGridLayout(addressGroup);
    NetworkNumEdit = AddField(addressGrid, 0, "&Network Number", "NetworkNumEdit", 8, "");
    NodeNumEdit = AddField(addressGrid, 1, "N&ode Number", "NodeNumEdit", 12, "1");
    SocketNumEdit = AddField(addressGrid, 2, "&Socket Number", "SocketNumEdit", 4, "4545");

    auto* passwordGroup = new QGroupBox(QStringLiteral("Administrator Password"));
    auto* passwordGrid = new QGridLayout(passwordGroup);
    PasswordEdit = AddField(passwordGrid, 0, "&Password", "PasswordEdit", 30, "");
    PasswordEdit->setEchoMode(QLineEdit::Password);
    PasswordEdit->setStyleSheet(QStringLiteral("lineedit-password-character: 42"));
    // The captions of both groups line up.
    addressGrid->setColumnMinimumWidth(0, 110);
    passwordGrid->setColumnMinimumWidth(0, 110);
    addressGrid->setColumnMinimumWidth(1, 150);
    passwordGrid->setColumnMinimumWidth(1, 150);

    OKBtn = new QPushButton(QStringLiteral("Connect"));
    OKBtn->setObjectName(QStringLiteral("OKBtn"));
    OKBtn->setDefault(true);
    CancelBtn = new QPushButton(QStringLiteral("Cancel"));
    CancelBtn->setObjectName(QStringLiteral("CancelBtn"));
    connect(OKBtn, &QPushButton::clicked, this, &TSpxAddrDlg::OKBtnClick);
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

void TSpxAddrDlg::OKBtnClick() {
    if (ConnectAndLogin())
        accept();
    else
        setResult(0);
}
