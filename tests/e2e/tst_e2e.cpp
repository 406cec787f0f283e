// The console core against real agents on a small private network: one network
// namespace per host (own address, system bus, avahi-daemon, agent), this program
// in the console's namespace. tests/e2e/run.sh sets the network up and down;
// agents and links are driven through tests/e2e/hosts.sh.
//
// Times are printed, never asserted beyond bounds that only catch hangs.
#include "files/ZDArchive.h"
#include "dispatch/ZDBackgroundPool.h"
#include "link/ZDConnection.h"
#include "fleet/ZDConsoleSecurity.h"
#include "features/crashlogs/ZDCrashLogController.h"
#include "features/crashlogs/ZDCrashLogStats.h"
#include "dispatch/ZDCredentialPrompt.h"
#include "dispatch/ZDCredentialStore.h"
#include "fleet/ZDDiscovery.h"
#include "dispatch/ZDDispatcher.h"
#include "rights/ZDEncryption.h"
#include "dispatch/ZDErrorCallback.h"
#include "rights/ZDKeychain.h"
#include "trust/ZDKnownAgents.h"
#include "log/ZDLog.h"
#include "features/apps/ZDApplicationRows.h"
#include "features/apps/ZDMaintenanceRuns.h"
#include "rpc/ZDOrvProtocol.h"
#include "plist/ZDPropertyList.h"
#include "fleet/ZDService.h"
#include "ZDTestFixtures.h"
#include "ZDTestHttpServer.h"
#include "ZDStudioApps.h"
#include "ZDTestSandbox.h"

#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QSignalSpy>
#include <QSocketNotifier>
#include <QStandardPaths>
#include <QtTest>

#include <atomic>
#include <mutex>
#include <cstdio>
#include <thread>

#include <pwd.h>
#include <unistd.h>

namespace {

constexpr int kHosts = 4;
constexpr int kWait = 60000;
const QString kTool = QStringLiteral("com.zendrel.Quellar");

QString hostName(int i) { return QStringLiteral("host%1.local.").arg(i); }
QString hostAddress(int i) { return QStringLiteral("10.78.0.%1").arg(i + 10); }
QString stateDir() { return qEnvironmentVariable("E2E_STATE", QStringLiteral("/tmp/e2e-hosts")); }
QString hostDir(int i) { return stateDir() + QStringLiteral("/ke%1").arg(i); }

bool sameHost(const QString &a, const QString &b)
{
    auto strip = [](QString s) {
        while (s.endsWith(QLatin1Char('.')))
            s.chop(1);
        return s.toLower();
    };
    return strip(a) == strip(b);
}

// Right credentials for every computer but one, whose first answer is wrong and
// whose second is "skip".
class ScriptedPrompt : public ZDCredentialPrompt
{
public:
    ScriptedPrompt(QString user, QString password, QString wrongHost)
        : m_user(std::move(user)), m_password(std::move(password)), m_wrongHost(std::move(wrongHost))
    {
    }
    Answer ask(const Request &request) override
    {
        std::lock_guard lock(m_mutex);
        m_asked << request.hostName + (request.previousRefused ? QStringLiteral(" (refused before)") : QString());
        if (!sameHost(request.hostName, m_wrongHost))
            return Answer{Result::OK, m_user, m_password, false, false};
        if (request.previousRefused)
            return Answer{Result::Skip, {}, {}, false, false};
        return Answer{Result::OK, m_user, QStringLiteral("not the password"), false, false};
    }
    QStringList asked()
    {
        std::lock_guard lock(m_mutex);
        return m_asked;
    }

private:
    std::mutex m_mutex;
    QStringList m_asked;
    QString m_user, m_password, m_wrongHost;
};

} // namespace

