// Two ends of the wire in one process, over real loopback sockets: values by
// copy, objects by reference and back, oneway and synchronous calls, serving
// threads and link failure; a frozen peer in another process times out rather than hang (a killed one is
// the link failure here and the end-to-end killedDuringCall). Values, frames and messages as bytes: every
// by-copy type survives the trip, and hostile input is refused with a reason. Hostile peers against a
// real listener: a legitimate peer works after each attack.
#include "link/ZDConnectionServer.h"
#include "rpc/ZDRemoteError.h"
#include "log/ZDLog.h"
#include "link/ZDTcpTransport.h"
#include "ZDTestFixtures.h"
#include "ZDTestSandbox.h"
#include "wire/ZDWireFrame.h"
#include "wire/ZDWireMessage.h"
#include "wire/ZDWireRecords.h"
#include "wire/ZDWireValue.h"
#include "rpc/ZDWorkerPool.h"
#include <QDir>
#include <QTcpSocket>
#include <QtTest>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <future>
#include <limits>
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

using Socket = std::unique_ptr<QTcpSocket>;
QByteArray frame(const ZDWireMessage &m) { return m.toFrame(nullptr, ZDWireLimits(), nullptr); }
Socket open(quint16 port, const char *from = "127.0.0.1", bool hello = false)
{
    auto s = std::make_unique<QTcpSocket>();
    s->bind(QHostAddress(QString::fromLatin1(from)));
    s->connectToHost(QStringLiteral("127.0.0.1"), port);
    if (s->waitForConnected(5000) && hello)
        s->write(frame(ZDWireMessage::hello(1, QString()))), s->waitForReadyRead(5000);
    return s;
}
bool closedByPeer(QTcpSocket &s) { return s.state() != QAbstractSocket::ConnectedState || s.waitForDisconnected(15000); }
int logCount(const QString &text)
{
    ZDLog::finishWriting();
    return QString::fromUtf8(ZDTestSandbox::readFile(ZDLog::availableLogs().value(0))).count(text);
}
bool echoes(quint16 port, const char *op = "echo:", const QVariant &expected = QStringLiteral("fine"))
{
    return ZDConnection::connectToHost(QStringLiteral("127.0.0.1"), port)->rootProxy()->call(QString::fromLatin1(op), {expected}) == expected;
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
    void linksShareFewThreads()
    {
        // Both ends of every link live in this process: a thread per link would show at once.
        const auto threads = [] { return QDir(u"/proc/self/task"_s).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size(); };
        connect()->rootProxy()->call(u"ping"_s); // the shared I/O threads are up
        const qsizetype before = threads();
        std::vector<std::shared_ptr<ZDConnection>> links;
        for (int i = 0; i < 30; ++i) // within what the listener takes from one address
            links.push_back(connect());
        QTRY_COMPARE(m_server->connections().size(), qsizetype(30));
        for (const auto &link : links)
            QCOMPARE(link->rootProxy()->call(u"echo:"_s, {u"fine"_s}), QVariant(u"fine"_s));
        QVERIFY2(threads() - before < 20, qPrintable(u"%1 threads for 60 link ends"_s.arg(threads() - before)));
        links.clear();
        QTRY_COMPARE(m_server->connections().size(), qsizetype(0));
    }
    void callIfRespondsAsksAndCallsTogether()
    {
        auto c = connect();
        const auto agent = c->rootProxy();
        // Unknown to the proxy: question and call go out together, the call runs once.
        QCOMPARE(agent->callIfResponds(u"probe"_s), std::optional<QVariant>(1));
        QCOMPARE(agent->callIfResponds(u"probe"_s), std::optional<QVariant>(2));
        QCOMPARE(agent->callIfResponds(u"echo:"_s, {u"fine"_s}), std::optional<QVariant>(u"fine"_s));
        // An operation the object lacks: nothing, the link as it was, and the answer kept.
        QVERIFY(!agent->callIfResponds(u"nothing:"_s, {1}));
        QVERIFY(!agent->respondsToSelector(u"nothing:"_s));
        QVERIFY(!agent->callIfResponds(u"nothing:"_s, {1}));
        QVERIFY(c->isValid());
        QCOMPARE(m_probeRuns.load(), 2);
        QVERIFY_THROWS_EXCEPTION(ZDLinkException, agent->callIfResponds(u"fail"_s));
        QCOMPARE(agent->call(u"echo:"_s, {u"after"_s}), QVariant(u"after"_s));
    }
    void pipelinedCallsPauseAndResumeInOrder()
    {
        // Far more calls than the link holds: reading stops and goes on as they end, and each
        // in-order write is done before the call behind it starts.
        ZDConnectionOptions options = ZDConnectionServer::defaultOptions();
        options.maxHeldCalls = 4;
        ZDConnectionServer wire(options);
        std::atomic<int> value{-1}, checks{0}, wrong{0};
        auto root = ZDRemoteObject::create();
        root->addOperation(u"set:"_s, [&](const QVariantList &args) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            value = args.value(0).toInt();
            return QVariant();
        }, ZDRemoteObject::Call::OnewayInOrder);
        root->addOperation(u"check:"_s, [&](const QVariantList &args) {
            if (value.load() < args.value(0).toInt())
                ++wrong;
            ++checks;
            return QVariant();
        }, ZDRemoteObject::Call::Oneway);
        root->addOperation(u"get"_s, [&](const QVariantList &) { return value.load(); });
        wire.setRootObject(root);
        QVERIFY(wire.listen(u"127.0.0.1"_s, 0));
        const auto c = ZDConnection::connectToHost(u"127.0.0.1"_s, wire.port());
        const auto agent = c->rootProxy();
        constexpr int kRounds = 200;
        for (int i = 0; i < kRounds; ++i) {
            agent->callOneway(u"set:"_s, {i});
            agent->callOneway(u"check:"_s, {i});
        }
        QCOMPARE(agent->call(u"get"_s), QVariant(kRounds - 1));
        QTRY_COMPARE(checks.load(), kRounds);
        QCOMPARE(wrong.load(), 0);
        QVERIFY(c->isValid());
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
    void roundTrip()
    {
        const QVariantMap inner{{u"n"_s, qint64(-7)}, {u"d"_s, QByteArray("z")}};
        const QVariantList values{
            QVariant(), true, false, qint64(0), std::numeric_limits<qint64>::max(), std::numeric_limits<qint64>::min(),
            -1234.5625, u"Édition – 編集 🎬"_s, QString(""), QByteArray("\0\x01\xff data", 9),
            QDateTime::fromMSecsSinceEpoch(1700000000123LL, Qt::UTC),
            QDateTime::fromMSecsSinceEpoch(-86400000LL * 365 * 40, Qt::UTC),
            QVariant::fromValue(ZDRemoteError(u"orvDomain"_s, 2008, {{u"info"_s, u"x"_s}})),
            QVariant::fromValue(ZDWireReference{false, 42}),
            QVariantMap{{u"list"_s, QVariantList{qint64(1), u"two"_s, QVariant(), inner}}, {u"empty map"_s, QVariantMap()},
                        {u"empty list"_s, QVariantList()}}};
        for (const QVariant &value : values) {
            QString error;
            const QByteArray bytes = ZDWireValue::encode(value, &error);
            QVERIFY2(!bytes.isEmpty(), qPrintable(error));
            bool ok = false;
            const QVariant back = ZDWireValue::decode(bytes, &error, nullptr, ZDWireLimits().maxDepth, &ok);
            QVERIFY2(ok, qPrintable(error));
            QCOMPARE(back, value);
            QCOMPARE(back.metaType(), value.metaType());
        }
    }
    void convertedTypes()
    {
        // Narrower integers, string lists and hashes travel as their general form.
        QCOMPARE(ZDWireValue::decode(ZDWireValue::encode(QVariant(int(-5)))), QVariant(qint64(-5)));
        QCOMPARE(ZDWireValue::decode(ZDWireValue::encode(QStringList{u"a"_s})), QVariant(QVariantList{u"a"_s}));
        QCOMPARE(ZDWireValue::decode(ZDWireValue::encode(QVariantHash{{u"k"_s, true}})),
                 QVariant(QVariantMap{{u"k"_s, true}}));
    }
    void encodeRefusals()
    {
        QString error;
        QVERIFY(ZDWireValue::encode(QPoint(1, 2), &error).isEmpty());
        QVERIFY(error.contains(QLatin1String("QPoint")));
        QVariant deep = QVariantList();
        for (int i = 0; i < 70; ++i)
            deep = QVariantList{deep};
        error.clear();
        QVERIFY(ZDWireValue::encode(deep, &error).isEmpty());
        QVERIFY(error.contains(QLatin1String("deeply")));
    }
    void decodeRefusals()
    {
        // Empty, truncated array, text longer than the input, map key not text, duplicate key, unknown tag, date
        // not a number, date out of range, integers too large either way, simple value, trailing bytes, a break
        // alone, unknown object, reference id as text, and nesting too deep.
        QList<QByteArray> refused{QByteArray()};
        for (const char *hex : {"830102", "7a7fffffff41", "a10102", "a2616101616102", "d82001", "c16161",
                                "c1fb7fefffffffffffff", "1bffffffffffffffff", "3bffffffffffffffff", "f0", "0101", "ff",
                                "d81b8163666f6f", "d81b836b5a4452656d6f7465526566f56131"})
            refused << QByteArray::fromHex(hex);
        refused << QByteArray(200, '\x81') + '\x01';
        for (const QByteArray &bytes : refused) {
            QString error;
            bool ok = true;
            const QVariant v = ZDWireValue::decode(bytes, &error, nullptr, ZDWireLimits().maxDepth, &ok);
            QVERIFY2(!ok && !v.isValid() && !error.isEmpty(), bytes.toHex().constData());
        }
    }
    void frames()
    {
        ZDWireFrame reader(100);
        const QByteArray stream = ZDWireFrame::wrap("first") + ZDWireFrame::wrap("second");
        QByteArray frame;
        QString error;
        QList<QByteArray> got;
        for (char c : stream) {
            reader.append(&c, 1);
            while (reader.next(&frame, &error) == ZDWireFrame::Status::Frame)
                got << frame;
        }
        QCOMPARE(got, (QList<QByteArray>{"first", "second"}));
        // Too long a frame is listenerAndDecoderStayBounded's, refused from its length alone.
        ZDWireFrame empty(100);
        empty.append("\0\0\0\0", 4);
        QVERIFY(empty.next(&frame, &error) == ZDWireFrame::Status::Error);
    }
    // Whole messages making the trip are every call of the connection test; these must not.
    void messages()
    {
        const ZDWireLimits limits;
        QString error;
        // Well-formed values with the wrong shape are refused field by field.
        const auto callWithId = [](const QVariant &id) {
            return QVariantMap{{u"type"_s, u"call"_s}, {u"id"_s, id}, {u"target"_s, qint64(0)}, {u"op"_s, u"ping"_s},
                               {u"args"_s, QVariantList()}, {u"oneway"_s, false}};
        };
        const QList<QVariantMap> wrong{
            callWithId(u"7"_s), callWithId(qint64(-1)), {{u"type"_s, u"reply"_s}, {u"id"_s, qint64(1)}},
            {{u"type"_s, u"release"_s}, {u"target"_s, qint64(1)}, {u"count"_s, qint64(0)}},
            {{u"type"_s, u"hello"_s}, {u"version"_s, 1.0}, {u"name"_s, QString()}},
            {{u"type"_s, u"launch"_s}}, {{u"kind"_s, u"ping"_s}}};
        for (const QVariantMap &m : wrong) {
            error.clear();
            QVERIFY(!ZDWireMessage::fromBody(ZDWireValue::encode(m), nullptr, limits, &error) && !error.isEmpty());
        }
        QVERIFY(!ZDWireMessage::fromBody(ZDWireValue::encode(QVariantList()), nullptr, limits, &error));
        ZDWireLimits small;
        small.maxFrameBytes = 64;
        error.clear();
        QVERIFY(ZDWireMessage::reply(1, QByteArray(100, 'x')).toFrame(nullptr, small, &error).isEmpty());
        QVERIFY(error.contains(QLatin1String("limit")));
    }
    void largeDictionary()
    {
        QVariantMap root;
        for (int i = 0; i < 200; ++i) {
            QVariantMap item;
            for (int j = 0; j < 20; ++j)
                item.insert(u"key %1"_s.arg(j), QVariantList{qint64(i * j), u"value %1"_s.arg(j), QByteArray(100, char(j))});
            root.insert(u"item %1"_s.arg(i), item);
        }
        const QByteArray bytes = ZDWireValue::encode(root);
        QVERIFY(bytes.size() > 256 * 1024);
        const QVariant back = ZDWireValue::decode(bytes);
        QCOMPARE(back, QVariant(root));
        // Short texts that repeat across a large message are kept once (a fleet's profiles stay in memory).
        const QVariantMap first = back.toMap().value(u"item 0"_s).toMap();
        const QVariantMap second = back.toMap().value(u"item 1"_s).toMap();
        QCOMPARE(first.firstKey().constData(), second.firstKey().constData());
        QCOMPARE(first.first().toList().value(1).toString().constData(),
                 second.first().toList().value(1).toString().constData());
    }
    // Computers cloned from one image answer with the same records: the console keeps
    // each once. A record holding an object reference stays its link's own, the
    // limits hold for records met before, and records nobody holds are let go.
    void recordsMetAgainAreShared()
    {
        const auto libraries = [](const QString &changed) {
            QVariantMap all;
            for (int i = 0; i < 400; ++i) {
                const QString name = u"libshared%1"_s.arg(i);
                all.insert(name, QVariantMap{{u"name"_s, name}, {u"fullPath"_s, u"/usr/lib/%1.so.1"_s.arg(name)},
                                             {u"version"_s, name == changed ? u"2.0"_s : u"1.0"_s}});
            }
            return all;
        };
        const qsizetype keptBefore = ZDWireRecords::size();
        {
            const auto one = connect(), two = connect();
            const QVariantMap a = one->rootProxy()->call(u"echo:"_s, {libraries({})}).toMap();
            const QVariantMap b = two->rootProxy()->call(u"echo:"_s, {libraries(u"libshared7"_s)}).toMap();
            QCOMPARE(a, libraries({}));
            QCOMPARE(b, libraries(u"libshared7"_s));
            QVERIFY(a.value(u"libshared3"_s).toMap().isSharedWith(b.value(u"libshared3"_s).toMap()));
            QCOMPARE(b.value(u"libshared7"_s).toMap().value(u"version"_s), QVariant(u"2.0"_s));
            // The record that differs still shares its name and path with the other link's.
            const auto textOf = [](const QVariantMap &m, const QString &field) {
                return m.value(u"libshared7"_s).toMap().value(field).toString();
            };
            QVERIFY(!a.value(u"libshared7"_s).toMap().isSharedWith(b.value(u"libshared7"_s).toMap()));
            for (const QString &field : {u"name"_s, u"fullPath"_s})
                QCOMPARE(textOf(a, field).constData(), textOf(b, field).constData());
            QVERIFY(ZDWireRecords::size() >= keptBefore + 401);

            const auto withObject = [](const ZDRemoteObjectPtr &object) {
                QVariantList records;
                for (int i = 0; i < 300; ++i)
                    records << QVariantMap{{u"index"_s, i}, {u"object"_s, QVariant::fromValue(object)},
                                           {u"pad"_s, u"padding to pass the size of small messages"_s}};
                return records;
            };
            const auto first = ZDRemoteObject::create(), second = ZDRemoteObject::create();
            const QVariantList viaOne = one->rootProxy()->call(u"echo:"_s, {QVariant(withObject(first))}).toList();
            const QVariantList viaTwo = two->rootProxy()->call(u"echo:"_s, {QVariant(withObject(second))}).toList();
            QCOMPARE(viaOne.size(), 300);
            QCOMPARE(viaTwo.size(), 300);
            QCOMPARE(viaOne.last().toMap().value(u"object"_s).value<ZDRemoteObjectPtr>(), first);
            QCOMPARE(viaTwo.last().toMap().value(u"object"_s).value<ZDRemoteObjectPtr>(), second);
        }

        // Known records, nested deeper than the limit or past the item budget, are refused as before.
        const QVariantMap known = libraries({});
        QVariant nested = known.value(u"libshared5"_s);
        for (int i = 0; i < 62; ++i)
            nested = QVariantList{nested};
        const QVariantList tooDeep{nested, known};
        QVERIFY(ZDWireValue::decode(ZDWireValue::encode(known)).isValid());
        QString error;
        QVERIFY(!ZDWireValue::decode(ZDWireValue::encode(tooDeep, nullptr, nullptr, 100), &error).isValid());
        QVERIFY2(error.contains(u"nested too deeply"_s), qPrintable(error));
        const QByteArray many = ZDWireValue::encode(known);
        QVERIFY(ZDWireValue::decode(many, &error, nullptr, 64, nullptr, 4000).isValid()); // 3201 items
        QVERIFY(!ZDWireValue::decode(many, &error, nullptr, 64, nullptr, 3000).isValid());
        QVERIFY2(error.contains(u"item limit"_s), qPrintable(error));

        // Once nothing holds them, the next large message lets them go (at most every two seconds).
        const qsizetype held = ZDWireRecords::size();
        const qsizetype heldTexts = ZDWireRecords::textCount();
        QTest::qWait(2100);
        QVERIFY(ZDWireValue::decode(ZDWireValue::encode(QString(20000, u'x'))).isValid());
        QVERIFY2(ZDWireRecords::size() <= held - 400, qPrintable(u"%1 of %2"_s.arg(ZDWireRecords::size()).arg(held)));
        QVERIFY2(ZDWireRecords::textCount() <= heldTexts - 800,
                 qPrintable(u"%1 of %2"_s.arg(ZDWireRecords::textCount()).arg(heldTexts)));
    }
    void listenerAndDecoderStayBounded()
    {
        // Counted in this program's log from now: the other cases log too.
        const QStringList reasons{u"Refused connection from 127.0.0."_s, u"the item limit"_s, u"text is not valid UTF-8"_s,
                                  u"calls still waiting after 3000 ms"_s};
        QList<int> before;
        for (const QString &reason : reasons)
            before << logCount(reason);
        const auto logged = [&](int i) { return logCount(reasons[i]) - before[i]; };
        ZDConnectionOptions options = ZDConnectionServer::defaultOptions();
        options.maxHeldCalls = 8, options.heldStallMs = 3000, options.maxConnections = 6, options.maxConnectionsPerAddress = 4;
        options.deadAfterSilenceMs = 60000; // the idle ones below are closed by the hello deadline, not for silence
        ZDConnectionServer wire(options);
        std::atomic<int> started{0};
        QSemaphore release;
        auto root = ZDRemoteObject::create();
        root->addOperation(QStringLiteral("echo:"), [](const QVariantList &args) { return args.value(0); });
        root->addOperation(QStringLiteral("block"), [&](const QVariantList &) { return ++started, release.tryAcquire(1, 20000); });
        wire.setRootObject(root);
        QVERIFY(wire.listen(QStringLiteral("127.0.0.1"), 0));
        std::vector<Socket> idle; // four from one address, then a fifth; two from another fill the listener
        for (const char *from : {"127.0.0.1", "127.0.0.1", "127.0.0.1", "127.0.0.1", "127.0.0.2", "127.0.0.2"}) {
            idle.push_back(open(wire.port(), from));
            QTRY_COMPARE(wire.connections().size(), qsizetype(idle.size()));
            if (idle.size() == 4)
                QVERIFY(closedByPeer(*open(wire.port())));
        }
        for (int i = 0; i < 30; ++i) // a flood from a third address, logged a few times only
            QVERIFY(closedByPeer(*open(wire.port(), "127.0.0.3")));
        QCOMPARE(logged(0), 5);
        QTRY_COMPARE_WITH_TIMEOUT(wire.connections().size(), 0, 15000); // the idle ones never said hello
        QByteArray pipelined, oversized(4, '\0');
        qToBigEndian(quint32(ZDWireLimits().maxFrameBytes + 1), oversized.data());
        QByteArray badText = frame(ZDWireMessage::call(2, 0, QStringLiteral("echo:"), {QStringLiteral("\u00e9XYZ")}, false));
        badText[badText.indexOf("\xc3\xa9XYZ") + 1] = '(';
        for (int i = 0; i < 100; ++i)
            pipelined += frame(ZDWireMessage::call(10 + i, 0, QStringLiteral("block"), {}, false));
        const QVariant unknownRef = QVariant::fromValue(ZDWireReference {false, 99});
        const QByteArray attacks[] = { // the last but one comes before any hello
            frame(ZDWireMessage::call(1, 0, QStringLiteral("echo:"), {QVariantList(600, QVariantList(500, 0))}, false)),
            badText, oversized, ZDWireFrame::wrap(QByteArray::fromHex("a3ff00ee17")),
            frame(ZDWireMessage::call(3, 0, QStringLiteral("echo:"), {unknownRef}, false)),
            frame(ZDWireMessage::hello(1, QString())), frame(ZDWireMessage::call(4, 0, QStringLiteral("block"), {}, false)),
            pipelined};
        for (const QByteArray &attack : attacks) {
            const Socket s = open(wire.port(), "127.0.0.1", &attack != &attacks[6]);
            s->write(attack);
            if (attack == pipelined) { // held calls stop the reading; a link that stays full is closed
                QTRY_COMPARE(started.load(), 8);
                QVERIFY(!QTest::qWaitFor([&] { return started > 8; }, 1000));
            }
            QVERIFY(closedByPeer(*s));
            QVERIFY(echoes(wire.port()));
        }
        release.release(8);
        for (const int i : {1, 2, 3})
            QVERIFY2(logged(i) == 1, qPrintable(reasons[i]));
        QSemaphore gate; // not the held calls' own: one of them could take the pool task's permit
        ZDWorkerPool pool(1, 2);
        QVERIFY(pool.run([&] { ++started, gate.tryAcquire(1, 20000); }));
        QTRY_COMPARE(started.load(), 9);
        QVERIFY(pool.run([] {}) && pool.run([] {}) && !pool.run([] {}));
        gate.release();
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
