// Hostile peers on the wire, against a real listener and the real agent: floods of
// connections, silence and trickled half frames, messages of many tiny items or
// bad UTF-8, pipelined calls, and a forged time-out. A legitimate peer works after each.
#include "ZDConnectionServer.h"
#include "ZDLog.h"
#include "ZDOrvProtocol.h"
#include "ZDRealAgent.h"
#include "ZDTestSandbox.h"
#include "ZDWorkerPool.h"

#include <QSemaphore>
#include <QTcpSocket>
#include <QtTest>

namespace {
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
bool echoes(quint16 port, const QString &name = QStringLiteral("wire"), const char *op = "echo:")
{
    return ZDConnection::connectToHost(QStringLiteral("127.0.0.1"), port, name)->rootProxy()->call(
               QString::fromLatin1(op), {QStringLiteral("fine")}) == (name.isEmpty() ? QVariant() : QStringLiteral("fine"));
}
} // namespace

class TestZDHostileWire : public QObject
{
    Q_OBJECT
    ZDTestSandbox m_sandbox;
    std::atomic<int> m_started{0};
    QSemaphore m_release;

    std::unique_ptr<ZDConnectionServer> server(const ZDConnectionOptions &options)
    {
        auto s = std::make_unique<ZDConnectionServer>(options);
        auto root = ZDRemoteObject::create();
        root->addOperation(QStringLiteral("echo:"), [](const QVariantList &args) { return args.value(0); });
        root->addOperation(QStringLiteral("block"), [this](const QVariantList &) { return ++m_started, m_release.tryAcquire(1, 20000); });
        s->setRootObject(root);
        s->setRegisteredName(QStringLiteral("wire"));
        return s->listen(QStringLiteral("127.0.0.1"), 0) ? std::move(s) : nullptr;
    }

private Q_SLOTS:
    void initTestCase() { ZDLog::createNewLog(QStringLiteral("tst_zdhostilewire")); }

    void listenerRefusesFloods()
    {
        ZDConnectionOptions options = ZDConnectionServer::defaultOptions();
        options.maxConnections = 6;
        options.maxConnectionsPerAddress = 4;
        const auto wire = server(options);
        std::vector<Socket> idle;
        for (const char *from : {"127.0.0.1", "127.0.0.1", "127.0.0.1", "127.0.0.1", "127.0.0.2", "127.0.0.2"}) {
            idle.push_back(open(wire->port(), from));
            QTRY_COMPARE(wire->connections().size(), qsizetype(idle.size()));
            if (idle.size() == 4) // a fifth from one address
                QVERIFY(closedByPeer(*open(wire->port())));
        }
        for (int i = 0; i < 30; ++i) // every slot taken: a flood from a third address, logged a few times only
            QVERIFY(closedByPeer(*open(wire->port(), "127.0.0.3")));
        QCOMPARE(logCount(QStringLiteral("Refused connection from 127.0.0.")), 5);
        QTRY_COMPARE_WITH_TIMEOUT(wire->connections().size(), 0, 15000); // no hello from the idle ones
        QVERIFY(echoes(wire->port()));
    }

    void decoderAndQueuesStayBounded()
    {
        ZDConnectionOptions options = ZDConnectionServer::defaultOptions();
        options.maxHeldCalls = 8;
        options.heldStallMs = 3000;
        const auto wire = server(options);
        QVariantList tiny;
        for (int i = 0; i < 600; ++i)
            tiny.append(QVariant(QVariantList(500, qint64(0))));
        QByteArray badText = frame(ZDWireMessage::call(2, 0, QStringLiteral("echo:"), {QStringLiteral("\u00e9XYZ")}, false));
        badText[badText.indexOf("\xc3\xa9XYZ") + 1] = '(';
        QByteArray pipelined;
        for (int i = 0; i < 100; ++i)
            pipelined += frame(ZDWireMessage::call(10 + i, 0, QStringLiteral("block"), {}, false));
        for (const QByteArray &attack : {frame(ZDWireMessage::call(1, 0, QStringLiteral("echo:"), {tiny}, false)), badText, pipelined}) {
            const Socket s = open(wire->port(), "127.0.0.1", true);
            s->write(attack);
            if (attack == pipelined) { // held calls stop the reading, and a link that stays full is closed
                QTRY_COMPARE(m_started.load(), 8);
                QVERIFY(!QTest::qWaitFor([&] { return m_started > 8; }, 1000));
            }
            QVERIFY(closedByPeer(*s));
            QVERIFY(echoes(wire->port()));
        }
        m_release.release(8);
        QCOMPARE(logCount(QStringLiteral("the item limit")), 1);
        QCOMPARE(logCount(QStringLiteral("text is not valid UTF-8")), 1);
        QCOMPARE(logCount(QStringLiteral("calls still waiting after 3000 ms")), 1);

        ZDWorkerPool pool(1, 2);
        QVERIFY(pool.run([this] { ++m_started, m_release.acquire(); }));
        QTRY_COMPARE(m_started.load(), 9);
        QVERIFY(pool.run([] {}) && pool.run([] {}));
        QVERIFY(!pool.run([] {}));
        m_release.release();
    }

    void agentKeepsConsolesOnForgedTimeout()
    {
        ZDRealAgent agent;
        QVERIFY(agent.start(ZDRealAgent::freePort()));
        const auto legit = ZDConnection::connectToHost(QStringLiteral("127.0.0.1"), agent.port());
        ZDConnectionOptions options;
        options.serveMode = ZDServeMode::WorkerThreads;
        const auto hostile = ZDConnection::connectToHost(QStringLiteral("127.0.0.1"), agent.port(), {}, options);
        auto record = ZDRemoteObject::create();
        record->addOperation(QString::fromLatin1(ZDOrv::kProcessConfiguration), [](const QVariantList &) -> QVariant {
            throw ZDNamedException(QString::fromLatin1(ZDException::kTimeoutName), QStringLiteral("forged by the peer"));
        });
        hostile->rootProxy()->callOneway(QString::fromLatin1(ZDOrv::kFetchInitialConfiguration), {QVariant::fromValue(record)});
        QVERIFY2(!agent.waitFor(QStringLiteral("NSPortTimeoutException - forged by the peer")).isEmpty(), qPrintable(agent.output()));
        // Meanwhile a peer trickles half a frame: bytes keep coming, but no hello.
        const Socket trickler = open(agent.port());
        trickler->write(QByteArray::fromHex("000010"));
        for (int i = 0; i < 60 && trickler->state() == QAbstractSocket::ConnectedState; ++i)
            trickler->write("x"), trickler->waitForDisconnected(250);
        QVERIFY(trickler->state() != QAbstractSocket::ConnectedState);
        // A restart would come five seconds after the forged time-out: none comes.
        QVERIFY(!QTest::qWaitFor([&] { return !legit->isValid(); }, 8000));
        QVERIFY(echoes(agent.port(), {}, ZDOrv::kPing));
        QVERIFY(legit->isValid());
    }
};

QTEST_GUILESS_MAIN(TestZDHostileWire)
#include "tst_zdhostilewire.moc"
