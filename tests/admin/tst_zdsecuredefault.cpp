// An agent as installed, with no trust file: a peer whose key is not enrolled gets
// the hello and ping and nothing else, over plain TCP and over TLS; notices reach
// enrolled consoles only, and only from the computer's own tools; the console
// speaks TLS only and sends credentials only to an agent that enrolled it.
#include "ZDEnrolledPeer.h"
#include "ZDFreePort.h"
#include "ZDRealAgent.h"
#include "ZDRecordingConsole.h"
#include "ZDTestFixtures.h"
#include "ZDTestSandbox.h"
#include "bus/ZDLocalCallbackClient.h"
#include "link/ZDTlsTransport.h"
#include "rights/ZDEncryption.h"
#include "rpc/ZDOrvContract.h"
#include "rpc/ZDOrvProtocol.h"
#include "rpc/ZDRemoteError.h"
#include "trust/ZDEnrolledConsoles.h"

#include <QCryptographicHash>
#include <QtTest>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <thread>

using namespace Qt::StringLiterals;

namespace {

QVariant sample(ZDOrv::Kind kind)
{
    using K = ZDOrv::Kind;
    switch (kind) {
    case K::Bool: return true;
    case K::Integer: return 1;
    case K::HostName: return u"host.local."_s;
    case K::Path: return u"/"_s;
    case K::Data: return QByteArray("x");
    case K::Date: return QDateTime::currentDateTimeUtc();
    case K::Error: return QVariant::fromValue(ZDRemoteError(u"d"_s, 1006));
    case K::Size: return 16;
    case K::TextArray: return QVariantList{u"-x"_s};
    case K::Array: return QVariantList{QVariantMap{{u"name"_s, u"x"_s}}};
    case K::Dictionary: return QVariantMap{{u"path"_s, u"/etc"_s}, {u"customPort"_s, 2000}, {u"disableBonjour"_s, 1}};
    case K::Reference:
    case K::OptionalReference: return QVariant::fromValue(ZDRemoteObject::create());
    default: return u"com.zendrel.Quellar"_s;
    }
}

// Every file below root but the agent's own logs: its mode and contents, by path.
QMap<QString, QByteArray> tree(const QString &root)
{
    QMap<QString, QByteArray> files;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        if (path.contains(u"/log/"_s) || path.endsWith(u"/log"_s))
            continue;
        const QFileInfo info(path);
        QByteArray content = QByteArray::number(int(info.permissions()));
        if (info.isFile() && !info.isSymLink())
            content += QCryptographicHash::hash(ZDTestSandbox::readFile(path), QCryptographicHash::Sha256);
        files.insert(path.mid(root.size()), content);
    }
    return files;
}

QStringList changed(const QMap<QString, QByteArray> &before, const QMap<QString, QByteArray> &after)
{
    QStringList paths;
    for (auto it = after.cbegin(); it != after.cend(); ++it)
        if (before.value(it.key()) != it.value())
            paths << it.key();
    for (auto it = before.cbegin(); it != before.cend(); ++it)
        if (!after.contains(it.key()))
            paths << it.key();
    return paths;
}

// Accepts links, keeps what arrives, and cuts each link after its first bytes
// (a TLS ClientHello dropped on the way).
class DroppingRelay
{
public:
    DroppingRelay()
    {
        m_fd = zdtest::listenOnLoopback(16, &m_port);
        if (m_fd < 0)
            return;
        m_thread = std::thread([this] {
            for (;;) {
                const int link = ::accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC);
                if (link < 0)
                    return;
                char buffer[65536];
                const ssize_t n = ::recv(link, buffer, sizeof buffer, 0);
                if (n > 0) {
                    std::lock_guard lock(m_mutex);
                    m_firstBytes << QByteArray(buffer, 1);
                    m_seen.append(buffer, n);
                }
                ::close(link);
            }
        });
    }
    ~DroppingRelay()
    {
        ::shutdown(m_fd, SHUT_RDWR);
        if (m_thread.joinable())
            m_thread.join();
        ::close(m_fd);
    }
    quint16 port() const { return m_port; }
    QByteArray seen() const
    {
        std::lock_guard lock(m_mutex);
        return m_seen;
    }
    QList<QByteArray> firstBytes() const
    {
        std::lock_guard lock(m_mutex);
        return m_firstBytes;
    }

private:
    int m_fd = -1;
    quint16 m_port = 0;
    std::thread m_thread;
    mutable std::mutex m_mutex;
    QByteArray m_seen;
    QList<QByteArray> m_firstBytes;
};

} // namespace

class TestSecureDefault : public QObject
{
    Q_OBJECT

    ZDTestSandbox m_console;
    QString m_kestra = QDir(QCoreApplication::applicationDirPath()).filePath(u"../../bin/kestra"_s);

