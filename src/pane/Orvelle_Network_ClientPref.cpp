#include "Orvelle_Network_ClientPref.h"

#include "agent/AppController.h"
#include "rights/ZDAuthorization.h"
#include "bus/ZDClientNotifications.h"
#include "agent/ZDClientPreferences.h"
#include "rights/ZDLaunchd.h"
#include "platform/ZDLocalPaths.h"
#include "log/ZDLog.h"
#include "bus/ZDNotificationCenter.h"
#include "ZDPaneAgentProcess.h"
#include "plist/ZDPropertyList.h"
#include "process/ZDThreads.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtConcurrent/QtConcurrentRun>

namespace {
namespace note = ZDClientNotification;

constexpr qint64 kMaxSysfsBytes = 64;
constexpr int kMaxInterfaces = 256;

QString label()
{
    return AppController::launchAgentLabel();
}

QString jobPath()
{
    return ZDLaunchd::jobPath(label(), ZDLaunchd::Domain::Computer, ZDLaunchd::JobKind::Agent);
}

QByteArray readSmall(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.read(kMaxSysfsBytes).trimmed();
}

bool isOne(const QVariant &value)
{
    bool ok = false;
    return value.toLongLong(&ok) == 1 && ok;
}

bool notZero(const QVariant &value)
{
    bool ok = false;
    const qint64 number = value.toLongLong(&ok);
    return !value.isValid() || !ok || number != 0;
}
} // namespace

Orvelle_Network_ClientPref::Orvelle_Network_ClientPref(QObject *parent)
    : QObject(parent), m_prefs(std::make_unique<ZDClientPreferences>())
{
    m_statusTimer.setInterval(kStatusIntervalMs);
    connect(&m_statusTimer, &QTimer::timeout, this, &Orvelle_Network_ClientPref::fetchCurrentStatus);
    m_messageTimer.setSingleShot(true);
    connect(&m_messageTimer, &QTimer::timeout, this,
            [this] { updateStatus({{QStringLiteral("status"), QStringLiteral("Timed out")}}); });
}

Orvelle_Network_ClientPref::~Orvelle_Network_ClientPref()
{
    {
        const std::lock_guard lock(m_closingMutex);
        m_closing = true;
    }
    m_closingChanged.notify_all();
    m_statusTimer.stop();
    m_messageTimer.stop();
    delete m_center; // no status reaches a controller on its way out
    m_center = nullptr;
    for (QFuture<void> &worker : m_workers)
        worker.waitForFinished();
}

template <typename F>
void Orvelle_Network_ClientPref::runWorker(F &&work)
{
    std::erase_if(m_workers, [](const QFuture<void> &f) { return f.isFinished(); });
    m_workers.push_back(QtConcurrent::run(std::forward<F>(work)));
}

bool Orvelle_Network_ClientPref::waitOrClosing(int ms)
{
    std::unique_lock lock(m_closingMutex);
    return !m_closingChanged.wait_for(lock, std::chrono::milliseconds(ms), [this] { return m_closing; });
}

std::vector<ZDNetworkInterface> Orvelle_Network_ClientPref::networkInterfaces()
{
    std::vector<ZDNetworkInterface> result;
    const QString net = ZDLocalPaths::systemPath(QStringLiteral("/sys/class/net"));
    const QStringList names = QDir(net).entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::System, QDir::Name);
    static const QRegularExpression mac(QStringLiteral("^[0-9a-f]{2}(:[0-9a-f]{2}){5}$"));
    for (const QString &name : names) {
        if (int(result.size()) >= kMaxInterfaces)
            break;
        const QString dir = net + QLatin1Char('/') + name;
        // 1 is Ethernet-like (Wi-Fi included); loopback (772) and tunnels have no hardware address.
        if (readSmall(dir + QStringLiteral("/type")) != "1")
            continue;
        const QString address = QString::fromLatin1(readSmall(dir + QStringLiteral("/address"))).toLower();
        if (!mac.match(address).hasMatch() || address == QLatin1String("00:00:00:00:00:00"))
            continue;
        const bool wireless = QFileInfo::exists(dir + QStringLiteral("/wireless")) ||
                              QFileInfo::exists(dir + QStringLiteral("/phy80211"));
        result.push_back({(wireless ? QStringLiteral("Wi-Fi - ") : QStringLiteral("Ethernet - ")) + name, address});
    }
    return result;
}

