// The real KestraClient, started from its application folder in a sandbox, on
// a private session bus, published on the loopback avahi, and driven by test
// consoles built on the wire library.
#include "agent/AppController.h"
#include "dnssd/ZDAvahiClient.h"
#include "agent/ZDClientPreferences.h"
#include "link/ZDConnection.h"
#include "dnssd/ZDDNSSDBrowser.h"
#include "rights/ZDEncryption.h"
#include "platform/ZDLocalPaths.h"
#include "bus/ZDLocalCallbackClient.h"
#include "bus/ZDLocalCallbackServer.h"
#include "rpc/ZDNameRegistry.h"
#include "bus/ZDNotificationCenter.h"
#include "rpc/ZDOrvProtocol.h"
#include "plist/ZDPropertyList.h"
#include "rpc/ZDRemoteObject.h"
#include "bus/ZDSessionBus.h"
#include "ZDEnrolledPeer.h"
#include "ZDRealAgent.h"
#include "ZDRecordingConsole.h"
#include "ZDTestProcess.h"
#include "ZDTestSandbox.h"

#include <QDBusConnectionInterface>
#include <QDirIterator>
#include <QFile>
#include <QTcpServer>
#include <QtTest>

#include <csignal>
#include <optional>
#include <thread>

namespace {

constexpr int kWaitMs = 30000;

// Started at once, in the sandbox the test set up.
struct Agent : ZDRealAgent
{
    explicit Agent(const QStringList &arguments = {}) : ZDRealAgent((enrollConsole(qEnvironmentVariable("KESTRA_SYSTEM_ROOT")), arguments)) {}
};

// A console: its connection and the error callback object it registers.
struct Console : ZDRecordingConsole
{
    std::shared_ptr<ZDConnection> connection;
    ZDRemoteProxyPtr agent;
    static QStringList recorded()
    {
        QStringList ops = allOperations();
        for (const char *op : {ZDOrv::kWillDisconnect, ZDOrv::kRequestMaintenance, ZDOrv::kCancelMaintenance})
            ops << QString::fromLatin1(op);
        return ops;
    }
    explicit Console(int port, const QString &expectedName = QString()) : ZDRecordingConsole(recorded())
    {
        connection = ZDConnection::connectToHost(QStringLiteral("127.0.0.1"), quint16(port), expectedName,
                                                 zdtest::enrolledOptions());
        agent = connection->rootProxy();
    }
    QVariant call(const char *op, const QVariantList &args = {}) const
    {
        return agent->call(QString::fromLatin1(op), args);
    }
    void send(const char *op, const QVariantList &args = {}) const { agent->callOneway(QString::fromLatin1(op), args); }
    // Registered once the ping behind it comes back: calls on one link are handled in order.
    void registerCallback() const
    {
        send(ZDOrv::kSetErrorCallback, {QVariant::fromValue(object)});
        call(ZDOrv::kPing);
    }
    bool receivedOp(const char *op) const { return countOf(QString::fromLatin1(op)) > 0; }
    // The configuration the agent hands a record object of the console; empty when none comes.
    QVariantMap fetchConfiguration() const
    {
        QVariantMap configured;
        auto record = ZDRemoteObject::create();
        record->addOperation(QString::fromLatin1(ZDOrv::kProcessConfiguration), [&](const QVariantList &args) {
            configured = args.value(0).toMap();
            return QVariant();
        });
        send(ZDOrv::kFetchInitialConfiguration, {QVariant::fromValue(record)});
        return QTest::qWaitFor([&] { return !configured.isEmpty(); }, kWaitMs) ? configured : QVariantMap();
    }
    // The agent's own log (in the local log folder when it runs as root); empty unless exactly one.
    QString ownLog() const
    {
        const QStringList own = call(ZDOrv::kPopulateZDLogFilenames).toStringList().filter(
            QRegularExpression(QStringLiteral("/Zendrel/KestraClient\\.1\\.log$")));
        return own.size() == 1 ? own.constFirst() : QString();
    }
    // One argument of every call of that operation so far.
    QStringList arguments(const char *op, int index = 0) const
    {
        QStringList out;
        for (const QVariantList &args : of(QString::fromLatin1(op)))
            out.append(args.value(index).toString());
        return out;
    }
};

// The TXT record published for that port (empty when none comes); none without avahi.
std::optional<QVariantMap> publishedTxt(int port)
{
    int err = 0;
    if (!ZDAvahiClient::daemonRunning(&err)) {
        qWarning("no avahi-daemon: DNS-SD part skipped");
        return std::nullopt;
    }
    ZDDNSSDBrowser browser;
    QVariantMap txt;
    QObject::connect(&browser, &ZDDNSSDBrowser::serviceResolved, &browser, [&](const ZDDNSSDService &s) {
        if (s.port == port)
            txt = s.txt;
    });
    if (browser.start(QString::fromLatin1(ZDOrv::kServiceType)) && !QTest::qWaitFor([&] { return !txt.isEmpty(); }, kWaitMs))
        qWarning("nothing published for port %d", port);
    return txt;
}

QString preferencesPath()
{
    return qEnvironmentVariable("XDG_CONFIG_HOME") + QStringLiteral("/com.zendrel.KestraClient.plist");
}

// A console in a process of its own (runConsoleChild); true once it is ready.
bool startConsoleChild(QProcess &child, const QStringList &arguments)
{
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    child.start(QCoreApplication::applicationFilePath(), QStringList{QStringLiteral("--console")} + arguments);
    return QTest::qWaitFor([&] { return child.canReadLine() || child.state() == QProcess::NotRunning; }, kWaitMs)
        && child.readLine().trimmed() == "ready";
}

// A console that asks for a task and then falls silent until it is killed.
int runConsoleChild(int port, const QStringList &task)
{
    try {
        Console console(port);
        console.registerCallback();
        // bundle, tool arguments, administrator, callback name; the password in the environment
        console.agent->callOneway(
            QString::fromLatin1(ZDOrv::kAuthExecuteTaskCallback),
            {QStringLiteral("answer"), task.value(0), QVariant(task.value(1).split(QLatin1Char(' '))), task.value(2),
             ZDEncryption::encryptCredential(qEnvironmentVariable("KESTRA_TEST_PASSWORD")),
             QVariant::fromValue(console.object), task.value(3)});
        console.call(ZDOrv::kPing); // the request has arrived
        std::fputs("ready\n", stdout);
        std::fflush(stdout);
        return QCoreApplication::exec();
    } catch (const std::exception &e) {
        std::fprintf(stderr, "console child: %s\n", e.what());
        return 1;
    }
}

} // namespace

