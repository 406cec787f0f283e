#include "dnssd/ZDAvahiClient.h"
#include "dnssd/ZDDNSSDBrowser.h"
#include "dnssd/ZDDNSSDPublisher.h"
#include "dnssd/ZDDNSSDTxtRecord.h"
#include "log/ZDLog.h"
#include "ZDTestSandbox.h"
#include <QtTest>
#include <memory>

using namespace Qt::StringLiterals;

namespace {

constexpr int kWait = 20000;

// Which way a TXT table row holds.
enum Way { Both, Encode, Decode };

QString helper()
{
    return qEnvironmentVariable("KESTRA_TEST_HELPERS") + u"/zddnssd_publish"_s;
}

// Names unique to this run: other tests may publish the same type on the same daemon.
QString unique(const QString &base)
{
    return u"%1 %2"_s.arg(base).arg(QCoreApplication::applicationPid());
}

// Why the daemon cannot be reached; empty when it can.
QString noDaemon()
{
    int err = 0;
    return ZDAvahiClient::daemonRunning(&err) ? QString() : QStringLiteral("no avahi-daemon reachable (%1); run under "
                                                               "scripts/test-services.sh")
                                                    .arg(ZDAvahiClient::errorText(err));
}
#define REQUIRE_DAEMON()                                                                                   \
    if (const QString why = noDaemon(); !why.isEmpty())                                                    \
    QSKIP(qPrintable(why))

// What a browser reported, for the services this test cares about.
struct Events
{
    QStringList names;
    QList<QPair<QString, ZDDNSSDService>> log;
    explicit Events(ZDDNSSDBrowser &browser, QStringList wanted) : names(std::move(wanted))
    {
        const auto add = [this](const char *kind) {
            return [this, kind](const ZDDNSSDService &s) {
                if (names.contains(s.name))
                    log.append({QString::fromLatin1(kind), s});
            };
        };
        QObject::connect(&browser, &ZDDNSSDBrowser::serviceFound, add("found"));
        QObject::connect(&browser, &ZDDNSSDBrowser::serviceResolved, add("resolved"));
        QObject::connect(&browser, &ZDDNSSDBrowser::serviceRemoved, add("removed"));
        QObject::connect(&browser, &ZDDNSSDBrowser::resolveFailed,
                         [this](const ZDDNSSDService &s, ZDDNSSDBrowser::Error, const QString &) {
                             if (names.contains(s.name))
                                 log.append({u"unresolved"_s, s});
                         });
    }
    QStringList kinds(const QString &name) const
    {
        QStringList out;
        for (const auto &[kind, s] : log) {
            if (s.name == name)
                out.append(kind);
        }
        return out;
    }
    ZDDNSSDService last(const QString &name, const QString &kind) const
    {
        for (auto it = log.crbegin(); it != log.crend(); ++it) {
            if (it->second.name == name && it->first == kind)
                return it->second;
        }
        return {};
    }
};

struct Child
{
    QProcess process;
    bool start(const QStringList &args, const QProcessEnvironment &env = QProcessEnvironment::systemEnvironment())
    {
        process.setProcessEnvironment(env);
        process.start(helper(), args);
        return process.waitForStarted();
    }
    // Waits for a line that starts with prefix and returns it.
    QString waitFor(const QString &prefix)
    {
        QString found;
        (void)QTest::qWaitFor([&] {
                while (process.canReadLine()) {
                    const QString line = QString::fromUtf8(process.readLine()).trimmed();
                    if (found.isEmpty() && line.startsWith(prefix))
                        found = line;
                }
                return !found.isEmpty() || process.state() == QProcess::NotRunning;
            }, kWait);
        return found;
    }
    ~Child()
    {
        process.kill();
        process.waitForFinished();
    }
};

} // namespace

