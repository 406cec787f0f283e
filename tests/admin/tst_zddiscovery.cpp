// The console's computer list: DNS-SD through the machine's avahi-daemon (other
// agents may be published there too, so every case looks for its own names),
// manual connections in a settings file of the sandbox, look-ups and groups; a rogue agent and a planted
// link: nothing is spoofed, deleted or printed raw, and the honest computer keeps working.
#include "ZDArchive.h"
#include "ZDCredentialStore.h"
#include "ZDDiscovery.h"
#include "ZDDispatcher.h"
#include "ZDErrorCallback.h"
#include "ZDFakeAgent.h"
#include "ZDLocalPaths.h"
#include "ZDLog.h"
#include "ZDLogGathering.h"
#include "ZDNotificationCenter.h"
#include "ZDRealAgent.h"
#include "ZDService.h"
#include "ZDTestProcess.h"
#include "ZDTestSandbox.h"
#include "ZDTestThreads.h"

#include <QSignalSpy>
#include <QtTest>
#include <csignal>

namespace {

constexpr int kWait = 30000;

QString uniqueName(const char *what)
{
    static int n = 0;
    return QStringLiteral("disc-%1-%2-%3").arg(QCoreApplication::applicationPid()).arg(QLatin1String(what)).arg(++n);
}

ZDServicePtr named(const ZDDiscovery &discovery, const QString &name)
{
    for (const auto &s : discovery.allServices()) {
        if (s->name() == name)
            return s;
    }
    return nullptr;
}

QStringList names(const QList<ZDServicePtr> &services)
{
    QStringList result;
    for (const auto &s : services)
        result << s->name();
    return result;
}

} // namespace

