#pragma once
// Three of the maker's tools run with a command line: the cleaning tool with task
// identifiers, the removal tool with a component group, the cache tool with cache
// keys. What a console sends is checked against the shared tables before any tool
// runs. Removal and cache runs hold the consoles' task counting open through the
// finished-task notice: posted here after a run as the user, by the tool itself
// (through the local callback) after a run with rights, or by the time-out.
#include <QString>
#include <QStringList>
#include <QVariantMap>

#include <chrono>
#include <functional>

class ZDCallbackRegistry;
class ZDClientTasks;
class ZDRemoteObject;

class ZDMaintenanceTools
{
public:
    static constexpr const char *kTidwellID = "com.zendrel.Tidwell";
    static constexpr const char *kPurgelID = "com.zendrel.Purgel";
    static constexpr const char *kKitterelID = "com.zendrel.Kitterel";
    static constexpr std::chrono::seconds kTidwellTimeout{20};
    static constexpr std::chrono::seconds kPurgelTimeout{360};
    static constexpr std::chrono::seconds kKitterelTimeout{60};
    static constexpr double kPurgelNoticeSeconds = 600;
    static constexpr double kKitterelNoticeSeconds = 300;

    ZDMaintenanceTools(ZDClientTasks *tasks, ZDCallbackRegistry *registry);

    static void addOperations(ZDRemoteObject &root, ZDClientTasks *tasks, ZDCallbackRegistry *registry,
                              const std::function<void()> &clearCancelled);

    void runCleaningTasks(const QStringList &ids) const;
    void removeApps(const QVariantMap &auth, const QVariantMap &settings) const;
    void trashCaches(const QVariantMap &auth, const QVariantMap &settings) const;

private:
    // withRights: only a copy root alone may change (ZDToolCatalog).
    QString tool(const char *bundleID, const char *name, bool withRights) const;
    // A run as the user: its exit status reported; false when it did not end in time.
    void runAsUser(const QString &path, const QStringList &arguments, std::chrono::seconds timeout, const char *name) const;
    void postText(const QString &text) const;
    void postFinished() const;

    ZDClientTasks *m_tasks;
    ZDCallbackRegistry *m_registry;
};
