#include "ZDTestTransfer.h"
#include "ZDDBusValue.h"
#include "ZDLocalPaths.h"
#include "ZDNotificationCenter.h"
#include "ZDSessionBus.h"
#include "ZDTestSandbox.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusVariant>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusSignature>
#include <QDataStream>
#include <QDir>
#include <QFile>
#include <QPoint>
#include <QProcess>
#include <QThread>
#include <QtTest>

#include <atomic>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>

#include <grp.h>
#include <paths.h>
#include <pwd.h>
#include <unistd.h>
#include <utmpx.h>

namespace {

using zdtest::decode;
using zdtest::encode;

// Every type the suite's values have, nested both ways.
QVariantMap nestedUserInfo()
{
    const QVariantMap inner{
        {QStringLiteral("bytes"), QByteArray("\x00\x01\xfe\xff", 4)},
        {QStringLiteral("when"), QDateTime(QDate(2026, 12, 6), QTime(19, 55, 20, 123), Qt::UTC)},
        {QStringLiteral("none"), QVariant()},
    };
    return {
        {QStringLiteral("status"), QStringLiteral("Listening on port 35011 \u2013 \u00fcber")},
        {QStringLiteral("excluded_pid"), qint64(4242)},
        {QStringLiteral("lowest"), std::numeric_limits<qint64>::min()},
        {QStringLiteral("ratio"), 0.25},
        {QStringLiteral("flag"), true},
        {QStringLiteral("list"), QVariantList{qint64(1), QStringLiteral("two"), QVariantList{false, inner}}},
        {QStringLiteral("map"), inner},
        {QStringLiteral("emptyMap"), QVariantMap()},
        {QStringLiteral("emptyList"), QVariantList()},
    };
}

using Modifier = std::function<void()>;

// A helper program started for one test; ended (standard input closed) when it goes.
class Child
{
public:
    Child(const QStringList &args, const QProcessEnvironment &env = QProcessEnvironment::systemEnvironment(),
          Modifier modifier = {})
    {
        m_process.setProcessEnvironment(env);
        if (modifier)
            m_process.setChildProcessModifier(modifier);
        m_process.start(qEnvironmentVariable("KESTRA_TEST_HELPERS") + QStringLiteral("/zdbus_notify"), args);
    }
    ~Child()
    {
        m_process.closeWriteChannel();
        if (!m_process.waitForFinished(10000))
            m_process.kill();
        m_process.waitForFinished();
    }
    // Its next answer, past whatever the log prints on the way; empty when none comes.
    QByteArray line()
    {
        for (;;) {
            while (!m_process.canReadLine()) {
                if (!m_process.waitForReadyRead(20000))
                    return {};
            }
            const QByteArray l = m_process.readLine().trimmed();
            if (l == "ready" || l.startsWith("got "))
                return l;
        }
    }
    QProcess &process() { return m_process; }

private:
    QProcess m_process;
};

int runHelper(const QStringList &args)
{
    QProcess p;
    p.start(qEnvironmentVariable("KESTRA_TEST_HELPERS") + QStringLiteral("/zdbus_notify"), args);
    if (!p.waitForFinished(20000))
        return -1;
    return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
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

    // Unique per run, so that parallel tests on one bus never hear each other.
    QString name(const char *what) const
    {
        return QStringLiteral("ZDKMTTest%1%2").arg(QCoreApplication::applicationPid()).arg(QLatin1String(what));
    }

private Q_SLOTS:
    void initTestCase()
    {
        if (!QDBusConnection::sessionBus().isConnected())
            QSKIP("No session bus reachable; run the tests through scripts/test-services.sh.");
    }

    void nestedUserInfoTravelsBetweenProcesses()
    {
        const QString toHelper = name("ToHelper");
        const QString toTest = name("ToTest");
        const QVariantMap info = nestedUserInfo();

        Child observer({QStringLiteral("observe"), toHelper});
        QCOMPARE(observer.line(), QByteArray("ready"));
        QVERIFY(ZDNotificationCenter::postNotification(toHelper, info));
        const QList<QByteArray> got = observer.line().split(' ');
        QCOMPARE(got.size(), 3);
        QCOMPARE(QString::fromUtf8(got.at(1)), toHelper);
        QCOMPARE(decode(got.at(2)).toMap(), info);

        ZDNotificationCenter center;
        QList<Received> received;
        center.addObserver(toTest, [&](const QString &n, const QVariantMap &u) { received.append({n, u}); });
        QCOMPARE(runHelper({QStringLiteral("post"), toTest, QString::fromLatin1(encode(info))}), 0);
        QTRY_COMPARE(received.size(), 1);
        QCOMPARE(received.first().name, toTest);
        QCOMPARE(received.first().userInfo, info);

        // No userInfo arrives as an empty dictionary.
        QCOMPARE(runHelper({QStringLiteral("post"), toTest}), 0);
        QTRY_COMPARE(received.size(), 2);
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

        Child other({QStringLiteral("observe"), a});
        QCOMPARE(other.line(), QByteArray("ready"));

        // One sender's notifications arrive in order: once A is in, B would have been too.
        QVERIFY(ZDNotificationCenter::postNotification(b));
        QVERIFY(ZDNotificationCenter::postNotification(a));
        QVERIFY(other.line().startsWith("got " + a.toUtf8() + ' '));
        QTRY_COMPARE(a1.size(), 1);
        QTRY_COMPARE(a2.size(), 1);
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
        intKeyMap << 1 << QDBusVariant(QStringLiteral("x"));
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
                << QVariantMap{{QStringLiteral("ok"), QStringLiteral("yes")},
                               {QStringLiteral("path"), QVariant::fromValue(QDBusObjectPath(QStringLiteral("/x")))},
                               {QStringLiteral("list"), QVariantList{QVariant::fromValue(QDBusSignature(QStringLiteral("s"))),
                                                                      qint64(7)}},
                               {QStringLiteral("small"), QVariant::fromValue<uchar>(200)},
                               {QStringLiteral("intKeys"), QVariant::fromValue(intKeyMap)},
                               {QStringLiteral("names"), QStringList{QStringLiteral("p"), QStringLiteral("q")}}};
        QVERIFY(bus.send(foreign));

        // As deep as values may nest, and no deeper.
        QVariant deep = qint64(1);
        for (int i = 0; i < ZDDBusValue::kMaxDepth; ++i)
            deep = QVariantMap{{QStringLiteral("d"), deep}};
        const QVariant tooDeep = deep;
        QVERIFY(ZDNotificationCenter::postNotification(n, deep.toMap()));

        QVERIFY(ZDNotificationCenter::postNotification(n, {{QStringLiteral("last"), true}}));
        QTRY_COMPARE(received.size(), 3);
        const QVariantMap cleaned{{QStringLiteral("ok"), QStringLiteral("yes")},
                                  {QStringLiteral("list"), QVariantList{qint64(7)}},
                                  {QStringLiteral("small"), qint64(200)},
                                  {QStringLiteral("intKeys"), QVariantMap()},
                                  {QStringLiteral("names"), QVariantList{QStringLiteral("p"), QStringLiteral("q")}}};
        QCOMPARE(received.at(0).userInfo, cleaned);
        QCOMPARE(received.at(1).userInfo, deep.toMap());
        QCOMPARE(received.at(2).userInfo, QVariantMap({{QStringLiteral("last"), true}}));

        // What cannot travel is refused before it leaves.
        QVERIFY(!ZDNotificationCenter::postNotification(QString()));
        QVERIFY(!ZDNotificationCenter::postNotification(QString(300, QLatin1Char('n'))));
        QVERIFY(!ZDNotificationCenter::postNotification(n, {{QStringLiteral("p"), QPoint(1, 2)}}));
        QVERIFY(!ZDNotificationCenter::postNotification(n, {{QStringLiteral("t"), QString::fromUtf8("a\0b", 3)}}));
        QVERIFY(!ZDNotificationCenter::postNotification(n, {{QStringLiteral("d"), tooDeep}}));
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
        QVERIFY(ZDTestSandbox::writeUtmp(box.path(QStringLiteral("run/utmp")), "nobody", ":0"));
        QCOMPARE(ZDLocalPaths::currentConsoleUser(), QStringLiteral("nobody"));
        QVERIFY(ZDSessionBus::consoleUserBusPath().isEmpty()); // no socket yet

        // The user's own bus, run by that user, as a desktop session would.
        const QString runDir = box.path(QStringLiteral("run/user/%1").arg(uid));
        QVERIFY(QDir().mkpath(runDir));
        QVERIFY(::chown(QFile::encodeName(runDir).constData(), uid, gid) == 0);
        for (const QString &d : {box.root(), box.path(QStringLiteral("run")), box.path(QStringLiteral("run/user"))})
            QVERIFY(QFile::setPermissions(d, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ExeGroup
                                                 | QFile::ExeOther));
        const QString socket = runDir + QStringLiteral("/bus");
        const Modifier asUser = [uid, gid] {
            if (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0)
                ::_exit(126);
        };
        QProcess daemon;
        daemon.setChildProcessModifier(asUser);
        daemon.start(QStringLiteral("dbus-daemon"), {QStringLiteral("--session"), QStringLiteral("--nofork"),
                                                     QStringLiteral("--print-address"),
                                                     QStringLiteral("--address=unix:path=") + socket});
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
        env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), QStringLiteral("unix:path=") + socket);
        env.insert(QStringLiteral("HOME"), QStringLiteral("/nonexistent"));
        Child user({QStringLiteral("observe"), n}, env, asUser);
        QCOMPARE(user.line(), QByteArray("ready"));

        ZDNotificationCenter center; // root: listens on the same bus it posts to
        QVERIFY(center.busName() != QDBusConnection::sessionBus().name());
        QList<Received> received;
        center.addObserver(n, [&](const QString &nm, const QVariantMap &u) { received.append({nm, u}); });
        const QVariantMap info{{QStringLiteral("status"), QStringLiteral("Disconnected")}};
        QVERIFY(ZDNotificationCenter::postNotification(n, info));
        QCOMPARE(user.line(), "got " + n.toUtf8() + ' ' + encode(info));
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
