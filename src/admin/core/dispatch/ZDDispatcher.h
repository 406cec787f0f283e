#pragma once
// Runs the console's remote work on many computers at once: remote methods (an
// operation of the agent's vended object with up to two arguments) and remote tasks
// (a maintenance tool's task by task and bundle identifier). The computers are the
// selection (a provider the window or command line sets; all computers when it is
// empty), split into at most one group per processor core; each group runs on a
// worker thread that calls its computers one after the other. Computers with an
// error, disabled or unreachable ones are skipped by a gate; a failing call marks
// the computer disconnected. Operations that need administrator rights first obtain
// credentials per computer: the cache, the keychain, then the prompt.
//
// Batch operations that wait must not run on the main thread: they refuse to.
// Progress goes out as signals (started/advanced/finished), emitted on the
// worker threads; connect queued to reach a receiver's own thread.
#include "fleet/ZDService.h"

#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <QVariantMap>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>

class ZDCallback;
class ZDCredentialPrompt;
class ZDErrorCallback;
class ZDCredentialStore;

class ZDDispatcher : public QObject
{
    Q_OBJECT
public:
    using ServiceList = QList<ZDServicePtr>;
    using ServiceProvider = std::function<ServiceList()>;

    static constexpr double kObjectsTimeoutSeconds = 300.0;
    static constexpr int kWaitStepMs = 20;
    // Workers of a read across the fleet (objectsFromRemoteMethod), whatever the cores.
    static constexpr int kReadGroups = 8;
    // serviceFailed's reason for a computer taken off the list (ZDService::isInvalidated)
    // during a batch: it is skipped, and a call pending on it is abandoned.
    static constexpr const char *kRemovedReason = "removed from the list";

    // allServices: every computer of the list, in list order.
    explicit ZDDispatcher(ServiceProvider allServices, QObject *parent = nullptr);
    // Cancels, and waits for the worker threads to end.
    ~ZDDispatcher() override;

    // Selection. Providers may be called on any thread.
    void setSelectionProvider(ServiceProvider selection);
    ServiceList allServices() const;
    // What the selection provider answers (it decides what "nothing selected" means),
    // or every computer without one; duplicates dropped.
    ServiceList selectedServices() const;
    // Consecutive groups: n <= cores gives n groups of one; otherwise `cores` groups
    // whose sizes differ by at most one, every computer in exactly one group.
    static QList<ServiceList> selectedServicesForCores(const ServiceList &services, int cores);
    QList<ServiceList> selectedServicesForCores() const;
    // The name a computer's answer is filed under: its agent's host name, else the record's name.
    static QString answerKey(const ZDServicePtr &service);
    // Features name computers their own way (hostOf): their names, the record a name
    // stands for, and answers re-keyed from answerKey to those names.
    using HostOf = std::function<QString(const ZDServicePtr &)>;
    static QStringList hostsOf(const ServiceList &services, const HostOf &hostOf);
    static ZDServicePtr serviceNamed(const ServiceList &services, const HostOf &hostOf, const QString &host);
    static QVariantMap answersBy(const QVariantMap &answers, const ServiceList &services, const HostOf &hostOf);
    // Active processor cores (1 when unknown); settable for tests and benchmarks. A
    // read across the fleet runs on at least kReadGroups workers, unless set here.
    int coreCount() const;
    void setCoreCount(int cores);

    // Credentials.
    void setCredentialPrompt(std::shared_ptr<ZDCredentialPrompt> prompt);
    ZDCredentialStore &credentialStore() const;
    // Remote check of an administrator account on one computer.
    enum class Validation { Accepted, Refused, NoAnswer };
    Validation validateAuthorization(const QString &user, const QVariant &encryptedPassword,
                                     const ZDServicePtr &service);
    // Drops the cached and the stored password of one computer (its refusal, or the user's wish).
    void removeStoredPasswordForHost(const QString &host);
    bool removeAllStoredPasswords();
    // Follows the agents' reports: refused credentials drop the cached and stored
    // password of that host; with countTaskFinished, a tool's "task finished" lowers
    // the worker count as the window's progress expects.
    void setErrorCallback(ZDErrorCallback *errorCallback, bool countTaskFinished);
    bool authSkipped() const { return m_authSkipped; }

    // Batches.
    // Starts the workers and returns at once; each computer runs the task as the agent's user.
    void executeRemoteTasks(const QString &taskID, const QString &bundleID, const QVariant &options);
    // Runs the method on every computer and waits for the workers.
    void executeRemoteMethods(const QString &op, const QVariant &obj1 = QVariant(), const QVariant &obj2 = QVariant());
    // Host name -> non-null result, after every worker ended, the user cancelled or
    // 300 seconds passed. Empty on the main thread.
    QVariantMap objectsFromRemoteMethod(const QString &op, const QVariant &obj1 = QVariant(),
                                        const QVariant &obj2 = QVariant());
    // One worker for the whole selection so that credentials are asked one computer at a time; waits.
    void authExecuteRemoteMethods(const QString &op, const QVariant &obj1 = QVariant(),
                                  const QVariant &obj2 = QVariant());

