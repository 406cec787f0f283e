#pragma once
// The console's scheduled tasks across computers: each computer's task list merged
// into one row per schedule (its identity: tool, task, schedule type and value) with
// a child per computer and a state that says how they differ; the add sheet's rules
// (clamped interval fields, readable text, the checks before sending); and the work
// that adds, removes, enables, disables and brings computers into line. A task with
// three schedules is three rows: sync only adds a schedule where it is missing and
// aligns its enabled state (most computers win, a tie going to the first in the
// list); it never rewrites one schedule into another. The work runs off the GUI thread.
#include "dispatch/ZDDispatcher.h"
#include "fleet/ZDService.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <QVariantList>
#include <QVariantMap>

#include <functional>
#include <optional>

struct ZDScheduledTask
{
    enum State { InLine = 0, SchedulesDiffer = 1, EnabledDiffers = 2, Missing = 3 };

    QString taskDescription;
    QString frequencyDescription; // the common schedule text, or "(various)"
    QString taskBundleID;
    QVariantList children; // each computer's task, with "filename" and "hostname"
    int state = InLine;
    int enabledCount = 0;
    int root = 0;
    int enabled = 0; // 1 all, 0 none, -1 some
    QVariantList missingHosts;
    QString identity; // tool, task, type and value: what makes two schedules the same
    int scheduleType = -1;
    QString scheduleValue; // the value an add sends for this schedule

    // The identity of one computer's task dictionary, and the value an add would send.
    static QString identityOf(const QVariantMap &task);
    static QString valueOf(const QVariantMap &task);
    // The computers (their "hostname") that hold this schedule.
    QStringList hosts() const;

    static ZDScheduledTask withDictionary(const QVariantMap &task, const QString &host);
    void addChild(QVariantMap task, const QString &host);
    QVariantMap toMap() const;
    static QString stateText(int state);
};

class ZDScheduleTasks
{
public:
    // The run types the add sheet offers, by index (the tool's schedule type).
    static QStringList runTypeTitles();
    // hostLists: host -> {filename: task}; hosts: every computer asked, in order.
    static QList<ZDScheduledTask> merge(const QVariantMap &hostLists, const QStringList &hosts);

    // The interval fields as typed: the minute filled in when others are, each clamped.
    struct Fields
    {
        QString minute, hour, day, weekday, month;
    };
    static Fields clampFields(Fields fields);
    static QString friendlyText(const Fields &fields);
    // The value sent for a run type from the sheet's fields, or empty with the
    // alert's title and text in *title / *text. folder: kept as typed ("~/..." stays
    // for the computer to expand), a leading "/" added to any other relative path.
    static QString intervalValue(int runType, const QString &seconds, const Fields &fields, const QString &folder,
                                 QString *title, QString *text);
    // The task argument dictionary of a new task.
    // root: the tool's task runs with rights ("root" is sent only then).
    static QVariantMap taskArguments(const QString &bundleID, const QString &taskID, int runType,
                                     const QString &value, bool enabled, bool root = false);
    static QString removeQuestion(int rows);
    // "Remove 2 schedules from 3 computers?": the confirmation names what is at stake.
    static QString removeQuestion(const QList<ZDScheduledTask> &rows, const QStringList &hosts);

    // What a sync would do: one call per entry, planned before anything is sent so
    // that the administrator can be asked with the counts.
    struct Step
    {
        QString host;
        QString op; // cadroAddTask:settings: or cadroEnableTask:settings:
        QVariant obj1, obj2;
        bool root = false;
    };
    struct Plan
    {
        QList<Step> steps;
        int adds = 0, enables = 0;
        QStringList hosts; // the computers that change
        QString question() const;
    };
    static Plan syncPlan(const QList<ZDScheduledTask> &rows);

    struct Report
    {
        QStringList failures; // "host: what"
        int changes = 0;
    };
    using HostOf = std::function<QString(const ZDServicePtr &)>;

    ZDScheduleTasks(ZDDispatcher &dispatcher, ZDDispatcher::ServiceList services, HostOf hostOf);

    QList<ZDScheduledTask> refresh();
    // withRights: the calls carry administrator credentials.
    Report add(const QVariantMap &arguments, bool withRights);
    // hosts: only these computers' copies (empty: every computer that has the schedule).
    Report remove(const QList<ZDScheduledTask> &rows, bool withRights, const QStringList &hosts = {});
    // No row: every task of every computer; a row: its children; host given: that child only.
    Report setEnabled(const QList<ZDScheduledTask> &rows, bool enabled, bool withRights, const QString &host = {});
    // withRights given: every call with credentials or none; absent: those of root tasks.
    Report apply(const Plan &plan, std::optional<bool> withRights);

private:
    ZDServicePtr serviceFor(const QString &host) const;
    bool call(const char *op, const QString &host, const QVariant &obj1, const QVariant &obj2, bool withRights,
              Report &report);

    ZDDispatcher &m_dispatcher;
    ZDDispatcher::ServiceList m_services;
    HostOf m_hostOf;
};
