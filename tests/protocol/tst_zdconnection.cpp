// Two ends of the wire in one process, over real loopback sockets: values by
// copy, objects by reference and back, oneway and synchronous calls, serving
// threads and link failure; a frozen peer in another process times out rather than hang (a killed one is
// the link failure here and the end-to-end killedDuringCall); hostile peers are the hostile-wire test's.
#include "ZDConnectionServer.h"
#include "ZDRemoteError.h"
#include "ZDLog.h"
#include "ZDTcpTransport.h"
#include "ZDTestFixtures.h"
#include "ZDTestSandbox.h"
#include <QtTest>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <future>
#include <mutex>
#include <optional>
#include <thread>

using namespace Qt::StringLiterals;

namespace {

// The peer in a process of its own: serves "echo:" and "block" (prints "blocking", never returns) on
// 127.0.0.1, prints its port, and ends when its standard input closes.
int runPeer(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    auto root = ZDRemoteObject::create();
    root->addOperation(u"ping"_s, [](const QVariantList &) { return QVariant(); });
    root->addOperation(u"echo:"_s, [](const QVariantList &args) { return args.value(0); });
    root->addOperation(u"block"_s, [](const QVariantList &) {
        std::printf("blocking\n");
        std::fflush(stdout);
        for (;;)
            std::this_thread::sleep_for(std::chrono::hours(1));
        return QVariant();
    });
    ZDConnectionServer server;
    server.setRootObject(root);
    server.setRegisteredName(u"wire-peer"_s);
    if (!server.listen(u"127.0.0.1"_s, 0))
        return 1;
    std::printf("%u\n", unsigned(server.port()));
    std::fflush(stdout);
    zdtest::quitWhenInputCloses(app);
    app.exec();
    std::_Exit(0); // a blocked call never ends: no waiting for it
}

// Runs a call that the peer never answers on a thread of its own.
std::future<std::optional<ZDLinkException>> blockedCall(const ZDRemoteProxyPtr &peer)
{
    return std::async(std::launch::async, [peer]() -> std::optional<ZDLinkException> {
        try {
            peer->call(u"block"_s);
        } catch (const ZDLinkException &e) {
            return e;
        }
        return std::nullopt;
    });
}

} // namespace

