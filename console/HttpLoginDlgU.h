#pragma once

// "Connect to HTTP Broker": the administrator types the broker's URL and connects; the
// dialog lists the servers behind the broker, one row per server with a check box titled
// with its centre name and a password box; the ticked servers' sessions can then be shown,
// or the broker reloaded once every server's password is given.

#include "HttpLogin.h"

#include "ViewSupport.h"

#include <QDialog>
#include <memory>
#include <vector>

class IMessagePresenter;
class QAction;
class QCheckBox;
class QFrame;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QScrollArea;
class TMainForm;
class TSessionListForm;

class THTTPLoginDlg final : public TCenteredDialog, private IServerRowsView {
    Q_OBJECT
public:
    explicit THTTPLoginDlg(TSessionListForm& sessions, QWidget* parent = nullptr);
    ~THTTPLoginDlg() override;

    // The main window's "&HTTP Sessions" opens this dialog modally, and the saved broker URL
    // goes into the URL box.
    void AttachTo(TMainForm& mainForm);

    // The enabling rules of the three actions (the buttons follow them); none is enabled
    // while an exchange of this dialog waits.
    void UpdateActions();

    void ac_HTTPConnectExecute();
    void ac_ReloadBrokerExecute();
    void ac_DisplaySessionsExecute();
    // The checks and the load of Display sessions, without showing the sessions view: true
    // when the view is loaded and should be shown.
    bool LoadSessions();

    // True while a broker exchange started from this dialog waits.
    bool Busy() const { return busy_; }

    // The row controls, matched with Logic.ServerRows by position.
    std::size_t RowCount() const { return checks_.size(); }
    QCheckBox* RowCheckBox(std::size_t row) const { return checks_.at(row); }
    QLineEdit* RowPasswordBox(std::size_t row) const { return passwords_.at(row); }

    THTTPLoginLogic Logic;

    QLabel* lbl_BrokerURL = nullptr;
    QLineEdit* edt_BrokerURL = nullptr;
    QPushButton* btn_Connect = nullptr;
    QFrame* Bevel1 = nullptr;
    QGroupBox* gb_Servers = nullptr;
    QGroupBox* gb_Passwords = nullptr;
    QPushButton* btn_ReloadBroker = nullptr;
    QPushButton* btn_ShowSessionList = nullptr;
    QPushButton* btn_Cancel = nullptr;
    QAction* ac_HTTPConnect = nullptr;
    QAction* ac_ReloadBroker = nullptr;
    QAction* ac_DisplaySessions = nullptr;
    // The row areas inside the two groups; they scroll together once the rows outgrow them.
    QScrollArea* ServersArea = nullptr;
    QScrollArea* PasswordsArea = nullptr;

private:
    // IServerRowsView
    void RowsCleared() override;
    void RowAdded(const TBrokerServer& row, const std::string& caption, int top) override;
    bool RowTicked(std::size_t index) const override;
    std::string RowPassword(std::size_t index) const override;

    void edt_BrokerURLKeyDown();
    std::string URLText() const;
    void SetURLText(const std::string& text);
    // The URL typed, normalised where it can be and shown so in its box.
    std::string ShownBrokerURL();
    void FitRowAreas();
    void SetTabOrder();
    // Runs one exchange of the dialog; a second one asked for while it waits is dropped.
    template <typename TAction> void RunExclusive(TAction action);

    TSessionListForm& sessions_;
    std::vector<QCheckBox*> checks_;
    std::vector<QLineEdit*> passwords_;
    QWidget* serverRows_ = nullptr;
    QWidget* passwordRows_ = nullptr;
    int rowAreaTop_ = 0;  // where the row areas start inside their groups
    int rowAreaLeft_ = 0; // and their left edge
    bool busy_ = false;
};

// Points the requester's wait at Qt's event processing, its parse-error box at the active
// window, and the busy pointer at the application's override cursor.
void InstallBrokerInterfaceHooks();
// Takes those hooks away again.
void RemoveBrokerInterfaceHooks();

// The broker windows of a program, built and wired in one place: the HTTP sessions view, the
// login dialog that fills it, the requester's hooks (see InstallBrokerInterfaceHooks) and, when
// one is given, the presenter of the message boxes; attached to the main window when one is
// given, whose "&HTTP Sessions" then opens the login dialog. Ending it detaches the windows from
// the main window and takes the hooks, and that presenter, away again.
class TBrokerWindows final {
public:
    explicit TBrokerWindows(TMainForm* mainForm = nullptr, IMessagePresenter* presenter = nullptr);
    ~TBrokerWindows();
    TBrokerWindows(const TBrokerWindows&) = delete;
    TBrokerWindows& operator=(const TBrokerWindows&) = delete;

    TSessionListForm& Sessions() { return *sessions_; }
    THTTPLoginDlg& Login() { return *login_; }

private:
    TMainForm* mainForm_;
    IMessagePresenter* presenter_;
    IMessagePresenter* previousPresenter_ = nullptr;
    // The login dialog hands its servers to the sessions view: the view is made first and
    // ends last.
    std::unique_ptr<TSessionListForm> sessions_;
    std::unique_ptr<THTTPLoginDlg> login_;
};
