#include "ZDLocalCallbackClient.h"
#include "ZDLocalCallbackServer.h"
#include "ZDTestFixtures.h"
#include "ZDTestTransfer.h"
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusServiceWatcher>
#include <QtTest>
#include <limits>
#include <stdexcept>

using namespace Qt::StringLiterals;

namespace {

using zdtest::encode;
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

QVariantList nestedArguments()
{
    return {
        QVariantMap{{u"errorCode"_s, qint64(1003)},
                    {u"when"_s, QDateTime(QDate(2026, 1, 2), QTime(3, 4, 5, 6), Qt::UTC)},
                    {u"data"_s, QByteArray("\0\x7f", 2)},
                    {u"steps"_s, QVariantList{1.5, false, QVariant(), QVariantMap()}}},
        u"Edit-Suite-3.local."_s,
        std::numeric_limits<qint64>::max(),
    };
}

} // namespace

class TestZDLocalCallback : public QObject
{
    Q_OBJECT
    static QString name(const char *what)
    {
        return zdtest::uniqueName(QLatin1String(ZDLocalCallbackServer::kServiceName) + u".t"_s, what);
    }

private Q_SLOTS:
    void initTestCase()
    {
        if (!QDBusConnection::sessionBus().isConnected())
            QSKIP("No session bus reachable; run the tests through scripts/test-services.sh.");
    }
    void occupiedNameIsReportedAndNeverTaken()
    {
        const QString n = name("Occupied");
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
        const QString n = name("Served");
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
        const QString n = name("Client");
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
        const ZDLocalCallbackClient nobody(name("Nobody"));
        QVERIFY(!nobody.isAvailable());
        r = nobody.call(u"echo:"_s);
        QCOMPARE(r.errorName, QString::fromLatin1(ZDLocalCallbackClient::kErrorNoOwner));
        QVERIFY(r.errorMessage.contains(name("Nobody")));
        QVERIFY(!nobody.callOneway(u"echo:"_s));
    }
    void malformedCallsAreRefusedAndTheServerLivesOn()
    {
        const QString n = name("Raw");
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

QTEST_GUILESS_MAIN(TestZDLocalCallback)
#include "tst_zdlocalcallback.moc"
