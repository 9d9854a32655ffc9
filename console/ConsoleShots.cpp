// zephran-console-shots: renders the console's windows against a running server and, when
// given, a running broker into PNG files, for the documentation.
// Usage: zephran-console-shots PORT PASSWORD OUTDIR [BROKERPORT BROKERFIXTURE]
// The configuration is kept in memory, holding the server's TCP address as if it had been
// saved by an earlier connect. The broker's fixture gives the servers' passwords.

#include "ConfigStore.h"
#include "DBFormU.h"
#include "ErrLogFormU.h"
#include "GridTools.h"
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
#include <QPalette>
#include <QPixmap>
#include <QTableView>
#include <algorithm>
#include <cmath>
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

// Boxes that the shots expect: the demo's last local connection carries an invalid date, so the
// view tells it and keeps the rows before it.
int expectedBoxes = 0;

// Boxes are answered at once and written to standard error, so that nothing waits. A box that
// was not expected makes the run fail.
class TPrintingPresenter final : public IMessagePresenter {
public:
    TMsgDlgBtn Present(const TMessageRequest& request) override {
        if (expectedBoxes > 0) {
            --expectedBoxes;
            std::fprintf(stderr, "message (expected): %s\n", request.Text.c_str());
        } else {
            std::fprintf(stderr, "message: %s\n", request.Text.c_str());
            ++failures;
        }
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
    TBrokerWindows windows(&form);
    TSessionListForm& sessions = windows.Sessions();
    THTTPLoginDlg& login = windows.Login();
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

// A palette for the dark shots: dark grey windows, light text, a blue highlight.
QPalette DarkPalette() {
    QPalette dark;
    const QColor window(45, 45, 48), base(30, 30, 30), text(230, 230, 230);
    for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        dark.setColor(group, QPalette::Window, window);
        dark.setColor(group, QPalette::WindowText, text);
        dark.setColor(group, QPalette::Base, base);
        dark.setColor(group, QPalette::AlternateBase, window);
        dark.setColor(group, QPalette::Text, text);
        dark.setColor(group, QPalette::Button, window);
        dark.setColor(group, QPalette::ButtonText, text);
        dark.setColor(group, QPalette::Mid, QColor(110, 110, 110));
        dark.setColor(group, QPalette::PlaceholderText, QColor(160, 160, 160));
        dark.setColor(group, QPalette::Highlight, QColor(64, 156, 255));
        dark.setColor(group, QPalette::HighlightedText, Qt::white);
    }
    return dark;
}

// The status window after a minute of refreshes every two seconds, in the light and the dark
// palette. The demo server's counters stand still between requests, so the minute is laid
// down leading up to the server's own figures: requests coming at a changing rate, clients
// coming and going, results piling up and let go, a database opened on the way.
void ShootStatusHistory(TServerStatusForm& view) {
    TServerStatusBlock block{};
    if (GetServerStatus(1, block) != TExchangeResult::Done) {
        ++failures;
        return;
    }
    view.ClearHistory();
    const QDateTime end = QDateTime::currentDateTime();
    constexpr int kSamples = 31;
    for (int i = 0; i < kSamples; ++i) {
        const int left = kSamples - 1 - i; // samples before the last one
        const int age = 2 * left;          // seconds
        TServerStatusBlock sample = block;
        const double wave = std::sin(left / 3.0);
        // Requests at 60 to 240 a second, faster towards the end.
        sample.NonQueuedDBRequests = block.NonQueuedDBRequests - left * 300 + left * left * 5;
        sample.NonDBRequests = block.NonDBRequests - left * 40;
        sample.ClientCount = static_cast<std::uint16_t>(
            std::max(0, block.ClientCount - static_cast<int>(std::lround(4 * wave))));
        sample.ResultCounts[5] = static_cast<std::uint16_t>(std::max(
            0, block.ResultCounts[5] - static_cast<int>(std::lround(6 * wave + left / 2.0))));
        sample.ChildDBsOpen =
            static_cast<std::uint16_t>(std::max(0, block.ChildDBsOpen - (left > 18 ? 1 : 0)));
        view.AddSample(sample, end.addSecs(-age), 1000LL * (2 * i));
    }
    // At its own size, as the status shot.
    const auto arrange = [&view] { view.resize(view.sizeHint()); };
    Save(view, "server-status-history", arrange);
    const QPalette light = QApplication::palette();
    QApplication::setPalette(DarkPalette());
    Save(view, "server-status-history-dark", arrange);
    QApplication::setPalette(light);
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

        expectedBoxes = 1;
        form.LocConnForm->RefreshView();
        if (expectedBoxes != 0) {
            std::fprintf(stderr, "the local connections did not tell the demo's invalid date\n");
            ++failures;
        }
        expectedBoxes = 0;
        Save(*form.LocConnForm, "local-connections");
        // Filtered to the catalogue desks and sorted by name, with the count of what is shown.
        Save(*form.LocConnForm, "local-connections-filtered", [&form] {
            TLocConnForm& view = *form.LocConnForm;
            view.ConnGrid->sortByColumn(0, Qt::AscendingOrder);
            GridFilterEdit(view.ConnGrid)->setText(QStringLiteral("catalog"));
            view.SetCurrentRow(0);
        });
        GridFilterEdit(form.LocConnForm->ConnGrid)->clear();
        form.WebConnForm->RefreshView();
        Save(*form.WebConnForm, "web-connections");
        form.DBListForm->RefreshView();
        Save(*form.DBListForm, "databases");
        form.ServerStatusForm->RefreshView();
        // At its own size: the screen the shots are drawn on may be smaller than the window.
        Save(*form.ServerStatusForm, "server-status",
             [&form] { form.ServerStatusForm->resize(form.ServerStatusForm->sizeHint()); });
        ShootStatusHistory(*form.ServerStatusForm);
        form.ErrorLogForm->RefreshView();
        Save(*form.ErrorLogForm, "error-log");
        // A find with every match marked and the current one selected.
        Save(*form.ErrorLogForm, "error-log-find", [&form] {
            TErrorLogForm& view = *form.ErrorLogForm;
            view.FindAct->trigger();
            view.FindEdit->setText(QStringLiteral("not opened"));
            view.FindNextAct->trigger();
        });

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
