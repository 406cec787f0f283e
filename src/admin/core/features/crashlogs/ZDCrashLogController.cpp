#include "features/crashlogs/ZDCrashLogController.h"

#include "dispatch/ZDAgentCalls.h"
#include "features/crashlogs/ZDCrashLogStats.h"
#include "dispatch/ZDDispatcher.h"
#include "dispatch/ZDErrorCallback.h"
#include "log/ZDLog.h"
#include "process/ZDThreads.h"

#include <QFileInfo>
#include <QSemaphore>

#include <optional>
#include <thread>
#include <vector>

namespace {

QString filenameOf(const QVariantMap &record)
{
    return record.value(QStringLiteral("filename")).toString();
}

QString hostOf(const QVariantMap &record)
{
    return record.value(QStringLiteral("hostname")).toString();
}

bool sameHost(QString a, QString b)
{
    while (a.endsWith(QLatin1Char('.')))
        a.chop(1);
    while (b.endsWith(QLatin1Char('.')))
        b.chop(1);
    return !a.isEmpty() && a.compare(b, Qt::CaseInsensitive) == 0;
}

} // namespace

ZDCrashLogController::ZDCrashLogController(ZDDispatcher *dispatcher, ZDErrorCallback *callback, ZDCrashLogCache cache,
                                           QObject *parent)
    : QObject(parent), m_dispatcher(dispatcher), m_callback(callback), m_cache(std::move(cache)),
      m_clock([] { return QDateTime::currentDateTimeUtc(); })
{
    if (m_callback)
        connect(m_callback, &ZDErrorCallback::crashLogsAdded, this, &ZDCrashLogController::addLogs);
}

ZDCrashLogController::~ZDCrashLogController() = default;

void ZDCrashLogController::setClock(Clock clock)
{
    m_clock = clock ? std::move(clock) : Clock([] { return QDateTime::currentDateTimeUtc(); });
}

void ZDCrashLogController::setServiceLookup(ServiceLookup lookup)
{
    m_lookup = std::move(lookup);
}

ZDServicePtr ZDCrashLogController::serviceFor(const QString &host) const
{
    if (host.isEmpty())
        return {};
    if (m_lookup)
        return m_lookup(host);
    if (!m_dispatcher)
        return {};
    for (const ZDServicePtr &service : m_dispatcher->allServices()) {
        if (sameHost(service->hostName(), host))
            return service;
    }
    return {};
}

QString ZDCrashLogController::keyFor(const QString &host) const
{
    // An agent may spell its name with or without the final dot: the cache goes by the record's.
    if (m_dispatcher) {
        for (const ZDServicePtr &service : m_dispatcher->allServices()) {
            if (sameHost(service->hostName(), host))
                return service->hostName();
        }
    }
    return host;
}

QVariantList ZDCrashLogController::logs() const
{
    const std::lock_guard lock(m_mutex);
    return m_logs;
}

QVariantMap ZDCrashLogController::statistics(int filter, int computers) const
{
    ZDLog::appendLog(QStringLiteral("Generating Quellar statistics..."));
    const QVariantMap stats = ZDCrashLogStats::statistics(logs(), filter, m_clock(), computers, [this](const QString &host) {
        const ZDServicePtr service = serviceFor(host);
        return service ? service->name() : ZDErrorCallback::friendlyServiceName(host);
    });
    ZDLog::appendLog(QStringLiteral("Quellar statistics: %@"), stats);
    return stats;
}

std::optional<QVariantMap> ZDCrashLogController::checkedRecord(const QVariant &value, const QString &host)
{
    // A record comes from another computer: each field is checked and bounded.
    const QVariantMap in = value.toMap();
    const QVariant filename = in.value(QStringLiteral("filename"));
    const QVariant date = in.value(QStringLiteral("date"));
    if (filename.metaType().id() != QMetaType::QString || filename.toString().isEmpty()
        || filename.toString().size() > kMaxPath || filename.toString().contains(QChar(0))
        || date.metaType().id() != QMetaType::QDateTime || !date.toDateTime().isValid())
        return std::nullopt;
    QString cause = in.value(QStringLiteral("cause")).toString().left(kMaxCause).trimmed();
    if (cause.isEmpty())
        cause = QStringLiteral("Unknown");
    QString app = in.value(QStringLiteral("app")).toString().left(kMaxApp);
    if (app.isEmpty())
        app = QFileInfo(filename.toString()).fileName().section(QLatin1Char('_'), 0, 0).left(kMaxApp);
    return QVariantMap{{QStringLiteral("hostname"), host},
                       {QStringLiteral("filename"), filename.toString()},
                       {QStringLiteral("date"), date.toDateTime()},
                       {QStringLiteral("cause"), cause},
                       {QStringLiteral("app"), app}};
}

void ZDCrashLogController::addLogs(const QVariantList &logs, const QString &claimed)
{
    const QString host = keyFor(claimed);
    QVariantList records;
    for (const QVariant &log : logs) {
        if (const auto record = checkedRecord(log, host))
            records << *record;
    }
    if (records.isEmpty())
        return;
    const QVariantList added = m_cache.addBatch(host, records);
    if (added.isEmpty())
        return;
    m_received += int(added.size());
    {
        const std::lock_guard lock(m_mutex);
        m_logs << added;
    }
    Q_EMIT logsChanged();
}