    // One computer (any thread but the main one when credentials may be asked).
    void executeRemoteTask(const QString &taskID, const QString &bundleID, const QVariant &options,
                           const ZDServicePtr &service);
    QVariant objectFromRemoteTask(const QString &taskID, const QString &bundleID, const QVariant &options,
                                  const ZDServicePtr &service);
    QVariant objectFromRemoteMethod(const QString &op, const QVariant &obj1, const QVariant &obj2,
                                    const ZDServicePtr &service);
    void executeRemoteMethod(const QString &op, const QVariant &obj1, const QVariant &obj2,
                             const ZDServicePtr &service);
    // True when the task was handed to the agent.
    bool authExecuteRemoteTask(const QString &taskID, const QString &bundleID, const QVariant &options,
                               const ZDServicePtr &service, const std::shared_ptr<ZDCallback> &callback = nullptr);
    bool authExecuteRemoteMethod(const QString &op, const QVariant &obj1, const QVariant &obj2,
                                 const ZDServicePtr &service);

    // Thread bookkeeping.
    int taskThreadCount() const;
    bool isProcessing() const;
    bool isProcessingCancelled() const { return m_cancelled; }
    // A run the user starts anew: an earlier cancel (a task switch) no longer stops it.
    void clearProcessingCancelled() { m_cancelled = false; }
    void setInstallingUpdate(bool installing) { m_installingUpdate = installing; }
    void incrementTaskThreadCount();
    // Also what a tool's "task finished" report does.
    void decrementTaskThreadCount();
    void cancelTaskThreads();
    // Refused (false at once) on the main thread.
    bool waitOnProcessing() { return waitOnProcessingWithTimeout(0); }
    bool waitOnProcessingWithTimeout(double seconds);

public Q_SLOTS:
    // The user cancelled: workers stop before their next computer, waiters and a
    // pending credential question return.
    void cancelProcessing();

Q_SIGNALS:
    void progressStarted(int total); // total 1: indeterminate
    void progressAdvanced();
    void progressFinished();
    // A computer took no part or failed; host is its host name, else its name.
    void serviceFailed(const QString &host, const QString &reason);

private:
    enum class Gate { Task, Method, Object, AuthMethod };
    struct Batch;

    bool passGate(const ZDServicePtr &service, const QString &op, Gate gate);
    void fail(const ZDServicePtr &service, const QString &reason);
    void linkFailed(const ZDServicePtr &service, const std::exception &e, const char *method);
    void startBatch(qsizetype total);
    void startGroupWorkers(const QList<ServiceList> &groups, const std::function<void(const ZDServicePtr &)> &each);
    // What is left of one computer's part once its call went out; null when it took no part.
    using Finish = std::function<void()>;
    void startPipelinedGroupWorkers(const QList<ServiceList> &groups,
                                    const std::function<Finish(const ZDServicePtr &)> &begin);
    // objectFromRemoteMethod up to the call sent: its answer, or null when the computer
    // took no part (already reported).
    std::function<QVariant()> beginObjectFromRemoteMethod(const QString &op, const QVariant &obj1,
                                                          const QVariant &obj2, const ZDServicePtr &service);
    void startWorker(std::function<void()> body);
    void reapWorkers(bool all);
    static bool isMainThread();

    // Credentials: the cached entry to use, or none (skipped, cancelled, no answer).
    std::optional<QVariantMap> credentialsForService(const ZDServicePtr &service, bool taskVariant);
    enum class Asked { Answered, Skipped, Cancelled, Failed };
    Asked showAuthDialogAndLoop(const ZDServicePtr &service);
    void applyAnswer(const ZDServicePtr &service, const QString &user, const QString &password, bool applyToAll,
                     bool keepInKeychain);
    std::shared_ptr<ZDCredentialPrompt> prompt() const;

    const ServiceProvider m_allServices;
    ServiceProvider m_selection;
    std::atomic<int> m_cores;
    std::atomic<int> m_readGroups;
    std::shared_ptr<ZDCredentialPrompt> m_prompt;
    std::unique_ptr<ZDCredentialStore> m_credentials;

    mutable std::mutex m_mutex;
    std::condition_variable m_condition;
    int m_taskThreadCount = 0;
    bool m_processing = false;
    bool m_suspended = false; // a credential question is up
    std::atomic<bool> m_cancelled{false};
    std::atomic<bool> m_authSkipped{false};
    std::atomic<bool> m_installingUpdate{false};
    int m_maxPromptsPerComputer = 100;

    struct Worker;
    std::mutex m_workersMutex;
    std::list<std::unique_ptr<Worker>> m_workers;
};
