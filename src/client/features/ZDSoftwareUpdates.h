#pragma once
// The software updates of this computer: the maker's update tool's and those of the
// packages of the catalogue's applications and of the suite (ZDPackageUpdates); listing
// and counting them, installing one with rights, handing a manual download to the
// user's browser, and installing the tool itself from the update server's archive
// when it is missing or too old, once its signed manifest (ZDUpdateManifest) checks
// and names a newer version than the copy it replaces. The count is cached in the agent's
// preferences, recounted a day and a minute later, and sent to every console.
#include "agent/ZDToolCatalog.h"

#include <QDateTime>
#include <QObject>
#include <QString>
#include <QUrl>
#include <QVariantMap>

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>

class QTimer;
class ZDCallbackRegistry;
class ZDClientPreferences;
class ZDClientTasks;
class ZDRemoteObject;

class ZDSoftwareUpdates : public QObject
{
    Q_OBJECT
public:
    static constexpr const char *kToolID = "com.zendrel.Nuvell";
    static constexpr const char *kToolName = "Zendrel Nuvell";
    static constexpr const char *kSelfID = "com.zendrel.KestraClient";
    static constexpr int kMinimumToolVersion = 1270;
    static constexpr std::chrono::seconds kListTimeout{60};
    static constexpr std::chrono::seconds kFetchTimeout{60};
    static constexpr double kInstallNoticeSeconds = 360;
    static constexpr qint64 kCountFreshSeconds = 86400;
    static constexpr int kRecountSeconds = 86460;
    static constexpr qint64 kMaxFeedBytes = 1024 * 1024;
    static constexpr qint64 kMaxArchiveBytes = 512LL * 1024 * 1024;
    static constexpr const char *kServerSetting = "updateServerURL";
    // Plain HTTP to the update server beyond loopback (a private test network); archives stay signed.
    static constexpr const char *kPlainHTTPSetting = "updateServerAllowsHTTP";
    static constexpr const char *kDefaultServer = "https://www.zendrel.com";
    static constexpr const char *kStagingPrefix = ".nuvell-staging-";

    // Lives on the agent's main thread (its recount timer runs there).
    ZDSoftwareUpdates(ZDClientTasks &tasks, ZDCallbackRegistry &registry, ZDClientPreferences &prefs,
                      std::function<void()> clearCancelled, QObject *parent = nullptr);

    ~ZDSoftwareUpdates() override;

    void addOperations(ZDRemoteObject &root);

    QVariant listUpdates();                  // the dictionary, or invalid
    qint64 availableUpdateCount(bool force); // also posts updateConfig: and restarts the timer
    void fetchAvailableUpdateCount();
    void install(const QVariantMap &auth, const QVariantMap &settings);
    void manualInstall(const QString &url);
    // The tool's executable once installed into folder (default when empty), or empty.
    QString downloadAndInstallTool(const QString &folder);

    QUrl serverRoot() const;
    static QString defaultToolFolder();
    // Staging folders an interrupted install left behind, removed at start.
    static void cleanupMountedDisks();

private:
    QVariant toolUpdates(); // the maker's update tool's list, or invalid
    void installPackages(const QVariantMap &auth, const QString &bundleID);
    QString toolExecutable(ZDToolCatalog::Run run) const;
    bool plainHTTP() const;
    void restartRecountTimer();

    ZDClientTasks &m_tasks;
    ZDCallbackRegistry &m_registry;
    ZDClientPreferences &m_prefs;
    std::function<void()> m_clearCancelled;
    QTimer *m_recount = nullptr;
    std::mutex m_listMutex;    // one listing at a time: none kills another's tool
    std::mutex m_installMutex; // one install of the tool at a time
    struct Alive
    {
        std::mutex mutex;
        bool on = true;
    };
    // Package installs outlive a request: they report only while this object lives.
    std::shared_ptr<Alive> m_alive = std::make_shared<Alive>();
};
