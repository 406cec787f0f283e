// The computer record against real agent processes on loopback: the connection
// stages, the configuration and its error codes, the lost agent and its retry,
// the icon table and cache, the archive, and ending the connection thread; a crashed real agent's
// report, and logs gathered from the real console and agents; the kestra command line against them.
#include "ZDArchive.h"
#include "ZDClientCrash.h"
#include "ZDDiscovery.h"
#include "ZDDispatcher.h"
#include "ZDErrorCallback.h"
#include "ZDFakeAgent.h"
#include "ZDLocalPaths.h"
#include "ZDLog.h"
#include "ZDLogGathering.h"
#include "ZDOrvProtocol.h"
#include "ZDPropertyList.h"
#include "ZDRealAgent.h"
#include "ZDService.h"
#include "ZDTestFixtures.h"
#include "ZDTestSandbox.h"
#include "ZDTestThreads.h"

#include <QSignalSpy>
#include <QtTest>

#include <csignal>

using namespace Qt::StringLiterals;

namespace {

constexpr int kWait = 30000;

QString uniqueName(const char *what)
{
    static int n = 0;
    return QStringLiteral("svc-%1-%2-%3").arg(QCoreApplication::applicationPid()).arg(QLatin1String(what)).arg(++n);
}

ZDDNSSDService netService(const QString &host, quint16 port, const QStringList &addresses, const QString &txtName)
{
    ZDDNSSDService s;
    s.name = uniqueName("net");
    s.type = QStringLiteral("_kestraclient._tcp.");
    s.domain = QStringLiteral("local.");
    s.hostName = host;
    s.port = port;
    s.addresses = addresses;
    if (!txtName.isNull())
        s.txt.insert(QStringLiteral("name"), txtName);
    return s;
}


const QString kUser = u"cliadmin"_s;
const QString kPassword = u"cli pw 'q' 9"_s;

using Run = zdtest::Ran;

struct Agent : ZDFakeTaskAgent
{
    QString name;
};

} // namespace

