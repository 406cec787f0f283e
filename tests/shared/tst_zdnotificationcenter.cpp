#include "ZDDBusValue.h"
#include "ZDLocalPaths.h"
#include "ZDNotificationCenter.h"
#include "ZDSessionBus.h"
#include "ZDTestFixtures.h"
#include "ZDTestSandbox.h"
#include "ZDTestTransfer.h"
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusSignature>
#include <QDBusVariant>
#include <QtTest>
#include <atomic>
#include <limits>
#include <memory>
#include <grp.h>
#include <pwd.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

using zdtest::encode;

// Every type the suite's values have, nested both ways.
QVariantMap nestedUserInfo()
{
    const QVariantMap inner{
        {u"bytes"_s, QByteArray("\x00\x01\xfe\xff", 4)},
        {u"when"_s, QDateTime(QDate(2026, 12, 6), QTime(19, 55, 20, 123), Qt::UTC)},
        {u"none"_s, QVariant()},
    };
    return {
        {u"status"_s, u"Listening on port 35011 \u2013 \u00fcber"_s},
        {u"lowest"_s, std::numeric_limits<qint64>::min()},
        {u"ratio"_s, 0.25},
        {u"flag"_s, true},
        {u"list"_s, QVariantList{qint64(1), u"two"_s, QVariantList{false, inner}}},
        {u"map"_s, inner},
        {u"emptyMap"_s, QVariantMap()},
        {u"emptyList"_s, QVariantList()},
    };
}

struct Received
{
    QString name;
    QVariantMap userInfo;
};

} // namespace

