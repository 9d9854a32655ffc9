#include "HttpLoginDlgU.h"

#include "BusyCursor.h"
#include "HTTPSessionsFormU.h"
#include "MainU.h"
#include "MessageDialogs.h"
#include "RequestRunner.h"
#include "TarvRequester.h"
#include "ViewSupport.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCursor>
#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <algorithm>

namespace {

// Heights of a row's controls; rows stand 20 pixels apart.
constexpr int kCheckBoxHeight = 18;
constexpr int kPasswordBoxHeight = 19;

QPushButton* MakeButton(QWidget* parent, const char* caption, const char* name, QRect at96,
                        const std::function<int(int)>& px) {
    auto* button = new QPushButton(QString::fromLatin1(caption), parent);
    button->setObjectName(QString::fromLatin1(name));
    // Enter belongs to the URL box; no button takes it over.
    button->setAutoDefault(false);
    button->setDefault(false);
    QRect at(px(at96.x()), px(at96.y()), px(at96.width()), px(at96.height()));
    // A caption wider than the button widens it about its middle, so that it is read whole.
    const int hint = button->sizeHint().width();
    if (hint > at.width()) {
        const int centre = at.center().x();
        at.setWidth(hint);
        at.moveLeft(centre - hint / 2);
    }
    button->setGeometry(at);
    return button;
}

QAction* MakeAction(QObject* parent, const char* name) {
    auto* action = new QAction(parent);
    action->setObjectName(QString::fromLatin1(name));
    return action;
}

// The button follows its action: enabled exactly when the action is, and a click runs it.
void BindButton(QPushButton* button, QAction* action) {
    QObject::connect(button, &QPushButton::clicked, action, &QAction::trigger);
    QObject::connect(action, &QAction::changed, button,
                     [button, action] { button->setEnabled(action->isEnabled()); });
    button->setEnabled(action->isEnabled());
}

QScrollArea* MakeRowArea(QGroupBox* group, const char* name, QWidget*& rows) {
    auto* area = new QScrollArea(group);
    area->setObjectName(QString::fromLatin1(name));
    area->setFrameShape(QFrame::NoFrame);
    area->setFocusPolicy(Qt::NoFocus);
    area->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    area->setWidgetResizable(false);
    rows = new QWidget;
    area->setWidget(rows);
    // The group's own background shows through.
    rows->setAutoFillBackground(false);
    area->viewport()->setAutoFillBackground(false);
    return area;
}

} // namespace

void InstallBrokerInterfaceHooks() {
    InstallBrokerWaitHooks();
    Requester.SetActivateWindowHook([] {
        if (QWidget* window = QApplication::activeWindow()) {
            window->raise();
            window->activateWindow();
        }
    });
    SetBusyCursorHook([](bool busy) {
        if (busy)
            QApplication::setOverrideCursor(QCursor(Qt::WaitCursor));
        else
            QApplication::restoreOverrideCursor();
    });
}

void RemoveBrokerInterfaceHooks() {
    Requester.SetProcessEventsHook({});
    Requester.SetActivateWindowHook({});
    SetBusyCursorHook({});
}

TBrokerWindows::TBrokerWindows(TMainForm* mainForm, IMessagePresenter* presenter)
    : mainForm_(mainForm), presenter_(presenter) {
    if (presenter_ != nullptr)
        previousPresenter_ = SetMessagePresenter(presenter_);
    InstallBrokerInterfaceHooks();
    sessions_ = std::make_unique<TSessionListForm>();
    login_ = std::make_unique<THTTPLoginDlg>(*sessions_);
    if (mainForm_ != nullptr)
        login_->AttachTo(*mainForm_);
}

TBrokerWindows::~TBrokerWindows() {
    if (mainForm_ != nullptr) {
        mainForm_->OnHTTPSession = {};
        mainForm_->OnBrokerURLLoaded = {};
    }
    login_.reset();
    sessions_.reset();
    RemoveBrokerInterfaceHooks();
    if (presenter_ != nullptr)
        SetMessagePresenter(previousPresenter_);
}

