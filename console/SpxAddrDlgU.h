#pragma once

// "Connect to Spx Server": the IPX address of the server and the administrator password.

#include "ConnectLogin.h"

#include "ViewSupport.h"

#include <QDialog>

class QLineEdit;
class QPushButton;

class TSpxAddrDlg final : public TCenteredDialog {
    Q_OBJECT
public:
    explicit TSpxAddrDlg(QWidget* parent = nullptr);

    QLineEdit* NetworkNumEdit;
    QLineEdit* NodeNumEdit;
    QLineEdit* SocketNumEdit;
    QLineEdit* PasswordEdit;
    QPushButton* OKBtn;
    QPushButton* CancelBtn;

    TSpxFields Fields() const;
    // Validates, connects and logs in, and saves the address; false after a failure that has
    // been shown (the focus is on the failing field when validation failed).
    bool ConnectAndLogin();
    // The Connect button: closes the dialog with OK after a successful login, else stays.
    void OKBtnClick();
};

// The busy pointer and the one processing of pending events of a connect attempt.
TBusyHooks DialogBusyHooks();