QString Orvelle_Network_ClientPref::portProblem(const QString &text)
{
    bool ok = false;
    const int port = text.trimmed().toInt(&ok);
    if (!ok || port < kMinPort || port > kMaxPort)
        return tr("The port must be a number from %1 to %2.").arg(kMinPort).arg(kMaxPort);
    return {};
}

bool Orvelle_Network_ClientPref::isJobInstalled() const
{
    return QFile::exists(jobPath());
}

QString Orvelle_Network_ClientPref::versionText() const
{
    const QString version = m_prefs->clientVersionString();
    return version.isEmpty() ? QStringLiteral("Kestra Client") : QStringLiteral("v") + version;
}

void Orvelle_Network_ClientPref::mainViewDidLoad()
{
    if (m_loaded)
        return;
    m_loaded = true;
    m_isLoading = true;
    if (isJobInstalled() && !ZDPaneAgentProcess::ownAgentProcesses(ZDPaneAgentProcess::agentExecutable()).isEmpty())
        setStatus(QStringLiteral("Connected"));

    const QVariantMap prefs = ZDPropertyList::readDictionary(m_prefs->preferencesPath());
    m_settings.autoUpdateCheck = notZero(prefs.value(QStringLiteral("autoUpdateCheck")));
    m_settings.showMenuBarIcon = notZero(prefs.value(QStringLiteral("showMenuBarIcon")));
    m_settings.enableMaintenance = notZero(prefs.value(QStringLiteral("enableMaintenanceRequests")));
    m_settings.preventUpdateDialogs =
        notZero(ZDPropertyList::readDictionary(m_prefs->globalPreferencesPath()).value(QStringLiteral("SUCheckAtStartup")));
    m_settings.customPortSet = isOne(prefs.value(QStringLiteral("customPortSet")));
    const qint64 port = prefs.value(QStringLiteral("customPort")).toLongLong();
    m_settings.customPort = port > 0 ? QString::number(port) : QString();
    m_settings.disableBonjour = isOne(prefs.value(QStringLiteral("disableBonjour")));
    m_settings.selectedMACAddress = prefs.value(QStringLiteral("selectedMACAddress")).toString().left(64);

    m_center = new ZDNotificationCenter(this);
    m_center->addObserver(note::statusUpdate,
                          [this](const QString &, const QVariantMap &info) { updateStatus(info); });
    fetchCurrentStatus();
    updateEnabledStatus();
    m_statusTimer.start();
    runWorker([this] { reloadClientIfNew(); });
}

void Orvelle_Network_ClientPref::fetchCurrentStatus()
{
    postNotification(note::currentStatus);
}

void Orvelle_Network_ClientPref::postNotification(const QString &name)
{
    ZDNotificationCenter::postNotification(name);
    scheduleTimeOut(kReplyTimeoutMs);
}

void Orvelle_Network_ClientPref::scheduleTimeOut(int ms)
{
    m_messageTimer.start(ms);
}

void Orvelle_Network_ClientPref::setStatus(const QString &status)
{
    m_status = QStringLiteral("Status: ") + status.left(200);
    Q_EMIT statusChanged(m_status);
}

void Orvelle_Network_ClientPref::updateStatus(const QVariantMap &userInfo)
{
    m_messageTimer.stop();
    const auto it = userInfo.constFind(QStringLiteral("status"));
    if (it == userInfo.constEnd())
        return;
    const QString status = it->toString();
    setStatus(status);
    if (status != QLatin1String("Not loaded") && !m_isProcessing)
        updateEnabledStatus(status != QLatin1String("Relaunching..."));
}

void Orvelle_Network_ClientPref::updateEnabledStatus(bool force)
{
    m_enabled.masterSwitch = true;
    static const QStringList down{QStringLiteral("Status: Disconnected"), QStringLiteral("Status: Timed out"),
                                  QStringLiteral("Status: Not loaded"), QStringLiteral("Status: Relaunching...")};
    const bool running = isJobInstalled() && !down.contains(m_status);
    if (force)
        m_switchOn = running;
    m_enabled.updateChecks = running;
    m_enabled.showMenuBarIcon = running;
    m_enabled.maintenance = running && m_settings.showMenuBarIcon;
    m_enabled.portText = m_settings.customPortSet;
    Q_EMIT interfaceChanged();
    if (!running && force)
        setStatus(QStringLiteral("Not loaded"));
}

