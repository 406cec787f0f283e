#pragma once
// The crash logs of editing applications (and of the suite's own programs) on this
// computer: found in the six crash folders (apport's records among them), given a one-line cause by the maker's
// analysis tool, sent to a console's delegate in batches; one log's text, its HTML
// explanation, its removal to the Trash, its submission, and the consolidation
// helper run with rights. A path from the network is served only when the listing
// names it (resolved, never through a link); anything else is answered as missing.
#include "rpc/ZDRemoteObject.h"
#include "rpc/ZDRemoteProxy.h"

#include <QDateTime>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QThreadPool>
#include <QTimer>
#include <QVariant>
#include <QVariantList>
#include <QVariantMap>

#include <chrono>
#include <functional>
#include <mutex>

class ZDCallbackRegistry;
class ZDClientTasks;
class ZDNotificationCenter;

class ZDCrashLogs : public QObject
{
    Q_OBJECT
public:
    static constexpr const char *kQuellarID = "com.zendrel.Quellar";
    static constexpr const char *kFinishedNotice = "ZDQuellarConsolidateFinished";
    static constexpr int kBatchSize = 10;
    static constexpr int kConsolidatedBatchSize = 5;
    static constexpr int kMaxFilesPerFolder = 1000;
    static constexpr qsizetype kMaxCauseLength = 512;
    static constexpr qsizetype kMaxExplanationBytes = 1024 * 1024;
    static constexpr qsizetype kMaxCommentLength = 2048;
    static constexpr qint64 kMaxLogBytes = 16 * 1024 * 1024;
    static constexpr std::chrono::seconds kBatchCauseTimeout{15};
    static constexpr std::chrono::seconds kOneCauseTimeout{8};
    static constexpr std::chrono::seconds kExplainTimeout{15};
    static constexpr std::chrono::seconds kSubmitTimeout{10};
    // A helper that never posts its notice leaves the consolidation after this.
    static constexpr std::chrono::minutes kConsolidationDeadline{10};

    struct Hooks
    {
        std::function<QString()> hostName;
        std::function<void()> clearCancelled;
        // The agent's own crash reports, read as before for paths not listed here.
        std::function<QVariant(const QString &)> ownCrashLog;
    };

    // center may be null (no consolidation then). Lives on the main thread.
    ZDCrashLogs(ZDClientTasks &tasks, ZDCallbackRegistry &registry, ZDNotificationCenter *center, Hooks hooks,
                QObject *parent = nullptr);
    ~ZDCrashLogs() override;

    void addOperations(ZDRemoteObject &root);

    // Folders 0 to 5: the saved logs, the user's, the computer's crash reporter
    // folders, the user's and the computer's diagnostic reports, then the system's
    // crash records (apport's <root>/var/crash), read as they are.
    static QStringList folders();
    static QString systemCrashFolder();
    static bool matchesFilter(const QString &fileName);
    static QString appNameFromCrashLogFilename(const QString &path);
    // Birth time where the file system keeps one, else the modification time.
    static QDateTime creationDate(const QString &path);
    // Full paths of the files passing the filter, folder by folder, in listing order.
    static QStringList listing();

    // The operations, callable in-process too.
    void crashLogsSinceDate(const QDateTime &since, const ZDRemoteProxyPtr &delegate);
    QVariant quellarGetDefinition(const QString &path);
    QVariant fcsCrashLog(const QString &path);
    void quellarRemoveLogFilename(const QString &path);
    void quellarSubmitCrashLog(const QString &path, const QString &comment);
    void consolidateCrashLogs(const QVariantMap &authInfo);
    bool isConsolidating() const;

private:
    static QStringList namesIn(const QString &folder, bool filtered);
    static bool isSystemRecordListed(const QString &folder, const QString &fileName);
    // The listed file a request names (its resolved path), or empty.
    static QString listedFile(const QString &path);
    // With rights (or as root): a protected bundle outside the user's applications folder, else empty.
    QString quellarBundle(bool withRights) const;
    QString quellarExecutable(const char *failureLine);
    QVariantMap record(const QString &path, const QString &cause) const;
    QVariantList recordsFor(const QStringList &paths, const QString &quellar) const;
    void consolidationDidFinish(quint64 generation);
    void endConsolidation();

    ZDClientTasks &m_tasks;
    ZDCallbackRegistry &m_registry;
    ZDNotificationCenter *m_center;
    Hooks m_hooks;

    mutable std::mutex m_mutex;
    QStringList m_crashLogFilenames;
    quint64 m_generation = 0;
    bool m_consolidating = false;
    int m_observer = 0;
    QTimer *m_deadline = nullptr;
    QThreadPool m_pool; // the consolidated logs' analysis
};
