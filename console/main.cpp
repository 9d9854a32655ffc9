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

int main(int argc, char* argv[]) {
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