    zdtest::Ran kestra(const QStringList &args, const QByteArray &input = {})
    {
        return zdtest::runProgram(m_kestra, args + QStringList{u"--no-browse"_s}, {}, input);
    }
    static QString agentLog(const ZDRealAgent &agent)
    {
        QDirIterator it(agent.root(), {u"KestraClient.1.log"_s}, QDir::Files, QDirIterator::Subdirectories);
        return it.hasNext() ? QString::fromUtf8(ZDTestSandbox::readFile(it.next())) : QString();
    }
    static std::shared_ptr<ZDConnection> stranger(quint16 port, bool tls)
    {
        ZDConnectionOptions options;
        if (tls) {
            ZDTlsPolicy policy;
            policy.context = ZDTlsContext::create(ZDTlsIdentity::generate(u"stranger"_s, nullptr), false, nullptr);
            options.transportFactory = ZDTlsTransport::factory([policy] { return policy; }, 1 << 20);
        }
        return ZDConnection::connectToHost(u"127.0.0.1"_s, port, {}, options);
    }

private Q_SLOTS:
    void initTestCase()
    {
        if (!ZDRealAgent::exists())
            QSKIP("KestraClient is not built");
        if (::geteuid() != 0)
            QSKIP("the trust file must be root's");
    }

    void unenrolledPeerGetsHelloAndPingOnly()
    {
        ZDRealAgent agent;
        QVERIFY(zdtest::copyTree(qEnvironmentVariable("KESTRA_APPS_DIR") + u"/Quellar.app"_s, agent.root() + u"/opt/Quellar.app"_s));
        // No update count written in the background meanwhile: every write would be the peers'.
        QVERIFY2(agent.start(ZDRealAgent::freePort(), {{u"autoUpdateCheck"_s, 0}}), qPrintable(agent.output()));
        // As installed: the trust file names the console and says nothing of the mode.
        QVERIFY(ZDEnrolledConsoles(agent.root() + u"/etc/xdg/com.zendrel.KestraClient.consoles.plist"_s).read().requireEnrolled);
        // Settled: the agent has written what it writes at start.
        QVERIFY(stranger(agent.port(), false)->rootProxy()->call(u"ping"_s).isNull());
        const QString prefs = agent.root() + u"/home/.config/com.zendrel.KestraClient.plist"_s;
        // What the agent writes there itself once it runs.
        QTRY_VERIFY_WITH_TIMEOUT(ZDTestSandbox::readFile(prefs).contains("lastRunVersion"), 30000);
        const QByteArray prefsBefore = ZDTestSandbox::readFile(prefs);
        QVERIFY(!prefsBefore.isEmpty());
        const auto before = tree(agent.root());
        const int refusalsBefore = int(agentLog(agent).count(u"Refusing calls from"_s));

        int operations = 0;
        for (const bool tls : {false, true}) {
            const auto link = stranger(agent.port(), tls);
            const ZDRemoteProxyPtr proxy = link->rootProxy();
            for (const ZDOrv::Operation &op : ZDOrv::operations()) {
                if (op.side != ZDOrv::Side::Agent)
                    continue;
                QVariantList args;
                for (int i = 0; i < op.argumentCount(); ++i)
                    args << sample(op.arguments[i]);
                const QString name = QString::fromLatin1(op.name);
                if (op.access == ZDOrv::Access::Unenrolled) {
                    QVERIFY(!proxy->call(name, args).isValid());
                    continue;
                }
                // Pairing is asked over TLS only; with no window open nothing happens.
                if (op.access == ZDOrv::Access::Pairing && tls) {
                    QCOMPARE(proxy->call(name, args).toString(), QString::fromLatin1(ZDOrv::kPairingNoWindow));
                    continue;
                }
                ++operations;
                QString refused;
                QVariant answer;
                try {
                    answer = proxy->call(name, args);
                } catch (const ZDLinkException &e) {
                    refused = e.reason();
                }
                QVERIFY2(refused.contains(u"enrolled consoles only"_s), qPrintable(name + u": "_s + refused));
                QVERIFY(!answer.isValid());
                proxy->callOneway(name, args);
            }
            // The network's old notice names, too: nobody's to post.
            for (const char *spoof : {"postError:", "postErrorString:", "postFinishedTask", "incrementRemoteProgress"}) {
                QVERIFY_THROWS_EXCEPTION(ZDLinkException, proxy->call(QString::fromLatin1(spoof),
                                                                      QVariantList(QString::fromLatin1(spoof).count(u':'),
                                                                                   sample(ZDOrv::Kind::Error))));
            }
            QVERIFY(!proxy->call(u"ping"_s).isValid()); // the link outlived every refusal
        }
        QVERIFY(operations > 100);
        const QStringList touched = changed(before, tree(agent.root()));
        QVERIFY2(touched.isEmpty(), qPrintable(touched.join(u", "_s)));
        QCOMPARE(ZDTestSandbox::readFile(prefs), prefsBefore);
        QVERIFY(agent.process().state() == QProcess::Running);
        // One line per link, however many calls it made.
        QTRY_COMPARE(int(agentLog(agent).count(u"Refusing calls from"_s)), refusalsBefore + 2);

        // The enrolled console is served, and told so.
        const auto console = ZDConnection::connectToHost(u"127.0.0.1"_s, agent.port(), {}, zdtest::enrolledOptions());
        const QVariantMap config = console->rootProxy()->call(u"initialConfiguration"_s).toMap();
        QCOMPARE(config.value(QString::fromLatin1(ZDOrv::kConfigConsoleEnrolled)).toInt(), 1);
        QVERIFY(!config.contains(QString::fromLatin1(ZDOrv::kConfigOpenMode)));
    }

