// An agent that misbehaves on request, for the console's computer-record tests:
// old versions, no configuration, no configuration request at all, a given
// registered name, published on DNS-SD or not; or a rogue one (--hostile).
//   zdfake_orvagent [--port N] [--name REGISTERED] [--publish NAME] [--model MODEL]
//                [--version V] [--orv V] [--min-admin V] [--host HOST]
//                [--no-config] [--null-config] [--no-fetch] [--no-icon] [--hostile]
// Prints "PORT <n>", "PUBLISHED <name>" and "CALL <operation>" for every call it
// serves. Reads commands from standard input: "willDisconnect" calls
// willDisconnect: on every callback it was given; end of input quits.
// --hostile also serves validateUsername:password: (prints "CREDENTIALS <user>
// <password>", always refuses) and takes "spoof SELF VICTIM...": on every
// callback, each host-naming report about every victim, then a text naming SELF;
// "SENT spoof" once all were answered.
#include "ZDConnectionServer.h"
#include "ZDDNSSDPublisher.h"
#include "ZDEncryption.h"
#include "ZDLog.h"
#include "ZDOrvProtocol.h"
#include "ZDRemoteError.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <cstdio>
#include <mutex>
#include <unistd.h>

namespace {

std::mutex g_outMutex;

void say(const QString &line)
{
    std::lock_guard lock(g_outMutex);
    std::printf("%s\n", line.toUtf8().constData());
    std::fflush(stdout);
}

QString option(QStringList &args, const char *name, const QString &fallback = QString())
{
    const qsizetype i = args.indexOf(QLatin1String(name));
    if (i < 0 || i + 1 >= args.size())
        return fallback;
    const QString value = args.at(i + 1);
    args.remove(i, 2);
    return value;
}

bool flag(QStringList &args, const char *name)
{
    return args.removeAll(QLatin1String(name)) > 0;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    ZDLog::createNewLog(QStringLiteral("zdfake_orvagent"));
    QStringList args = app.arguments().mid(1);
    const quint16 port = quint16(option(args, "--port", QStringLiteral("0")).toUInt());
    const QString registered = option(args, "--name");
    const QString publishName = option(args, "--publish");
    const QString model = option(args, "--model", QStringLiteral("LinuxServer"));
    const QString version = option(args, "--version");
    const QString orv = option(args, "--orv");
    const QString minAdmin = option(args, "--min-admin");
    const QString host = option(args, "--host");
    const bool noConfig = flag(args, "--no-config");
    const bool nullConfig = flag(args, "--null-config");
    const bool noFetch = flag(args, "--no-fetch");
    const bool noIcon = flag(args, "--no-icon");
    const bool hostile = flag(args, "--hostile");

    std::mutex callbacksMutex;
    QList<ZDRemoteProxyPtr> callbacks;
    auto root = ZDRemoteObject::create();
    if (!noFetch) {
        root->addOperation(QString::fromLatin1(ZDOrv::kFetchInitialConfiguration), [&](const QVariantList &a) {
            say(QStringLiteral("CALL fetchInitialConfiguration:"));
            const auto record = ZDRemoteProxy::fromVariant(a.value(0));
            if (!record || noConfig)
                return QVariant();
            QVariantMap config;
            if (!version.isEmpty())
                config.insert(QString::fromLatin1(ZDOrv::kConfigVersion), version.toLongLong());
            if (!orv.isEmpty())
                config.insert(QString::fromLatin1(ZDOrv::kConfigOrvVersion), orv.toLongLong());
            if (!minAdmin.isEmpty())
                config.insert(QString::fromLatin1(ZDOrv::kConfigMinAdminVersion), minAdmin.toLongLong());
            if (!host.isEmpty())
                config.insert(QString::fromLatin1(ZDOrv::kConfigPreferredHostName), host);
            config.insert(QString::fromLatin1(ZDOrv::kConfigMaintenanceRequested), false);
            record->callOneway(QString::fromLatin1(ZDOrv::kProcessConfiguration),
                               {nullConfig ? QVariant() : QVariant(config)});
            return QVariant();
        });
    }
    root->addOperation(QString::fromLatin1(ZDOrv::kSetErrorCallback), [&](const QVariantList &a) {
        say(QStringLiteral("CALL setErrorCallback:"));
        if (auto cb = ZDRemoteProxy::fromVariant(a.value(0))) {
            std::lock_guard lock(callbacksMutex);
            callbacks << cb;
        }
        return QVariant();
    });
    root->addOperation(QString::fromLatin1(ZDOrv::kPing), [](const QVariantList &) {
        say(QStringLiteral("CALL ping"));
        return QVariant();
    });
    if (!noIcon) {
        root->addOperation(QString::fromLatin1(ZDOrv::kComputerIcon), [](const QVariantList &) {
            say(QStringLiteral("CALL computerIcon"));
            // A 4 x 4 red square.
            return QVariant(QByteArray::fromHex(
                "89504e470d0a1a0a0000000d4948445200000004000000040806000000a9f19e7e0000001249444154789c63f8cfc0f01f1933"
                "902e00003c401fe1e08177b40000000049454e44ae426082"));
        });
    }

    if (hostile) {
        root->addOperation(QString::fromLatin1(ZDOrv::kValidateUsernamePassword), [](const QVariantList &a) {
            say(QStringLiteral("CREDENTIALS %1 %2").arg(a.value(0).toString(),
                                                       ZDEncryption::decryptCredential(a.value(1).toByteArray())));
            return QVariant(false);
        });
    }
    // Every report a console takes with a host name, each naming the victim.
    const auto spoof = [&](const QString &self, const QStringList &victims) {
        using namespace ZDOrv;
        const QVariant wrong = QVariant::fromValue(ZDRemoteError(QString::fromLatin1(kErrorDomain), kErrorWrongCredentials));
        QList<QPair<const char *, QVariantList>> calls;
        for (const QString &victim : victims) {
            calls.append({{kAddErrorToQueueHostname, {wrong, victim}},
                          {kAddErrorToQueueUserInfo, {wrong, QVariantMap{{QStringLiteral("hostname"), victim}}}},
                          {kAddStringToQueueHostname, {QStringLiteral("<img src=\"/dev/zero\">\x1b[2J spoofed"), victim}},
                          {kRequestMaintenance, {victim}},
                          {kCancelMaintenance, {victim}},
                          {kUpdateConfig, {victim}},
                          {kWillDisconnect, {victim}}});
        }
        calls.append({kAddStringToQueueHostname, {QStringLiteral("rogue marker"), self}});
        std::lock_guard lock(callbacksMutex);
        for (const auto &cb : std::as_const(callbacks)) {
            for (const auto &[op, arguments] : calls) {
                try {
                    cb->call(QString::fromLatin1(op), arguments);
                } catch (const ZDLinkException &e) {
                    say(QStringLiteral("REFUSED %1 %2").arg(QString::fromLatin1(op), e.reason()));
                }
            }
        }
        say(QStringLiteral("SENT spoof"));
    };

    ZDConnectionServer server;
    server.setRootObject(root);
    server.setRegisteredName(registered);
    QString error;
    if (!server.listen(QString(), port, &error)) {
        say(QStringLiteral("FAILED ") + error);
        return 1;
    }
    say(QStringLiteral("PORT %1").arg(server.port()));

    ZDDNSSDPublisher publisher;
    if (!publishName.isEmpty()) {
        QObject::connect(&publisher, &ZDDNSSDPublisher::published,
                         [](const QString &name) { say(QStringLiteral("PUBLISHED ") + name); });
        publisher.setCollisionPolicy(ZDDNSSDPublisher::CollisionPolicy::Fail);
        publisher.publish(publishName, server.port(),
                          {{QString::fromLatin1(ZDOrv::kTxtModel), model},
                           {QString::fromLatin1(ZDOrv::kTxtName), registered},
                           {QString::fromLatin1(ZDOrv::kTxtIp), QStringLiteral("127.0.0.1")}});
    }

    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, [&] {
        char buffer[256];
        const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer - 1);
        if (n <= 0) {
            input.setEnabled(false);
            app.quit();
            return;
        }
        const QList<QByteArray> words = QByteArray(buffer, int(n)).simplified().split(' ');
        if (hostile && words.size() > 2 && words[0] == "spoof") {
            QStringList victims;
            for (const QByteArray &w : words.mid(2))
                victims << QString::fromUtf8(w);
            spoof(QString::fromUtf8(words[1]), victims);
        } else if (words.value(0) == "willDisconnect") {
            std::lock_guard lock(callbacksMutex);
            for (const auto &cb : std::as_const(callbacks)) {
                try {
                    cb->callOneway(QString::fromLatin1(ZDOrv::kWillDisconnect), {host});
                } catch (const ZDLinkException &) {
                }
            }
            say(QStringLiteral("SENT willDisconnect"));
        }
    });
    const int rc = app.exec();
    publisher.withdraw();
    server.close();
    return rc;
}
