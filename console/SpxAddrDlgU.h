#pragma once

// "Connect to Spx Server": the IPX address of the server and the administrator password.

#include "ConnectLogin.h"

#include "ConnectDialog.h"

#include <QDialog>

class QLineEdit;

class TSpxAddrDlg final : public TConnectDialog {
    Q_OBJECT
public:
    explicit TSpxAddrDlg(QWidget* parent = nullptr);

    QLineEdit* NetworkNumEdit;
    QLineEdit* NodeNumEdit;
    QLineEdit* SocketNumEdit;

    TSpxFields Fields() const;
    // The focus is on the failing field when validation failed.
    bool ConnectAndLogin() override;
};

// The busy pointer and the one processing of pending events of a connect attempt.
TBusyHooks DialogBusyHooks();
