// A publisher in a process of its own, for the DNS-SD tests: a second computer's
// agent, one that dies without withdrawing, or one whose host never answers.
//   zddnssd_publish [--host HOST] [--type TYPE] NAME PORT [KEY=VALUE ...]
//   zddnssd_publish --browse TYPE
// Prints "PUBLISHED <name>", "FOUND <name>", "RESOLVED <name> <host> <port> <addresses>",
// "REMOVED <name>" and "FAILED <error> <message>" lines and
// runs until killed. With --host the service points at HOST, which nobody announces.
#include "dnssd/ZDAvahiClient.h"
#include "dnssd/ZDDNSSDBrowser.h"
#include "dnssd/ZDDNSSDPublisher.h"
#include "dnssd/ZDDNSSDTxtRecord.h"
#include "log/ZDLog.h"

#include <QCoreApplication>
#include <QMetaEnum>

#include <cstdio>

namespace {

void say(const QString &line)
{
    std::printf("%s\n", line.toUtf8().constData());
    std::fflush(stdout);
}

// Raw avahi: our publisher always points at this computer.
struct Unresolvable
{
    std::unique_ptr<ZDAvahiClient> avahi;
    ZDAvahiPtr<AvahiEntryGroup> group;
    QByteArray host, name, type;
    quint16 port = 0;

    void onState(AvahiClient *c, AvahiClientState state)
    {
        if (state != AVAHI_CLIENT_S_RUNNING || group)
            return;
        group.reset(avahi_entry_group_new(c, &Unresolvable::groupState, this));
        if (!group || avahi_entry_group_add_service(group.get(), AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, AvahiPublishFlags(0),
                                                    name.constData(), type.constData(), nullptr, host.constData(), port,
                                                    nullptr) < 0
            || avahi_entry_group_commit(group.get()) < 0)
            say(QStringLiteral("FAILED Failure %1").arg(ZDAvahiClient::errorText(avahi_client_errno(c))));
    }

    static void groupState(AvahiEntryGroup *, AvahiEntryGroupState state, void *userdata)
    {
        if (state == AVAHI_ENTRY_GROUP_ESTABLISHED)
            say(QStringLiteral("PUBLISHED ") + QString::fromUtf8(static_cast<Unresolvable *>(userdata)->name));
    }
};

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    ZDLog::createNewLog();
    QStringList args = app.arguments().mid(1);
    QString host;
    QString browse;
    QString type = QString::fromLatin1(ZDDNSSDPublisher::kServiceType);
    while (args.size() >= 2 && args.first().startsWith(QLatin1String("--"))) {
        const QString option = args.takeFirst();
        (option == QLatin1String("--host") ? host : option == QLatin1String("--browse") ? browse : type) = args.takeFirst();
    }
    if (!browse.isEmpty()) {
        ZDDNSSDBrowser browser;
        QObject::connect(&browser, &ZDDNSSDBrowser::serviceFound,
                         [](const ZDDNSSDService &s) { say(QStringLiteral("FOUND ") + s.name); });
        QObject::connect(&browser, &ZDDNSSDBrowser::serviceResolved, [](const ZDDNSSDService &s) {
            say(QStringLiteral("RESOLVED %1 %2 %3 %4").arg(s.name, s.hostName).arg(s.port).arg(s.addresses.join(QLatin1Char(','))));
        });
        QObject::connect(&browser, &ZDDNSSDBrowser::serviceRemoved,
                         [](const ZDDNSSDService &s) { say(QStringLiteral("REMOVED ") + s.name); });
        QObject::connect(&browser, &ZDDNSSDBrowser::failed, [](ZDDNSSDBrowser::Error e, const QString &message) {
            say(QStringLiteral("FAILED %1 %2").arg(QString::fromLatin1(QMetaEnum::fromType<ZDDNSSDBrowser::Error>().valueToKey(int(e))), message));
        });
        browser.start(browse);
        return app.exec();
    }
    if (args.size() < 2) {
        std::fprintf(stderr, "usage: zddnssd_publish [--host HOST] [--type TYPE] NAME PORT [KEY=VALUE ...] | --browse TYPE\n");
        return 2;
    }
    const QString name = args.takeFirst();
    const auto port = static_cast<quint16>(args.takeFirst().toUInt());
    QVariantMap txt;
    for (const QString &pair : args)
        txt.insert(pair.section(QLatin1Char('='), 0, 0), pair.section(QLatin1Char('='), 1));

    if (!host.isEmpty()) {
        Unresolvable raw;
        raw.host = host.toUtf8();
        raw.name = name.toUtf8();
        raw.type = type.toUtf8();
        while (raw.type.endsWith('.'))
            raw.type.chop(1);
        raw.port = port;
        int err = 0;
        raw.avahi = ZDAvahiClient::create([&raw](AvahiClient *c, AvahiClientState s) { raw.onState(c, s); }, &err);
        if (!raw.avahi || !raw.avahi->run(&err)) {
            say(QStringLiteral("FAILED Failure %1").arg(ZDAvahiClient::errorText(err)));
            return 1;
        }
        const int status = app.exec();
        raw.avahi->stop();
        raw.group.reset();
        return status;
    }

    ZDDNSSDPublisher publisher;
    QObject::connect(&publisher, &ZDDNSSDPublisher::published, [](const QString &n) { say(QStringLiteral("PUBLISHED ") + n); });
    QObject::connect(&publisher, &ZDDNSSDPublisher::failed, [](ZDDNSSDPublisher::Error e, const QString &message) {
        say(QStringLiteral("FAILED %1 %2").arg(QString::fromLatin1(QMetaEnum::fromType<ZDDNSSDPublisher::Error>().valueToKey(int(e))), message));
    });
    publisher.publish(name, port, txt, ZDDNSSDPublisher::kAllInterfaces, type);
    return app.exec();
}
