// The secure transport end to end: a real agent that serves enrolled consoles only,
// enrolled with the token the real `kestra` printed; peers without an enrolled key
// get the hello and ping and nothing else; a changed agent key flagged until trusted.
#include "link/ZDConnection.h"
#include "trust/ZDEnrolledConsoles.h"
#include "ZDRealAgent.h"
#include "ZDTestFixtures.h"
#include "ZDTestSandbox.h"
#include "link/ZDTlsTransport.h"
#include "link/ZDConnectionServer.h"
#include "rpc/ZDRemoteObject.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <QtTest>

#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

QString firstFile(const QString &folder, const QString &pattern)
{
    QDirIterator it(folder, {pattern}, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    return it.hasNext() ? it.next() : QString();
}

} // namespace

class TestSecureTransport : public QObject
{
    Q_OBJECT

    ZDTestSandbox m_console;
    QString m_kestra = zdtest::buildPath(u"bin/kestra"_s);

    zdtest::Ran kestra(const QStringList &args, const QByteArray &input = {}, const QProcessEnvironment &env = {})
    {
        return zdtest::runProgram(m_kestra, args + QStringList{u"--no-browse"_s}, env, input);
    }
    static zdtest::Ran agentCommand(const ZDRealAgent &agent, const QStringList &args)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(u"KESTRA_SYSTEM_ROOT"_s, agent.root());
        return zdtest::runProgram(ZDRealAgent::program(), args, env);
    }
    static int refusals(const ZDRealAgent &agent)
    {
        const QString log = firstFile(agent.root(), u"KestraClient.1.log"_s);
        const auto lines = QString::fromUtf8(ZDTestSandbox::readFile(log)).split(u'\n');
        return int(std::count_if(lines.cbegin(), lines.cend(), [&](const QString &line) {
            return line.contains(u"Refusing calls from "_s) && line.contains(u"127.0.0.1"_s);
        }));
    }
    // A peer of this process: plain TCP without an identity, else TLS with it.
    // "refused" when the hello and ping came back but a read was refused.
    static QString refusalOf(quint16 port, const ZDTlsIdentity *identity)
    {
        ZDConnectionOptions options;
        options.connectTimeoutMs = 15000;
        if (identity) {
            ZDTlsPolicy policy;
            policy.context = ZDTlsContext::create(*identity, false, nullptr);
            options.transportFactory = ZDTlsTransport::factory([policy] { return policy; }, 1 << 20);
        }
        try {
            const auto link = ZDConnection::connectToHost(u"127.0.0.1"_s, port, {}, options);
            link->rootProxy()->call(u"ping"_s);
            link->rootProxy()->call(u"systemSpecs"_s);
        } catch (const ZDLinkException &e) {
            return e.reason().contains(u"enrolled consoles only"_s) ? u"refused"_s : e.reason();
        }
        return {};
    }

