#include "ZDAvahiClient.h"
#include "ZDDNSSDBrowser.h"
#include "ZDDNSSDPublisher.h"
#include "ZDDNSSDTxtRecord.h"
#include "ZDLog.h"
#include "ZDTestSandbox.h"

#include <QDirIterator>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {

constexpr int kWait = 20000;

QString helper()
{
    return qEnvironmentVariable("KESTRA_TEST_HELPERS") + QStringLiteral("/zddnssd_publish");
}

// Names unique to this run: other tests may publish the same type on the same daemon.
QString unique(const QString &base)
{
    return QStringLiteral("%1 %2").arg(base).arg(QCoreApplication::applicationPid());
}

#define REQUIRE_DAEMON()                                                                                   \
    do {                                                                                                   \
        int err = 0;                                                                                       \
        if (!ZDAvahiClient::daemonRunning(&err))                                                           \
            QSKIP(qPrintable(QStringLiteral("no avahi-daemon reachable (%1); run under "                   \
                                            "scripts/test-services.sh")                                   \
                                 .arg(ZDAvahiClient::errorText(err))));                                    \
    } while (false)

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
                                 log.append({QStringLiteral("unresolved"), s});
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
        (void)QTest::qWaitFor(
            [&] {
                while (process.canReadLine()) {
                    const QString line = QString::fromUtf8(process.readLine()).trimmed();
                    if (found.isEmpty() && line.startsWith(prefix))
                        found = line;
                }
                return !found.isEmpty() || process.state() == QProcess::NotRunning;
            },
            kWait);
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
    void txtEncode_data();
    void txtEncode();
    void txtDecode_data();
    void txtDecode();
    void txtArbitraryBytes();
    void refusedArguments();
    void daemonMissing();
    void twoPublishersOneBrowser();
    void nameCollisions();
    void resolveTimeout();
};

void TestZDDNSSD::txtEncode_data()
{
    QTest::addColumn<QVariantMap>("dictionary");
    QTest::addColumn<QByteArray>("bytes");

    QTest::newRow("empty") << QVariantMap() << QByteArray(1, '\0');
    QTest::newRow("only non-text values")
        << QVariantMap{{"list", QVariantList{1}}, {"data", QByteArray("x")}, {"map", QVariantMap{}}}
        << QByteArray(1, '\0');
    QTest::newRow("agent keys in key order")
        << QVariantMap{{"name", "KestraClient - Edit-Suite-3.local."}, {"model", "Tower9,1"}, {"ip", "10.0.0.7"}}
        << QByteArray("\x0bip=10.0.0.7\x0emodel=Tower9,1\x27name=KestraClient - Edit-Suite-3.local.");
    QTest::newRow("numbers and bools as text")
        << QVariantMap{{"n", qint64(42)}, {"b", true}} << QByteArray("\x06" "b=true\x04n=42");
    QTest::newRow("empty value") << QVariantMap{{"k", ""}} << QByteArray("\x02k=");
    QTest::newRow("length counts UTF-8 bytes") << QVariantMap{{"k", QString::fromUtf8("é")}}
                                               << QByteArray("\x04k=\xc3\xa9");
    QTest::newRow("bad keys left out")
        << QVariantMap{{"", "x"}, {"a=b", "x"}, {QString::fromUtf8("k\x01"), "x"}, {"ok", "1"}}
        << QByteArray("\x04ok=1");

    const QString fits(253, QLatin1Char('v'));
    QTest::newRow("255 bytes kept") << QVariantMap{{"k", fits}} << (QByteArray("\xff" "k=") + fits.toUtf8());
    QTest::newRow("256 bytes left out, the rest kept")
        << QVariantMap{{"k", fits + QLatin1Char('v')}, {"z", "1"}} << QByteArray("\x03z=1");
}

void TestZDDNSSD::txtEncode()
{
    QFETCH(QVariantMap, dictionary);
    QFETCH(QByteArray, bytes);
    QCOMPARE(ZDDNSSDTxtRecord::encode(dictionary), bytes);
}

