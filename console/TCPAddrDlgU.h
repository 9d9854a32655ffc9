#pragma once

// "Connect to TCP Server": the IPv4 address and port of the server and the administrator
// password.

#include "ConnectDialog.h"

#include <QDialog>

class QLineEdit;

class TTCPAddrDlg final : public TConnectDialog {
    Q_OBJECT
public:
    explicit TTCPAddrDlg(QWidget* parent = nullptr);

    QLineEdit* IPAddressEdit; // masked "999.999.999.999", an unfilled place reads as a blank
    QLineEdit* PortNumEdit;   // masked, up to five digits

    // The masked texts with every place in its position.
    std::string IPAddressText() const;
    std::string PortNumText() const;
    bool ConnectAndLogin() override;
};
