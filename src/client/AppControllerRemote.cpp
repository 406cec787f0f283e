// The operations consoles call on the vended root object: connection,
// configuration, status and logs. Each runs inside the exception guard.
#include "AppController.h"

#include "ZDCallbackRegistry.h"
#include "ZDClientLogs.h"
#include "ZDClientPreferences.h"
#include "ZDClientTasks.h"
#include "ZDException.h"
#include "ZDLinkException.h"
#include "ZDLog.h"
#include "ZDOrvProtocol.h"

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

ZDRemoteError errorFromValue(const QVariant &value)
{
    if (value.userType() == qMetaTypeId<ZDRemoteError>())
        return value.value<ZDRemoteError>();
    throw ZDLinkException::invalid(QStringLiteral("an error object was expected"));
}
} // namespace

QVariant AppController::guarded(const char *op, const std::function<QVariant()> &body)
{
    try {
        return body();
    } catch (const std::exception &e) {
        ZDException::logException(e, op);
        if (ZDClientTasks::timedOutHere(e) && !m_isQuitting)
            reconnectAfter(kTimeoutReconnectDelay);
    } catch (...) {
        ZDException::logUnknownException(op);
    }
    return {};
}

void AppController::addGuarded(const char *op, Body body, bool oneway)
{
    addGuarded(op, std::move(body), oneway ? ZDRemoteObject::Call::Oneway : ZDRemoteObject::Call::Synchronous);
}

void AppController::addGuarded(const char *op, Body body, ZDRemoteObject::Call call)
{
    m_root->addOperation(
        QString::fromLatin1(op),
        [this, op, body = std::move(body)](const QVariantList &args) { return guarded(op, [&] { return body(args); }); },
        call);
}

void AppController::addRemoteOperations()
{
    using namespace ZDOrv;
    const QVariant none;

    addGuarded(kDisconnect, [this, none](const QVariantList &) { return disconnect(), none; }, true);
    addGuarded(kRelaunch, [this, none](const QVariantList &) { return relaunch(), none; }, true);
    addGuarded(kCancelMaintenanceRequest, [this, none](const QVariantList &) { return cancelMaintenanceRequest(), none; },
               true);
    addGuarded(kSetErrorCallback, [this, none](const QVariantList &args) {
        if (const ZDRemoteProxyPtr callback = ZDRemoteProxy::fromVariant(args.value(0)))
            m_registry->setErrorCallback(callback);
        return none;
    }, true);
    addGuarded(kPostError, [this, none](const QVariantList &args) {
        m_registry->postError(errorFromValue(args.value(0)));
        return none;
    }, true);
    addGuarded(kPostErrorString, [this, none](const QVariantList &args) {
        m_registry->postErrorString(args.value(0).toString());
        return none;
    }, true);
    addGuarded(kPostErrorUserInfo, [this, none](const QVariantList &args) {
        m_registry->postErrorUserInfo(errorFromValue(args.value(0)), args.value(1).toMap());
        return none;
    }, true);
    addGuarded(kPostErrorStringUserInfo, [this, none](const QVariantList &args) {
        m_registry->postErrorStringUserInfo(args.value(0).toString(), args.value(1).toMap());
        return none;
    }, true);
    addGuarded(kIncrementRemoteProgress, [this, none](const QVariantList &) {
        m_registry->incrementRemoteProgress();
        return none;
    }, true);
    addGuarded(kPostFinishedTask, [this, none](const QVariantList &) {
        m_registry->postFinishedTask();
        return none;
    }, true);

    addGuarded(kInitialConfiguration, [this](const QVariantList &) -> QVariant {
        m_processingCancelled = false;
        return m_prefs->configuration(m_maintenanceRequested, m_tasks ? m_tasks->orvVersion() : QVariantMap(), false);
    }, false);
    addGuarded(kFetchInitialConfiguration, [this, none](const QVariantList &args) {
        const QVariantMap configuration = fetchConfiguration();
        if (const ZDRemoteProxyPtr record = ZDRemoteProxy::fromVariant(args.value(0)))
            record->call(QString::fromLatin1(kProcessConfiguration), {configuration});
        return none;
    }, true);
    addGuarded(kComputerIcon, [](const QVariantList &) -> QVariant {
        ZDLog::appendLog(QStringLiteral("Getting computer icon..."));
        return ZDClientPreferences::computerIcon(QSize(16, 16));
    }, false);
    addGuarded(kComputerIconSize, [](const QVariantList &args) -> QVariant {
        const QSize size = sizeFromValue(args.value(0));
        if (!size.isValid())
            return {};
        return ZDClientPreferences::computerIcon(size);
    }, false);
    addGuarded(kNetworkClientSettings, [this](const QVariantList &) -> QVariant {
        m_processingCancelled = false;
        ZDLog::appendLog(QStringLiteral("Getting Kestra Client prefs..."));
        return m_prefs->networkClientSettings();
    }, false);
    addGuarded(kSetNetworkClientSettings, [this, none](const QVariantList &args) {
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
    }, ZDRemoteObject::Call::OnewayInOrder); // a console reads back what it wrote
    addGuarded(kPing, [none](const QVariantList &) { return none; }, false);

    addGuarded(kPopulateZDLogFilenames, [this](const QVariantList &) -> QVariant {
        m_processingCancelled = false;
        return m_logs->populateZDLogFilenames();
    }, false);
    addGuarded(kLogWithFilename, [this](const QVariantList &args) -> QVariant {
        m_processingCancelled = false;
        return m_logs->logWithFilename(args.value(0).toString());
    }, false);
    addGuarded(kFcsCrashLog, [this](const QVariantList &args) -> QVariant {
        m_processingCancelled = false;
        return m_logs->fcsCrashLog(args.value(0).toString());
    }, false);
    addGuarded(kGatherLogs, [this](const QVariantList &) -> QVariant {
        m_processingCancelled = false;
        return m_logs->gatherLogs(m_processingCancelled);
    }, false);
    // Oneway, so a cancel never waits behind the work it cancels.
    addGuarded(kCancelProcessing, [this, none](const QVariantList &) {
        m_processingCancelled = true;
        return none;
    }, true);

    if (m_tasks)
        m_tasks->addOperations(*m_root);
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
