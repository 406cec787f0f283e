#pragma once
// The agent's one long-lived object: it vends the root object consoles call,
// publishes the agent on DNS-SD, keeps the machine-local callback connection,
// reacts to the distributed notifications of the pane and the maker's tools and
// to the system's session, sleep and shutdown events, and owns the status line.
//
// Lives on the main thread. Remote operations run on the wire's worker threads;
// whatever touches a QObject of the main thread is queued to it.
//
// Constructible more than once per process (benchmarks run a fleet): everything
// machine-wide is switched by AppControllerOptions.
#include "rpc/ZDNameRegistry.h"
#include "rpc/ZDRemoteObject.h"
#include "rpc/ZDRemoteProxy.h"

#include <QHash>
#include <QByteArray>
#include <QObject>
#include <QSize>
#include <QString>
#include <QThreadPool>
#include <QVariantMap>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

class QTimer;
class ZDCallbackRegistry;
class ZDClientLogs;
class ZDClientPreferences;
class ZDClientTasks;
class ZDConnectionServer;
class ZDDNSSDPublisher;
class ZDLocalCallbackServer;
class ZDNotificationCenter;
class ZDStatusItem;
class ZDSystemEvents;
class ZDUserSwitch;

struct AppControllerOptions
{
    bool notifications = true;    // observe and post distributed notifications
    bool disconnectOthers = true; // tell other agents to quit at start
    bool publish = true;          // DNS-SD (still subject to "disableBonjour")
    bool statusItem = true;       // tray icon, when a display and a tray exist
    bool callbackServer = true;   // machine-local callback connection
    bool systemEvents = true;     // logind session, sleep, shutdown, console user
    bool tasks = true;            // installed tools and remote tasks
    bool quitOnDisconnect = true; // a disconnect ends the application
    QString nameSuffix;           // appended to the host name in the registered name
    int port = -1;                // -1: the preferences decide
    QString listenAddress;        // empty: the preferences decide (any address or the chosen interface)
    QString preferencesFolder;    // empty: the user's preferences folder
    QString bundlePath;           // empty: the running application folder
};

class AppController : public QObject
{
    Q_OBJECT
public:
    static constexpr const char *kBundleIdentifier = "com.zendrel.KestraClient";
    static constexpr const char *kExecutableName = "KestraClient";
    // Delays before vending again: after a call of ours timed out, and after any
    // other failure of the vended side (listener, name, publication).
    static constexpr std::chrono::seconds kTimeoutReconnectDelay{5};
    static constexpr std::chrono::seconds kFailureReconnectDelay{10};

    explicit AppController(AppControllerOptions options = {}, QObject *parent = nullptr);
    ~AppController() override;

    // The start-up sequence, then the session watches. Call once, on the main thread.
    void start();

    // Entry modes of the program.
    static void setupClient();
    static void runClient();
    static QString launchAgentLabel() { return QString::fromLatin1(kBundleIdentifier); }
    static QVariantMap launchAgentSettings(const QString &executable);

    // Naming and interfaces.
    static QString makePdoName(const QString &hostName, const QString &uuidPrefix = QString());
    // "name", "macAddress", "ip4Address", "bsdName" of the interface with that MAC; empty when none.
    static QVariantMap networkInterfaceWithMACAddress(const QString &mac);
    // The accepted custom port, or 0 (let the system choose).
    static int customPort(const QVariant &customPortSet, const QVariant &customPort);

    QString statusString() const;
    QString pdoName() const;
    int listenPortNumber() const { return m_listenPortNumber.load(); }
    bool isConnected() const { return m_isConnected.load(); }
    bool maintenanceRequested() const { return m_maintenanceRequested.load(); }
    QString hostName() const;
    ZDRemoteObjectPtr rootObject() const { return m_root; }
    ZDCallbackRegistry &registry() const { return *m_registry; }

public Q_SLOTS:
    void startService();
    void stopService();
    void disconnect();
    void relaunch();
    void updateStatus(const QString &text);
    void notifyCurrentStatus();
    void showMenuBarItem();
    void hideMenuBarItem();
    void setStatusBarConnected();
    void setStatusBarDisconnected();
    void enableMaintenance();
    void disableMaintenance();
    void sendMaintenanceRequest();
    void cancelMaintenanceRequest();
    void requestMaintenance();
    void applicationDidCrashWithLog(const QString &path);
    void userLogIn();
    void userLogOut();
    void systemSleep();
    void systemWake();
    void systemShutdown();
    void reconnectWithTimeInterval(double seconds);
    void reconnectAfter(std::chrono::seconds delay) { reconnectWithTimeInterval(double(delay.count())); }

Q_SIGNALS:
    void statusChanged(const QString &status);
    void disconnected();

private:
    // Lifecycle, status and notifications (AppController.cpp).
    void disconnectAllOtherInstances();
    void connectToWindowServer();
    void registerNotifications();
    void disconnectNotification(const QVariantMap &userInfo);
    void loadSettings();
    void setupIconDict();
    void showStatusImage(const QString &key);
    void setFirstMenuItemTitle(const QString &title);
    QString bundlePath() const;

    // Vending, publishing, callback connection (AppControllerVending.cpp).
    void startVendingOnPort(int port);
    void listenerFailed(quint64 generation);
    void stopVending();
    void publishService();
    void netServiceDidNotPublish(int error, const QString &message);
    void startCallbackVending();
    void stopCallbackVending();
    void reconnectCallbackWithTimeInterval(double seconds);
    void addErrorCallbackObjOperations(ZDLocalCallbackServer &server);

    // Remote operations (AppControllerRemote.cpp).
    void addRemoteOperations();
    QVariant guarded(const char *op, const std::function<QVariant()> &body);
    QVariantMap fetchConfiguration();

    AppControllerOptions m_options;
    std::unique_ptr<ZDClientPreferences> m_prefs;
    ZDCallbackRegistry *m_registry = nullptr;
    std::unique_ptr<ZDClientLogs> m_logs;
    ZDClientTasks *m_tasks = nullptr;
    ZDNotificationCenter *m_center = nullptr;
    ZDRemoteObjectPtr m_root;
    std::unique_ptr<ZDConnectionServer> m_server;
    ZDNameRegistry m_nameRegistry;
    ZDDNSSDPublisher *m_publisher = nullptr;
    ZDLocalCallbackServer *m_callbackServer = nullptr;
    QTimer *m_callbackRetryTimer = nullptr;
    QTimer *m_reconnectTimer = nullptr;
    ZDStatusItem *m_statusItem = nullptr;
    ZDSystemEvents *m_systemEvents = nullptr;
    ZDUserSwitch *m_userSwitch = nullptr;
    std::thread m_populateThread;
    // The tray's maintenance requests call consoles: one at a time, in order, off
    // the main thread, and waited for before this object goes.
    QThreadPool m_requestWorker;
    QHash<QString, QByteArray> m_iconDict; // image files, main thread only

    std::atomic<bool> m_maintenanceRequested{false};
    std::atomic<bool> m_isQuitting{false};
    std::atomic<bool> m_isConnected{false};
    std::atomic<bool> m_processingCancelled{false};
    std::atomic<bool> m_isRelaunching{false};
    std::atomic<bool> m_willReconnect{false};
    std::atomic<int> m_listenPortNumber{0};
    quint64 m_vendGeneration = 0; // main thread; tells a stale listener's failure from the current one's

    mutable std::mutex m_stateMutex; // the strings below
    QString m_statusString;
    QString m_pdoName;
    QString m_listenIPAddress;
    QString m_listenBSDName;
    QString m_lastCrashLogPath;
};
