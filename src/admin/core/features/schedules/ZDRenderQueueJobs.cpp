#include "features/schedules/ZDRenderQueueJobs.h"

#include "log/ZDLog.h"

namespace {

const QString kCluster = QStringLiteral("clustername");
const QString kHost = QStringLiteral("hostname");
const QString kJob = QStringLiteral("jobid");
const QString kThisComputer = QStringLiteral("This Computer");
constexpr int kMaxRows = 100000;

} // namespace

QVariantList ZDRenderQueueJobs::rows(const QVariantMap &hostJobs, const QStringList &hosts)
{
    QVariantList out;
    for (const QString &host : hosts) {
        const QVariantMap clusters = hostJobs.value(host).toMap();
        for (auto cluster = clusters.cbegin(); cluster != clusters.cend(); ++cluster) {
            const QVariantMap batches = cluster->toMap();
            for (auto batch = batches.cbegin(); batch != batches.cend(); ++batch) {
                const QVariantMap b = batch->toMap();
                const QVariantMap jobs = b.value(QStringLiteral("jobs")).toMap();
                for (auto job = jobs.cbegin(); job != jobs.cend() && out.size() < kMaxRows; ++job) {
                    QVariantMap row = job->toMap();
                    row.insert(kJob, job.key());
                    row.insert(kCluster, cluster.key());
                    row.insert(kHost, host);
                    row.insert(QStringLiteral("batchname"), b.value(QStringLiteral("name")).toString());
                    out << row;
                }
            }
        }
    }
    return out;
}

QString ZDRenderQueueJobs::reference(const QVariantMap &row)
{
    return QStringLiteral("%1:%2:%3").arg(row.value(kHost).toString(), row.value(kCluster).toString(), row.value(kJob).toString());
}

QMap<QString, QVariantList> ZDRenderQueueJobs::byHost(const QVariantList &chosen, const QStringList &hosts)
{
    QMap<QString, QVariantList> out;
    QSet<QString> seen;
    for (const QString &host : hosts) {
        for (const QVariant &v : chosen) {
            const QVariantMap row = v.toMap();
            if (row.value(kHost).toString() != host)
                continue;
            const QString cluster = row.value(kCluster).toString();
            const QString key = (cluster == kThisComputer ? host : QString()) + QLatin1Char('\n') + cluster
                + QLatin1Char('\n') + row.value(kJob).toString();
            if (seen.contains(key))
                continue;
            seen.insert(key);
            out[host] << QVariantMap{{kCluster, cluster}, {kJob, row.value(kJob)}};
        }
    }
    return out;
}

ZDRenderQueueJobs::ZDRenderQueueJobs(ZDDispatcher &dispatcher, ZDDispatcher::ServiceList services, HostOf hostOf)
    : m_dispatcher(dispatcher), m_services(std::move(services)), m_hostOf(std::move(hostOf))
{
}

QStringList ZDRenderQueueJobs::hosts() const
{
    return ZDDispatcher::hostsOf(m_services, m_hostOf);
}

QVariantList ZDRenderQueueJobs::refresh()
{
    ZDLog::appendLog(QStringLiteral("Populating Qmaster jobs..."));
    const QVariantMap answers = m_dispatcher.objectsFromRemoteMethod(QStringLiteral("qmasterJobs"));
    if (answers.isEmpty())
        ZDLog::appendLog(QStringLiteral("Unable to get Qmaster clusters"));
    return rows(ZDDispatcher::answersBy(answers, m_services, m_hostOf), hosts());
}

ZDRenderQueueJobs::Report ZDRenderQueueJobs::act(const QVariantList &chosen, Action action)
{
    const char *op = action == Action::Pause ? "qmasterJobPause:" : action == Action::Resume ? "qmasterJobResume:"
                                                                                            : "qmasterJobTerminate:";
    Report report;
    const QMap<QString, QVariantList> groups = byHost(chosen, hosts());
    for (const ZDServicePtr &s : m_services) {
        const QString host = m_hostOf(s);
        if (!groups.contains(host))
            continue;
        const QVariant done = m_dispatcher.objectFromRemoteMethod(QLatin1String(op), groups.value(host), QVariant(), s);
        if (done.toBool())
            report.changes += int(groups.value(host).size());
        else
            report.failures << QStringLiteral("%1: %2 failed").arg(host, QLatin1String(op));
    }
    return report;
}

ZDRenderQueueJobs::Report ZDRenderQueueJobs::sharing(Sharing what)
{
    const QString op = what == Sharing::Start ? QStringLiteral("qmasterStartSharing")
        : what == Sharing::Stop               ? QStringLiteral("qmasterStopSharing")
                                              : QStringLiteral("qmasterResetServices");
    Report report;
    for (const ZDServicePtr &s : m_services) {
        if (m_dispatcher.objectFromRemoteMethod(op, QVariant(), QVariant(), s).toBool())
            ++report.changes;
        else
            report.failures << QStringLiteral("%1: %2 failed").arg(m_hostOf(s), op);
    }
    return report;
}