    void noticesReachEnrolledConsolesOnly()
    {
        ZDRealAgent agent;
        QVERIFY(zdtest::copyTree(qEnvironmentVariable("KESTRA_APPS_DIR") + u"/Quellar.app"_s, agent.root() + u"/opt/Quellar.app"_s));
        QVERIFY2(agent.start(ZDRealAgent::freePort()), qPrintable(agent.output()));
        ZDRecordingConsole console;
        const auto link = ZDConnection::connectToHost(u"127.0.0.1"_s, agent.port(), {}, zdtest::enrolledOptions());
        const ZDRemoteProxyPtr proxy = link->rootProxy();
        proxy->callOneway(QString::fromLatin1(ZDOrv::kSetErrorCallback), {QVariant::fromValue(console.object)});
        proxy->call(u"ping"_s);
        // Strangers on four links try to fill the registry and to post a 1006.
        std::vector<std::shared_ptr<ZDConnection>> strangers;
        std::vector<std::unique_ptr<ZDRecordingConsole>> theirs;
        for (int i = 0; i < 4; ++i) {
            strangers.push_back(stranger(agent.port(), i % 2 == 1));
            for (int j = 0; j < 80; ++j) {
                theirs.push_back(std::make_unique<ZDRecordingConsole>());
                strangers.back()->rootProxy()->callOneway(QString::fromLatin1(ZDOrv::kSetErrorCallback),
                                                          {QVariant::fromValue(theirs.back()->object)});
            }
            strangers.back()->rootProxy()->callOneway(u"postError:"_s, {sample(ZDOrv::Kind::Error)});
            strangers.back()->rootProxy()->call(u"ping"_s);
        }
        // The enrolled console's task ends, and the computer's own tool reports: it hears both.
        // A cache request refused for its keys: an error, then the task's end.
        proxy->call(u"kitterelTrashCaches:settings:"_s, {QVariantMap(), QVariantMap{{u"obj1"_s, u"font,;reboot"_s}}});
        QTRY_VERIFY_WITH_TIMEOUT(console.countOf(QString::fromLatin1(ZDOrv::kTaskFinished)) > 0, 30000);
        QVERIFY(console.countOf(QString::fromLatin1(ZDOrv::kAddStringToQueueHostname)) > 0);
        const ZDLocalCallbackClient tool;
        QTRY_VERIFY_WITH_TIMEOUT(tool.isAvailable(), 30000);
        QVERIFY(tool.call(QString::fromLatin1(ZDOrv::kPostErrorString), {u"from a tool"_s}).ok);
        const QString added = QString::fromLatin1(ZDOrv::kAddStringToQueueHostname);
        QTRY_VERIFY_WITH_TIMEOUT(console.last(added).value(0).toString() == u"from a tool"_s, 30000);
        QCOMPARE(console.countOf(QString::fromLatin1(ZDOrv::kAddErrorToQueueHostname)), 0);
        QCOMPARE(console.countOf(QString::fromLatin1(ZDOrv::kAddErrorToQueueUserInfo)), 0);
        for (const auto &other : theirs)
            QVERIFY(other->countOf(added) == 0 && other->countOf(QString::fromLatin1(ZDOrv::kTaskFinished)) == 0);

        // One console key holds a few places: re-registrations replace, never pile up.
        std::vector<std::unique_ptr<ZDRecordingConsole>> again;
        std::vector<std::shared_ptr<ZDConnection>> links;
        for (int i = 0; i < 6; ++i) {
            links.push_back(ZDConnection::connectToHost(u"127.0.0.1"_s, agent.port(), {}, zdtest::enrolledOptions()));
            again.push_back(std::make_unique<ZDRecordingConsole>());
            links.back()->rootProxy()->callOneway(QString::fromLatin1(ZDOrv::kSetErrorCallback),
                                                  {QVariant::fromValue(again.back()->object)});
            links.back()->rootProxy()->call(u"ping"_s);
        }
        // Registrations settle on workers in any order; at no time do more than 4
        // objects of that key hear a notice, and once settled exactly 4 do.
        const auto hearing = [&](const QString &marker) {
            int n = console.last(added).value(0).toString() == marker ? 1 : 0;
            for (const auto &c : again)
                n += c->last(added).value(0).toString() == marker ? 1 : 0;
            return n;
        };
        int round = 0, most = 0, heard = 0;
        QTRY_VERIFY_WITH_TIMEOUT(([&] {
            const QString marker = u"round %1"_s.arg(++round);
            if (!tool.call(QString::fromLatin1(ZDOrv::kPostErrorString), {marker}).ok)
                return false;
            (void)QTest::qWaitFor([&] { return hearing(marker) >= 4; }, 2000);
            heard = hearing(marker);
            most = std::max(most, heard);
            return heard == 4;
        })(), 60000);
        QCOMPARE(most, 4);
    }

