// The pairing window against a real agent, run as an unprivileged session user, and a
// real "KestraClient -pair" held by root of its computer, its prompt answered on its
// standard input: both
// ends show the same code; a refusal, a second request while one waits and an
// expired window enrol nothing; a confirmed pairing enrols the console, which is
// then served, and pins the agent's key.
#include "ZDEnrolledPeer.h"
#include "ZDRealAgent.h"
#include "ZDRootPairingWindow.h"
#include "ZDTestFixtures.h"
#include "ZDTestSandbox.h"
#include "fleet/ZDPairing.h"
#include "link/ZDTlsTransport.h"
#include "rpc/ZDLinkException.h"
#include "rpc/ZDOrvProtocol.h"
#include "trust/ZDEnrolledConsoles.h"
#include "trust/ZDKnownAgents.h"

#include <QtTest>

#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <thread>

using namespace Qt::StringLiterals;

namespace {

// ZDPairing::pair on a thread of its own: it waits for root.
class PairingRequest
{
public:
    explicit PairingRequest(quint16 port)
        : m_thread([this, port] {
              const ZDPairing::Result r = ZDPairing::pair(u"127.0.0.1"_s, port, u"Paired computer"_s,
                                                          [this](const QString &code, const QString &) {
                                                              std::lock_guard lock(m_mutex);
                                                              m_code = code;
                                                          });
              std::lock_guard lock(m_mutex);
              m_result = r;
              m_done = true;
          })
    {
    }
    ~PairingRequest()
    {
        if (m_thread.joinable())
            m_thread.join();
    }
    QString code()
    {
        std::lock_guard lock(m_mutex);
        return m_code;
    }
    bool finished()
    {
        return QTest::qWaitFor([this] {
            std::lock_guard lock(m_mutex);
            return m_done;
        }, 120000);
    }
    ZDPairing::Result result()
    {
        std::lock_guard lock(m_mutex);
        return m_result;
    }

private:
    std::mutex m_mutex;
    QString m_code;
    ZDPairing::Result m_result;
    bool m_done = false;
    std::thread m_thread;
};

QString askOnSocket(const QString &path, const QByteArray &line)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const QByteArray encoded = QFile::encodeName(path);
    std::memcpy(address.sun_path, encoded.constData(), size_t(std::min<qsizetype>(encoded.size(), sizeof address.sun_path - 1)));
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    // Never a hanging test: both ways bounded.
    const timeval limit{10, 0};
    if (fd >= 0) {
        ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    }
    QByteArray answer;
    // A busy window may answer and close before the line is written: its answer still counts,
    // and the closed socket must not end this test with SIGPIPE.
    if (fd >= 0 && ::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0) {
        (void)::send(fd, line.constData(), size_t(line.size()), MSG_NOSIGNAL);
        char buffer[64] = {};
        const ssize_t n = ::read(fd, buffer, sizeof buffer - 1);
        if (n > 0)
            answer = QByteArray(buffer, int(n)).trimmed();
    }
    if (fd >= 0)
        ::close(fd);
    return QString::fromLatin1(answer);
}

QString trustFile(const ZDRealAgent &agent)
{
    return agent.root() + u"/etc/xdg/com.zendrel.KestraClient.consoles.plist"_s;
}

bool servedProtectedCall(quint16 port)
{
    try {
        const auto link = ZDConnection::connectToHost(u"127.0.0.1"_s, port, {}, zdtest::enrolledOptions());
        return link->rootProxy()->call(QString::fromLatin1(ZDOrv::kNetworkClientSettings)).toMap().contains(QString::fromLatin1(ZDOrv::kSettingShowMenuBarIcon));
    } catch (const ZDLinkException &) {
        return false;
    }
}

} // namespace

class TestPairing : public QObject
{
    Q_OBJECT

    ZDTestSandbox m_console;
    QString m_kestra = QDir(QCoreApplication::applicationDirPath()).filePath(u"../../bin/kestra"_s);

    QString consoleFingerprint() const
    {
        QString error;
        return ZDKnownAgents::consoleIdentity(&error).fingerprint;
    }

private Q_SLOTS:
    void initTestCase()
    {
        if (!ZDRealAgent::exists())
            QSKIP("KestraClient is not built");
        if (::geteuid() != 0)
            QSKIP("the pairing window and the trust file are root's");
    }