THTTPLoginDlg::THTTPLoginDlg(TSessionListForm& sessions, QWidget* parent)
    : TCenteredDialog(parent), Logic(sessions.List(), *this), sessions_(sessions) {
    setObjectName(QStringLiteral("HTTPLoginDlg"));
    setWindowTitle(QStringLiteral("Connect to HTTP Broker"));
    setWindowFlags(windowFlags() | Qt::MSWindowsFixedSizeDialogHint);
    const std::function<int(int)> px = [this](int pixels) { return ScreenPixels(this, pixels); };
    setFixedSize(px(600), px(358));

    edt_BrokerURL = new QLineEdit(this);
    edt_BrokerURL->setObjectName(QStringLiteral("edt_BrokerURL"));
    edt_BrokerURL->setGeometry(px(56), px(16), px(417), px(21));
    lbl_BrokerURL = new QLabel(QStringLiteral("&URL"), this);
    lbl_BrokerURL->setObjectName(QStringLiteral("lbl_BrokerURL"));
    lbl_BrokerURL->setBuddy(edt_BrokerURL);
    lbl_BrokerURL->adjustSize();
    // Its text sits on the box's text line.
    lbl_BrokerURL->move(px(16),
                        edt_BrokerURL->geometry().center().y() - lbl_BrokerURL->height() / 2);

    btn_Connect = MakeButton(this, "&Connect", "btn_Connect", {504, 14, 75, 25}, px);

    Bevel1 = new QFrame(this);
    Bevel1->setObjectName(QStringLiteral("Bevel1"));
    Bevel1->setFrameShape(QFrame::HLine);
    Bevel1->setFrameShadow(QFrame::Raised);
    Bevel1->setGeometry(0, px(56), px(600), px(5));

    gb_Servers = new QGroupBox(QStringLiteral("Center Name"), this);
    gb_Servers->setObjectName(QStringLiteral("gb_Servers"));
    gb_Servers->setGeometry(px(8), px(80), px(321), px(201));
    gb_Passwords = new QGroupBox(QStringLiteral("Administrator Password"), this);
    gb_Passwords->setObjectName(QStringLiteral("gb_Passwords"));
    gb_Passwords->setGeometry(px(344), px(80), px(241), px(201));

    // The rows lie in an area inside each group, below its title and inside its frame; a
    // row at `top` stands `top` pixels below the group's top edge as long as nothing is
    // scrolled. Only the password side shows a scroll bar; the two move together.
    rowAreaLeft_ = px(2);
    rowAreaTop_ = px(19);
    ServersArea = MakeRowArea(gb_Servers, "ServersArea", serverRows_);
    PasswordsArea = MakeRowArea(gb_Passwords, "PasswordsArea", passwordRows_);
    ServersArea->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    PasswordsArea->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    for (QScrollArea* area : {ServersArea, PasswordsArea}) {
        const QWidget* group = area->parentWidget();
        area->setGeometry(rowAreaLeft_, rowAreaTop_, group->width() - 2 * rowAreaLeft_,
                          group->height() - rowAreaTop_ - px(1));
    }
    connect(PasswordsArea->verticalScrollBar(), &QScrollBar::valueChanged,
            ServersArea->verticalScrollBar(), &QScrollBar::setValue);
    connect(ServersArea->verticalScrollBar(), &QScrollBar::valueChanged,
            PasswordsArea->verticalScrollBar(), &QScrollBar::setValue);
    FitRowAreas();

    btn_ReloadBroker =
        MakeButton(this, "&Reload HTTP Broker", "btn_ReloadBroker", {96, 304, 115, 25}, px);
    btn_ShowSessionList =
        MakeButton(this, "&DisplaySessions", "btn_ShowSessionList", {264, 304, 145, 25}, px);
    btn_Cancel = MakeButton(this, "Cancel", "btn_Cancel", {448, 304, 75, 25}, px);
    connect(btn_Cancel, &QPushButton::clicked, this, &QDialog::reject);

    ac_HTTPConnect = MakeAction(this, "ac_HTTPConnect");
    ac_ReloadBroker = MakeAction(this, "ac_ReloadBroker");
    ac_DisplaySessions = MakeAction(this, "ac_DisplaySessions");
    connect(ac_HTTPConnect, &QAction::triggered, this, [this] { ac_HTTPConnectExecute(); });
    connect(ac_ReloadBroker, &QAction::triggered, this, [this] { ac_ReloadBrokerExecute(); });
    connect(ac_DisplaySessions, &QAction::triggered, this, [this] { ac_DisplaySessionsExecute(); });
    UpdateActions();
    BindButton(btn_Connect, ac_HTTPConnect);
    BindButton(btn_ReloadBroker, ac_ReloadBroker);
    BindButton(btn_ShowSessionList, ac_DisplaySessions);

    connect(edt_BrokerURL, &QLineEdit::textChanged, this, [this] { UpdateActions(); });
    connect(edt_BrokerURL, &QLineEdit::returnPressed, this, [this] { edt_BrokerURLKeyDown(); });
    SetTabOrder();
    edt_BrokerURL->setFocus();
}

