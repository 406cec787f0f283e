// The operations consoles call on the vended root object: connection,
// configuration, status and logs. Each is served through the operation contract,
// which checks its arguments, and runs inside the exception guard.
#include "agent/AppController.h"

#include "agent/ZDAgentSecurity.h"
#include "agent/ZDCallbackRegistry.h"
#include "agent/ZDClientLogs.h"
#include "agent/ZDClientPreferences.h"
#include "agent/ZDClientTasks.h"
#include "features/ZDApplications.h"
#include "features/ZDAppPaths.h"
#include "features/ZDPreferenceBackups.h"
#include "features/ZDCrashLogs.h"
#include "log/ZDException.h"
#include "rpc/ZDLinkException.h"
#include "log/ZDLog.h"
#include "rpc/ZDOrvContract.h"
#include "rpc/ZDOrvProtocol.h"
#include "features/ZDPlugins.h"
#include "features/ZDRenderQueue.h"
#include "features/ZDSchedules.h"
#include "features/ZDSoftwareUpdates.h"
#include "rpc/ZDRemoteError.h"

#include <QDateTime>

namespace {
constexpr int kMaxIconSide = 1024;

// A size from the wire: one number (a square), [width, height] or {"width", "height"}.
QSize sizeFromValue(const QVariant &value)
{
    QSize size;
    bool ok = false;
    const qint64 side = value.toLongLong(&ok);
    if (ok && value.userType() != QMetaType::QString)
        size = side >= 1 && side <= kMaxIconSide ? QSize(int(side), int(side)) : QSize();
    else if (value.userType() == QMetaType::QVariantList && value.toList().size() == 2)
        size = QSize(value.toList().at(0).toInt(), value.toList().at(1).toInt());
    else if (value.userType() == QMetaType::QVariantMap)
        size = QSize(value.toMap().value(QStringLiteral("width")).toInt(),
                     value.toMap().value(QStringLiteral("height")).toInt());
    if (size.width() < 1 || size.height() < 1 || size.width() > kMaxIconSide || size.height() > kMaxIconSide)
        return {};
    return size;
}

} // namespace

QVariant AppController::guarded(const char *op, const std::function<QVariant()> &body)
{
    return ZDClientTasks::guarded(op, body, [this] {
        if (!m_isQuitting)
            reconnectAfter(kTimeoutReconnectDelay);
    });
}