class TestZDDNSSD : public QObject
{
    Q_OBJECT
    std::unique_ptr<ZDTestSandbox> m_box;

private Q_SLOTS:
    void initTestCase()
    {
        m_box = std::make_unique<ZDTestSandbox>();
        ZDLog::createNewLog();
    }
    void cleanupTestCase() { m_box.reset(); }
    void txt()
    {
        const auto row = [](const char *name, const QVariantMap &d, const QByteArray &b, Way way = Both) {
            if (way != Decode)
                QVERIFY2(ZDDNSSDTxtRecord::encode(d) == b, name);
            if (way != Encode)
                QVERIFY2(ZDDNSSDTxtRecord::decode(b) == d, name);
        };
        row("empty record", {}, QByteArray(1, '\0'));
        row("agent keys in key order",
            {{"name", "KestraClient - Edit-Suite-3.local."}, {"model", "Tower9,1"}, {"ip", "10.0.0.7"}},
            "\x0bip=10.0.0.7\x0emodel=Tower9,1\x27name=KestraClient - Edit-Suite-3.local.");
        row("empty value", {{"k", ""}}, "\x02k=");
        row("length counts UTF-8 bytes", {{"k", QString::fromUtf8("é")}}, "\x04k=\xc3\xa9");
        const QString fits(253, u'v');
        row("255 bytes kept", {{"k", fits}}, QByteArray("\xff" "k=") + fits.toUtf8());
        row("only non-text values", {{"list", QVariantList{1}}, {"data", QByteArray("x")}, {"map", QVariantMap{}}},
            QByteArray(1, '\0'), Encode);
        row("numbers and bools as text", {{"n", qint64(42)}, {"b", true}}, "\x06" "b=true\x04n=42", Encode);
        row("bad keys left out", {{"", "x"}, {"a=b", "x"}, {QString::fromUtf8("k\x01"), "x"}, {"ok", "1"}},
            "\x04ok=1", Encode);
        row("256 bytes left out, the rest kept", {{"k", fits + u'v'}, {"z", "1"}}, "\x03z=1", Encode);
        row("nothing", {}, QByteArray(), Decode);
        row("key without value", {{"flag", ""}}, "\x04" "flag", Decode);
        row("value holding =", {{"a", "b=c"}}, "\x05" "a=b=c", Decode);
        row("first of repeated keys, any case", {{"a", "1"}}, "\x03" "a=1\x03" "A=2\x03" "a=3", Decode);
        row("empty strings skipped", {{"a", "1"}}, QByteArray("\x00\x00\x03" "a=1\x00", 7), Decode);
        row("length past the end", {{"a", "1"}}, "\x03" "a=1\x09" "b=2", Decode);
        row("empty key", {{"a", "1"}}, "\x02=x\x03" "a=1", Decode);
        row("control byte in key", {}, "\x04\x01k=x", Decode);
        row("invalid UTF-8 value", {{"k", QString::fromUtf8("\xff\xfe")}}, "\x04k=\xff\xfe", Decode);
        row("NUL inside value", {{"k", QString::fromUtf8("a\0b", 3)}}, QByteArray("\x05k=a\x00" "b", 6), Decode);
    }
    void txtArbitraryBytes()
    {
        QRandomGenerator random(20261206);
        for (int round = 0; round < 2000; ++round) {
            QByteArray bytes(static_cast<qsizetype>(random.bounded(600)), '\0');
            for (char &c : bytes)
                c = static_cast<char>(random.bounded(256));
            const QVariantMap decoded = ZDDNSSDTxtRecord::decode(bytes);
            // Whatever came in, what we pass on of it reads back unchanged (replaced
            // invalid UTF-8 may have grown an entry past 255 bytes, which is left out).
            const QVariantMap again = ZDDNSSDTxtRecord::decode(ZDDNSSDTxtRecord::encode(decoded));
            for (auto it = again.cbegin(); it != again.cend(); ++it)
                QCOMPARE(it.value(), decoded.value(it.key()));
            QVERIFY(again.size() <= decoded.size());
        }
    }
    void refusedArguments()
    {
        ZDDNSSDPublisher publisher;
        QSignalSpy failed(&publisher, &ZDDNSSDPublisher::failed);
        QVERIFY(!publisher.publish(u"x"_s, 0, {}));
        QVERIFY(!publisher.publish(u"x"_s, 35011, {}, ZDDNSSDPublisher::kAllInterfaces, u"tcp"_s));
        QVERIFY(!publisher.publish(QString(64, QLatin1Char('n')), 35011, {}));
        QVERIFY(!publisher.publish(u"x"_s, 35011, {}, 0));
        QCOMPARE(ZDDNSSDPublisher::interfaceIndex(u"no-such-interface0"_s), 0);
        QTRY_COMPARE(failed.size(), 4);
        for (const QList<QVariant> &args : failed)
            QCOMPARE(args.at(0).value<ZDDNSSDPublisher::Error>(), ZDDNSSDPublisher::Error::InvalidArgument);
        QVERIFY(!publisher.isPublished());
        ZDDNSSDBrowser browser;
        QVERIFY(!browser.start(u"not a type"_s));
        QVERIFY(!browser.isBrowsing());
    }
    void daemonMissing()
    {
        // A bus without the daemon (it is waited for), and no bus at all.
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        QProcess bus;
        bus.start(u"dbus-daemon"_s, {u"--session"_s, u"--nofork"_s, u"--print-address"_s,
                   u"--address=unix:path="_s + dir.filePath(u"bus"_s)});
        if (!bus.waitForStarted())
            QSKIP("dbus-daemon is not installed");
        QTRY_VERIFY_WITH_TIMEOUT(bus.canReadLine(), kWait);
        for (const QString &socket : {dir.filePath(u"bus"_s), dir.filePath(u"none"_s)}) {
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert(u"DBUS_SYSTEM_BUS_ADDRESS"_s, u"unix:path="_s + socket);
            Child publisher;
            QVERIFY(publisher.start({u"nobody"_s, u"35011"_s}, env));
            QCOMPARE(publisher.waitFor(u"FAILED"_s).section(QLatin1Char(' '), 0, 1), u"FAILED DaemonNotRunning"_s);
            Child browser;
            QVERIFY(browser.start({u"--browse"_s, QString::fromLatin1(ZDDNSSDPublisher::kServiceType)}, env));
            const QString line = browser.waitFor(u"FAILED"_s);
            QCOMPARE(line.section(QLatin1Char(' '), 0, 1), u"FAILED DaemonNotRunning"_s);
            QVERIFY2(line.contains(QLatin1String("not running")), qPrintable(line));
        }
        bus.kill();
        bus.waitForFinished();
        // Besides the signal, one line in the program's log says why.
        int lines = 0;
        for (QDirIterator it(m_box->root(), {u"zddnssd_publish*.log"_s}, QDir::Files, QDirIterator::Subdirectories);
             it.hasNext();)
            lines += ZDTestSandbox::readFile(it.next()).count("avahi daemon is not running");
        QVERIFY(lines >= 2);
    }
    void publishedOnLoopbackAndResolved()
    {
        REQUIRE_DAEMON();
        const QString nameA = unique(u"zddnssd A é"_s);
        const QVariantMap txtA{{"model", "Tower9,1"}, {"ip", "127.0.0.1"}, {"name", "KestraClient - kestra-test.local."}};
        ZDDNSSDBrowser browser;
        Events events(browser, {nameA});
        QVERIFY(browser.start(QString::fromLatin1(ZDDNSSDPublisher::kServiceType)));
        // On the loopback interface only. Found, resolved, gone on withdrawal and found again is the discovery
        // tests' scenario with publishers in other processes.
        ZDDNSSDPublisher publisherA;
        QSignalSpy publishedA(&publisherA, &ZDDNSSDPublisher::published);
        QVERIFY(publisherA.publish(nameA, 35011, txtA, ZDDNSSDPublisher::interfaceIndex(u"lo"_s)));
        QTRY_COMPARE_WITH_TIMEOUT(publishedA.size(), 1, kWait);
        QCOMPARE(publishedA.first().first().toString(), nameA);
        QVERIFY(publisherA.isPublished());
        QTRY_COMPARE_WITH_TIMEOUT(events.kinds(nameA), QStringList({"found", "resolved"}), kWait);
        const ZDDNSSDService a = events.last(nameA, u"resolved"_s);
        QCOMPARE(a.port, quint16(35011));
        QCOMPARE(a.txt, txtA);
        QCOMPARE(a.txtData, ZDDNSSDTxtRecord::encode(txtA));
        QCOMPARE(a.domain, u"local."_s);
        QVERIFY2(a.hostName.endsWith(QLatin1String(".local.")) && !a.addresses.isEmpty(), qPrintable(a.hostName));
        // Stopping the browser removes what it knew.
        browser.stop();
        QCOMPARE(events.kinds(nameA).last(), u"removed"_s);
    }
    void nameCollisions()
    {
        REQUIRE_DAEMON();
        const QString name = unique(u"zddnssd twin"_s);
        ZDDNSSDPublisher first;
        QSignalSpy firstPublished(&first, &ZDDNSSDPublisher::published);
        QVERIFY(first.publish(name, 35011, {}));
        QTRY_COMPARE_WITH_TIMEOUT(firstPublished.size(), 1, kWait);
        ZDDNSSDPublisher renamed;
        QSignalSpy renamedPublished(&renamed, &ZDDNSSDPublisher::published);
        QVERIFY(renamed.publish(name, 35012, {}));
        QTRY_COMPARE_WITH_TIMEOUT(renamedPublished.size(), 1, kWait);
        QCOMPARE(renamed.name(), name + u" #2"_s);
        ZDDNSSDPublisher refused;
        refused.setCollisionPolicy(ZDDNSSDPublisher::CollisionPolicy::Fail);
        QSignalSpy refusedFailed(&refused, &ZDDNSSDPublisher::failed);
        QVERIFY(refused.publish(name, 35013, {}));
        QTRY_COMPARE_WITH_TIMEOUT(refusedFailed.size(), 1, kWait);
        QCOMPARE(refusedFailed.first().at(0).value<ZDDNSSDPublisher::Error>(), ZDDNSSDPublisher::Error::Collision);
        QVERIFY(!refused.isPublished());
    }
    void resolveTimeout()
    {
        REQUIRE_DAEMON();
        const QString name = unique(u"zddnssd nowhere"_s);
        ZDDNSSDBrowser browser;
        browser.setResolveTimeout(3000);
        Events events(browser, {name});
        QSignalSpy unresolved(&browser, &ZDDNSSDBrowser::resolveFailed);
        QVERIFY(browser.start(QString::fromLatin1(ZDDNSSDPublisher::kServiceType)));
        Child publisher;
        QVERIFY(publisher.start({u"--host"_s, u"zddnssd-nowhere.local"_s, name, u"35011"_s}));
        QCOMPARE(publisher.waitFor(u"PUBLISHED"_s), u"PUBLISHED "_s + name);
        QTRY_COMPARE_WITH_TIMEOUT(events.kinds(name), QStringList({"found", "unresolved"}), kWait);
        bool timedOut = false;
        for (const QList<QVariant> &args : unresolved) {
            if (args.at(0).value<ZDDNSSDService>().name == name)
                timedOut = args.at(1).value<ZDDNSSDBrowser::Error>() == ZDDNSSDBrowser::Error::Timeout;
        }
        QVERIFY(timedOut);
        publisher.process.kill();
        QTRY_COMPARE_WITH_TIMEOUT(events.kinds(name).last(), u"removed"_s, kWait);
    }
};

QTEST_GUILESS_MAIN(TestZDDNSSD)
#include "tst_zddnssd.moc"
