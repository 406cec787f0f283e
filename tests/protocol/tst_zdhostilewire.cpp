// Hostile peers against a real listener; a legitimate peer works after each attack.
#include "ZDConnectionServer.h"
#include "ZDLog.h"
#include "ZDTestSandbox.h"
#include "ZDWireFrame.h"
#include "ZDWorkerPool.h"
#include <QSemaphore>
#include <QTcpSocket>
#include <QtTest>

using Socket = std::unique_ptr<QTcpSocket>;
static QByteArray frame(const ZDWireMessage &m) { return m.toFrame(nullptr, ZDWireLimits(), nullptr); }
static Socket open(quint16 port, const char *from = "127.0.0.1", bool hello = false)
{
    auto s = std::make_unique<QTcpSocket>();
    s->bind(QHostAddress(QString::fromLatin1(from)));
    s->connectToHost(QStringLiteral("127.0.0.1"), port);
    if (s->waitForConnected(5000) && hello)
        s->write(frame(ZDWireMessage::hello(1, QString()))), s->waitForReadyRead(5000);
    return s;
}
static bool closedByPeer(QTcpSocket &s) { return s.state() != QAbstractSocket::ConnectedState || s.waitForDisconnected(15000); }
static int logCount(const QString &text)
{
    ZDLog::finishWriting();
    return QString::fromUtf8(ZDTestSandbox::readFile(ZDLog::availableLogs().value(0))).count(text);
}
static bool echoes(quint16 port, const char *op = "echo:", const QVariant &expected = QStringLiteral("fine"))
{
    return ZDConnection::connectToHost(QStringLiteral("127.0.0.1"), port)->rootProxy()->call(QString::fromLatin1(op), {expected}) == expected;
}

class TestZDHostileWire : public QObject
{
    Q_OBJECT
    ZDTestSandbox m_sandbox;

private Q_SLOTS:
    void initTestCase() { ZDLog::createNewLog(QStringLiteral("tst_zdhostilewire")); }

    void listenerAndDecoderStayBounded()
    {
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
        QCOMPARE(logCount(QStringLiteral("Refused connection from 127.0.0.")), 5);
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
        for (const char *reason : {"the item limit", "text is not valid UTF-8", "calls still waiting after 3000 ms"})
            QVERIFY2(logCount(QString::fromLatin1(reason)) == 1, reason);
        QSemaphore gate; // not the held calls' own: one of them could take the pool task's permit
        ZDWorkerPool pool(1, 2);
        QVERIFY(pool.run([&] { ++started, gate.tryAcquire(1, 20000); }));
        QTRY_COMPARE(started.load(), 9);
        QVERIFY(pool.run([] {}) && pool.run([] {}) && !pool.run([] {}));
        gate.release();
    }

};

QTEST_GUILESS_MAIN(TestZDHostileWire)
#include "tst_zdhostilewire.moc"