THTTPLoginDlg::~THTTPLoginDlg() = default;

void THTTPLoginDlg::AttachTo(TMainForm& mainForm) {
    mainForm.OnHTTPSession = [this] { exec(); };
    mainForm.OnBrokerURLLoaded = [this](const std::string& url) { SetURLText(url); };
    if (!mainForm.BrokerURL().empty())
        SetURLText(mainForm.BrokerURL());
}

std::string THTTPLoginDlg::URLText() const {
    return edt_BrokerURL->text().toStdString();
}

void THTTPLoginDlg::SetURLText(const std::string& text) {
    edt_BrokerURL->setText(QString::fromStdString(text));
}

void THTTPLoginDlg::UpdateActions() {
    const bool idle = !busy_;
    const bool urlGiven = THTTPLoginLogic::ConnectEnabled(URLText());
    ac_HTTPConnect->setEnabled(idle && urlGiven);
    ac_ReloadBroker->setEnabled(idle && urlGiven);
    ac_DisplaySessions->setEnabled(idle && Logic.DisplaySessionsEnabled());
}

template <typename TAction> void THTTPLoginDlg::RunExclusive(TAction action) {
    // The wait of an exchange runs interface events, so the buttons, Enter and the close
    // button stay live. A second action started meanwhile is dropped: it would rebuild or
    // read the rows the waiting one is working on.
    if (busy_)
        return;
    struct TBusyFlag {
        THTTPLoginDlg& dlg;
        explicit TBusyFlag(THTTPLoginDlg& d) : dlg(d) {
            dlg.busy_ = true;
            dlg.UpdateActions();
        }
        ~TBusyFlag() {
            dlg.busy_ = false;
            dlg.UpdateActions();
        }
    } flag(*this);
    action();
}

void THTTPLoginDlg::edt_BrokerURLKeyDown() {
    // Enter connects whether or not the Connect action is enabled.
    ac_HTTPConnectExecute();
}

std::string THTTPLoginDlg::ShownBrokerURL() {
    std::string url = URLText();
    // The box shows the normalised URL while the broker answers.
    if (const std::optional<std::string> normalised = NormaliseBrokerURL(url)) {
        url = *normalised;
        SetURLText(url);
    }
    return url;
}

void THTTPLoginDlg::ac_HTTPConnectExecute() {
    RunExclusive([this] {
        std::string url = ShownBrokerURL();
        Logic.Connect(url);
    });
}

void THTTPLoginDlg::ac_ReloadBrokerExecute() {
    RunExclusive([this] {
        std::string url = ShownBrokerURL();
        Logic.Reload(url);
    });
}