    // A refused request and a second one while it waits enrol nothing; then a
    // confirmed one, from the command line, enrols the console.
    void refusedThenPaired()
    {
        // The agent runs as a session user, who cannot write the trust file: root's window does.
        ZDRealAgent agent;
        agent.setEnrollsConsole(false);
        agent.setRunAs(u"nobody"_s, u"nogroup"_s);
        QVERIFY2(agent.start(ZDRealAgent::freePort()), qPrintable(agent.output()));
        QVERIFY(!servedProtectedCall(agent.port()));

        // No window yet: the agent says so.
        {
            PairingRequest early(agent.port());
            QVERIFY(early.finished());
            QCOMPARE(early.result().outcome, ZDPairing::Outcome::NoWindow);
        }

        {
            ZDRootPairingWindow window(agent.root(), 5);
            QVERIFY2(window.waitFor(u"Pairing window open"_s), qPrintable(window.output()));
            PairingRequest request(agent.port());
            QVERIFY2(window.waitFor(u"Pair? [y/N]"_s), qPrintable(window.output()));
            QTRY_VERIFY(!request.code().isEmpty());
            QCOMPARE(window.shownCode(), request.code());
            QVERIFY(window.output().contains(consoleFingerprint()));
            QVERIFY2(window.output().contains(u"through the agent of user nobody"_s), qPrintable(window.output()));

            // While it waits: another console through the agent, and a local process on the socket.
            ZDConnectionOptions stranger;
            ZDTlsPolicy policy;
            policy.context = ZDTlsContext::create(ZDTlsIdentity::generate(u"other console"_s, nullptr), false, nullptr);
            stranger.transportFactory = ZDTlsTransport::factory([policy] { return policy; }, 1 << 20);
            const auto other = ZDConnection::connectToHost(u"127.0.0.1"_s, agent.port(), {}, stranger);
            QCOMPARE(other->rootProxy()->call(QString::fromLatin1(ZDOrv::kRequestPairing)).toString(),
                     QString::fromLatin1(ZDOrv::kPairingBusy));
            const QString local = askOnSocket(agent.root() + u"/run/kestra/pair.sock"_s,
                                              "pair " + QByteArray(64, 'a') + ' ' + QByteArray(64, 'b') + '\n');
            QCOMPARE(local, QString::fromLatin1(ZDOrv::kPairingBusy));
            // The same operation on a plain link is not even run.
            const auto plain = ZDConnection::connectToHost(u"127.0.0.1"_s, agent.port(), {}, {});
            QVERIFY_THROWS_EXCEPTION(ZDLinkException, plain->rootProxy()->call(QString::fromLatin1(ZDOrv::kRequestPairing)));

            window.answer("n\n");
            QVERIFY(request.finished());
            QCOMPARE(request.result().outcome, ZDPairing::Outcome::Refused);
            QCOMPARE(window.exitCode(), 1);
            QVERIFY(!ZDEnrolledConsoles(trustFile(agent)).isEnrolled(consoleFingerprint()));
            QVERIFY(!QFile::exists(agent.root() + u"/run/kestra/pair.sock"_s));
            QVERIFY(!servedProtectedCall(agent.port()));
        }

        // From the command line, confirmed at the computer.
        QCOMPARE(zdtest::runProgram(m_kestra, {u"add"_s, u"Studio 4"_s, u"127.0.0.1"_s, QString::number(agent.port()),
                                              u"--no-browse"_s}).exit(), 0);
        ZDRootPairingWindow window(agent.root(), 5);
        QVERIFY2(window.waitFor(u"Pairing window open"_s), qPrintable(window.output()));
        QProcess kestra;
        kestra.setProcessChannelMode(QProcess::SeparateChannels);
        kestra.start(m_kestra, {u"pair"_s, u"Studio 4"_s, u"--no-browse"_s});
        QString said;
        QVERIFY(QTest::qWaitFor([&] {
            said += QString::fromUtf8(kestra.readAllStandardOutput());
            return said.contains(u"confirm it on"_s) || kestra.state() == QProcess::NotRunning;
        }, 60000));
        QVERIFY2(window.waitFor(u"Pair? [y/N]"_s), qPrintable(window.output() + said));
        const QString code = QRegularExpression(u"Pairing code: (\\d{3} \\d{3}) \u2014 confirm it on Studio 4"_s).match(said).captured(1);
        QVERIFY2(!code.isEmpty(), qPrintable(said));
        QCOMPARE(window.shownCode(), code);
        window.answer("y\n");
        QVERIFY(QTest::qWaitFor([&] { return kestra.state() == QProcess::NotRunning; }, 60000));
        said += QString::fromUtf8(kestra.readAllStandardOutput());
        QVERIFY2(kestra.exitCode() == 0, qPrintable(said + QString::fromUtf8(kestra.readAllStandardError())));
        QVERIFY(said.contains(u"paired"_s));
        QCOMPARE(window.exitCode(), 0);
        QVERIFY(ZDEnrolledConsoles(trustFile(agent)).isEnrolled(consoleFingerprint()));
        QVERIFY(servedProtectedCall(agent.port()));
        // The console pinned the key root saw the agent forward.
        QVERIFY(!window.shownAgentKey().isEmpty());
        QCOMPARE(ZDKnownAgents().pinned(u"127.0.0.1:%1"_s.arg(agent.port())), window.shownAgentKey());
    }

    // A window that closes with a request waiting enrols nothing.
    void expiredWindowEnrolsNothing()
    {
        ZDRealAgent agent;
        agent.setEnrollsConsole(false);
        agent.setRunAs(u"nobody"_s, u"nogroup"_s);
        QVERIFY2(agent.start(ZDRealAgent::freePort()), qPrintable(agent.output()));
        ZDRootPairingWindow window(agent.root(), 1);
        QVERIFY2(window.waitFor(u"Pairing window open"_s), qPrintable(window.output()));
        PairingRequest request(agent.port());
        QVERIFY2(window.waitFor(u"Pair? [y/N]"_s), qPrintable(window.output()));
        QVERIFY(request.finished());
        QCOMPARE(request.result().outcome, ZDPairing::Outcome::Expired);
        QCOMPARE(window.exitCode(), 1);
        QVERIFY(window.output().contains(u"closed at its deadline"_s));
        QVERIFY(!ZDEnrolledConsoles(trustFile(agent)).isEnrolled(consoleFingerprint()));
        QVERIFY(!servedProtectedCall(agent.port()));
    }
};

QTEST_GUILESS_MAIN(TestPairing)
#include "tst_zdpairing.moc"
