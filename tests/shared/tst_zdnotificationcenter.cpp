// Notifications and the local callback connection on the session bus, within this process and
// between processes.
#include "bus/ZDDBusValue.h"
#include "bus/ZDLocalCallbackClient.h"
#include "bus/ZDLocalCallbackServer.h"
#include "platform/ZDLocalPaths.h"
#include "bus/ZDNotificationCenter.h"
#include "bus/ZDSessionBus.h"
#include "ZDTestFixtures.h"
#include "ZDTestSandbox.h"
#include "ZDTestTransfer.h"
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusServiceWatcher>
#include <QDBusSignature>
#include <QDBusVariant>
#include <QtTest>
#include <atomic>
#include <limits>
#include <memory>
#include <stdexcept>
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

// A helper serving the name until it goes.
struct Server : zdtest::HelperProcess
{
    explicit Server(const QString &name) : HelperProcess(u"zdbus_callback"_s, {u"serve"_s, name}) {}
    QByteArray line() { return HelperProcess::line({"ready", "occupied ", "note "}); }
};

// One call from another process; its one line of output. The event loop runs
// meanwhile, so a server in this process can answer.
QByteArray callFromHelper(const QString &name, const QString &op, const QVariantList &args, bool oneway = false)
{
    QProcess p;
    QSignalSpy done(&p, &QProcess::finished);
    p.start(zdtest::helperPath(u"zdbus_callback"_s), {u"call"_s, name, op, QString::fromLatin1(encode(args)),
             oneway ? u"oneway"_s : u"wait"_s});
    if (!done.wait(30000))
        return {};
    for (const QByteArray &l : p.readAllStandardOutput().split('\n'))
        if (l.startsWith("ok") || l.startsWith("error "))
            return l.trimmed();
    return {};
}