void Orvelle_Network_ClientPref::disableInterface()
{
    m_enabled.masterSwitch = m_enabled.updateChecks = m_enabled.showMenuBarIcon = m_enabled.maintenance = false;
    Q_EMIT interfaceChanged();
}

void Orvelle_Network_ClientPref::userSwitched(bool on)
{
    // A change while loading or working, or one that changes nothing, is no decision.
    if (m_isLoading || m_isProcessing || !m_enabled.masterSwitch || on == m_switchOn) {
        Q_EMIT interfaceChanged();
        return;
    }
    m_switchOn = on;
    m_isProcessing = true;
    disableInterface();
    Q_EMIT busyChanged(true);
    if (on) {
        runWorker([this] { setupClient(); });
    } else {
        setStatus(QStringLiteral("Disconnecting..."));
        postNotification(note::disconnect);
        runWorker([this] { stopClient(); });
    }
}

void Orvelle_Network_ClientPref::finishProcessing()
{
    m_isProcessing = false;
    updateEnabledStatus();
    Q_EMIT busyChanged(false);
}

void Orvelle_Network_ClientPref::setupClient()
{
    const QString executable = ZDPaneAgentProcess::agentExecutable();
    if (executable.isEmpty()) {
        ZDLog::appendLog(QStringLiteral("Error - unable to determine application path. Please report this error to Zendrel."));
        ZDThreads::post(this, [this] {
            Q_EMIT sheet(tr("Error - unable to determine application path"), tr("Please report this error to Zendrel."));
            finishProcessing();
        });
        return;
    }
    ZDThreads::post(this, [this] { setStatus(QStringLiteral("Creating job...")); });
    ZDPaneAgentProcess::terminateOwnAgents(executable);
    const bool created = ZDLaunchd::startJob(label(), AppController::launchAgentSettings(executable),
                                             ZDLaunchd::Domain::Computer, ZDLaunchd::JobKind::Agent,
                                             ZDLaunchd::Rights::AskIfNeeded);
    ZDThreads::post(this, [this, created] {
        if (created) {
            setStatus(QStringLiteral("Launching client..."));
            scheduleTimeOut(kStartReplyTimeoutMs);
        } else {
            setStatus(QStringLiteral("Error: unable to create job"));
        }
        finishProcessing();
    });
    if (!created)
        return;
    // The service manager normally starts it; where it has not by then, start it here.
    if (!waitOrClosing(m_launchDelayMs))
        return;
    if (ZDPaneAgentProcess::ownAgentProcesses(executable).isEmpty())
        ZDPaneAgentProcess::startAgent(executable);
    ZDThreads::post(this, [this] {
        if (!m_isProcessing)
            updateEnabledStatus();
    });
}

void Orvelle_Network_ClientPref::stopClient()
{
    if (!waitOrClosing(2000))
        return;
    ZDThreads::post(this, [this] { setStatus(QStringLiteral("Unloading job...")); });
    ZDLaunchd::removeJob(label(), ZDLaunchd::Domain::Computer, ZDLaunchd::JobKind::Agent,
                         ZDLaunchd::Rights::AskIfNeeded);
    // Our own session's agent only: other users keep theirs until their session ends.
    ZDPaneAgentProcess::terminateOwnAgents(ZDPaneAgentProcess::agentExecutable());
    ZDThreads::post(this, [this] {
        setStatus(QStringLiteral("Not loaded"));
        finishProcessing();
    });
}

void Orvelle_Network_ClientPref::reloadClientIfNew()
{
    if (waitOrClosing(1000)) {
        const QString path = m_prefs->preferencesPath();
        const QVariant file = ZDPropertyList::readFile(path);
        const QString installed = m_prefs->clientVersion();
        const QString lastRun = file.toMap().value(QStringLiteral("lastRunVersion")).toString();
        if (!lastRun.isEmpty() && !installed.isEmpty() && lastRun != installed && QFile::exists(jobPath())) {
            ZDNotificationCenter::postNotification(note::disconnect);
            if (waitOrClosing(1000)) {
                ZDLaunchd::stopJob(label(), ZDLaunchd::Domain::Computer, ZDLaunchd::JobKind::Agent,
                                   ZDLaunchd::Rights::AskIfNeeded);
                const QString executable = ZDPaneAgentProcess::agentExecutable();
                if (!executable.isEmpty())
                    ZDLaunchd::startJob(label(), AppController::launchAgentSettings(executable),
                                        ZDLaunchd::Domain::Computer, ZDLaunchd::JobKind::Agent,
                                        ZDLaunchd::Rights::AskIfNeeded);
            }
        }
        if (file.typeId() == QMetaType::QVariantMap && !installed.isEmpty())
            m_prefs->setObject(installed, QStringLiteral("lastRunVersion"));
    }
    ZDThreads::post(this, [this] { m_isLoading = false; });
}

