// The computer record against real agent processes on loopback: the connection
// stages, the configuration and its error codes, the lost agent and its retry,
// the icon table and cache, the archive, and ending the connection thread; a crashed real agent's
// report, and logs gathered from the real console and agents; the kestra command line against them.
#include "files/ZDArchive.h"
#include "console/ZDClientCrash.h"
#include "dispatch/ZDCredentialStore.h"
#include "fleet/ZDDiscovery.h"
#include "dispatch/ZDDispatcher.h"
#include "dispatch/ZDErrorCallback.h"
#include "ZDFakeAgent.h"
#include "ZDFreePort.h"
#include "platform/ZDLocalPaths.h"
#include "log/ZDLog.h"
#include "console/ZDLogGathering.h"
#include "bus/ZDNotificationCenter.h"
#include "rpc/ZDOrvProtocol.h"
#include "plist/ZDPropertyList.h"
#include "ZDRealAgent.h"
#include "fleet/ZDService.h"
#include "ZDTestFixtures.h"
#include "ZDTestProcess.h"
#include "ZDTestSandbox.h"
#include "ZDTestThreads.h"

#include <QSignalSpy>
#include <QtTest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdio>

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


// A loopback port whose listener never accepts and whose queue is full: the
// kernel drops further connection requests, as a switched-off computer's
// network does, and a connect waits until its time-out.
class SilentPort
{
public:
    SilentPort()
    {
        m_listener = zdtest::listenOnLoopback(0, &m_port);
        if (m_listener < 0)
            return;
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(m_port);
        const socklen_t len = sizeof addr;
        // Fill the queue until a request goes unanswered.
        for (int i = 0; i < 8; ++i) {
            const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
            m_fillers.push_back(fd);
            if (::connect(fd, reinterpret_cast<sockaddr *>(&addr), len) == 0)
                continue;
            pollfd p{fd, POLLOUT, 0};
            if (::poll(&p, 1, 300) == 0) {
                m_silent = true;
                return;
            }
        }
    }
    ~SilentPort()
    {
        for (const int fd : m_fillers)
            ::close(fd);
        if (m_listener >= 0)
            ::close(m_listener);
    }
    SilentPort(const SilentPort &) = delete;
    SilentPort &operator=(const SilentPort &) = delete;
    bool isSilent() const { return m_silent; }
    quint16 port() const { return m_port; }

private:
    int m_listener = -1;
    quint16 m_port = 0;
    bool m_silent = false;
    std::vector<int> m_fillers;
};

const QString kUser = u"cliadmin"_s;
const QString kPassword = u"cli pw 'q' 9"_s;

using Run = zdtest::Ran;

struct Agent : ZDFakeTaskAgent
{
    QString name;
};

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


long ownThreads()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith("Threads:"))
            return line.mid(8).trimmed().toLong();
    return -1;
}

// A console of its own: PER records for the agent on each port given, "THREADS n"
// once all are configured, then it ends at the first line on its input with
// every link still open. --leak: the records are never torn down, as when a
// program exits from anywhere.
int runConsole(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    constexpr int kPer = 30; // an agent takes at most 32 links from one address
    auto callback = std::make_shared<ZDErrorCallback>();
    auto *records = new QList<ZDServicePtr>;
    for (const QString &port : app.arguments().mid(2)) {
        if (port.startsWith(u"--"_s))
            continue;
        for (int i = 0; i < kPer; ++i)
            records->append(ZDService::serviceWithName(QStringLiteral("bay %1").arg(records->size()), QString(),
                                                       QStringLiteral("127.0.0.1"), quint16(port.toUInt()), callback));
    }
    const bool configured = QTest::qWaitFor(
        [&] {
            return std::all_of(records->cbegin(), records->cend(),
                               [](const ZDServicePtr &r) { return r->isConnected() && !r->configDict().isEmpty(); });
        },
        120000);
    if (!configured)
        return 3;
    std::printf("THREADS %ld\n", ownThreads());
    std::fflush(stdout);
    char line[16];
    (void)std::fgets(line, sizeof line, stdin);
    if (!app.arguments().contains(u"--leak"_s))
        delete records;
    return 0;
}

} // namespace

