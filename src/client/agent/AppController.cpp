// The agent's lifecycle: start-up, status line, notifications, menu-bar item,
// system events and the entry modes of the program.
#include "agent/AppController.h"

#include "rights/ZDAuthorization.h"
#include "agent/ZDCallbackRegistry.h"
#include "agent/ZDClientLogs.h"
#include "bus/ZDClientNotifications.h"
#include "agent/ZDClientPreferences.h"
#include "agent/ZDClientTasks.h"
#include "link/ZDConnectionServer.h"
#include "dnssd/ZDDNSSDPublisher.h"
#include "files/ZDFileManager.h"
#include "rights/ZDLaunchd.h"
#include "bus/ZDLocalCallbackServer.h"
#include "platform/ZDLocalPaths.h"
#include "log/ZDLog.h"
#include "platform/ZDMainBundle.h"
#include "bus/ZDNotificationCenter.h"
#include "rpc/ZDOrvProtocol.h"
#include "features/ZDSoftwareUpdates.h"
#include "session/ZDStatusItem.h"
#include "session/ZDSystemEvents.h"
#include "process/ZDTaskEx.h"
#include "process/ZDThreads.h"
#include "session/ZDUserSwitch.h"
#include "platform/ZDBoundedRead.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QThread>
#include <QTimer>

#include <cstdio>
#include <unistd.h>

namespace {
const QString kRequestTitle = QStringLiteral("Request Maintenance");
const QString kCancelTitle = QStringLiteral("Cancel Maintenance Request");
constexpr qint64 kMaxStatusImageBytes = 1024 * 1024;

namespace note = ZDClientNotification;
} // namespace

AppController::AppController(AppControllerOptions options, QObject *parent)
    : QObject(parent), m_options(std::move(options)),
      m_prefs(std::make_unique<ZDClientPreferences>(m_options.preferencesFolder, m_options.bundlePath)),
      m_root(ZDRemoteObject::create())
{
    m_requestWorker.setMaxThreadCount(1);
    m_registry = new ZDCallbackRegistry([] { return ZDClientPreferences::hostName(); }, this);
    m_logs = std::make_unique<ZDClientLogs>([this](const QString &text) {
        m_registry->postErrorStringUserInfo(text, QVariantMap());
    });
    if (m_options.notifications)
        m_center = new ZDNotificationCenter(this);
    if (m_options.tasks) {
        m_tasks = new ZDClientTasks(*m_registry, m_center, this);
        m_tasks->setClearProcessingCancelled([this] { m_processingCancelled = false; });
        m_tasks->setConnectionTimedOutHandler([this] {
            if (!m_isQuitting)
                reconnectAfter(kTimeoutReconnectDelay);
        });
    }
    m_reconnectTimer = new QTimer(this);
    m_reconnectTimer->setSingleShot(true);
    m_callbackRetryTimer = new QTimer(this);
    m_callbackRetryTimer->setSingleShot(true);
    connect(m_callbackRetryTimer, &QTimer::timeout, this, &AppController::startCallbackVending);
    addRemoteOperations();
}

AppController::~AppController()
{
    m_isQuitting = true;
    m_requestWorker.clear();
    m_requestWorker.waitForDone();
    if (m_center) {
        delete m_center; // no notification reaches a half-destroyed controller
        m_center = nullptr;
    }
    if (m_server)
        stopVending();
    stopCallbackVending();
    if (m_populateThread.joinable())
        m_populateThread.join();
    delete m_userSwitch;
}

