// An agent that misbehaves on request, for the console's computer-record tests:
// old versions, no configuration, no configuration request at all, a given
// registered name, published on DNS-SD or not; or a rogue one (--hostile).
//   zdfake_orvagent [--port N] [--name REGISTERED] [--publish NAME] [--model MODEL]
//                [--version V] [--orv V] [--min-admin V] [--host HOST]
//                [--no-config] [--null-config] [--no-fetch] [--no-icon] [--hostile]
// Prints "PORT <n>", "PUBLISHED <name>" and "CALL <operation>" for every call it
// serves ("fakeTogether: COUNT" answers once COUNT such calls wait together).
// Reads commands from standard input: "willDisconnect" calls
// willDisconnect: on every callback it was given; end of input quits.
// --hostile also serves validateUsername:password: (prints "CREDENTIALS <user>
// <password>", always refuses) and takes "spoof SELF VICTIM...": on every
// callback, each host-naming report about every victim, then a text naming SELF;
// "SENT spoof" once all were answered.
// --tasks makes it the small agent of the dispatcher, window and command-line tests
// instead (with --host NAME [--user U --password-file F], on 127.0.0.1, silent): it vends
// the operations they use, checks credentials against the given ones (the password
// from a file, never the command line), remembers what it was asked ("fakeCalls"),
// keeps agent settings ("fakeSetSetting:value:" changes one behind the console's
// back), lists oversized and binary logs, and quits on "disconnect". "fakeSpoof:"
// makes it a rogue reporting about the computer given.
#include "link/ZDConnectionServer.h"
#include "link/ZDTlsTransport.h"
#include "dnssd/ZDDNSSDPublisher.h"
#include "rights/ZDEncryption.h"
#include "log/ZDLog.h"
#include "platform/ZDLocalPaths.h"
#include "rpc/ZDOrvContract.h"
#include "rpc/ZDOrvProtocol.h"
#include "rpc/ZDRemoteError.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QLockFile>
#include <QMutex>
#include <QSocketNotifier>
#include <QElapsedTimer>

#include <thread>
#include <condition_variable>
#include <chrono>

#include <cstdio>
#include <memory>
#include <mutex>
#include <unistd.h>