void TestZDDNSSD::txtDecode_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QVariantMap>("dictionary");

    QTest::newRow("nothing") << QByteArray() << QVariantMap();
    QTest::newRow("empty record") << QByteArray(1, '\0') << QVariantMap();
    QTest::newRow("two entries") << QByteArray("\x03" "a=1\x03" "b=2") << QVariantMap{{"a", "1"}, {"b", "2"}};
    QTest::newRow("key without value") << QByteArray("\x04" "flag") << QVariantMap{{"flag", ""}};
    QTest::newRow("value holding =") << QByteArray("\x05" "a=b=c") << QVariantMap{{"a", "b=c"}};
    QTest::newRow("first of repeated keys, any case")
        << QByteArray("\x03" "a=1\x03" "A=2\x03" "a=3") << QVariantMap{{"a", "1"}};
    QTest::newRow("empty strings skipped") << QByteArray("\x00\x00\x03" "a=1\x00", 7) << QVariantMap{{"a", "1"}};
    QTest::newRow("length past the end") << QByteArray("\x03" "a=1\x09" "b=2") << QVariantMap{{"a", "1"}};
    QTest::newRow("empty key") << QByteArray("\x02=x\x03" "a=1") << QVariantMap{{"a", "1"}};
    QTest::newRow("control byte in key") << QByteArray("\x04\x01k=x") << QVariantMap();
    QTest::newRow("invalid UTF-8 value")
        << QByteArray("\x04k=\xff\xfe") << QVariantMap{{"k", QString::fromUtf8("\xff\xfe")}};
    QTest::newRow("NUL inside value") << QByteArray("\x05k=a\x00" "b", 6)
                                      << QVariantMap{{"k", QString::fromUtf8("a\0b", 3)}};
}

void TestZDDNSSD::txtDecode()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QVariantMap, dictionary);
    QCOMPARE(ZDDNSSDTxtRecord::decode(bytes), dictionary);
}

void TestZDDNSSD::txtArbitraryBytes()
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

void TestZDDNSSD::refusedArguments()
{
    ZDDNSSDPublisher publisher;
    QSignalSpy failed(&publisher, &ZDDNSSDPublisher::failed);
    QVERIFY(!publisher.publish(QStringLiteral("x"), 0, {}));
    QVERIFY(!publisher.publish(QStringLiteral("x"), 35011, {}, ZDDNSSDPublisher::kAllInterfaces, QStringLiteral("tcp")));
    QVERIFY(!publisher.publish(QString(64, QLatin1Char('n')), 35011, {}));
    QVERIFY(!publisher.publish(QStringLiteral("x"), 35011, {}, 0));
    QCOMPARE(ZDDNSSDPublisher::interfaceIndex(QStringLiteral("no-such-interface0")), 0);
    QTRY_COMPARE(failed.size(), 4);
    for (const QList<QVariant> &args : failed)
        QCOMPARE(args.at(0).value<ZDDNSSDPublisher::Error>(), ZDDNSSDPublisher::Error::InvalidArgument);
    QVERIFY(!publisher.isPublished());

    ZDDNSSDBrowser browser;
    QVERIFY(!browser.start(QStringLiteral("not a type")));
    QVERIFY(!browser.isBrowsing());
}

