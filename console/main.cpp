// zephran-console: the remote administration console of the record server.

#include "MainU.h"
#include "QSettingsConfigStore.h"
#include "QtMessagePresenter.h"
#include "ServerErrors.h"

#include <QApplication>
#include <QLocale>

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    // Display conventions before any window exists: English names, "." as the decimal
    // separator; every date the windows show reads year/month/day ("yyyy/mm/dd hh:nn:ss").
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));

    TQtMessagePresenter presenter;
    SetMessagePresenter(&presenter);
    TQSettingsConfigStore settings;
    SetConfigStore(&settings);

    int status = 0;
    {
        TMainForm mainForm;
        mainForm.show();
        status = QApplication::exec();
    }
    DoneErrorLog();
    SetConfigStore(nullptr);
    SetMessagePresenter(nullptr);
    return status;
}
