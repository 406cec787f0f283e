// A program that records its runs for the crash check and then ends the way it
// is told, dying of a real fatal signal where asked.
// Arguments are commands run in order: "name" or "name=value".
//   qapp (first only)  run with a QCoreApplication (the crash notice needs its event loop)
//   name=NAME          application name for later commands (default: the program's own)
//   plist=PATH         settings file for later commands (default: the program's own settings)
//   create             ZDLog::createNewLog(name)
//   install            ZDCrashHandler::install(name)
//   start              startFennick; the notice prints "CRASHED <path>"
//   stop               stopFennick
//   check              prints "REPORT <path>", or "REPORT -" when none
//   events             delivers what was queued for the main thread
//   segv | segv-thread | abort | throw | overflow   die
#include "ZDCrashHandler.h"
#include "ZDException.h"
#include "ZDFennick.h"
#include "ZDLog.h"
#include "ZDTestFixtures.h"
#include "ZDTestTransfer.h"

#include <cstdint>
#include <cstdlib>
#include <thread>

#include <sys/resource.h>

namespace {

void say(const QString &text) { zdtest::say(text.toUtf8()); }

[[noreturn]] void segfault()
{
    // Opaque to the compiler, so the store really happens.
    volatile std::uintptr_t address = 16;
    *reinterpret_cast<volatile int *>(address) = 1;
    std::abort();
}

volatile bool g_bottomless = true;

int recurse(int depth)
{
    volatile char frame[1024];
    frame[0] = char(depth);
    if (!g_bottomless)
        return frame[0];
    return recurse(depth + 1) + frame[0];
}

} // namespace

int main(int argc, char **argv)
{
    const rlimit noCore{0, 0};
    ::setrlimit(RLIMIT_CORE, &noCore);
    QString name;
    QString plist;
    const int rc = zdtest::runCommands(argc, argv, [&](const QString &cmd, const QString &value, QCoreApplication *app) {
        if (cmd == QLatin1String("name")) {
            name = value;
        } else if (cmd == QLatin1String("plist")) {
            plist = value;
        } else if (cmd == QLatin1String("create")) {
            ZDLog::createNewLog(name);
        } else if (cmd == QLatin1String("install")) {
            say(QStringLiteral("INSTALLED %1").arg(ZDCrashHandler::install(name)));
        } else if (cmd == QLatin1String("start")) {
            ZDFennick::startFennick(name, plist, [](const QString &report) { say(QStringLiteral("CRASHED ") + report); });
        } else if (cmd == QLatin1String("stop")) {
            ZDFennick::stopFennick(plist);
        } else if (cmd == QLatin1String("check")) {
            const QString report = ZDFennick::checkForCrashes(name, plist);
            say(QStringLiteral("REPORT ") + (report.isEmpty() ? QStringLiteral("-") : report));
        } else if (cmd == QLatin1String("events") && app) {
            QCoreApplication::processEvents();
        } else if (cmd == QLatin1String("segv")) {
            segfault();
        } else if (cmd == QLatin1String("segv-thread")) {
            std::thread(segfault).join();
        } else if (cmd == QLatin1String("abort")) {
            std::abort();
        } else if (cmd == QLatin1String("throw")) {
            throw ZDNamedException(QStringLiteral("Boom"), QStringLiteral("thrown on purpose"));
        } else if (cmd == QLatin1String("overflow")) {
            std::exit(recurse(0));
        } else {
            return false;
        }
        return true;
    });
    ZDLog::finishWriting();
    return rc;
}
