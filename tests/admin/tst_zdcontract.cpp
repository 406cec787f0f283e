// The operation contract against the programs that serve it: a real agent serves
// every agent operation the contract does not leave to a later feature, the
// console's objects serve exactly their side, and a bad argument of any kind to
// any served operation (wrong kind, one missing, oversized text, nested values) is
// refused with a log line, never run, and never harms the peer.
#include "dispatch/ZDCallback.h"
#include "link/ZDConnection.h"
#include "dispatch/ZDErrorCallback.h"
#include "rpc/ZDLinkException.h"
#include "rpc/ZDOrvContract.h"
#include "rpc/ZDOrvProtocol.h"
#include "ZDEnrolledPeer.h"
#include "ZDRealAgent.h"
#include "rpc/ZDRemoteError.h"
#include "rpc/ZDRemoteProxy.h"
#include "fleet/ZDService.h"

#include <QtTest>

using namespace ZDOrv;

namespace {

QVariant goodValue(Kind kind)
{
    switch (kind) {
    case Kind::Bool: case Kind::Integer: case Kind::Size:
        return 16;
    case Kind::Text: case Kind::OptionalText:
        return QStringLiteral("t");
    case Kind::HostName:
        return QStringLiteral("contract.local.");
    case Kind::Path:
        return QStringLiteral("/nonexistent/contract.log");
    case Kind::Data:
        return QByteArray("d");
    case Kind::Date:
        return QDateTime::currentDateTimeUtc();
    case Kind::Error:
        return QVariant::fromValue(ZDRemoteError(QString::fromLatin1(ZDOrv::kErrorDomain), 1));
    case Kind::TextArray:
        return QStringList{QStringLiteral("a")};
    case Kind::Reference: case Kind::OptionalReference:
        return QVariant::fromValue(ZDRemoteObject::create());
    case Kind::Array:
        return QVariantList();
    case Kind::Dictionary:
        return QVariantMap();
    default:
        return QVariant(QStringLiteral("x"));
    }
}

QVariant nested(int depth)
{
    QVariant v = QStringLiteral("deep");
    for (int i = 0; i < depth; ++i)
        v = QVariantList{QVariantMap{{QStringLiteral("k"), v}}};
    return v;
}

// Argument lists the contract must refuse for op.
QList<QVariantList> badCalls(const Operation &op)
{
    const int n = op.argumentCount();
    QVariantList good;
    for (int i = 0; i < n; ++i)
        good << goodValue(op.arguments[i]);
    QList<QVariantList> bad;
    bad << (n > 0 ? good.mid(0, n - 1) : QVariantList{QStringLiteral("extra")});
    for (int i = 0; i < n; ++i) {
        const Kind kind = op.arguments[i];
        if (kind == Kind::Any)
            continue;
        QVariantList wrong = good;
        const bool textual = kind == Kind::Text || kind == Kind::OptionalText || kind == Kind::HostName
                             || kind == Kind::Path || kind == Kind::Data || kind == Kind::Error || kind == Kind::Date;
        wrong[i] = textual ? QVariant(qint64(42)) : QVariant(QStringLiteral("x"));
        bad << wrong;
        if (kind != Kind::Array) {
            wrong[i] = nested(10);
            bad << wrong;
        }
        if (textual && kind != Kind::Data && kind != Kind::Error && kind != Kind::Date) {
            const qsizetype limit = kind == Kind::HostName ? kMaxHostName : kind == Kind::Path ? kMaxPath : kMaxText;
            wrong[i] = QString(limit + 1, QLatin1Char('x'));
            bad << wrong;
        }
    }
    return bad;
}

QStringList servedNames(Side side)
{
    QStringList names;
    for (const Operation &op : operations())
        if (op.side == side && !op.feature)
            names << QString::fromLatin1(op.name);
    names.sort();
    return names;
}

} // namespace

class TestContract : public QObject
{
    Q_OBJECT
    ZDRealAgent m_agent;
    // Where the agent logs: the user's log folder, or the computer's when it runs as root.
    QString agentLog() const
    {
        QString text;
        for (const char *folder : {"/home/.local/state/log", "/var/log"}) {
            QFile f(m_agent.root() + QLatin1String(folder) + QStringLiteral("/Zendrel/KestraClient.1.log"));
            if (f.open(QIODevice::ReadOnly))
                text += QString::fromUtf8(f.readAll());
        }
        return text;
    }

private Q_SLOTS:
    void agentServesTheContractAndRefusesBadArguments()
    {
        if (!ZDRealAgent::exists())
            QSKIP("KestraClient is not built");
        QVERIFY2(m_agent.start(ZDRealAgent::freePort()), qPrintable(m_agent.output()));
        auto link = ZDConnection::connectToHost(QStringLiteral("127.0.0.1"), m_agent.port(), {}, zdtest::enrolledOptions());
        QVERIFY(link);
        const ZDRemoteProxyPtr agent = link->rootProxy();
        // Served now, or named as coming with a later feature; nothing else.
        for (const Operation &op : operations()) {
            if (op.side == Side::Agent)
                QVERIFY2(agent->respondsToSelector(QString::fromLatin1(op.name)) == !op.feature, op.name);
        }
        int calls = 0;
        for (const Operation &op : operations()) {
            if (op.side != Side::Agent || op.feature)
                continue;
            for (const QVariantList &args : badCalls(op)) {
                const auto before = agentLog().count(QStringLiteral("argument"));
                if (op.call == Call::Synchronous) {
                    try {
                        const QVariant answer = agent->call(QString::fromLatin1(op.name), args);
                        // A refused read answers as a failed one: nothing, or no for a check.
                        QVERIFY2(!answer.isValid() || answer.isNull() || answer == QVariant(false), op.name);
                    } catch (const ZDLinkException &e) {
                        QVERIFY2(e.kind() != ZDLinkException::Kind::LinkFailure, qPrintable(e.reason()));
                    }
                } else {
                    agent->callOneway(QString::fromLatin1(op.name), args);
                }
                QTRY_VERIFY2_WITH_TIMEOUT(agentLog().count(QStringLiteral("argument")) > before, op.name, 20000);
                ++calls;
            }
            agent->call(QString::fromLatin1(ZDOrv::kPing)); // still there, on the same link
        }
        QVERIFY(calls > 100);
    }
    void consoleObjectsServeTheirSideAndRefuseBadArguments()
    {
        auto errors = std::make_shared<ZDErrorCallback>();
        const auto record = ZDService::serviceWithName(QStringLiteral("Contract"), QString(),
                                                       QStringLiteral("127.0.0.1"), 1, errors);
        ZDCallback answer(QStringLiteral("ZDKMTContract"), QStringLiteral("contract.local."));
        const std::pair<Side, ZDRemoteObjectPtr> objects[] = {{Side::Console, errors->remoteObject()},
                                                             {Side::ComputerRecord, record->remoteObject()},
                                                             {Side::TaskCallback, answer.remoteObject()}};
        for (const auto &[side, object] : objects) {
            QStringList served = object->operations();
            served.sort();
            QCOMPARE(served, servedNames(side));
            for (const QString &name : served) {
                for (const QVariantList &args : badCalls(*find(side, name.toStdString())))
                    QVERIFY_THROWS_EXCEPTION(ZDLinkException, object->invoke(name, args));
            }
        }
        QCoreApplication::processEvents();
        QCOMPARE(errors->errorCount(), 0);
        record->invalidate(false);
    }
};

QTEST_MAIN(TestContract)
#include "tst_zdcontract.moc"
