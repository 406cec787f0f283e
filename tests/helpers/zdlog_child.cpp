// A fresh process for the log: its state is process-wide and several behaviours
// (start-up rotation, exit flushing, the terminate handler) only show in a new one.
// Arguments are commands run in order: "name" or "name=value".
//   qapp (first only)  run with a QCoreApplication; "quit" then runs and leaves its event loop
//   create[=NAME]      createNewLog
//   log=N:TEXT         N x appendLog("TEXT i")
//   fast=N:TEXT        N x fastAppendLog("TEXT i")
//   fill=N:SIZE        N x appendLog("m<i> " + SIZE x 'x')
//   say=TEXT           appendLog(TEXT)
//   print=TEXT         appendLogAndPrint("Said: %@", TEXT)
//   available          prints "LOG <path>" for each available log
//   finish             finishWriting
//   exit-thread        exit(0) from another thread
//   _exit              leave without any exit handler
//   throw-thread=TEXT  an uncaught exception with that reason on another thread
#include "ZDException.h"
#include "ZDLog.h"
#include "ZDTestFixtures.h"

#include <QTimer>

#include <cstdlib>
#include <thread>

#include <sys/resource.h>

int main(int argc, char **argv)
{
    const rlimit noCore{0, 0};
    ::setrlimit(RLIMIT_CORE, &noCore);
    return zdtest::runCommands(argc, argv, [](const QString &cmd, const QString &value, QCoreApplication *app) {
        const qsizetype colon = value.indexOf(QLatin1Char(':'));
        const qint64 count = value.left(colon).toLongLong();
        const QString rest = value.mid(colon + 1);
        if (cmd == QLatin1String("create")) {
            ZDLog::createNewLog(value);
        } else if (cmd == QLatin1String("log") || cmd == QLatin1String("fast")) {
            for (qint64 n = 1; n <= count; ++n) {
                if (cmd == QLatin1String("log"))
                    ZDLog::appendLog(QStringLiteral("%@ %li"), rest, n);
                else
                    ZDLog::fastAppendLog(QStringLiteral("%@ %li"), rest, n);
            }
        } else if (cmd == QLatin1String("fill")) {
            const QString padding(rest.toInt(), QLatin1Char('x'));
            for (qint64 n = 1; n <= count; ++n)
                ZDLog::appendLog(QStringLiteral("m%05li %@"), n, padding);
        } else if (cmd == QLatin1String("say")) {
            ZDLog::appendLog(value);
        } else if (cmd == QLatin1String("print")) {
            ZDLog::appendLogAndPrint(QStringLiteral("Said: %@"), value);
        } else if (cmd == QLatin1String("available")) {
            ZDLog::finishWriting();
            for (const QString &path : ZDLog::availableLogs())
                std::printf("LOG %s\n", path.toLocal8Bit().constData());
            std::fflush(stdout);
        } else if (cmd == QLatin1String("finish")) {
            ZDLog::finishWriting();
        } else if (cmd == QLatin1String("quit") && app) {
            QTimer::singleShot(0, app, &QCoreApplication::quit);
            app->exec();
        } else if (cmd == QLatin1String("exit-thread")) {
            std::thread([] { std::exit(0); }).join();
        } else if (cmd == QLatin1String("_exit")) {
            ::_exit(0);
        } else if (cmd == QLatin1String("throw-thread")) {
            std::thread([value] { throw ZDNamedException(QStringLiteral("Boom"), value); }).join();
        } else {
            return false;
        }
        return true;
    });
}
