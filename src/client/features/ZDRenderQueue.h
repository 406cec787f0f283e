#pragma once
// The render queue: the clusters this computer knows (from the cluster preferences
// tool, kept for a minute), their batches and jobs (from the batch monitor's XML),
// job actions and the computer's sharing. Both tools sit at places the agent's
// preferences may change ("renderPrefsToolPath", "batchMonitorPath"). Each listing
// keeps its results to itself and queries the clusters on a few threads at most;
// cluster names and job ids reach a tool's command line only once checked.
#include <QDateTime>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <QVariantList>
#include <QVariantMap>

#include <chrono>
#include <functional>
#include <mutex>

class ZDRemoteObject;

class ZDRenderQueue
{
public:
    static constexpr const char *kThisComputer = "This Computer";
    static constexpr int kMaxThreads = 4;
    static constexpr int kMaxClusters = 64;
    static constexpr int kMaxJobs = 10000;
    static constexpr qint64 kMaxOutputBytes = 8 * 1024 * 1024;
    static constexpr std::chrono::seconds kListTimeout{15};
    static constexpr std::chrono::seconds kActionTimeout{10};
    static constexpr std::chrono::seconds kSharingTimeout{20};

    // now: the clock the cluster list's age is measured with.
    explicit ZDRenderQueue(std::function<QDateTime()> now = &QDateTime::currentDateTimeUtc);

    static void addOperations(ZDRemoteObject &root, std::function<void()> clearCancelled);

    QStringList clusters();
    // cluster name -> batch id -> batch attributes with "jobs": job id -> job attributes.
    QVariantMap jobs();
    enum class Action { Pause, Resume, Kill };
    // True when every job named was acted on.
    bool act(const QVariantList &jobs, Action action);
    bool sharing(const QStringList &arguments);

    // The clusters named in the tool's "-list" line.
    static QStringList parseClusterList(const QString &output);
    // The batch monitor's XML as batches; false when it is not a well-formed answer.
    static bool parseBatches(const QByteArray &xml, QVariantMap *batches, QString *error);
    static bool isJobID(const QString &id);

private:
    static QString toolPath(const char *key, const QString &fallback);
    QString prefsTool() const;
    QString batchMonitor() const;

    std::function<QDateTime()> m_now;
    std::mutex m_clusterMutex;
    QStringList m_clusters;
    QDateTime m_lastUpdate;
};