bool Orvelle_Network_ClientPref::savePrefs()
{
    const QString path = m_prefs->preferencesPath();
    QVariantMap prefs = ZDPropertyList::readDictionary(path);
    prefs.insert(QStringLiteral("autoUpdateCheck"), int(m_settings.autoUpdateCheck));
    prefs.insert(QStringLiteral("showMenuBarIcon"), int(m_settings.showMenuBarIcon));
    prefs.insert(QStringLiteral("enableMaintenanceRequests"), int(m_settings.enableMaintenance));
    if (m_settings.selectedMACAddress.isEmpty())
        prefs.remove(QStringLiteral("selectedMACAddress"));
    else
        prefs.insert(QStringLiteral("selectedMACAddress"), m_settings.selectedMACAddress);
    prefs.insert(QStringLiteral("customPortSet"), int(m_settings.customPortSet));
    prefs.insert(QStringLiteral("customPort"), m_settings.customPort.trimmed().toInt());
    prefs.insert(QStringLiteral("disableBonjour"), int(m_settings.disableBonjour));

    QDir().mkpath(QFileInfo(path).absolutePath());
    if (!ZDPropertyList::writeFile(path, prefs)) {
        QTemporaryDir temp;
        const QString staged = temp.filePath(QFileInfo(path).fileName());
        if (!temp.isValid() || !ZDPropertyList::writeFile(staged, prefs) ||
            !ZDAuthorization::sharedController().authMoveFile(staged, path)) {
            Q_EMIT sheet(tr("Unable to write preferences"),
                         tr("Please check the permissions for the directory %1.").arg(QFileInfo(path).absolutePath()));
            return false;
        }
    }
    const QString global = m_prefs->globalPreferencesPath();
    const QVariant globalFile = ZDPropertyList::readFile(global);
    if (globalFile.typeId() == QMetaType::QVariantMap) {
        QVariantMap map = globalFile.toMap();
        map.insert(QStringLiteral("SUCheckAtStartup"), int(m_settings.preventUpdateDialogs));
        ZDPropertyList::writeFile(global, map);
    }
    updateEnabledStatus(false);
    return true;
}

void Orvelle_Network_ClientPref::setAutoUpdateCheck(bool on)
{
    m_settings.autoUpdateCheck = on;
    savePrefs();
}

void Orvelle_Network_ClientPref::setPreventUpdateDialogs(bool on)
{
    m_settings.preventUpdateDialogs = on;
    savePrefs();
}

void Orvelle_Network_ClientPref::setShowMenuBarIcon(bool on)
{
    m_settings.showMenuBarIcon = on;
    savePrefs();
    ZDNotificationCenter::postNotification(on ? note::menuBarIconShow : note::menuBarIconHide);
}

void Orvelle_Network_ClientPref::setMaintenance(bool on)
{
    m_settings.enableMaintenance = on;
    savePrefs();
    ZDNotificationCenter::postNotification(on ? note::maintenanceEnable : note::maintenanceDisable);
}

bool Orvelle_Network_ClientPref::updateNetworkSettings(const QString &macAddress, bool customPortSet,
                                                       const QString &customPort, bool disableBonjour,
                                                       QString *error)
{
    // A port outside the range would leave the agent listening nowhere after its relaunch.
    if (customPortSet || !customPort.trimmed().isEmpty()) {
        const QString problem = portProblem(customPort);
        if (!problem.isEmpty()) {
            if (error)
                *error = problem;
            return false;
        }
    }
    m_settings.selectedMACAddress = macAddress.left(64);
    m_settings.customPortSet = customPortSet;
    m_settings.customPort = customPort.trimmed();
    m_settings.disableBonjour = disableBonjour;
    if (!savePrefs())
        return false;
    postNotification(note::relaunch);
    return true;
}