void AppController::start()
{
    updateStatus(QStringLiteral("Starting up..."));
    if (m_options.notifications && m_options.disconnectOthers)
        disconnectAllOtherInstances();
    ZDLog::appendLog(QStringLiteral("Version %@."), m_prefs->clientVersion());
    m_iconDict.clear();
    connectToWindowServer();
    startService();
    ZDAuthorization::sharedController(ZDAuthorization::Dialog::Never);
    if (m_tasks) {
        ZDClientTasks *tasks = m_tasks;
        m_populateThread = std::thread([tasks] { tasks->populateZDApps(); });
    }
    registerNotifications();
    const QString version = m_prefs->clientVersion();
    ZDSoftwareUpdates::cleanupMountedDisks();
    const QString lastRun = m_prefs->objectForPreferenceDictionaryKey(QStringLiteral("lastRunVersion")).toString();
    if (lastRun != version) {
        m_prefs->setObject(version, QStringLiteral("lastRunVersion"));
        // An upgrade recounts the updates at once (the listing blocks: not here); a first start waits for a console.
        if (auto *updates = lastRun.isEmpty() ? nullptr : findChild<ZDSoftwareUpdates *>()) {
            QThread *recount = QThread::create([updates] { updates->availableUpdateCount(true); });
            connect(recount, &QThread::finished, recount, &QObject::deleteLater);
            recount->start();
        }
    }

    // What the application delegate does once launched: the session watches.
    if (m_options.systemEvents) {
        m_userSwitch = new ZDUserSwitch;
        connect(m_userSwitch, &ZDUserSwitch::userSwitchedIn, this, &AppController::userLogIn);
        connect(m_userSwitch, &ZDUserSwitch::userSwitchedOut, this, &AppController::userLogOut);
        m_userSwitch->setup();
        m_systemEvents = new ZDSystemEvents(this);
        connect(m_systemEvents, &ZDSystemEvents::sessionBecameActive, this, &AppController::userLogIn);
        connect(m_systemEvents, &ZDSystemEvents::sessionResignedActive, this, &AppController::userLogOut);
        connect(m_systemEvents, &ZDSystemEvents::willSleep, this, &AppController::systemSleep);
        connect(m_systemEvents, &ZDSystemEvents::didWake, this, &AppController::systemWake);
        connect(m_systemEvents, &ZDSystemEvents::willPowerOff, this, &AppController::systemShutdown);
        m_systemEvents->start();
    }
}

void AppController::disconnectAllOtherInstances()
{
    ZDLog::appendLog(QStringLiteral("Disconnecting other instances of client..."));
    ZDNotificationCenter::postNotification(note::disconnect,
                                           {{QStringLiteral("excluded_pid"), qint64(QCoreApplication::applicationPid())}});
    ZDLog::appendLog(QStringLiteral("Searching for other instances of client..."));
}

void AppController::connectToWindowServer()
{
    ZDLog::appendLog(QStringLiteral("Connecting to WindowServer..."));
    // The application object main() made is the connection: a QApplication with a
    // display, a QCoreApplication without one.
}

void AppController::registerNotifications()
{
    if (!m_center)
        return;
    auto slot = [this](void (AppController::*method)()) {
        return [this, method](const QString &, const QVariantMap &) { (this->*method)(); };
    };
    m_center->addObserver(note::menuBarIconShow, slot(&AppController::showMenuBarItem));
    m_center->addObserver(note::menuBarIconHide, slot(&AppController::hideMenuBarItem));
    m_center->addObserver(note::maintenanceEnable, slot(&AppController::enableMaintenance));
    m_center->addObserver(note::maintenanceDisable, slot(&AppController::disableMaintenance));
    m_center->addObserver(note::currentStatus, slot(&AppController::notifyCurrentStatus));
    m_center->addObserver(note::relaunch, slot(&AppController::relaunch));
    m_center->addObserver(note::disconnect,
                          [this](const QString &, const QVariantMap &info) { disconnectNotification(info); });
    m_center->addObserver(note::taskProgress,
                          [this](const QString &, const QVariantMap &) { m_registry->taskIncrementProgress(); });
    m_center->addObserver(note::taskFinished,
                          [this](const QString &, const QVariantMap &) { m_registry->taskFinished(); });
    m_center->addObserver(note::taskError,
                          [this](const QString &, const QVariantMap &info) { m_registry->taskError(info); });
}

void AppController::disconnectNotification(const QVariantMap &userInfo)
{
    const auto it = userInfo.constFind(QStringLiteral("excluded_pid"));
    if (it != userInfo.constEnd()) {
        bool ok = false;
        const qint64 pid = it->toLongLong(&ok);
        if (ok && pid == QCoreApplication::applicationPid())
            return;
    }
    disconnect();
}

// ---- services -------------------------------------------------------------

void AppController::startService()
{
    updateStatus(QStringLiteral("Starting up..."));
    // Settings are read on the main thread's next turn: it is one small file.
    QTimer::singleShot(0, this, &AppController::loadSettings);
    int port = m_options.port;
    if (port < 0) {
        port = customPort(m_prefs->objectForPreferenceDictionaryKey(QStringLiteral("customPortSet")),
                          m_prefs->objectForPreferenceDictionaryKey(QStringLiteral("customPort")));
        if (port > 0)
            ZDLog::appendLog(QStringLiteral("Custom port set to %i"), port);
    }
    startVendingOnPort(port);
    if (m_options.publish && m_prefs->integerPreference(QStringLiteral("disableBonjour"), 0) != 1)
        publishService();
    if (m_options.callbackServer)
        startCallbackVending();
}