// The second console: the same core in another process. Prints "ready" once all
// hosts are configured, then one line per callback; ends when stdin closes.
int runSecondConsole(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    ZDTestSandbox sandbox;
    // The same console's key (the one the hosts enrolled), in a second process.
    const QString keys = qEnvironmentVariable("E2E_CONSOLE_KEYS");
    if (!keys.isEmpty()) {
        const QString mine = ZDKnownAgents::securityFolder();
        QDir().mkpath(mine);
        QFile::setPermissions(mine, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        for (const char *file : {"/console.key", "/console.crt"})
            QFile::copy(keys + QLatin1String(file), mine + QLatin1String(file));
    }
    ZDLog::createNewLog(QStringLiteral("tst_e2e_console2"));
    auto callback = std::make_shared<ZDErrorCallback>();
    callback->setSettingsPath(sandbox.path(QStringLiteral("console.ini")));
    ZDDiscovery discovery(callback, sandbox.path(QStringLiteral("console.ini")));
    auto say = [](const QString &line) {
        std::fputs(qPrintable(line + u'\n'), stdout);
        std::fflush(stdout);
    };
    QObject::connect(callback.get(), &ZDErrorCallback::progressIncremented, [&] { say(QStringLiteral("progress")); });
    QObject::connect(callback.get(), &ZDErrorCallback::taskFinished, [&] { say(QStringLiteral("finished")); });
    QObject::connect(callback.get(), &ZDErrorCallback::errorQueueChanged,
                     [&] { say(QStringLiteral("errors %1").arg(callback->errorCount())); });
    discovery.start();
    const bool up = QTest::qWaitFor([&] {
        for (int i = 1; i <= kHosts; ++i) {
            const auto s = discovery.serviceWithHostName(hostName(i));
            if (!s || !s->isConnected() || s->configDict().isEmpty())
                return false;
        }
        return true;
    }, kWait);
    say(up ? QStringLiteral("ready") : QStringLiteral("not ready"));
    QSocketNotifier input(0, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, [&] {
        char buffer[256];
        if (::read(0, buffer, sizeof buffer) <= 0)
            app.quit();
    });
    return app.exec();
}

class TestE2E : public QObject
{
    Q_OBJECT

    std::unique_ptr<ZDTestSandbox> m_sandbox;
    std::shared_ptr<ZDErrorCallback> m_callback;
    std::unique_ptr<ZDDiscovery> m_discovery;
    std::unique_ptr<ZDDispatcher> m_dispatcher;
    QStringList m_willDisconnect;
    std::mutex m_failedMutex;
    QStringList m_failed; // the dispatcher's serviceFailed, from any thread
    QElapsedTimer m_clock;

    void newConsole()
    {
        m_dispatcher.reset();
        m_discovery.reset();
        m_discovery = std::make_unique<ZDDiscovery>(m_callback, m_sandbox->path(QStringLiteral("console.ini")));
        m_dispatcher = std::make_unique<ZDDispatcher>([this] { return m_discovery->allServices(); });
        m_dispatcher->setErrorCallback(m_callback.get(), true);
        connect(m_dispatcher.get(), &ZDDispatcher::serviceFailed, this, [this](const QString &host, const QString &) {
            std::lock_guard lock(m_failedMutex);
            m_failed << host;
        }, Qt::DirectConnection);
        m_discovery->start();
    }

    // The harness; false (with its output printed) when it failed or hung.
    bool hosts(const QStringList &args, int timeoutMs = 60000)
    {
        QProcess p;
        p.setProcessChannelMode(QProcess::MergedChannels);
        p.start(qEnvironmentVariable("E2E_HOSTS_SH"), args);
        const bool ended = p.waitForFinished(timeoutMs);
        if (!ended)
            p.kill(), p.waitForFinished(5000);
        const QByteArray out = p.readAll().trimmed();
        if (!out.isEmpty())
            qInfo("%s", out.constData());
        return ended && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
    }

    ZDServicePtr service(int i) const { return m_discovery->serviceWithHostName(hostName(i)); }

    bool ready(int i) const
    {
        const ZDServicePtr s = service(i);
        return s && s->isConnected() && !s->configDict().isEmpty();
    }

    // Runs a blocking core call off the main thread while the main loop serves the
    // records; false when it is still running after the bound.
    template <typename F>
    bool offMain(F f, int boundMs)
    {
        auto done = std::make_shared<std::atomic<bool>>(false);
        std::thread worker([f, done]() mutable {
            f();
            *done = true;
        });
        const bool ended = QTest::qWaitFor([&] { return done->load(); }, boundMs);
        if (!ended) {
            m_dispatcher->cancelProcessing();
            if (!QTest::qWaitFor([&] { return done->load(); }, 600000))
                qWarning("a worker did not end after cancelling");
        }
        worker.join();
        return ended;
    }

    QVariantMap readAll(qint64 *ms, int boundMs = 120000)
    {
        QVariantMap result;
        QElapsedTimer t;
        t.start();
        const bool ended = offMain([&] { result = m_dispatcher->objectsFromRemoteMethod(QStringLiteral("networkClientSettings")); }, boundMs);
        *ms = t.elapsed();
        if (!ended)
            qWarning("read across all hosts still running after %d ms", boundMs);
        return result;
    }

    bool hasAnswerFrom(const QVariantMap &answers, int i) const
    {
        for (auto it = answers.begin(); it != answers.end(); ++it) {
            if (sameHost(it.key(), hostName(i)))
                return true;
        }
        return false;
    }

    int queueEntriesFor(int i) const
    {
        int n = 0;
        for (const QVariant &e : m_callback->errorQueue()) {
            if (sameHost(e.toMap().value(QStringLiteral("hostname")).toString(), hostName(i)))
                ++n;
        }
        return n;
    }

    // What host i's agent wrote to its own log, over all its runs.
    static QByteArray agentLog(int i)
    {
        QByteArray log;
        QDir logs(hostDir(i) + QStringLiteral("/root/var/log/Zendrel"));
        for (const QString &f : logs.entryList({QStringLiteral("KestraClient*.log")}, QDir::Files, QDir::Name))
            log += ZDTestSandbox::readFile(logs.filePath(f));
        return log;
    }

    // No data lost: preferences as written, every agent start logged, every
    // orderly stop logged, the error queue only about our hosts.
    void checkNoDataLost()
    {
        for (int i = 1; i <= kHosts; ++i) {
            const QString root = hostDir(i) + QStringLiteral("/root");
            const QByteArray prefs = ZDTestSandbox::readFile(root + QStringLiteral("/home/.config/com.zendrel.KestraClient.plist"));
            const QByteArray expected = ZDTestSandbox::readFile(hostDir(i) + QStringLiteral("/prefs.expected"));
            QVERIFY2(!prefs.isEmpty(), qPrintable(QStringLiteral("host%1: preferences gone").arg(i)));
            // The agent may rewrite its preferences, but never loses what we set.
            for (const char *key : {"customPort", "disableBonjour"}) {
                QCOMPARE(prefs.contains(key), expected.contains(key));
            }
            const QByteArray log = agentLog(i);
            const QByteArray events = ZDTestSandbox::readFile(hostDir(i) + QStringLiteral("/agent.events"));
            const int starts = int(events.count("=== start"));
            const int quits = int(events.count("=== QUIT"));
            QVERIFY2(int(log.count("- Log started:")) >= starts,
                     qPrintable(QStringLiteral("host%1: %2 starts, %3 in the log").arg(i).arg(starts).arg(log.count("- Log started:"))));
            QVERIFY2(int(log.count("Preparing to disconnect...")) >= quits,
                     qPrintable(QStringLiteral("host%1: %2 orderly stops, %3 in the log").arg(i).arg(quits).arg(log.count("Preparing to disconnect..."))));
        }
        const QVariantList queue = m_callback->errorQueue();
        QCOMPARE(queue.size(), m_callback->errorCount());
        QVERIFY(queue.size() <= ZDErrorCallback::kMaxQueueLength);
        for (const QVariant &e : queue) {
            const QString host = e.toMap().value(QStringLiteral("hostname")).toString();
            bool known = false;
            for (int i = 1; i <= kHosts; ++i)
                known = known || sameHost(host, hostName(i)) || host == QStringLiteral("host%1").arg(i)
                        || host.startsWith(QStringLiteral("host%1").arg(i));
            QVERIFY2(known, qPrintable(QStringLiteral("error queue entry of an unknown host: %1").arg(host)));
        }
    }

    // One batch after the other, as the console does.
    bool runTasks(const QStringList &tasks)
    {
        return offMain([&] {
            for (const QString &task : tasks) {
                m_dispatcher->executeRemoteTasks(task, kTool, QStringList());
                if (!m_dispatcher->waitOnProcessingWithTimeout(60))
                    qWarning("task %s still running", qPrintable(task));
            }
        }, 120000);
    }

    bool saidGoodbye(int i) const
    {
        for (const QString &h : m_willDisconnect)
            if (sameHost(h, hostName(i)))
                return true;
        return false;
    }

    bool waitAllReady(int boundMs = kWait)
    {
        const bool all = QTest::qWaitFor([this] {
            for (int i = 1; i <= kHosts; ++i) {
                if (!ready(i))
                    return false;
            }
            return true;
        }, boundMs);
        if (!all)
            printList();
        return all;
    }

    // Reads p's output into seen: the first line seen that starts with prefix, null
    // once p ended or the bound passed without one.
    static QString awaitLine(QProcess &p, QStringList &seen, const QString &prefix, int boundMs)
    {
        const auto find = [&] {
            for (const QString &line : std::as_const(seen))
                if (line.startsWith(prefix))
                    return line;
            return QString();
        };
        (void)QTest::qWaitFor([&] {
            while (p.canReadLine())
                seen << QString::fromUtf8(p.readLine()).trimmed();
            return !find().isNull() || p.state() == QProcess::NotRunning;
        }, boundMs);
        return find();
    }

    static bool names(const QSignalSpy &spy, int i)
    {
        return std::any_of(spy.cbegin(), spy.cend(), [i](const QList<QVariant> &a) { return sameHost(a.value(0).toString(), hostName(i)); });
    }

    void printList() const
    {
        for (const ZDServicePtr &s : m_discovery->allServices())
            qInfo("e2e: listed: %s %s %s:%d %s error %d config %s%s", qPrintable(s->name()), qPrintable(s->hostName()),
                  qPrintable(s->ipAddress()), s->port(), s->isConnected() ? "connected" : "disconnected", s->errorCode(),
                  s->configDict().isEmpty() ? "none" : "yes", s->isInvalidated() ? " invalidated" : "");
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY2(!qEnvironmentVariableIsEmpty("E2E_HOSTS_SH"), "run through tests/e2e/run.sh");
        m_clock.start();
        m_sandbox = std::make_unique<ZDTestSandbox>();
        QVERIFY(m_sandbox->isValid());
        ZDLog::createNewLog(QStringLiteral("tst_e2e"));
        ZDService::setRetryInterval(500);
        m_callback = std::make_shared<ZDErrorCallback>();
        m_callback->setSettingsPath(m_sandbox->path(QStringLiteral("console.ini")));
        connect(m_callback.get(), &ZDErrorCallback::willDisconnect, this,
                [this](const QString &host) { m_willDisconnect << host; });
        // Every host enrols this console before its agent starts (hosts.sh).
        QVERIFY(!ZDConsoleSecurity::fingerprint().isEmpty());
        qputenv("E2E_CONSOLE_FINGERPRINT", ZDConsoleSecurity::fingerprint().toLatin1());
        for (int i = 1; i <= kHosts; ++i)
            QVERIFY(hosts({QStringLiteral("agent-start"), QString::number(i)}));
        newConsole();
    }

    // Every test starts with all agents up and listed, whatever the one before left.
    void init()
    {
        for (int i = 1; i <= kHosts; ++i) {
            QVERIFY(hosts({QStringLiteral("agent-ensure"), QString::number(i)}));
            hosts({QStringLiteral("link"), QString::number(i), QStringLiteral("up")});
        }
        if (!waitAllReady(20000)) {
            qInfo("e2e: a fresh console for this test: the last one lost a computer");
            newConsole();
        }
    }

    void cleanupTestCase()
    {
        m_dispatcher.reset();
        m_discovery.reset();
        for (int i = 1; i <= kHosts; ++i)
            hosts({QStringLiteral("agent-quit"), QString::number(i)});
        checkNoDataLost();
        qInfo("e2e: total %lld ms", m_clock.elapsed());
    }

    // Four hosts found with their TXT records and configured; one stopped goes
    // away with its goodbye, started again it is found again.
    void discovery()
    {
        QElapsedTimer t;
        t.start();
        QVERIFY2(waitAllReady(), "not every host was found and configured");
        qInfo("e2e: discovery: 4 hosts found and configured in %lld ms", t.elapsed());
        for (int i = 1; i <= kHosts; ++i) {
            const ZDServicePtr s = service(i);
            QVERIFY(!s->isManual());
            QVERIFY(s->hasNetService());
            const QVariantMap txt = s->netService().txt;
            QCOMPARE(txt.value(QStringLiteral("name")).toString(), QStringLiteral("KestraClient - host%1.local.").arg(i));
            QVERIFY(txt.contains(QStringLiteral("model")));
            QCOMPARE(s->ipAddress(), hostAddress(i));
        }

        // SIGTERM (what a service manager sends).
        m_willDisconnect.clear();
        t.restart();
        QVERIFY(hosts({QStringLiteral("agent-stop"), QStringLiteral("2")}));
        QVERIFY2(QTest::qWaitFor([this] { return !service(2); }, 30000), "the stopped host stays listed");
        qInfo("e2e: discovery: SIGTERM -> record gone after %lld ms", t.elapsed());
        QVERIFY2(saidGoodbye(2), "no willDisconnect: from the agent stopped with SIGTERM");
        for (int i : {1, 3, 4})
            QVERIFY(ready(i));
        t.restart();
        QVERIFY(hosts({QStringLiteral("agent-start"), QStringLiteral("2")}));
        QVERIFY2(QTest::qWaitFor([this] { return ready(2); }, kWait), "the restarted host was not found again");
        qInfo("e2e: discovery: restarted agent found and configured again in %lld ms", t.elapsed());

        // The orderly stop: willDisconnect: must come.
        m_willDisconnect.clear();
        t.restart();
        QVERIFY(hosts({QStringLiteral("agent-quit"), QStringLiteral("2")}));
        QVERIFY2(QTest::qWaitFor([this] { return saidGoodbye(2); }, 10000), "no willDisconnect: from the stopped agent");
        const qint64 goodbye = t.elapsed();
        QVERIFY2(QTest::qWaitFor([this] { return !service(2); }, 30000), "the stopped host stays listed");
        qInfo("e2e: discovery: disconnect notice -> willDisconnect %lld ms, record gone %lld ms", goodbye, t.elapsed());
        // Restarted at once, within the peers' grace period for the old announcement.
        t.restart();
        QVERIFY(hosts({QStringLiteral("agent-start"), QStringLiteral("2")}));
        QVERIFY2(QTest::qWaitFor([this] { return ready(2); }, kWait), "the restarted host was not found again");
        qInfo("e2e: discovery: restarted agent found and configured again in %lld ms", t.elapsed());
        checkNoDataLost();
    }

    // A long synchronous call whose agent is killed: the call ends soon, no worker
    // is left, the error queue names that computer.
    void killedDuringCall()
    {
        QVERIFY(waitAllReady());
        const ZDServicePtr s = service(3);
        const int before = queueEntriesFor(3);
        {
            std::lock_guard lock(m_failedMutex);
            m_failed.clear();
        }
        QElapsedTimer t;
        std::atomic<qint64> killedAt{-1};
        qint64 callEnded = -1;
        std::atomic<bool> done{false};
        t.start();
        std::thread worker([&] {
            m_dispatcher->executeRemoteTask(QStringLiteral("slow"), kTool, QVariant(), s);
            callEnded = t.elapsed();
            done = true;
        });
        QTest::qWait(1500); // the tool is running now
        const bool stillRunning = !done;
        killedAt = t.elapsed();
        hosts({QStringLiteral("agent-kill"), QStringLiteral("3")});
        const bool ended = QTest::qWaitFor([&] { return done.load(); }, 40000);
        if (!ended)
            m_dispatcher->cancelProcessing();
        worker.join();
        QVERIFY2(stillRunning, "the slow task ended before the kill");
        QVERIFY2(ended, "the call still runs 40 s after its agent was killed");
        const qint64 detection = callEnded - killedAt;
        qInfo("e2e: killed agent: call failed %lld ms after SIGKILL", detection);
        QVERIFY2(detection < 10000, "the call took more than 10 s to fail");
        QVERIFY(QTest::qWaitFor([this] { return m_dispatcher->taskThreadCount() == 0 && !m_dispatcher->isProcessing(); }, 10000));
        // A failing call marks the computer disconnected (it adds no queue entry);
        // the dispatcher names it as failed.
        QVERIFY2(QTest::qWaitFor([&] { const auto r = service(3); return !r || !r->isConnected(); }, 10000),
                 "host3 still marked connected after its call failed");
        {
            std::lock_guard lock(m_failedMutex);
            bool named = false;
            for (const QString &h : std::as_const(m_failed))
                named = named || sameHost(h, hostName(3)) || h.startsWith(QStringLiteral("host3"));
            qInfo("e2e: killed agent: dispatcher reported failed: %s; error queue entries for host3: %d -> %d",
                  qPrintable(m_failed.join(u',')), before, queueEntriesFor(3));
        }

        // Restarted at once on a new port, while the old announcement may still be cached.
        t.restart();
        QVERIFY(hosts({QStringLiteral("agent-start"), QStringLiteral("3")}));
        if (!QTest::qWaitFor([this] { return ready(3); }, kWait))
            printList();
        QVERIFY2(ready(3), "the restarted host was not found again");
        qInfo("e2e: killed agent: back and configured %lld ms after restart", t.elapsed());
        checkNoDataLost();
    }

    // A link that goes down under a read across all hosts.
    void linkDown()
    {
        QVERIFY(waitAllReady());
        qint64 ms = 0;
        const QVariantMap all = readAll(&ms);
        for (int i = 1; i <= kHosts; ++i)
            QVERIFY2(hasAnswerFrom(all, i), qPrintable(QStringLiteral("no answer from host%1: %2").arg(i).arg(all.keys().join(u','))));
        qInfo("e2e: link down: read across 4 hosts in %lld ms", ms);

        QVERIFY(hosts({QStringLiteral("link"), QStringLiteral("2"), QStringLiteral("down")}));
        const QVariantMap some = readAll(&ms);
        qInfo("e2e: link down: read with host2 unreachable returned in %lld ms with %lld answers", ms, qint64(some.size()));
        for (int i : {1, 3, 4})
            QVERIFY2(hasAnswerFrom(some, i), qPrintable(QStringLiteral("no answer from host%1").arg(i)));
        QVERIFY(!hasAnswerFrom(some, 2));
        QVERIFY2(ms < 120000, "the read hung");
        QElapsedTimer t;
        t.start();
        QVERIFY2(QTest::qWaitFor([this] { const auto s = service(2); return !s || !s->isConnected(); }, kWait),
                 "the unreachable host is still marked connected");
        const auto s2 = service(2);
        qInfo("e2e: link down: host2 marked disconnected (%s, error %d)", s2 ? "listed" : "unlisted", s2 ? s2->errorCode() : 0);

        t.restart();
        QVERIFY(hosts({QStringLiteral("link"), QStringLiteral("2"), QStringLiteral("up")}));
        QVERIFY2(QTest::qWaitFor([this] { return ready(2); }, 90000), "no reconnect after the link came back");
        qInfo("e2e: link down: reconnected %lld ms after the link came back", t.elapsed());
        const QVariantMap again = readAll(&ms);
        QVERIFY(hasAnswerFrom(again, 2));
        checkNoDataLost();
    }

    // Custom port and no DNS-SD: only a manual entry reaches the agent.
    void manualOnly()
    {
        QVERIFY(waitAllReady());
        const quint16 port = 47204;
        QVERIFY(hosts({QStringLiteral("agent-quit"), QStringLiteral("4")}));
        QVERIFY(QTest::qWaitFor([this] { return !service(4); }, 30000));
        QVERIFY(hosts({QStringLiteral("agent-start"), QStringLiteral("4"), QString::number(port), QStringLiteral("nobonjour")}));
        QTest::qWait(5000); // long enough for an announcement to arrive
        QVERIFY2(!service(4), "an agent with DNS-SD disabled was found by browsing");
        QElapsedTimer t;
        t.start();
        QString title, text;
        QVERIFY2(m_discovery->submitManualConnection(QStringLiteral("host4-manual"), hostAddress(4), QString::number(port), &title, &text),
                 qPrintable(title + u' ' + text));
        ZDServicePtr s;
        QVERIFY2(QTest::qWaitFor([&] {
            s = m_discovery->serviceWithManualIP(hostAddress(4));
            return s && s->isConnected() && !s->configDict().isEmpty();
        }, kWait), "the manual entry did not connect");
        qInfo("e2e: manual only: connected through the manual entry in %lld ms", t.elapsed());
        QVERIFY(s->isManual());
        QCOMPARE(s->port(), int(port));
        const QVariant answer = m_dispatcher->objectFromRemoteMethod(QStringLiteral("networkClientSettings"), {}, {}, s);
        Q_UNUSED(answer);

        // Back as it was.
        QVERIFY(m_discovery->removeManualConnection(QStringLiteral("host4-manual")));
        QVERIFY(hosts({QStringLiteral("agent-quit"), QStringLiteral("4")}));
        QVERIFY(hosts({QStringLiteral("agent-start"), QStringLiteral("4")}));
        QVERIFY2(QTest::qWaitFor([this] { return ready(4); }, kWait), "host4 not found again");
        checkNoDataLost();
    }

    // Two consoles on the same agents: both get errors and progress; one killed,
    // the other keeps receiving.
    void twoConsoles()
    {
        QVERIFY(waitAllReady());
        {
            // A plain task's progress and errors go to every console; its "finished"
            // is only forwarded for tasks armed for it (the privileged ones).
            QSignalSpy alone(m_callback.get(), &ZDErrorCallback::progressIncremented);
            const int errors = m_callback->errorCount();
            QVERIFY(runTasks({QStringLiteral("finish"), QStringLiteral("errorcode")}));
            QVERIFY2(QTest::qWaitFor([&] { return alone.size() >= kHosts && m_callback->errorCount() >= errors + kHosts; }, 30000),
                     qPrintable(QStringLiteral("one console: %1 progress, %2 new errors").arg(alone.size()).arg(m_callback->errorCount() - errors)));
        }
        QProcess second;
        QProcessEnvironment secondEnv = QProcessEnvironment::systemEnvironment();
        secondEnv.insert(QStringLiteral("E2E_CONSOLE_KEYS"), ZDKnownAgents::securityFolder());
        second.setProcessEnvironment(secondEnv);
        second.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--second-console")});
        QVERIFY(second.waitForStarted(10000));
        QStringList lines;
        auto readLines = [&] {
            while (second.canReadLine())
                lines << QString::fromUtf8(second.readLine()).trimmed();
        };
        auto count = [&](const QString &prefix) {
            readLines();
            return int(std::count_if(lines.cbegin(), lines.cend(), [&](const QString &l) { return l.startsWith(prefix); }));
        };
        QVERIFY2(QTest::qWaitFor([&] { return count(QStringLiteral("ready")) > 0 || count(QStringLiteral("not ready")) > 0; }, kWait + 10000),
                 "the second console did not start");
        QVERIFY2(count(QStringLiteral("not ready")) == 0, "the second console did not find every host");
        QTest::qWait(1000); // its setErrorCallback: reaches every agent

        QSignalSpy progress(m_callback.get(), &ZDErrorCallback::progressIncremented);
        m_callback->clearErrorQueue(); // a repeated report within two minutes counts once
        const int errorsBefore = m_callback->errorCount();
        QElapsedTimer t;
        t.start();
        QVERIFY2(runTasks({QStringLiteral("finish"), QStringLiteral("errorcode")}), "the tasks hung");
        QVERIFY2(QTest::qWaitFor([&] { return progress.size() >= kHosts && count(QStringLiteral("progress")) >= kHosts; }, 30000),
                 qPrintable(QStringLiteral("progress: this console %1, the other %2").arg(progress.size()).arg(count(QStringLiteral("progress")))));
        QVERIFY2(QTest::qWaitFor([&] { return m_callback->errorCount() >= errorsBefore + kHosts && count(QStringLiteral("errors")) > 0; }, 30000),
                 qPrintable(QStringLiteral("errors: this console %1 new, the other %2 reports").arg(m_callback->errorCount() - errorsBefore).arg(count(QStringLiteral("errors")))));
        qInfo("e2e: two consoles: both got progress (%lld / %d) and errors (this one %d new) in %lld ms",
              qint64(progress.size()), count(QStringLiteral("progress")), m_callback->errorCount() - errorsBefore, t.elapsed());

        // The other console dies without a word; the agents carry on with this one.
        second.kill();
        QVERIFY(second.waitForFinished(10000));
        m_callback->clearErrorQueue();
        progress.clear();
        t.restart();
        QVERIFY2(runTasks({QStringLiteral("finish"), QStringLiteral("errorcode")}), "the tasks hung");
        QVERIFY2(QTest::qWaitFor([&] { return progress.size() >= kHosts && m_callback->errorCount() >= kHosts; }, 30000),
                 qPrintable(QStringLiteral("after the other console died: %1 progress, %2 errors").arg(progress.size()).arg(m_callback->errorCount())));
        qInfo("e2e: two consoles: after the other was killed this one got %lld progress and %d errors in %lld ms",
              qint64(progress.size()), m_callback->errorCount(), t.elapsed());
        for (int i = 1; i <= kHosts; ++i)
            QVERIFY(m_callback->indexOfError(42, hostName(i)) >= 0 || queueEntriesFor(i) > 0);
        QVERIFY(waitAllReady());
        checkNoDataLost();
    }

    // A privileged task on every computer, a wrong password for the one in the
    // middle: the others run it, that one reports the refusal.
    void privilegedTask()
    {
        const QString user = qEnvironmentVariable("E2E_ADMIN_USER");
        const QString password = qEnvironmentVariable("E2E_ADMIN_PASSWORD");
        if (user.isEmpty() || password.isEmpty())
            QSKIP("no test administrator (run.sh makes one)");
        QVERIFY(waitAllReady());
        auto prompt = std::make_shared<ScriptedPrompt>(user, password, hostName(2));
        m_dispatcher->setCredentialPrompt(prompt);
        m_callback->clearErrorQueue();
        QMap<int, bool> handed;
        QElapsedTimer t;
        t.start();
        QVERIFY2(offMain([&] {
            for (int i = 1; i <= kHosts; ++i)
                handed[i] = m_dispatcher->authExecuteRemoteTask(QStringLiteral("succeed"), kTool, QStringList(), service(i));
        }, 180000), "the privileged batch hung");
        qInfo("e2e: privileged task: batch over 4 hosts in %lld ms; asked: %s", t.elapsed(), qPrintable(prompt->asked().join(u", ")));
        m_dispatcher->setCredentialPrompt(nullptr);
        QVERIFY(handed[1] && handed[3] && handed[4]);
        QVERIFY2(!handed[2], "the task ran with a wrong password");
        for (int i = 1; i <= kHosts; ++i) {
            const QString result = hostDir(i) + QStringLiteral("/root/var/lib/standins/Quellar/succeed.result");
            const QByteArray log = agentLog(i);
            const bool ran = QTest::qWaitFor([&] { return QFile::exists(result); }, i == 2 ? 2000 : 30000);
            qInfo("e2e: privileged task: host%d: %s, refusals logged %lld, queue 1006: %s", i, ran ? "ran" : "did not run",
                  qint64(log.count("Unable to authorize") + log.count("refused")),
                  m_callback->indexOfError(1006, hostName(i)) >= 0 ? "yes" : "no");
            if (i == 2)
                QVERIFY(!ran);
            else
                QVERIFY2(ran, qPrintable(QStringLiteral("host%1 did not run the task").arg(i)));
        }
        // The refusal is seen at the console: asked again for that computer only.
        QVERIFY(prompt->asked().contains(hostName(2) + QStringLiteral(" (refused before)")));

        // A wrong password that gets past the console's check (a stale cached one)
        // reaches the agent, which reports 1006 for that computer.
        t.restart();
        QVERIFY(offMain([&] {
            try {
                if (const auto proxy = service(2)->proxyObject())
                    proxy->call(QString::fromLatin1(ZDOrv::kAuthExecuteTask),
                                {QStringLiteral("succeed"), kTool, QStringList(), user,
                                 ZDEncryption::encryptCredential(QStringLiteral("stale password"))});
            } catch (const std::exception &e) {
                qInfo("e2e: privileged task: host2 call raised: %s", e.what());
            }
        }, 60000));
        QVERIFY2(QTest::qWaitFor([&] { return m_callback->indexOfError(1006, hostName(2)) >= 0; }, 15000),
                 qPrintable(QStringLiteral("no 1006 from host2: %1").arg(m_callback->stringRepresentation())));
        qInfo("e2e: privileged task: host2 reported 1006 %lld ms after the call with a wrong password", t.elapsed());
        QVERIFY(!QFile::exists(hostDir(2) + QStringLiteral("/root/var/lib/standins/Quellar/succeed.result")));
        for (int i : {1, 3, 4})
            QVERIFY(m_callback->indexOfError(1006, hostName(i)) < 0);
        checkNoDataLost();
    }

    // Garbage, oversized frames, unknown operations, wrong types and a flood of
    // connections: no agent dies and the console keeps working.
    void badInput()
    {
        QVERIFY(waitAllReady());
        QStringList pids;
        for (int i = 1; i <= kHosts; ++i) {
            QFile f(hostDir(i) + QStringLiteral("/agent.pid"));
            QVERIFY(f.open(QIODevice::ReadOnly));
            pids << QString::fromLatin1(f.readAll().trimmed());
        }
        const ZDServicePtr target = service(1);
        QProcess peer;
        peer.setProcessChannelMode(QProcess::MergedChannels);
        QElapsedTimer t;
        t.start();
        peer.start(QStringLiteral("python3"), {qEnvironmentVariable("E2E_BADPEER"), hostAddress(1), QString::number(target->port())});
        QVERIFY(peer.waitForFinished(120000));
        qInfo("e2e: bad input: %s (%lld ms)", peer.readAll().trimmed().constData(), t.elapsed());
        QCOMPARE(peer.exitCode(), 0);

        // Unknown operation and wrong argument types through the real wire.
        const bool ended = offMain([&] {
            const QList<QPair<QString, QVariantList>> calls = {
                {QStringLiteral("noSuchOperation:"), {42}},
                {QStringLiteral("needsAdminAccess:"), {42}},
                {QStringLiteral("brindelPluginData:"), {QVariantMap{{QStringLiteral("x"), QVariantList{1, 2}}}}},
                {QStringLiteral("quellarGetDefinition:"), {QVariantList{QByteArray(100000, 'x')}}},
                {QStringLiteral("networkClientSettings"), {1, 2, 3}},
            };
            for (const auto &[op, args] : calls) {
                try {
                    if (const auto proxy = target->proxyObject()) {
                        const QVariant r = proxy->call(op, args);
                        qInfo("e2e: bad input: %s answered (%s)", qPrintable(op), r.typeName() ? r.typeName() : "nothing");
                    }
                } catch (const std::exception &e) {
                    qInfo("e2e: bad input: %s refused: %s", qPrintable(op), e.what());
                }
            }
        }, 60000);
        QVERIFY2(ended, "a call with bad arguments hung");

        for (int i = 1; i <= kHosts; ++i)
            QVERIFY2(QFile::exists(QStringLiteral("/proc/%1").arg(pids[i - 1])), qPrintable(QStringLiteral("agent of host%1 died").arg(i)));
        QVERIFY(waitAllReady());
        qint64 ms = 0;
        const QVariantMap all = readAll(&ms);
        for (int i = 1; i <= kHosts; ++i)
            QVERIFY2(hasAnswerFrom(all, i), qPrintable(QStringLiteral("no answer from host%1 after the bad input").arg(i)));
        qInfo("e2e: bad input: every agent alive, read across 4 hosts in %lld ms", ms);
        checkNoDataLost();
    }

    // Host4 turns rogue: found over DNS-SD under a name with markup and escapes that
    // claims host1, and entered by hand, it gives host1's name as its own, then
    // reports on its callbacks a refused password (which would wipe the stored one),
    // an error text, a maintenance request and its end, a configuration change and a
    // goodbye for each other computer. From the same host a hostile console attacks host1's
    // agent on the wire. Every check is made and the failed ones listed together.
    void hostileAgent()
    {
        QVERIFY(waitAllReady());
        QStringList failed;
        const auto expect = [&failed](bool ok, const QString &what) {
            qInfo("e2e: hostile agent: %s: %s", ok ? "holds" : "FAILS", qPrintable(what));
            if (!ok)
                failed << what;
        };
        const QString user = qEnvironmentVariable("E2E_ADMIN_USER", QStringLiteral("root"));
        const QString stored = QStringLiteral("kept-%1").arg(QCoreApplication::applicationPid());
        const bool keyring = ZDKeychain::isAvailable();
        // Stored passwords are filed under the agent's key.
        const QString filed = service(1) ? service(1)->credentialKey() : QString();
        if (keyring) {
            QVERIFY(!filed.isEmpty());
            for (const QString &settings : {QString(), m_sandbox->path(QStringLiteral("console.ini"))})
                QVERIFY(ZDCredentialStore(settings).setStoredUser(filed, user));
            QVERIFY(ZDCredentialStore().storeKeychainPassword(user, stored, filed));
        }
        QVERIFY(hosts({QStringLiteral("agent-quit"), QStringLiteral("4")}));
        QVERIFY(QTest::qWaitFor([this] { return !service(4); }, 30000));
        const QList<ZDServicePtr> others{service(1), service(2), service(3)};
        QSignalSpy goodbyes(m_callback.get(), &ZDErrorCallback::willDisconnect);
        QSignalSpy maintenance(m_callback.get(), &ZDErrorCallback::requestMaintenance);
        QSignalSpy configs(m_callback.get(), &ZDErrorCallback::updateConfig);
        QSignalSpy cancels(m_callback.get(), &ZDErrorCallback::cancelMaintenance);
        m_callback->clearErrorQueue();

        QProcess rogue;
        QStringList said;
        rogue.start(qEnvironmentVariable("E2E_HOSTS_SH"),
                    {QStringLiteral("exec"), QStringLiteral("4"), qEnvironmentVariable("E2E_BUILD") + QStringLiteral("/tests/helpers/zdfake_orvagent"),
                     QStringLiteral("--hostile"), QStringLiteral("--publish"), QStringLiteral("<img src=\"/dev/zero\">\x1b[31m") + hostName(1),
                     QStringLiteral("--name"), QStringLiteral("KestraClient - ") + hostName(1), QStringLiteral("--host"), hostName(1),
                     QStringLiteral("--version"), QStringLiteral("1100"), QStringLiteral("--orv"), QStringLiteral("1000")});
        const QString port = awaitLine(rogue, said, QStringLiteral("PORT "), 20000).section(u' ', 1);
        QVERIFY2(!port.isEmpty(), qPrintable(said.join(u'\n')));
        // Found under host1's registered name with a key of its own: the pin of that name
        // holds host1's key, so the rogue is not talked to there.
        QVERIFY2(QTest::qWaitFor([this] { return service(4) && service(4)->errorCode() == ZDOrv::kErrorCertificateChanged; }, kWait),
                 "the rogue under host1's name was talked to");
        QString title, text;
        QVERIFY(m_discovery->submitManualConnection(QStringLiteral("rogue"), hostAddress(4), port, &title, &text));
        ZDServicePtr manual;
        QVERIFY2(QTest::qWaitFor([&] {
            manual = m_discovery->serviceWithManualIP(hostAddress(4));
            return manual && manual->isConnected() && !manual->configDict().isEmpty();
        }, kWait), "the rogue's manual entry did not connect");
        rogue.write(QStringLiteral("spoof %1 %2 %3 %4\n").arg(hostName(4), hostName(1), hostName(2), hostName(3)).toUtf8());
        QVERIFY2(!awaitLine(rogue, said, QStringLiteral("SENT spoof"), 60000).isNull(), qPrintable(said.join(u'\n')));
        // Sent last on the same links: once it is here, every spoof before it was handled.
        // Its report about itself would come over the found link, which its key keeps shut.
        (void)QTest::qWaitFor([this] { return m_callback->stringRepresentation().contains(QStringLiteral("rogue marker")); }, 15000);
        QVERIFY(offMain([] { ZDBackgroundPool::waitForDone(std::chrono::seconds(60)); }, 70000));

        // Asked for a privileged task, the manual entry gets what is typed for it, never another computer's password.
        m_dispatcher->setCredentialPrompt(std::make_shared<ScriptedPrompt>(user, QStringLiteral("typed for the rogue"), QString()));
        QVERIFY(offMain([&] { m_dispatcher->authExecuteRemoteTask(QStringLiteral("succeed"), kTool, QStringList(), manual); }, 120000));
        m_dispatcher->setCredentialPrompt(nullptr);
        awaitLine(rogue, said, QStringLiteral("CREDENTIALS"), 5000);
        const QString sent = said.filter(QStringLiteral("CREDENTIALS")).join(u'\n');
        qInfo("e2e: hostile agent: the rogue got %lld credential checks", qint64(said.filter(QStringLiteral("CREDENTIALS")).size()));
        expect(!sent.contains(stored) && (qEnvironmentVariableIsEmpty("E2E_ADMIN_PASSWORD") || !sent.contains(qEnvironmentVariable("E2E_ADMIN_PASSWORD"))),
               QStringLiteral("the rogue entered by hand is never sent host1's stored or cached password") + (keyring ? QString() : QStringLiteral(" (no keyring: cached only)")));
        for (int i = 1; i <= 3; ++i) {
            const ZDServicePtr s = service(i);
            expect(s == others[i - 1] && s->isConnected() && !s->isInvalidated(), QStringLiteral("host%1 stays listed, connected, the same record").arg(i));
            expect(queueEntriesFor(i) == 0, QStringLiteral("no error queued for host%1 (%2)").arg(i).arg(queueEntriesFor(i)));
            expect(!names(goodbyes, i) && !names(maintenance, i) && !names(cancels, i) && !names(configs, i),
                   QStringLiteral("no goodbye, maintenance request or its end, or configuration change for host%1").arg(i));
        }
        if (keyring) {
            expect(ZDCredentialStore().keychainPassword(user, filed) == stored, QStringLiteral("host1's stored password is kept"));
            ZDCredentialStore().deleteKeychainPassword(user, filed);
        }
        qInfo("e2e: hostile agent: the rogue saw %lld of its reports refused", qint64(said.filter(QStringLiteral("REFUSED")).size()));

        // Host4 as a hostile console against host1's agent.
        const QString pid = QString::fromLatin1(ZDTestSandbox::readFile(hostDir(1) + QStringLiteral("/agent.pid")).trimmed());
        const qint64 outBefore = QFileInfo(hostDir(1) + QStringLiteral("/agent.out")).size();
        const qsizetype unchecked = agentLog(1).count("without checking");
        QProcess peer;
        peer.setProcessChannelMode(QProcess::MergedChannels);
        QStringList heard;
        peer.start(qEnvironmentVariable("E2E_HOSTS_SH"),
                   {QStringLiteral("exec"), QStringLiteral("4"), QStringLiteral("python3"), qEnvironmentVariable("E2E_BADPEER"), hostAddress(1),
                    QString::number(others[0]->port()), QStringLiteral("console"), user,
                    QString::fromLatin1(ZDEncryption::encryptCredential(QStringLiteral("a wrong guess")).toHex())});
        const QString quiet = awaitLine(peer, heard, QStringLiteral("NOHELLO"), 60000);
        expect(quiet.contains(QStringLiteral("closed=20 ")), QStringLiteral("connections without a hello are closed by the agent: ") + quiet);
        const QString flood = awaitLine(peer, heard, QStringLiteral("FLOOD"), 60000);
        QVariant settings;
        offMain([&] {
            try {
                ZDConnectionOptions options;
                options.serveMode = ZDServeMode::WorkerThreads;
                ZDConsoleSecurity::useTls(options, QStringLiteral("e2e-flood"), std::make_shared<std::atomic<bool>>(false));
                const auto c = ZDConnection::connectToHost(hostAddress(1), quint16(others[0]->port()), QString(), options);
                settings = c->rootProxy()->call(QStringLiteral("networkClientSettings"));
                c->invalidate();
            } catch (const std::exception &e) {
                qInfo("e2e: hostile agent: a new console during the flood: %s", e.what());
            }
        }, 60000);
        peer.write("go\n");
        expect(settings.typeId() == QMetaType::QVariantMap, QStringLiteral("a new console is served during a flood from another address: ") + flood);
        const QString utf8 = awaitLine(peer, heard, QStringLiteral("BADUTF8"), 60000);
        expect(!utf8.isEmpty() && !utf8.contains(QStringLiteral("accepted")), QStringLiteral("text that is not UTF-8 is refused on decode: ") + utf8);
        qInfo("e2e: hostile agent: %s", qPrintable(awaitLine(peer, heard, QStringLiteral("TIMEOUTNAME"), 60000)));
        awaitLine(peer, heard, QStringLiteral("GUESSING"), 60000);
        qint64 ms = 0;
        expect(hasAnswerFrom(readAll(&ms), 1), QStringLiteral("host1 answers this console while a peer guesses passwords"));
        const QString guesses = awaitLine(peer, heard, QStringLiteral("GUESSES"), 60000);
        // A peer not enrolled is refused before any password is looked at.
        expect(agentLog(1).count("without checking") > unchecked
                   || (guesses.contains(QStringLiteral("ZDNotEnrolledException")) && !guesses.contains(QStringLiteral("True"))),
               QStringLiteral("host1 refuses guesses without checking them: ") + guesses);
        if (!peer.waitForFinished(10000))
            peer.kill(), peer.waitForFinished(5000);
        heard << QString::fromUtf8(peer.readAll());
        if (!qEnvironmentVariableIsEmpty("E2E_ADMIN_PASSWORD")) {
            // The name guessed at stays locked for at most the agent's longest delay, a minute.
            QVariant valid;
            for (int tries = 0; tries < 45 && !valid.toBool(); ++tries) {
                if (tries)
                    QTest::qWait(2000);
                offMain([&] {
                    valid = m_dispatcher->objectFromRemoteMethod(QString::fromLatin1(ZDOrv::kValidateUsernamePassword), user,
                                                                 ZDEncryption::encryptCredential(qEnvironmentVariable("E2E_ADMIN_PASSWORD")), others[0]);
                }, 120000);
            }
            expect(valid.toBool(), QStringLiteral("after the guessing host1 takes the right password again (%1)").arg(valid.toString()));
        }
        QFile out(hostDir(1) + QStringLiteral("/agent.out"));
        expect(out.open(QIODevice::ReadOnly) && out.seek(outBefore) && !out.readAll().contains("Reconnecting in"),
               QStringLiteral("host1's agent did not restart its service"));
        expect(QFile::exists(QStringLiteral("/proc/") + pid), QStringLiteral("host1's agent is alive"));
        offMain([&others] {
            try {
                if (const auto proxy = others[0]->proxyObject())
                    // A cache request refused for its keys: the agent reports it to its consoles.
                    proxy->call(QStringLiteral("kitterelTrashCaches:settings:"),
                                {QVariantMap(), QVariantMap{{QStringLiteral("obj1"), QStringLiteral("font,;reboot")}}});
            } catch (const std::exception &e) {
                qInfo("e2e: hostile agent: host1: %s", e.what());
            }
        }, 30000);
        expect(QTest::qWaitFor([this] { return m_callback->stringRepresentation().contains(QStringLiteral("cache keys were refused")); }, 30000),
               QStringLiteral("host1's agent still calls this console back"));

        QVERIFY(m_discovery->removeManualConnection(QStringLiteral("rogue")));
        rogue.closeWriteChannel();
        if (!rogue.waitForFinished(10000))
            rogue.kill(), rogue.waitForFinished(5000);
        QVERIFY(hosts({QStringLiteral("agent-start"), QStringLiteral("4")}));
        QVERIFY2(failed.isEmpty(), qPrintable(failed.join(QStringLiteral("; ")) + u'\n' + heard.join(u'\n')));
        QVERIFY(waitAllReady());
        checkNoDataLost();
    }

    // Preference backups and application paths through kestra on all four hosts: a
    // backup everywhere, host1's restored onto host3 (whose file went) after a quick
    // backup there, host1's paths copied onto every host; bad names and paths refused.
    void prefsAndPaths()
    {
        QVERIFY(waitAllReady());
        const QString kestra = qEnvironmentVariable("E2E_BUILD") + QStringLiteral("/bin/kestra");
        const auto run = [&](QStringList args) {
            args << QStringLiteral("--wait") << QStringLiteral("30");
            QProcess p;
            p.start(kestra, args);
            p.closeWriteChannel();
            if (!p.waitForFinished(120000))
                p.kill(), p.waitForFinished(5000);
            const QString err = QString::fromUtf8(p.readAllStandardError());
            if (!err.isEmpty())
                qInfo("e2e: kestra %s: %s", qPrintable(args.first()), qPrintable(err.trimmed()));
            return std::pair{p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1,
                             QString::fromUtf8(p.readAllStandardOutput()) + err};
        };
        const auto prefsFile = [](int i) {
            return hostDir(i) + QStringLiteral("/root/home/.config/com.apple.FinalCutPro.plist");
        };
        const auto sum = [](const QString &path) {
            return QCryptographicHash::hash(ZDTestSandbox::readFile(path), QCryptographicHash::Sha256);
        };
        for (int i = 1; i <= kHosts; ++i)
            QVERIFY(ZDTestSandbox::writeFile(prefsFile(i), "<plist><dict><key>bay</key><integer>" +
                                                               QByteArray::number(i) + "</integer></dict></plist>"));
        QElapsedTimer t;
        t.start();
        QCOMPARE(run({QStringLiteral("prefs"), QStringLiteral("backup"), QStringLiteral("e2e"),
                      QStringLiteral("fcpPrefs")}).first, 0);
        const auto [listed, list] = run({QStringLiteral("prefs"), QStringLiteral("list"), QStringLiteral("--json")});
        QCOMPARE(listed, 0);
        QCOMPARE(QJsonDocument::fromJson(list.toUtf8()).array().size(), kHosts);
        QVERIFY(QFile::remove(prefsFile(3)));
        const auto [restored, restoreOut] = run({QStringLiteral("prefs"), QStringLiteral("restore"),
                                                 QStringLiteral("host1:e2e"), QStringLiteral("--hosts"), QStringLiteral("host3")});
        QVERIFY2(restored == 0, qPrintable(restoreOut));
        QCOMPARE(sum(prefsFile(3)), sum(prefsFile(1)));
        QVERIFY2(QDir(QDir::tempPath()).entryList({QStringLiteral("stowel-*")}, QDir::Dirs).isEmpty(),
                 "the received backup was left in the temporary folder");
        const auto [_, host3] = run({QStringLiteral("prefs"), QStringLiteral("list"), QStringLiteral("--json"),
                                     QStringLiteral("--hosts"), QStringLiteral("host3")});
        QVERIFY2(host3.contains(QStringLiteral("\"Before restore ")), qPrintable(host3));
        qInfo("e2e: prefsAndPaths: backup on 4 hosts, list, restore host1 -> host3 in %lld ms", t.elapsed());

        QCOMPARE(run({QStringLiteral("prefs"), QStringLiteral("backup"), QStringLiteral("../x")}).first, 2);
        const auto [refused, why] = run({QStringLiteral("prefs"), QStringLiteral("restore"),
                                         QStringLiteral("host1:/etc"), QStringLiteral("--hosts"), QStringLiteral("host1")});
        QCOMPARE(refused, 1);
        QVERIFY2(why.contains(QStringLiteral("is not a backup listed")), qPrintable(why));

        t.restart();
        for (int i : {1, 2})
            run({QStringLiteral("call"), QStringLiteral("setTarnokPath:forKey:"), QStringLiteral("\"/srv/host%1 renders\"").arg(i),
                 QStringLiteral("\"fcpRender\""), QStringLiteral("--hosts"), QStringLiteral("host%1").arg(i)});
        QCOMPARE(run({QStringLiteral("paths"), QStringLiteral("sync"), QStringLiteral("--from"), QStringLiteral("host1"),
                      QStringLiteral("--yes")}).first, 0);
        const auto [pathsRead, paths] = run({QStringLiteral("paths"), QStringLiteral("list"), QStringLiteral("--json")});
        QCOMPARE(pathsRead, 0);
        int rows = 0;
        for (const QJsonValue &row : QJsonDocument::fromJson(paths.toUtf8()).array()) {
            const QJsonObject values = row.toObject().value(QStringLiteral("values")).toObject();
            if (values.isEmpty())
                continue;
            ++rows;
            QCOMPARE(values.size(), kHosts);
            QVERIFY2(!row.toObject().value(QStringLiteral("differs")).toBool(), qPrintable(paths));
        }
        QVERIFY(rows > 10);
        qInfo("e2e: prefsAndPaths: paths of host1 on every host (%d rows) in %lld ms", rows, t.elapsed());
    }
    // Plug-ins on four hosts through kestra: Glow 10.0 on host1, 9.0 on host2,
    // disabled on host3, absent on host4 is one row that differs; after a sync all
    // have 10.0 enabled and the row agrees. A library only the two failing hosts
    // have is the one difference the Difference Finder reports.
    void pluginsAndDiff()
    {
        QVERIFY(waitAllReady());
        const auto kestra = [](QStringList args) {
            args << QStringLiteral("--json") << QStringLiteral("--wait") << QStringLiteral("30");
            QProcess p;
            p.start(qEnvironmentVariable("E2E_BUILD") + QStringLiteral("/bin/kestra"), args);
            p.closeWriteChannel();
            if (!p.waitForFinished(120000))
                p.kill(), p.waitForFinished(5000);
            qInfo("e2e: kestra %s: exit %d %s", qPrintable(args.join(u' ')), p.exitCode(),
                  p.readAllStandardError().trimmed().constData());
            return QJsonDocument::fromJson(p.readAllStandardOutput());
        };
        const auto glowRow = [](const QJsonDocument &rows) {
            for (const QJsonValue &row : rows.array())
                if (row[QStringLiteral("name")] == QStringLiteral("Glow"))
                    return row.toObject();
            return QJsonObject();
        };
        const auto root = [](int i) { return hostDir(i) + QStringLiteral("/root"); };
        const QString bundle = QStringLiteral("/usr/OFX/Plugins/Glow.ofx.bundle");
        const QString suite = QStringLiteral("/usr/local/share/Zendrel/Kestra Maintenance Tools");
        const auto glow = [](const QString &path, const char *version) {
            return ZDPropertyList::writeFile(path + QStringLiteral("/Contents/Info.plist"),
                                             QVariantMap{{QStringLiteral("CFBundleName"), QStringLiteral("Glow")},
                                                         {QStringLiteral("CFBundleShortVersionString"), QLatin1String(version)}});
        };
        for (int i = 1; i <= kHosts; ++i) {
            for (const QString &old : {QStringLiteral("/usr/OFX"), suite, QStringLiteral("/home/.local/share/OFX"), QStringLiteral("/home/.lv2")})
                QDir(root(i) + old).removeRecursively();
        }
        QVERIFY(glow(root(1) + bundle, "10.0") && glow(root(2) + bundle, "9.0")
                && glow(root(3) + suite + QStringLiteral("/Brindel Disabled Plugins") + root(3) + bundle, "10.0"));
        for (int i : {3, 4})
            QVERIFY(ZDTestSandbox::writeFile(root(i) + QStringLiteral("/usr/lib/libfaulty.so.1.0.0"), "x"));
        // A bare bundle folder (no package) on host1 only: it must arrive as its folder, not as loose files.
        QVERIFY(ZDTestSandbox::writeFile(root(1) + QStringLiteral("/home/.lv2/Echo.lv2/manifest.ttl"), "@prefix lv2: <urn:lv2#> .\n"));
        QElapsedTimer t;
        t.start();
        QJsonObject row = glowRow(kestra({QStringLiteral("plugins")}));
        QCOMPARE(row[QStringLiteral("version")].toString(), QStringLiteral("(various)"));
        QCOMPARE(row[QStringLiteral("stateText")].toString(), QStringLiteral("missing on some computers"));
        QCOMPARE(row[QStringLiteral("children")].toArray().size(), 3);
        // Onto the hosts that never had them too: asked for by --add-missing.
        // The sync says "done" per computer; the listing after it shows the copies in line.
        const QJsonObject synced = kestra({QStringLiteral("plugins"), QStringLiteral("sync"), QStringLiteral("--from"), QStringLiteral("host1"),
                                           QStringLiteral("--add-missing")}).object();
        qInfo("e2e: pluginsAndDiff: list and sync on 4 hosts in %lld ms", t.elapsed());
        QCOMPARE(synced.size(), kHosts);
        for (const QJsonValue &result : synced)
            QCOMPARE(result.toString(), QStringLiteral("done"));
        row = glowRow(kestra({QStringLiteral("plugins")}));
        QCOMPARE(row[QStringLiteral("stateText")].toString(), QStringLiteral("in line"));
        QCOMPARE(row[QStringLiteral("version")].toString(), QStringLiteral("10.0"));
        QCOMPARE(row[QStringLiteral("children")].toArray().size(), kHosts);
        QCOMPARE(row[QStringLiteral("disabled")].toInt(), 0);
        for (int i = 1; i <= kHosts; ++i) {
            QCOMPARE(ZDPropertyList::readDictionary(root(i) + bundle + QStringLiteral("/Contents/Info.plist"))
                         .value(QStringLiteral("CFBundleShortVersionString")).toString(), QStringLiteral("10.0"));
            QVERIFY(QFile::exists(root(i) + QStringLiteral("/home/.lv2/Echo.lv2/manifest.ttl")));
        }
        const QJsonArray differences = kestra({QStringLiteral("diff"), QStringLiteral("--working"), QStringLiteral("host1,host2"),
                                               QStringLiteral("--failing"), QStringLiteral("host3,host4")}).array();
        QCOMPARE(differences.size(), 1);
        QCOMPARE(differences[0][QStringLiteral("description")].toString(), QStringLiteral("Framework libfaulty"));
        QCOMPARE(differences[0][QStringLiteral("nonworking")].toString(), QStringLiteral("1.0.0"));
    }

    // Crash logs across the hosts: three real crashes on two hosts fetched through the
    // console's cache (a second refresh gets nothing new), statistics by application and
    // by computer, and a consolidation with the administrator's password that turns a
    // system crash record of a third host into a record at the console.
    void crashLogs()
    {
        QVERIFY(waitAllReady());
        const QString motion = zdtest::buildPath(QStringLiteral("tools/standins/Motion"));
        const auto logs = [](int i) { return hostDir(i) + QStringLiteral("/root/home/.local/state"); };
        for (int i = 1; i <= kHosts; ++i) {
            for (const char *folder : {"/log/CrashReporter", "/log/DiagnosticReports"})
                QDir(logs(i) + QLatin1String(folder)).removeRecursively();
        }
        for (const auto &[i, name] : {std::pair{1, "Motion"}, {1, "Color"}, {3, "Motion"}}) {
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert(QStringLiteral("HOME"), hostDir(i) + QStringLiteral("/root/home"));
            env.insert(QStringLiteral("XDG_STATE_HOME"), logs(i));
            // Run by root here, its report is the computer's: in that host's system root.
            env.insert(QStringLiteral("KESTRA_SYSTEM_ROOT"), hostDir(i) + QStringLiteral("/root"));
            QProcess crash;
            crash.setProcessEnvironment(zdtest::crashingChildEnvironment(env));
            crash.start(motion, {QStringLiteral("--name"), QLatin1String(name)});
            QVERIFY(crash.waitForFinished(30000));
            QCOMPARE(crash.exitStatus(), QProcess::CrashExit);
        }
        ZDCrashLogController crashLogs(m_dispatcher.get(), m_callback.get(),
                                       ZDCrashLogCache(m_sandbox->path(QStringLiteral("crashlogs.plist")), QStringLiteral("e2e")));
        QList<ZDServicePtr> all;
        for (int i = 1; i <= kHosts; ++i)
            all << service(i);
        int received = -1;
        QElapsedTimer t;
        t.start();
        QVERIFY(offMain([&] { received = crashLogs.refresh(all); }, 120000));
        qInfo("e2e: crash logs: %d records from %d hosts in %lld ms", received, kHosts, t.elapsed());
        QCOMPARE(received, 3);
        const QVariantMap stats = crashLogs.statistics(ZDCrashLogStats::All, kHosts);
        QCOMPARE(stats.value(QStringLiteral("Total number of crashes")).toString(), QStringLiteral("3"));
        QCOMPARE(stats.value(QStringLiteral("Average crashes per computer")).toString(), QStringLiteral("0.75"));
        QCOMPARE(stats.value(QStringLiteral("Most unstable machine")).toString(), service(1)->name());
        QCOMPARE(stats.value(QStringLiteral("Most unstable application")).toString(), QStringLiteral("Motion"));
        QVERIFY(offMain([&] { received = crashLogs.refresh(all); }, 120000));
        QCOMPARE(received, 0);
        QCOMPARE(crashLogs.logs().size(), 3);

        const QString user = qEnvironmentVariable("E2E_ADMIN_USER");
        const QString password = qEnvironmentVariable("E2E_ADMIN_PASSWORD");
        if (user.isEmpty() || password.isEmpty())
            QSKIP("no test administrator (run.sh makes one)");
        const QString systemCrashes = hostDir(2) + QStringLiteral("/root/var/crash");
        QVERIFY(QDir().mkpath(systemCrashes));
        QVERIFY(ZDTestSandbox::writeFile(systemCrashes + QStringLiteral("/_usr_bin_Compressor.0.crash"),
                                         "ProblemType: Crash\nExecutablePath: /usr/bin/Compressor\nProcPid: 4242\n"
                                         "Signal: 11\nStacktraceTop:\n encode_frame () from /usr/lib/libcodec.so.1\n"));
        m_dispatcher->setCredentialPrompt(std::make_shared<ScriptedPrompt>(user, password, hostName(4)));
        // While the helper holds its notice back, a second request starts nothing more.
        const QString hold = hostDir(2) + QStringLiteral("/root/var/lib/standins/Quellar/consolidate.hold");
        QVERIFY(QDir().mkpath(QFileInfo(hold).absolutePath()) && ZDTestSandbox::writeFile(hold, "hold"));
        int handed = 0;
        t.restart();
        QVERIFY(offMain([&] { handed = crashLogs.consolidate({service(2), service(2)}); }, 120000));
        m_dispatcher->setCredentialPrompt(nullptr);
        QCOMPARE(handed, 2);
        QTRY_VERIFY_WITH_TIMEOUT(agentLog(2).contains("Crash log consolidation already running."), 30000);
        QVERIFY(QFile::remove(hold));
        QTRY_VERIFY_WITH_TIMEOUT(crashLogs.logs().size() == 4, 60000);
        qInfo("e2e: crash logs: consolidation on host2 reported in %lld ms", t.elapsed());
        const QVariantMap gathered = crashLogs.logs().last().toMap();
        QVERIFY(sameHost(gathered.value(QStringLiteral("hostname")).toString(), hostName(2)));
        QCOMPARE(gathered.value(QStringLiteral("app")).toString(), QStringLiteral("Compressor"));
        QCOMPARE(gathered.value(QStringLiteral("cause")).toString(), QStringLiteral("SIGSEGV (invalid memory access) in libcodec.so.1"));
        checkNoDataLost();
    }

    // Applications across the hosts: the editing application stand-in installed and
    // opened on host2 only is listed running there alone; quit through kestra, it
    // records the SIGTERM and is listed stopped. A cache run on every host posts one
    // progress step per key and per computer; a removal group run with the
    // administrator's password leaves the group's bundles in each host's Trash.
    void applications()
    {
        QVERIFY(waitAllReady());
        const auto kestra = [](QStringList args) {
            args << QStringLiteral("--json") << QStringLiteral("--wait") << QStringLiteral("30") << QStringLiteral("--yes");
            QProcess p;
            p.start(qEnvironmentVariable("E2E_BUILD") + QStringLiteral("/bin/kestra"), args);
            p.closeWriteChannel();
            if (!p.waitForFinished(120000))
                p.kill(), p.waitForFinished(5000);
            qInfo("e2e: kestra %s: exit %d %s", qPrintable(args.join(u' ')), p.exitCode(), p.readAllStandardError().trimmed().constData());
            return QJsonDocument::fromJson(p.readAllStandardOutput());
        };
        const auto colorOn = [&](const QString &status) {
            for (const QJsonValue &row : kestra({QStringLiteral("apps")}).array()) {
                if (row[QStringLiteral("name")] != QStringLiteral("Color"))
                    continue;
                const QJsonArray children = row[QStringLiteral("children")].toArray();
                QStringList hosts;
                for (const QJsonValue &c : children)
                    if (c[QStringLiteral("running")].toBool())
                        hosts << c[QStringLiteral("hostname")].toString();
                return row[QStringLiteral("status")].toString() == status && children.size() == kHosts ? hosts.join(u',') : QStringLiteral("?");
            }
            return QStringLiteral("?");
        };
        const auto root = [](int i) { return hostDir(i) + QStringLiteral("/root"); };
        const QString records = QStringLiteral("/var/lib/standins/Color");
        for (int i = 1; i <= kHosts; ++i) {
            for (const QString &old : {QStringLiteral("/opt/Color.app"), records, QStringLiteral("/home/.local/share/Trash")})
                QDir(root(i) + old).removeRecursively();
            for (const char *app : {"Motion", "Motion 5"})
                QVERIFY(ZDPropertyList::writeFile(root(i) + QStringLiteral("/opt/%1.app/Contents/Info.plist").arg(QLatin1String(app)), QVariantMap()));
        }
        QVERIFY(QProcess::execute(QStringLiteral("cp"), {QStringLiteral("-a"), qEnvironmentVariable("E2E_BUILD") + QStringLiteral("/apps/Color.app"),
                                                          root(2) + QStringLiteral("/opt/")}) == 0);
        QElapsedTimer t;
        t.start();
        kestra({QStringLiteral("apps"), QStringLiteral("open"), QStringLiteral("Color")});
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(root(2) + records + QStringLiteral("/started.result")), 30000);
        QCOMPARE(colorOn(QStringLiteral("Some running")), hostName(2));
        kestra({QStringLiteral("apps"), QStringLiteral("quit"), QStringLiteral("com.apple.color")});
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(root(2) + records + QStringLiteral("/terminated.result")), 30000);
        QCOMPARE(colorOn(QStringLiteral("Not running")), QString());
        qInfo("e2e: applications: opened, listed, quit and listed again in %lld ms", t.elapsed());

        QList<ZDServicePtr> all;
        for (int i = 1; i <= kHosts; ++i)
            all << service(i);
        const auto hostOf = [](const ZDServicePtr &s) { return s->hostName(); };
        ZDMaintenanceRuns runs(*m_dispatcher, m_callback.get(), all, hostOf);
        QSignalSpy steps(m_callback.get(), &ZDErrorCallback::progressIncremented);
        ZDMaintenanceRuns::Report report;
        t.restart();
        QVERIFY(offMain([&] { report = runs.trashCaches({QStringLiteral("font"), QStringLiteral("whatis")}, false); }, 120000));
        qInfo("e2e: applications: caches on %d hosts: %d of %d steps, %d finished in %lld ms", kHosts, report.steps, report.total, report.finished, t.elapsed());
        QCOMPARE(report.total, 2 * kHosts);
        QCOMPARE(report.steps, 2 * kHosts);
        QCOMPARE(report.finished, kHosts);

        const QString user = qEnvironmentVariable("E2E_ADMIN_USER"), password = qEnvironmentVariable("E2E_ADMIN_PASSWORD");
        if (user.isEmpty() || password.isEmpty())
            QSKIP("no test administrator (run.sh makes one)");
        m_dispatcher->setCredentialPrompt(std::make_shared<ScriptedPrompt>(user, password, QStringLiteral("nobody.local.")));
        t.restart();
        QVERIFY(offMain([&] { report = runs.removeGroups({2, 3}, true); }, 180000));
        m_dispatcher->setCredentialPrompt(nullptr);
        qInfo("e2e: applications: removal of 2 groups with rights on %d hosts: %d handed, %d finished in %lld ms", kHosts, report.handed, report.finished, t.elapsed());
        QCOMPARE(report.handed, 2 * kHosts);
        QCOMPARE(report.finished, 2 * kHosts);
        for (int i = 1; i <= kHosts; ++i) {
            for (const char *app : {"Motion", "Motion 5"}) {
                QVERIFY(!QFile::exists(root(i) + QStringLiteral("/opt/%1.app").arg(QLatin1String(app))));
                QVERIFY(QFile::exists(root(i) + QStringLiteral("/home/.local/share/Trash/files/%1.app").arg(QLatin1String(app))));
            }
            QVERIFY(ZDTestSandbox::readFile(root(i) + QStringLiteral("/var/lib/standins/Purgel/remove.result")).contains("\neuid=0\n"));
        }
        // Password protection with rights: each tool's shared file is root's, readable by all, writable by nobody else.
        m_dispatcher->setCredentialPrompt(std::make_shared<ScriptedPrompt>(user, password, QStringLiteral("nobody.local.")));
        ZDApplicationRows apps(*m_dispatcher, all, hostOf);
        int protectedOn = 0;
        QVERIFY(offMain([&] { protectedOn = apps.setPasswordProtect(true); }, 60000));
        m_dispatcher->setCredentialPrompt(nullptr);
        QCOMPARE(protectedOn, kHosts);
        const QFileInfo tidwell(root(3) + QStringLiteral("/etc/xdg/com.zendrel.Tidwell.plist"));
        QTRY_VERIFY_WITH_TIMEOUT(ZDPropertyList::readDictionary(tidwell.filePath()).value(QStringLiteral("requireAdminPassword")).toInt() == 1, 30000);
        QCOMPARE(tidwell.ownerId(), 0u);
        QCOMPARE(tidwell.permissions() & (QFile::WriteGroup | QFile::WriteOther | QFile::ReadOther), QFile::ReadOther);
        QVariantMap settings;
        QTRY_VERIFY_WITH_TIMEOUT((offMain([&] { settings = apps.settings(); }, 60000), settings.value(QStringLiteral("passwordProtect")).toInt() == 1), 30000);
    }

    // Two hosts, as installed, serve enrolled consoles only; this console enrols with its own token
    // and runs a task with rights there over TLS: a capture on the bridge meanwhile
    // holds neither the password nor the cipher text it travels in.
    void secureFleet()
    {
        const QString user = qEnvironmentVariable("E2E_ADMIN_USER"), password = qEnvironmentVariable("E2E_ADMIN_PASSWORD");
        if (user.isEmpty() || password.isEmpty() || QStandardPaths::findExecutable(QStringLiteral("tcpdump")).isEmpty())
            QSKIP("no test administrator or no tcpdump");
        const QString agent = qEnvironmentVariable("E2E_BUILD") + QStringLiteral("/apps/KestraClient.app/Contents/MacOS/KestraClient");
        const auto onHost = [&](int i, const QStringList &args) {
            QProcess p;
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert(QStringLiteral("KESTRA_SYSTEM_ROOT"), hostDir(i) + QStringLiteral("/root"));
            p.setProcessEnvironment(env);
            p.start(agent, args);
            return p.waitForFinished(30000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
        };
        const auto secure = [&](bool on) {
            for (int i : {1, 2})
                if (!onHost(i, {QStringLiteral("-require-enrolled"), on ? QStringLiteral("yes") : QStringLiteral("no")})
                    || !hosts({QStringLiteral("agent-stop"), QString::number(i)}) || !hosts({QStringLiteral("agent-start"), QString::number(i)}))
                    return false;
            newConsole();
            return waitAllReady();
        };
        const QString token = ZDConsoleSecurity::enrollToken(QDateTime::currentDateTimeUtc().addSecs(600), nullptr);
        for (int i : {1, 2})
            QVERIFY(onHost(i, {QStringLiteral("-enroll"), token}));
        QVERIFY(secure(true));
        for (int i : {1, 2}) {
            QCOMPARE(service(i)->netService().txt.value(QLatin1String(ZDOrv::kTxtSecure)).toString(), QStringLiteral("1"));
            QFile::remove(hostDir(i) + QStringLiteral("/root/var/lib/standins/Quellar/succeed.result"));
        }
        const QString capture = m_sandbox->path(QStringLiteral("bridge.pcap"));
        QProcess dump;
        dump.setProcessChannelMode(QProcess::MergedChannels);
        dump.start(QStringLiteral("ip"), {QStringLiteral("netns"), QStringLiteral("exec"), QStringLiteral("kehub"), QStringLiteral("tcpdump"),
                                          QStringLiteral("-i"), QStringLiteral("br0"), QStringLiteral("-n"), QStringLiteral("-U"), QStringLiteral("-w"), capture});
        QByteArray said;
        QTRY_VERIFY_WITH_TIMEOUT((said += dump.readAll()).contains("listening on") || dump.state() == QProcess::NotRunning, 15000);
        QVERIFY2(dump.state() == QProcess::Running, said.constData());
        m_dispatcher->setCredentialPrompt(std::make_shared<ScriptedPrompt>(user, password, QStringLiteral("nobody.local.")));
        QMap<int, bool> handed;
        QVERIFY(offMain([&] {
            for (int i : {1, 2})
                handed[i] = m_dispatcher->authExecuteRemoteTask(QStringLiteral("succeed"), kTool, QStringList(), service(i));
        }, 120000));
        m_dispatcher->setCredentialPrompt(nullptr);
        QVERIFY(handed[1] && handed[2]);
        for (int i : {1, 2})
            QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(hostDir(i) + QStringLiteral("/root/var/lib/standins/Quellar/succeed.result")), 30000);
        dump.terminate();
        QVERIFY(dump.waitForFinished(15000));
        const QByteArray bytes = ZDTestSandbox::readFile(capture);
        qInfo("e2e: secure fleet: %lld bytes captured on the bridge during the task", qint64(bytes.size()));
        QVERIFY(bytes.contains(QByteArray("\x17\x03\x03", 3))); // TLS 1.3 records went by
        QVERIFY(!bytes.contains(password.toUtf8()));
        QVERIFY(!bytes.contains(ZDEncryption::encryptCredential(password)));
    }
    // Root opens host3's pairing window; a second console that host3 never enrolled
    // pairs through it with `kestra pair`: both sides show the same code, and the
    // console counts as enrolled on host3 afterwards.
    void pairingWindow()
    {
        QVERIFY(waitAllReady());
        QTemporaryDir home; // the second console's key, settings and caches
        QVERIFY(home.isValid());
        QProcessEnvironment console = QProcessEnvironment::systemEnvironment();
        for (const char *name : {"HOME", "XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_CACHE_HOME"})
            console.insert(QLatin1String(name), home.path() + u'/' + QLatin1String(name));
        const auto kestra = [&](const QStringList &args) {
            QProcess p;
            p.setProcessEnvironment(console);
            p.start(qEnvironmentVariable("E2E_BUILD") + QStringLiteral("/bin/kestra"), args);
            p.closeWriteChannel();
            if (!p.waitForFinished(120000))
                p.kill(), p.waitForFinished(5000);
            const QString said = QString::fromUtf8(p.readAllStandardOutput() + p.readAllStandardError());
            qInfo("e2e: second console: kestra %s: %s", qPrintable(args.join(u' ')), qPrintable(said.trimmed()));
            return said;
        };
        const auto enrolledOnHost3 = [&] {
            const QJsonArray rows = QJsonDocument::fromJson(
                kestra({QStringLiteral("list"), QStringLiteral("--json"), QStringLiteral("--wait"), QStringLiteral("10")}).toUtf8()).array();
            for (const QJsonValue &row : rows) {
                if (row[QStringLiteral("hostname")].toString().startsWith(QStringLiteral("host3")))
                    return row[QStringLiteral("enrolled")].toBool();
            }
            return false;
        };
        QVERIFY(!enrolledOnHost3());
        QProcess window;
        QProcessEnvironment root = QProcessEnvironment::systemEnvironment();
        root.insert(QStringLiteral("KESTRA_SYSTEM_ROOT"), hostDir(3) + QStringLiteral("/root"));
        window.setProcessEnvironment(root);
        window.setProcessChannelMode(QProcess::MergedChannels);
        window.start(qEnvironmentVariable("E2E_BUILD") + QStringLiteral("/apps/KestraClient.app/Contents/MacOS/KestraClient"),
                     {QStringLiteral("-pair"), QStringLiteral("1")});
        QByteArray rootSaw;
        QTRY_VERIFY_WITH_TIMEOUT((rootSaw += window.readAll()).contains("Pairing window open")
                                     || window.state() == QProcess::NotRunning, 15000);
        QVERIFY2(window.state() == QProcess::Running, rootSaw.constData());
        // Root's answer, read once the request is shown; in the pipe before kestra blocks this thread.
        window.write("y\n");
        QVERIFY(window.waitForBytesWritten(5000));
        const QString consoleSaw = kestra({QStringLiteral("pair"), QStringLiteral("host3"), QStringLiteral("--wait"), QStringLiteral("30")});
        QVERIFY(window.waitForFinished(60000));
        rootSaw += window.readAll();
        qInfo("e2e: host3 root: %s", rootSaw.trimmed().constData());
        QCOMPARE(window.exitCode(), 0);
        const QRegularExpression code(QStringLiteral("Pairing code: (\\d{3} \\d{3})"));
        const QString consoleCode = code.match(consoleSaw).captured(1);
        QVERIFY2(!consoleCode.isEmpty(), qPrintable(consoleSaw));
        QCOMPARE(code.match(QString::fromUtf8(rootSaw)).captured(1), consoleCode);
        QVERIFY(enrolledOnHost3());
    }
    // Scheduled tasks on four hosts through kestra: a calendar task (Mondays 03:00)
    // written on each host as a timer systemd accepts; host2's changed shows
    // "(various)" until a sync brings it back; a field holding a newline is refused
    // with a clear error and no file written. Pausing a render job on host1 changes
    // only host1's queue.
    void schedulesAndRender()
    {
        QVERIFY(waitAllReady());
        const auto kestra = [](QStringList args) {
            args << QStringLiteral("--wait") << QStringLiteral("30");
            QProcess p;
            p.start(qEnvironmentVariable("E2E_BUILD") + QStringLiteral("/bin/kestra"), args);
            p.closeWriteChannel();
            if (!p.waitForFinished(120000))
                p.kill(), p.waitForFinished(5000);
            const QString err = QString::fromUtf8(p.readAllStandardError()).trimmed();
            qInfo("e2e: kestra %s: exit %d %s", qPrintable(args.join(u' ')), p.exitCode(), qPrintable(err));
            return std::pair{p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1,
                             QString::fromUtf8(p.readAllStandardOutput()) + err};
        };
        const auto units = [](int i) { return hostDir(i) + QStringLiteral("/root/etc/systemd/system"); };
        const auto scheduleRows = [&] {
            return QJsonDocument::fromJson(kestra({QStringLiteral("schedules"), QStringLiteral("--json")}).second.toUtf8()).array();
        };
        const auto row = [&] {
            const QJsonArray all = scheduleRows();
            return all.size() == 1 ? all[0].toObject() : QJsonObject();
        };
        for (int i = 1; i <= kHosts; ++i)
            QDir(hostDir(i) + QStringLiteral("/root/var/lib/Cadro")).removeRecursively(), QDir(units(i)).removeRecursively();
        QElapsedTimer t;
        t.start();
        QCOMPARE(kestra({QStringLiteral("schedules"), QStringLiteral("add"), QStringLiteral("com.zendrel.Quellar"),
                         QStringLiteral("succeed"), QStringLiteral("at"), QStringLiteral("0,3,,1,")}).first, 0);
        QJsonObject task = row();
        QCOMPARE(task[QStringLiteral("children")].toArray().size(), kHosts);
        QCOMPARE(task[QStringLiteral("stateText")].toString(), QStringLiteral("in line"));
        qInfo("e2e: schedules: added on %d hosts and listed in %lld ms", kHosts, t.elapsed());
        QString host2;
        for (const QJsonValue &child : task[QStringLiteral("children")].toArray()) {
            const QString name = child[QStringLiteral("filename")].toString();
            const int i = child[QStringLiteral("hostname")].toString().section(u'.', 0, 0).right(1).toInt();
            if (i == 2)
                host2 = name;
            const QString timer = QString::fromUtf8(ZDTestSandbox::readFile(units(i) + u'/' + name + QStringLiteral(".timer")));
            const QString calendar = timer.section(QStringLiteral("OnCalendar="), 1).section(u'\n', 0, 0);
            QCOMPARE(calendar, QStringLiteral("Mon *-*-* 03:00:00"));
            if (!QStandardPaths::findExecutable(QStringLiteral("systemd-analyze")).isEmpty())
                QCOMPARE(QProcess::execute(QStringLiteral("systemd-analyze"), {QStringLiteral("calendar"), calendar}), 0);
        }
        QVERIFY(!host2.isEmpty());
        const QString edit = QStringLiteral("{\"obj1\":{\"filename\":\"%1\",\"bundleid\":\"com.zendrel.Quellar\",\"taskid\":"
                                            "\"succeed\",\"scheduletype\":\"6\",\"intervalval\":\"3600\"}}").arg(host2);
        QCOMPARE(kestra({QStringLiteral("call"), QStringLiteral("cadroEditTask:settings:"), QStringLiteral("{}"), edit,
                         QStringLiteral("--hosts"), QStringLiteral("host2")}).first, 0);
        // Two schedules now: sync adds each where it is missing and rewrites neither (asked first: --yes).
        QCOMPARE(scheduleRows().size(), 2);
        QCOMPARE(kestra({QStringLiteral("schedules"), QStringLiteral("sync")}).first, 1);
        QCOMPARE(kestra({QStringLiteral("schedules"), QStringLiteral("sync"), QStringLiteral("--yes")}).first, 0);
        for (const QJsonValue &each : scheduleRows()) {
            QCOMPARE(each[QStringLiteral("stateText")].toString(), QStringLiteral("in line"));
            QCOMPARE(each[QStringLiteral("children")].toArray().size(), kHosts);
        }
        QVERIFY(ZDTestSandbox::readFile(units(2) + u'/' + host2 + QStringLiteral(".timer")).contains("OnUnitActiveSec=3600"));

        // With the administrator's password: the run is waited for, so the next listing shows it.
        const QString user = qEnvironmentVariable("E2E_ADMIN_USER"), password = qEnvironmentVariable("E2E_ADMIN_PASSWORD");
        if (!user.isEmpty() && !password.isEmpty()) {
            QProcess p;
            p.start(qEnvironmentVariable("E2E_BUILD") + QStringLiteral("/bin/kestra"),
                    {QStringLiteral("schedules"), QStringLiteral("disable"), QStringLiteral("--admin"), QStringLiteral("--same-for-all"),
                     QStringLiteral("--wait"), QStringLiteral("30")});
            p.write((user + u'\n' + password + u'\n').toUtf8());
            p.closeWriteChannel();
            QVERIFY(p.waitForFinished(120000));
            QVERIFY2(p.exitCode() == 0, p.readAllStandardError().constData());
            for (const QJsonValue &each : scheduleRows())
                QCOMPARE(each[QStringLiteral("enabled")].toInt(), 0);
            QVERIFY(!QFile::exists(units(2) + QStringLiteral("/timers.target.wants/") + host2 + QStringLiteral(".timer")));
        }
        const QStringList before = QDir(units(1)).entryList(QDir::Files);
        const auto [refused, why] = kestra({QStringLiteral("schedules"), QStringLiteral("add"), QStringLiteral("com.zendrel.Quellar"),
                                            QStringLiteral("succeed"), QStringLiteral("at"), QStringLiteral("0,3\n,,1,")});
        QCOMPARE(refused, 1);
        QVERIFY2(why.contains(QStringLiteral("the scheduled task was refused")), qPrintable(why));
        QCOMPARE(QDir(units(1)).entryList(QDir::Files), before);

        // A render job on host1 and host2 each: pausing host1's changes only host1's queue.
        const QString apps = qEnvironmentVariable("E2E_BUILD") + QStringLiteral("/apps/Batch Monitor.app");
        const auto status = [&](int i) {
            const QString rows = kestra({QStringLiteral("render"), QStringLiteral("--json"), QStringLiteral("--hosts"),
                                         QStringLiteral("host%1").arg(i)}).second;
            const QJsonArray jobs = QJsonDocument::fromJson(rows.toUtf8()).array();
            return jobs.size() == 1 ? jobs[0][QStringLiteral("status")].toString() : rows;
        };
        for (int i : {1, 2}) {
            const QString root = hostDir(i) + QStringLiteral("/root");
            QDir(root + QStringLiteral("/var/spool/render")).removeRecursively();
            QDir(root + QStringLiteral("/opt/Batch Monitor.app")).removeRecursively();
            QCOMPARE(QProcess::execute(QStringLiteral("cp"), {QStringLiteral("-a"), apps, root + QStringLiteral("/opt/")}), 0);
            QProcess submit;
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert(QStringLiteral("KESTRA_SYSTEM_ROOT"), root);
            submit.setProcessEnvironment(env);
            submit.start(root + QStringLiteral("/opt/Batch Monitor.app/Contents/MacOS/Batch Monitor"),
                         {QStringLiteral("-submit"), QStringLiteral("This Computer"), QStringLiteral("Promo"), QStringLiteral("Promo H.264")});
            QVERIFY(submit.waitForFinished(30000) && submit.exitCode() == 0);
        }
        QCOMPARE(status(1), QStringLiteral("running"));
        QCOMPARE(kestra({QStringLiteral("render"), QStringLiteral("pause"), QStringLiteral("host1:This Computer:job1")}).first, 0);
        QCOMPARE(status(1), QStringLiteral("paused"));
        QCOMPARE(status(2), QStringLiteral("running"));
        for (int i : {1, 2})
            QDir(hostDir(i) + QStringLiteral("/root/opt/Batch Monitor.app")).removeRecursively();
    }

    // A feed server here; the host without the update tool gets it only once its archive is
    // signed, then every host lists the crash tool's update and installs it, one notice each.
    void softwareUpdates()
    {
        QVERIFY(waitAllReady());
        ZDTestHttpServer server;
        QVERIFY(server.listen(QHostAddress(hostAddress(0))));
        const auto kestra = [](QStringList args) {
            QProcess p;
            p.start(qEnvironmentVariable("E2E_BUILD") + QStringLiteral("/bin/kestra"),
                    args << QStringLiteral("--json") << QStringLiteral("--wait") << QStringLiteral("30"));
            p.closeWriteChannel();
            // The feed server answers on this thread meanwhile.
            if (!QTest::qWaitFor([&] { return p.state() == QProcess::NotRunning; }, 180000))
                p.kill(), p.waitForFinished(5000);
            return QJsonDocument::fromJson(p.readAllStandardOutput()).object();
        };
        const QString build = qEnvironmentVariable("E2E_BUILD");
        const QString zip = m_sandbox->path(QStringLiteral("nuvell.zip"));
        QVERIFY(ZDArchive::createZip(build + QStringLiteral("/apps/Zendrel Nuvell.app"), zip, true).ok);
        const QString toolVersion = ZDPropertyList::readDictionary(build + QStringLiteral("/apps/Zendrel Nuvell.app/Contents/Info.plist"))
                                        .value(QStringLiteral("CFBundleVersion")).toString();
        QCOMPARE(QProcess::execute(build + QStringLiteral("/bin/kestra-sign-update"),
                                   {QStringLiteral("sign"), zdtest::sourcePath(QStringLiteral("tools/updatesign/development.seed")), zip,
                                    QStringLiteral("--bundle"), QStringLiteral("com.zendrel.Nuvell"), QStringLiteral("--version"), toolVersion}), 0);
        server.files.insert("/rss/appcasts/com.zendrel.Nuvell.xml",
                            ZDPropertyList::toData(QVariantMap{{QStringLiteral("alternateURL"), QStringLiteral("/nuvell.zip")}}));
        server.files.insert("/nuvell.zip", ZDTestSandbox::readFile(zip) + "tampered");
        server.files.insert("/nuvell.zip.manifest", ZDTestSandbox::readFile(zip + QStringLiteral(".manifest")));
        const auto root = [](int i) { return hostDir(i) + QStringLiteral("/root"); };
        const auto version = [&](int i) {
            return ZDPropertyList::readDictionary(root(i) + QStringLiteral("/opt/Quellar.app/Contents/Info.plist"))
                .value(QStringLiteral("CFBundleVersion")).toString();
        };
        for (int i = 1; i <= kHosts; ++i) {
            const QString state = root(i) + QStringLiteral("/var/lib/standins/Nuvell");
            QDir(state).removeRecursively();
            QVERIFY(QDir().mkpath(state));
            QCOMPARE(QProcess::execute(QStringLiteral("cp"), {QStringLiteral("-a"), build + QStringLiteral("/apps/Quellar.app"), state + QStringLiteral("/")}), 0);
            QVariantMap info = ZDPropertyList::readDictionary(state + QStringLiteral("/Quellar.app/Contents/Info.plist"));
            info.insert(QStringLiteral("CFBundleVersion"), QStringLiteral("160"));
            QVERIFY(ZDPropertyList::writeFile(state + QStringLiteral("/Quellar.app/Contents/Info.plist"), info));
            const QVariantMap entry{{QStringLiteral("title"), QStringLiteral("Quellar 1.6")}, {QStringLiteral("type"), QStringLiteral("app")},
                                    {QStringLiteral("bundleid"), kTool}, {QStringLiteral("version"), QStringLiteral("160")},
                                    {QStringLiteral("source"), state + QStringLiteral("/Quellar.app")}};
            QVERIFY(ZDPropertyList::writeFile(state + QStringLiteral("/catalog.plist"), QVariantMap{{QStringLiteral("updates"), QVariantList{entry}}}));
            const QString prefsFile = root(i) + QStringLiteral("/home/.config/com.zendrel.KestraClient.plist");
            QVariantMap prefs = ZDPropertyList::readDictionary(prefsFile);
            prefs.insert(QStringLiteral("updateServerURL"), QStringLiteral("http://%1:%2").arg(hostAddress(0)).arg(server.serverPort()));
            prefs.insert(QStringLiteral("updateServerAllowsHTTP"), 1);
            QVERIFY(ZDPropertyList::writeFile(prefsFile, prefs));
            QCOMPARE(version(i), QStringLiteral("150"));
        }
        // The update tool as built on every host but the first (a host's folder outlives a run).
        for (int i = 1; i <= kHosts; ++i) {
            QDir(root(i) + QStringLiteral("/opt/Zendrel Nuvell.app")).removeRecursively();
            QDir(root(i) + QStringLiteral("/opt/Zendrel")).removeRecursively();
            if (i > 1)
                QCOMPARE(QProcess::execute(QStringLiteral("cp"), {QStringLiteral("-a"), build + QStringLiteral("/apps/Zendrel Nuvell.app"), root(i) + QStringLiteral("/opt/")}), 0);
        }

        QElapsedTimer t;
        t.start();
        QJsonArray rows = kestra({QStringLiteral("updates")})[QStringLiteral("updates")].toArray();
        QCOMPARE(rows.size(), 1);
        QCOMPARE(rows[0][QStringLiteral("children")].toArray().size(), kHosts - 1);
        QVERIFY(agentLog(1).contains("does not match the SHA-256 in its manifest"));
        QVERIFY(!QFile::exists(root(1) + QStringLiteral("/opt/Zendrel/Zendrel Nuvell.app")));

        server.files.insert("/nuvell.zip", ZDTestSandbox::readFile(zip));
        rows = kestra({QStringLiteral("updates")})[QStringLiteral("updates")].toArray();
        QCOMPARE(rows.size(), 1);
        QCOMPARE(rows[0][QStringLiteral("children")].toArray().size(), kHosts);
        const QJsonObject installed = kestra({QStringLiteral("updates"), QStringLiteral("install")});
        qInfo("e2e: softwareUpdates: listed, tool installed and %d hosts updated in %lld ms", installed[QStringLiteral("finished")].toInt(), t.elapsed());
        QCOMPARE(installed[QStringLiteral("handed")].toInt(), kHosts);
        QCOMPARE(installed[QStringLiteral("finished")].toInt(), kHosts);
        QCOMPARE(installed[QStringLiteral("updates")].toArray().size(), 0);
        for (int i = 1; i <= kHosts; ++i)
            QCOMPARE(version(i), QStringLiteral("160"));
    }

    // A Linux studio on the four hosts through kestra: Kdenlive and Blender laid out as
    // their packages lay them out are listed with their versions where they are; Blender
    // and Kdenlive preferences backed up on host1 come back on host3 byte for byte;
    // Kdenlive's cache is emptied by the cleaning tool and nothing beside it changes; a
    // real SIGSEGV of "blender" is listed with its cause and explained, and one of another
    // user's, consolidated with the administrator's password, is listed on the next refresh.
    void linuxStudio()
    {
        QVERIFY(waitAllReady());
        const auto root = [](int i) { return hostDir(i) + QStringLiteral("/root"); };
        const QString kestraPath = qEnvironmentVariable("E2E_BUILD") + QStringLiteral("/bin/kestra");
        const auto kestra = [&](QStringList args) {
            args << QStringLiteral("--json") << QStringLiteral("--wait") << QStringLiteral("30") << QStringLiteral("--yes");
            const zdtest::Ran r = zdtest::runProgram(kestraPath, args);
            qInfo("e2e: kestra %s: exit %d %s", qPrintable(args.join(u' ')), r.exit(), qPrintable(r.err.trimmed().left(2000)));
            return r;
        };
        const QString studio[] = {QStringLiteral("/usr/bin/kdenlive"), QStringLiteral("/usr/bin/blender"),
                                  QStringLiteral("/usr/share/applications/org.kde.kdenlive.desktop"),
                                  QStringLiteral("/usr/share/applications/blender.desktop"), QStringLiteral("/var/lib/dpkg/status")};
        for (int i = 1; i <= kHosts; ++i) {
            for (const QString &file : studio)
                QFile::remove(root(i) + file);
            for (const char *folder : {"/home/.config/blender", "/home/.cache/kdenlive", "/home/.cache/studio-keep", "/home/editor"})
                QDir(root(i) + QLatin1String(folder)).removeRecursively();
            QFile::remove(root(i) + QStringLiteral("/home/.config/kdenliverc"));
        }
        const zdtest::StudioApps laidOut[] = {{QStringLiteral("23.08.5-1"), QStringLiteral("4.0.2")},
                                              {QStringLiteral("22.12.3-1"), QString()},
                                              {QString(), QStringLiteral("4.1.0")},
                                              {}};
        for (int i = 1; i <= kHosts; ++i)
            QVERIFY(zdtest::layOutStudioApps(root(i), laidOut[i - 1]));

        QElapsedTimer t;
        t.start();
        zdtest::Ran r = kestra({QStringLiteral("apps")});
        QCOMPARE(r.exit(), 0);
        QMap<QString, QMap<QString, QString>> versions; // application -> host -> version ("" installed without)
        for (const QJsonValue &row : QJsonDocument::fromJson(r.out.toUtf8()).array()) {
            for (const QJsonValue &child : row[QStringLiteral("children")].toArray()) {
                if (!child[QStringLiteral("installed")].toBool())
                    continue;
                const QString host = child[QStringLiteral("hostname")].toString().section(u'.', 0, 0);
                versions[row[QStringLiteral("name")].toString()].insert(host, child[QStringLiteral("version")].toString());
            }
        }
        using Hosts = QMap<QString, QString>;
        QCOMPARE(versions.value(QStringLiteral("Kdenlive")),
                 (Hosts{{QStringLiteral("host1"), QStringLiteral("23.08.5-1")}, {QStringLiteral("host2"), QStringLiteral("22.12.3-1")}}));
        QCOMPARE(versions.value(QStringLiteral("Blender")),
                 (Hosts{{QStringLiteral("host1"), QStringLiteral("4.0.2")}, {QStringLiteral("host3"), QStringLiteral("4.1.0")}}));
        qInfo("e2e: linuxStudio: applications listed on %d hosts in %lld ms", kHosts, t.elapsed());

        // Preferences as the applications write them: Blender's binary user preferences, Kdenlive's INI file.
        const QString blenderPrefs = QStringLiteral("/home/.config/blender/4.0/config/userpref.blend");
        const QString kdenlivePrefs = QStringLiteral("/home/.config/kdenliverc");
        QVERIFY(zdtest::writeStudioFile(root(1) + blenderPrefs, QByteArray("BLENDER-v400REND\0\0\0\x01\xff", 21)));
        QVERIFY(zdtest::writeStudioFile(root(1) + kdenlivePrefs,
                                        "[env]\ndefaultprojectfolder=/srv/projects\n\n[misc]\nopenlastproject=true\n"));
        t.restart();
        r = kestra({QStringLiteral("prefs"), QStringLiteral("backup"), QStringLiteral("studio"), QStringLiteral("blenderPrefs"),
                    QStringLiteral("kdenlivePrefs"), QStringLiteral("--hosts"), QStringLiteral("host1")});
        QCOMPARE(r.exit(), 0);
        r = kestra({QStringLiteral("prefs"), QStringLiteral("restore"), QStringLiteral("host1:studio"), QStringLiteral("--hosts"),
                    QStringLiteral("host3")});
        QVERIFY2(r.exit() == 0, qPrintable(r.out + r.err));
        for (const QString &file : {blenderPrefs, kdenlivePrefs})
            QCOMPARE(ZDTestSandbox::readFile(root(3) + file), ZDTestSandbox::readFile(root(1) + file));
        qInfo("e2e: linuxStudio: preferences backed up on host1 and restored on host3 in %lld ms", t.elapsed());
        // Kdenlive's folders in its text preferences, through the path tool on host3.
        r = kestra({QStringLiteral("paths"), QStringLiteral("set"), QStringLiteral("kdenliveCaptureFolder"), QStringLiteral("/srv/capture"),
                    QStringLiteral("--hosts"), QStringLiteral("host3")});
        QVERIFY2(r.exit() == 0, qPrintable(r.out + r.err));
        QCOMPARE(ZDTestSandbox::readFile(root(3) + kdenlivePrefs),
                 QByteArray("[env]\ndefaultprojectfolder=/srv/projects\ncapturefolder=/srv/capture\n\n[misc]\nopenlastproject=true\n"));
        QMap<QString, QString> kdenliveFolders;
        for (const QJsonValue &row : QJsonDocument::fromJson(kestra({QStringLiteral("paths"), QStringLiteral("list"), QStringLiteral("--hosts"),
                                                                     QStringLiteral("host3")}).out.toUtf8()).array()) {
            if (row[QStringLiteral("application")] == QStringLiteral("Kdenlive"))
                for (const QJsonValue &v : row[QStringLiteral("values")].toObject()) // host3's alone
                    kdenliveFolders.insert(row[QStringLiteral("title")].toString(), v.toString());
        }
        QCOMPARE(kdenliveFolders.value(QStringLiteral("Project Folder")), QStringLiteral("/srv/projects"));
        QCOMPARE(kdenliveFolders.value(QStringLiteral("Capture Folder")), QStringLiteral("/srv/capture"));

        // The cleaning tool empties the catalogue's folder of the task and no other.
        for (int i = 1; i <= kHosts; ++i) {
            QVERIFY(zdtest::writeStudioFile(root(i) + QStringLiteral("/home/.cache/kdenlive/proxy/clip.mkv"), "proxy"));
            QVERIFY(zdtest::writeStudioFile(root(i) + QStringLiteral("/home/.cache/studio-keep/keep"), "keep"));
            QVERIFY(QFile::link(root(i) + QStringLiteral("/home/.cache/studio-keep"), root(i) + QStringLiteral("/home/.cache/kdenlive/keep")));
        }
        const QByteArray keep = zdtest::treeHash(root(1) + QStringLiteral("/home/.cache/studio-keep"));
        const QByteArray config = zdtest::treeHash(root(1) + QStringLiteral("/home/.config/blender"));
        t.restart();
        r = kestra({QStringLiteral("clean"), QStringLiteral("kdenliveCache")});
        QCOMPARE(r.exit(), 0);
        for (int i = 1; i <= kHosts; ++i) {
            QTRY_VERIFY_WITH_TIMEOUT(!QFileInfo::exists(root(i) + QStringLiteral("/home/.cache/kdenlive/proxy")), 30000);
            QCOMPARE(zdtest::treeHash(root(i) + QStringLiteral("/home/.cache/studio-keep")), keep);
        }
        QCOMPARE(zdtest::treeHash(root(1) + QStringLiteral("/home/.config/blender")), config);
        qInfo("e2e: linuxStudio: Kdenlive's cache cleaned on %d hosts in %lld ms", kHosts, t.elapsed());

        // A real crash of "blender" on host1, run by root: the computer's report.
        const QString crashing = zdtest::buildPath(QStringLiteral("tools/standins/Motion"));
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("HOME"), root(1) + QStringLiteral("/home"));
        env.insert(QStringLiteral("XDG_STATE_HOME"), root(1) + QStringLiteral("/home/.local/state"));
        env.insert(QStringLiteral("KESTRA_SYSTEM_ROOT"), root(1));
        zdtest::Ran crash = zdtest::runProgram(crashing, {QStringLiteral("--name"), QStringLiteral("blender")},
                                               zdtest::crashingChildEnvironment(env));
        QCOMPARE(crash.status, QProcess::CrashExit);
        const QRegularExpression reportIn(QStringLiteral("crash report (\\S+\\.crash)"));
        const QString report = reportIn.match(crash.err).captured(1);
        QVERIFY2(QFileInfo(report).fileName().startsWith(QStringLiteral("blender_")), qPrintable(crash.err));
        const auto crashLogsOf = [&](int i) {
            const zdtest::Ran listed = kestra({QStringLiteral("crashlogs"), QStringLiteral("--hosts"), QStringLiteral("host%1").arg(i)});
            QMap<QString, QJsonObject> byFile;
            for (const QJsonValue &log : QJsonDocument::fromJson(listed.out.toUtf8()).object()[QStringLiteral("logs")].toArray())
                byFile.insert(log[QStringLiteral("filename")].toString(), log.toObject());
            return byFile;
        };
        t.restart();
        const QMap<QString, QJsonObject> host1Logs = crashLogsOf(1);
        QVERIFY2(host1Logs.contains(report), qPrintable(QStringList(host1Logs.keys()).join(u'\n')));
        QCOMPARE(host1Logs[report][QStringLiteral("app")].toString(), QStringLiteral("blender"));
        QVERIFY(host1Logs[report][QStringLiteral("cause")].toString().startsWith(QStringLiteral("SIGSEGV (invalid memory access) in ")));
        r = kestra({QStringLiteral("crashlogs"), QStringLiteral("explain"), QStringLiteral("host1"), report});
        QVERIFY2(r.exit() == 0 && r.out.contains(QStringLiteral("read or wrote memory it does not own")), qPrintable(r.out + r.err));
        qInfo("e2e: linuxStudio: blender's crash listed and explained in %lld ms", t.elapsed());

        const QString user = qEnvironmentVariable("E2E_ADMIN_USER"), password = qEnvironmentVariable("E2E_ADMIN_PASSWORD");
        if (user.isEmpty() || password.isEmpty())
            QSKIP("no test administrator (run.sh makes one)");
        // Another user's crash on host2 (an editor's account): not the agent's until consolidated.
        const struct passwd *nobody = ::getpwnam("nobody");
        QVERIFY(nobody);
        const QString editor = root(2) + QStringLiteral("/home/editor");
        QVERIFY(QDir().mkpath(editor) && ::chown(QFile::encodeName(editor).constData(), nobody->pw_uid, nobody->pw_gid) == 0);
        env.insert(QStringLiteral("HOME"), editor);
        env.insert(QStringLiteral("XDG_STATE_HOME"), editor + QStringLiteral("/.local/state"));
        env.insert(QStringLiteral("KESTRA_SYSTEM_ROOT"), root(2));
        crash = zdtest::runProgram(QStringLiteral("setpriv"),
                                   {QStringLiteral("--reuid=%1").arg(nobody->pw_uid), QStringLiteral("--regid=%1").arg(nobody->pw_gid),
                                    QStringLiteral("--clear-groups"), crashing, QStringLiteral("--name"), QStringLiteral("blender")},
                                   zdtest::crashingChildEnvironment(env));
        const QString editorsReport = reportIn.match(crash.err).captured(1);
        QVERIFY2(QFileInfo(editorsReport).isFile(), qPrintable(crash.err));
        QVERIFY(!crashLogsOf(2).contains(editorsReport));
        ZDCrashLogController crashLogs(m_dispatcher.get(), m_callback.get(),
                                       ZDCrashLogCache(m_sandbox->path(QStringLiteral("studio-crashlogs.plist")), QStringLiteral("e2e")));
        m_dispatcher->setCredentialPrompt(std::make_shared<ScriptedPrompt>(user, password, QStringLiteral("nobody.local.")));
        int handed = 0;
        t.restart();
        QVERIFY(offMain([&] { handed = crashLogs.consolidate({service(2)}); }, 120000));
        m_dispatcher->setCredentialPrompt(nullptr);
        QCOMPARE(handed, 1);
        const auto gatheredBlender = [&] {
            for (const QVariant &log : crashLogs.logs()) {
                const QVariantMap m = log.toMap();
                if (sameHost(m.value(QStringLiteral("hostname")).toString(), hostName(2))
                    && QFileInfo(m.value(QStringLiteral("filename")).toString()).fileName() == QFileInfo(editorsReport).fileName())
                    return m;
            }
            return QVariantMap();
        };
        QTRY_VERIFY_WITH_TIMEOUT(!gatheredBlender().isEmpty(), 60000);
        const QString gathered = gatheredBlender().value(QStringLiteral("filename")).toString();
        QVERIFY2(gathered != editorsReport && QFileInfo(gathered).fileName().startsWith(QStringLiteral("blender_")), qPrintable(gathered));
        QVERIFY(gatheredBlender().value(QStringLiteral("cause")).toString().startsWith(QStringLiteral("SIGSEGV")));
        const QMap<QString, QJsonObject> host2Logs = crashLogsOf(2);
        QVERIFY2(host2Logs.contains(gathered), qPrintable(QStringList(host2Logs.keys()).join(u'\n')));
        QCOMPARE(host2Logs[gathered][QStringLiteral("app")].toString(), QStringLiteral("blender"));
        qInfo("e2e: linuxStudio: another user's blender crash consolidated on host2 and listed again in %lld ms", t.elapsed());
    }

};

int main(int argc, char **argv)
{
    if (argc > 1 && qstrcmp(argv[1], "--second-console") == 0)
        return runSecondConsole(argc, argv);
    QCoreApplication app(argc, argv);
    TestE2E test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}
#include "tst_e2e.moc"
