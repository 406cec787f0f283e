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

using namespace Qt::StringLiterals;

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
        box.setEnv("KESTRA_STANDIN_LOG", box.path(u"fennick.log"_s).toUtf8());
        const QString apps = qEnvironmentVariable("KESTRA_APPS_DIR");
        QVERIFY(QDir().mkpath(ZDLocalPaths::applicationDirectory(true)) && QDir().mkpath(box.path(u"desktop"_s)));
        QVERIFY(QFile::link(apps + u"/Fennick.app"_s, ZDLocalPaths::applicationDirectory(true) + u"/Fennick.app"_s));
        auto crash = [](QProcess &p) {
            return p.processId() > 0 && ::kill(pid_t(p.processId()), SIGSEGV) == 0 && p.waitForFinished(kWaitMs)
                && p.exitStatus() == QProcess::CrashExit;
        };
        // The real console writes its log, then crashes.
        QProcess console;
        console.start(apps + u"/Kestra Admin.app/Contents/MacOS/KestraAdmin"_s,
                      {u"--no-browse"_s, u"--settings"_s, box.path(u"admin.ini"_s)});
        const ZDLogGathering gathering(box.path(u"work"_s), box.path(u"desktop"_s));
        QTRY_VERIFY_WITH_TIMEOUT(ZDTestSandbox::readFile(gathering.adminLogPath(false)).contains("Log started"),
                                 kWaitMs);
        QVERIFY(crash(console));
        // Agents that are computers of their own; a killed one is started again.
        ZDRealAgent agents[2];
        const quint16 ports[2] = {ZDRealAgent::freePort(), ZDRealAgent::freePort()};
        QVERIFY2(agents[0].startAlone(ports[0], "alpha"), qPrintable(agents[0].output()));
        QVERIFY(crash(agents[0].process()));
        QVERIFY2(agents[0].startAlone(ports[0], "alpha"), qPrintable(agents[0].output()));
        QVERIFY2(agents[1].startAlone(ports[1], "bravo"), qPrintable(agents[1].output()));
        ZDDiscovery discovery(std::make_shared<ZDErrorCallback>(), box.path(u"admin.ini"_s));
        ZDDispatcher dispatcher([&discovery] { return discovery.allServices(); });
        ZDClientCrash clientCrash(&discovery, &dispatcher);
        QSignalSpy reported(&clientCrash, &ZDClientCrash::crashReported);
        QSignalSpy opened(&clientCrash, &ZDClientCrash::reportOpened);
        QVERIFY(discovery.addManualConnection(u"alpha"_s, u"127.0.0.1"_s, ports[0]));
        QVERIFY(discovery.addManualConnection(u"bravo"_s, u"127.0.0.2"_s, ports[1]));
        // The crashed agent's report reaches the console, which opens its text in the tool.
        QVERIFY(reported.wait(kWaitMs));
        QCOMPARE(reported.at(0).at(1).toString(), u"alpha"_s);
        const QString report = reported.at(0).at(2).toString();
        QVERIFY2(report.contains(u"/DiagnosticReports/KestraClient_"_s), qPrintable(report));
        clientCrash.openReport(reported.at(0).at(0).value<ZDServicePtr>(), report);
        QVERIFY(opened.wait(kWaitMs));
        const QByteArray text = ZDTestSandbox::readFile(report);
        QVERIFY(text.contains("Process:         KestraClient ["));
        const QByteArray record = "Fennick\t-remotename\talpha\t-log\t" + opened.at(0).at(1).toString().toUtf8() + '\n';
        QTRY_COMPARE_WITH_TIMEOUT(ZDTestSandbox::readFile(box.path(u"fennick.log"_s)), record + text, kWaitMs);
        // Gather Logs: the console's log and crash report, both agents' logs, the agent's report.
        QVariantMap files;
        zdtest::offMain([&] { files = dispatcher.objectsFromRemoteMethod(QString::fromLatin1(ZDOrv::kGatherLogs)); });
        const auto outcome = ZDLogGathering(gathering).gatherNetwork(files);
        QVERIFY(outcome.success && ZDArchive::extractZip(outcome.archivePath, box.path(u"out"_s)).ok);
        QStringList found;
        const QString dump = box.path(u"out/ZD_Log_Dump/"_s);
        for (QDirIterator it(dump, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories); it.hasNext();)
            found << it.next().mid(dump.size());
        const QString agentLog = u"[^/]*/.*/KestraClient\\.1\\.log$"_s;
        for (const QString &pattern : {u"^Kestra Admin\\.1\\.log$"_s, u"^Kestra Admin_[-0-9]+\\.crash$"_s,
                                       u"^alpha"_s + agentLog, u"^bravo"_s + agentLog,
                                       u"^alpha[^/]*/.*/DiagnosticReports/KestraClient_[-0-9]+\\.crash$"_s})
            QVERIFY2(!found.filter(QRegularExpression(pattern)).isEmpty(), qPrintable(pattern + found.join(u'\n')));
    }
};

QTEST_GUILESS_MAIN(TestZDClientCrash)
#include "tst_zdclientcrash.moc"