int AppController::customPort(const QVariant &customPortSet, const QVariant &customPort)
{
    bool ok = false;
    if (customPortSet.toLongLong(&ok) != 1 || !ok)
        return 0;
    const qint64 port = customPort.toLongLong(&ok);
    return ok && port >= ZDOrv::kMinPort && port <= ZDOrv::kMaxPort ? int(port) : 0;
}

void AppController::stopService()
{
    try {
        m_registry->performErrorCallbackSelector(QString::fromLatin1(ZDOrv::kWillDisconnect), {hostName()});
        // willDisconnect: travels oneway; one answered ping per console proves it left
        // before the links close.
        for (const ZDRemoteProxyPtr &callback : m_registry->callbacks()) {
            try {
                const int timeout = callback->replyTimeout();
                callback->setReplyTimeout(2000);
                callback->call(QString::fromLatin1(ZDOrv::kPing));
                callback->setReplyTimeout(timeout);
            } catch (const std::exception &) {
                // gone already: nothing to wait for
            }
        }
        if (!m_isRelaunching)
            updateStatus(QStringLiteral("Disconnecting..."));
        stopVending();
        stopCallbackVending();
        if (m_publisher)
            m_publisher->withdraw();
        if (!m_isRelaunching)
            updateStatus(QStringLiteral("Disconnected"));
    } catch (const std::exception &e) {
        std::printf("Exception in %s: %s - %s\n", "stopService", qPrintable(ZDException::nameOf(e)),
                    qPrintable(ZDException::reasonOf(e)));
    }
}

void AppController::disconnect()
{
    if (QThread::currentThread() != thread()) {
        ZDThreads::post(this, [this] { disconnect(); });
        return;
    }
    m_isQuitting = true;
    ZDLog::appendLog(QStringLiteral("Preparing to disconnect..."));
    m_reconnectTimer->stop();
    stopService();
    hideMenuBarItem();
    Q_EMIT disconnected();
    if (m_options.quitOnDisconnect)
        QCoreApplication::quit();
}

void AppController::relaunch()
{
    if (QThread::currentThread() != thread()) {
        ZDThreads::post(this, [this] { relaunch(); });
        return;
    }
    if (m_isRelaunching)
        return;
    const QString executable = bundlePath() + QStringLiteral("/Contents/MacOS/") + QLatin1String(kExecutableName);
    if (!QFileInfo(executable).isFile()) {
        ZDLog::appendLog(QStringLiteral("Unable to relaunch client - %@ doesn't exist."), executable);
        return;
    }
    m_isRelaunching = true;
    ZDTaskEx::runTaskAndReturn(executable, {QStringLiteral("-wait")});
    updateStatus(QStringLiteral("Relaunching..."));
    disconnect();
}

QString AppController::bundlePath() const
{
    if (!m_options.bundlePath.isEmpty())
        return m_options.bundlePath;
    const QString running = ZDMainBundle::bundlePath();
    return running.isEmpty() ? ZDClientPreferences::bundlePath() : running;
}

// ---- status ---------------------------------------------------------------

void AppController::updateStatus(const QString &text)
{
    std::fputs(qPrintable(text + QLatin1Char('\n')), stdout);
    std::fflush(stdout);
    ZDLog::appendLog(text);
    {
        const std::lock_guard<std::mutex> lock(m_stateMutex);
        m_statusString = text;
    }
    Q_EMIT statusChanged(text);
    notifyCurrentStatus();
}

void AppController::notifyCurrentStatus()
{
    if (m_options.notifications)
        ZDNotificationCenter::postNotification(note::statusUpdate, {{QStringLiteral("status"), statusString()}});
}

QString AppController::statusString() const
{
    const std::lock_guard<std::mutex> lock(m_stateMutex);
    return m_statusString;
}

QString AppController::pdoName() const
{
    const std::lock_guard<std::mutex> lock(m_stateMutex);
    return m_pdoName;
}

QString AppController::hostName() const
{
    return ZDClientPreferences::hostName();
}

void AppController::loadSettings()
{
    ZDLog::appendLog(QStringLiteral("Loading settings..."));
    if (m_prefs->integerPreference(QString::fromLatin1(ZDOrv::kSettingShowMenuBarIcon), 1) != 0)
        showMenuBarItem();
}

// ---- menu-bar item --------------------------------------------------------