void TestZDDNSSD::daemonMissing()
{
    // A bus without the daemon (it is waited for), and no bus at all.
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QProcess bus;
    bus.start(QStringLiteral("dbus-daemon"),
              {QStringLiteral("--session"), QStringLiteral("--nofork"), QStringLiteral("--print-address"),
               QStringLiteral("--address=unix:path=") + dir.filePath(QStringLiteral("bus"))});
    if (!bus.waitForStarted())
        QSKIP("dbus-daemon is not installed");
    QTRY_VERIFY_WITH_TIMEOUT(bus.canReadLine(), kWait);

    for (const QString &socket : {dir.filePath(QStringLiteral("bus")), dir.filePath(QStringLiteral("none"))}) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"), QStringLiteral("unix:path=") + socket);
        Child publisher;
        QVERIFY(publisher.start({QStringLiteral("nobody"), QStringLiteral("35011")}, env));
        QCOMPARE(publisher.waitFor(QStringLiteral("FAILED")).section(QLatin1Char(' '), 0, 1),
                 QStringLiteral("FAILED DaemonNotRunning"));
        Child browser;
        QVERIFY(browser.start({QStringLiteral("--browse"), QString::fromLatin1(ZDDNSSDPublisher::kServiceType)}, env));
        const QString line = browser.waitFor(QStringLiteral("FAILED"));
        QCOMPARE(line.section(QLatin1Char(' '), 0, 1), QStringLiteral("FAILED DaemonNotRunning"));
        QVERIFY2(line.contains(QLatin1String("not running")), qPrintable(line));
    }
    bus.kill();
    bus.waitForFinished();

    // Besides the signal, one line in the program's log says why.
    int lines = 0;
    for (QDirIterator it(m_box->root(), {QStringLiteral("zddnssd_publish*.log")}, QDir::Files,
                         QDirIterator::Subdirectories);
         it.hasNext();)
        lines += ZDTestSandbox::readFile(it.next()).count("avahi daemon is not running");
    QVERIFY(lines >= 2);
}

void TestZDDNSSD::twoPublishersOneBrowser()
{
    REQUIRE_DAEMON();
    const QString nameA = unique(QStringLiteral("zddnssd A é"));
    const QString nameB = unique(QStringLiteral("zddnssd B"));
    const QVariantMap txtA{{"model", "Tower9,1"}, {"ip", "127.0.0.1"}, {"name", "KestraClient - kestra-test.local."}};

    ZDDNSSDBrowser browser;
    Events events(browser, {nameA, nameB});
    QVERIFY(browser.start(QString::fromLatin1(ZDDNSSDPublisher::kServiceType)));

    // One publisher here on the loopback interface only, one in another process on all of them.
    ZDDNSSDPublisher publisherA;
    QSignalSpy publishedA(&publisherA, &ZDDNSSDPublisher::published);
    const int lo = ZDDNSSDPublisher::interfaceIndex(QStringLiteral("lo"));
    QVERIFY(lo > 0);
    QVERIFY(publisherA.publish(nameA, 35011, txtA, lo));
    Child publisherB;
    QVERIFY(publisherB.start({nameB, QStringLiteral("35012")}));

    QTRY_COMPARE_WITH_TIMEOUT(publishedA.size(), 1, kWait);
    QCOMPARE(publishedA.first().first().toString(), nameA);
    QCOMPARE(publisherA.name(), nameA);
    QVERIFY(publisherA.isPublished());
    QCOMPARE(publisherB.waitFor(QStringLiteral("PUBLISHED")), QStringLiteral("PUBLISHED ") + nameB);

    QTRY_COMPARE_WITH_TIMEOUT(events.kinds(nameA), QStringList({"found", "resolved"}), kWait);
    QTRY_COMPARE_WITH_TIMEOUT(events.kinds(nameB), QStringList({"found", "resolved"}), kWait);

    const ZDDNSSDService a = events.last(nameA, QStringLiteral("resolved"));
    QCOMPARE(a.port, quint16(35011));
    QCOMPARE(a.txt, txtA);
    QCOMPARE(a.txtData, ZDDNSSDTxtRecord::encode(txtA));
    QCOMPARE(a.type, QString::fromLatin1(ZDDNSSDPublisher::kServiceType));
    QCOMPARE(a.domain, QStringLiteral("local."));
    QVERIFY2(a.hostName.endsWith(QLatin1String(".local.")), qPrintable(a.hostName));
    QVERIFY(!a.addresses.isEmpty());

    const ZDDNSSDService b = events.last(nameB, QStringLiteral("resolved"));
    QCOMPARE(b.port, quint16(35012));
    QCOMPARE(b.hostName, a.hostName);
    QCOMPARE(b.txtData, QByteArray(1, '\0'));
    QVERIFY(b.txt.isEmpty());
    QVERIFY(browser.services().size() >= 2);

    // A withdrawn service and one whose process died both go away.
    publisherA.withdraw();
    QVERIFY(!publisherA.isPublished());
    QTRY_COMPARE_WITH_TIMEOUT(events.kinds(nameA), QStringList({"found", "resolved", "removed"}), kWait);
    publisherB.process.kill();
    QTRY_COMPARE_WITH_TIMEOUT(events.kinds(nameB), QStringList({"found", "resolved", "removed"}), kWait);

    // Publishing again is found again; stopping the browser removes what it knew.
    QVERIFY(publisherA.publish(nameA, 35013, {}));
    QTRY_COMPARE_WITH_TIMEOUT(events.kinds(nameA).size(), 5, kWait);
    QCOMPARE(events.last(nameA, QStringLiteral("resolved")).port, quint16(35013));
    browser.stop();
    QCOMPARE(events.kinds(nameA).last(), QStringLiteral("removed"));
}

