// A frozen peer in another process: a waiting call fails as a time-out rather than hang. A killed one failing
// waiting calls is the connection test's link failure and the end-to-end killedDuringCall.
#include "ZDConnection.h"
#include "ZDLog.h"
#include "ZDTestSandbox.h"
#include <QtTest>
#include <csignal>
#include <future>

using namespace Qt::StringLiterals;

namespace {

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

class TestZDDeadPeer : public QObject
{
    Q_OBJECT
    ZDTestSandbox m_sandbox;
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
        m_peer.setProgram(qEnvironmentVariable("KESTRA_TEST_HELPERS") + u"/wire_peer"_s);
        m_peer.start();
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
    void initTestCase() { ZDLog::createNewLog(u"tst_zddeadpeer"_s); }
    void cleanup()
    {
        if (m_peer.state() != QProcess::NotRunning) {
            ::kill(pid_t(m_peer.processId()), SIGCONT);
            m_peer.kill();
            m_peer.waitForFinished(10000);
        }
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

QTEST_GUILESS_MAIN(TestZDDeadPeer)
#include "tst_zddeadpeer.moc"
