// A fleet on loopback: N agent endpoints (several per child process, each with its
// own port and registered name, vending the connection-time operations of the
// agent), the console core pointed at them by manual entry. Measures the time until
// all N are connected and configured, a "ping" read across all N through the
// dispatcher, the same N pings one after another on one thread as the baseline in
// the same run, and the console's resident memory and threads; over TLS, the only
// transport the console speaks (endpoints with a key of their own, pinned on first use).
//
//   fleet [N...]                  default 10 100 1000
//   fleet --serve COUNT [tls]     (child) COUNT endpoints; prints their ports, then waits
// FLEET_NO_LOG=1 switches the console's log off for a run.
#include "link/ZDConnectionServer.h"
#include "fleet/ZDConsoleSecurity.h"
#include "features/plugins/ZDDifferenceFinder.h"
#include "dispatch/ZDDispatcher.h"
#include "dispatch/ZDErrorCallback.h"
#include "log/ZDLog.h"
#include "rpc/ZDOrvProtocol.h"
#include "plist/ZDPropertyList.h"
#include "rpc/ZDRemoteObject.h"
#include "rpc/ZDRemoteProxy.h"
#include "fleet/ZDService.h"
#include "link/ZDTlsTransport.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <cstdio>
#include <sys/resource.h>
#include <memory>
#include <vector>