class TestZDNotificationCenter : public QObject
{
    Q_OBJECT
    static QString name(const char *what) { return zdtest::uniqueName(u"ZDKMTTest"_s, what); }
    static QByteArray observed(zdtest::HelperProcess &p) { return p.line({"ready", "got "}); }

private Q_SLOTS:
    void initTestCase()
    {
        if (!QDBusConnection::sessionBus().isConnected())
            QSKIP("No session bus reachable; run the tests through scripts/test-services.sh.");
    }
    // Through the bus and back. Between processes (both ways) is the agent scenario test's status and disconnect.
    void nestedUserInfoTravels()
    {
        const QString n = name("Nested");
        ZDNotificationCenter center;
        QList<Received> received;
        center.addObserver(n, [&](const QString &nm, const QVariantMap &u) { received.append({nm, u}); });
        QVERIFY(ZDNotificationCenter::postNotification(n, nestedUserInfo()));
        QVERIFY(ZDNotificationCenter::postNotification(n));
        QTRY_COMPARE(received.size(), 2);
        QCOMPARE(received.first().name, n);
        QCOMPARE(received.first().userInfo, nestedUserInfo());
        QVERIFY(received.last().userInfo.isEmpty());
    }
    void observersReceiveOnlyTheirName()
    {
        const QString a = name("A");
        const QString b = name("B");
        const QString c = name("C");
        ZDNotificationCenter center;
        QStringList a1, a2, bs, selfRemoving, cs;
        const int a1Id = center.addObserver(a, [&](const QString &n, const QVariantMap &) { a1 << n; });
        const int a2Id = center.addObserver(a, [&](const QString &n, const QVariantMap &) { a2 << n; });
        center.addObserver(b, [&](const QString &n, const QVariantMap &) { bs << n; });
        int selfId = 0;
        selfId = center.addObserver(c, [&](const QString &n, const QVariantMap &) {
            selfRemoving << n;
            center.removeObserver(selfId);
        });
        center.addObserver(c, [&](const QString &n, const QVariantMap &) { cs << n; });
        QVERIFY(a1Id && a2Id && selfId);
        // One sender's notifications arrive in order: once A is in, B would have been too.
        QVERIFY(ZDNotificationCenter::postNotification(b));
        QVERIFY(ZDNotificationCenter::postNotification(a));
        QTRY_COMPARE(a1.size(), 1);
        QCOMPARE(a2.size(), 1);
        QCOMPARE(a1, QStringList{a});
        QCOMPARE(bs, QStringList{b});
        center.removeObserver(a2Id);
        QVERIFY(ZDNotificationCenter::postNotification(a));
        QVERIFY(ZDNotificationCenter::postNotification(c));
        QVERIFY(ZDNotificationCenter::postNotification(c));
        QTRY_COMPARE(cs.size(), 2);
        QCOMPARE(a1.size(), 2);
        QCOMPARE(a2.size(), 1);
        QCOMPARE(selfRemoving.size(), 1);
        QCOMPARE(bs.size(), 1);
        // Once the last observer of a name goes, the center stops listening for it.
        center.removeObservers(a);
        QVERIFY(ZDNotificationCenter::postNotification(a));
        QVERIFY(ZDNotificationCenter::postNotification(c));
        QTRY_COMPARE(cs.size(), 3);
        QCOMPARE(a1.size(), 2);
    }
    void handlersRunOnTheCentersThread()
    {
        const QString n = name("Thread");
        QThread worker;
        worker.start();
        auto *anchor = new QObject; // deleted on its own thread when that ends
        anchor->moveToThread(&worker);
        connect(&worker, &QThread::finished, anchor, &QObject::deleteLater);
        std::unique_ptr<ZDNotificationCenter> center;
        std::atomic<QThread *> ranOn{nullptr};
        QMetaObject::invokeMethod(anchor, [&] {
            center = std::make_unique<ZDNotificationCenter>();
            center->addObserver(n, [&](const QString &, const QVariantMap &) { ranOn = QThread::currentThread(); });
        }, Qt::BlockingQueuedConnection);
        QVERIFY(ZDNotificationCenter::postNotification(n));
        QTRY_VERIFY(ranOn.load() != nullptr);
        QCOMPARE(ranOn.load(), &worker);
        QMetaObject::invokeMethod(anchor, [&] { center.reset(); }, Qt::BlockingQueuedConnection);
        worker.quit();
        worker.wait();
    }
    void malformedNotificationsAreDroppedWithoutHarm()
    {
        const QString n = name("Malformed");
        const QString unobserved = name("Unobserved");
        ZDNotificationCenter center;
        QList<Received> received;
        center.addObserver(n, [&](const QString &nm, const QVariantMap &u) { received.append({nm, u}); });
        const QString path = QString::fromLatin1(ZDNotificationCenter::kPath);
        const QString iface = QString::fromLatin1(ZDNotificationCenter::kInterface);
        const QString member = QString::fromLatin1(ZDNotificationCenter::kSignal);
        QDBusConnection bus = QDBusConnection::sessionBus();
        QDBusMessage wrongSignature = QDBusMessage::createSignal(path, iface, member);
        wrongSignature << n << 5;
        QVERIFY(bus.send(wrongSignature));
        QDBusArgument intKeyMap;
        intKeyMap.beginMap(QMetaType::fromType<int>(), QMetaType::fromType<QDBusVariant>());
        intKeyMap.beginMapEntry();
        intKeyMap << 1 << QDBusVariant(u"x"_s);
        intKeyMap.endMapEntry();
        intKeyMap.endMap();
        QDBusMessage intKeys = QDBusMessage::createSignal(path, iface, member);
        intKeys << n << QVariant::fromValue(intKeyMap);
        QVERIFY(bus.send(intKeys));
        // A signal sent to this connection alone passes no match rule.
        QDBusMessage direct = QDBusMessage::createTargetedSignal(bus.baseService(), path, iface, member);
        direct << unobserved << QVariantMap();
        QVERIFY(bus.send(direct));
        QDBusMessage foreign = QDBusMessage::createSignal(path, iface, member);
        foreign << n
                << QVariantMap{{u"ok"_s, u"yes"_s}, {u"path"_s, QVariant::fromValue(QDBusObjectPath(u"/x"_s))},
                               {u"list"_s, QVariantList{QVariant::fromValue(QDBusSignature(u"s"_s)), qint64(7)}},
                               {u"small"_s, QVariant::fromValue<uchar>(200)},
                               {u"intKeys"_s, QVariant::fromValue(intKeyMap)},
                               {u"names"_s, QStringList{u"p"_s, u"q"_s}}};
        QVERIFY(bus.send(foreign));
        // As deep as values may nest, and no deeper.
        QVariant deep = qint64(1);
        for (int i = 0; i < ZDDBusValue::kMaxDepth; ++i)
            deep = QVariantMap{{u"d"_s, deep}};
        const QVariant tooDeep = deep;
        QVERIFY(ZDNotificationCenter::postNotification(n, deep.toMap()));
        QVERIFY(ZDNotificationCenter::postNotification(n, {{u"last"_s, true}}));
        QTRY_COMPARE(received.size(), 3);
        const QVariantMap cleaned{{u"ok"_s, u"yes"_s}, {u"list"_s, QVariantList{qint64(7)}}, {u"small"_s, qint64(200)},
                                  {u"intKeys"_s, QVariantMap()}, {u"names"_s, QVariantList{u"p"_s, u"q"_s}}};
        QCOMPARE(received.at(0).userInfo, cleaned);
        QCOMPARE(received.at(1).userInfo, deep.toMap());
        QCOMPARE(received.at(2).userInfo, QVariantMap({{u"last"_s, true}}));
        // What cannot travel is refused before it leaves.
        QVERIFY(!ZDNotificationCenter::postNotification(QString()));
        QVERIFY(!ZDNotificationCenter::postNotification(QString(300, QLatin1Char('n'))));
        QVERIFY(!ZDNotificationCenter::postNotification(n, {{u"p"_s, QPoint(1, 2)}}));
        QVERIFY(!ZDNotificationCenter::postNotification(n, {{u"t"_s, QString::fromUtf8("a\0b", 3)}}));
        QVERIFY(!ZDNotificationCenter::postNotification(n, {{u"d"_s, tooDeep}}));
        QCOMPARE(center.addObserver(QString(), [](const QString &, const QVariantMap &) {}), 0);
    }
    void rootPostsToTheConsoleUsersBus()
    {
        if (!ZDLocalPaths::isRoot())
            QSKIP("Needs root: a root process posting to the console user's bus.");
        const struct passwd *pw = ::getpwnam("nobody");
        if (!pw || pw->pw_uid == 0)
            QSKIP("No unprivileged account \"nobody\" to stand for the console user.");
        const uid_t uid = pw->pw_uid;
        const gid_t gid = pw->pw_gid;
        ZDTestSandbox box;
        QVERIFY(box.isValid());
        QVERIFY(ZDTestSandbox::writeUtmp(box.path(u"run/utmp"_s), "nobody", ":0"));
        QCOMPARE(ZDLocalPaths::currentConsoleUser(), u"nobody"_s);
        QVERIFY(ZDSessionBus::consoleUserBusPath().isEmpty()); // no socket yet
        // The user's own bus, run by that user, as a desktop session would.
        const QString runDir = box.path(u"run/user/%1"_s.arg(uid));
        QVERIFY(QDir().mkpath(runDir));
        QVERIFY(::chown(QFile::encodeName(runDir).constData(), uid, gid) == 0);
        for (const QString &d : {box.root(), box.path(u"run"_s), box.path(u"run/user"_s)})
            QVERIFY(QFile::setPermissions(d, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ExeGroup
                                                 | QFile::ExeOther));
        const QString socket = runDir + u"/bus"_s;
        const std::function<void()> asUser = [uid, gid] {
            if (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0)
                ::_exit(126);
        };
        QProcess daemon;
        daemon.setChildProcessModifier(asUser);
        daemon.start(u"dbus-daemon"_s, {u"--session"_s, u"--nofork"_s, u"--print-address"_s,
                                                     u"--address=unix:path="_s + socket});
        if (!daemon.waitForStarted())
            QSKIP("dbus-daemon is not installed.");
        QVERIFY(daemon.waitForReadyRead(20000)); // the address, once it listens
        auto stopDaemon = qScopeGuard([&] {
            daemon.terminate();
            daemon.waitForFinished();
        });
        QCOMPARE(ZDSessionBus::consoleUserBusPath(), socket);
        const QString n = name("Console");
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(u"DBUS_SESSION_BUS_ADDRESS"_s, u"unix:path="_s + socket);
        env.insert(u"HOME"_s, u"/nonexistent"_s);
        zdtest::HelperProcess user(u"zdbus_notify"_s, {u"observe"_s, n}, env, asUser);
        QCOMPARE(observed(user), QByteArray("ready"));
        ZDNotificationCenter center; // root: listens on the same bus it posts to
        QVERIFY(center.busName() != QDBusConnection::sessionBus().name());
        QList<Received> received;
        center.addObserver(n, [&](const QString &nm, const QVariantMap &u) { received.append({nm, u}); });
        const QVariantMap info{{u"status"_s, u"Disconnected"_s}};
        QVERIFY(ZDNotificationCenter::postNotification(n, info));
        QCOMPARE(observed(user), "got " + n.toUtf8() + ' ' + encode(info));
        QTRY_COMPARE(received.size(), 1);
        QCOMPARE(received.first().userInfo, info);
        // Without the user's socket root is back on its own session bus.
        stopDaemon.dismiss();
        daemon.terminate();
        daemon.waitForFinished();
        QFile::remove(socket);
        QVERIFY(ZDSessionBus::consoleUserBusPath().isEmpty());
        ZDNotificationCenter fallback;
        QCOMPARE(fallback.busName(), QDBusConnection::sessionBus().name());
        QList<Received> fell;
        fallback.addObserver(n, [&](const QString &nm, const QVariantMap &u) { fell.append({nm, u}); });
        QVERIFY(ZDNotificationCenter::postNotification(n, info));
        QTRY_COMPARE(fell.size(), 1);
    }
};

QTEST_GUILESS_MAIN(TestZDNotificationCenter)
#include "tst_zdnotificationcenter.moc"