class TestZDDiscovery : public QObject
{
    Q_OBJECT
    std::unique_ptr<ZDTestSandbox> m_sandbox;
    std::shared_ptr<ZDErrorCallback> m_callback;
    QString m_settings;

private Q_SLOTS:
    void initTestCase()
    {
        m_sandbox = std::make_unique<ZDTestSandbox>();
        QVERIFY(m_sandbox->isValid());
        ZDLog::createNewLog(ZDLogGathering::adminName()); // the console's own log, gathered below
        QVERIFY2(QFile::exists(ZDFakeAgent::program()), qPrintable(ZDFakeAgent::program()));
        m_callback = std::make_shared<ZDErrorCallback>();
        ZDService::setMinimumVersions(0, 0);
        ZDService::setRetryInterval(300);
    }
    void init() { m_settings = m_sandbox->path(uniqueName("settings") + QStringLiteral(".ini")); }
    void validation()
    {
        const QString n = QStringLiteral("Bay"), ip = QStringLiteral("10.0.0.1"), p = QStringLiteral("35011");
        const struct { QString name, ip, port; bool valid; } cases[] = {
            {n, QStringLiteral("localhost"), p, true},
            {n, QStringLiteral("300.1.1.1"), p, true}, // parts are not checked against 255
            {n, QStringLiteral("010.0.0.1"), p, false},
            {n, QStringLiteral("10.0.0"), p, false},
            {n, QStringLiteral("1.2.3.4.5"), p, false},
            {n, QStringLiteral("a.b.c.d"), p, false},
            {n, QStringLiteral("1..2.3.4"), p, false},
            {n, QStringLiteral("-1.2.3.4"), p, false},
            {n, QStringLiteral(" 1.2.3.4"), p, false},
            {n, QStringLiteral("100.100.100.1000"), p, false},
            {n, QStringLiteral("bay.local"), p, false},
            {n, ip, QStringLiteral("1024"), false},
            {n, ip, QStringLiteral("1025"), true},
            {n, ip, QStringLiteral("65535"), true},
            {n, ip, QStringLiteral("65536"), false},
            {n, ip, QStringLiteral("http"), false},
            {n, ip, QStringLiteral("2000x"), false},
            {n, ip, QStringLiteral("99999999999999"), false},
            {QString(), ip, p, false},
            {QString(255, QLatin1Char('x')), ip, p, true},
            {QString(256, QLatin1Char('x')), ip, p, false}};
        for (const auto &c : cases)
            QVERIFY2(ZDDiscovery::validateManualConnectionSettings(c.name, c.ip, c.port) == c.valid,
                     qPrintable(c.name.left(8) + u' ' + c.ip + u':' + c.port));
    }
    void manualConnections()
    {
        ZDFakeAgent agent;
        QVERIFY(agent.start());
        const QString port = QString::number(agent.port());
        const QString name = uniqueName("manual");
        {
            ZDDiscovery discovery(m_callback, m_settings);
            QSignalSpy available(&discovery, &ZDDiscovery::servicesAvailableChanged);
            QSignalSpy added(&discovery, &ZDDiscovery::serviceAdded);
            QString title, text;
            QVERIFY(!discovery.submitManualConnection(name, QStringLiteral("10.0.0"), port, &title, &text));
            QVERIFY(!title.isEmpty());
            QVERIFY(discovery.manualConnections().isEmpty());
            QVERIFY(discovery.submitManualConnection(name, QStringLiteral("127.0.0.1"), port, &title, &text));
            QCOMPARE(added.size(), 1);
            const auto s = named(discovery, name);
            QVERIFY(s);
            QVERIFY(s->isManual());
            QTRY_VERIFY_WITH_TIMEOUT(s->isConnected(), kWait);
            QTRY_VERIFY_WITH_TIMEOUT(discovery.servicesAvailable(), kWait);
            QCOMPARE(available.last().at(0).toBool(), true);
            QCOMPARE(discovery.serviceWithManualIP(QStringLiteral("127.0.0.1")), s);
            QCOMPARE(discovery.serviceWithIPAddress(QStringLiteral("127.0.0.1")), s);
            QVERIFY(!discovery.serviceWithManualIP(QStringLiteral("127.0.0.2")));
            // A disabled computer does not count as available.
            s->setEnabled(false);
            discovery.updateAvailableServices();
            QVERIFY(!discovery.servicesAvailable());
        }
        {
            QSettings stored(m_settings, QSettings::IniFormat);
            const QVariantList list = stored.value(QStringLiteral("manualConnections")).toList();
            QCOMPARE(list.size(), 1);
            const QVariantMap entry = list.first().toMap();
            QCOMPARE(entry.value(QStringLiteral("name")).toString(), name);
            QCOMPARE(entry.value(QStringLiteral("ip")).toString(), QStringLiteral("127.0.0.1"));
            QCOMPARE(entry.value(QStringLiteral("port")).toString(), port);
        }
        {
            // The next start connects them again; removal forgets them.
            ZDDiscovery discovery(m_callback, m_settings);
            discovery.processManualConnections();
            discovery.processManualConnections(); // once is enough
            const auto s = named(discovery, name);
            QVERIFY(s);
            QCOMPARE(discovery.allServices().size(), 1);
            QTRY_VERIFY_WITH_TIMEOUT(s->isConnected(), kWait);
            QSignalSpy removed(&discovery, &ZDDiscovery::serviceRemoved);
            QVERIFY(discovery.removeManualConnection(name));
            QCOMPARE(removed.size(), 1);
            QVERIFY(discovery.allServices().isEmpty());
            QVERIFY(discovery.manualConnections().isEmpty());
            QVERIFY(s->isInvalidated());
            QTRY_VERIFY_WITH_TIMEOUT(!s->isConnectionThreadRunning(), kWait);
            QVERIFY(!discovery.removeManualConnection(name));
        }
    }
    void damagedSettings()
    {
        {
            QSettings stored(m_settings, QSettings::IniFormat);
            stored.setValue(QStringLiteral("manualConnections"),
                            QVariantList{QStringLiteral("junk"), 42,
                                         QVariantMap{{QStringLiteral("name"), QStringLiteral("ok")},
                                                     {QStringLiteral("ip"), QStringLiteral("127.0.0.1")},
                                                     {QStringLiteral("port"), QStringLiteral("1")}},
                                         QVariantMap{{QStringLiteral("name"), QStringLiteral("no port")},
                                                     {QStringLiteral("ip"), QStringLiteral("127.0.0.1")}}});
        }
        ZDDiscovery discovery(m_callback, m_settings);
        QCOMPARE(discovery.manualConnections().size(), 2);
        discovery.processManualConnections();
        QCOMPARE(names(discovery.allServices()), QStringList{QStringLiteral("ok")});
        QSettings(m_settings, QSettings::IniFormat).setValue(QStringLiteral("manualConnections"), QStringLiteral("text"));
        QVERIFY(discovery.manualConnections().isEmpty());
    }
    void listOrderAndGroups()
    {
        ZDDiscovery discovery(m_callback, m_settings);
        auto first = std::make_shared<ZDServiceGroup>(QStringLiteral("A"), QStringList{QStringLiteral("127.0.0.9")});
        auto second = std::make_shared<ZDServiceGroup>(QStringLiteral("B"), QStringList{QStringLiteral("127.0.0.9")});
        discovery.setGroups({first, second});
        for (const char *n : {"zeta", "Alpha", "beta"})
            QVERIFY(discovery.addManualConnection(QLatin1String(n), QStringLiteral("127.0.0.1"), 1));
        QCOMPARE(names(discovery.topLevelServices()), (QStringList{QStringLiteral("Alpha"), QStringLiteral("beta"), QStringLiteral("zeta")}));
        auto grouped = discovery.addManualConnection(QStringLiteral("grouped"), QStringLiteral("127.0.0.9"), 1);
        QVERIFY(grouped);
        QCOMPARE(first->children(), QList<ZDServicePtr>{grouped});
        QVERIFY(second->children().isEmpty());
        QCOMPARE(grouped->parentGroup(), first.get());
        QCOMPARE(discovery.allServices().size(), 4);
        QCOMPARE(discovery.serviceWithManualIP(QStringLiteral("127.0.0.9")), grouped);
        QVERIFY(discovery.removeService(grouped));
        QVERIFY(first->children().isEmpty());
        QVERIFY(!grouped->parentGroup());
        // A group that goes away leaves no dangling parent behind.
        auto third = std::make_shared<ZDServiceGroup>(QStringLiteral("C"));
        third->addChild(grouped);
        QCOMPARE(grouped->parentGroup(), third.get());
        third.reset();
        QVERIFY(!grouped->parentGroup());
        QVERIFY(!discovery.addManualConnection(QStringLiteral("no port"), QStringLiteral("127.0.0.1"), 0));
        QVERIFY(!discovery.addManualConnection(QString(), QStringLiteral("127.0.0.1"), 1));
    }
    void hostNameLookups()
    {
        const QString dotless = uniqueName("dotless") + QStringLiteral(".local");
        const QString dotted = uniqueName("dotted") + QStringLiteral(".local.");
        ZDFakeAgent a({QStringLiteral("--host"), dotless});
        ZDFakeAgent b({QStringLiteral("--host"), dotted});
        QVERIFY(a.start());
        QVERIFY(b.start());
        ZDDiscovery discovery(m_callback, m_settings);
        auto sa = discovery.addManualConnection(QStringLiteral("a"), QStringLiteral("127.0.0.1"), a.port());
        auto sb = discovery.addManualConnection(QStringLiteral("b"), QStringLiteral("127.0.0.1"), b.port());
        QTRY_VERIFY_WITH_TIMEOUT(!sa->hostName().isEmpty() && !sb->hostName().isEmpty(), kWait);
        QCOMPARE(discovery.serviceWithHostName(dotless + QLatin1Char('.')), sa);
        QCOMPARE(discovery.serviceWithHostName(dotless), sa);
        QCOMPARE(discovery.serviceWithHostName(dotted.chopped(1)), sb);
        QVERIFY(!discovery.serviceWithHostName(QString()));
        QVERIFY(!discovery.serviceWithHostName(QStringLiteral("elsewhere.local.")));
        // The agent says goodbye: a manual record stays listed, disconnected, without retry.
        QVERIFY(sb->isConnected() || QTest::qWaitFor([&] { return sb->isConnected(); }, kWait));
        QVERIFY(b.waitForLine(QStringLiteral("CALL setErrorCallback:")));
        b.send("willDisconnect");
        QTRY_VERIFY_WITH_TIMEOUT(sb->isInvalidated(), kWait);
        QVERIFY(!sb->isConnected());
        QTest::qWait(3 * ZDService::retryInterval());
        QVERIFY(!sb->isConnected());
        QCOMPARE(discovery.serviceWithHostName(dotted), sb);
        QVERIFY(sa->isConnected());
    }
    // A changed suite comes in by updateConfig: (sent as a tool task ends). Disconnect drops the
    // computer from the list and a batch waiting on it until manual connections are processed again.
    void realAgentUpdatesAndIsDisconnected()
    {
        ZDRealAgent agent;
        const QString app = agent.root() + QStringLiteral("/opt/Ondrel.app"), updates = app + QStringLiteral("/Contents/ZDUpdates.plist");
        QVERIFY(zdtest::copyTree(qEnvironmentVariable("KESTRA_APPS_DIR") + QStringLiteral("/Ondrel.app"), app));
        QVariantMap plist = ZDPropertyList::readDictionary(updates);
        const int suite = plist.value(QStringLiteral("ZDGroupVersion")).toInt();
        QVERIFY2(agent.start(ZDRealAgent::freePort()), qPrintable(agent.output()));
        ZDService::setMinimumVersions(0, suite);
        ZDDiscovery discovery(m_callback, m_settings);
        QVERIFY(discovery.submitManualConnection(QStringLiteral("Real"), QStringLiteral("127.0.0.1"), QString::number(agent.port())));
        const auto s = named(discovery, QStringLiteral("Real"));
        QTRY_VERIFY_WITH_TIMEOUT(s->isSettled() && s->ping() && s->errorCode() == 0, kWait);
        for (const int version : {suite - 1, suite}) {
            plist.insert(QStringLiteral("ZDGroupVersion"), QString::number(version));
            QVERIFY(ZDPropertyList::writeFile(updates, plist));
            QVERIFY(ZDNotificationCenter::postNotification(QStringLiteral("ZDKMTTaskFinished")));
            QTRY_VERIFY_WITH_TIMEOUT(s->isSettled() && s->errorCode() == (version < suite ? 2007 : 0), kWait);
        }
        ZDService::setMinimumVersions(0, 0);
        ZDDispatcher dispatcher([s] { return ZDDispatcher::ServiceList{s}; });
        QSignalSpy failed(&dispatcher, &ZDDispatcher::serviceFailed);
        QSignalSpy removed(&discovery, &ZDDiscovery::serviceRemoved);
        QCOMPARE(::kill(pid_t(agent.pid()), SIGSTOP), 0); // no answer comes
        dispatcher.executeRemoteTasks(QStringLiteral("clean"), QStringLiteral("com.zendrel.ondrel"), QVariant());
        QVERIFY(discovery.disconnectService(s));
        QTRY_COMPARE_WITH_TIMEOUT(failed.size(), 1, kWait);
        QCOMPARE(::kill(pid_t(agent.pid()), SIGCONT), 0);
        QCOMPARE(failed.first().at(1).toString(), QLatin1String(ZDDispatcher::kRemovedReason));
        QTRY_COMPARE_WITH_TIMEOUT(removed.value(0).value(0).value<ZDServicePtr>(), s, kWait);
        QVERIFY(discovery.allServices().isEmpty());
        discovery.processManualConnections();
        QTRY_VERIFY_WITH_TIMEOUT(discovery.allServices().value(0) && discovery.allServices().value(0)->isConnected(), kWait);
    }
    void dnssdAddAndRemove()
    {
        const QString service = uniqueName("published");
        const QString registered = QStringLiteral("KestraClient - ") + service + QStringLiteral(".local.");
        ZDDiscovery discovery(m_callback, m_settings);
        QSignalSpy removed(&discovery, &ZDDiscovery::serviceRemoved);
        discovery.start();
        QVERIFY(discovery.isBrowsing());
        ZDFakeAgent agent({QStringLiteral("--publish"), service, QStringLiteral("--name"), registered,
                           QStringLiteral("--model"), QStringLiteral("LinuxLaptop")});
        QVERIFY(agent.start());
        QVERIFY(agent.waitForLine(QStringLiteral("PUBLISHED ")));
        QTRY_VERIFY_WITH_TIMEOUT(named(discovery, service), kWait);
        auto s = named(discovery, service);
        QVERIFY(s->hasNetService());
        QVERIFY(!s->isManual());
        QVERIFY(s->hostName().endsWith(QLatin1Char('.')));
        QCOMPARE(s->port(), int(agent.port()));
        QVERIFY(!s->icon().isEmpty()); // from the TXT model
        QTRY_VERIFY_WITH_TIMEOUT(s->isConnected(), kWait);
        QCOMPARE(s->registeredName(), registered);
        QVERIFY(discovery.topLevelServices().contains(s));
        agent.stop(); // withdraws its publication
        QTRY_VERIFY_WITH_TIMEOUT(!named(discovery, service), kWait);
        QVERIFY(s->isInvalidated());
        QTRY_VERIFY_WITH_TIMEOUT(!s->isConnectionThreadRunning(), kWait);
        bool seen = false;
        for (const auto &args : removed)
            seen = seen || args.at(0).value<ZDServicePtr>() == s;
        QVERIFY(seen);
        // Found again when it comes back: a new record.
        QVERIFY(agent.start());
        QVERIFY(agent.waitForLine(QStringLiteral("PUBLISHED ")));
        QTRY_VERIFY_WITH_TIMEOUT(named(discovery, service), kWait);
        auto again = named(discovery, service);
        QVERIFY(again != s);
        QTRY_VERIFY_WITH_TIMEOUT(again->isConnected(), kWait);
        // Its invalidation with notice takes it off the list.
        again->invalidate(true);
        QTRY_VERIFY_WITH_TIMEOUT(!named(discovery, service), kWait);
        discovery.stop();
        QVERIFY(!discovery.isBrowsing());
    }
    // A rogue agent entered by hand claims the honest computer's name and sends every spoof for it.
    void rogueAgentCannotActForAnotherComputer()
    {
        const auto log = [] { return ZDLog::finishWriting(), ZDTestSandbox::readFile(ZDLog::availableLogs().value(0)); };
        const qsizetype ignoredBefore = log().count(" ignored."), unloggedBefore = log().count("ignored unlogged");
        const QString settings = m_settings, user = QStringLiteral("admin");
        auto errors = std::make_shared<ZDErrorCallback>();
        errors->setSettingsPath(settings);
        ZDDiscovery discovery(errors, settings);
        ZDFakeTaskAgent honest(QStringLiteral("victim-%1").arg(QCoreApplication::applicationPid())), rogue(honest.host);
        QVERIFY(honest.start() && rogue.start());
        const ZDServicePtr victim = discovery.addManualConnection(honest.host, QStringLiteral("127.0.0.1"), honest.port);
        QTRY_VERIFY_WITH_TIMEOUT(victim->isConnected() && !victim->hostName().isEmpty(), 30000);
        ZDCredentialStore store(settings);
        QVERIFY(store.setStoredUser(victim->credentialHost(), user));
        QVERIFY(store.storeKeychainPassword(user, QStringLiteral("kept"), victim->credentialHost()));
        const ZDServicePtr liar = discovery.addManualConnection(QStringLiteral("rogue"), QStringLiteral("localhost"), rogue.port);
        QTRY_VERIFY_WITH_TIMEOUT(liar->isConnected() && !liar->configDict().isEmpty(), 30000);
        QVariant calls;
        ZDDispatcher dispatcher([&] { return ZDDispatcher::ServiceList{liar}; });
        zdtest::offMain([&] {
            for (int i = 0; i < 4; ++i)
                liar->proxyObject()->call(QStringLiteral("fakeSpoof:"), {victim->hostName()});
            dispatcher.authExecuteRemoteTask(QStringLiteral("clean"), QStringLiteral("t"), {}, liar);
            calls = liar->proxyObject()->call(QStringLiteral("fakeCalls"));
        });
        // 24 spoofs arrived: 20 refusals logged, then one line for the rest.
        QTRY_VERIFY_WITH_TIMEOUT(log().count(" ignored.") == ignoredBefore + 20 && log().count("ignored unlogged") > unloggedBefore, 30000);
        QCOMPARE(discovery.allServices().size(), 2);
        QVERIFY(victim->isConnected() && !victim->isInvalidated() && !victim->needsMaintenance() && !liar->needsMaintenance());
        QCOMPARE(errors->errorCount(), 0);
        QCOMPARE(store.keychainPassword(user, victim->credentialHost()), QStringLiteral("kept"));
        QVERIFY(calls.toStringList().filter(QStringLiteral("validateUsername")).isEmpty());
        // The honest computer's own report still arrives.
        zdtest::offMain([&] { victim->proxyObject()->call(QStringLiteral("fakePostError:"), {QStringLiteral("honest")}); });
        QTRY_COMPARE_WITH_TIMEOUT(errors->errorCount(), 1, 30000);
        for (int i = 0; i < 2 * ZDErrorCallback::kMaxQueueLength; ++i) // one computer's flood keeps the others' reports
            errors->addStringToQueue(QString::number(i), i % 2 ? QStringLiteral("flood.") : QStringLiteral("FLOOD"));
        QCOMPARE(errors->errorQueue().last().toMap().value(QStringLiteral("description")), QVariant(QStringLiteral("honest")));
        QVERIFY(store.deleteKeychainPassword(user, victim->credentialHost()));
    }
    // A link planted where the working folder used to be is left alone, and so is its target.
    void gatherLogsIgnoresAPlantedLink()
    {
        const QString tmp = m_sandbox->path(QStringLiteral("tmp")), precious = m_sandbox->path(QStringLiteral("precious/file"));
        QVERIFY(QDir().mkpath(tmp) && ZDTestSandbox::writeFile(precious, "keep me"));
        QVERIFY(QFile::link(QFileInfo(precious).path(), tmp + QStringLiteral("/ZD_Log_Dump")));
        m_sandbox->setEnv("TMPDIR", tmp.toUtf8());
        QVERIFY(QDir().mkpath(ZDLocalPaths::desktopDirectory()));
        const ZDLogGathering::Outcome outcome = ZDLogGathering().gatherLocal();
        QVERIFY2(outcome.success, qPrintable(outcome.text));
        QCOMPARE(ZDTestSandbox::readFile(precious), QByteArray("keep me"));
        QVERIFY(ZDArchive::extractZip(outcome.archivePath, m_sandbox->path(QStringLiteral("out"))).ok);
        QVERIFY(QFile::exists(m_sandbox->path(QStringLiteral("out/ZD_Log_Dump/")) + ZDLogGathering::adminName() + QStringLiteral(".1.log")));
    }
};

QTEST_GUILESS_MAIN(TestZDDiscovery)
#include "tst_zddiscovery.moc"