namespace {

constexpr int kEndpointsPerProcess = 250;
QString g_home; // the console's folders for this run

// A system profile of realistic size: thousands of libraries, a few hundred modules, some plug-ins.
QVariantMap heavyProfile()
{
    static const QVariantMap profile = [] {
        const auto item = [](const QString &name, const QString &path, const QString &version) {
            return QVariantMap{{QStringLiteral("name"), name}, {QStringLiteral("fullPath"), path},
                               {QStringLiteral("version"), version}};
        };
        QVariantMap libraries, modules;
        for (int i = 0; i < 3000; ++i)
            libraries.insert(QStringLiteral("libfleet%1").arg(i),
                             item(QStringLiteral("libfleet%1").arg(i),
                                  QStringLiteral("/usr/lib/x86_64-linux-gnu/libfleet%1.so.%2.0.0").arg(i).arg(i % 7), QStringLiteral("%1.0.0").arg(i % 7)));
        for (int i = 0; i < 200; ++i)
            modules.insert(QStringLiteral("mod%1").arg(i), item(QStringLiteral("mod%1").arg(i), QStringLiteral("/sys/module/mod%1").arg(i), QString()));
        QVariantList plugins;
        for (int i = 0; i < 60; ++i)
            plugins << item(QStringLiteral("Effect %1").arg(i), QStringLiteral("/usr/lib/lv2/Effect%1.lv2").arg(i), QStringLiteral("1.%1").arg(i));
        return QVariantMap{{QStringLiteral("OS X Version"), QStringLiteral("Debian GNU/Linux 12 (bookworm)")},
                           {QStringLiteral("QuickTime Version"), QStringLiteral("1.22.0")},
                           {QStringLiteral("Frameworks"), libraries},
                           {QStringLiteral("Kexts"), modules},
                           {QStringLiteral("Plugins"), plugins}};
    }();
    return profile;
}

// Computers cloned from one image, each a little apart: one library at another
// version, every tenth with a library of its own.
QVariantMap profileOfComputer(int index)
{
    QVariantMap profile = heavyProfile();
    QVariantMap libraries = profile.value(QStringLiteral("Frameworks")).toMap();
    if (qEnvironmentVariableIsSet("FLEET_UNLIKE")) {
        for (auto it = libraries.begin(); it != libraries.end(); ++it) {
            QVariantMap l = it.value().toMap();
            l.insert(QStringLiteral("version"), QStringLiteral("9.%1.0").arg(index));
            it.value() = l;
        }
    }
    const QString changed = QStringLiteral("libfleet%1").arg(index * 37 % 3000);
    QVariantMap library = libraries.value(changed).toMap();
    library.insert(QStringLiteral("version"), QStringLiteral("9.%1.0").arg(index));
    libraries.insert(changed, library);
    if (index % 10 == 0) {
        library.insert(QStringLiteral("name"), QStringLiteral("libown%1").arg(index));
        libraries.insert(QStringLiteral("libown%1").arg(index), library);
    }
    profile.insert(QStringLiteral("Frameworks"), libraries);
    return profile;
}

ZDRemoteObjectPtr agentObject(const QString &host, int index)
{
    auto root = ZDRemoteObject::create();
    const QString dotted = host + QLatin1Char('.');
    root->addOperation(QString::fromLatin1(ZDOrv::kFetchInitialConfiguration), [dotted](const QVariantList &a) {
        if (const ZDRemoteProxyPtr record = ZDRemoteProxy::fromVariant(a.value(0)))
            record->callOneway(QString::fromLatin1(ZDOrv::kProcessConfiguration),
                               {QVariantMap{{QStringLiteral("version"), 1100},
                                            {QStringLiteral("orvVersion"), 1000},
                                            {QStringLiteral("maintenanceRequested"), false},
                                            {QStringLiteral("preferredHostName"), dotted}}});
        return QVariant();
    }, ZDRemoteObject::Call::Oneway);
    root->addOperation(QString::fromLatin1(ZDOrv::kSetErrorCallback), [](const QVariantList &) { return QVariant(); },
                       ZDRemoteObject::Call::Oneway);
    root->addOperation(QString::fromLatin1(ZDOrv::kComputerIcon), [](const QVariantList &) { return QByteArray(); });
    root->addOperation(QString::fromLatin1(ZDOrv::kPing), [](const QVariantList &) { return QVariant(); });
    root->addOperation(QStringLiteral("hostName"), [dotted](const QVariantList &) { return dotted; });
    root->addOperation(QStringLiteral("diffFinderSystemInfo"),
                       [index](const QVariantList &) { return profileOfComputer(index); });
    return root;
}

int serve(int count, bool tls)
{
    std::vector<std::unique_ptr<ZDConnectionServer>> servers;
    const QString tag = QString::number(QCoreApplication::applicationPid());
    ZDConnectionOptions options = ZDConnectionServer::defaultOptions();
    if (tls) {
        ZDTlsPolicy policy;
        policy.context = ZDTlsContext::create(ZDTlsIdentity::generate(QStringLiteral("fleet"), nullptr), true, nullptr);
        options.transportFactory = ZDTlsTransport::factory([policy] { return policy; }, ZDConnection::sendQueueLimit(options));
    }
    for (int i = 0; i < count; ++i) {
        auto server = std::make_unique<ZDConnectionServer>(options);
        const QString host = QStringLiteral("fleet-%1-%2").arg(tag).arg(i);
        server->setRootObject(agentObject(host, i));
        server->setRegisteredName(QStringLiteral("KestraClient - ") + host + QLatin1Char('.'));
        QString error;
        if (!server->listen(QStringLiteral("127.0.0.1"), 0, &error)) {
            std::fprintf(stderr, "listen: %s\n", qPrintable(error));
            return 1;
        }
        std::printf("%u\n", unsigned(server->port()));
        servers.push_back(std::move(server));
    }
    std::printf("ready\n");
    std::fflush(stdout);
    // Until the console closes our standard input.
    QFile in;
    (void)in.open(stdin, QIODevice::ReadOnly);
    while (!in.atEnd() || in.waitForReadyRead(-1)) {
        if (in.read(4096).isEmpty())
            break;
    }
    return 0;
}

// This process's CPU time: the console's share of the handshakes, apart from the endpoints'.
double cpuSeconds()
{
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

long statusValue(const char *key)
{
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : f.readAll().split('\n')) {
        if (line.startsWith(key))
            return line.mid(qstrlen(key)).trimmed().split(' ').first().toLong();
    }
    return -1;
}

bool measure(int n, bool tls)
{
    // Pins of one run's endpoints must not meet the next run's on the same ports.
    qputenv("XDG_DATA_HOME", QFile::encodeName(g_home + QStringLiteral("/data-%1-%2").arg(n).arg(tls)));
    // Endpoints.
    std::vector<std::unique_ptr<QProcess>> children;
    QList<quint16> ports;
    for (int left = n; left > 0; left -= kEndpointsPerProcess) {
        auto p = std::make_unique<QProcess>();
        p->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        p->start(QCoreApplication::applicationFilePath(),
                 {QStringLiteral("--serve"), QString::number(std::min(left, kEndpointsPerProcess)),
                  tls ? QStringLiteral("tls") : QStringLiteral("plain")});
        if (!p->waitForStarted(10000))
            return false;
        for (;;) {
            if (!p->canReadLine() && !p->waitForReadyRead(60000))
                return false;
            const QByteArray line = p->readLine().trimmed();
            if (line == "ready")
                break;
            ports << quint16(line.toUInt());
        }
        children.push_back(std::move(p));
    }

    // The console: one record per endpoint, by manual entry.
    auto errorCallback = std::make_shared<ZDErrorCallback>();
    QList<ZDServicePtr> services;
    QElapsedTimer clock;
    clock.start();
    const double cpuBefore = cpuSeconds();
    for (int i = 0; i < n; ++i)
        services << ZDService::serviceWithName(QStringLiteral("Bay %1").arg(i), QString(), QStringLiteral("127.0.0.1"),
                                               ports[i], errorCallback);
    const bool configured = QTest::qWaitFor(
        [&] {
            for (const ZDServicePtr &s : std::as_const(services))
                if (!s->isConnected() || s->hostName().isEmpty())
                    return false;
            return true;
        },
        120000);
    const double connectS = clock.nsecsElapsed() / 1e9;
    const double connectCpuS = cpuSeconds() - cpuBefore;
    if (!configured) {
        std::fprintf(stderr, "fleet: not all %d computers configured\n", n);
        return false;
    }

    ZDDispatcher dispatcher([&] { return services; });
    std::atomic<int> failures{0};
    QObject::connect(&dispatcher, &ZDDispatcher::serviceFailed, [&] { ++failures; });
    double readS = 0, baselineS = 0;
    std::thread worker([&] {
        QElapsedTimer t;
        t.start();
        dispatcher.objectsFromRemoteMethod(QString::fromLatin1(ZDOrv::kPing));
        readS = t.nsecsElapsed() / 1e9;
        t.restart();
        for (const ZDServicePtr &s : std::as_const(services)) {
            try {
                s->proxyObject()->call(QString::fromLatin1(ZDOrv::kPing));
            } catch (const std::exception &) {
                ++failures;
            }
        }
        baselineS = t.nsecsElapsed() / 1e9;
    });
    while (!QTest::qWaitFor([&] { return readS > 0 && baselineS > 0; }, 1000)) {
    }
    worker.join();
    const long rssKiB = statusValue("VmRSS:");
    const long threads = statusValue("Threads:");
    const char *transport = tls ? "tls" : "tcp";
    std::printf("fleet: n=%d transport=%s threads=%ld failed_calls=%d\n", n, transport, threads, failures.load());
    std::printf("fleet: n=%d transport=%s connect_s=%.3f read_s=%.3f baseline_s=%.3f rss_mib=%ld\n", n, transport,
                connectS, readS, baselineS, rssKiB / 1024);
    std::printf("fleet: n=%d console_cpu_s=%.3f while connecting (the rest of the wall time: the endpoints, "
                "on the same cores)\n", n, connectCpuS);
    std::fflush(stdout);

    // The heavy read: every computer's system profile, then the Difference Finder on half against half.
    if (n <= 100) {
        double profileS = 0, compareS = 0;
        qsizetype answered = 0, differences = 0;
        std::atomic<bool> done{false};
        std::thread heavy([&] {
            QElapsedTimer t;
            t.start();
            const QVariantMap profiles = dispatcher.objectsFromRemoteMethod(QStringLiteral("diffFinderSystemInfo"));
            profileS = t.nsecsElapsed() / 1e9;
            answered = profiles.size();
            const QVariantList all = profiles.values();
            t.restart();
            differences = ZDDifferenceFinder::compare(all.mid(0, all.size() / 2), all.mid(all.size() / 2)).size();
            compareS = t.nsecsElapsed() / 1e9;
            done = true;
        });
        while (!QTest::qWaitFor([&] { return done.load(); }, 1000)) {
        }
        heavy.join();
        std::printf("fleet: n=%d profile_read_s=%.3f (ping read_s=%.3f) answered=%lld libraries_each=3000 "
                    "diff_s=%.3f differences=%lld rss_mib=%ld\n",
                    n, profileS, readS, qint64(answered), compareS, qint64(differences), statusValue("VmRSS:") / 1024);
        std::fflush(stdout);
    }

    for (const ZDServicePtr &s : std::as_const(services))
        s->invalidate(false);
    services.clear();
    for (auto &p : children) {
        p->closeWriteChannel();
        if (!p->waitForFinished(20000)) {
            p->kill();
            p->waitForFinished(10000);
        }
    }
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() == 4 && args[1] == QLatin1String("--serve"))
        return serve(args[2].toInt(), args[3] == QLatin1String("tls"));
    // Keep the console's settings, caches and logs out of the user's folders.
    QTemporaryDir home;
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(home.filePath(QStringLiteral("config"))));
    qputenv("XDG_CACHE_HOME", QFile::encodeName(home.filePath(QStringLiteral("cache"))));
    qputenv("XDG_STATE_HOME", QFile::encodeName(home.filePath(QStringLiteral("state"))));
    g_home = home.path();
    if (qEnvironmentVariableIsSet("FLEET_NO_LOG")) {
        QDir().mkpath(home.filePath(QStringLiteral("config")));
        ZDPropertyList::writeFile(home.filePath(QStringLiteral("config/com.zendrel.global.plist")),
                                  QVariantMap{{QStringLiteral("disable-logging"), true}});
    }
    ZDLog::createNewLog(QStringLiteral("fleet"));
    QList<int> sizes;
    for (int i = 1; i < args.size(); ++i)
        sizes << args[i].toInt();
    if (sizes.isEmpty())
        sizes = {10, 100, 1000};
    for (int n : std::as_const(sizes)) {
        if (n < 1 || n > 5000 || !measure(n, true))
            return 1;
    }
    return 0;
}
