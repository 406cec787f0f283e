// KestraAdminUninstaller: one confirmation, then the suite leaves this computer.
#include "log/ZDCrashHandler.h"
#include "log/ZDLog.h"
#include "ZDUninstaller.h"
#include "ZDUninstallerDialogs.h"

#include <QApplication>
#include <QFutureWatcher>
#include <QProgressDialog>
#include <QtConcurrent/QtConcurrentRun>

int main(int argc, char **argv)
{
    ZDCrashHandler::install(QStringLiteral("KestraAdminUninstaller"));
    QApplication app(argc, argv);
    ZDLog::createNewLog(QStringLiteral("KestraAdminUninstaller"));
    const auto confirm = ZDUninstallerDialogs::confirmation();
    confirm->exec();
    if (!ZDUninstallerDialogs::isUninstallChosen(*confirm))
        return 0;
    QProgressDialog progress(QStringLiteral("Uninstalling Kestra Admin..."), QString(), 0, 0);
    progress.setMinimumDuration(0);
    progress.show();
    QFutureWatcher<ZDUninstaller::Report> watcher;
    QObject::connect(&watcher, &QFutureWatcher<ZDUninstaller::Report>::finished, &app, [&] {
        progress.hide();
        ZDUninstallerDialogs::summary(watcher.result())->exec();
        app.quit();
    });
    watcher.setFuture(QtConcurrent::run(&ZDUninstaller::uninstall));
    const int status = app.exec();
    ZDLog::finishWriting();
    return status;
}
