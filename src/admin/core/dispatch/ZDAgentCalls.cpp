#include "dispatch/ZDAgentCalls.h"

#include "dispatch/ZDDispatcher.h"
#include "rpc/ZDOrvProtocol.h"

QVariantMap ZDAgentCalls::across(const char *op) const
{
    return m_dispatcher ? m_dispatcher->objectsFromRemoteMethod(QString::fromLatin1(op)) : QVariantMap();
}

QVariant ZDAgentCalls::read(const char *op, const QVariant &argument, const ZDServicePtr &service) const
{
    return m_dispatcher ? m_dispatcher->objectFromRemoteMethod(QString::fromLatin1(op), argument, QVariant(), service)
                        : QVariant();
}

void ZDAgentCalls::send(const char *op, const QVariant &argument, const ZDServicePtr &service) const
{
    if (m_dispatcher)
        m_dispatcher->executeRemoteMethod(QString::fromLatin1(op), argument, QVariant(), service);
}

QVariantMap ZDAgentCalls::networkClientSettings() const { return across(ZDOrv::kNetworkClientSettings); }
QVariantMap ZDAgentCalls::gatherLogs() const { return across(ZDOrv::kGatherLogs); }
QVariantMap ZDAgentCalls::zdAppTasks() const { return across(ZDOrv::kZdAppTasks); }

void ZDAgentCalls::setNetworkClientSettings(const QVariantMap &settings, const ZDServicePtr &service) const
{
    send(ZDOrv::kSetNetworkClientSettings, settings, service);
}

QVariant ZDAgentCalls::populateZDLogFilenames(const ZDServicePtr &service) const
{
    return read(ZDOrv::kPopulateZDLogFilenames, QVariant(), service);
}

QVariant ZDAgentCalls::logWithFilename(const QString &path, const ZDServicePtr &service) const
{
    return read(ZDOrv::kLogWithFilename, path, service);
}

QVariant ZDAgentCalls::systemSpecs(const ZDServicePtr &service) const
{
    return read(ZDOrv::kSystemSpecs, QVariant(), service);
}

QVariant ZDAgentCalls::computerIcon(int width, int height, const ZDServicePtr &service) const
{
    return read(ZDOrv::kComputerIconSize, QVariantList{width, height}, service);
}

void ZDAgentCalls::disconnect(const ZDServicePtr &service) const { send(ZDOrv::kDisconnect, QVariant(), service); }
void ZDAgentCalls::relaunch(const ZDServicePtr &service) const { send(ZDOrv::kRelaunch, QVariant(), service); }

void ZDAgentCalls::cancelMaintenanceRequest(const ZDServicePtr &service) const
{
    send(ZDOrv::kCancelMaintenanceRequest, QVariant(), service);
}

QVariantMap ZDAgentCalls::stowelBackups() const { return across("stowelBackups"); }
QVariantMap ZDAgentCalls::tarnokPaths() const { return across("tarnokPaths"); }
QVariant ZDAgentCalls::tarnokPaths(const ZDServicePtr &service) const { return read("tarnokPaths", QVariant(), service); }

QVariant ZDAgentCalls::stowelBackupData(const QString &path, const ZDServicePtr &service) const
{
    return read("stowelBackupData:", path, service);
}

void ZDAgentCalls::stowelBackup(const QString &name, int type, const ZDServicePtr &service) const
{
    if (m_dispatcher)
        m_dispatcher->executeRemoteMethod(QStringLiteral("stowelBackup:type:"), name, type, service);
}

void ZDAgentCalls::stowelRestoreLocalBackup(const QString &path, const ZDServicePtr &service) const
{
    send("stowelRestoreLocalBackup:", path, service);
}

void ZDAgentCalls::stowelRestoreRemoteBackup(const QByteArray &data, const ZDServicePtr &service) const
{
    send("stowelRestoreRemoteBackup:", data, service);
}

void ZDAgentCalls::setTarnokPaths(const QVariantMap &paths, const ZDServicePtr &service) const
{
    send("setTarnokPaths:", paths, service);
}

void ZDAgentCalls::setTarnokPath(const QString &path, const QString &key, const ZDServicePtr &service) const
{
    if (m_dispatcher)
        m_dispatcher->executeRemoteMethod(QStringLiteral("setTarnokPath:forKey:"), path, key, service);
}

void ZDAgentCalls::resetTarnokPath(const QString &key, const ZDServicePtr &service) const
{
    send("resetTarnokPath:", key, service);
}

QVariantMap ZDAgentCalls::brindelPluginLists() const { return across("brindelPluginList"); }
QVariantMap ZDAgentCalls::systemSpecsAcross() const { return across(ZDOrv::kSystemSpecs); }
QVariantMap ZDAgentCalls::diffFinderSystemInfo() const { return across("diffFinderSystemInfo"); }

