#pragma once
// The editing applications and the maker's tools on this computer: which are
// installed (an application folder with the identifier, else a desktop entry whose
// id is the identifier, or where its catalogue entry says: ZDCatalogueLocator), their versions, which run (processes of this user whose
// executable is the application's, read from /proc), opening one in the user's
// graphical session, quitting (SIGTERM) or force quitting (SIGKILL) exactly those
// processes, and the settings the tools share.
#include "catalog/ZDApplicationTables.h"

#include <QList>
#include <QString>
#include <QVariantMap>

#include <functional>

class ZDCallbackRegistry;
class ZDClientTasks;
class ZDRemoteObject;

class ZDApplications
{
public:
    static constexpr int kMaxProcesses = 100000;
    static constexpr qint64 kMaxEntryBytes = 256 * 1024;

    ZDApplications(ZDClientTasks *tasks, ZDCallbackRegistry *registry);

    // These operations and the tool runs (ZDMaintenanceTools), served on the agent's object.
    static void addOperations(ZDRemoteObject &root, ZDClientTasks *tasks, ZDCallbackRegistry *registry,
                              const std::function<void()> &clearCancelled);

    struct Location
    {
        QString path;       // the application folder or the desktop entry; empty: not found
        QString executable; // what its processes run
        QString version;
        QString name;
    };
    // Editing applications by their folders and desktop entries; the maker's tools (tool
    // true) through the tool catalogue. A path in the Trash counts as not found.
    Location locate(const QString &bundleID, bool tool) const;
    // Processes of this user whose executable is `executable` (canonical paths compared).
    static QList<int> processesRunning(const QString &executable);

    QVariantMap appInfo(const QList<ZDApplicationTables::App> &apps, bool tools) const;
    void launchApp(const QString &bundleID) const;
    void terminateApp(const QString &bundleID, bool force) const;

    QVariantMap settings() const;
    void setSettings(const QVariantMap &settings) const;
    void passwordProtect(const QVariantMap &auth, const QVariantMap &settings) const;

    // The shared settings files (user's for the update keys, computer's for protection).
    static QString globalSettingsFile();
    static QString betaSettingsFile();
    static QString protectionFile(const QString &tool);

private:
    Location locateByBundleID(const QString &bundleID, bool tool) const;
    bool isKnown(const QString &bundleID, bool *tool) const;

    ZDClientTasks *m_tasks;
    ZDCallbackRegistry *m_registry;
};
