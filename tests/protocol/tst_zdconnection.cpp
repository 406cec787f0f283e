// Two ends of the wire in one process, over real loopback sockets: values by
// copy, objects by reference and back, oneway and synchronous calls, serving
// threads, link failure, and hostile peers.
#include "ZDConnectionServer.h"
#include "ZDRemoteError.h"
#include "ZDLog.h"
#include "ZDTcpTransport.h"
#include "ZDTestSandbox.h"
#include "ZDWireFrame.h"
#include "ZDWireMessage.h"

#include <QtTest>
#include <QTcpSocket>

#include <atomic>
#include <mutex>
#include <optional>
#include <thread>

namespace {

QVariant arg0(const QVariantList &args)
{
    return args.value(0);
}

// Reads the peer's hello from a raw socket and answers with ours.
bool rawHandshake(QTcpSocket &socket, quint16 port)
{
    socket.connectToHost(QStringLiteral("127.0.0.1"), port);
    if (!socket.waitForConnected(5000))
        return false;
    QString error;
    socket.write(ZDWireMessage::hello(1, QString()).toFrame(nullptr, ZDWireLimits(), &error));
    return socket.waitForReadyRead(5000);
}

bool closedByPeer(QTcpSocket &socket)
{
    return socket.state() != QAbstractSocket::ConnectedState || socket.waitForDisconnected(10000);
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
    std::shared_ptr<ZDConnection> connect(const QString &host = QStringLiteral("127.0.0.1"))
    {
        return ZDConnection::connectToHost(host, m_server->port(), QStringLiteral("test-agent"));
    }

private Q_SLOTS:
    void initTestCase() { ZDLog::createNewLog(QStringLiteral("tst_zdconnection")); }
    void init()
    {
        m_root = ZDRemoteObject::create();
        m_served = ZDRemoteObject::create();
        m_served->addOperation(QStringLiteral("name"), [](const QVariantList &) { return QStringLiteral("served"); });
        m_root->addOperation(QStringLiteral("ping"), [](const QVariantList &) { return QVariant(); });
        m_root->addOperation(QStringLiteral("echo:"), arg0);
        m_root->addOperation(QStringLiteral("probe"), [this](const QVariantList &) { return ++m_probeRuns; });
        m_root->addOperation(QStringLiteral("fail"), [](const QVariantList &) -> QVariant {
            throw ZDNamedException(QStringLiteral("TestException"), QStringLiteral("boom"));
        });
        m_root->addOperation(QStringLiteral("callBack:with:"), [](const QVariantList &args) {
            return ZDRemoteProxy::fromVariant(args[0])->call(QStringLiteral("receive:"), {args[1]});
        });
        m_root->addOperation(QStringLiteral("keep:"), [this](const QVariantList &args) {
            std::lock_guard lock(m_keptMutex);
            m_kept << ZDRemoteProxy::fromVariant(args[0]);
            return QVariant();
        });
        m_root->addOperation(QStringLiteral("notifyKept:"), [this](const QVariantList &args) {
            std::lock_guard lock(m_keptMutex);
            for (const auto &p : std::as_const(m_kept))
                p->callOneway(QStringLiteral("receive:"), {args[0]});
            return QVariant();
        }, ZDRemoteObject::Call::Oneway);
        m_root->addOperation(QStringLiteral("drop"), [this](const QVariantList &) {
            std::lock_guard lock(m_keptMutex);
            m_kept.clear();
            return QVariant();
        });
        m_root->addOperation(QStringLiteral("same:and:"), [](const QVariantList &args) {
            return ZDRemoteProxy::fromVariant(args[0]) == ZDRemoteProxy::fromVariant(args[1]);
        });
        m_root->addOperation(QStringLiteral("giveObject"), [this](const QVariantList &) {
            return QVariant::fromValue(m_served);
        });
        m_root->addOperation(QStringLiteral("isServed:"), [this](const QVariantList &args) {
            return args[0].value<ZDRemoteObjectPtr>() == m_served;
        });
        m_root->addOperation(QStringLiteral("block"), [this](const QVariantList &) {
            ++m_blockStarted;
            return m_release.tryAcquire(1, 10000);
        });
        m_root->addOperation(QStringLiteral("rendezvous"), [this](const QVariantList &) {
            m_rendezvous.release();
            return m_rendezvous.tryAcquire(2, 10000) ? (m_rendezvous.release(2), true) : false;
        });
        m_server = std::make_unique<ZDConnectionServer>();
        m_server->setRootObject(m_root);
        m_server->setRegisteredName(QStringLiteral("test-agent"));
        QString error;
        QVERIFY2(m_server->listen(QString(), 0, &error), qPrintable(error));
        QVERIFY(m_server->port() > 0);
        m_blockStarted = 0;
        m_probeRuns = 0;
    }
    void cleanup()
    {
        m_release.release(100);
        m_server.reset();
        m_kept.clear();
        m_release.acquire(m_release.available());
        m_rendezvous.acquire(m_rendezvous.available());
    }
    void valuesByCopy_data()
    {
        QTest::addColumn<QString>("host");
        QTest::newRow("IPv4") << QStringLiteral("127.0.0.1");
        QTest::newRow("IPv6") << QStringLiteral("::1");
    }
    void valuesByCopy()
    {
        QFETCH(QString, host);
        auto c = connect(host);
        QCOMPARE(c->peerName(), QStringLiteral("test-agent"));
        const auto agent = c->rootProxy();
        // Every by-copy type in one nested value; each type alone is the value tests' job.
        const QVariantList values{
            QVariant(), true, qint64(-9000000000LL), 2.5, QStringLiteral("Überprüfung ✓"), QByteArray("\0\xfe", 2),
            QDateTime::fromMSecsSinceEpoch(1600000000250LL, Qt::UTC),
            QVariantMap{{QStringLiteral("k"), QVariantMap{{QStringLiteral("deep"), false}}}},
            QVariant::fromValue(ZDRemoteError(QStringLiteral("orvDomain"), 1003,
                                              {{QStringLiteral("hostname"), QStringLiteral("edit-3.local.")}}))};
        QCOMPARE(agent->call(QStringLiteral("echo:"), {QVariant(values)}), QVariant(values));
    }
    void handshakeAndRefusal()
    {
        try {
            ZDConnection::connectToHost(QStringLiteral("127.0.0.1"), m_server->port(), QStringLiteral("someone else"));
            QFAIL("a wrong registered name was accepted");
        } catch (const ZDLinkException &e) {
            QVERIFY(e.reason().contains(QLatin1String("test-agent")));
        }
        const quint16 port = m_server->port();
        m_server->close();
        QVERIFY_THROWS_EXCEPTION(ZDLinkException, ZDConnection::connectToHost(QStringLiteral("127.0.0.1"), port));
        // The address is free for the next listener at once.
        ZDConnectionServer again;
        QVERIFY(again.listen(QStringLiteral("127.0.0.1"), port));
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
        QVERIFY(server.listen(QStringLiteral("127.0.0.1"), 0));
        options.serveMode = ZDServeMode::OwnerThread;
        auto c = ZDConnection::connectToHost(QStringLiteral("127.0.0.1"), server.port(), QString(), options);
        QCOMPARE(c->rootProxy()->call(QStringLiteral("echo:"), {true}), QVariant(true));
        QCOMPARE(made.load(), 2);
    }
    void callbackByReference()
    {
        auto c = connect();
        const auto agent = c->rootProxy();
        auto console = ZDRemoteObject::create();
        QList<QVariant> received;
        QList<QThread *> threads;
        console->addOperation(QStringLiteral("receive:"), [&](const QVariantList &args) {
            received << args[0];
            threads << QThread::currentThread();
            return QVariant(QStringLiteral("got %1").arg(args[0].toString()));
        });
        const QVariant ref = QVariant::fromValue(console);
        // The agent calls back while this thread waits for its answer.
        QCOMPARE(agent->call(QStringLiteral("callBack:with:"), {ref, QStringLiteral("a")}), QVariant("got a"));
        QCOMPARE(agent->call(QStringLiteral("same:and:"), {ref, ref}), QVariant(true));
        agent->call(QStringLiteral("keep:"), {ref});
        QCOMPARE(c->exportedObjectCount(), 1);
        agent->callOneway(QStringLiteral("notifyKept:"), {QStringLiteral("later")});
        QTRY_COMPARE(received.size(), 2);
        QCOMPARE(received.last(), QVariant("later"));
        // Calls to the console run on the thread that owns its connection.
        QVERIFY(threads == (QList<QThread *>{QThread::currentThread(), QThread::currentThread()}));
        // The agent forgets its proxy: the console may forget the object.
        agent->call(QStringLiteral("drop"));
        QTRY_COMPARE(c->exportedObjectCount(), 0);
        // An object of the agent comes back to it as itself, not as a proxy.
        const auto served = ZDRemoteProxy::fromVariant(agent->call(QStringLiteral("giveObject")));
        QVERIFY(served);
        QCOMPARE(served->call(QStringLiteral("name")), QVariant("served"));
        QCOMPARE(agent->call(QStringLiteral("isServed:"), {QVariant::fromValue(served)}), QVariant(true));
        const auto server = m_server->connections().value(0);
        QVERIFY(server);
        QCOMPARE(server->exportedObjectCount(), 1);
        QVERIFY(ZDRemoteProxy::fromVariant(agent->call(QStringLiteral("giveObject"))) == served);
        QVERIFY_THROWS_EXCEPTION(ZDLinkException, agent->call(QStringLiteral("keep:"), {QVariant::fromValue(QPoint())}));
    }
    void releaseOnProxyDrop()
    {
        auto c = connect();
        const auto agent = c->rootProxy();
        ZDRemoteProxy::fromVariant(agent->call(QStringLiteral("giveObject")))->call(QStringLiteral("name"));
        const auto server = m_server->connections().value(0);
        QTRY_COMPARE(server->exportedObjectCount(), 0);
        QCOMPARE(c->proxyCount(), 1); // the root
    }
    void onewayAndSynchronous()
    {
        auto c = connect();
        const auto agent = c->rootProxy();
        // Oneway returns while the operation is still running.
        agent->callOneway(QStringLiteral("block"));
        QTRY_COMPARE(m_blockStarted.load(), 1);
        // A synchronous call waits for its operation.
        std::atomic<bool> returned{false};
        std::thread caller([&] {
            agent->call(QStringLiteral("block"));
            returned = true;
        });
        QTRY_COMPARE(m_blockStarted.load(), 2);
        QVERIFY(!returned); // its handler still holds
        m_release.release(2);
        caller.join();
        QVERIFY(returned);
        // An operation declared oneway answers a synchronous caller before it runs.
        QCOMPARE(agent->call(QStringLiteral("notifyKept:"), {QStringLiteral("x")}), QVariant());
    }
    void callsRunConcurrently()
    {
        auto c = connect();
        const auto agent = c->rootProxy();
        QVariant first;
        std::thread other([&] { first = agent->call(QStringLiteral("rendezvous")); });
        const QVariant second = agent->call(QStringLiteral("rendezvous"));
        other.join();
        QCOMPARE(first, QVariant(true));
        QCOMPARE(second, QVariant(true));
    }
    void selectorsAndRemoteErrors()
    {
        auto c = connect();
        const auto agent = c->rootProxy();
        QVERIFY(agent->respondsToSelector(QStringLiteral("probe")));
        QVERIFY(!agent->respondsToSelector(QStringLiteral("fetchInitialConfiguration:")));
        QCOMPARE(m_probeRuns.load(), 0);
        const auto refusal = [&](const QString &op, const QVariantList &args) -> std::optional<ZDLinkException> {
            try {
                agent->call(op, args);
            } catch (const ZDLinkException &e) {
                return e;
            }
            return std::nullopt;
        };
        const auto unknown = refusal(QStringLiteral("fetchInitialConfiguration:"), {true});
        QVERIFY(unknown && unknown->kind() == ZDLinkException::Kind::Remote);
        QCOMPARE(unknown->name(), QString::fromLatin1(ZDLinkException::kUnknownOperationName));
        const auto arity = refusal(QStringLiteral("echo:"), {});
        QVERIFY(arity);
        QCOMPARE(arity->name(), QString::fromLatin1(ZDLinkException::kInvalidArgumentName));
        const auto thrown = refusal(QStringLiteral("fail"), {});
        QVERIFY(thrown);
        QCOMPARE(thrown->name(), QStringLiteral("TestException"));
        QCOMPARE(thrown->reason(), QStringLiteral("boom"));
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
                agent->call(QStringLiteral("block"));
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
        QVERIFY_THROWS_EXCEPTION(ZDLinkException, agent->call(QStringLiteral("ping")));
        QVERIFY_THROWS_EXCEPTION(ZDLinkException, agent->callOneway(QStringLiteral("ping")));
    }
    void hostileFramesCloseOnlyTheirConnection_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QByteArray oversized(4, '\0');
        qToBigEndian(quint32(16 * 1024 * 1024 + 1), oversized.data());
        QTest::newRow("oversized") << oversized;
        QTest::newRow("garbage") << ZDWireFrame::wrap(QByteArray::fromHex("a3ff00ee17"));
        QTest::newRow("unknown reference")
            << ZDWireMessage::call(1, 0, QStringLiteral("echo:"), {QVariant::fromValue(ZDWireReference{false, 99})}, false)
                   .toFrame(nullptr, ZDWireLimits(), nullptr);
        QTest::newRow("second hello") << ZDWireMessage::hello(1, QString()).toFrame(nullptr, ZDWireLimits(), nullptr);
    }
    void hostileFramesCloseOnlyTheirConnection()
    {
        QFETCH(QByteArray, bytes);
        auto good = connect();
        QTcpSocket hostile;
        QVERIFY(rawHandshake(hostile, m_server->port()));
        hostile.write(bytes);
        QVERIFY(closedByPeer(hostile));
        QCOMPARE(good->rootProxy()->call(QStringLiteral("echo:"), {qint64(5)}), QVariant(qint64(5)));
    }
    void helloComesFirst()
    {
        QTcpSocket hostile;
        hostile.connectToHost(QStringLiteral("127.0.0.1"), m_server->port());
        QVERIFY(hostile.waitForConnected(5000));
        hostile.write(ZDWireMessage::call(1, 0, QStringLiteral("ping"), {}, false).toFrame(nullptr, ZDWireLimits(), nullptr));
        QVERIFY(closedByPeer(hostile));
        QCOMPARE(m_probeRuns.load(), 0);
    }
};

QTEST_GUILESS_MAIN(TestZDConnection)
#include "tst_zdconnection.moc"
