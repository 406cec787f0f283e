#include "features/ZDRenderQueue.h"

#include "agent/ZDClientPreferences.h"
#include "platform/ZDLocalPaths.h"
#include "log/ZDLog.h"
#include "rpc/ZDRemoteObject.h"
#include "process/ZDTaskEx.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSet>
#include <QThreadPool>
#include <QXmlStreamReader>

namespace {

QVariantMap attributesOf(const QXmlStreamReader &xml)
{
    QVariantMap out;
    for (const QXmlStreamAttribute &a : xml.attributes())
        out.insert(a.name().toString().left(100), a.value().toString().left(1000));
    return out;
}

} // namespace

ZDRenderQueue::ZDRenderQueue(std::function<QDateTime()> now) : m_now(std::move(now))
{
}

void ZDRenderQueue::addOperations(ZDRemoteObject &root, std::function<void()> clearCancelled)
{
    const auto self = std::make_shared<ZDRenderQueue>();
    const auto serve = [&](const char *op, std::function<QVariant(const QVariantList &)> body) {
        root.serve(op, [clearCancelled, body = std::move(body)](const QVariantList &args) {
            clearCancelled();
            return body(args);
        });
    };
    serve("qmasterJobs", [self](const QVariantList &) -> QVariant { return self->jobs(); });
    serve("qmasterJobPause:", [self](const QVariantList &a) -> QVariant { return self->act(a.value(0).toList(), Action::Pause); });
    serve("qmasterJobResume:", [self](const QVariantList &a) -> QVariant { return self->act(a.value(0).toList(), Action::Resume); });
    serve("qmasterJobTerminate:", [self](const QVariantList &a) -> QVariant { return self->act(a.value(0).toList(), Action::Kill); });
    serve("qmasterStartSharing", [self](const QVariantList &) -> QVariant { return self->sharing({QStringLiteral("-startSharing")}); });
    serve("qmasterStopSharing", [self](const QVariantList &) -> QVariant { return self->sharing({QStringLiteral("-stopSharing")}); });
    serve("qmasterResetServices", [self](const QVariantList &) -> QVariant {
        return self->sharing({QStringLiteral("-resetCluster"), QStringLiteral("cancelJobs")});
    });
}

QString ZDRenderQueue::toolPath(const char *key, const QString &fallback)
{
    const QString set = ZDClientPreferences().objectForPreferenceDictionaryKey(QLatin1String(key)).toString();
    const QString path = QDir::isAbsolutePath(set) ? set : fallback;
    return ZDTaskEx::isRunnable(path) ? path : QString();
}

QString ZDRenderQueue::prefsTool() const
{
    const QString path = toolPath("renderPrefsToolPath", ZDLocalPaths::systemPath(QStringLiteral("/usr/sbin/qmasterprefs")));
    if (path.isEmpty())
        ZDLog::appendLog(QStringLiteral("Unable to find path for qmasterprefs"));
    return path;
}

QString ZDRenderQueue::batchMonitor() const
{
    const QString path = toolPath("batchMonitorPath", ZDLocalPaths::applicationDirectory(false)
                                                          + QStringLiteral("/Batch Monitor.app/Contents/MacOS/Batch Monitor"));
    if (path.isEmpty())
        ZDLog::appendLog(QStringLiteral("Unable to find path for Batch Monitor application"));
    return path;
}

QStringList ZDRenderQueue::parseClusterList(const QString &output)
{
    QStringList names;
    static const QRegularExpression server(QStringLiteral("servername \"([^\"]*)\""));
    for (const QString &part : output.split(QStringLiteral(" -"))) {
        if (!part.startsWith(QLatin1String("cluster on"), Qt::CaseInsensitive))
            continue;
        QString name = server.match(part).captured(1).trimmed();
        if (name.isEmpty() || name.size() > 200)
            continue;
        if (!name.endsWith(QLatin1String(" Cluster")))
            name += QStringLiteral(" Cluster");
        if (!names.contains(name) && names.size() < kMaxClusters)
            names << name;
    }
    return names;
}

QStringList ZDRenderQueue::clusters()
{
    std::lock_guard lock(m_clusterMutex);
    const QDateTime now = m_now();
    if (m_lastUpdate.isValid() && m_lastUpdate.secsTo(now) < 60 && m_lastUpdate <= now)
        return m_clusters;
    ZDLog::appendLog(QStringLiteral("Loading Qmaster cluster list..."));
    QStringList list{QString::fromLatin1(kThisComputer)};
    const QString tool = prefsTool();
    const std::optional<QByteArray> output =
        tool.isEmpty() ? std::nullopt : ZDTaskEx::dataFromTask(tool, {QStringLiteral("-list")}, kListTimeout);
    if (!output || output->isEmpty()) {
        ZDLog::appendLog(QStringLiteral("Unable to load Qmaster preferences"));
        return list;
    }
    list += parseClusterList(QString::fromUtf8(output->left(kMaxOutputBytes)));
    ZDLog::appendLog(QStringLiteral("Clusters found: %@"), list.join(QStringLiteral(", ")));
    m_clusters = list;
    m_lastUpdate = now;
    return list;
}