QVariant ZDAgentCalls::brindelPluginData(const QVariantMap &record, const ZDServicePtr &service) const
{
    return read("brindelPluginData:", record, service);
}

QVariant ZDAgentCalls::brindelInstallPlugin(const QVariantMap &record, const QByteArray &data,
                                            const ZDServicePtr &service) const
{
    return m_dispatcher ? m_dispatcher->objectFromRemoteMethod(QStringLiteral("brindelInstallPlugin:withData:"), record, data, service)
                        : QVariant();
}

QVariant ZDAgentCalls::brindelWithSettings(const char *op, const QVariantMap &settings, bool withRights,
                                           const ZDServicePtr &service) const
{
    if (!m_dispatcher)
        return {};
    const QString name = QString::fromLatin1(op);
    // With rights the agent starts the tool and answers before it ends.
    if (withRights)
        return m_dispatcher->authExecuteRemoteMethod(name, settings.value(QStringLiteral("obj1")), settings.value(QStringLiteral("obj2")), service);
    return m_dispatcher->objectFromRemoteMethod(name, QVariant(), settings, service);
}

bool ZDAgentCalls::brindelNeedsAdminAccess(const QVariantList &records, const QVariantMap &settings,
                                           const ZDServicePtr &service) const
{
    return m_dispatcher
        && m_dispatcher->objectFromRemoteMethod(QStringLiteral("brindelNeedsAdminAccess:settings:"), records, settings, service).toBool();
}

void ZDAgentCalls::crashLogsSinceDate(const QVariant &since, const QVariant &delegate, const ZDServicePtr &service) const
{
    if (m_dispatcher)
        m_dispatcher->objectFromRemoteMethod(QStringLiteral("crashLogsSinceDate:delegate:"), since, delegate, service);
}

QVariant ZDAgentCalls::quellarGetDefinition(const QString &path, const ZDServicePtr &service) const
{
    return read("quellarGetDefinition:", path, service);
}

QVariant ZDAgentCalls::fcsCrashLog(const QString &path, const ZDServicePtr &service) const
{
    return read(ZDOrv::kFcsCrashLog, path, service);
}

void ZDAgentCalls::quellarRemoveLogFilename(const QString &path, const ZDServicePtr &service) const
{
    send("quellarRemoveLogFilename:", path, service);
}

void ZDAgentCalls::quellarSubmitCrashLog(const QString &path, const QString &comment, const ZDServicePtr &service) const
{
    if (m_dispatcher)
        m_dispatcher->executeRemoteMethod(QStringLiteral("quellarSubmitCrashLog:comment:"), path, comment, service);
}

bool ZDAgentCalls::consolidateCrashLogs(const ZDServicePtr &service) const
{
    return m_dispatcher
        && m_dispatcher->authExecuteRemoteMethod(QStringLiteral("consolidateCrashLogs:"), QVariant(), QVariant(), service);
}

QVariantMap ZDAgentCalls::cadroTaskDictionaries() const { return across("cadroTaskDictionary"); }

bool ZDAgentCalls::cadroWithSettings(const char *op, const QVariant &obj1, const QVariant &obj2, bool withRights,
                                     const ZDServicePtr &service) const
{
    if (!m_dispatcher)
        return false;
    const QString name = QString::fromLatin1(op);
    if (withRights)
        return m_dispatcher->authExecuteRemoteMethod(name, obj1, obj2, service);
    QVariantMap settings;
    if (obj1.isValid())
        settings.insert(QStringLiteral("obj1"), obj1);
    if (obj2.isValid())
        settings.insert(QStringLiteral("obj2"), obj2);
    return m_dispatcher->objectFromRemoteMethod(name, QVariant(), settings, service).toBool();
}

QVariantMap ZDAgentCalls::listZendrelNuvells() const { return across("listZendrelNuvells"); }

bool ZDAgentCalls::installZendrelNuvell(const QString &type, const QString &bundleID, bool withRights,
                                        const ZDServicePtr &service) const
{
    if (!m_dispatcher)
        return false;
    const QString op = QString::fromLatin1(ZDOrv::kInstallZendrelNuvellSettings);
    if (withRights)
        return m_dispatcher->authExecuteRemoteMethod(op, type, bundleID, service);
    m_dispatcher->objectFromRemoteMethod(op, QVariant(), QVariantMap{{QStringLiteral("obj1"), type},
                                                                    {QStringLiteral("obj2"), bundleID}}, service);
    return service->isConnected();
}

void ZDAgentCalls::nuvellManualInstall(const QString &url, const ZDServicePtr &service) const
{
    send("nuvellManualInstall:", url, service);
}

void ZDAgentCalls::fetchNuvellAvailableUpdateCount(const ZDServicePtr &service) const
{
    send("fetchNuvellAvailableUpdateCount", QVariant(), service);
}