// The same values as a call's arguments, with a text and the largest number beside them.
QVariantList nestedArguments()
{
    return {nestedUserInfo(), u"Edit-Suite-3.local."_s, std::numeric_limits<qint64>::max()};
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
    static QString callbackName(const char *what)
    {
        return zdtest::uniqueName(QLatin1String(ZDLocalCallbackServer::kServiceName) + u".t"_s, what);
    }

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
    // The local callback connection between processes.
    void occupiedNameIsReportedAndNeverTaken()
    {
        const QString n = callbackName("Occupied");
        Server holder(n);
        QCOMPARE(holder.line(), QByteArray("ready"));
        ZDLocalCallbackServer mine(n);
        QCOMPARE(mine.start(), ZDLocalCallbackServer::Status::NameOccupied);
        QVERIFY2(mine.occupant().contains(u"pid %1"_s.arg(holder.pid())), qPrintable(mine.occupant()));
        // The holder still has it and still answers.
        const ZDLocalCallbackClient client(n);
        const ZDLocalCallbackClient::Reply r = client.call(u"echo:"_s, {u"still"_s});
        QVERIFY2(r.ok, qPrintable(r.errorMessage));
        QCOMPARE(r.value, QVariant(QVariantList{u"still"_s}));
        // Free once the holder is gone; then ours, until released.
        QDBusServiceWatcher watcher(n, QDBusConnection::sessionBus(), QDBusServiceWatcher::WatchForUnregistration);
        QSignalSpy gone(&watcher, &QDBusServiceWatcher::serviceUnregistered);
        holder.finish();
        QVERIFY(gone.count() > 0 || gone.wait(20000));
        QCOMPARE(mine.start(), ZDLocalCallbackServer::Status::Registered);
        ZDLocalCallbackServer sameProcess(n);
        QCOMPARE(sameProcess.start(), ZDLocalCallbackServer::Status::NameOccupied);
        QVERIFY(client.isAvailable());
        mine.stop();
        QVERIFY(!client.isAvailable());
    }
    void operationsAreCalledFromAnotherProcess()
    {
        const QString n = callbackName("Served");
        ZDLocalCallbackServer server(n);
        QVariantList recorded;
        QThread *ranOn = nullptr;
        server.addOperation(u"postError:userInfo:"_s, 2, [&](const QVariantList &args) {
            recorded = args;
            ranOn = QThread::currentThread();
            return QVariant(QVariantMap{{u"count"_s, qint64(1)}});
        });
        QStringList oneways;
        server.addOperation(u"postErrorString:"_s, 1, [&](const QVariantList &args) {
            if (args.constFirst().metaType().id() != QMetaType::QString)
                throw std::invalid_argument("postErrorString: takes a text");
            oneways << args.constFirst().toString();
            return QVariant();
        });
        QCOMPARE(server.start(), ZDLocalCallbackServer::Status::Registered);
        QVERIFY(server.respondsTo(u"postErrorString:"_s));
        const QVariantList args = nestedArguments().mid(0, 2);
        QCOMPARE(callFromHelper(n, u"postError:userInfo:"_s, args),
                 "ok " + encode(QVariantMap{{u"count"_s, qint64(1)}}));
        QCOMPARE(recorded, args);
        QCOMPARE(ranOn, QThread::currentThread());
        QCOMPARE(callFromHelper(n, u"postErrorString:"_s, {u"Disk full"_s}, true), QByteArray("ok"));
        QTRY_COMPARE(oneways, QStringList{u"Disk full"_s});
        const QByteArray unknown = callFromHelper(n, u"launchMissiles"_s, {});
        QVERIFY2(unknown.startsWith(QByteArray("error ") + ZDLocalCallbackServer::kErrorUnknownOperation), unknown);
        const QByteArray arity = callFromHelper(n, u"postErrorString:"_s, {});
        QVERIFY2(arity.startsWith(QByteArray("error ") + ZDLocalCallbackServer::kErrorInvalidArguments), arity);
        const QByteArray refused = callFromHelper(n, u"postErrorString:"_s, {qint64(5)});
        QVERIFY2(refused.startsWith(QByteArray("error ") + ZDLocalCallbackServer::kErrorInvalidArguments), refused);
        QCOMPARE(oneways.size(), 1);
    }
    void clientCallsAnotherProcess()
    {
        const QString n = callbackName("Client");
        Server helper(n);
        QCOMPARE(helper.line(), QByteArray("ready"));
        const ZDLocalCallbackClient client(n);
        QVERIFY(client.isAvailable());
        const QVariantList args = nestedArguments();
        ZDLocalCallbackClient::Reply r = client.call(u"echo:"_s, args);
        QVERIFY2(r.ok, qPrintable(r.errorMessage));
        QCOMPARE(r.value.toList(), args);
        r = client.call(u"note:"_s, {});
        QVERIFY(!r.ok);
        QCOMPARE(r.errorName, QString::fromLatin1(ZDLocalCallbackServer::kErrorInvalidArguments));
        r = client.call(u"fail"_s);
        QVERIFY(!r.ok);
        QCOMPARE(r.errorName, QString::fromLatin1(ZDLocalCallbackServer::kErrorFailed));
        QVERIFY(r.errorMessage.contains(u"deliberate failure"_s));
        QVERIFY(client.callOneway(u"note:"_s, {u"one way"_s}));
        QCOMPARE(helper.line(), "note " + encode(u"one way"_s));
        // Refused here, before anything is sent.
        r = client.call(u"echo:"_s, {QPoint(1, 2)});
        QCOMPARE(r.errorName, QString::fromLatin1(ZDLocalCallbackClient::kErrorNotSent));
        QVERIFY(!client.callOneway(QString()));
        const ZDLocalCallbackClient impatient(n, 200);
        r = impatient.call(u"nap:"_s, {qint64(1000)});
        QCOMPARE(r.errorName, QString::fromLatin1(ZDLocalCallbackClient::kErrorTimeout));
        const ZDLocalCallbackClient nobody(callbackName("Nobody"));
        QVERIFY(!nobody.isAvailable());
        r = nobody.call(u"echo:"_s);
        QCOMPARE(r.errorName, QString::fromLatin1(ZDLocalCallbackClient::kErrorNoOwner));
        QVERIFY(r.errorMessage.contains(callbackName("Nobody")));
        QVERIFY(!nobody.callOneway(u"echo:"_s));
    }
    void malformedCallsAreRefusedAndTheServerLivesOn()
    {
        const QString n = callbackName("Raw");
        Server helper(n);
        QCOMPARE(helper.line(), QByteArray("ready"));
        const auto errorOf = [&](const QString &member, const QVariant &op, const QVariant &args) {
            QDBusMessage m = QDBusMessage::createMethodCall(n, QString::fromLatin1(ZDLocalCallbackServer::kObjectPath),
                                                            QString::fromLatin1(ZDLocalCallbackServer::kInterface), member);
            m << op << args;
            const QDBusMessage reply = QDBusConnection::sessionBus().call(m, QDBus::Block, 20000);
            return reply.type() == QDBusMessage::ErrorMessage ? reply.errorName() : QString();
        };
        const auto structure = [](const auto &a, const auto &b) {
            QDBusArgument s;
            s.beginStructure();
            s << a << b;
            s.endStructure();
            return QVariant::fromValue(QVariantList{QVariant::fromValue(s)});
        };
        const QString invoke = QString::fromLatin1(ZDLocalCallbackServer::kMethod);
        const QString invalid = QString::fromLatin1(ZDLocalCallbackServer::kErrorInvalidArguments);
        const QString unknown = QString::fromLatin1(ZDLocalCallbackServer::kErrorUnknownOperation);
        const QVariant none = QVariant::fromValue(QVariantList());
        QVERIFY(!errorOf(invoke, u"echo:"_s, 5).isEmpty());
        QVERIFY(!errorOf(u"Nope"_s, u"echo:"_s, none).isEmpty());
        QCOMPARE(errorOf(invoke, QString(), none), unknown);
        QCOMPARE(errorOf(invoke, QString(1000, QLatin1Char('x')), none), unknown);
        const QVariant path = QVariant::fromValue(QVariantList{QVariant::fromValue(QDBusObjectPath(u"/etc"_s))});
        QCOMPARE(errorOf(invoke, u"echo:"_s, path), invalid);
        QCOMPARE(errorOf(invoke, u"echo:"_s, structure(1, 2)), invalid);
        QCOMPARE(errorOf(invoke, u"echo:"_s, structure(u"bogus"_s, qlonglong(1))), invalid);
        const ZDLocalCallbackClient client(n);
        const ZDLocalCallbackClient::Reply r = client.call(u"echo:"_s, {u"alive"_s});
        QVERIFY2(r.ok, qPrintable(r.errorMessage));
        QCOMPARE(r.value, QVariant(QVariantList{u"alive"_s}));
    }
};

QTEST_GUILESS_MAIN(TestZDNotificationCenter)
#include "tst_zdnotificationcenter.moc"