private Q_SLOTS:
    // Identities are read and fingerprinted without the TLS library's generic key code
    // when they are Ed25519; the result must be what that code gives, for those and for
    // a key of another type an administrator put in place.
    void identitiesOfEitherKeyType()
    {
        const auto spkiFingerprint = [](EVP_PKEY *key) {
            unsigned char *der = nullptr;
            const int size = i2d_PUBKEY(key, &der);
            const QByteArray spki(reinterpret_cast<const char *>(der), size);
            OPENSSL_free(der);
            return QString::fromLatin1(QCryptographicHash::hash(spki, QCryptographicHash::Sha256).toHex());
        };
        const auto keyOf = [](const ZDTlsIdentity &identity) {
            return std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>(
                ZDTlsIdentity::readPrivateKey(identity.privateKeyPem), &EVP_PKEY_free);
        };
        ZDTestSandbox sandbox;
        const QString folder = sandbox.path(u"keys"_s);
        const ZDTlsIdentity made = ZDTlsIdentity::loadOrCreate(folder, u"agent"_s, u"agent"_s, nullptr);
        const ZDTlsIdentity loaded = ZDTlsIdentity::loadOrCreate(folder, u"agent"_s, u"agent"_s, nullptr);
        QVERIFY(made.isValid());
        QCOMPARE(loaded.fingerprint, made.fingerprint);
        QCOMPARE(loaded.fingerprint, spkiFingerprint(keyOf(loaded).get()));

        // A P-256 key and certificate in place of the agent's own.
        std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> ec(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"),
                                                             &EVP_PKEY_free);
        std::unique_ptr<X509, decltype(&X509_free)> cert(X509_new(), &X509_free);
        X509_gmtime_adj(X509_getm_notBefore(cert.get()), 0);
        X509_gmtime_adj(X509_getm_notAfter(cert.get()), 3600);
        X509_set_pubkey(cert.get(), ec.get());
        QVERIFY(X509_sign(cert.get(), ec.get(), EVP_sha256()) > 0);
        const auto pem = [](auto write) {
            std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), &BIO_free);
            write(bio.get());
            char *data = nullptr;
            const long size = BIO_get_mem_data(bio.get(), &data);
            return QByteArray(data, int(size));
        };
        ZDTestSandbox::writeFile(folder + u"/agent.key"_s,
                                 pem([&](BIO *b) { PEM_write_bio_PrivateKey(b, ec.get(), nullptr, nullptr, 0, nullptr, nullptr); }));
        ZDTestSandbox::writeFile(folder + u"/agent.crt"_s, pem([&](BIO *b) { PEM_write_bio_X509(b, cert.get()); }));
        QVERIFY(QFile::setPermissions(folder + u"/agent.key"_s, QFileDevice::ReadOwner | QFileDevice::WriteOwner));
        QString error;
        const ZDTlsIdentity other = ZDTlsIdentity::loadOrCreate(folder, u"agent"_s, u"agent"_s, &error);
        QVERIFY2(other.isValid(), qPrintable(error));
        QCOMPARE(other.fingerprint, spkiFingerprint(ec.get()));

        // Over a link, each side knows the other by that same fingerprint.
        ZDConnectionOptions serving = ZDConnectionServer::defaultOptions();
        ZDTlsPolicy server;
        server.context = ZDTlsContext::create(loaded, true, nullptr);
        QString seenByServer;
        server.check = [&seenByServer](const QString &key, const QString &) { return seenByServer = key, QString(); };
        serving.transportFactory = ZDTlsTransport::factory([server] { return server; }, 1 << 20);
        ZDConnectionServer wire(serving);
        auto root = ZDRemoteObject::create();
        root->addOperation(u"ping"_s, [](const QVariantList &) { return QVariant(); });
        wire.setRootObject(root);
        QVERIFY(wire.listen(u"127.0.0.1"_s, 0));
        ZDConnectionOptions options;
        ZDTlsPolicy client;
        client.context = ZDTlsContext::create(other, false, nullptr);
        QVERIFY(client.context);
        options.transportFactory = ZDTlsTransport::factory([client] { return client; }, 1 << 20);
        const auto link = ZDConnection::connectToHost(u"127.0.0.1"_s, wire.port(), {}, options);
        link->rootProxy()->call(u"ping"_s);
        QCOMPARE(link->peerKey(), loaded.fingerprint);
        QCOMPARE(seenByServer, other.fingerprint);
    }
    void enrolledOnly()
    {
        if (::geteuid() != 0)
            QSKIP("a root-owned trust file and an administrator account need root");
        const QString admin = u"kestra_tlsadm"_s, password = u"Tls pw %1"_s.arg(QCoreApplication::applicationPid());
        auto removeAdmin = qScopeGuard([&] { zdtest::removeAccount(admin); });
        QVERIFY(zdtest::makeAccount(admin, password, true));
        ZDRealAgent agent;
        QVERIFY(zdtest::copyTree(qEnvironmentVariable("KESTRA_APPS_DIR") + u"/Quellar.app"_s, agent.root() + u"/opt/Quellar.app"_s));
        QCOMPARE(agentCommand(agent, {u"-require-enrolled"_s, u"yes"_s}).exit(), 0);
        const zdtest::Ran token = kestra({u"enroll-token"_s, u"--json"_s});
        QCOMPARE(token.exit(), 0);
        const QJsonObject issued = QJsonDocument::fromJson(token.out.toUtf8()).object();
        const QString text = issued.value(u"token"_s).toString();
        QString tampered = text;
        tampered[tampered.size() - 5] = tampered[tampered.size() - 5] == u'A' ? u'B' : u'A';
        QVERIFY(agentCommand(agent, {u"-enroll"_s, tampered}).err.contains(u"signature"_s));
        QCOMPARE(agentCommand(agent, {u"-enroll"_s, text}).exit(), 0);
        QVERIFY(agentCommand(agent, {u"-enroll"_s, text}).err.contains(u"used before"_s));
        // A token is taken before its expiry only (the agent's clock, two hours on).
        const ZDEnrolledConsoles trust(firstFile(agent.root() + u"/etc"_s, u"*consoles.plist"_s));
        QString error;
        QVERIFY(!trust.enroll(kestra({u"enroll-token"_s, u"60"_s}).out.trimmed(),
                              QDateTime::currentDateTimeUtc().addSecs(7200), nullptr, &error));
        QVERIFY2(error.contains(u"expired"_s), qPrintable(error));
        QVERIFY(trust.isEnrolled(issued.value(u"fingerprint"_s).toString()));

        QVERIFY2(agent.start(ZDRealAgent::freePort()), qPrintable(agent.output()));
        const QString port = QString::number(agent.port());
        QCOMPARE(kestra({u"add"_s, u"Secure"_s, u"127.0.0.1"_s, port}).exit(), 0);
        zdtest::Ran r = kestra({u"list"_s, u"--wait"_s, u"20"_s});
        QVERIFY2(r.out.contains(u" connected"_s), qPrintable(r.out + r.err));
        r = kestra({u"call"_s, u"systemSpecs"_s, u"--json"_s});
        QVERIFY2(r.exit() == 0, qPrintable(r.err));
        r = kestra({u"run"_s, u"com.zendrel.Quellar"_s, u"succeed"_s, u"--admin"_s}, (admin + u'\n' + password + u'\n').toUtf8());
        QVERIFY2(r.exit() == 0, qPrintable(r.err));
        QTRY_VERIFY_WITH_TIMEOUT(!firstFile(agent.root() + u"/var/lib/standins"_s, u"succeed.result"_s).isEmpty(), 30000);

        // A plain peer, a console never enrolled, and one holding the console's
        // certificate but not its key (it cannot show it) get the hello and ping, no more.
        QCOMPARE(refusalOf(agent.port(), nullptr), u"refused"_s);
        QTRY_COMPARE(refusals(agent), 1);
        ZDTlsIdentity thief = ZDTlsIdentity::generate(u"thief"_s, nullptr);
        thief.certificatePem = ZDTestSandbox::readFile(firstFile(m_console.root(), u"console.crt"_s));
        QVERIFY(!thief.certificatePem.isEmpty());
        QCOMPARE(refusalOf(agent.port(), &thief), u"refused"_s);
        ZDTestSandbox stranger;
        QCOMPARE(kestra({u"add"_s, u"Secure"_s, u"127.0.0.1"_s, port}).exit(), 0);
        QCOMPARE(kestra({u"call"_s, u"systemSpecs"_s, u"--wait"_s, u"10"_s}).exit(), 1);
        QTRY_VERIFY(refusals(agent) >= 2);
        QCOMPARE(refusalOf(agent.port(), nullptr), u"refused"_s); // the agent still serves
    }
    // A computer is its agent's key: another key at the same address is refused until
    // trusted, and is a new computer then, which the stored password does not reach.
    void changedAgentKey()
    {
        if (::geteuid() != 0)
            QSKIP("an administrator account needs root");
        const QString admin = u"kestra_keyadm"_s, password = u"Key pw %1"_s.arg(QCoreApplication::applicationPid());
        auto removeAdmin = qScopeGuard([&] { zdtest::removeAccount(admin); });
        QVERIFY(zdtest::makeAccount(admin, password, true));
        ZDRealAgent first, second;
        for (const ZDRealAgent *agent : {&first, &second})
            QVERIFY(zdtest::copyTree(qEnvironmentVariable("KESTRA_APPS_DIR") + u"/Quellar.app"_s, agent->root() + u"/opt/Quellar.app"_s));
        QVERIFY2(first.start(ZDRealAgent::freePort()), qPrintable(first.output()));
        const QString port = QString::number(first.port());
        QCOMPARE(kestra({u"add"_s, u"Bay"_s, u"127.0.0.1"_s, port}).exit(), 0);
        const zdtest::Ran pinged = kestra({u"call"_s, u"ping"_s, u"--hosts"_s, u"Bay"_s});
        QVERIFY2(pinged.exit() == 0, qPrintable(pinged.out + pinged.err));
        const QStringList adminRun{u"run"_s, u"com.zendrel.Quellar"_s, u"succeed"_s, u"--admin"_s, u"--hosts"_s, u"Bay"_s};
        zdtest::Ran ran = kestra(adminRun + QStringList{u"--keep-password"_s}, (admin + u'\n' + password + u'\n').toUtf8());
        QVERIFY2(ran.exit() == 0, qPrintable(ran.out + ran.err));
        // Kept: the next run is answered from the keychain, no one asked.
        ran = kestra(adminRun);
        QVERIFY2(ran.exit() == 0, qPrintable(ran.out + ran.err));
        QTRY_VERIFY_WITH_TIMEOUT(!firstFile(first.root() + u"/var/lib/standins"_s, u"succeed.result"_s).isEmpty(), 30000);
        first.kill();
        // Another agent (another key) on the same address and port.
        QVERIFY2(second.start(first.port()), qPrintable(second.output()));
        zdtest::Ran r = kestra({u"list"_s, u"--json"_s, u"--hosts"_s, u"Bay"_s, u"--wait"_s, u"20"_s});
        QVERIFY2(r.out.contains(u"\"errorcode\": 2020"_s), qPrintable(r.out));
        QCOMPARE(kestra({u"call"_s, u"ping"_s, u"--hosts"_s, u"Bay"_s}).exit(), 1);
        r = kestra({u"trust"_s, u"Bay"_s});
        QVERIFY2(r.exit() == 0 && r.out.contains(u"(was "_s), qPrintable(r.out + r.err));
        QCOMPARE(kestra({u"call"_s, u"ping"_s, u"--hosts"_s, u"Bay"_s}).exit(), 0);
        // Same name, same address, new key: the password kept for the old key is not
        // sent (the account is the same on both, so a sent password would have run it).
        ran = kestra(adminRun);
        QVERIFY2(ran.exit() != 0, qPrintable(ran.out + ran.err));
        QVERIFY(firstFile(second.root() + u"/var/lib/standins"_s, u"succeed.result"_s).isEmpty());
        ran = kestra(adminRun, (admin + u'\n' + password + u'\n').toUtf8());
        QVERIFY2(ran.exit() == 0, qPrintable(ran.out + ran.err));
        QTRY_VERIFY_WITH_TIMEOUT(!firstFile(second.root() + u"/var/lib/standins"_s, u"succeed.result"_s).isEmpty(), 30000);
    }
};

QTEST_GUILESS_MAIN(TestSecureTransport)
#include "tst_zdsecuretransport.moc"
