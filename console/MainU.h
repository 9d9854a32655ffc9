#pragma once

// The console's main window: it starts and ends the program, owns the request dispatcher,
// names the connected server, and offers every command through its menu, each enabled by
// whether a server is connected.

#include <QMainWindow>
#include <functional>
#include <memory>
#include <string>

class QAction;
class QDialog;
class QLabel;
class QMenu;
class TSpxAddrDlg;
class TLocConnForm;
class TWebConnForm;
class TDBListForm;
class TServerStatusForm;
class TErrorLogForm;
class TTCPAddrDlg;

class TMainForm final : public QMainWindow {
    Q_OBJECT
public:
    // `programDirectory` is where the error log and the TEMP folder lie; empty for the
    // program file's own directory.
    explicit TMainForm(const std::string& programDirectory = {});
    ~TMainForm() override;

    // False when the dispatcher could not be made: every server command stays disabled.
    bool DispatcherReady() const { return dispatcherReady_; }

    void LoadSavedAddresses();
    void UpdateServerLabels();
    // Every action's enabling rule; runs whenever the interface becomes idle.
    void UpdateActions();

    // The broker URL read by LoadSavedAddresses (empty when none was saved).
    const std::string& BrokerURL() const { return brokerURL_; }
    // The broker login dialog attaches here: it is handed the saved broker URL, and
    // "&HTTP Sessions" opens it.
    std::function<void(const std::string& url)> OnBrokerURLLoaded;
    std::function<void()> OnHTTPSession;

    void SpxConnActionExecute();
    void TCPConnectActionExecute();
    void SpxLogoutActionExecute();
    void HTTPSessionActionExecute();
    void DisplayLocalConnListActionExecute();
    void DisplayWebConnListActionExecute();
    void DisplayDBListActionExecute();
    void ServerSummaryActionExecute();
    void ShowErrLogActionExecute();
    void ClearErrLogActionExecute();
    void FileExit1Execute();

    QLabel* TheServerNameLB;
    QLabel* TheCenterNameLB;
    QMenu* ConnectMenu;
    QMenu* UsersMenu;
    QMenu* DatabasesMenu;
    QMenu* StatusMenu;
    QAction* SpxConnAction;
    QAction* TCPConnectAction;
    QAction* SpxLogoutAction;
    QAction* HTTPSessionAction;
    QAction* FileExit1;
    QAction* DisplayLocalConnListAction;
    QAction* DisplayWebConnListAction;
    QAction* DisplayDBListAction;
    QAction* ServerSummaryAction;
    QAction* ShowErrLogAction;
    QAction* ClearErrLogAction;

    // The other windows, made hidden at start in this order and kept to the end.
    std::unique_ptr<TSpxAddrDlg> SpxAddrDlg;
    std::unique_ptr<TLocConnForm> LocConnForm;
    std::unique_ptr<TWebConnForm> WebConnForm;
    std::unique_ptr<TDBListForm> DBListForm;
    std::unique_ptr<TServerStatusForm> ServerStatusForm;
    std::unique_ptr<TErrorLogForm> ErrorLogForm;
    std::unique_ptr<TTCPAddrDlg> TCPAddrDlg;

protected:
    void showEvent(QShowEvent* event) override;

private:
    void FormCreate(const std::string& programDirectory);
    void FormShow();
    void FormDestroy();
    void BuildMenu();
    // A connection ends or begins: every view's auto refresh goes off and the status history
    // starts afresh.
    void ResetServerViews();
    // Loads a view and shows it modally, whatever the load gave.
    template <typename TView> void OpenView(TView& view);

    bool dispatcherReady_ = false;
    bool shown_ = false;
    std::string brokerURL_;
};
