#pragma once
// The console's scheduled tasks across computers: each computer's task list merged
// into one row per task (by tool and description) with a child per computer and a
// state that says how they differ; the add sheet's rules (clamped interval fields,
// readable text, the checks before sending); and the work that adds, removes,
// enables, disables and brings computers into line. Sync takes the values most
// computers share, a tie going to the computer first in the list. The work runs
// off the GUI thread.
#include "dispatch/ZDDispatcher.h"
#include "fleet/ZDService.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <QVariantList>
#include <QVariantMap>

#include <functional>

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
    static QVariantMap taskArguments(const QString &bundleID, const QString &taskID, int runType,
                                     const QString &value, bool enabled);
    static QString removeQuestion(int rows);

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
    Report remove(const QList<ZDScheduledTask> &rows, bool withRights);
    // No row: every task of every computer; a row: its children; host given: that child only.
    Report setEnabled(const QList<ZDScheduledTask> &rows, bool enabled, bool withRights, const QString &host = {});
    Report sync(const QList<ZDScheduledTask> &rows, bool withRights);

private:
    ZDServicePtr serviceFor(const QString &host) const;
    bool call(const char *op, const QString &host, const QVariant &obj1, const QVariant &obj2, bool withRights,
              Report &report);

    ZDDispatcher &m_dispatcher;
    ZDDispatcher::ServiceList m_services;
    HostOf m_hostOf;
};
