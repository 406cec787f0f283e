#pragma once
// The maker's tools run from the console on many computers: the cleaning tool with
// task identifiers (or a preset), the removal tool with component groups, the cache
// tool with cache keys, and the repair tools as remote tasks with rights whose
// results come back through a callback. What is sent is checked against the shared
// tables first. Removal and cache runs wait for each computer's finished-task
// notice; the cache run's progress goes to computers x keys and is completed at
// the end even when a tool skipped a key. Blocking: never on the GUI thread.
#include "dispatch/ZDDispatcher.h"
#include "dispatch/ZDFinishedNotices.h"
#include "fleet/ZDService.h"

#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>
#include <mutex>

class ZDErrorCallback;

class ZDMaintenanceRuns : public QObject
{
    Q_OBJECT
public:
    struct Report
    {
        QStringList failures; // "host: what"
        int handed = 0;       // calls the computers took
        int finished = 0;     // finished-task notices received
        int steps = 0;        // progress steps the tools posted
        int total = 0;        // the progress maximum
        QStringList results;  // repair output, "host: text"
    };
    struct Repair
    {
        QString tool;     // as given
        QString bundleID;
        QString callback; // the callback name, empty: none
        QString message;  // "Repairing ... on %1 computer%2. ..."
        QString log;
        QString option;   // what task "1" adds to task "0", as the panel's option box says
    };

    using HostOf = std::function<QString(const ZDServicePtr &)>;
    // callback: the console's error callback (finished notices and progress), may be null.
    ZDMaintenanceRuns(ZDDispatcher &dispatcher, ZDErrorCallback *callback, ZDDispatcher::ServiceList services,
                      HostOf hostOf, QObject *parent = nullptr);

    // Arguments: a preset number (0 or 1) alone, or task identifiers. Empty ids and why on a refusal.
    static QStringList cleaningIDsFor(const QStringList &arguments, QString *why);
    // Group numbers or titles, or "preset N"; empty and why on a refusal.
    static QList<int> removalGroupsFor(const QStringList &arguments, QString *why);
    static Repair repairFor(const QString &tool);

    Report clean(const QStringList &ids);
    // withRights: credentials per computer (the dispatcher asks); else as the agents' user.
    Report removeGroups(const QList<int> &groups, bool withRights, double waitSeconds = 660);
    Report trashCaches(const QStringList &keys, bool withRights, double waitSeconds = 360);
    // task "0" or "1" (the option box); waits for each computer's callback, passing on
    // each answer as it comes (repairAnswered, from the calling thread).
    Report repair(const Repair &repair, const QString &task, double waitSeconds = 300);

Q_SIGNALS:
    void progressStarted(int total);
    void progressAdvanced();
    void progressFinished();
    void repairAnswered(const QString &host, const QString &output);

private:
    ZDDispatcher &m_dispatcher;
    ZDDispatcher::ServiceList m_services;
    HostOf m_hostOf;
    ZDFinishedNotices m_notices;
    std::mutex m_mutex; // the progress steps
    int m_steps = 0;
    int m_stepsShown = 0;
    int m_total = 0;
};
