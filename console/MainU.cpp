#include "MainU.h"

#include "ConfigStore.h"
#include "ConsoleRequests.h"
#include "DBFormU.h"
#include "ErrLogFormU.h"
#include "LocConnFormU.h"
#include "MessageDialogs.h"
#include "PanelPicture.h"
#include "ReplyBuffer.h"
#include "RequestDispatcher.h"
#include "RequestRunner.h"
#include "ServerErrors.h"
#include "SpxAddrDlgU.h"
#include "SrvStatusFormU.h"
#include "TCPAddrDlgU.h"
#include "ViewSupport.h"
#include "WebConnFormU.h"

#include <QAbstractEventDispatcher>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QVBoxLayout>
#include <array>
#include <cstdio>
#include <vector>

namespace {

// A binary value read into a zeroed buffer of its size: a missing value leaves zeros, a
// shorter one fills the first bytes. False for a value of another type or a longer one.
template <std::size_t N>
bool ReadBinaryValue(const IConfigStore& store, const char* name,
                     std::array<std::uint8_t, N>& out) {
    out.fill(0);
    const TConfigValue value = store.Read(name);
    if (value.Kind == TConfigValueKind::Missing)
        return true;
    if (value.Kind != TConfigValueKind::Binary || value.Bytes.size() > N)
        return false;
    std::copy(value.Bytes.begin(), value.Bytes.end(), out.begin());
    return true;
}

// Two upper-case hexadecimal digits per byte, leading zeros dropped down to one character.
template <std::size_t N> QString HexDigits(const std::array<std::uint8_t, N>& bytes) {
    std::string text;
    char pair[3];
    for (std::uint8_t b : bytes) {
        std::snprintf(pair, sizeof pair, "%02X", b);
        text += pair;
    }
    const std::size_t first = text.find_first_not_of('0');
    text.erase(0, first == std::string::npos ? text.size() - 1 : first);
    return QString::fromStdString(text);
}

} // namespace

TMainForm::TMainForm(const std::string& programDirectory) {
    FormCreate(programDirectory);
    // The other windows, hidden, in their fixed order.
    SpxAddrDlg = std::make_unique<TSpxAddrDlg>();
    LocConnForm = std::make_unique<TLocConnForm>();
    WebConnForm = std::make_unique<TWebConnForm>();
    DBListForm = std::make_unique<TDBListForm>();
    ServerStatusForm = std::make_unique<TServerStatusForm>();
    ErrorLogForm = std::make_unique<TErrorLogForm>();
    TCPAddrDlg = std::make_unique<TTCPAddrDlg>();
}

TMainForm::~TMainForm() {
    FormDestroy();
}

void TMainForm::FormCreate(const std::string& programDirectory) {
    setObjectName(QStringLiteral("MainForm"));
    setWindowTitle(QStringLiteral("Zephran Servers Remote Console"));

    if (programDirectory.empty())
        InitProgramDirectory();
    else
        SetProgramDirectory(programDirectory);
    dispatcherReady_ = CreateRequestDispatcher();
    if (!dispatcherReady_) {
        ShowMessageBox("Could not initialize Request Dispatcher...");
        FreeRequestDispatcher();
    }
    InitErrorLog();

    auto* central = new QWidget;
    auto* layout = new QVBoxLayout(central);
    auto* panel = new QFrame;
    panel->setObjectName(QStringLiteral("PicturePanel"));
    panel->setFrameShape(QFrame::Panel);
    panel->setFrameShadow(QFrame::Sunken);
    auto* panelLayout = new QVBoxLayout(panel);
    panelLayout->setContentsMargins(2, 2, 2, 2);
    auto* picture = new QLabel;
    picture->setObjectName(QStringLiteral("Picture"));
    picture->setPixmap(MakePanelPicture());
    picture->setScaledContents(true);
    picture->setMinimumSize(500, 300);
    panelLayout->addWidget(picture);
    layout->addWidget(panel, 1);

    TheServerNameLB = new QLabel(QStringLiteral("Server Name: "));
    TheServerNameLB->setObjectName(QStringLiteral("TheServerNameLB"));
    TheCenterNameLB = new QLabel(QStringLiteral("Center Name: "));
    TheCenterNameLB->setObjectName(QStringLiteral("TheCenterNameLB"));
    for (QLabel* label : {TheServerNameLB, TheCenterNameLB}) {
        QPalette palette = label->palette();
        palette.setColor(QPalette::WindowText, Qt::black);
        label->setPalette(palette);
    }
    auto* line = new QFrame;
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Sunken);
    layout->addWidget(TheServerNameLB);
    layout->addWidget(line);
    layout->addWidget(TheCenterNameLB);
    setCentralWidget(central);

    BuildMenu();
    UpdateActions();
    // Idle-time evaluation of the enabling rules: just before the event loop waits.
    if (QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance())
        connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, this,
                &TMainForm::UpdateActions);
    adjustSize();
}