bool THTTPLoginDlg::LoadSessions() {
    bool loaded = false;
    RunExclusive([this, &loaded] {
        loaded = Logic.DisplaySessions();
        if (loaded)
            sessions_.SessionsLoaded();
    });
    return loaded;
}

void THTTPLoginDlg::ac_DisplaySessionsExecute() {
    // A dialog closed while the sessions loaded does not open the view behind the user's back.
    if (LoadSessions() && isVisible())
        sessions_.exec();
}

// ---- the server rows

void THTTPLoginDlg::RowsCleared() {
    for (QCheckBox* check : checks_)
        delete check;
    for (QLineEdit* password : passwords_)
        delete password;
    checks_.clear();
    passwords_.clear();
    FitRowAreas();
    SetTabOrder();
    UpdateActions();
}

void THTTPLoginDlg::RowAdded(const TBrokerServer& /*row*/, const std::string& caption, int top) {
    const auto px = [this](int pixels) { return ScreenPixels(this, pixels); };
    const int x = px(10) - rowAreaLeft_;
    const int y = px(top) - rowAreaTop_;

    const QString text = QString::fromStdString(caption);
    auto* check = new QCheckBox(text, serverRows_);
    check->setObjectName(QStringLiteral("cb_Server%1").arg(checks_.size() + 1));
    check->setGeometry(x, y, gb_Servers->width() - px(20), px(kCheckBoxHeight));
    // A long centre name is cut by the box's width; the tip shows it whole.
    QString whole = text;
    whole.replace(QStringLiteral("&&"), QStringLiteral("&"));
    check->setToolTip(whole);
    connect(check, &QCheckBox::toggled, this, [this] { UpdateActions(); });
    check->show();

    auto* password = new QLineEdit(passwordRows_);
    password->setObjectName(QStringLiteral("edt_Password%1").arg(passwords_.size() + 1));
    password->setEchoMode(QLineEdit::Password);
    password->setStyleSheet(QStringLiteral("lineedit-password-character: 42"));
    password->setGeometry(x, y, gb_Passwords->width() - px(20), px(kPasswordBoxHeight));
    password->show();

    checks_.push_back(check);
    passwords_.push_back(password);
    FitRowAreas();
    SetTabOrder();
}

bool THTTPLoginDlg::RowTicked(std::size_t index) const {
    return index < checks_.size() && checks_[index]->isChecked();
}

std::string THTTPLoginDlg::RowPassword(std::size_t index) const {
    return index < passwords_.size() ? passwords_[index]->text().toStdString() : std::string();
}

void THTTPLoginDlg::FitRowAreas() {
    const int gap = ScreenPixels(this, 2);
    int needed = 0;
    for (const QLineEdit* password : passwords_)
        needed = std::max(needed, password->geometry().bottom() + 1);
    const int viewportHeight = PasswordsArea->height();
    const bool scrolls = needed > viewportHeight;
    const int barWidth = scrolls ? PasswordsArea->verticalScrollBar()->sizeHint().width() : 0;
    serverRows_->resize(ServersArea->width(), std::max(needed, viewportHeight));
    passwordRows_->resize(PasswordsArea->width() - barWidth, std::max(needed, viewportHeight));
    // With the scroll bar shown the password boxes give way to it.
    const int fullWidth = gb_Passwords->width() - ScreenPixels(this, 20);
    for (QLineEdit* password : passwords_)
        password->resize(std::min(fullWidth, passwordRows_->width() - password->x() - gap),
                         password->height());
}

void THTTPLoginDlg::SetTabOrder() {
    std::vector<QWidget*> chain{edt_BrokerURL, btn_Connect};
    chain.insert(chain.end(), checks_.begin(), checks_.end());
    chain.insert(chain.end(), passwords_.begin(), passwords_.end());
    if (btn_ShowSessionList != nullptr)
        chain.insert(chain.end(), {btn_ShowSessionList, btn_Cancel, btn_ReloadBroker});
    for (std::size_t i = 1; i < chain.size(); ++i)
        QWidget::setTabOrder(chain[i - 1], chain[i]);
}