int ZDCrashLogController::refresh(const QList<ZDServicePtr> &services, const QDateTime &since)
{
    if (ZDThreads::isMainThread() || !m_dispatcher)
        return -1;
    ZDLog::appendLog(QStringLiteral("Refreshing Quellar logs..."));
    m_cancelled = false;
    m_received = 0;
    QVariantList shown;
    const QVariantMap cached = m_cache.hosts();
    for (const ZDServicePtr &service : services)
        shown << cached.value(service->hostName()).toMap().value(QStringLiteral("logs")).toList();
    {
        const std::lock_guard lock(m_mutex);
        m_logs = shown;
    }
    ZDThreads::post(this, [this] { Q_EMIT logsChanged(); });
    Q_EMIT progressStarted(int(services.size()));

    const auto ask = [&](const ZDServicePtr &service) {
        if (m_cancelled)
            return;
        const QString host = service->hostName();
        const QDateTime date = since.isValid() ? since : cached.value(host).toMap().value(QStringLiteral("date")).toDateTime();
        ZDLog::appendLog(QStringLiteral("Getting logs for %@ since %@..."), host,
                         date.isValid() ? date.toString(Qt::ISODateWithMs) : QStringLiteral("(null)"));
        const QVariant delegate = m_callback ? QVariant::fromValue(m_callback->remoteObjectFor(service)) : QVariant();
        ZDAgentCalls(m_dispatcher).crashLogsSinceDate(date.isValid() ? QVariant(date) : QVariant(), delegate, service);
        // The batches went out before the answer: wait until they are served here.
        if (!m_cancelled)
            service->flushIncomingCalls(kFlushWaitMs);
        Q_EMIT progressAdvanced();
    };
    std::vector<std::thread> workers;
    for (const QList<ZDServicePtr> &group :
         ZDDispatcher::selectedServicesForCores(services, m_dispatcher->coreCount())) {
        workers.emplace_back([group, &ask] {
            for (const ZDServicePtr &service : group)
                ask(service);
        });
    }
    for (std::thread &worker : workers)
        worker.join();
    // The callback object hands batches on to this thread: they are all taken in once a
    // call posted after them has run. Not a blocking call: a window closing waits for
    // this work on that thread, having cancelled the dispatcher first.
    auto taken = std::make_shared<QSemaphore>();
    ZDThreads::post(this, [taken] { taken->release(); });
    while (!taken->tryAcquire(1, kBarrierStepMs)) {
        if (m_cancelled || m_dispatcher->isProcessingCancelled())
            break;
    }
    Q_EMIT progressFinished();
    return m_received;
}

QString ZDCrashLogController::explanation(const QVariantMap &record) const
{
    if (record.value(QStringLiteral("cause")).toString() == QLatin1String("Unknown"))
        return ZDCrashLogStats::unknownCauseExplanation();
    ZDLog::appendLog(QStringLiteral("Updating Quellar suggestion view..."));
    const ZDServicePtr service = serviceFor(hostOf(record));
    if (!service || !m_dispatcher) {
        ZDLog::appendLog(QStringLiteral("Unable to find service for hostname %@"), hostOf(record));
        return {};
    }
    // Another computer's HTML: bounded before any view lays it out.
    return ZDAgentCalls(m_dispatcher).quellarGetDefinition(filenameOf(record), service).toString().left(kMaxExplanation);
}

QString ZDCrashLogController::logText(const QVariantMap &record) const
{
    const ZDServicePtr service = serviceFor(hostOf(record));
    if (!service || !m_dispatcher)
        return {};
    const QVariant text = ZDAgentCalls(m_dispatcher).fcsCrashLog(filenameOf(record), service);
    return text.metaType().id() == QMetaType::QString ? text.toString() : QString();
}

bool ZDCrashLogController::remove(const QVariantMap &record)
{
    const ZDServicePtr service = serviceFor(hostOf(record));
    if (!service || !m_dispatcher)
        return false;
    ZDAgentCalls(m_dispatcher).quellarRemoveLogFilename(filenameOf(record), service);
    {
        const std::lock_guard lock(m_mutex);
        m_logs.removeIf([&](const QVariant &log) {
            const QVariantMap map = log.toMap();
            return hostOf(map) == hostOf(record) && filenameOf(map) == filenameOf(record);
        });
    }
    m_cache.removeLog(hostOf(record), filenameOf(record));
    ZDThreads::post(this, [this] { Q_EMIT logsChanged(); });
    return true;
}

bool ZDCrashLogController::submit(const QVariantMap &record, const QString &comment) const
{
    const ZDServicePtr service = serviceFor(hostOf(record));
    if (!service || !m_dispatcher)
        return false;
    ZDAgentCalls(m_dispatcher).quellarSubmitCrashLog(filenameOf(record), ZDCrashLogStats::cutComment(comment), service);
    return true;
}

int ZDCrashLogController::consolidate(const QList<ZDServicePtr> &services)
{
    if (ZDThreads::isMainThread() || !m_dispatcher)
        return 0;
    int handed = 0;
    for (const ZDServicePtr &service : services) {
        if (m_dispatcher->isProcessingCancelled())
            break;
        handed += ZDAgentCalls(m_dispatcher).consolidateCrashLogs(service) ? 1 : 0;
    }
    return handed;
}