class TestZDService : public QObject
{
    Q_OBJECT
    std::unique_ptr<ZDTestSandbox> m_sandbox;
    std::shared_ptr<ZDErrorCallback> m_callback;
    std::vector<Agent> m_agents;
    QString m_kestra;
    QString m_passwordFile;
    Run kestra(const QStringList &args, const QByteArray &input = QByteArray())
    {
        return zdtest::runProgram(m_kestra, args, {}, input);
    }
    static QJsonObject json(const Run &r) { return QJsonDocument::fromJson(r.out.toUtf8()).object(); }
    // "kestra <args> --no-browse --hosts <names of which>"
    Run on(const QList<int> &which, const QStringList &args, const QByteArray &input = QByteArray())
    {
        QStringList names;
        for (int i : which)
            names << m_agents[size_t(i)].name;
        return kestra(args + QStringList{u"--no-browse"_s, u"--hosts"_s, names.join(u',')}, input);
    }
    QJsonValue answerOf(const Run &r, int i) { return json(r).value(m_agents[size_t(i)].host + u'.'); }
    QStringList callsOf(int i)
    {
        return answerOf(on({i}, {u"call"_s, u"fakeCalls"_s, u"--json"_s}), i).toVariant().toStringList();
    }
    ZDServicePtr manual(const ZDFakeAgent &agent, const QString &name = QStringLiteral("Edit Bay"))
    {
        return ZDService::serviceWithName(name, QString(), QStringLiteral("127.0.0.1"), agent.port(), m_callback);
    }

private Q_SLOTS:
    void initTestCase()
    {
        m_sandbox = std::make_unique<ZDTestSandbox>();
        QVERIFY(m_sandbox->isValid());
        ZDLog::createNewLog(QStringLiteral("tst_zdservice"));
        QVERIFY2(QFile::exists(ZDFakeAgent::program()), qPrintable(ZDFakeAgent::program()));
        m_callback = std::make_shared<ZDErrorCallback>();
        ZDService::setRetryInterval(300);
        m_kestra = QDir(QCoreApplication::applicationDirPath()).filePath(u"../../bin/kestra"_s);
        QVERIFY2(QFileInfo(m_kestra).isExecutable(), qPrintable(m_kestra));
        m_passwordFile = m_sandbox->path(u"agent-password"_s);
        QVERIFY(ZDTestSandbox::writeFile(m_passwordFile, kPassword.toUtf8()));
        const QString tag = QString::number(QCoreApplication::applicationPid());
        for (int i = 0; i < 2; ++i) {
            Agent a;
            a.host = u"cli-%1-%2"_s.arg(tag).arg(i);
            a.name = u"Edit Bay %1"_s.arg(i);
            QVERIFY(a.start(kUser, m_passwordFile));
            m_agents.push_back(std::move(a));
        }
    }
    void init()
    {
        ZDService::setMinimumVersions(0, 0);
        ZDService::setAdminVersion(100);
        ZDService::setConfigurationTimeout(20000);
    }
    void cleanupTestCase() { m_callback.reset(); }
    void connectsAndIsConfigured()
    {
        const QString host = uniqueName("host") + QStringLiteral(".local.");
        ZDFakeAgent agent({QStringLiteral("--version"), QStringLiteral("1020"), QStringLiteral("--orv"),
                           QStringLiteral("7"), QStringLiteral("--host"), host});
        QVERIFY(agent.start());
        auto s = manual(agent);
        QSignalSpy connected(s.get(), &ZDService::serviceConnected);
        QTRY_VERIFY_WITH_TIMEOUT(s->isConnected() && !s->configDict().isEmpty(), kWait);
        QCOMPARE(s->errorCode(), 0);
        QCOMPARE(s->hostName(), host); // from "preferredHostName"
        QCOMPARE(s->hostKey(), QStringLiteral("127.0.0.1"));
        QCOMPARE(s->ipAddress(), QStringLiteral("127.0.0.1"));
        QVERIFY(s->isConnectionThreadRunning());
        QTRY_COMPARE_WITH_TIMEOUT(connected.size(), 1, kWait);
        QVERIFY(agent.waitForLine(QStringLiteral("CALL setErrorCallback:")));
        QVERIFY(s->ping());
        QTRY_VERIFY_WITH_TIMEOUT(!s->isProcessing(), kWait);
        // A purposeful disconnect ends the thread and is not retried.
        s->disconnect();
        QVERIFY(!s->isConnected());
        QTRY_VERIFY_WITH_TIMEOUT(!s->isConnectionThreadRunning(), kWait);
        QVERIFY(!s->proxyObject());
        QTest::qWait(3 * ZDService::retryInterval());
        QVERIFY(!s->isConnected());
        QCOMPARE(agent.calls(QStringLiteral("fetchInitialConfiguration:")), 1);
        // ...but may start over.
        s->connectOnThread();
        QTRY_VERIFY_WITH_TIMEOUT(s->isConnected(), kWait);
        QVERIFY(agent.waitForLine(QStringLiteral("CALL fetchInitialConfiguration:")));
    }
    void errorCodes()
    {
        const QString v = QStringLiteral("--version"), o = QStringLiteral("--orv");
        const struct { const char *name; QStringList agentArgs; int minClient, minOrv, code; } cases[] = {
            {"current", {v, QStringLiteral("1100"), o, QStringLiteral("9")}, 1000, 5, 0},
            {"client outdated", {v, QStringLiteral("900"), o, QStringLiteral("9")}, 1000, 5, 2006},
            {"tools outdated", {v, QStringLiteral("1100"), o, QStringLiteral("4")}, 1000, 5, 2007},
            {"no orvVersion", {v, QStringLiteral("1100")}, 1000, 1, 2007},
            {"no version", {o, QStringLiteral("9")}, 1000, 5, 0},
            {"no dictionary", {QStringLiteral("--null-config")}, 0, 0, 2001},
            {"no answer", {QStringLiteral("--no-config")}, 0, 0, 2008}};
        for (const auto &c : cases) {
            ZDService::setMinimumVersions(c.minClient, c.minOrv);
            ZDService::setConfigurationTimeout(500);
            ZDFakeAgent agent(c.agentArgs);
            QVERIFY2(agent.start(), c.name);
            auto s = manual(agent);
            QSignalSpy localErrors(s.get(), &ZDService::postLocalError);
            QSignalSpy failed(s.get(), &ZDService::serviceConnectFailed);
            QTRY_VERIFY2_WITH_TIMEOUT(s->isConnected(), c.name, kWait);
            if (c.code == 0) {
                QTRY_VERIFY2_WITH_TIMEOUT(!s->configDict().isEmpty(), c.name, kWait);
                QTest::qWait(1000); // past the configuration time-out: nothing may follow
                QVERIFY2(s->errorCode() == 0 && localErrors.isEmpty(), c.name);
                continue;
            }
            QTRY_COMPARE_WITH_TIMEOUT(s->errorCode(), c.code, kWait);
            QTRY_VERIFY2_WITH_TIMEOUT(!localErrors.isEmpty(), c.name, kWait);
            QCOMPARE(localErrors.last().at(0).toInt(), c.code);
            if (c.code == 2008) {
                QTRY_COMPARE_WITH_TIMEOUT(failed.size(), 1, kWait);
                QVERIFY(s->isConnected()); // the link itself stays
            }
        }
    }
    void agentNeedsNewerAdmin()
    {
        ZDFakeAgent agent({QStringLiteral("--min-admin"), QStringLiteral("250")});
        QVERIFY(agent.start());
        ZDService::setAdminVersion(200);
        auto s = manual(agent);
        QSignalSpy outdated(s.get(), &ZDService::adminOutdated);
        QTRY_COMPARE_WITH_TIMEOUT(outdated.size(), 1, kWait);
        ZDService::setAdminVersion(250);
        auto t = manual(agent);
        QSignalSpy notOutdated(t.get(), &ZDService::adminOutdated);
        // The version check runs before the spinner stops; what it posted is delivered next.
        QTRY_VERIFY_WITH_TIMEOUT(!t->configDict().isEmpty() && !t->isProcessing(), kWait);
        QCoreApplication::processEvents();
        QCOMPARE(notOutdated.size(), 0);
    }
    void agentWithoutConfigurationRequest()
    {
        ZDFakeAgent agent({QStringLiteral("--no-fetch")});
        QVERIFY(agent.start());
        auto s = manual(agent);
        QSignalSpy connected(s.get(), &ZDService::serviceConnected);
        QTRY_VERIFY_WITH_TIMEOUT(!s->isConnectionThreadRunning(), kWait);
        QVERIFY(!s->isConnected());
        QTest::qWait(3 * ZDService::retryInterval());
        QVERIFY(!s->isConnected());
        QCOMPARE(connected.size(), 0);
        QCOMPARE(agent.calls(QStringLiteral("setErrorCallback:")), 0);
    }
    void connectionStages()
    {
        const QString registered = QStringLiteral("KestraClient - ") + uniqueName("stage") + QStringLiteral(".local.");
        ZDFakeAgent agent({QStringLiteral("--name"), registered});
        QVERIFY(agent.start());
        const QString nowhere = uniqueName("nowhere") + QStringLiteral(".invalid");
        // By registered name: the TXT name is the one the agent's hello carries.
        auto byName = ZDService::serviceWithNetService(
            netService(nowhere, agent.port(), {QStringLiteral("127.0.0.1")}, registered), m_callback);
        QTRY_VERIFY_WITH_TIMEOUT(byName->isConnected(), kWait);
        byName->invalidate(false);
        // A wrong name, an unknown host and a single address: no third stage, so no link.
        auto single = ZDService::serviceWithNetService(
            netService(nowhere, agent.port(), {QStringLiteral("127.0.0.1")}, QStringLiteral("KestraClient - other.")),
            m_callback);
        QSignalSpy failed(single.get(), &ZDService::serviceConnectFailed);
        QTRY_VERIFY_WITH_TIMEOUT(!failed.isEmpty(), kWait);
        QVERIFY(!single->isConnected());
        single->invalidate(false);
        // Several addresses: the alternates are tried in order, IPv6 among them.
        auto alternate = ZDService::serviceWithNetService(
            netService(nowhere, agent.port(), {QStringLiteral("no-address"), QStringLiteral("::1")},
                       QStringLiteral("KestraClient - other.")),
            m_callback);
        QTRY_VERIFY_WITH_TIMEOUT(alternate->isConnected(), kWait);
        QCOMPARE(alternate->ipAddress(), QString()); // no IPv4 address resolved
        alternate->invalidate(false);
    }
    // Many computers at once: each on its own thread, all ended together.
    void manyRecords()
    {
        // Four agents: a listener takes at most 32 links from one address.
        std::vector<std::unique_ptr<ZDFakeAgent>> agents;
        QList<ZDServicePtr> records;
        while (agents.size() < 4) {
            agents.push_back(std::make_unique<ZDFakeAgent>(QStringList{QStringLiteral("--version"), QStringLiteral("1100")}));
            QVERIFY(agents.back()->start());
            for (int i = 0; i < 25; ++i)
                records << ZDService::serviceWithName(QStringLiteral("bay %1").arg(records.size()), QString(),
                                                      QStringLiteral("127.0.0.1"), agents.back()->port(), m_callback);
        }
        auto configured = [&] {
            return std::all_of(records.cbegin(), records.cend(),
                               [](const ZDServicePtr &s) { return s->isConnected() && !s->configDict().isEmpty(); });
        };
        QTRY_VERIFY_WITH_TIMEOUT(configured(), 60000);
        ZDService::invalidateServices(records, false);
        for (const auto &s : std::as_const(records))
            QVERIFY(!s->isConnected());
        QTRY_VERIFY_WITH_TIMEOUT(std::none_of(records.cbegin(), records.cend(),
                                              [](const ZDServicePtr &s) { return s->isConnectionThreadRunning(); }),
                                 kWait);
    }
    void registeredNames()
    {
        // Host names with and without the final dot; a TXT name cut to 63 characters.
        for (const auto &[host, txt, name] : {std::tuple{u"bay-1.local"_s, QString(), u"KestraClient - bay-1.local."_s},
                                              {u"bay-2.local."_s, QString(), u"KestraClient - bay-2.local."_s},
                                              {u"bay-3.local."_s, QString(70, u'n'), QString(63, u'n')}}) {
            const auto s = ZDService::serviceWithNetService(netService(host, 1, {}, txt), m_callback);
            QCOMPARE(s->registeredName(), name);
            s->invalidate(false);
        }
        const auto manualRecord = ZDService::serviceWithName(u"m"_s, QString(), u"127.0.0.1"_s, 1, m_callback);
        QCOMPARE(manualRecord->registeredName(), QString());
        manualRecord->invalidate(false);
    }
    void invalidateEndsThread()
    {
        ZDFakeAgent agent;
        QVERIFY(agent.start());
        auto s = manual(agent);
        QSignalSpy invalidated(s.get(), &ZDService::serviceInvalidated);
        QTRY_VERIFY_WITH_TIMEOUT(s->isConnected(), kWait);
        QElapsedTimer clock;
        clock.start();
        s->invalidate(true);
        QVERIFY2(clock.elapsed() < 10000, "invalidate blocked its caller"); // a hang, not a timing
        QVERIFY(!s->isConnected());
        QTRY_VERIFY_WITH_TIMEOUT(!s->isConnectionThreadRunning(), kWait);
        QTRY_COMPARE_WITH_TIMEOUT(invalidated.size(), 1, kWait);
        s->connectOnThread(); // the end of the record
        QVERIFY(!s->isConnectionThreadRunning());
        // A record dropped while connected takes its thread with it.
        auto t = manual(agent);
        QTRY_VERIFY_WITH_TIMEOUT(t->isConnected(), kWait);
        t.reset();
        QVERIFY(agent.calls(QStringLiteral("fetchInitialConfiguration:")) >= 2);
    }
    void iconCache()
    {
        const QString host = uniqueName("icon") + QStringLiteral(".local.");
        const QStringList args{QStringLiteral("--host"), host};
        QFile::remove(ZDService::iconCachePath());
        // Asked of the agent and cached; another record for that host takes it from the cache;
        // a damaged cache entry is not an icon, so the agent is asked again.
        for (const QLatin1String step : {"fetched"_L1, "cached"_L1, "damaged"_L1}) {
            if (step == "damaged"_L1) {
                QVariantMap cache = ZDPropertyList::readDictionary(ZDService::iconCachePath());
                cache.insert(host, QByteArray("not a picture"));
                QVERIFY(ZDPropertyList::writeFile(ZDService::iconCachePath(), cache));
            }
            ZDFakeAgent agent(args);
            QVERIFY(agent.start());
            auto s = manual(agent);
            QTRY_VERIFY_WITH_TIMEOUT(!s->icon().isEmpty(), kWait);
            QCOMPARE(QImage::fromData(s->icon()).size(), QSize(16, 16));
            QCOMPARE(agent.calls(QStringLiteral("computerIcon")) > 0, step != "cached"_L1);
            const QVariantMap cache = ZDPropertyList::readDictionary(ZDService::iconCachePath());
            QVERIFY(!QImage::fromData(cache.value(host).toByteArray()).isNull());
        }
        QVERIFY(ZDService::iconCachePath().contains(QLatin1String("/Kestra Admin/serviceicons.cache.plist")));
        {
            ZDFakeAgent agent({QStringLiteral("--host"), uniqueName("noicon"), QStringLiteral("--no-icon")});
            QVERIFY(agent.start());
            auto s = manual(agent);
            QTRY_VERIFY_WITH_TIMEOUT(!s->configDict().isEmpty(), kWait);
            QTest::qWait(300);
            QVERIFY(s->icon().isEmpty());
            QVERIFY(s->isConnected());
        }
    }
    void modelIcons()
    {
        // The matching rules (whole names before prefixes, the longer prefix first), not every entry; "": no icon.
        const struct { const char *model, *file; } cases[] = {
            {"MacPro5,1", "tower"}, {"PowerMac10,2", "mini"}, {"MacBook5,2", "laptop-white"},
            {"PowerMac3,5", "tower-classic"}, {"iMac5,1", "allinone"}, {"LinuxVM", "vm"}, {"Toaster1,1", ""}, {"", ""}};
        for (const auto &c : cases) {
            const QImage icon = ZDService::iconForMacModel(QString::fromLatin1(c.model), 16);
            const QString file = QString::fromLatin1(c.file);
            QVERIFY2(file.isEmpty() ? icon.isNull()
                                    : icon == QImage(QStringLiteral(":/kestra/icons/%1.png").arg(file))
                                                  .scaled(16, 16, Qt::KeepAspectRatio, Qt::SmoothTransformation),
                     c.model);
        }
    }
    void archive()
    {
        auto s = ZDService::serviceWithName(QStringLiteral("Bay ✓"), QStringLiteral("bay.local."),
                                            QStringLiteral("127.0.0.1"), 1, m_callback);
        s->invalidate(false);
        s->setNeedsMaintenance(true);
        QByteArray data;
        {
            QDataStream out(&data, QIODevice::WriteOnly);
            s->archive(out);
        }
        QDataStream in(data);
        auto copy = ZDService::serviceFromArchive(in);
        QVERIFY(copy);
        QCOMPARE(copy->name(), s->name());
        QCOMPARE(copy->hostName(), s->hostName());
        QCOMPARE(copy->port(), 1);
        QVERIFY(copy->needsMaintenance());
        QVERIFY(!copy->isConnected());
        QVERIFY(!copy->isConnectionThreadRunning());
        // Cut short or lying about its lengths: refused.
        for (qsizetype cut : {qsizetype(0), qsizetype(3), data.size() - 1}) {
            QDataStream damaged(data.left(cut));
            QVERIFY(!ZDService::serviceFromArchive(damaged));
        }
        QByteArray huge;
        {
            QDataStream out(&huge, QIODevice::WriteOnly);
            out << quint32(0x7ffffff0);
        }
        QDataStream hostile(huge);
        QVERIFY(!ZDService::serviceFromArchive(hostile));
    }
    // Two real agents on session buses of their own: a killed agent's crash report opens in the crash-report
    // tool, and Gather Logs collects what the real console and the agents wrote, crash reports included.
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
    // The kestra command line end to end: the console's settings and state in the sandbox, kestra run as a
    // child each time.
    void addListCallRemove()
    {
        for (const Agent &a : m_agents) {
            const Run r = kestra({u"add"_s, a.name, u"127.0.0.1"_s, QString::number(a.port)});
            QVERIFY2(r.exit() == 0, qPrintable(r.err));
        }
        // The sheet's rules (the discovery's table): the same address and port twice, a low port.
        Run r = kestra({u"add"_s, u"Other"_s, u"127.0.0.1"_s, QString::number(m_agents[0].port)});
        QCOMPARE(r.exit(), 1);
        QVERIFY(r.err.contains(u"Connection already exists"_s));
        QCOMPARE(kestra({u"add"_s, u"X"_s, u"10.0.0.1"_s, u"1024"_s}).exit(), 1);
        QCOMPARE(kestra({u"add"_s, u"X"_s}).exit(), 2);
        r = kestra({u"list"_s, u"--no-browse"_s, u"--wait"_s, u"20"_s});
        QCOMPARE(r.exit(), 0);
        for (const Agent &a : m_agents) {
            const QStringList line = r.out.split(u'\n').filter(a.name);
            QCOMPARE(line.size(), 1);
            QVERIFY2(line.first().contains(u" connected"_s), qPrintable(r.out));
            QVERIFY(line.first().contains(a.host));
        }
        // A read across both, merged by host name.
        r = on({0, 1}, {u"call"_s, u"systemSpecs"_s, u"--json"_s});
        QVERIFY2(r.exit() == 0, qPrintable(r.err));
        QJsonObject o = json(r);
        QCOMPARE(o.size(), 2);
        for (const Agent &a : m_agents)
            QCOMPARE(o.value(a.host + u'.').toObject().value(u"host"_s).toString(), a.host);
        // Arguments are JSON values; the count must fit the operation.
        r = on({1}, {u"call"_s, u"logWithFilename:"_s, u"\"/tmp/a b\""_s, u"--json"_s});
        QCOMPARE(answerOf(r, 1).toString(), u"text of /tmp/a b"_s);
        QCOMPARE(on({1}, {u"call"_s, u"logWithFilename:"_s}).exit(), 2);
        // The table form names each computer.
        r = on({0, 1}, {u"call"_s, u"ping"_s});
        QCOMPARE(r.exit(), 0);
        QVERIFY(r.out.contains(m_agents[0].host) && r.out.contains(m_agents[1].host));
        QCOMPARE(kestra({u"remove"_s, m_agents[0].name}).exit(), 0);
        QCOMPARE(kestra({u"remove"_s, m_agents[0].name}).exit(), 1);
        r = kestra({u"list"_s, u"--no-browse"_s});
        QVERIFY(!r.out.contains(m_agents[0].name));
        QVERIFY(r.out.contains(m_agents[1].name));
        QCOMPARE(kestra({u"add"_s, m_agents[0].name, u"127.0.0.1"_s, QString::number(m_agents[0].port)}).exit(), 0);
    }
    void tasksRunAndCredentials()
    {
        Run r = on({0}, {u"tasks"_s, u"--json"_s});
        QCOMPARE(r.exit(), 0);
        const QJsonObject tool = answerOf(r, 0).toArray().first().toObject();
        QCOMPARE(tool.value(u"bundleid"_s).toString(), u"com.zendrel.faketool"_s);
        // As the agent's user, by tool name, options after the task.
        r = on({0, 1}, {u"run"_s, u"Fake Tool"_s, u"clean"_s, u"-v"_s});
        QVERIFY2(r.exit() == 0, qPrintable(r.err));
        for (int i : {0, 1})
            QVERIFY(callsOf(i).contains(u"executeTask clean com.zendrel.faketool -v"_s));
        // With rights: the credentials come from standard input here (no terminal).
        const QStringList admin{u"run"_s, u"com.zendrel.faketool"_s, u"clean"_s, u"--admin"_s};
        r = on({0}, admin, (kUser + u'\n' + kPassword + u'\n').toUtf8());
        QVERIFY2(r.exit() == 0, qPrintable(r.err));
        QVERIFY(callsOf(0).contains(u"authExecuteTask clean com.zendrel.faketool %1 ok"_s.arg(kUser)));
        // A wrong password asks again; the end of input cancels, and the run fails.
        r = on({1}, admin, (kUser + u"\nwrong\n"_s).toUtf8());
        QCOMPARE(r.exit(), 1);
        QVERIFY(r.err.contains(u"Invalid username or password"_s));
        QVERIFY(callsOf(1).filter(u"authExecuteTask"_s).isEmpty());
        QVERIFY(!r.out.contains(kPassword) && !r.err.contains(kPassword));
    }
    void errorsKeptBetweenRuns()
    {
        QCOMPARE(kestra({u"errors"_s, u"--clear"_s}).exit(), 0);
        QCOMPARE(on({1}, {u"call"_s, u"fakePostError:"_s, u"Scratch disk full"_s}).exit(), 0);
        const Run r = kestra({u"errors"_s});
        QCOMPARE(r.exit(), 0);
        QVERIFY2(r.out.contains(u"Scratch disk full"_s), qPrintable(r.out));
        QVERIFY(r.out.contains(m_agents[1].host));
        QCOMPARE(kestra({u"errors"_s, u"--clear"_s}).exit(), 0);
        QVERIFY(!kestra({u"errors"_s}).out.contains(u"Scratch disk full"_s));
    }
    // Usage and version on request; an add says only that; the wait ends once every computer answered (a
    // real agent has no host name without the tool suite), and the helper gives up long before 600 s.
    void behavesLikeACommand()
    {
        for (const QString &arg : {u"--help"_s, u"-h"_s, u"--version"_s}) {
            const Run h = kestra({arg});
            QVERIFY2(h.exit() == 0 && QRegularExpression(u"^(usage: kestra|kestra [0-9.]+ \\(\\d+\\)\\n$)"_s).match(h.out).hasMatch(), qPrintable(h.out));
        }
        ZDRealAgent agent;
        QVERIFY2(agent.start(ZDRealAgent::freePort()), qPrintable(agent.output()));
        const QString port = QString::number(agent.port());
        Run r = kestra({u"add"_s, u"Real"_s, u"127.0.0.1"_s, port});
        QCOMPARE(r.out + r.err, u"Added Real (127.0.0.1:%1).\n"_s.arg(port));
        r = kestra({u"call"_s, u"ping"_s, u"--no-browse"_s, u"--wait"_s, u"600"_s});
        QVERIFY2(r.exit() == 0 && r.out.contains(u"Real "_s), qPrintable(r.err));
        QCOMPARE(kestra({u"remove"_s, u"Real"_s}).exit(), 0);
    }
    // Last: it stops an agent.
    void exitStatusOnFailure()
    {
        Run r = kestra({u"call"_s, u"ping"_s, u"--no-browse"_s, u"--hosts"_s, m_agents[0].name + u",Nobody"_s});
        QCOMPARE(r.exit(), 1);
        QVERIFY(r.err.contains(u"Nobody: not found"_s));
        m_agents[1].kill();
        r = on({0, 1}, {u"call"_s, u"systemSpecs"_s, u"--json"_s, u"--wait"_s, u"2"_s});
        QCOMPARE(r.exit(), 1);
        const QJsonObject o = json(r);
        QCOMPARE(o.size(), 1);
        QVERIFY(o.contains(m_agents[0].host + u'.'));
        QVERIFY2(r.err.contains(m_agents[1].name), qPrintable(r.err));
    }
    // Control and escape characters an agent puts in its name never reach the terminal raw.
    void kestraPrintsNoEscapes()
    {
        const QString settings = m_sandbox->path(u"cli-evil.ini"_s);
        ZDFakeTaskAgent agent(u"evil\x1b]0;owned\x07-\u009b31m-%1"_s.arg(QCoreApplication::applicationPid()));
        QVERIFY(agent.start());
        QCOMPARE(kestra({u"add"_s, u"evil"_s, u"127.0.0.1"_s, QString::number(agent.port), u"--settings"_s, settings}).exit(), 0);
        for (const QString &json : {QString(), u"--json"_s}) {
            QStringList args{u"call"_s, u"systemSpecs"_s, u"--no-browse"_s, u"--settings"_s, settings};
            const Run r = kestra(json.isEmpty() ? args : args << json);
            for (const QChar c : {QChar(0x1b), QChar(0x07), QChar(0x9b)})
                QVERIFY(!r.out.contains(c) && !r.err.contains(c));
            QVERIFY2(r.out.contains(u"\\u001b]0;owned\\u0007-\\u009b31m"_s), qPrintable(r.out)); // values as JSON: escaped, not lost
        }
    }
};

QTEST_GUILESS_MAIN(TestZDService)
#include "tst_zdservice.moc"