namespace {

std::mutex g_outMutex;
bool g_quiet = false; // --tasks: only the port, since nobody reads on

void say(const QString &line)
{
    if (g_quiet && !line.startsWith(QLatin1String("PORT ")))
        return;
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

struct TaskAgent
{
    QString host, user, password;
    QMutex mutex;
    QStringList calls;
    QVariantMap settings{{QStringLiteral("autoUpdateCheck"), 1}, {QStringLiteral("globalUpdateCheck"), 1},
                         {QStringLiteral("showMenuBarIcon"), 1}, {QStringLiteral("enableMaintenanceRequests"), 1}};
    std::function<ZDRemoteProxyPtr()> callback; // the newest one given
    void record(const QString &line)
    {
        QMutexLocker lock(&mutex);
        calls << line;
    }
    // "ok", "refused", or "plain" when the password arrived unencrypted.
    QString check(const QString &name, const QVariant &data) const
    {
        const QByteArray bytes = data.toByteArray();
        if (!bytes.isEmpty() && bytes == password.toUtf8())
            return QStringLiteral("plain");
        return (name == user && ZDEncryption::decryptCredential(bytes) == password) ? QStringLiteral("ok")
                                                                                  : QStringLiteral("refused");
    }
};

void addTaskOperations(ZDRemoteObject &root, const std::shared_ptr<TaskAgent> &agent)
{
    using Call = ZDRemoteObject::Call;
    const QString dotted = agent->host + QLatin1Char('.');
    // Operations that only note that they were asked and give a fixed answer.
    const auto recorded = [&root, agent](const QString &op, const QVariant &answer, Call call = Call::Synchronous) {
        root.addOperation(op, [agent, op, answer](const QVariantList &) {
            agent->record(op);
            return answer;
        }, call);
    };
    root.addOperation(QStringLiteral("computerIcon:"), [](const QVariantList &) { return QByteArray(); });
    recorded(QStringLiteral("systemSpecs"),
             QVariantMap{{QStringLiteral("host"), agent->host}, {QStringLiteral("model"), QStringLiteral("FakeBook")}});
    recorded(QStringLiteral("gatherLogs"), QVariantMap{{QStringLiteral("/log/") + agent->host, QByteArray("log")}});
    recorded(QStringLiteral("initialConfiguration"), QVariantMap{{QStringLiteral("version"), 1100}});
    root.addOperation(QStringLiteral("logWithFilename:"), [agent](const QVariantList &a) {
        const QString name = a.value(0).toString();
        agent->record(QStringLiteral("logWithFilename: ") + name);
        // Oversized and binary answers, for the console's bounds.
        if (name == QLatin1String("huge.log"))
            return QVariant(QString(6 * 1024 * 1024, QLatin1Char('x')));
        if (name == QLatin1String("binary.log"))
            return QVariant(QByteArray("\x00\x01\x02\xff\xfe", 5));
        return QVariant(QStringLiteral("text of ") + name);
    });
    root.addOperation(QStringLiteral("validateUsername:password:"), [agent](const QVariantList &a) {
        const QString result = agent->check(a.value(0).toString(), a.value(1));
        agent->record(QStringLiteral("validateUsername:password: %1 %2").arg(a.value(0).toString(), result));
        return result == QLatin1String("ok");
    });
    root.addOperation(QStringLiteral("executeTask:bundleID:options:"), [agent](const QVariantList &a) {
        agent->record(QStringLiteral("executeTask %1 %2 %3")
                          .arg(a.value(0).toString(), a.value(1).toString(), a.value(2).toStringList().join(u',')));
        return QVariant();
    });
    root.addOperation(QStringLiteral("authExecuteTask:bundleID:options:username:password:"), [agent](const QVariantList &a) {
        const QString result = agent->check(a.value(3).toString(), a.value(4));
        agent->record(QStringLiteral("authExecuteTask %1 %2 %3 %4")
                          .arg(a.value(0).toString(), a.value(1).toString(), a.value(3).toString(), result));
        return QVariant();
    });
    root.addOperation(QStringLiteral("authExecuteTask:bundleID:options:username:password:callback:callbackName:"),
                      [agent](const QVariantList &a) {
        const QString result = agent->check(a.value(3).toString(), a.value(4));
        agent->record(QStringLiteral("authExecuteTaskCallback %1 %2 %3").arg(a.value(0).toString(), a.value(6).toString(), result));
        if (const ZDRemoteProxyPtr callback = ZDRemoteProxy::fromVariant(a.value(5)))
            callback->callOneway(QStringLiteral("postCallback:"), {QVariantMap{{QStringLiteral("output"), QStringLiteral("done ") + result}}});
        return QVariant();
    }, Call::Oneway);
    root.addOperation(QStringLiteral("installZendrelNuvell:settings:"), [agent](const QVariantList &a) {
        const QVariantMap auth = a.value(0).toMap();
        const QString result = agent->check(auth.value(QStringLiteral("authUser")).toString(), auth.value(QStringLiteral("authPass")));
        agent->record(QStringLiteral("installZendrelNuvell %1 %2 %3")
                          .arg(auth.value(QStringLiteral("authUser")).toString(), result, QStringList(a.value(1).toMap().keys()).join(u',')));
        return QVariant();
    }, Call::Oneway);
    const QVariantMap task{{QStringLiteral("id"), QStringLiteral("clean")},
                           {QStringLiteral("command"), QStringList{QStringLiteral("--clean")}},
                           {QStringLiteral("description"), QStringLiteral("Cleans the caches")}};
    recorded(QStringLiteral("zdAppTasks"), QVariantList{QVariantMap{{QStringLiteral("name"), QStringLiteral("Fake Tool")},
                                                                    {QStringLiteral("bundleid"), QStringLiteral("com.zendrel.faketool")},
                                                                    {QStringLiteral("tasks"), QVariantList{task}}}});
    recorded(QStringLiteral("relaunch"), QVariant(), Call::Oneway);
    root.addOperation(QStringLiteral("disconnect"), [agent](const QVariantList &) {
        agent->record(QStringLiteral("disconnect"));
        QMetaObject::invokeMethod(QCoreApplication::instance(), [] { QCoreApplication::exit(0); }, Qt::QueuedConnection);
        return QVariant();
    }, Call::Oneway);
    const QVariant refused = QVariant::fromValue(ZDRemoteError(QStringLiteral("orvDomain"), 1006));
    // Reports to the console, answering once the report arrived there: an error text, refused
    // credentials (as a privileged task would), or as a rogue every callback about the victim.
    root.addOperation(QStringLiteral("fakePostError:"), [agent, dotted](const QVariantList &a) {
        const ZDRemoteProxyPtr callback = agent->callback();
        if (callback)
            callback->call(QStringLiteral("addStringToQueue:hostname:"), {a.value(0).toString(), dotted});
        return QVariant(bool(callback));
    });
    root.addOperation(QStringLiteral("fakeRefuse"), [agent, dotted, refused](const QVariantList &) {
        const ZDRemoteProxyPtr callback = agent->callback();
        if (callback)
            callback->call(QStringLiteral("addErrorToQueue:hostname:"), {refused, dotted});
        return QVariant(bool(callback));
    });
    root.addOperation(QStringLiteral("fakeSpoof:"), [agent, refused](const QVariantList &a) {
        const ZDRemoteProxyPtr callback = agent->callback();
        const QString victim = a.value(0).toString();
        if (callback) {
            for (const char *op : {"requestMaintenance:", "updateConfig:", "willDisconnect:"})
                callback->call(QString::fromLatin1(op), {victim});
            callback->call(QStringLiteral("addErrorToQueue:userInfo:"), {refused, QVariantMap{{QStringLiteral("hostname"), victim}}});
            callback->call(QStringLiteral("addStringToQueue:hostname:"), {QStringLiteral("spoofed"), victim});
            callback->call(QStringLiteral("addErrorToQueue:hostname:"), {refused, victim});
        }
        return QVariant(bool(callback));
    });
    // The agent settings as the real agent keeps them: -1 leaves a value alone.
    root.addOperation(QStringLiteral("networkClientSettings"), [agent](const QVariantList &) {
        agent->record(QStringLiteral("networkClientSettings"));
        QMutexLocker lock(&agent->mutex);
        return QVariant(agent->settings);
    });
    root.addOperation(QStringLiteral("setNetworkClientSettings:"), [agent](const QVariantList &a) {
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
    root.addOperation(QStringLiteral("fakeSetSetting:value:"), [agent](const QVariantList &a) {
        QMutexLocker lock(&agent->mutex);
        agent->settings.insert(a.value(0).toString(), a.value(1).toInt());
        return QVariant(true);
    });
    root.addOperation(QStringLiteral("fakeCalls"), [agent](const QVariantList &) {
        QMutexLocker lock(&agent->mutex);
        return QVariant(agent->calls);
    });
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    const bool tasks = g_quiet = flag(args, "--tasks");
    if (!tasks)
        ZDLog::createNewLog(QStringLiteral("zdfake_orvagent"));
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
    auto agent = std::make_shared<TaskAgent>();
    agent->host = host;
    agent->user = option(args, "--user");
    if (QFile f(option(args, "--password-file")); !f.fileName().isEmpty() && f.open(QIODevice::ReadOnly))
        agent->password = QString::fromUtf8(f.read(4096)).trimmed();
    const QString dotted = host + QLatin1Char('.');

    std::mutex callbacksMutex;
    QList<ZDRemoteProxyPtr> callbacks;
    agent->callback = [&] {
        std::lock_guard lock(callbacksMutex);
        return callbacks.isEmpty() ? nullptr : callbacks.last();
    };
    auto root = ZDRemoteObject::create();
    if (!noFetch) {
        root->addOperation(QString::fromLatin1(ZDOrv::kFetchInitialConfiguration), [&](const QVariantList &a) {
            say(QStringLiteral("CALL fetchInitialConfiguration:"));
            const auto record = ZDRemoteProxy::fromVariant(a.value(0));
            if (!record || noConfig)
                return QVariant();
            if (tasks) {
                record->callOneway(QString::fromLatin1(ZDOrv::kProcessConfiguration), {QVariantMap{
                    {QStringLiteral("version"), 1100}, {QStringLiteral("versionString"), QStringLiteral("1.1")},
                    {QStringLiteral("maintenanceRequested"), false}, {QStringLiteral("orvVersion"), 1000},
                    {QStringLiteral("orvVersionString"), QStringLiteral("1.0")}, {QStringLiteral("minAdminVersion"), 0},
                    {QStringLiteral("preferredHostName"), dotted}, {QStringLiteral("hostNames"), QVariantList{dotted}},
                    {QString::fromLatin1(ZDOrv::kConfigConsoleEnrolled), 1}}});
                return QVariant();
            }
            QVariantMap config{{QString::fromLatin1(ZDOrv::kConfigConsoleEnrolled), 1}};
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
    // True once COUNT of these calls are in at the same time, over any links; false
    // after 10 s: tells whether a console asks every computer before it waits for one.
    struct Gathering
    {
        std::mutex mutex;
        std::condition_variable cv;
        int in = 0;
    } gathering;
    root->addOperation(QStringLiteral("fakeTogether:"), [&gathering](const QVariantList &a) {
        std::unique_lock lock(gathering.mutex);
        ++gathering.in;
        gathering.cv.notify_all();
        const int count = a.value(0).toInt();
        return QVariant(gathering.cv.wait_for(lock, std::chrono::seconds(10), [&] { return gathering.in >= count; }));
    });
    if (!noIcon) {
        root->addOperation(QString::fromLatin1(ZDOrv::kComputerIcon), [tasks](const QVariantList &) {
            say(QStringLiteral("CALL computerIcon"));
            // A 4 x 4 red square.
            return QVariant(tasks ? QByteArray() : QByteArray::fromHex(
                "89504e470d0a1a0a0000000d4948445200000004000000040806000000a9f19e7e0000001249444154789c63f8cfc0f01f1933"
                "902e00003c401fe1e08177b40000000049454e44ae426082"));
        });
    }

    if (tasks)
        addTaskOperations(*root, agent);
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

    // TLS like a real agent (consoles speak nothing else), any console welcome.
    ZDConnectionOptions serverOptions = ZDConnectionServer::defaultOptions();
    {
        QString tlsError;
        ZDTlsPolicy policy;
        // One key for every fake agent of a test's data folder: an agent that comes
        // back on its port, or under its name, is the computer the console pinned.
        const QString keys = ZDLocalPaths::appSupportDirectory(true) + QStringLiteral("/zdfake_orvagent");
        QDir().mkpath(keys);
        QLockFile making(keys + QStringLiteral(".lock")); // fake agents start side by side
        making.lock();
        const ZDTlsIdentity identity = ZDTlsIdentity::loadOrCreate(keys, QStringLiteral("agent"), QStringLiteral("fake agent"), &tlsError);
        making.unlock();
        policy.context = ZDTlsContext::create(identity, true, &tlsError);
        policy.allowPlain = true;
        serverOptions.transportFactory = ZDTlsTransport::factory([policy] { return policy; },
                                                                 ZDConnection::sendQueueLimit(serverOptions));
    }
    ZDConnectionServer server(serverOptions);
    server.setRootObject(root);
    server.setRegisteredName(tasks ? QStringLiteral("KestraClient - ") + dotted : registered);
    QString error;
    if (!server.listen(tasks ? QStringLiteral("127.0.0.1") : QString(), port, &error)) {
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
        } else if (words.value(0) == "chatter") {
            // Reports to every console until their links end (a console going away
            // under a stream of notices), for five seconds at most.
            QList<ZDRemoteProxyPtr> targets;
            {
                std::lock_guard lock(callbacksMutex);
                targets = callbacks;
            }
            std::thread([targets, host] {
                QElapsedTimer clock;
                clock.start();
                int alive = int(targets.size());
                while (alive > 0 && clock.elapsed() < 5000) {
                    alive = 0;
                    for (const auto &cb : targets) {
                        try {
                            cb->callOneway(QString::fromLatin1(ZDOrv::kAddStringToQueueHostname),
                                           {QStringLiteral("chatter"), host});
                            ++alive;
                        } catch (const ZDLinkException &) {
                        }
                    }
                }
            }).detach();
            static int rounds = 0;
            say(QStringLiteral("CHATTERING %1").arg(++rounds));
        }
    });
    const int rc = app.exec();
    publisher.withdraw();
    server.close();
    return rc;
}