void AppController::setupIconDict()
{
    if (!m_iconDict.isEmpty())
        return;
    const QString resources = bundlePath() + QStringLiteral("/Contents/Resources/");
    const std::pair<const char *, const char *> files[] = {{"normal", "spanner-18.png"},
                                                           {"highlight", "spanner-highlight-18.png"},
                                                           {"maintenance", "spanner-maintenance-18.png"},
                                                           {"disconnected", "spanner-disconnected-18.png"}};
    for (const auto &[key, file] : files) {
        QFile in(resources + QLatin1String(file));
        const QByteArray image = in.open(QIODevice::ReadOnly) ? ZDBoundedRead::upTo(in, kMaxStatusImageBytes) : QByteArray();
        if (!image.isEmpty())
            m_iconDict.insert(QLatin1String(key), image);
    }
    const QByteArray small = ZDClientPreferences::computerIcon(QSize(16, 16));
    if (!small.isEmpty())
        m_iconDict.insert(QStringLiteral("smallServiceIcon"), small);
}

void AppController::showMenuBarItem()
{
    if (QThread::currentThread() != thread()) {
        ZDThreads::post(this, [this] { showMenuBarItem(); });
        return;
    }
    if (!m_options.statusItem || m_statusItem || !ZDStatusItem::canShow())
        return; // no display: nothing to show, and no image to load for it
    setupIconDict();
    m_statusItem = ZDStatusItem::create(m_iconDict, this);
    if (!m_statusItem)
        return; // no display or no tray: nothing to show, silently
    connect(m_statusItem, &ZDStatusItem::firstItemTriggered, this, &AppController::requestMaintenance);
    m_statusItem->setFirstItemTitle(m_maintenanceRequested ? kCancelTitle : kRequestTitle);
    showStatusImage(m_maintenanceRequested ? QStringLiteral("maintenance")
                                           : m_isConnected ? QStringLiteral("normal")
                                                           : QStringLiteral("disconnected"));
}

void AppController::hideMenuBarItem()
{
    if (QThread::currentThread() != thread()) {
        ZDThreads::post(this, [this] { hideMenuBarItem(); });
        return;
    }
    ZDLog::appendLog(QStringLiteral("Hiding menu bar item..."));
    delete m_statusItem;
    m_statusItem = nullptr;
    if (!m_isQuitting)
        cancelMaintenanceRequest();
}

void AppController::showStatusImage(const QString &key)
{
    if (QThread::currentThread() != thread()) {
        ZDThreads::post(this, [this, key] { showStatusImage(key); });
        return;
    }
    if (!m_statusItem)
        return;
    setupIconDict();
    m_statusItem->setImage(key);
}

void AppController::setFirstMenuItemTitle(const QString &title)
{
    if (QThread::currentThread() != thread()) {
        ZDThreads::post(this, [this, title] { setFirstMenuItemTitle(title); });
        return;
    }
    if (m_statusItem)
        m_statusItem->setFirstItemTitle(title);
}

void AppController::setStatusBarConnected()
{
    showStatusImage(QStringLiteral("normal"));
}

void AppController::setStatusBarDisconnected()
{
    showStatusImage(QStringLiteral("disconnected"));
}

void AppController::enableMaintenance()
{
    ZDLog::appendLog(QStringLiteral("Maintenance enabled"));
    showMenuBarItem();
}

void AppController::disableMaintenance()
{
    ZDLog::appendLog(QStringLiteral("Maintenance disabled"));
    m_maintenanceRequested = false;
    setFirstMenuItemTitle(kRequestTitle);
    showMenuBarItem();
}

// ---- maintenance request --------------------------------------------------

void AppController::sendMaintenanceRequest()
{
    ZDLog::appendLog(QStringLiteral("Sending maintenance request..."));
    m_maintenanceRequested = true;
    ZDLog::appendLog(QStringLiteral("Maintenance request sent"));
    setFirstMenuItemTitle(kCancelTitle);
    showStatusImage(QStringLiteral("maintenance"));
    m_registry->performErrorCallbackSelector(QString::fromLatin1(ZDOrv::kRequestMaintenance), {hostName()});
}

void AppController::cancelMaintenanceRequest()
{
    ZDLog::appendLog(QStringLiteral("Canceling maintenance request..."));
    if (m_prefs->integerPreference(QString::fromLatin1(ZDOrv::kSettingEnableMaintenanceRequests), 1) != 0) {
        m_maintenanceRequested = false;
        ZDLog::appendLog(QStringLiteral("Maintenance request canceled"));
        setFirstMenuItemTitle(kRequestTitle);
    }
    showStatusImage(QStringLiteral("normal"));
    m_registry->performErrorCallbackSelector(QString::fromLatin1(ZDOrv::kCancelMaintenance), {hostName()});
}

