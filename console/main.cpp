// zephran-console: the remote administration console of the record server.

#include "BrokerLog.h"
#include "ExitGuard.h"
#include "HttpLoginDlgU.h"
#include "MainU.h"
#include "QSettingsConfigStore.h"
#include "QtMessagePresenter.h"
#include "ServerErrors.h"

#include <QApplication>
#include <QLocale>

#include <csignal>
#include <cstdio>
#include <cstring>

namespace {

// --help and --version answer without a display, before any window system is opened.
bool AnswerInformationOptions(int argc, char* argv[]) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("zephran-console %s\n", ZEPHRAN_VERSION);
            return true;
        }
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::printf("Usage: zephran-console [Qt options]\n"
                        "The desktop console of a multi-database record server and its web "
                        "broker.\n\n"
                        "  -h, --help   show this help and exit\n"
                        "  --version    show the version and exit\n\n"
                        "Qt's standard options (-platform, -style, ...) are taken as well.\n");
            return true;
        }
    }
    return false;
}

} // namespace

int main(int argc, char* argv[]) {
    if (AnswerInformationOptions(argc, argv))
        return 0;
    // Ended from outside, the console removes the spill file of a reply it is reading and exits
    // with 128 + the signal's number.
    ExitGuard::EndOnSignals({SIGINT, SIGTERM, SIGHUP});
    QApplication app(argc, argv);
    // Display conventions before any window exists: English names, "." as the decimal
    // separator; every date the windows show reads year/month/day ("yyyy/mm/dd hh:nn:ss").
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));

    TQtMessagePresenter presenter;
    SetMessagePresenter(&presenter);
    TQSettingsConfigStore settings;
    SetConfigStore(&settings);
    // The broker layer's log lines go to the console's error log.
    SetBrokerLogHook([](const std::string& line) { LogError(line); });

    int status = 0;
    {
        TMainForm mainForm;
        // The broker windows come last, hidden; the requester's wait keeps the windows alive
        // and broker operations show the busy pointer.
        TBrokerWindows brokerWindows(&mainForm);
        mainForm.show();
        status = QApplication::exec();
    }
    SetBrokerLogHook({});
    DoneErrorLog();
    SetConfigStore(nullptr);
    SetMessagePresenter(nullptr);
    return status;
}
