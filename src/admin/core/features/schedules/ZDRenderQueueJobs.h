#pragma once
// The console's render queue across computers: every computer's jobs as flat rows
// (each with "clustername", "hostname" and "batchname"), and the job and sharing
// actions. A row names its job as HOST:CLUSTER:JOB. A shared cluster seen from two
// computers lists its jobs once per computer, but an action reaches each job once:
// through the first computer in the list that reported it. "This Computer" is each
// computer's own queue. Every listing keeps its answers to itself; the work runs
// off the GUI thread.
#include "dispatch/ZDDispatcher.h"
#include "fleet/ZDService.h"

#include <QList>
#include <QMap>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QVariantList>
#include <QVariantMap>

#include <functional>

class ZDRenderQueueJobs
{
public:
    // hostJobs: host -> cluster -> batch id -> batch with "jobs"; hosts: the list's order.
    static QVariantList rows(const QVariantMap &hostJobs, const QStringList &hosts);
    static QString reference(const QVariantMap &row);
    // The chosen rows grouped by host, each job once (see above); hosts: the list's order.
    static QMap<QString, QVariantList> byHost(const QVariantList &chosen, const QStringList &hosts);

    enum class Action { Pause, Resume, Cancel };
    enum class Sharing { Start, Stop, Reset };
    struct Report
    {
        QStringList failures; // "host: what"
        int changes = 0;
    };
    using HostOf = std::function<QString(const ZDServicePtr &)>;

    ZDRenderQueueJobs(ZDDispatcher &dispatcher, ZDDispatcher::ServiceList services, HostOf hostOf);

    QVariantList refresh();
    // Rows of computers that left the list are skipped.
    Report act(const QVariantList &chosen, Action action);
    Report sharing(Sharing what);

private:
    QStringList hosts() const;

    ZDDispatcher &m_dispatcher;
    ZDDispatcher::ServiceList m_services;
    HostOf m_hostOf;
};