bool ZDRenderQueue::parseBatches(const QByteArray &data, QVariantMap *batches, QString *error)
{
    QXmlStreamReader xml(data);
    QString batchID;
    QVariantMap batch, jobs;
    int count = 0;
    const auto closeBatch = [&] {
        if (!batchID.isEmpty()) {
            batch.insert(QStringLiteral("jobs"), jobs);
            batches->insert(batchID, batch);
        }
        batchID.clear();
        batch.clear();
        jobs.clear();
    };
    while (!xml.atEnd() && count < kMaxJobs) {
        xml.readNext();
        if (xml.isStartElement() && xml.name() == QLatin1String("batchStatus")) {
            closeBatch();
            batch = attributesOf(xml);
            batchID = batch.value(QStringLiteral("batchid")).toString();
            if (batchID.isEmpty())
                ZDLog::appendLog(QStringLiteral("Unable to get batches - %@"), QStringLiteral("a batch without a batch id"));
            ++count;
        } else if (xml.isEndElement() && xml.name() == QLatin1String("batchStatus")) {
            closeBatch();
        } else if (xml.isStartElement() && xml.name() == QLatin1String("jobStatus") && !batchID.isEmpty()) {
            const QVariantMap job = attributesOf(xml);
            const QString id = job.value(QStringLiteral("jobid")).toString();
            if (!id.isEmpty())
                jobs.insert(id, job);
            else
                ZDLog::appendLog(QStringLiteral("Unable to get jobs - %@"),
                                 QStringLiteral("a job without a job id in batch ") + batchID);
            ++count;
        }
    }
    if (xml.hasError()) {
        *error = xml.errorString();
        return false;
    }
    if (count >= kMaxJobs)
        ZDLog::appendLog(QStringLiteral("Unable to get jobs - %@"),
                         QStringLiteral("only the first %1 batches and jobs were read").arg(kMaxJobs));
    closeBatch();
    return true;
}

QVariantMap ZDRenderQueue::jobs()
{
    ZDLog::appendLog(QStringLiteral("Getting Qmaster jobs..."));
    const QStringList names = clusters();
    const QString tool = batchMonitor();
    if (tool.isEmpty())
        return {};
    ZDLog::appendLog(QStringLiteral("Looking through clusters for jobs..."));
    // This call's own results: another console's listing at the same time has its own.
    QVariantMap store;
    std::mutex storeMutex;
    QThreadPool pool;
    pool.setMaxThreadCount(kMaxThreads);
    for (const QString &cluster : names) {
        pool.start([&, cluster] {
            ZDLog::appendLog(QStringLiteral("Getting jobs for cluster %@..."), cluster);
            const std::optional<QByteArray> output = ZDTaskEx::dataFromTask(
                tool, {QStringLiteral("-clustername"), cluster, QStringLiteral("-query"), QStringLiteral("0.3"),
                       QStringLiteral("-timeout"), QStringLiteral("0.3")}, kListTimeout);
            if (!output || output->size() > kMaxOutputBytes)
                return;
            QVariantMap batches;
            QString error;
            if (!parseBatches(*output, &batches, &error)) {
                ZDLog::appendLog(QStringLiteral("Error loading XML document: %@"), error);
                return;
            }
            std::lock_guard lock(storeMutex);
            store.insert(cluster, batches);
        });
    }
    pool.waitForDone();
    ZDLog::appendLog(QStringLiteral("Qmaster processing complete."));
    return store;
}

bool ZDRenderQueue::isJobID(const QString &id)
{
    static const QRegularExpression re(QStringLiteral("^[A-Za-z0-9_][A-Za-z0-9._-]{0,99}\\z"));
    return re.match(id).hasMatch();
}

bool ZDRenderQueue::act(const QVariantList &jobs, Action action)
{
    const QString tool = batchMonitor();
    if (tool.isEmpty())
        return false;
    const QStringList known = clusters();
    const QString word = action == Action::Pause ? QStringLiteral("-pause")
        : action == Action::Resume               ? QStringLiteral("-resume")
                                                 : QStringLiteral("-kill");
    bool all = true;
    QSet<QString> done;
    for (const QVariant &v : jobs.mid(0, kMaxJobs)) {
        const QVariantMap job = v.toMap();
        const QString cluster = job.value(QStringLiteral("clustername")).toString();
        const QString id = job.value(QStringLiteral("jobid")).toString();
        if (cluster.isEmpty() || id.isEmpty()) {
            ZDLog::appendLog(QStringLiteral("Unable to find cluster name and job ID"));
            all = false;
            continue;
        }
        // Only a cluster this computer knows, and an id that cannot pass for an option.
        if (!known.contains(cluster) || !isJobID(id)) {
            ZDLog::appendLog(QStringLiteral("Refused job %@ of cluster %@"), id.left(100), cluster.left(100));
            all = false;
            continue;
        }
        if (done.contains(cluster + QLatin1Char('\n') + id))
            continue;
        done.insert(cluster + QLatin1Char('\n') + id);
        const int code = ZDTaskEx::terminationCodeFromTask(
            tool, {QStringLiteral("-clustername"), cluster, QStringLiteral("-jobid"), id, word, QStringLiteral("-query"),
                   QStringLiteral("1"), QStringLiteral("-timeout"), QStringLiteral("1")}, kActionTimeout);
        all = all && code == 0;
    }
    return all;
}

bool ZDRenderQueue::sharing(const QStringList &arguments)
{
    const QString tool = prefsTool();
    if (tool.isEmpty())
        return false;
    {
        // The clusters may change with the sharing: the next listing asks again.
        std::lock_guard lock(m_clusterMutex);
        m_lastUpdate = QDateTime();
    }
    return ZDTaskEx::terminationCodeFromTask(tool, arguments, kSharingTimeout) == 0;
}
