// zephran-console-shots: renders the console's windows against a running server and, when
// given, a running broker into PNG files, for the documentation.
// Usage: zephran-console-shots PORT PASSWORD OUTDIR [BROKERPORT BROKERFIXTURE]
// The configuration is kept in memory, holding the server's TCP address as if it had been
// saved by an earlier connect. The broker's fixture gives the servers' passwords.

#include "ConfigStore.h"
#include "DBFormU.h"
#include "ErrLogFormU.h"
#include "HTTPSessionsFormU.h"
#include "HttpLoginDlgU.h"
#include "LocConnFormU.h"
#include "MainU.h"
#include "QtMessagePresenter.h"
#include "RequestDispatcher.h"
#include "ServerErrors.h"
#include "SpxAddrDlgU.h"
#include "SrvStatusFormU.h"
#include "TCPAddrDlgU.h"
#include "WaitWindow.h"
#include "WebConnFormU.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QLineEdit>
#include <QLocale>
#include <QMessageBox>
#include <QPixmap>
#include <QTableView>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>

namespace {

QString outDir;
int failures = 0;

// Shows the window, lets `arrange` set it out, and saves what it draws.
void Save(QWidget& window, const char* name, const std::function<void()>& arrange = {}) {
    window.show();
    if (arrange)
        arrange();
    QCoreApplication::processEvents();
    const QString file =
        outDir + QLatin1Char('/') + QString::fromLatin1(name) + QStringLiteral(".png");
    if (!window.grab().save(file)) {
        std::fprintf(stderr, "could not write %s\n", qPrintable(file));
        ++failures;
    } else {
        std::printf("%s\n", qPrintable(file));
    }
    window.hide();
}

// Boxes are answered at once and written to standard error, so that nothing waits.
class TPrintingPresenter final : public IMessagePresenter {
public:
    TMsgDlgBtn Present(const TMessageRequest& request) override {
        std::fprintf(stderr, "message: %s\n", request.Text.c_str());
        ++failures;
        return request.DefaultButton;
    }
};

// The broker windows as an administrator sees them after connecting to the broker, ticking
// every server with its password and opening the sessions.
bool ShootBrokerWindows(TMainForm& form, int brokerPort, const char* fixturePath) {
    std::map<std::string, std::string> passwords;
    try {
        std::ifstream in(fixturePath);
        const nlohmann::json fixture = nlohmann::json::parse(in);
        for (const auto& server : fixture.at("servers"))
            passwords[server.at("name").get<std::string>()] =
                server.value("password", std::string());
    } catch (const std::exception& e) {
        std::fprintf(stderr, "could not read %s: %s\n", fixturePath, e.what());
        return false;
    }
    InstallBrokerInterfaceHooks();
    TSessionListForm sessions;
    THTTPLoginDlg login(sessions);
    login.AttachTo(form);
    login.edt_BrokerURL->setText(QStringLiteral("127.0.0.1:%1/scripts").arg(brokerPort));
    login.ac_HTTPConnectExecute();
    if (login.RowCount() == 0) {
        std::fprintf(stderr, "could not list the servers of the broker on port %d\n", brokerPort);
        return false;
    }
    for (std::size_t i = 0; i < login.RowCount(); ++i) {
        login.RowCheckBox(i)->setChecked(true);
        login.RowPasswordBox(i)->setText(
            QString::fromStdString(passwords[login.Logic.ServerRows[i].ServerName]));
    }
    Save(login, "broker-login-dialog");
    if (!login.LoadSessions()) {
        std::fprintf(stderr, "could not load the broker's sessions\n");
        return false;
    }
    // The session with the most resources, so that the resource grid shows something.
    const auto& rows = sessions.Sessions->Rows();
    std::size_t richest = 0;
    for (std::size_t i = 0; i < rows.size(); ++i)
        if (rows[i].DBResourceList.size() > rows[richest].DBResourceList.size())
            richest = i;
    sessions.SetCurrentRow(static_cast<int>(richest));
    Save(sessions, "http-sessions");
    return true;
}

} // namespace

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    if (argc != 4 && argc != 6) {
        std::fprintf(
            stderr,
            "usage: zephran-console-shots PORT PASSWORD OUTDIR [BROKERPORT BROKERFIXTURE]\n");
        return 2;
    }
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    const int port = std::atoi(argv[1]);
    outDir = QString::fromLocal8Bit(argv[3]);
    QDir().mkpath(outDir);

    TPrintingPresenter presenter;
    SetMessagePresenter(&presenter);
    TMemoryConfigStore store;
    store.WriteBinary("IPAddr", {127, 0, 0, 1});
    store.WriteBinary("IPPort",
                      {static_cast<std::uint8_t>(port), static_cast<std::uint8_t>(port >> 8)});
    SetConfigStore(&store);

    const QString programDirectory = QDir::tempPath() + QStringLiteral("/zephran-shots/");
    QDir().mkpath(programDirectory + QStringLiteral("TEMP"));
    {
        TMainForm form(programDirectory.toStdString());
        form.show();
        QCoreApplication::processEvents();

        form.SpxAddrDlg->NetworkNumEdit->setText(QStringLiteral("A1B2"));
        Save(*form.SpxAddrDlg, "spx-connect-dialog");
        form.TCPAddrDlg->PasswordEdit->setText(QString::fromLocal8Bit(argv[2]));
        Save(*form.TCPAddrDlg, "tcp-connect-dialog");

        form.TCPAddrDlg->OKBtnClick();
        if (!IsConnected()) {
            std::fprintf(stderr, "could not connect to 127.0.0.1:%d\n", port);
            return 1;
        }
        form.UpdateServerLabels();
        form.UpdateActions();
        Save(form, "main-window");
        form.show();

        form.LocConnForm->RefreshView();
        Save(*form.LocConnForm, "local-connections");
        form.WebConnForm->RefreshView();
        Save(*form.WebConnForm, "web-connections");
        form.DBListForm->RefreshView();
        Save(*form.DBListForm, "databases");
        form.ServerStatusForm->RefreshView();
        // At its own size: the screen the shots are drawn on may be smaller than the window.
        Save(*form.ServerStatusForm, "server-status",
             [&form] { form.ServerStatusForm->resize(form.ServerStatusForm->sizeHint()); });
        form.ErrorLogForm->RefreshView();
        Save(*form.ErrorLogForm, "error-log");

        // A server error box as the console shows it, in Farsi.
        std::unique_ptr<QMessageBox> box = TQtMessagePresenter::BuildBox(
            MakeMessageRequest(ServerErrorText(91), TMsgDlgType::mtError, {TMsgDlgBtn::mbOK}));
        Save(*box, "server-error-box");
        std::unique_ptr<QMessageBox> question = TQtMessagePresenter::BuildBox(MakeMessageRequest(
            "Are you sure about deleting connection?", TMsgDlgType::mtConfirmation,
            {TMsgDlgBtn::mbYes, TMsgDlgBtn::mbNo, TMsgDlgBtn::mbCancel}));
        Save(*question, "confirmation-box");
        // The window of a request that waits for its answer.
        TWaitWindow wait(&form);
        Save(wait, "wait-window");

        if (argc == 6 && !ShootBrokerWindows(form, std::atoi(argv[4]), argv[5]))
            ++failures;
    }
    DoneErrorLog();
    SetConfigStore(nullptr);
    SetMessagePresenter(nullptr);
    return failures == 0 ? 0 : 1;
}
