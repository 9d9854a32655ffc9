#pragma once

// What the two connect dialogs share: a group with the server's address fields, the
// administrator's password, and Connect and Cancel.

#include "ViewSupport.h"

#include <initializer_list>
#include <vector>

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
    // A field of the address group: its caption and its object name.
    struct TField {
        const char* Caption;
        const char* Name;
    };
    // The address group holds `fields`, in their order, the first one taking the focus.
    TConnectDialog(QWidget* parent, const char* objectName, const char* title,
                   const char* addressTitle, std::initializer_list<TField> fields);
    QLineEdit* AddressField(std::size_t index) const { return addressFields_.at(index); }

private:
    std::vector<QLineEdit*> addressFields_;
};
