#pragma once

// "Connect to TCP Server": the IPv4 address and port of the server and the administrator
// password.

#include "ViewSupport.h"

#include <QDialog>

class QLineEdit;
class QPushButton;

class TTCPAddrDlg final : public TCenteredDialog {
    Q_OBJECT
public:
    explicit TTCPAddrDlg(QWidget* parent = nullptr);

    QLineEdit* IPAddressEdit; // masked "999.999.999.999", an unfilled place reads as a blank
    QLineEdit* PortNumEdit;   // masked, up to five digits
    QLineEdit* PasswordEdit;
    QPushButton* OKBtn;
    QPushButton* CancelBtn;

    // The masked texts with every place in its position.
    std::string IPAddressText() const;
    std::string PortNumText() const;
    bool ConnectAndLogin();
    void OKBtnClick();
};