class TestZDService : public QObject
{
    Q_OBJECT
    std::unique_ptr<ZDTestSandbox> m_sandbox;
    std::shared_ptr<ZDErrorCallback> m_callback;
    QString m_settings; // each case's own console settings
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
    QJsonValue answerOf(const Run &r, int i) { return json(r).value(m_agents[size_t(i)].host); }
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
        ZDLog::createNewLog(ZDLogGathering::adminName()); // the console's own log, gathered below
        QVERIFY2(QFile::exists(ZDFakeAgent::program()), qPrintable(ZDFakeAgent::program()));
        m_callback = std::make_shared<ZDErrorCallback>();
        ZDService::setRetryInterval(300);
        m_kestra = zdtest::buildPath(u"bin/kestra"_s);
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
        m_settings = m_sandbox->path(uniqueName("settings") + QStringLiteral(".ini"));
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
    // A read's worker asks every computer of its share before it waits for the first
    // answer: here the agent answers only once all the calls are in together.
    void readAsksEveryComputerBeforeWaiting()
    {
        ZDFakeAgent agent({u"--version"_s, u"1100"_s});
        QVERIFY(agent.start());
        QList<ZDServicePtr> records;
        for (int i = 0; i < 6; ++i)
            records << manual(agent, u"together %1"_s.arg(i));
        QTRY_VERIFY_WITH_TIMEOUT(std::all_of(records.cbegin(), records.cend(),
                                             [](const ZDServicePtr &s) { return s->isConnected() && !s->configDict().isEmpty(); }),
                                 kWait);
        ZDDispatcher dispatcher([&] { return records; });
        dispatcher.setCoreCount(1); // one worker for all six
        QStringList failed;
        connect(&dispatcher, &ZDDispatcher::serviceFailed, this,
                [&failed](const QString &host, const QString &reason) { failed << host + u": "_s + reason; });
        QVariantMap answers;
        zdtest::offMain([&] { answers = dispatcher.objectsFromRemoteMethod(u"fakeTogether:"_s, int(records.size())); });
        QCoreApplication::processEvents();
        QVERIFY2(failed.isEmpty(), qPrintable(failed.join(u'\n')));
        QVERIFY(!answers.isEmpty());
        for (const QVariant &answer : std::as_const(answers))
            QCOMPARE(answer, QVariant(true));
        ZDService::invalidateServices(records, false);
    }
    // Computers that do not answer are waited for without a thread each: more of
    // them than the console has connecting threads leave a live one unhindered.
    void silentComputersHoldUpNoOther()
    {
        const SilentPort silent;
        QVERIFY(silent.isSilent());
        QList<ZDServicePtr> off;
        std::atomic<int> failures{0};
        for (int i = 0; i < 48; ++i) {
            off << ZDService::serviceWithName(u"switched off %1"_s.arg(i), QString(), u"127.0.0.1"_s, silent.port(),
                                              m_callback);
            connect(off.back().get(), &ZDService::serviceConnectFailed, this, [&failures] { ++failures; });
        }
        ZDFakeAgent agent({u"--version"_s, u"1100"_s});
        QVERIFY(agent.start());
        auto live = manual(agent, u"live bay"_s);
        QTRY_VERIFY_WITH_TIMEOUT(live->isConnected() && !live->configDict().isEmpty(), kWait);
        // Every silent computer is still being waited for: none gave up before the live one answered.
        QCOMPARE(failures.load(), 0);
        QVERIFY(std::all_of(off.cbegin(), off.cend(), [](const ZDServicePtr &s) { return !s->isConnected(); }));
        // Their time-outs still come, each as a failure.
        QTRY_VERIFY_WITH_TIMEOUT(failures.load() >= int(off.size()), 60000);
        ZDService::invalidateServices(off, false);
        live->invalidate(false);
    }
    void consoleEndsWithManyLinksOpen()
    {
        // 120 TLS links on a handful of threads, and a console that ends while its
        // agents keep reporting ends cleanly, whether it tears its records down or not.
        std::vector<std::unique_ptr<ZDFakeAgent>> agents;
        QStringList args{u"--console"_s};
        while (agents.size() < 4) {
            agents.push_back(std::make_unique<ZDFakeAgent>(QStringList{u"--version"_s, u"1100"_s}));
            QVERIFY(agents.back()->start());
            args << QString::number(agents.back()->port());
        }
        int round = 0;
        for (const bool leak : {false, true}) {
            ++round;
            QProcess console;
            console.setProcessChannelMode(QProcess::ForwardedErrorChannel);
            console.start(QCoreApplication::applicationFilePath(), args + (leak ? QStringList{u"--leak"_s} : QStringList()));
            QByteArray threads; // after the log lines a console without a log file prints
            QVERIFY(QTest::qWaitFor(
                [&] {
                    while (console.canReadLine() && !threads.startsWith("THREADS "))
                        threads = console.readLine().trimmed();
                    return threads.startsWith("THREADS ") || console.state() == QProcess::NotRunning;
                },
                150000));
            QVERIFY2(threads.startsWith("THREADS "), threads.constData());
            QVERIFY2(threads.mid(8).toLong() < 60, threads.constData()); // not a thread per link
            for (const auto &agent : agents) {
                agent->send("chatter");
                QVERIFY(agent->waitForLine(u"CHATTERING %1"_s.arg(round)));
            }
            console.write("end\n");
            QVERIFY(console.waitForFinished(60000));
            QCOMPARE(console.exitStatus(), QProcess::NormalExit);
            QCOMPARE(console.exitCode(), 0);
        }
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
        // Gather Logs: the console's log and crash report, both agents' logs, the agent's report
        // (both connected first: the crash report can arrive before the second computer answers).
        for (const ZDServicePtr &s : discovery.allServices())
            QTRY_VERIFY_WITH_TIMEOUT(s->isConnected() && !s->isProcessing(), kWaitMs);
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
            QCOMPARE(o.value(a.host).toObject().value(u"host"_s).toString(), a.host);
        // One name per computer: the answers' keys are the names the list gives (no trailing dot).
        QStringList listed = on({0, 1}, {u"list"_s, u"--names"_s}).out.split(u'\n', Qt::SkipEmptyParts);
        listed.sort();
        QCOMPARE(o.keys(), listed);
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
        QVERIFY(o.contains(m_agents[0].host));
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
    // The console's computer list: DNS-SD through the machine's avahi-daemon (other
    // agents may be published there too, so every case looks for its own names),
    // manual connections in a settings file of the sandbox, look-ups and groups; a rogue agent and a planted
    // link: nothing is spoofed, deleted or printed raw, and the honest computer keeps working.
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
    // kestra keeps the DNS-SD names its last run found (its own cache file), which lets the
    // next run stop browsing once they are all back; a computer gone since is forgotten.
    void kestraRemembersWhatBrowsingFound()
    {
        const QString first = uniqueName("met"), second = uniqueName("met");
        std::vector<std::unique_ptr<ZDFakeAgent>> agents;
        for (const QString &name : {first, second}) {
            agents.push_back(std::make_unique<ZDFakeAgent>(QStringList{
                QStringLiteral("--publish"), name, QStringLiteral("--name"), QStringLiteral("KestraClient - ") + name + u".local."_s,
                QStringLiteral("--host"), name + u".local."_s}));
            QVERIFY(agents.back()->start());
            QVERIFY(agents.back()->waitForLine(QStringLiteral("PUBLISHED ")));
        }
        const QString met = qEnvironmentVariable("XDG_CACHE_HOME") + u"/kestra/met-computers"_s;
        const auto metNames = [&] {
            QFile file(met);
            return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()).split(u'\n') : QStringList();
        };
        // Other cases may publish agents on the same daemon: only these two names count.
        // Each try runs kestra for up to its whole wait, so the tries are counted, not timed.
        const auto settlesOn = [&](bool secondThere) {
            QString last;
            for (int attempt = 0; attempt < 10; ++attempt) {
                const Run r = kestra({u"list"_s, u"--json"_s, u"--settings"_s, m_settings});
                const QStringList names = metNames();
                if (r.out.contains(first) && r.out.contains(second) == secondThere && names.contains(first)
                    && names.contains(second) == secondThere)
                    return QString();
                last = r.out.left(2000) + u" | met: "_s + names.join(u',');
                QTest::qWait(500);
            }
            return last;
        };
        QString failure = settlesOn(true);
        QVERIFY2(failure.isEmpty(), qPrintable(failure));
        agents.back()->stop(); // withdraws its publication
        failure = settlesOn(false);
        QVERIFY2(failure.isEmpty(), qPrintable(failure));
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
        QTRY_VERIFY_WITH_TIMEOUT(!victim->credentialKey().isEmpty(), 30000); // filed under the key its link proved
        QVERIFY(store.setStoredUser(victim->credentialKey(), user));
        QVERIFY(store.storeKeychainPassword(user, QStringLiteral("kept"), victim->credentialKey()));
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
        QCOMPARE(store.keychainPassword(user, victim->credentialKey()), QStringLiteral("kept"));
        QVERIFY(calls.toStringList().filter(QStringLiteral("validateUsername")).isEmpty());
        // The honest computer's own report still arrives.
        zdtest::offMain([&] { victim->proxyObject()->call(QStringLiteral("fakePostError:"), {QStringLiteral("honest")}); });
        QTRY_COMPARE_WITH_TIMEOUT(errors->errorCount(), 1, 30000);
        for (int i = 0; i < 2 * ZDErrorCallback::kMaxQueueLength; ++i) // one computer's flood keeps the others' reports
            errors->addStringToQueue(QString::number(i), i % 2 ? QStringLiteral("flood.") : QStringLiteral("FLOOD"));
        QCOMPARE(errors->errorQueue().last().toMap().value(QStringLiteral("description")), QVariant(QStringLiteral("honest")));
        QVERIFY(store.deleteKeychainPassword(user, victim->credentialKey()));
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

int main(int argc, char **argv)
{
    if (argc > 1 && qstrcmp(argv[1], "--console") == 0)
        return runConsole(argc, argv);
    QCoreApplication app(argc, argv);
    TestZDService test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}
#include "tst_zdservice.moc"
