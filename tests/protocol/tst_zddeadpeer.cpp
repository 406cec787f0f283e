// A peer in another process that is killed or frozen: every waiting call must
// fail rather than hang; a frozen one fails as a time-out.
#include "ZDConnection.h"
#include "ZDLog.h"
#include "ZDTestSandbox.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QtTest>

#include <csignal>
#include <future>

namespace {

struct Outcome
{
    std::optional<ZDLinkException> error;
    qint64 elapsedMs = 0;
};

// Runs a call that the peer never answers on a thread of its own.
std::future<Outcome> blockedCall(const ZDRemoteProxyPtr &peer)
{
    return std::async(std::launch::async, [peer] {
        Outcome outcome;
        QElapsedTimer timer;
        timer.start();
        try {
            peer->call(QStringLiteral("block"));
        } catch (const ZDLinkException &e) {
            outcome.error = e;
        }
        outcome.elapsedMs = timer.elapsed();
        return outcome;
    });
}

} // namespace

class TestZDDeadPeer : public QObject
{
    Q_OBJECT

    ZDTestSandbox m_sandbox;
    QProcess m_peer;

    std::shared_ptr<ZDConnection> startPeer()
    {
        m_peer.setProgram(qEnvironmentVariable("KESTRA_TEST_HELPERS") + QStringLiteral("/wire_peer"));
        m_peer.start();
        if (!m_peer.waitForStarted(10000) || !m_peer.waitForReadyRead(10000))
            return nullptr;
        const quint16 port = quint16(m_peer.readLine().trimmed().toUInt());
        return ZDConnection::connectToHost(QStringLiteral("127.0.0.1"), port, QStringLiteral("wire-peer"));
    }

private Q_SLOTS:
    void initTestCase() { ZDLog::createNewLog(QStringLiteral("tst_zddeadpeer")); }
    void cleanup()
    {
        if (m_peer.state() != QProcess::NotRunning) {
            ::kill(pid_t(m_peer.processId()), SIGCONT);
            m_peer.kill();
            m_peer.waitForFinished(10000);
        }
    }

    void killedPeerFailsWaitingCalls()
    {
        const auto c = startPeer();
        QVERIFY(c);
        const auto peer = c->rootProxy();
        QCOMPARE(peer->call(QStringLiteral("echo:"), {QStringLiteral("alive")}), QVariant("alive"));
        auto first = blockedCall(peer);
        auto second = blockedCall(peer);
        QTest::qWait(300);
        ::kill(pid_t(m_peer.processId()), SIGKILL);
        for (auto *f : {&first, &second}) {
            QVERIFY(f->wait_for(std::chrono::seconds(15)) == std::future_status::ready);
            const Outcome outcome = f->get();
            QVERIFY(outcome.error);
            QVERIFY(outcome.error->kind() == ZDLinkException::Kind::LinkFailure);
        }
        QVERIFY(!c->isValid());
    }

    void frozenPeerTimesOut()
    {
        const auto c = startPeer();
        QVERIFY(c);
        const auto peer = c->rootProxy();
        // Idle but alive: the pings keep the link up past the silence limit.
        QTest::qWait(7000);
        QVERIFY(c->isValid());
        QCOMPARE(peer->call(QStringLiteral("echo:"), {qint64(1)}), QVariant(qint64(1)));

        auto waiting = blockedCall(peer);
        QTest::qWait(300);
        ::kill(pid_t(m_peer.processId()), SIGSTOP);
        QVERIFY(waiting.wait_for(std::chrono::seconds(20)) == std::future_status::ready);
        const Outcome outcome = waiting.get();
        QVERIFY(outcome.error);
        QVERIFY(ZDException::didTimeout(*outcome.error));
        QVERIFY(!c->isValid());
    }
};

QTEST_GUILESS_MAIN(TestZDDeadPeer)
#include "tst_zddeadpeer.moc"
