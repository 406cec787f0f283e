// A small agent for the dispatcher and command-line tests: vends the operations
// they use on a loopback port, checks credentials against the ones it was started
// with, and remembers what it was asked (operation "fakeCalls"). It keeps agent
// settings ("fakeSetSetting:value:" changes one behind the console's back) and
// lists logs, among them "huge.log" and "binary.log", whose texts are oversized
// and not text.
//
//   zdfake_agent --port P --host NAME [--version N] [--user U] [--password-file F] [--null-config]
//
// "fakeSpoof:" plays a rogue agent: every callback that names a computer, naming
// the one given.
//
// The password comes from a file, never the command line. Prints "ready <port>"
// once listening. Quits on "disconnect".
#include "ZDConnectionServer.h"
#include "ZDEncryption.h"
#include "ZDRemoteObject.h"
#include "ZDRemoteError.h"
#include "ZDRemoteProxy.h"

#include <QCoreApplication>
#include <QFile>
#include <QMutex>
#include <QStringList>

#include <cstdio>
#include <memory>

namespace {

struct Agent
{
    QString host;
    QString user;
    QString password;
    int version = 1100;
    QMutex mutex;
    QStringList calls;
    ZDRemoteProxyPtr errorCallback;
    QVariantMap settings{{QStringLiteral("autoUpdateCheck"), 1}, {QStringLiteral("globalUpdateCheck"), 1},
                         {QStringLiteral("showMenuBarIcon"), 1}, {QStringLiteral("enableMaintenanceRequests"), 1}};

    void record(const QString &line)
    {
        QMutexLocker lock(&mutex);
        calls << line;
    }
    ZDRemoteProxyPtr callback()
    {
        QMutexLocker lock(&mutex);
        return errorCallback;
    }