class TestKestraClient : public QObject
{
    Q_OBJECT
    std::unique_ptr<ZDTestSandbox> m_sandbox;
    std::unique_ptr<ZDNotificationCenter> m_center;
    QStringList m_statuses;
    void writePreferences(const QVariantMap &prefs)
    {
        QVERIFY(ZDPropertyList::writeFile(preferencesPath(), prefs));
    }
    // Asks for the agent's status until it answers (a busy bus may be slow to pass
    // one request on). Notifications are handled in order, so an answer also means
    // the agent has handled everything posted before it; and it observes them only
    // once its start-up is through.
    bool waitUntilAgentObserves()
    {
        for (int i = 0; i < 150; ++i) {
            const int before = m_statuses.size();
            ZDNotificationCenter::postNotification(QStringLiteral("ZDKestraClientCurrentStatus"));
            if (QTest::qWaitFor([&] { return m_statuses.size() > before; }, 200))
                return true;
        }
        return false;
    }
    bool agentHandledEarlierNotifications() { return waitUntilAgentObserves(); }

private Q_SLOTS:
    void initTestCase()
    {
        if (!ZDRealAgent::exists())
            QSKIP("KestraClient is not built (KESTRA_APPS_DIR)");
        if (!ZDSessionBus::connection().isConnected())
            QSKIP("no session bus; run under scripts/test-services.sh");
    }
    void init()
    {
        m_sandbox = std::make_unique<ZDTestSandbox>();
        QVERIFY(m_sandbox->isValid());
        m_statuses.clear();
        m_center = std::make_unique<ZDNotificationCenter>();
        m_center->addObserver(QStringLiteral("ZDKestraClientStatusUpdate"),
                              [this](const QString &, const QVariantMap &info) {
                                  m_statuses.append(info.value(QStringLiteral("status")).toString());
                              });
    }
    void cleanup()
    {
        // Whatever agent a test left on this bus (a relaunched one, say) goes now.
        ZDNotificationCenter::postNotification(QStringLiteral("ZDKestraClientDisconnect"));
        (void)QTest::qWaitFor([] {
            return !ZDSessionBus::connection().interface()->isServiceRegistered(
                QString::fromLatin1(ZDLocalCallbackServer::kServiceName));
        }, kWaitMs);
        m_center.reset();
        m_sandbox.reset();
    }
    // An agent without a display maps the graphics library only once a console asks for an image.
    void headlessAgentLoadsModulesOnDemand()
    {
        ZDRealAgent agent;
        const quint16 port = ZDRealAgent::freePort();
        QVERIFY(agent.start(port, {{QStringLiteral("showMenuBarIcon"), 1}})); // the default: a tray if it can
        const auto maps = [&agent](const char *library) {
            QFile file(QStringLiteral("/proc/%1/maps").arg(agent.pid()));
            return file.open(QIODevice::ReadOnly) && file.readAll().contains(library);
        };
        // Its settings (a tray wanted) are loaded once its log says so.
        const auto loggedSettings = [&agent] {
            QDirIterator logs(agent.root(), {QStringLiteral("KestraClient.1.log")}, QDir::Files, QDirIterator::Subdirectories);
            while (logs.hasNext()) {
                QFile log(logs.next());
                if (log.open(QIODevice::ReadOnly) && log.readAll().contains("Loading settings..."))
                    return true;
            }
            return false;
        };
        QTRY_VERIFY_WITH_TIMEOUT(loggedSettings(), kWaitMs);
        Console console(port);
        QVERIFY(console.call(ZDOrv::kInitialConfiguration).toMap().contains(QStringLiteral("version")));
        QVERIFY(!maps("libQt6Gui"));
        QVERIFY(!maps("libQt6Network")); // downloads load it (the update scenario of the e2e run)
        QCOMPARE(QImage::fromData(console.call(ZDOrv::kComputerIconSize, {qint64(32)}).toByteArray()).size(),
                 QSize(32, 32));
        QVERIFY(maps("libQt6Gui"));
    }
    // One agent serves a console, the tools on its computer and the session's notices, then leaves when a tool asks.
    void oneAgentServesConsolesToolsAndNotifications()
    {
        Agent agent;
        const int port = agent.waitForPort();
        QVERIFY2(port > 0, qPrintable(agent.output()));
        QTRY_VERIFY_WITH_TIMEOUT(m_statuses.contains(QStringLiteral("Listening on port %1").arg(port)), kWaitMs);
        // Found on DNS-SD: the service with this agent's port and registered name.
        QString name;
        if (const auto txt = publishedTxt(port)) {
            name = txt->value(QStringLiteral("name")).toString();
            QVERIFY2(name.contains(QStringLiteral("KestraClient - ")), qPrintable(name));
            QVERIFY(name.size() <= 63);
            QVERIFY(txt->value(QStringLiteral("model")).toString().startsWith(QStringLiteral("Linux")));
            QVERIFY(!txt->contains(QStringLiteral("ip"))); // listening on every address
        }
        // The connection by name checks the name the agent registered.
        Console console(port, name);
        const QVariantMap initial = console.call(ZDOrv::kInitialConfiguration).toMap();
        QVERIFY(initial.contains(QStringLiteral("version")));
        QVERIFY(initial.contains(QStringLiteral("versionString")));
        QCOMPARE(initial.value(QStringLiteral("maintenanceRequested")).toBool(), false);
        QVERIFY(!initial.contains(QStringLiteral("preferredHostName")));
        // The configuration by callback (this console is enrolled). No tool suite in the sandbox: the fixed order is cut at "orvVersion".
        const QVariantMap configured = console.fetchConfiguration();
        QCOMPARE(configured.keys(), QStringList({QStringLiteral("consoleEnrolled"), QStringLiteral("maintenanceRequested"),
                                                 QStringLiteral("version"), QStringLiteral("versionString")}));
        QVERIFY(!configured.contains(QStringLiteral("selfCrashLog")));
        // Settings with their defaults, the icon, and ping.
        const QVariantMap settings = console.call(ZDOrv::kNetworkClientSettings).toMap();
        QCOMPARE(settings.value(QStringLiteral("showMenuBarIcon")).toInt(), 1);
        QCOMPARE(settings.value(QStringLiteral("enableMaintenanceRequests")).toInt(), 1);
        const QByteArray icon = console.call(ZDOrv::kComputerIcon).toByteArray();
        QCOMPARE(QImage::fromData(icon).size(), QSize(16, 16));
        QCOMPARE(QImage::fromData(console.call(ZDOrv::kComputerIconSize, {qint64(64)}).toByteArray()).size(),
                 QSize(64, 64));
        QVERIFY(!console.call(ZDOrv::kComputerIconSize, {qint64(1) << 40}).isValid());
        QVERIFY(!console.call(ZDOrv::kPing).isValid());
        console.registerCallback();
        QVERIFY(waitUntilAgentObserves());
        QVERIFY(m_statuses.constLast().startsWith(QStringLiteral("Listening on port")));
        // Withdrawn maintenance requests reach the consoles.
        console.send(ZDOrv::kCancelMaintenanceRequest);
        QTRY_VERIFY_WITH_TIMEOUT(!console.arguments(ZDOrv::kCancelMaintenance).isEmpty(), kWaitMs);
        ZDNotificationCenter::postNotification(QStringLiteral("ZDKestraClientMenuBarIconHide"));
        QTRY_VERIFY_WITH_TIMEOUT(console.arguments(ZDOrv::kCancelMaintenance).size() >= 2, kWaitMs);
        // Settings from a console: -1 leaves a value alone; hiding the item withdraws a request.
        const int before = console.arguments(ZDOrv::kCancelMaintenance).size();
        console.agent->callOneway(QString::fromLatin1(ZDOrv::kSetNetworkClientSettings),
                                  {QVariantMap{{QStringLiteral("showMenuBarIcon"), 0},
                                               {QStringLiteral("autoUpdateCheck"), -1},
                                               {QStringLiteral("globalUpdateCheck"), -1}}});
        QTRY_COMPARE_WITH_TIMEOUT(
            console.call(ZDOrv::kNetworkClientSettings).toMap().value(QStringLiteral("showMenuBarIcon")).toInt(), 0,
            kWaitMs);
        const QVariantMap stored = ZDPropertyList::readDictionary(preferencesPath());
        QCOMPARE(stored.value(QStringLiteral("showMenuBarIcon")).toInt(), 0);
        QVERIFY(!stored.contains(QStringLiteral("autoUpdateCheck")));
        QTRY_VERIFY_WITH_TIMEOUT(console.arguments(ZDOrv::kCancelMaintenance).size() > before, kWaitMs);
        // The tools' notices travel to the consoles.
        ZDNotificationCenter::postNotification(QStringLiteral("ZDKMTTaskProgressIncrement"));
        QTRY_VERIFY_WITH_TIMEOUT(console.receivedOp(ZDOrv::kIncrementProgress), kWaitMs);
        ZDNotificationCenter::postNotification(QStringLiteral("ZDKMTTaskError"),
                                               {{QStringLiteral("errorString"), QStringLiteral("tool broke")}});
        QTRY_VERIFY_WITH_TIMEOUT(console.arguments(ZDOrv::kAddStringToQueueUserInfo).contains("tool broke"),
                                 kWaitMs);
        const QString own = console.ownLog();
        QVERIFY(!own.isEmpty());
        const QString logFolder = QFileInfo(own).path();
        QTRY_VERIFY_WITH_TIMEOUT(
            console.call(ZDOrv::kLogWithFilename, {own}).toString().contains(QStringLiteral("Listening on port")), kWaitMs);
        // A path outside the log folders is refused without being read; the console is told.
        const QString secret = m_sandbox->path(QStringLiteral("secret.log"));
        QVERIFY(ZDTestSandbox::writeFile(secret, "secret"));
        QVERIFY(!console.call(ZDOrv::kLogWithFilename, {secret}).isValid());
        const QString refusal = QStringLiteral("Unable to get log %1 - file doesn't exist.").arg(secret);
        QTRY_VERIFY_WITH_TIMEOUT(console.arguments(ZDOrv::kAddStringToQueueUserInfo).contains(refusal), kWaitMs);
        // Links, "..", crash reports: the log unit test's guard cases.
        // gatherLogs cancelled while it runs returns none; the next one starts afresh.
        for (int i = 0; i < 3000; ++i)
            QVERIFY(ZDTestSandbox::writeFile(logFolder + QStringLiteral("/filler-%1.log").arg(i),
                                             QByteArray(512, 'x')));
        bool cancelled = false;
        for (int attempt = 0; attempt < 8 && !cancelled; ++attempt) {
            QVariant result = QStringLiteral("pending");
            std::thread gather([&] {
                try {
                    result = console.call(ZDOrv::kGatherLogs);
                } catch (const std::exception &) {
                    result = QStringLiteral("failed");
                }
            });
            QTest::qWait(5 * attempt);
            console.send(ZDOrv::kCancelProcessing);
            gather.join();
            QVERIFY(result != QVariant(QStringLiteral("failed")));
            cancelled = !result.isValid();
        }
        QVERIFY(cancelled);
        const QVariantMap all = console.call(ZDOrv::kGatherLogs).toMap();
        QVERIFY(all.contains(own));
        // A tool on this computer reports through the agent's bus name.
        const ZDLocalCallbackClient tool;
        QTRY_VERIFY_WITH_TIMEOUT(tool.isAvailable(), kWaitMs);
        QVERIFY(tool.call(QString::fromLatin1(ZDOrv::kPostErrorString), {QStringLiteral("from a tool")}).ok);
        QTRY_VERIFY_WITH_TIMEOUT(console.arguments(ZDOrv::kAddStringToQueueHostname).contains("from a tool"),
                                 kWaitMs);
        const auto refused = tool.call(QStringLiteral("format:"), {QStringLiteral("/")});
        QVERIFY(!refused.ok);
        QVERIFY(tool.call(QString::fromLatin1(ZDOrv::kPostDisconnect)).ok);
        QVERIFY(agent.waitForExit());
        QCOMPARE(agent.process().exitCode(), 0);
    }
    void reconnectsWhenThePortIsBusyOnTheChosenInterface()
    {
        // Someone else has the custom port: the agent retries every 10 seconds until it is free, then takes it
        // (the port's bounds are the units' table). The loopback interface's MAC: it listens on its IPv4 address only.
        QTcpServer squatter;
        QVERIFY(squatter.listen(QHostAddress::LocalHost, 0));
        const int busy = squatter.serverPort();
        QVERIFY(busy >= 1025);
        writePreferences({{QStringLiteral("customPortSet"), 1}, {QStringLiteral("customPort"), busy},
                          {QStringLiteral("selectedMACAddress"), QStringLiteral("00:00:00:00:00:00")}});
        Agent agent;
        QVERIFY(!agent.waitFor(QStringLiteral("Unable to connect. Retrying in 10 seconds...")).isEmpty());
        QVERIFY(!agent.waitFor(QStringLiteral("Reconnecting in 10 seconds...")).isEmpty());
        squatter.close();
        QCOMPARE(agent.waitForPort(), busy);
        QCOMPARE(agent.waitFor(QStringLiteral("Listening on ([0-9.]+):\\d+\\n")), QStringLiteral("127.0.0.1"));
        // Status line and console line of the same wait.
        QVERIFY(agent.output().contains(QStringLiteral("Reconnecting in 10 seconds...\nReconnecting in 10 seconds...\n")));
        Console console(busy);
        QVERIFY(!console.call(ZDOrv::kPing).isValid());
        if (const auto txt = publishedTxt(busy))
            QCOMPARE(txt->value(QStringLiteral("ip")).toString(), QStringLiteral("127.0.0.1"));
    }
    void disconnectsWithAGoodbye_data()
    {
        QTest::addColumn<bool>("bySignal");
        QTest::newRow("notification") << false;
        QTest::newRow("stopped by the service manager") << true;
    }
    void disconnectsWithAGoodbye()
    {
        QFETCH(bool, bySignal);
        Agent agent;
        const int port = agent.waitForPort();
        QVERIFY2(port > 0, qPrintable(agent.output()));
        Console console(port);
        console.registerCallback();
        if (bySignal) {
            agent.process().terminate(); // SIGTERM, as systemd stops a unit
        } else {
            // Its own pid excluded: the agent stays.
            QVERIFY(waitUntilAgentObserves());
            ZDNotificationCenter::postNotification(QStringLiteral("ZDKestraClientDisconnect"),
                                                   {{QStringLiteral("excluded_pid"), agent.pid()}});
            QVERIFY(agentHandledEarlierNotifications());
            QCOMPARE(agent.process().state(), QProcess::Running);
            // Without an excluded pid: every agent says goodbye and quits cleanly.
            ZDNotificationCenter::postNotification(QStringLiteral("ZDKestraClientDisconnect"));
        }
        QVERIFY(agent.waitForExit());
        QVERIFY2(agent.process().exitStatus() == QProcess::NormalExit, qPrintable(agent.output()));
        QCOMPARE(agent.process().exitCode(), 0);
        QTRY_VERIFY_WITH_TIMEOUT(!console.arguments(ZDOrv::kWillDisconnect).isEmpty(), kWaitMs);
        QVERIFY(console.arguments(ZDOrv::kWillDisconnect).constFirst().endsWith(QLatin1Char('.')));
        QVERIFY(agent.output().contains(QStringLiteral("Disconnecting...\nDisconnected\n")));
    }
    void namesHeldByAnotherAgent()
    {
        // Another agent on this computer holds the registered name and the callback name.
        // (An agent of another test on this computer may hold the name already: the same case.)
        ZDNameRegistry held;
        const QString plainName = AppController::makePdoName(ZDClientPreferences::hostName());
        QVERIFY(held.registerName(plainName) || ZDNameRegistry::isNameTaken(plainName));
        QDBusConnection bus = ZDSessionBus::connection();
        QVERIFY(bus.registerService(QString::fromLatin1(ZDLocalCallbackServer::kServiceName)));
        Agent agent;
        QVERIFY2(agent.waitForPort() > 0, qPrintable(agent.output()));
        QVERIFY(agent.output().contains(QStringLiteral("Failed to register name - make sure there are no other copies "
                                                       "of this application running on this computer.")));
        QVERIFY(!agent.waitFor(QStringLiteral("Failed to register callback name")).isEmpty());
        QVERIFY(!agent.waitFor(QStringLiteral("Name occupied by")).isEmpty());
        // The UUID-prefixed name is what a console finds in the hello.
        Console console(agent.waitForPort());
        const QString name = console.connection->peerName();
        QVERIFY2(QRegularExpression(QStringLiteral("^[0-9A-F-]{36}KestraClient - ")).match(name).hasMatch(),
                 qPrintable(name));
        QVERIFY(name.size() <= 63);
        // The callback side retries on its own and gets the name once it is free.
        QVERIFY(bus.unregisterService(QString::fromLatin1(ZDLocalCallbackServer::kServiceName)));
        QTRY_COMPARE_WITH_TIMEOUT(qint64(bus.interface()->servicePid(
                                      QString::fromLatin1(ZDLocalCallbackServer::kServiceName)).value()),
                                  agent.pid(), kWaitMs);
        QVERIFY(agent.process().state() == QProcess::Running);
    }
    void selfCrashLogOnceThenASecondAgentEndsIt()
    {
        {
            // The sanitizer would take the fault for itself: the agent's own handler must see it.
            m_sandbox->setEnv("ASAN_OPTIONS", qgetenv("ASAN_OPTIONS") + ":handle_segv=0");
            Agent crashing;
            QVERIFY2(crashing.waitForPort() > 0, qPrintable(crashing.output()));
            ::kill(pid_t(crashing.pid()), SIGSEGV);
            QVERIFY(crashing.waitForExit());
            QCOMPARE(crashing.process().exitStatus(), QProcess::CrashExit);
        }
        Agent agent;
        QVERIFY2(agent.waitForPort() > 0, qPrintable(agent.output()));
        Console console(agent.waitForPort());
        const QVariantMap first = console.fetchConfiguration();
        QVERIFY(!first.isEmpty());
        const QString report = first.value(QStringLiteral("selfCrashLog")).toString();
        QVERIFY2(report.contains(QStringLiteral("KestraClient_")) && QFile::exists(report),
                 qPrintable(QStringList(first.keys()).join(QLatin1Char(','))));
        const QVariantMap second = console.fetchConfiguration();
        QVERIFY(!second.isEmpty());
        QVERIFY(!second.contains(QStringLiteral("selfCrashLog")));
        // A second agent ends this one, which quits cleanly.
        QVERIFY(waitUntilAgentObserves());
        Agent next;
        QVERIFY(agent.waitForExit());
        QCOMPARE(agent.process().exitCode(), 0);
        QVERIFY2(next.waitForPort() > 0, qPrintable(next.output()));
    }
    void vendsAgainAfterItsListenerOrACallFails()
    {
        if (!ZDLocalPaths::isRoot())
            QSKIP("destroying the agent's socket and making an administrator account need root");
        const QString admin = QStringLiteral("kestra_kcadm"); // member of group sudo
        const QString password = QStringLiteral("Kc%1!").arg(QRandomGenerator::system()->generate(), 0, 36);
        auto removeAdmin = qScopeGuard([&] { zdtest::removeAccount(admin); });
        QVERIFY(zdtest::makeAccount(admin, password, true));
        QVERIFY(zdtest::copyTree(qEnvironmentVariable("KESTRA_APPS_DIR") + QStringLiteral("/Ondrel.app"),
                                 m_sandbox->path(QStringLiteral("opt/Zendrel/Kestra Maintenance Tools/Ondrel.app"))));
        Agent agent;
        const int first = agent.waitForPort();
        QVERIFY2(first > 0, qPrintable(agent.output()));
        // The kernel drops the listening socket, as when its address goes away.
        QCOMPARE(zdtest::run(QStringLiteral("ss"), {QStringLiteral("-K"), QStringLiteral("-t"), QStringLiteral("state"),
                                                    QStringLiteral("listening"), QStringLiteral("sport = :%1").arg(first)}),
                 0);
        QVERIFY2(!agent.waitFor(QStringLiteral("Connection died. Cleaning up...")).isEmpty(),
                 qPrintable(agent.output()));
        QVERIFY(!agent.waitFor(QStringLiteral("Reconnecting in 10 seconds...")).isEmpty());
        const int port = agent.waitForPort(agent.output().indexOf(QStringLiteral("Reconnecting in 10 seconds...")));
        // A console starts a task that answers once released, then falls silent.
        const QString release = m_sandbox->path(QStringLiteral("release"));
        m_sandbox->setEnv("KESTRA_TEST_PASSWORD", password.toUtf8());
        QProcess silent;
        QVERIFY(startConsoleChild(silent, {QString::number(port), QStringLiteral("com.zendrel.Ondrel"),
                                           QStringLiteral("--wait-for %1 --callback ZDKMTTimeoutTest").arg(release),
                                           admin, QStringLiteral("ZDKMTTimeoutTest")}));
        ::kill(pid_t(silent.processId()), SIGSTOP);
        auto killSilent = qScopeGuard([&] {
            ::kill(pid_t(silent.processId()), SIGKILL);
            silent.waitForFinished(kWaitMs);
        });
        // Once the agent has given that link up for silence, the tool's answer times out there.
        Console watcher(port);
        const QString log = watcher.ownLog();
        QTRY_VERIFY_WITH_TIMEOUT(
            watcher.call(ZDOrv::kLogWithFilename, {log}).toString().contains(QStringLiteral("timed out: no answer")),
            kWaitMs);
        QVERIFY(ZDTestSandbox::writeFile(release, "go"));
        QVERIFY2(!agent.waitFor(QStringLiteral("Reconnecting in 5 seconds...")).isEmpty(),
                 qPrintable(agent.output()));
        Console console(agent.waitForPort(agent.output().indexOf(QStringLiteral("Reconnecting in 5 seconds..."))));
        QVERIFY(!console.call(ZDOrv::kPing).isValid());
    }
    void setupInstallsTheLaunchAgent()
    {
        // systemd is not the service manager here: the recording stand-in goes first on PATH.
        const QString bin = m_sandbox->path(QStringLiteral("bin"));
        QVERIFY(QDir().mkpath(bin));
        const QString systemctl = bin + QStringLiteral("/systemctl");
        QVERIFY(QFile::copy(qEnvironmentVariable("KESTRA_SOURCE_DIR") + QStringLiteral("/tools/standins/systemctl"),
                            systemctl));
        QVERIFY(QFile::setPermissions(systemctl, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        m_sandbox->setEnv("PATH", (bin + QLatin1Char(':') + qEnvironmentVariable("PATH")).toUtf8());
        const QString calls = m_sandbox->path(QStringLiteral("systemctl.calls"));
        m_sandbox->setEnv("KESTRA_STANDIN_LOG", calls.toUtf8());
        // "-wait" beside "-setup" changes nothing: only the set-up runs.
        Agent setup({QStringLiteral("-wait"), QStringLiteral("-setup")});
        QVERIFY(setup.waitForExit());
        QCOMPARE(setup.process().exitCode(), 0);
        QVERIFY(!setup.output().contains(QStringLiteral("Listening")));
        const QString unit = m_sandbox->path(QStringLiteral("etc/systemd/user/com.zendrel.KestraClient.service"));
        const QByteArray text = ZDTestSandbox::readFile(unit);
        QVERIFY2(text.contains(QFileInfo(ZDRealAgent::program()).canonicalFilePath().toUtf8()) ||
                     text.contains(ZDRealAgent::program().toUtf8()),
                 text.constData());
        QVERIFY(text.contains("Restart=on-failure"));
        QVERIFY(ZDTestSandbox::readFile(calls).contains("enable"));
    }
    void relaunch()
    {
        Agent agent;
        const int port = agent.waitForPort();
        QVERIFY2(port > 0, qPrintable(agent.output()));
        Console console(port);
        m_statuses.clear();
        console.send(ZDOrv::kRelaunch);
        QVERIFY(agent.waitForExit());
        QCOMPARE(agent.process().exitCode(), 0);
        QVERIFY(agent.output().contains(QStringLiteral("Relaunching...")));
        QVERIFY(!agent.output().contains(QStringLiteral("Disconnected")));
        // The new instance waits a little, then comes up on its own.
        QTRY_VERIFY_WITH_TIMEOUT(m_statuses.filter(QRegularExpression(QStringLiteral("^Listening on port \\d+$")))
                                     .size() > 0,
                                 kWaitMs);
        QVERIFY(waitUntilAgentObserves());
        ZDNotificationCenter::postNotification(QStringLiteral("ZDKestraClientDisconnect"));
        QTRY_VERIFY_WITH_TIMEOUT(m_statuses.contains(QStringLiteral("Disconnected")), kWaitMs);
    }
};

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc >= 3 && qstrcmp(argv[1], "--console") == 0)
        return runConsoleChild(QByteArray(argv[2]).toInt(), QCoreApplication::arguments().mid(3));
    TestKestraClient test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_kestraclient.moc"