void AppController::addRemoteOperations()
{
    using namespace ZDOrv;
    const QVariant none;
    m_root->setContract(Side::Agent,
                        [this](const char *op, const std::function<QVariant()> &body) { return guarded(op, body); });

    m_root->serve(kDisconnect, [this, none](const QVariantList &) { return disconnect(), none; });
    m_root->serve(kRelaunch, [this, none](const QVariantList &) { return relaunch(), none; });
    m_root->serve(kCancelMaintenanceRequest, [this, none](const QVariantList &) { return cancelMaintenanceRequest(), none; });
    m_root->serve(kSetErrorCallback, [this, none](const QVariantList &args) {
        if (const ZDRemoteProxyPtr callback = ZDRemoteProxy::fromVariant(args.value(0)))
            m_registry->setErrorCallback(callback);
        return none;
    });
    m_root->serve(kInitialConfiguration, [this](const QVariantList &) -> QVariant {
        m_processingCancelled = false;
        return ZDAgentSecurity::describeLink(
            m_prefs->configuration(m_maintenanceRequested, m_tasks ? m_tasks->orvVersion() : QVariantMap(), false));
    });
    m_root->serve(kFetchInitialConfiguration, [this, none](const QVariantList &args) {
        const QVariantMap configuration = ZDAgentSecurity::describeLink(fetchConfiguration());
        if (const ZDRemoteProxyPtr record = ZDRemoteProxy::fromVariant(args.value(0)))
            record->call(QString::fromLatin1(kProcessConfiguration), {configuration});
        return none;
    });
    m_root->serve(kComputerIcon, [](const QVariantList &) -> QVariant {
        ZDLog::appendLog(QStringLiteral("Getting computer icon..."));
        return ZDClientPreferences::computerIcon(QSize(16, 16));
    });
    m_root->serve(kComputerIconSize, [](const QVariantList &args) -> QVariant {
        const QSize size = sizeFromValue(args.value(0));
        if (!size.isValid())
            return {};
        return ZDClientPreferences::computerIcon(size);
    });
    m_root->serve(kNetworkClientSettings, [this](const QVariantList &) -> QVariant {
        m_processingCancelled = false;
        ZDLog::appendLog(QStringLiteral("Getting Kestra Client prefs..."));
        return m_prefs->networkClientSettings();
    });
    m_root->serve(kSetNetworkClientSettings, [this, none](const QVariantList &args) {
        m_processingCancelled = false;
        ZDLog::appendLog(QStringLiteral("Setting Kestra Client prefs..."));
        switch (m_prefs->setNetworkClientSettings(args.value(0).toMap())) {
        case ZDClientPreferences::MenuBarAction::Show:
            showMenuBarItem();
            break;
        case ZDClientPreferences::MenuBarAction::Hide:
            hideMenuBarItem();
            break;
        case ZDClientPreferences::MenuBarAction::Leave:
            break;
        }
        return none;
    });
    m_root->serve(kPing, [none](const QVariantList &) { return none; });
    m_root->serve(kRequestPairing, [](const QVariantList &) -> QVariant { return ZDAgentSecurity::requestPairing(); });

    m_root->serve(kPopulateZDLogFilenames, [this](const QVariantList &) -> QVariant {
        m_processingCancelled = false;
        return m_logs->populateZDLogFilenames();
    });
    m_root->serve(kLogWithFilename, [this](const QVariantList &args) -> QVariant {
        m_processingCancelled = false;
        return m_logs->logWithFilename(args.value(0).toString());
    });
    m_root->serve(kFcsCrashLog, [this](const QVariantList &args) -> QVariant {
        m_processingCancelled = false;
        return m_logs->fcsCrashLog(args.value(0).toString());
    });
    m_root->serve(kGatherLogs, [this](const QVariantList &) -> QVariant {
        m_processingCancelled = false;
        return m_logs->gatherLogs(m_processingCancelled);
    });
    // Oneway, so a cancel never waits behind the work it cancels.
    m_root->serve(kCancelProcessing, [this, none](const QVariantList &) {
        m_processingCancelled = true;
        return none;
    });

    if (m_tasks)
        m_tasks->addOperations(*m_root);
    ZDPreferenceBackups::addOperations(*m_root, m_tasks, m_registry, [this] { m_processingCancelled = false; });
    ZDAppPaths::addOperations(*m_root, m_tasks, m_registry, [this] { m_processingCancelled = false; });
    ZDPlugins::addOperations(*m_root, m_tasks, m_registry, [this] { m_processingCancelled = false; });
    ZDApplications::addOperations(*m_root, m_tasks, m_registry, [this] { m_processingCancelled = false; });
    ZDSchedules::addOperations(*m_root, m_tasks, m_registry, [this] { m_processingCancelled = false; });
    ZDRenderQueue::addOperations(*m_root, [this] { m_processingCancelled = false; });
    if (m_tasks)
        (new ZDSoftwareUpdates(*m_tasks, *m_registry, *m_prefs, [this] { m_processingCancelled = false; }, this))
            ->addOperations(*m_root);
    if (m_tasks) {
        ZDCrashLogs::Hooks hooks{[] { return ZDClientPreferences::hostName(); }, [this] { m_processingCancelled = false; },
                                 [this](const QString &path) { return m_logs->fcsCrashLog(path); }};
        (new ZDCrashLogs(*m_tasks, *m_registry, m_center, std::move(hooks), this))->addOperations(*m_root);
    }
}

QVariantMap AppController::fetchConfiguration()
{
    QVariantMap configuration =
        m_prefs->configuration(m_maintenanceRequested, m_tasks ? m_tasks->orvVersion() : QVariantMap(), true);
    const QVariant count = m_prefs->objectForPreferenceDictionaryKey(QStringLiteral("availableUpdateCount"));
    const QVariant when = m_prefs->objectForPreferenceDictionaryKey(QStringLiteral("availableUpdateCountLastUpdate"));
    if (count.isValid() && when.isValid()) {
        configuration.insert(QLatin1String(ZDOrv::kConfigAvailableUpdateCount), count);
        configuration.insert(QLatin1String(ZDOrv::kConfigAvailableUpdateCountLastUpdate), when);
    }
    const std::lock_guard<std::mutex> lock(m_stateMutex);
    if (!m_lastCrashLogPath.isEmpty()) {
        configuration.insert(QLatin1String(ZDOrv::kConfigSelfCrashLog), m_lastCrashLogPath);
        m_lastCrashLogPath.clear(); // handed to one console, once
    }
    return configuration;
}
