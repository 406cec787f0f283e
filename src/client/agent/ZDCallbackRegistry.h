#pragma once
// The agent's registry of console callback objects and everything it tells them:
// errors, progress, task completion, configuration changes, maintenance requests
// and its own disconnection. Also the worker-thread accounting that lets one
// remote operation wait for several task threads.
//
// Thread-safe. The registry is replaced whole on every change, so a delivery in
// progress iterates its own copy; a console whose call raises is dropped and
// never blocks delivery to the others; a console goes only when its link fails.
#include "rpc/ZDRemoteProxy.h"
#include "rpc/ZDRemoteError.h"

#include <QList>
#include <QObject>
#include <QString>
#include <QVariant>
#include <QVariantMap>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <future>
#include <memory>
#include <mutex>

class QTimer;

class ZDCallbackRegistry : public QObject
{
    Q_OBJECT
public:
    // hostName: the agent's host name (with its final "."), asked at every post.
    explicit ZDCallbackRegistry(std::function<QString()> hostName, QObject *parent = nullptr);
    ~ZDCallbackRegistry() override;

    // setErrorCallback: probes every registered entry with ping (dead ones dropped),
    // then adds the callback unless it is already there (same remote object).
    void setErrorCallback(const ZDRemoteProxyPtr &callback);
    QList<ZDRemoteProxyPtr> callbacks() const;
    int count() const;

    // The fan-out: op with up to two arguments to every entry, in order, as a
    // oneway call (missing arguments travel as none). An entry lacking op ends
    // this delivery with a log line; an entry whose call raises is dropped.
    void performErrorCallbackSelector(const QString &op, const QVariantList &args = {});
    // Liveness probes of setErrorCallback wait at most this long for an answer (the
    // reply time-out of a registered proxy; every other call to it is oneway).
    static constexpr int kPingTimeoutMs = 15000;
    // Registrations beyond this many live entries are refused with a log line.
    static constexpr int kMaxCallbacks = 256;
    // A console registers one object per link; a few more allow a reconnecting
    // console's overlap, and one peer can never fill the registry.
    static constexpr int kMaxCallbacksPerConnection = 4;
    // Places one console key holds (its links, a window and a terminal); the
    // next registration under that key replaces the oldest.
    static constexpr int kMaxCallbacksPerConsole = 4;

    void postError(const ZDRemoteError &error);
    void postErrorUserInfo(const ZDRemoteError &error, const QVariantMap &info);
    void postErrorWithCode(int code, const QString &infoString = QString());
    void postErrorString(const QString &text);
    // A null text travels as none.
    void postErrorStringUserInfo(const QString &text, const QVariantMap &info);
    void incrementRemoteProgress();
    void postFinishedTask();
    // Arms one taskFinished, sent by postFinishedTask or after `seconds`, whichever
    // comes first. Callable from any thread: the timer lives on this object's
    // thread (the main thread), whose event loop must run for the deadline.
    void shouldPostFinishedTaskWithTimeout(double seconds);
    void invalidateTaskFinishTimeoutTimer();
    bool shouldPostFinishedTask() const;

    // Notices of the maker's tools (distributed notifications).
    void taskIncrementProgress();
    void taskFinished();                        // postFinishedTask, then updateConfig: to all
    void taskError(const QVariantMap &userInfo); // "errorCode" or "errorString"

    // Worker-thread accounting.
    void setProcessing(bool processing);
    bool isProcessing() const;
    void resetThreadedObjectDict();
    void threadedObjectDictSetObject(const QVariant &object, const QString &key);
    QVariantMap threadedObjectDict() const;
    void incrementTaskThreadCount();
    void decrementTaskThreadCount();
    int taskThreadCount() const;
    // Blocks until isProcessing is cleared. Refuses (log line, returns at once)
    // on the main thread.
    void waitOnProcessing();

private:
    void taskFinishTimeout(quint64 generation);
    // Starts (ms >= 0) or stops (ms < 0) the finish timer on this object's thread.
    void scheduleFinishTimer(quint64 generation, int ms);
    void dropDead(const QList<ZDRemoteProxyPtr> &dead);
    // The entries that no longer answer, all probed at once; registrations meanwhile share the round.
    QList<ZDRemoteProxyPtr> probeDead();

    std::function<QString()> m_hostName;
    mutable std::mutex m_registryMutex;
    std::shared_ptr<const QList<ZDRemoteProxyPtr>> m_registry;
    std::mutex m_probeMutex;
    std::shared_future<QList<ZDRemoteProxyPtr>> m_probe;
    std::atomic<bool> m_shouldPostFinishedTask{false};
    // Bumped by every arming and cancelling; a timer of an older one does nothing.
    std::atomic<quint64> m_finishGeneration{0};
    QTimer *m_finishTimer = nullptr;
    quint64 m_timerGeneration = 0; // this object's thread only
    mutable std::mutex m_countMutex;
    int m_taskThreadCount = 0;
    QVariantMap m_threadedObjectDict;
    mutable std::mutex m_conditionMutex;
    std::condition_variable m_condition;
    bool m_isProcessing = false;
};
