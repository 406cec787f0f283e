#pragma once
// The maker's tools installed on this computer: the scan of the applications
// folder, the lookup of a tool by bundle identifier, the tools' task tables as
// consoles list them, and the suite's group version. Thread-safe.
#include <QString>
#include <QStringList>
#include <QVariantList>
#include <QVariantMap>

#include <condition_variable>
#include <mutex>

class ZDToolCatalog
{
public:
    static constexpr int kPopulateWaitMs = 10000;
    static constexpr int kIconSize = 48;
    static constexpr const char *kSuiteGroupID = "com.zendrel.kestramaintenance";
    static constexpr const char *kTaskTableFile = "ZDTasks.plist";
    static constexpr const char *kTasksKey = "ZDTasks";

    // Scans the local applications folder; the start-up thread runs it once.
    void populate();
    bool populated() const;
    QStringList apps() const;
    // Bundles of the suite below a folder, depth first in listing order. Bounded,
    // and never round in circles through symbolic links.
    QStringList appsInFolder(const QString &folder) const;

    // Tool records {"name", "bundleid", "icon" (PNG, 48 x 48), "tasks"}; waits for
    // the start-up scan, but at most kPopulateWaitMs from the call.
    QVariantList appTasks();
    // {"version", "versionString"} of the first tool that carries the suite's
    // group version, or empty; scans first when needed.
    QVariantMap orvVersion();

    // How a found tool will run; every run of a root process has rights.
    enum class Run { AsUser, WithRights };
    // The agent preference listing the bundle identifiers of tools the user put into
    // the user's own applications folder on purpose; only those are taken from there.
    static constexpr const char *kUserInstalledToolsKey = "userInstalledTools";

    // The computer's folders first, then the scanned tools. With rights only a bundle
    // that root alone owns and may change, returned canonical; as the user, then the
    // user's own applications folder for an opted-in tool.
    QString pathForAppWithBundleID(const QString &bundleID, Run run) const;
    // The bundle's executable, canonical and as protected as the bundle for a run with rights.
    QString executableForAppWithBundleID(const QString &bundleID, Run run) const;
    static bool userInstalledOnPurpose(const QString &bundleID);
    static QString pathForBundleID(const QString &bundleID, const QString &folder);
    // "<bundle>/Contents/MacOS/<bundle name without extension>".
    static QString executablePathForBundle(const QString &bundlePath);
    static QString bundleIdentifierOf(const QString &bundlePath);
    static QVariantMap toolRecord(const QString &bundlePath);

private:
    void appsInFolder(const QString &folder, const QString &appsRoot, int depth, QStringList &found,
                      QStringList &visited) const;

    mutable std::mutex m_mutex;
    std::condition_variable m_populatedCondition;
    bool m_populated = false;
    QStringList m_apps;
};
