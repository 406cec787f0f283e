// A second process on the local callback connection.
//   zdbus_callback serve NAME   holds NAME and prints "ready", or prints "occupied <who>" and
//                               exits 3; serves until standard input closes. Operations:
//                               "echo:" (any arguments, answers them as a list),
//                               "note:" (1, prints "note <argument>"), "fail" (throws),
//                               "nap:" (1, sleeps that many ms, answers it)
//   zdbus_callback call NAME OP [ARGS] [oneway] [TIMEOUT_MS]
//                               prints "ok <result>" or "error <name> <message>"
// Values travel as base64 of a QDataStream'd QVariant.
#include "ZDTestFixtures.h"
#include "ZDTestTransfer.h"
#include "bus/ZDLocalCallbackClient.h"
#include "bus/ZDLocalCallbackServer.h"

#include <QThread>

#include <stdexcept>

namespace {

using zdtest::decode;
using zdtest::encode;
using zdtest::say;

int serve(QCoreApplication &app, const QString &name)
{
    ZDLocalCallbackServer server(name);
    server.addOperation(QStringLiteral("echo:"), ZDLocalCallbackServer::kAnyArgumentCount,
                        [](const QVariantList &a) { return QVariant(a); });
    server.addOperation(QStringLiteral("note:"), 1, [](const QVariantList &a) {
        say("note " + encode(a.constFirst()));
        return QVariant();
    });
    server.addOperation(QStringLiteral("fail"), 0, [](const QVariantList &) -> QVariant {
        throw std::runtime_error("deliberate failure");
    });
    server.addOperation(QStringLiteral("nap:"), 1, [](const QVariantList &a) {
        QThread::msleep(static_cast<unsigned long>(qBound<qint64>(qint64(0), a.constFirst().toLongLong(), qint64(10000))));
        return a.constFirst();
    });
    if (server.start() != ZDLocalCallbackServer::Status::Registered) {
        say("occupied " + server.occupant().toUtf8());
        return 3;
    }
    zdtest::quitWhenInputCloses(app);
    say("ready");
    return app.exec();
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    if (args.size() == 2 && args.at(0) == QLatin1String("serve"))
        return serve(app, args.at(1));
    if (args.size() >= 3 && args.at(0) == QLatin1String("call")) {
        const QVariantList callArgs = args.size() > 3 && !args.at(3).isEmpty() ? decode(args.at(3).toLatin1()).toList() : QVariantList();
        const bool oneway = args.size() > 4 && args.at(4) == QLatin1String("oneway");
        const int timeout = args.size() > 5 ? args.at(5).toInt() : ZDLocalCallbackClient::kDefaultTimeoutMs;
        const ZDLocalCallbackClient client(args.at(1), timeout);
        if (oneway) {
            say(client.callOneway(args.at(2), callArgs) ? "ok" : "error not-sent");
            return 0;
        }
        const ZDLocalCallbackClient::Reply r = client.call(args.at(2), callArgs);
        say(r.ok ? "ok " + encode(r.value) : "error " + r.errorName.toUtf8() + ' ' + r.errorMessage.toUtf8());
        return 0;
    }
    std::fprintf(stderr, "usage: zdbus_callback serve NAME | call NAME OP [ARGS] [oneway|wait] [TIMEOUT_MS]\n");
    return 64;
}