void TMainForm::FormDestroy() {
    // The windows go first; then the dispatcher closes whatever is still open, without a
    // logout request.
    TCPAddrDlg.reset();
    ErrorLogForm.reset();
    ServerStatusForm.reset();
    DBListForm.reset();
    WebConnForm.reset();
    LocConnForm.reset();
    SpxAddrDlg.reset();
    FreeRequestDispatcher();
}

void TMainForm::BuildMenu() {
    // The menus in their order, each with its items; a null item is a separator.
    struct TItem {
        QAction* TMainForm::*Action;
        const char* Caption;
        const char* Name;
        void (TMainForm::*Run)();
    };
    struct TMenu {
        QMenu* TMainForm::*Menu;
        const char* Caption;
        const char* Name;
        std::vector<TItem> Items;
    };
    const TItem separator{nullptr, nullptr, nullptr, nullptr};
    const TMenu menus[] = {
        {&TMainForm::ConnectMenu,
         "&Connect",
         "ConnectMenu",
         {{&TMainForm::SpxConnAction, "Connect to &SPX Server", "SpxConnAction",
           &TMainForm::SpxConnActionExecute},
          {&TMainForm::TCPConnectAction, "Connect to &TCP Server", "TCPConnectAction",
           &TMainForm::TCPConnectActionExecute},
          {&TMainForm::SpxLogoutAction, "&Logout from Server", "SpxLogoutAction",
           &TMainForm::SpxLogoutActionExecute},
          separator,
          {&TMainForm::HTTPSessionAction, "&HTTP Sessions", "HTTPSessionAction",
           &TMainForm::HTTPSessionActionExecute},
          separator,
          {&TMainForm::FileExit1, "E&xit", "FileExit1", &TMainForm::FileExit1Execute}}},
        {&TMainForm::UsersMenu,
         "&Users",
         "UsersMenu",
         {{&TMainForm::DisplayLocalConnListAction, "&Local Connections",
           "DisplayLocalConnListAction", &TMainForm::DisplayLocalConnListActionExecute},
          {&TMainForm::DisplayWebConnListAction, "&WEB Connections", "DisplayWebConnListAction",
           &TMainForm::DisplayWebConnListActionExecute}}},
        {&TMainForm::DatabasesMenu,
         "&Databases",
         "DatabasesMenu",
         {{&TMainForm::DisplayDBListAction, "Databases &Information", "DisplayDBListAction",
           &TMainForm::DisplayDBListActionExecute}}},
        {&TMainForm::StatusMenu,
         "&Status",
         "StatusMenu",
         {{&TMainForm::ServerSummaryAction, "S&erver Status", "ServerSummaryAction",
           &TMainForm::ServerSummaryActionExecute},
          {&TMainForm::ShowErrLogAction, "&View error Log", "ShowErrLogAction",
           &TMainForm::ShowErrLogActionExecute},
          {&TMainForm::ClearErrLogAction, "&Clear Error Log", "ClearErrLogAction",
           &TMainForm::ClearErrLogActionExecute}}},
    };
    QMenuBar* bar = menuBar();
    bar->setObjectName(QStringLiteral("TheMainMenu"));
    for (const TMenu& m : menus) {
        QMenu* menu = bar->addMenu(QString::fromLatin1(m.Caption));
        menu->setObjectName(QString::fromLatin1(m.Name));
        this->*m.Menu = menu;
        for (const TItem& item : m.Items) {
            if (item.Action == nullptr) {
                menu->addSeparator();
                continue;
            }
            QAction* action = menu->addAction(QString::fromLatin1(item.Caption));
            action->setObjectName(QString::fromLatin1(item.Name));
            connect(action, &QAction::triggered, this, item.Run);
            this->*item.Action = action;
        }
    }
}

