// KestraAdmin: the console's window.
#include "ZDAdminDefaults.h"
#include "ZDAdminSettings.h"
#include "ZDAuthorization.h"
#include "ZDCrashHandler.h"
#include "ZDFennick.h"
#include "ZDLog.h"
#include "ZDMainWindow.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QSocketNotifier>

#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int g_signalPipe[2] = {-1, -1};

// SIGTERM and SIGINT quit through the event loop, so the log and the crash
// reporter's "exit" mark are written as on a normal quit.
void quitOnSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(g_signalPipe[1], &byte, 1);
}

void installQuitSignals(QApplication &app)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, g_signalPipe) != 0)
        return;
    auto *notifier = new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read, &app);
    QObject::connect(notifier, &QSocketNotifier::activated, &app, [] {
        char byte = 0;
        [[maybe_unused]] const ssize_t n = ::read(g_signalPipe[0], &byte, 1);
        QCoreApplication::quit();
    });
    struct sigaction action = {};
    action.sa_handler = quitOnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGINT, &action, nullptr);
}

} // namespace

int main(int argc, char *argv[])
{
    ZDCrashHandler::install(QStringLiteral("KestraAdmin"));
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("KestraAdmin"));
    QApplication::setOrganizationDomain(QStringLiteral("zendrel.com"));
    QApplication::setApplicationDisplayName(QStringLiteral("Kestra Admin"));
    QApplication::setQuitOnLastWindowClosed(true);
    ZDFennick::startFennick(QStringLiteral("KestraAdmin"));
    ZDLog::createNewLog();
    installQuitSignals(app);

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