    void consoleSpeaksTlsOnlyAndSendsNoPasswordOnAPlainLink()
    {
        DroppingRelay relay;
        QVERIFY(relay.port() != 0);
        const QString password = u"Relay-secret-%1"_s.arg(QCoreApplication::applicationPid());
        QCOMPARE(kestra({u"add"_s, u"Relayed"_s, u"127.0.0.1"_s, QString::number(relay.port())}).exit(), 0);
        const zdtest::Ran r = kestra({u"run"_s, u"com.zendrel.Quellar"_s, u"succeed"_s, u"--admin"_s, u"--hosts"_s, u"Relayed"_s},
                                     (u"admin\n"_s + password + u'\n').toUtf8());
        QVERIFY2(r.exit() != 0, qPrintable(r.out));
        QVERIFY2((r.out + r.err).contains(u"connect"_s), qPrintable(r.out + r.err));
        QVERIFY(!relay.firstBytes().isEmpty());
        for (const QByteArray &first : relay.firstBytes())
            QCOMPARE(first, QByteArray("\x16")); // a TLS handshake record, every time
        QVERIFY(!relay.seen().contains(password.toUtf8()));
        QVERIFY(!relay.seen().contains(ZDEncryption::encryptCredential(password)));
        QVERIFY(!relay.seen().contains("authExecuteTask"));
        QVERIFY(!relay.seen().contains("validateUsername"));
    }

    void openModeIsShownAndGetsNoPassword()
    {
        ZDRealAgent agent;
        agent.setEnrollsConsole(false);
        QVERIFY(ZDEnrolledConsoles(agent.root() + u"/etc/xdg/com.zendrel.KestraClient.consoles.plist"_s)
                    .setRequireEnrolled(false, nullptr));
        QVERIFY2(agent.start(ZDRealAgent::freePort()), qPrintable(agent.output()));
        QVERIFY(agentLog(agent).contains(u"Warning: open mode"_s));
        const QString port = QString::number(agent.port());
        QCOMPARE(kestra({u"add"_s, u"Open"_s, u"127.0.0.1"_s, port}).exit(), 0);
        zdtest::Ran r = kestra({u"list"_s, u"--hosts"_s, u"Open"_s, u"--wait"_s, u"20"_s});
        QVERIFY2(r.out.contains(u"OPEN MODE"_s), qPrintable(r.out + r.err));
        // Reads are served to anyone in open mode; settings are not.
        const auto peer = stranger(agent.port(), false);
        QVERIFY(peer->rootProxy()->call(u"systemSpecs"_s).toMap().size() > 0);
        QVERIFY_THROWS_EXCEPTION(ZDLinkException, peer->rootProxy()->call(u"relaunch"_s));
        QVERIFY_THROWS_EXCEPTION(ZDLinkException, peer->rootProxy()->call(u"setNetworkClientSettings:"_s, {sample(ZDOrv::Kind::Dictionary)}));
        const QString password = u"Open-secret-%1"_s.arg(QCoreApplication::applicationPid());
        r = kestra({u"run"_s, u"com.zendrel.Quellar"_s, u"succeed"_s, u"--admin"_s, u"--hosts"_s, u"Open"_s},
                   (u"admin\n"_s + password + u'\n').toUtf8());
        QVERIFY2(r.exit() != 0 && (r.out + r.err).contains(u"Pair it first"_s), qPrintable(r.out + r.err));
        QVERIFY(!agentLog(agent).contains(u"admin"_s + u" failed"_s));
        QVERIFY(agent.process().state() == QProcess::Running);
    }
};

QTEST_GUILESS_MAIN(TestSecureDefault)
#include "tst_zdsecuredefault.moc"