void TMainForm::FileExit1Execute() {
    close();
}

void TMainForm::UpdateActions() {
    // The dispatcher's tables belong to the request's worker until it ends.
    if (ConsoleRequestRunning())
        return;
    const bool connected = IsConnected();
    // Without a dispatcher no server command can run.
    const bool canConnect = dispatcherReady_ && !connected;
    SpxConnAction->setEnabled(canConnect);
    TCPConnectAction->setEnabled(canConnect);
    HTTPSessionAction->setEnabled(!connected);
    SpxLogoutAction->setEnabled(connected);
    FileExit1->setEnabled(true);
    // The rule of the menu titles greys each whole menu while no server is connected.
    for (QMenu* menu : {UsersMenu, DatabasesMenu, StatusMenu})
        menu->menuAction()->setEnabled(connected);
    for (QAction* a : {DisplayLocalConnListAction, DisplayWebConnListAction, DisplayDBListAction,
                       ServerSummaryAction, ShowErrLogAction, ClearErrLogAction})
        a->setEnabled(connected);
}

void TMainForm::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    if (!shown_) {
        shown_ = true;
        FormShow();
    }
}

void TMainForm::FormShow() {
    CenterOnScreen(this);
    LoadSavedAddresses();
}

void TMainForm::LoadSavedAddresses() {
    const IConfigStore* store = CurrentConfigStore();
    if (store == nullptr)
        return;
    std::array<std::uint8_t, 4> netNum{};
    std::array<std::uint8_t, 6> nodeNum{};
    std::array<std::uint8_t, 2> socketNum{};
    std::array<std::uint8_t, 4> ipAddr{};
    std::array<std::uint8_t, 2> ipPort{};
    const char* failed = nullptr;
    if (!ReadBinaryValue(*store, "SPXNetNum", netNum))
        failed = "SPXNetNum";
    else if (!ReadBinaryValue(*store, "SPXNodeNum", nodeNum))
        failed = "SPXNodeNum";
    else if (!ReadBinaryValue(*store, "SPXSocketNum", socketNum))
        failed = "SPXSocketNum";
    else if (!ReadBinaryValue(*store, "IPAddr", ipAddr))
        failed = "IPAddr";
    else if (!ReadBinaryValue(*store, "IPPort", ipPort))
        failed = "IPPort";
    std::string brokerURL;
    if (failed == nullptr) {
        const TConfigValue url = store->Read("BrokerURL");
        if (url.Kind == TConfigValueKind::String)
            brokerURL = url.Text;
        else if (url.Kind != TConfigValueKind::Missing)
            failed = "BrokerURL";
    }
    if (failed != nullptr) {
        ShowMessageBox(std::string("Invalid data type for '") + failed + "'");
        return;
    }

    const unsigned socket = socketNum[0] | (socketNum[1] << 8);
    if (socket != 0) {
        SpxAddrDlg->NetworkNumEdit->setText(HexDigits(netNum));
        SpxAddrDlg->NodeNumEdit->setText(HexDigits(nodeNum));
        char text[8];
        std::snprintf(text, sizeof text, "%04X", socket);
        SpxAddrDlg->SocketNumEdit->setText(QString::fromLatin1(text));
    }
    const unsigned port = ipPort[0] | (ipPort[1] << 8);
    if (port != 0) {
        char text[24];
        std::snprintf(text, sizeof text, "%3d.%3d.%3d.%3d", ipAddr[0], ipAddr[1], ipAddr[2],
                      ipAddr[3]);
        TCPAddrDlg->IPAddressEdit->setText(QString::fromLatin1(text));
        TCPAddrDlg->PortNumEdit->setText(QString::number(port));
    }
    if (!brokerURL.empty()) {
        brokerURL_ = brokerURL;
        if (OnBrokerURLLoaded)
            OnBrokerURLLoaded(brokerURL_);
    }
}

