#pragma once
// The console side of the crash logs, shared by the panel and `kestra crashlogs`:
// the table of records of the selected computers, fetched incrementally through
// the per-host cache (each computer is asked only for logs newer than the newest
// it reported before), the batches the agents send to the console's callback
// object, the statistics, and the per-log actions (explanation, text, removal,
// submission) and the consolidation with credentials.
//
// Lives on the thread of the console's callback object (the main thread). The
// methods that call computers wait for the network: never on the GUI thread.
#include "features/crashlogs/ZDCrashLogCache.h"
#include "fleet/ZDService.h"

#include <QDateTime>
#include <QList>
#include <QObject>
#include <QVariantList>
#include <QVariantMap>

#include <atomic>
#include <functional>
#include <mutex>

class ZDDispatcher;
class ZDErrorCallback;

class ZDCrashLogController : public QObject
{
    Q_OBJECT
public:
    using Clock = std::function<QDateTime()>;
    using ServiceLookup = std::function<ZDServicePtr(const QString &host)>;
    static constexpr int kFlushWaitMs = 10000;
    static constexpr int kBarrierStepMs = 100;
    static constexpr qsizetype kMaxPath = 4096;
    static constexpr qsizetype kMaxCause = 512;
    static constexpr qsizetype kMaxApp = 256;
    static constexpr qsizetype kMaxExplanation = 1024 * 1024;

    ZDCrashLogController(ZDDispatcher *dispatcher, ZDErrorCallback *callback, ZDCrashLogCache cache,
                         QObject *parent = nullptr);
    ~ZDCrashLogController() override;

    void setClock(Clock clock);
    // How a record's host name finds its computer; default: the dispatcher's list.
    void setServiceLookup(ServiceLookup lookup);
    ZDServicePtr serviceFor(const QString &host) const;
    // The host name records and the cache use for a name an agent gave.
    QString keyFor(const QString &host) const;
    ZDCrashLogCache &cache() { return m_cache; }

    QVariantList logs() const;
    QVariantMap statistics(int filter, int computers) const;

    // Asks every computer for its logs since its cache date (since, when valid,
    // for all) and returns once every computer answered and its batches are in:
    // the number of records new to the cache. -1 on the main thread.
    int refresh(const QList<ZDServicePtr> &services, const QDateTime &since = QDateTime());
    void cancel() { m_cancelled = true; }

    // Per-log actions; a record whose computer is unknown does nothing.
    QString explanation(const QVariantMap &record) const;
    // Null when nothing was received.
    QString logText(const QVariantMap &record) const;
    bool remove(const QVariantMap &record);
    bool submit(const QVariantMap &record, const QString &comment) const;
    // With credentials (asked through the dispatcher's prompt); the computers it was handed to.
    int consolidate(const QList<ZDServicePtr> &services);

public Q_SLOTS:
    // A batch from a computer (the callback object already checked whose it is).
    void addLogs(const QVariantList &logs, const QString &host);

Q_SIGNALS:
    void logsChanged();
    void progressStarted(int total);
    void progressAdvanced();
    void progressFinished();

private:
    static std::optional<QVariantMap> checkedRecord(const QVariant &value, const QString &host);

    ZDDispatcher *m_dispatcher;
    ZDErrorCallback *m_callback;
    ZDCrashLogCache m_cache;
    Clock m_clock;
    ServiceLookup m_lookup;
    std::atomic<bool> m_cancelled{false};
    std::atomic<int> m_received{0};
    mutable std::mutex m_mutex;
    QVariantList m_logs;
};
