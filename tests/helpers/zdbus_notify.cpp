// A second process on the notification bus.
//   zdbus_notify observe NAME...        prints "ready", then "got <name> <userInfo>" per notification;
//                                       ends when standard input closes
//   zdbus_notify post NAME [USERINFO]   posts once; exit status 0 when the bus took it
// A userInfo travels on the command line and on standard output as base64 of a
// QDataStream'd QVariant, so every type comes back exactly.
#include "ZDTestFixtures.h"
#include "ZDTestTransfer.h"
#include "bus/ZDNotificationCenter.h"

using zdtest::decode;
using zdtest::encode;
using zdtest::say;

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    if (args.size() >= 2 && args.at(0) == QLatin1String("post")) {
        const QVariantMap info = args.size() > 2 && !args.at(2).isEmpty() ? decode(args.at(2).toLatin1()).toMap() : QVariantMap();
        return ZDNotificationCenter::postNotification(args.at(1), info) ? 0 : 1;
    }
    if (args.size() >= 2 && args.at(0) == QLatin1String("observe")) {
        ZDNotificationCenter center;
        if (!center.isConnected())
            return 2;
        for (const QString &name : args.mid(1)) {
            center.addObserver(name, [](const QString &n, const QVariantMap &info) {
                say("got " + n.toUtf8() + ' ' + encode(info));
            });
        }
        zdtest::quitWhenInputCloses(app);
        say("ready");
        return app.exec();
    }
    std::fprintf(stderr, "usage: zdbus_notify observe NAME... | post NAME [USERINFO]\n");
    return 64;
}