void TMainForm::UpdateServerLabels() {
    if (IsConnected()) {
        TServerEntry& server = RequestDispatcher->Server(1);
        TheServerNameLB->setText(QStringLiteral("Server Name: ") + ServerText(server.ServerName));
        TheCenterNameLB->setText(QStringLiteral("Center Name: ") + ServerText(server.CenterName));
    } else {
        TheServerNameLB->setText(QStringLiteral("Server Name: "));
        TheCenterNameLB->setText(QStringLiteral("Center Name: "));
    }
}

void TMainForm::ResetServerViews() {
    LocConnForm->AutoRefresh->SetOn(false);
    WebConnForm->AutoRefresh->SetOn(false);
    DBListForm->AutoRefresh->SetOn(false);
    ServerStatusForm->AutoRefresh->SetOn(false);
    ErrorLogForm->AutoRefresh->SetOn(false);
    ServerStatusForm->ClearHistory();
}

void TMainForm::SpxConnActionExecute() {
    if (SpxAddrDlg->exec() == QDialog::Accepted) {
        ResetServerViews();
        UpdateServerLabels();
    }
    UpdateActions();
}

void TMainForm::TCPConnectActionExecute() {
    if (TCPAddrDlg->exec() == QDialog::Accepted) {
        ResetServerViews();
        UpdateServerLabels();
    }
    UpdateActions();
}

void TMainForm::SpxLogoutActionExecute() {
    if (!IsConnected())
        return;
    if (ShowMessageDialog("Are you sure to logout from server?", TMsgDlgType::mtConfirmation,
                          {TMsgDlgBtn::mbYes, TMsgDlgBtn::mbNo, TMsgDlgBtn::mbCancel}) !=
        TMsgDlgBtn::mbYes)
        return;
    RunServerRequest([] { RequestDispatcher->LogoutServer(1); });
    TServerSet which;
    which.set(1);
    RequestDispatcher->RemoveServers(which);
    ResetServerViews();
    UpdateServerLabels();
    UpdateActions();
}

void TMainForm::HTTPSessionActionExecute() {
    if (OnHTTPSession)
        OnHTTPSession();
}

template <typename TView> void TMainForm::OpenView(TView& view) {
    view.RefreshView();
    // A console closed during the load ends rather than opening the view.
    if (!CloseRequestedDuringRequest(this))
        view.exec();
}

void TMainForm::DisplayLocalConnListActionExecute() {
    OpenView(*LocConnForm);
}
void TMainForm::DisplayWebConnListActionExecute() {
    OpenView(*WebConnForm);
}
void TMainForm::DisplayDBListActionExecute() {
    OpenView(*DBListForm);
}
void TMainForm::ServerSummaryActionExecute() {
    OpenView(*ServerStatusForm);
}
void TMainForm::ShowErrLogActionExecute() {
    OpenView(*ErrorLogForm);
}

void TMainForm::ClearErrLogActionExecute() {
    if (ShowMessageDialog("Are you sure to clear error log?", TMsgDlgType::mtConfirmation,
                          {TMsgDlgBtn::mbYes, TMsgDlgBtn::mbNo, TMsgDlgBtn::mbCancel}) ==
        TMsgDlgBtn::mbYes)
        RunConsoleRequest([] { return ClearServerErrorLog(1); });
}
