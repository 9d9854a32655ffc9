#pragma once

// What the two connect dialogs share: a group with the server's address fields, the
// administrator's password, and Connect and Cancel.

#include "ViewSupport.h"

class QGridLayout;
class QLineEdit;
class QPushButton;

class TConnectDialog : public TCenteredDialog {
public:
    QLineEdit* PasswordEdit;
    QPushButton* OKBtn;
    QPushButton* CancelBtn;

    // Validates, connects and logs in, and saves the address; false after a failure that has
    // been shown.
    virtual bool ConnectAndLogin() = 0;
    // The Connect button: closes the dialog with OK after a successful login, else stays.
    void OKBtnClick();

protected:
    TConnectDialog(QWidget* parent, const char* objectName, const char* title,
                   const char* addressTitle);
    // A field with its caption at the end of the address group.
    QLineEdit* AddAddressField(const char* caption, const char* name);

private:
    QGridLayout* addressGrid_;
    QLineEdit* lastAddressField_ = nullptr;
};