void TestZDDNSSD::nameCollisions()
{
    REQUIRE_DAEMON();
    const QString name = unique(QStringLiteral("zddnssd twin"));
    ZDDNSSDPublisher first;
    QSignalSpy firstPublished(&first, &ZDDNSSDPublisher::published);
    QVERIFY(first.publish(name, 35011, {}));
    QTRY_COMPARE_WITH_TIMEOUT(firstPublished.size(), 1, kWait);

    ZDDNSSDPublisher renamed;
    QSignalSpy renamedPublished(&renamed, &ZDDNSSDPublisher::published);
    QVERIFY(renamed.publish(name, 35012, {}));
    QTRY_COMPARE_WITH_TIMEOUT(renamedPublished.size(), 1, kWait);
    QCOMPARE(renamed.name(), name + QStringLiteral(" #2"));

    ZDDNSSDPublisher refused;
    refused.setCollisionPolicy(ZDDNSSDPublisher::CollisionPolicy::Fail);
    QSignalSpy refusedFailed(&refused, &ZDDNSSDPublisher::failed);
    QVERIFY(refused.publish(name, 35013, {}));
    QTRY_COMPARE_WITH_TIMEOUT(refusedFailed.size(), 1, kWait);
    QCOMPARE(refusedFailed.first().at(0).value<ZDDNSSDPublisher::Error>(), ZDDNSSDPublisher::Error::Collision);
    QVERIFY(!refused.isPublished());
}

void TestZDDNSSD::resolveTimeout()
{
    REQUIRE_DAEMON();
    const QString name = unique(QStringLiteral("zddnssd nowhere"));
    ZDDNSSDBrowser browser;
    browser.setResolveTimeout(3000);
    QCOMPARE(browser.resolveTimeout(), 3000);
    Events events(browser, {name});
    QSignalSpy unresolved(&browser, &ZDDNSSDBrowser::resolveFailed);
    QVERIFY(browser.start(QString::fromLatin1(ZDDNSSDPublisher::kServiceType)));

    Child publisher;
    QVERIFY(publisher.start({QStringLiteral("--host"), QStringLiteral("zddnssd-nowhere.local"), name,
                             QStringLiteral("35011")}));
    QCOMPARE(publisher.waitFor(QStringLiteral("PUBLISHED")), QStringLiteral("PUBLISHED ") + name);
    QTRY_COMPARE_WITH_TIMEOUT(events.kinds(name), QStringList({"found", "unresolved"}), kWait);
    bool timedOut = false;
    for (const QList<QVariant> &args : unresolved) {
        if (args.at(0).value<ZDDNSSDService>().name == name)
            timedOut = args.at(1).value<ZDDNSSDBrowser::Error>() == ZDDNSSDBrowser::Error::Timeout;
    }
    QVERIFY(timedOut);
    publisher.process.kill();
    QTRY_COMPARE_WITH_TIMEOUT(events.kinds(name).last(), QStringLiteral("removed"), kWait);
}

QTEST_GUILESS_MAIN(TestZDDNSSD)
#include "tst_zddnssd.moc"