class TestZDConnection : public QObject
{
    Q_OBJECT
    ZDTestSandbox m_sandbox;
    std::unique_ptr<ZDConnectionServer> m_server;
    ZDRemoteObjectPtr m_root;
    ZDRemoteObjectPtr m_served; // handed out by reference by "giveObject"
    std::mutex m_keptMutex;
    QList<ZDRemoteProxyPtr> m_kept;
    QSemaphore m_release;
    std::atomic<int> m_blockStarted{0};
    std::atomic<int> m_probeRuns{0};
    QSemaphore m_rendezvous;
    std::shared_ptr<ZDConnection> connect(const QString &host = u"127.0.0.1"_s)
    {
        return ZDConnection::connectToHost(host, m_server->port(), u"test-agent"_s);
    }
    QProcess m_peer;
    // Short silence limits, so that a frozen peer is found out quickly.
    static ZDConnectionOptions quickOptions()
    {
        ZDConnectionOptions options;
        options.pingAfterIdleMs = 300;
        options.deadAfterSilenceMs = 1500;
        return options;
    }
    std::shared_ptr<ZDConnection> startPeer()
    {
        m_peer.start(QCoreApplication::applicationFilePath(), {u"--peer"_s});
        if (!m_peer.waitForStarted(10000) || !m_peer.waitForReadyRead(10000))
            return nullptr;
        const quint16 port = quint16(m_peer.readLine().trimmed().toUInt());
        return ZDConnection::connectToHost(u"127.0.0.1"_s, port, u"wire-peer"_s, quickOptions());
    }
    // Waits until the peer has started serving that many blocked calls.
    bool peerBlocking(int calls)
    {
        int seen = 0;
        while (seen < calls) {
            if (!m_peer.canReadLine() && !m_peer.waitForReadyRead(15000))
                return false;
            seen += m_peer.readLine().startsWith("blocking") ? 1 : 0;
        }
        return true;
    }

private Q_SLOTS:
    void initTestCase() { ZDLog::createNewLog(u"tst_zdconnection"_s); }
    void init()
    {
        m_root = ZDRemoteObject::create();
        m_served = ZDRemoteObject::create();
        m_served->addOperation(u"name"_s, [](const QVariantList &) { return u"served"_s; });
        m_root->addOperation(u"ping"_s, [](const QVariantList &) { return QVariant(); });
        m_root->addOperation(u"echo:"_s, [](const QVariantList &args) { return args.value(0); });
        m_root->addOperation(u"probe"_s, [this](const QVariantList &) { return ++m_probeRuns; });
        m_root->addOperation(u"fail"_s, [](const QVariantList &) -> QVariant {
            throw ZDNamedException(u"TestException"_s, u"boom"_s);
        });
        m_root->addOperation(u"callBack:with:"_s, [](const QVariantList &args) {
            return ZDRemoteProxy::fromVariant(args[0])->call(u"receive:"_s, {args[1]});
        });
        m_root->addOperation(u"keep:"_s, [this](const QVariantList &args) {
            std::lock_guard lock(m_keptMutex);
            m_kept << ZDRemoteProxy::fromVariant(args[0]);
            return QVariant();
        });
        m_root->addOperation(u"notifyKept:"_s, [this](const QVariantList &args) {
            std::lock_guard lock(m_keptMutex);
            for (const auto &p : std::as_const(m_kept))
                p->callOneway(u"receive:"_s, {args[0]});
            return QVariant();
        }, ZDRemoteObject::Call::Oneway);
        m_root->addOperation(u"drop"_s, [this](const QVariantList &) {
            std::lock_guard lock(m_keptMutex);
            m_kept.clear();
            return QVariant();
        });
        m_root->addOperation(u"same:and:"_s, [](const QVariantList &args) {
            return ZDRemoteProxy::fromVariant(args[0]) == ZDRemoteProxy::fromVariant(args[1]);
        });
        m_root->addOperation(u"giveObject"_s, [this](const QVariantList &) {
            return QVariant::fromValue(m_served);
        });
        m_root->addOperation(u"isServed:"_s, [this](const QVariantList &args) {
            return args[0].value<ZDRemoteObjectPtr>() == m_served;
        });
        m_root->addOperation(u"block"_s, [this](const QVariantList &) {
            ++m_blockStarted;
            return m_release.tryAcquire(1, 10000);
        });
        m_root->addOperation(u"rendezvous"_s, [this](const QVariantList &) {
            m_rendezvous.release();
            return m_rendezvous.tryAcquire(2, 10000) ? (m_rendezvous.release(2), true) : false;
        });
        m_server = std::make_unique<ZDConnectionServer>();
        m_server->setRootObject(m_root);
        m_server->setRegisteredName(u"test-agent"_s);
        QString error;
        QVERIFY2(m_server->listen(QString(), 0, &error), qPrintable(error));
        QVERIFY(m_server->port() > 0);
        m_blockStarted = 0;
        m_probeRuns = 0;
    }
    void cleanup()
    {
        if (m_peer.state() != QProcess::NotRunning) {
            ::kill(pid_t(m_peer.processId()), SIGCONT);
            m_peer.kill();
            m_peer.waitForFinished(10000);
        }
        m_release.release(100);
        m_server.reset();
        m_kept.clear();
        m_release.acquire(m_release.available());
        m_rendezvous.acquire(m_rendezvous.available());
    }
    void valuesByCopy()
    {
        // Every by-copy type in one nested value; each type alone is the value tests' job.
        const QVariantList values{
            QVariant(), true, qint64(-9000000000LL), 2.5, u"Überprüfung ✓"_s, QByteArray("\0\xfe", 2),
            QDateTime::fromMSecsSinceEpoch(1600000000250LL, Qt::UTC), QVariantMap{{u"k"_s, QVariantMap{{u"deep"_s, false}}}},
            QVariant::fromValue(ZDRemoteError(u"orvDomain"_s, 1003, {{u"hostname"_s, u"edit-3.local."_s}}))};
        for (const QString &host : {u"127.0.0.1"_s, u"::1"_s}) {
            auto c = connect(host);
            QCOMPARE(c->peerName(), u"test-agent"_s);
            QCOMPARE(c->rootProxy()->call(u"echo:"_s, {QVariant(values)}), QVariant(values));
        }
    }
    void handshakeAndRefusal()
    {
        try {
            ZDConnection::connectToHost(u"127.0.0.1"_s, m_server->port(), u"someone else"_s);
            QFAIL("a wrong registered name was accepted");
        } catch (const ZDLinkException &e) {
            QVERIFY(e.reason().contains(QLatin1String("test-agent")));
        }
        const quint16 port = m_server->port();
        m_server->close();
        QVERIFY_THROWS_EXCEPTION(ZDLinkException, ZDConnection::connectToHost(u"127.0.0.1"_s, port));
        // The address is free for the next listener at once.
        ZDConnectionServer again;
        QVERIFY(again.listen(u"127.0.0.1"_s, port));
    }
    void transportIsReplaceable()
    {
        // Where a TLS stream would plug in: both ends take their transport from the options.
        std::atomic<int> made{0};
        ZDConnectionOptions options = ZDConnectionServer::defaultOptions();
        options.transportFactory = [&made](int fd, bool) {
            ++made;
            return std::make_unique<ZDTcpTransport>(fd, 1 << 20);
        };
        ZDConnectionServer server(options);
        server.setRootObject(m_root);
        QVERIFY(server.listen(u"127.0.0.1"_s, 0));
        options.serveMode = ZDServeMode::OwnerThread;
        auto c = ZDConnection::connectToHost(u"127.0.0.1"_s, server.port(), QString(), options);
        QCOMPARE(c->rootProxy()->call(u"echo:"_s, {true}), QVariant(true));
        QCOMPARE(made.load(), 2);
    }
    void callbackByReference()
    {
        auto c = connect();
        const auto agent = c->rootProxy();
        auto console = ZDRemoteObject::create();
        QList<QVariant> received;
        QList<QThread *> threads;
        console->addOperation(u"receive:"_s, [&](const QVariantList &args) {
            received << args[0];
            threads << QThread::currentThread();
            return QVariant(u"got %1"_s.arg(args[0].toString()));
        });
        const QVariant ref = QVariant::fromValue(console);
        // The agent calls back while this thread waits for its answer.
        QCOMPARE(agent->call(u"callBack:with:"_s, {ref, u"a"_s}), QVariant("got a"));
        QCOMPARE(agent->call(u"same:and:"_s, {ref, ref}), QVariant(true));
        agent->call(u"keep:"_s, {ref});
        QCOMPARE(c->exportedObjectCount(), 1);
        agent->callOneway(u"notifyKept:"_s, {u"later"_s});
        QTRY_COMPARE(received.size(), 2);
        QCOMPARE(received.last(), QVariant("later"));
        // Calls to the console run on the thread that owns its connection.
        QVERIFY(threads == (QList<QThread *>{QThread::currentThread(), QThread::currentThread()}));
        // The agent forgets its proxy: the console may forget the object.
        agent->call(u"drop"_s);
        QTRY_COMPARE(c->exportedObjectCount(), 0);
        // An object of the agent comes back to it as itself, not as a proxy.
        const auto served = ZDRemoteProxy::fromVariant(agent->call(u"giveObject"_s));
        QVERIFY(served);
        QCOMPARE(served->call(u"name"_s), QVariant("served"));
        QCOMPARE(agent->call(u"isServed:"_s, {QVariant::fromValue(served)}), QVariant(true));
        const auto server = m_server->connections().value(0);
        QVERIFY(server);
        QCOMPARE(server->exportedObjectCount(), 1);
        QVERIFY(ZDRemoteProxy::fromVariant(agent->call(u"giveObject"_s)) == served);
        QVERIFY_THROWS_EXCEPTION(ZDLinkException, agent->call(u"keep:"_s, {QVariant::fromValue(QPoint())}));
    }
    void onewayAndSynchronous()
    {
        auto c = connect();
        const auto agent = c->rootProxy();
        // Oneway returns while the operation is still running.
        agent->callOneway(u"block"_s);
        QTRY_COMPARE(m_blockStarted.load(), 1);
        // A synchronous call waits for its operation.
        std::atomic<bool> returned{false};
        std::thread caller([&] {
            agent->call(u"block"_s);
            returned = true;
        });
        QTRY_COMPARE(m_blockStarted.load(), 2);
        QVERIFY(!returned); // its handler still holds
        m_release.release(2);
        caller.join();
        QVERIFY(returned);
        // An operation declared oneway answers a synchronous caller before it runs.
        QCOMPARE(agent->call(u"notifyKept:"_s, {u"x"_s}), QVariant());
    }
    void callsRunConcurrently()
    {
        auto c = connect();
        const auto agent = c->rootProxy();
        QVariant first;
        std::thread other([&] { first = agent->call(u"rendezvous"_s); });
        const QVariant second = agent->call(u"rendezvous"_s);
        other.join();
        QCOMPARE(first, QVariant(true));
        QCOMPARE(second, QVariant(true));
    }
    void selectorsAndRemoteErrors()
    {
        auto c = connect();
        const auto agent = c->rootProxy();
        QVERIFY(agent->respondsToSelector(u"probe"_s));
        QVERIFY(!agent->respondsToSelector(u"fetchInitialConfiguration:"_s));
        QCOMPARE(m_probeRuns.load(), 0);
        const auto refusal = [&](const QString &op, const QVariantList &args) -> std::optional<ZDLinkException> {
            try {
                agent->call(op, args);
            } catch (const ZDLinkException &e) {
                return e;
            }
            return std::nullopt;
        };
        const auto unknown = refusal(u"fetchInitialConfiguration:"_s, {true});
        QVERIFY(unknown && unknown->kind() == ZDLinkException::Kind::Remote);
        QCOMPARE(unknown->name(), QString::fromLatin1(ZDLinkException::kUnknownOperationName));
        const auto arity = refusal(u"echo:"_s, {});
        QVERIFY(arity);
        QCOMPARE(arity->name(), QString::fromLatin1(ZDLinkException::kInvalidArgumentName));
        const auto thrown = refusal(u"fail"_s, {});
        QVERIFY(thrown);
        QCOMPARE(thrown->name(), u"TestException"_s);
        QCOMPARE(thrown->reason(), u"boom"_s);
        QVERIFY(c->isValid());
    }
    void linkFailureReachesWaitingCalls()
    {
        auto c = connect();
        const auto agent = c->rootProxy();
        std::atomic<bool> invalidated{false};
        c->setInvalidationHandler([&](const QString &) { invalidated = true; });
        std::optional<ZDLinkException> caught;
        std::thread caller([&] {
            try {
                agent->call(u"block"_s);
            } catch (const ZDLinkException &e) {
                caught = e;
            }
        });
        QTRY_COMPARE(m_blockStarted.load(), 1);
        m_server->close();
        caller.join();
        QVERIFY(caught);
        QVERIFY(caught->kind() == ZDLinkException::Kind::LinkFailure);
        QVERIFY(!ZDException::didTimeout(*caught));
        QTRY_VERIFY(invalidated);
        QVERIFY(!agent->isValid());
        QVERIFY_THROWS_EXCEPTION(ZDLinkException, agent->call(u"ping"_s));
        QVERIFY_THROWS_EXCEPTION(ZDLinkException, agent->callOneway(u"ping"_s));
    }
    void frozenPeerTimesOut()
    {
        const auto c = startPeer();
        QVERIFY(c);
        const auto peer = c->rootProxy();
        // Idle but alive: the pings keep the link up past the silence limit.
        QTest::qWait(2 * quickOptions().deadAfterSilenceMs);
        QVERIFY(c->isValid());
        QCOMPARE(peer->call(u"echo:"_s, {qint64(1)}), QVariant(qint64(1)));
        auto waiting = blockedCall(peer);
        QVERIFY(peerBlocking(1));
        ::kill(pid_t(m_peer.processId()), SIGSTOP);
        QVERIFY(waiting.wait_for(std::chrono::seconds(20)) == std::future_status::ready);
        const auto error = waiting.get();
        QVERIFY(error && ZDException::didTimeout(*error));
        QVERIFY(!c->isValid());
    }
};

int main(int argc, char **argv)
{
    if (argc > 1 && qstrcmp(argv[1], "--peer") == 0)
        return runPeer(argc, argv);
    QCoreApplication app(argc, argv);
    TestZDConnection test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}
#include "tst_zdconnection.moc"
