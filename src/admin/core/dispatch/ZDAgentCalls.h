#pragma once
// The console's calls to its agents, as methods: what the windows, the command
// line and the core use instead of operation names. Reads across the selection
// answer host name -> value (see ZDDispatcher); the others take one computer.
// Every call waits for the network: never on the GUI thread. A null dispatcher
// answers nothing.
#include "fleet/ZDService.h"

#include <QVariant>
#include <QVariantMap>

class ZDDispatcher;

class ZDAgentCalls
{
public:
    explicit ZDAgentCalls(ZDDispatcher *dispatcher) : m_dispatcher(dispatcher) {}

    // Across the selection.
    QVariantMap networkClientSettings() const;
    QVariantMap gatherLogs() const;
    QVariantMap zdAppTasks() const;

    // One computer.
    void setNetworkClientSettings(const QVariantMap &settings, const ZDServicePtr &service) const;
    QVariant populateZDLogFilenames(const ZDServicePtr &service) const;
    QVariant logWithFilename(const QString &path, const ZDServicePtr &service) const;
    QVariant systemSpecs(const ZDServicePtr &service) const;
    QVariant computerIcon(int width, int height, const ZDServicePtr &service) const;
    void disconnect(const ZDServicePtr &service) const;
    void relaunch(const ZDServicePtr &service) const;
    void cancelMaintenanceRequest(const ZDServicePtr &service) const;

    // Preference backups and application paths: reads across the selection, then one computer.
    QVariantMap stowelBackups() const;
    QVariantMap tarnokPaths() const;
    QVariant tarnokPaths(const ZDServicePtr &service) const;
    QVariant stowelBackupData(const QString &path, const ZDServicePtr &service) const;
    void stowelBackup(const QString &name, int type, const ZDServicePtr &service) const;
    void stowelRestoreLocalBackup(const QString &path, const ZDServicePtr &service) const;
    void stowelRestoreRemoteBackup(const QByteArray &data, const ZDServicePtr &service) const;
    void setTarnokPaths(const QVariantMap &paths, const ZDServicePtr &service) const;
    void setTarnokPath(const QString &path, const QString &key, const ZDServicePtr &service) const;
    void resetTarnokPath(const QString &key, const ZDServicePtr &service) const;

    // Plug-ins and system information.
    QVariantMap brindelPluginLists() const;
    QVariantMap systemSpecsAcross() const;
    QVariantMap diffFinderSystemInfo() const;
    QVariant brindelPluginData(const QVariantMap &record, const ZDServicePtr &service) const;
    QVariant brindelInstallPlugin(const QVariantMap &record, const QByteArray &data, const ZDServicePtr &service) const;
    // settings {"obj1", "obj2"} as the operations take them; withRights asks for credentials.
    QVariant brindelWithSettings(const char *op, const QVariantMap &settings, bool withRights,
                                 const ZDServicePtr &service) const;
    bool brindelNeedsAdminAccess(const QVariantList &records, const QVariantMap &settings,
                                 const ZDServicePtr &service) const;
    // Crash logs, one computer. The collection waits until the computer sent its batches to delegate.
    void crashLogsSinceDate(const QVariant &since, const QVariant &delegate, const ZDServicePtr &service) const;
    QVariant quellarGetDefinition(const QString &path, const ZDServicePtr &service) const;
    QVariant fcsCrashLog(const QString &path, const ZDServicePtr &service) const;
    void quellarRemoveLogFilename(const QString &path, const ZDServicePtr &service) const;
    void quellarSubmitCrashLog(const QString &path, const QString &comment, const ZDServicePtr &service) const;
    // With administrator credentials (the dispatcher asks for them); true when handed to the computer.
    bool consolidateCrashLogs(const ZDServicePtr &service) const;

    // Scheduled tasks: the lists across the selection; one operation on one computer
    // with {"obj1", "obj2"} (withRights asks for credentials). True when it succeeded.
    QVariantMap cadroTaskDictionaries() const;
    bool cadroWithSettings(const char *op, const QVariant &obj1, const QVariant &obj2, bool withRights,
                           const ZDServicePtr &service) const;

    // Software updates: the lists across the selection; one computer's install (type and
    // bundle identifier; withRights asks for credentials), manual download and recount.
    QVariantMap listZendrelNuvells() const;
    bool installZendrelNuvell(const QString &type, const QString &bundleID, bool withRights,
                              const ZDServicePtr &service) const;
    void nuvellManualInstall(const QString &url, const ZDServicePtr &service) const;
    void fetchNuvellAvailableUpdateCount(const ZDServicePtr &service) const;

private:
    QVariantMap across(const char *op) const;
    QVariant read(const char *op, const QVariant &argument, const ZDServicePtr &service) const;
    void send(const char *op, const QVariant &argument, const ZDServicePtr &service) const;

    ZDDispatcher *m_dispatcher;
};