    // "ok", "refused", or "plain" when the password arrived unencrypted.
    QString check(const QString &name, const QVariant &data)
    {
        const QByteArray bytes = data.toByteArray();
        if (!bytes.isEmpty() && bytes == password.toUtf8())
            return QStringLiteral("plain");
        return (name == user && ZDEncryption::decryptCredential(bytes) == password) ? QStringLiteral("ok")
                                                                                  : QStringLiteral("refused");
    }
};

QString argValue(const QStringList &args, const QString &name, const QString &fallback = QString())
{
    const qsizetype i = args.indexOf(name);
    return i >= 0 && i + 1 < args.size() ? args.at(i + 1) : fallback;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    auto agent = std::make_shared<Agent>();
    agent->host = argValue(args, QStringLiteral("--host"), QStringLiteral("fake"));
    agent->version = argValue(args, QStringLiteral("--version"), QStringLiteral("1100")).toInt();
    agent->user = argValue(args, QStringLiteral("--user"));
    const QString passwordFile = argValue(args, QStringLiteral("--password-file"));
    if (!passwordFile.isEmpty()) {
        QFile f(passwordFile);
        if (f.open(QIODevice::ReadOnly))
            agent->password = QString::fromUtf8(f.read(4096)).trimmed();
    }
    const quint16 port = quint16(argValue(args, QStringLiteral("--port"), QStringLiteral("0")).toUInt());
    const QString dotted = agent->host + QLatin1Char('.');
    const bool nullConfig = args.contains(QStringLiteral("--null-config"));

    auto root = ZDRemoteObject::create();
    using Call = ZDRemoteObject::Call;
    // Operations that only note that they were asked and give a fixed answer.
    const auto recorded = [&root, agent](const QString &op, const QVariant &answer, Call call = Call::Synchronous) {
        root->addOperation(op, [agent, op, answer](const QVariantList &) {
            agent->record(op);
            return answer;
        }, call);
    };
    root->addOperation(QStringLiteral("fetchInitialConfiguration:"), [agent, dotted, nullConfig](const QVariantList &a) {
        const ZDRemoteProxyPtr record = ZDRemoteProxy::fromVariant(a.value(0));
        if (record && nullConfig) {
            record->callOneway(QStringLiteral("processConfiguration:"), {QVariant()});
        } else if (record) {
            const QVariantMap config{{QStringLiteral("version"), agent->version},
                                     {QStringLiteral("versionString"), QStringLiteral("1.1")},
                                     {QStringLiteral("maintenanceRequested"), false},
                                     {QStringLiteral("orvVersion"), 1000},
                                     {QStringLiteral("orvVersionString"), QStringLiteral("1.0")},
                                     {QStringLiteral("minAdminVersion"), 0},
                                     {QStringLiteral("preferredHostName"), dotted},
                                     {QStringLiteral("hostNames"), QVariantList{dotted}}};
            record->callOneway(QStringLiteral("processConfiguration:"), {config});
        }
        return QVariant();
    }, Call::Oneway);
    root->addOperation(QStringLiteral("setErrorCallback:"), [agent](const QVariantList &a) {
        QMutexLocker lock(&agent->mutex);
        agent->errorCallback = ZDRemoteProxy::fromVariant(a.value(0));
        return QVariant();
    }, Call::Oneway);
    root->addOperation(QStringLiteral("ping"), [](const QVariantList &) { return QVariant(); });
    root->addOperation(QStringLiteral("computerIcon"), [](const QVariantList &) { return QByteArray(); });
    root->addOperation(QStringLiteral("computerIcon:"), [](const QVariantList &) { return QByteArray(); });
    recorded(QStringLiteral("systemSpecs"),
             QVariantMap{{QStringLiteral("host"), agent->host}, {QStringLiteral("model"), QStringLiteral("FakeBook")}});
    recorded(QStringLiteral("gatherLogs"), QVariantMap{{QStringLiteral("/log/") + agent->host, QByteArray("log")}});
    recorded(QStringLiteral("initialConfiguration"), QVariantMap{{QStringLiteral("version"), agent->version}});
    root->addOperation(QStringLiteral("logWithFilename:"), [agent](const QVariantList &a) {
        const QString name = a.value(0).toString();
        agent->record(QStringLiteral("logWithFilename: ") + name);
        // Oversized and binary answers, for the console's bounds.
        if (name == QLatin1String("huge.log"))
            return QVariant(QString(6 * 1024 * 1024, QLatin1Char('x')));
        if (name == QLatin1String("binary.log"))
            return QVariant(QByteArray("\x00\x01\x02\xff\xfe", 5));
        return QVariant(QStringLiteral("text of ") + name);
    });
    root->addOperation(QStringLiteral("validateUsername:password:"), [agent](const QVariantList &a) {
        const QString result = agent->check(a.value(0).toString(), a.value(1));
        agent->record(QStringLiteral("validateUsername:password: %1 %2").arg(a.value(0).toString(), result));
        return result == QLatin1String("ok");
    });
    root->addOperation(QStringLiteral("executeTask:bundleID:options:"), [agent](const QVariantList &a) {
        agent->record(QStringLiteral("executeTask %1 %2 %3")
                          .arg(a.value(0).toString(), a.value(1).toString(), a.value(2).toStringList().join(u',')));
        return QVariant();
    });
    root->addOperation(QStringLiteral("authExecuteTask:bundleID:options:username:password:"),
                       [agent](const QVariantList &a) {
                           const QString result = agent->check(a.value(3).toString(), a.value(4));
                           agent->record(QStringLiteral("authExecuteTask %1 %2 %3 %4")
                                             .arg(a.value(0).toString(), a.value(1).toString(),
                                                  a.value(3).toString(), result));
                           return QVariant();
                       });
    root->addOperation(
        QStringLiteral("authExecuteTask:bundleID:options:username:password:callback:callbackName:"),
        [agent](const QVariantList &a) {
            const QString result = agent->check(a.value(3).toString(), a.value(4));
            agent->record(QStringLiteral("authExecuteTaskCallback %1 %2 %3")
                              .arg(a.value(0).toString(), a.value(6).toString(), result));
            if (const ZDRemoteProxyPtr callback = ZDRemoteProxy::fromVariant(a.value(5)))
                callback->callOneway(QStringLiteral("postCallback:"),
                                     {QVariantMap{{QStringLiteral("output"), QStringLiteral("done ") + result}}});
            return QVariant();
        },
        Call::Oneway);
    root->addOperation(QStringLiteral("installZendrelNuvell:settings:"), [agent](const QVariantList &a) {
        const QVariantMap auth = a.value(0).toMap();
        const QVariantMap rest = a.value(1).toMap();
        const QString result = agent->check(auth.value(QStringLiteral("authUser")).toString(),
                                            auth.value(QStringLiteral("authPass")));
        agent->record(QStringLiteral("installZendrelNuvell %1 %2 %3")
                          .arg(auth.value(QStringLiteral("authUser")).toString(), result,
                               QStringList(rest.keys()).join(u',')));
        return QVariant();
    }, Call::Oneway);
    const QVariantMap task{{QStringLiteral("id"), QStringLiteral("clean")},
                           {QStringLiteral("command"), QStringList{QStringLiteral("--clean")}},
                           {QStringLiteral("description"), QStringLiteral("Cleans the caches")}};
    recorded(QStringLiteral("zdAppTasks"), QVariantList{QVariantMap{{QStringLiteral("name"), QStringLiteral("Fake Tool")},
                                                                    {QStringLiteral("bundleid"), QStringLiteral("com.zendrel.faketool")},
                                                                    {QStringLiteral("tasks"), QVariantList{task}}}});
    recorded(QStringLiteral("relaunch"), QVariant(), Call::Oneway);
    root->addOperation(QStringLiteral("disconnect"), [agent](const QVariantList &) {
        agent->record(QStringLiteral("disconnect"));
        QMetaObject::invokeMethod(QCoreApplication::instance(), [] { QCoreApplication::exit(0); },
                                  Qt::QueuedConnection);
        return QVariant();
    }, Call::Oneway);
    // Reports an error text to the console and answers once it arrived there.
    root->addOperation(QStringLiteral("fakePostError:"), [agent, dotted](const QVariantList &a) {
        const ZDRemoteProxyPtr callback = agent->callback();
        if (callback)
            callback->call(QStringLiteral("addStringToQueue:hostname:"), {a.value(0).toString(), dotted});
        return QVariant(bool(callback));
    });
    // Reports refused credentials (error 1006), as a privileged task would.
    root->addOperation(QStringLiteral("fakeRefuse"), [agent, dotted](const QVariantList &) {
        const ZDRemoteProxyPtr callback = agent->callback();
        if (callback)
            callback->call(QStringLiteral("addErrorToQueue:hostname:"),
                           {QVariant::fromValue(ZDRemoteError(QStringLiteral("orvDomain"), 1006)), dotted});
        return QVariant(bool(callback));
    });
    root->addOperation(QStringLiteral("fakeSpoof:"), [agent](const QVariantList &a) {
        const ZDRemoteProxyPtr callback = agent->callback();
        const QString victim = a.value(0).toString();
        const QVariant refused = QVariant::fromValue(ZDRemoteError(QStringLiteral("orvDomain"), 1006));
        if (callback) {
            for (const char *op : {"requestMaintenance:", "updateConfig:", "willDisconnect:"})
                callback->call(QString::fromLatin1(op), {victim});
            callback->call(QStringLiteral("addErrorToQueue:userInfo:"),
                           {refused, QVariantMap{{QStringLiteral("hostname"), victim}}});
            callback->call(QStringLiteral("addStringToQueue:hostname:"), {QStringLiteral("spoofed"), victim});
            callback->call(QStringLiteral("addErrorToQueue:hostname:"), {refused, victim});
        }
        return QVariant(bool(callback));
    });
    // The agent settings as the real agent keeps them: -1 leaves a value alone.
    root->addOperation(QStringLiteral("networkClientSettings"), [agent](const QVariantList &) {
        agent->record(QStringLiteral("networkClientSettings"));
        QMutexLocker lock(&agent->mutex);
        return QVariant(agent->settings);
    });
    root->addOperation(QStringLiteral("setNetworkClientSettings:"), [agent](const QVariantList &a) {
        const QVariantMap in = a.value(0).toMap();
        QStringList shown;
        QMutexLocker lock(&agent->mutex);
        for (auto it = in.cbegin(); it != in.cend(); ++it) {
            shown << it.key() + QLatin1Char('=') + QString::number(it.value().toInt());
            if (it.value().toInt() != -1)
                agent->settings.insert(it.key(), it.value().toInt());
        }
        agent->calls << QStringLiteral("setNetworkClientSettings: ") + shown.join(u',');
        return QVariant();
    });
    recorded(QStringLiteral("populateZDLogFilenames"),
             QStringList{QStringLiteral("KestraClient.1.log"), QStringLiteral("huge.log"), QStringLiteral("binary.log")});
    root->addOperation(QStringLiteral("fakeSetSetting:value:"), [agent](const QVariantList &a) {
        QMutexLocker lock(&agent->mutex);
        agent->settings.insert(a.value(0).toString(), a.value(1).toInt());
        return QVariant(true);
    });
    root->addOperation(QStringLiteral("fakeCalls"), [agent](const QVariantList &) {
        QMutexLocker lock(&agent->mutex);
        return QVariant(agent->calls);
    });

    ZDConnectionServer server;
    server.setRootObject(root);
    server.setRegisteredName(QStringLiteral("KestraClient - ") + dotted);
    QString error;
    if (!server.listen(QStringLiteral("127.0.0.1"), port, &error)) {
        std::fprintf(stderr, "listen failed: %s\n", qPrintable(error));
        return 1;
    }
    std::printf("ready %u\n", unsigned(server.port()));
    std::fflush(stdout);
    const int rc = app.exec();
    server.close();
    return rc;
}
