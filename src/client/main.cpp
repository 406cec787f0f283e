// KestraClient: the agent every managed computer runs for its logged-in user.
//   KestraClient          start normally
//   KestraClient -wait    wait 5 seconds first (a relaunch lets the old instance go)
//   KestraClient -setup   as root: install and (re)enable the launch agent, then exit
//   KestraClient -enroll TOKEN | -enroll-fingerprint FP | -revoke FP | -require-enrolled yes|no
//                         as root: the consoles this computer trusts; -fingerprint prints the agent's own
//   KestraClient --help | --version   print and exit, no agent started
//   KestraClient -pair [MINUTES]
//                         as root: a pairing window (default 10 minutes) confirmed at this terminal
#include "agent/AppController.h"
#include "agent/ZDAgentSecurity.h"

#include "agent/ZDClientPreferences.h"
#include "log/ZDCrashHandler.h"
#include "log/ZDFennick.h"
#include "platform/ZDLocalPaths.h"
#include "log/ZDLog.h"
#include "process/ZDQuitSignals.h"
#include "session/ZDStatusItem.h"
#include "log/ZDSystemLog.h"
#include "process/ZDTaskEx.h"

#include <QCoreApplication>
#include <QPointer>
#include <QThread>

#include <cstdio>
#include <cstring>
#include <malloc.h>
#include <memory>
#include <unistd.h>

namespace {

bool hasArgument(int argc, char **argv, const char *word)
{
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], word) == 0)
            return true;
    return false;
}

int setupMode()
{
    zdSystemLog(QStringLiteral("Setting up client..."));
    if (::setuid(0) != 0)
        zdSystemLog(QStringLiteral("Unable to become root; writing the launch agent may ask for rights."));
    AppController::setupClient();
    const QString user = ZDLocalPaths::currentConsoleUser();
    int uid = 0;
    if (!user.isEmpty())
        uid = ZDTaskEx::stringFromTask(QStringLiteral("/usr/bin/id"), {QStringLiteral("-u"), user}).trimmed().toInt();
    zdSystemLog(zdFormat(QStringLiteral("uid: %i"), uid));
    zdSystemLog(QStringLiteral("Running client..."));
    // Root stays root: enabling the computer-wide unit needs it, and the unit is
    // started in the console user's service manager by ZDLaunchd itself.
    AppController::runClient();
    ZDLog::finishWriting();
    return 0;
}

const char kHelp[] =
    "usage: KestraClient [-wait | -setup | -fingerprint | -enroll TOKEN | -enroll-fingerprint FP | -revoke FP |\n"
    "                     -require-enrolled yes|no | -pair [MINUTES] | --help | --version]\n"
    "The Kestra agent: serves the consoles of the network for the logged-in user.\n"
    "  (none)           run the agent (normally started by the user service com.zendrel.KestraClient)\n"
    "  -wait            wait 5 seconds first (a relaunch lets the old agent go)\n"
    "  -setup           as root: install and enable the computer-wide user service, then exit\n"
    "  -fingerprint     print this agent's key fingerprint\n"
    "  -enroll TOKEN    as root: trust the console that made TOKEN (kestra enroll-token)\n"
    "  -enroll-fingerprint FP, -revoke FP, -require-enrolled yes|no\n"
    "                   as root: the consoles this computer trusts\n"
    "  -pair [MINUTES]  as root: open a pairing window (default 10) for `kestra pair HOST`,\n"
    "                   confirmed here after comparing the 6-digit code\n"
    "Settings: ~/.config/com.zendrel.KestraClient.plist; log: ~/.local/state/log/Zendrel/KestraClient.1.log\n";

bool hasDisplay()
{
    return !qEnvironmentVariableIsEmpty("DISPLAY") || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
}

} // namespace

int main(int argc, char **argv)
{
    // A background agent serves a few consoles: two heap arenas do, instead of one
    // per worker thread that ever ran a call.
    ::mallopt(M_ARENA_MAX, 2);
    // Asked what it is: answered before anything of an agent starts.
    if (hasArgument(argc, argv, "--help") || hasArgument(argc, argv, "-h")) {
        std::fputs(kHelp, stdout);
        return 0;
    }
    if (hasArgument(argc, argv, "--version")) {
        std::printf("KestraClient %s (%s)\n", KESTRA_VERSION, KESTRA_BUNDLE_VERSION);
        return 0;
    }
    ZDCrashHandler::install(QStringLiteral("KestraClient"));
    if (const int status = ZDAgentSecurity::runCommandLine(argc, argv); status >= 0)
        return status;
    if (hasArgument(argc, argv, "-setup")) {
        QCoreApplication app(argc, argv);
        ZDLog::createNewLog(QStringLiteral("KestraClient"));
        return setupMode();
    }
    if (hasArgument(argc, argv, "-wait"))
        QThread::sleep(5); // the old instance goes away meanwhile; no need to spin for it

    // Without a display there is nothing to draw: the lighter core application will do.
    // The widget libraries are loaded (with the tray module) only when there is a display.
    std::unique_ptr<QCoreApplication> app;
    if (hasDisplay())
        app = ZDStatusItem::createGuiApplication(argc, argv);
    if (!app)
        app = std::make_unique<QCoreApplication>(argc, argv);

    ZDLog::createNewLog(QStringLiteral("KestraClient"));
    const QString preferencesPath = ZDClientPreferences().preferencesPath();
    QPointer<AppController> controller;
    QString pendingCrashLog;
    ZDFennick::startFennick(QStringLiteral("KestraClient"), preferencesPath, [&](const QString &report) {
        if (controller)
            controller->applicationDidCrashWithLog(report);
        else
            pendingCrashLog = report;
    });

    // The report arrives as a queued call: take it now, so that the first console
    // to connect already finds it.
    QCoreApplication::sendPostedEvents(app.get());

    auto owned = std::make_unique<AppController>();
    controller = owned.get();
    if (!pendingCrashLog.isEmpty())
        controller->applicationDidCrashWithLog(pendingCrashLog);
    // The service manager stops the agent with SIGTERM (log-out, shutdown, a stop):
    // the consoles get their goodbye as for any other orderly stop. Installed before
    // the port opens, so no stop can come between.
    ZDQuitSignals::install(*app, [&controller] {
        if (controller)
            controller->disconnect();
        else
            QCoreApplication::quit();
    });
    controller->start();
    const int status = app->exec();
    owned.reset();
    ZDFennick::stopFennick(preferencesPath);
    ZDLog::finishWriting();
    return status;
}
