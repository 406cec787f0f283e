// KestraAdmin: the console's window.
#include "console/ZDAdminDefaults.h"
#include "console/ZDAdminSettings.h"
#include "rights/ZDAuthorization.h"
#include "log/ZDCrashHandler.h"
#include "log/ZDFennick.h"
#include "log/ZDLog.h"
#include "windows/ZDMainWindow.h"
#include "ZDPlainText.h"
#include "process/ZDQuitSignals.h"

#include <QApplication>
#include <QCommandLineParser>

int main(int argc, char *argv[])
{
    // Its logs and crash reports carry the name the user knows it by, not the executable's.
    const QString name = QStringLiteral(KESTRA_ADMIN_NAME);
    ZDCrashHandler::install(name);
    QApplication app(argc, argv);
    // Labels and tool tips show text from agents as it is, in every window.
    ZDPlainText::enforce();
    QApplication::setApplicationName(QStringLiteral("KestraAdmin"));
    QApplication::setOrganizationDomain(QStringLiteral("zendrel.com"));
    QApplication::setApplicationDisplayName(name);
    QApplication::setQuitOnLastWindowClosed(true);
    ZDFennick::startFennick(name);
    ZDLog::createNewLog(name);
    // Stopped by a terminal or a service manager, it ends as on a normal quit.
    ZDQuitSignals::install(app);

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Kestra Admin: looks after the computers running Kestra Client."));
    parser.addHelpOption();
    const QCommandLineOption noBrowse(QStringLiteral("no-browse"),
                                      QStringLiteral("Only the manual connections, no DNS-SD browsing."));
    const QCommandLineOption settingsFile(QStringLiteral("settings"), QStringLiteral("The console's settings file."),
                                          QStringLiteral("file"));
    parser.addOption(noBrowse);
    parser.addOption(settingsFile);
    parser.process(app);

    ZDMainWindow::Options options;
    options.browse = !parser.isSet(noBrowse);
    options.settingsPath = parser.value(settingsFile);
    {
        const auto settings = ZDAdminSettings::open(options.settingsPath);
        if (ZDAdminDefaults::boolValue(*settings, QString::fromLatin1(ZDAdminDefaults::kRequireAdminPassword))
            && !ZDAuthorization::sharedController().authStart()) {
            ZDLog::appendLog(QStringLiteral("Administrator rights were refused; quitting."));
            return 1;
        }
    }
    ZDMainWindow window(options);
    window.show();
    const int rc = app.exec();
    ZDFennick::stopFennick();
    ZDLog::finishWriting();
    return rc;
}
