// The console against two real agents on session buses of their own: a killed agent's
// crash report opens in the crash-report tool, and Gather Logs collects what the real
// console and the agents wrote, crash reports included.
#include "ZDArchive.h"
#include "ZDClientCrash.h"
#include "ZDDiscovery.h"
#include "ZDDispatcher.h"
#include "ZDErrorCallback.h"
#include "ZDLocalPaths.h"
#include "ZDLogGathering.h"
#include "ZDOrvProtocol.h"
#include "ZDPropertyList.h"
#include "ZDRealAgent.h"
#include "ZDTestSandbox.h"
#include "ZDTestThreads.h"

#include <csignal>

class TestZDClientCrash : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void crashedAgentAndGatheredLogs()
    {
        constexpr int kWaitMs = 60000;
        ZDTestSandbox box;
        // The sanitizers stand aside, so that a crash ends in the crash handler's report.
        box.setEnv("ASAN_OPTIONS", qgetenv("ASAN_OPTIONS") + ":handle_segv=0:handle_abort=0");
        box.setEnv("KESTRA_STANDIN_LOG", box.path(QStringLiteral("fennick.log")).toUtf8());
        const QString apps = qEnvironmentVariable("KESTRA_APPS_DIR");
        QVERIFY(QDir().mkpath(ZDLocalPaths::applicationDirectory(true)) && QDir().mkpath(box.path(QStringLiteral("desktop"))));
        QVERIFY(QFile::link(apps + QStringLiteral("/Fennick.app"), ZDLocalPaths::applicationDirectory(true) + QStringLiteral("/Fennick.app")));
        auto crash = [](qint64 pid) { return pid > 0 && ::kill(pid_t(pid), SIGSEGV) == 0; };

        // The real console writes its log, then crashes.
        QProcess console;
        console.start(apps + QStringLiteral("/Kestra Admin.app/Contents/MacOS/KestraAdmin"),
                      {QStringLiteral("--no-browse"), QStringLiteral("--settings"), box.path(QStringLiteral("admin.ini"))});
        const ZDLogGathering gathering(box.path(QStringLiteral("work")), box.path(QStringLiteral("desktop")));
        QTRY_VERIFY_WITH_TIMEOUT(ZDTestSandbox::readFile(gathering.adminLogPath(false)).contains("Log started"), kWaitMs);
        QVERIFY(crash(console.processId()) && console.waitForFinished(kWaitMs) && console.exitStatus() == QProcess::CrashExit);

        // Agents with host names, homes and session buses of their own (an agent tells
        // every other agent on its bus to quit); a killed one is started again.
        QTemporaryDir roots[2];
        QProcess buses[2], agents[2];
        const quint16 ports[2] = {ZDRealAgent::freePort(), ZDRealAgent::freePort()};
        auto start = [&](int i, const char *host) {
            const QString home = roots[i].filePath(QStringLiteral("home"));
            if (buses[i].state() == QProcess::NotRunning) {
                buses[i].start(QStringLiteral("dbus-daemon"), {QStringLiteral("--session"), QStringLiteral("--nofork"), QStringLiteral("--print-address=1")});
                QVERIFY(buses[i].waitForReadyRead(kWaitMs) && ZDTestSandbox::writeFile(roots[i].filePath(QStringLiteral("etc/hostname")), host));
                QVERIFY(ZDPropertyList::writeFile(home + QStringLiteral("/.config/com.zendrel.KestraClient.plist"),
                                                  QVariantMap{{QStringLiteral("customPortSet"), 1}, {QStringLiteral("customPort"), ports[i]},
                                                              {QStringLiteral("disableBonjour"), 1}, {QStringLiteral("showMenuBarIcon"), 0}}));
                QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
                for (const char *var : {"XDG_CONFIG_HOME=/.config", "XDG_DATA_HOME=/.local/share", "XDG_CACHE_HOME=/.cache", "XDG_STATE_HOME=/.local/state", "HOME="})
                    env.insert(QString::fromLatin1(var).section(u'=', 0, 0), home + QString::fromLatin1(var).section(u'=', 1));
                env.insert(QStringLiteral("KESTRA_SYSTEM_ROOT"), roots[i].path());
                env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), QString::fromUtf8(buses[i].readLine().trimmed()));
                agents[i].setProcessEnvironment(env);
            }
            agents[i].start(apps + QStringLiteral("/KestraClient.app/Contents/MacOS/KestraClient"));
            QString out;
            QTRY_VERIFY_WITH_TIMEOUT((out += QString::fromUtf8(agents[i].readAllStandardOutput())).contains(QStringLiteral("Listening on port")), kWaitMs);
        };
        start(0, "alpha");
        QVERIFY(crash(agents[0].processId()) && agents[0].waitForFinished(kWaitMs) && agents[0].exitStatus() == QProcess::CrashExit);
        start(0, "alpha");
        start(1, "bravo");
        QVERIFY(!QTest::currentTestFailed());

        ZDDiscovery discovery(std::make_shared<ZDErrorCallback>(), box.path(QStringLiteral("admin.ini")));
        ZDDispatcher dispatcher([&discovery] { return discovery.allServices(); });
        ZDClientCrash clientCrash(&discovery, &dispatcher);
        QSignalSpy reported(&clientCrash, &ZDClientCrash::crashReported);
        QSignalSpy opened(&clientCrash, &ZDClientCrash::reportOpened);
        QVERIFY(discovery.addManualConnection(QStringLiteral("alpha"), QStringLiteral("127.0.0.1"), ports[0]));
        QVERIFY(discovery.addManualConnection(QStringLiteral("bravo"), QStringLiteral("127.0.0.2"), ports[1]));

        // The crashed agent's report reaches the console, which opens its text in the tool.
        QVERIFY(reported.wait(kWaitMs));
        QCOMPARE(reported.at(0).at(1).toString(), QStringLiteral("alpha"));
        const QString report = reported.at(0).at(2).toString();
        QVERIFY2(report.contains(QStringLiteral("/DiagnosticReports/KestraClient_")), qPrintable(report));
        clientCrash.openReport(reported.at(0).at(0).value<ZDServicePtr>(), report);
        QVERIFY(opened.wait(kWaitMs));
        const QByteArray text = ZDTestSandbox::readFile(report);
        QVERIFY(text.contains("Process:         KestraClient ["));
        QTRY_COMPARE_WITH_TIMEOUT(ZDTestSandbox::readFile(box.path(QStringLiteral("fennick.log"))),
                                  "Fennick\t-remotename\talpha\t-log\t" + opened.at(0).at(1).toString().toUtf8() + '\n' + text, kWaitMs);

        // Gather Logs: the console's log and crash report, both agents' logs, the agent's report.
        QVariantMap files;
        zdtest::offMain([&] { files = dispatcher.objectsFromRemoteMethod(QString::fromLatin1(ZDOrv::kGatherLogs)); });
        const auto outcome = ZDLogGathering(gathering).gatherNetwork(files);
        QVERIFY(outcome.success && ZDArchive::extractZip(outcome.archivePath, box.path(QStringLiteral("out"))).ok);
        QStringList found;
        const QString dump = box.path(QStringLiteral("out/ZD_Log_Dump/"));
        for (QDirIterator it(dump, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories); it.hasNext();)
            found << it.next().mid(dump.size());
        for (const char *pattern : {"^Kestra Admin\\.1\\.log$", "^Kestra Admin_[-0-9]+\\.crash$", "^alpha/.*/KestraClient\\.1\\.log$",
                                    "^alpha/.*/DiagnosticReports/KestraClient_[-0-9]+\\.crash$", "^bravo/.*/KestraClient\\.1\\.log$"})
            QVERIFY2(!found.filter(QRegularExpression(QLatin1String(pattern))).isEmpty(), qPrintable(pattern + found.join(u'\n')));
        for (QProcess *child : {&agents[0], &agents[1], &buses[0], &buses[1]}) {
            child->kill();
            child->waitForFinished();
        }
    }
};

QTEST_GUILESS_MAIN(TestZDClientCrash)
#include "tst_zdclientcrash.moc"