void AppController::requestMaintenance()
{
    // The menu's action: consoles are called off the main thread, which keeps the tray responsive.
    const bool send = !m_statusItem || m_statusItem->firstItemTitle() == kRequestTitle;
    m_requestWorker.start([this, send] {
        if (send)
            sendMaintenanceRequest();
        else
            cancelMaintenanceRequest();
    });
}

void AppController::applicationDidCrashWithLog(const QString &path)
{
    const std::lock_guard<std::mutex> lock(m_stateMutex);
    m_lastCrashLogPath = path;
}

// ---- system events --------------------------------------------------------

void AppController::userLogIn()
{
    ZDLog::appendLog(QStringLiteral("System event: user logged in."));
    stopService();
    startService();
}

void AppController::userLogOut()
{
    ZDLog::appendLog(QStringLiteral("System event: user logged out."));
    stopService();
}

void AppController::systemSleep()
{
    ZDLog::appendLog(QStringLiteral("System event: entering sleep mode..."));
    stopService();
}

void AppController::systemWake()
{
    ZDLog::appendLog(QStringLiteral("System event: woke from sleep"));
    stopService();
    startService();
}

void AppController::systemShutdown()
{
    ZDLog::appendLog(QStringLiteral("System event: shutdown."));
    disconnect();
}

// ---- entry modes ----------------------------------------------------------

QVariantMap AppController::launchAgentSettings(const QString &executable)
{
    return {{QStringLiteral("Label"), launchAgentLabel()},
            {QStringLiteral("Program"), executable},
            {QStringLiteral("WorkingDirectory"), QFileInfo(executable).absolutePath()},
            {QStringLiteral("RunAtLoad"), true},
            {QStringLiteral("KeepAlive"), QVariantMap{{QStringLiteral("SuccessfulExit"), false}}}};
}

// The executable the launch agent starts: the running application folder's, else
// the copy inside the preference pane.
static QString launchAgentExecutable(bool report)
{
    const QString running = ZDMainBundle::bundlePath();
    const QString executable = (running.isEmpty() ? ZDClientPreferences::bundlePath() : running) +
                               QStringLiteral("/Contents/MacOS/") + QLatin1String(AppController::kExecutableName);
    if (QFileInfo(executable).isFile())
        return executable;
    const QString pane = ZDLocalPaths::libraryDirectory(false) +
                         QStringLiteral("/PreferencePanes/Kestra Client.prefPane/Contents/MacOS/") +
                         QLatin1String(AppController::kExecutableName);
    if (report && !QFileInfo(pane).isFile())
        std::puts("Error - unable to determine application path. Please report this error to Zendrel.");
    return pane;
}

void AppController::setupClient()
{
    ZDLog::appendLog(QStringLiteral("Setting up client..."));
    const QString executable = launchAgentExecutable(true);
    // The unit is written in place, or elsewhere and moved in with administrator rights.
    if (!ZDLaunchd::startJob(launchAgentLabel(), launchAgentSettings(executable), ZDLaunchd::Domain::Computer,
                             ZDLaunchd::JobKind::Agent, ZDLaunchd::Rights::AskIfNeeded))
        ZDLog::appendLog(QStringLiteral("Error: Unable to create LaunchAgent. Please check you have correct "
                                        "permissions for the directory %@"),
                         ZDLaunchd::jobDirectory(ZDLaunchd::Domain::Computer, ZDLaunchd::JobKind::Agent));
}

void AppController::runClient()
{
    ZDLaunchd::stopJob(launchAgentLabel(), ZDLaunchd::Domain::Computer, ZDLaunchd::JobKind::Agent,
                      ZDLaunchd::Rights::AsIs);
    QThread::sleep(3);
    // Enabling again loads the unit for the computer and starts it for the console user.
    if (QFile::exists(ZDLaunchd::jobPath(launchAgentLabel(), ZDLaunchd::Domain::Computer, ZDLaunchd::JobKind::Agent)))
        ZDLaunchd::startJob(launchAgentLabel(), launchAgentSettings(launchAgentExecutable(false)),
                            ZDLaunchd::Domain::Computer, ZDLaunchd::JobKind::Agent, ZDLaunchd::Rights::AsIs);
}
