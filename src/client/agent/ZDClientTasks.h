#pragma once
// Remote task execution: the maker's tools installed on this computer, their task
// tables, and running a task as the agent's user or with administrator rights.
// Adds its operations to the agent's vended object.
#include "rights/ZDAuthorization.h"
#include "rpc/ZDRemoteError.h"
#include "rpc/ZDRemoteObject.h"
#include "rpc/ZDRemoteProxy.h"
#include "agent/ZDCredentialThrottle.h"
#include "agent/ZDToolCatalog.h"

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QVariantList>
#include <QVariantMap>

#include <chrono>
#include <functional>
#include <mutex>
#include <optional>

class ZDCallbackRegistry;
class ZDNotificationCenter;

// Rights a credential check granted, for the one operation that asked for them:
// held under the agent's one privileged session and withdrawn when this goes, so
// nothing later (a file operation of another request) finds them still open.
class ZDRightsScope
{
public:
    ZDRightsScope() = default;
    ZDRightsScope(ZDRightsScope &&other) noexcept = default;
    ZDRightsScope &operator=(ZDRightsScope &&other) noexcept;
    ~ZDRightsScope();
    explicit operator bool() const { return m_lock.owns_lock(); }
    // Why there are none: 1006 refused, -1 exception.
    std::optional<ZDRemoteError> refusal;

private:
    friend class ZDClientTasks;
    void end();
    std::unique_lock<std::mutex> m_lock;
};

class ZDClientTasks : public QObject
{
    Q_OBJECT
public:
    static constexpr std::chrono::seconds kTaskTimeout{30};
    // Requests come from the network: options are bounded in count and length.
    static constexpr int kMaxOptions = 64;
    static constexpr int kMaxArgumentLength = 4096;
    static constexpr int kMaxPasswordBytes = 4096;
    static constexpr int kMaxPaths = 10000;

    // center: the agent's notification center (main thread), used for the per-task
    // callback names. Lives on the main thread.
    ZDClientTasks(ZDCallbackRegistry &registry, ZDNotificationCenter *center, QObject *parent = nullptr);
    ~ZDClientTasks() override;

    // The agent's hooks: clearing its cancel flag at the start of each request, and
    // what to do when a call to a console timed out (schedule a reconnection).
    void setClearProcessingCancelled(std::function<void()> hook);
    void setConnectionTimedOutHandler(std::function<void()> hook);
    // A call of ours that this side saw time out; a peer's error of the same name is not one.
    static bool timedOutHere(const std::exception &e);
    // The agent's exception guard around one remote operation: an exception is
    // logged with the operation's name and the call answers none; a time-out this
    // side saw runs timedOut.
    static QVariant guarded(const char *op, const std::function<QVariant()> &body,
                            const std::function<void()> &timedOut);

    // executeTask:..., authExecuteTask:..., zdAppTasks, needsAdminAccess:,
    // validateUsername:password:, served on root (whose contract side is the agent's).
    void addOperations(ZDRemoteObject &root);

    // Scans the applications folders; run once on a background thread at start.
    void populateZDApps();
    bool zdAppsPopulated() const;
    QStringList zdAppArray() const;
    // {"version", "versionString"} of the tool suite, or empty; populates first when needed.
    QVariantMap orvVersion();

    // The operations, callable in-process too.
    QVariantList zdAppTasks();
    void executeTask(const QString &taskID, const QString &bundleID, const QStringList &options);
    void authExecuteTask(const QString &taskID, const QString &bundleID, const QStringList &options,
                         const QString &username, const QByteArray &password);
    void authExecuteTaskWithCallback(const QString &taskID, const QString &bundleID, const QStringList &options,
                                     const QString &username, const QByteArray &password,
                                     const ZDRemoteProxyPtr &callback, const QString &callbackName);
    bool validateUsername(const QString &username, const QByteArray &password);
    bool needsAdminAccess(const QStringList &paths);

    // For the maintenance services: credentials {"authUser", "authPass" (encrypted)}.
    // A check only: no value on success, else the error (1006 refused, -1 exception).
    std::optional<ZDRemoteError> authWithDict(const QVariantMap &authInfo);
    // Checks and holds the rights for the caller's operation (see ZDRightsScope).
    ZDRightsScope rightsFor(const QVariantMap &authInfo);
    std::optional<ZDRemoteError> launchAuthTask(const QString &path, const QStringList &arguments,
                                                const QVariantMap &authInfo,
                                                ZDAuthorization::Launch launch = ZDAuthorization::Launch::Detached);

    using Run = ZDToolCatalog::Run;
    // A tool for a run as the user or with rights (see ZDToolCatalog).
    QString pathForAppWithBundleID(const QString &bundleID, Run run = Run::AsUser) const;
    static QString pathForBundleID(const QString &bundleID, const QString &folder);
    QString exePathForAppWithBundleID(const QString &bundleID, Run run) const;
    QStringList zdAppsInFolder(const QString &folder) const;

    void setupCallbackListener(const ZDRemoteProxyPtr &callback, const QString &name);
    // A tool answered under `name`: hands userInfo to the oldest request waiting under that name.
    void executeCallback(const QString &name, const QVariantMap &userInfo);
    bool hasPendingCallback() const;

private:
    enum class Mode { User, Auth, AuthCallback };
    struct Failure;
    // The console's object of one request and the name its tool answers under.
    struct CallbackTarget
    {
        QString name;
        ZDRemoteProxyPtr proxy;
    };
    struct ResolvedTask
    {
        QString executable;
        QStringList arguments;
    };

    std::optional<ResolvedTask> resolveTask(const QString &taskID, const QString &bundleID, const QStringList &options,
                                            Mode mode, const CallbackTarget &callbackName);
    void fail(Mode mode, const Failure &failure, const QString &bundleID, const CallbackTarget &callbackName);
    // This request's own answer (a failure before its tool ran): never another request's object.
    void answerRequest(const CallbackTarget &target, const QVariantMap &userInfo);
    void post(const ZDRemoteProxyPtr &callback, const QVariantMap &userInfo);
    void runPrivileged(const ResolvedTask &task, const QString &username, const QByteArray &password, Mode mode,
                       const QString &bundleID, const CallbackTarget &callbackName);
    // Checks credentials and holds the rights; a root agent checks them too.
    // Under the privileged lock; counted by the throttle.
    bool authorize(const QString &username, const QString &password);
    void clearCancelled() const;
    void removeCallbackObserver(int id);

    ZDCallbackRegistry &m_registry;
    QPointer<ZDNotificationCenter> m_center;
    std::function<void()> m_clearCancelled;
    std::function<void()> m_timedOut;

    ZDToolCatalog m_catalog;
    // Held from a credential check to the end of the rights it granted.
    std::mutex m_privilegedMutex;
    ZDCredentialThrottle m_throttle;

    mutable std::mutex m_callbackMutex;
    // Per callback name, the consoles' objects of the requests still waiting, oldest first.
    QHash<QString, QList<ZDRemoteProxyPtr>> m_callbacks;
    QHash<QString, int> m_callbackObservers; // callback name -> observer id
};
