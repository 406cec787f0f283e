#include "features/schedules/ZDScheduleTasks.h"

#include "dispatch/ZDAgentCalls.h"
#include "dispatch/ZDAggregation.h"
#include "rights/ZDLaunchd.h"
#include "log/ZDLog.h"

#include <algorithm>

namespace {

const QString kFilename = QStringLiteral("filename");
const QString kHostname = QStringLiteral("hostname");
const QString kEnabled = QStringLiteral("enabled");
const QString kFrequency = QStringLiteral("frequencyDescription");
const QString kDescription = QStringLiteral("taskDescription");
const QString kBundle = QStringLiteral("taskBundleID");
constexpr int kMaxTasksPerHost = 1000;

QString clamp(const QString &text, int low, int high)
{
    if (text.isEmpty())
        return text;
    const int v = text.toInt();
    return v < low ? QString::number(low) : v > high ? QString::number(high) : text;
}

bool truth(const QVariant &v)
{
    return v.typeId() == QMetaType::Bool ? v.toBool() : v.toInt() != 0;
}

} // namespace

// --- One merged row.

ZDScheduledTask ZDScheduledTask::withDictionary(const QVariantMap &task, const QString &host)
{
    ZDScheduledTask row;
    row.addChild(task, host);
    return row;
}

void ZDScheduledTask::addChild(QVariantMap task, const QString &host)
{
    task.insert(kHostname, host);
    const bool on = truth(task.value(kEnabled));
    if (children.isEmpty()) {
        enabled = on ? 1 : 0;
        frequencyDescription = task.value(kFrequency).toString();
        taskBundleID = task.value(kBundle).toString();
        taskDescription = task.value(kDescription).toString();
        root = task.value(QStringLiteral("root")).toInt();
        identity = identityOf(task);
        scheduleType = task.contains(QStringLiteral("scheduleType")) ? task.value(QStringLiteral("scheduleType")).toInt() : -1;
        scheduleValue = valueOf(task);
    } else if (task.value(kFrequency).toString() != frequencyDescription
               && frequencyDescription != QLatin1String(ZDAggregation::kVarious)) {
        frequencyDescription = QString::fromLatin1(ZDAggregation::kVarious);
        state = SchedulesDiffer;
    }
    if (on)
        ++enabledCount;
    children << task;
    if (enabledCount >= 1 && enabledCount != children.size()) {
        state = EnabledDiffers;
        enabled = -1;
    }
}

QVariantMap ZDScheduledTask::toMap() const
{
    return {{kDescription, taskDescription}, {kFrequency, frequencyDescription}, {kBundle, taskBundleID},
            {QStringLiteral("children"), children}, {QStringLiteral("state"), state},
            {QStringLiteral("stateText"), stateText(state)}, {QStringLiteral("enabledCount"), enabledCount},
            {QStringLiteral("root"), root}, {kEnabled, enabled}, {QStringLiteral("missingHosts"), missingHosts},
            {QStringLiteral("scheduleType"), scheduleType}};
}

QString ZDScheduledTask::valueOf(const QVariantMap &task)
{
    const int type = task.value(QStringLiteral("scheduleType")).toInt();
    if (type == ZDLaunchd::kCalendar) {
        const QVariantMap i = task.value(QStringLiteral("interval")).toMap();
        return QStringList{i.value(QStringLiteral("Minute")).toString(), i.value(QStringLiteral("Hour")).toString(),
                           i.value(QStringLiteral("Day")).toString(), i.value(QStringLiteral("Weekday")).toString(),
                           i.value(QStringLiteral("Month")).toString()}
            .join(u',');
    }
    if (type == ZDLaunchd::kEverySeconds)
        return task.value(QStringLiteral("intervalSeconds")).toString();
    if (type == ZDLaunchd::kFolderWatch)
        return task.value(QStringLiteral("intervalDirectory")).toString();
    return {};
}

QString ZDScheduledTask::identityOf(const QVariantMap &task)
{
    // A task without a type is known only by its wording; never merged with a typed one.
    const QString type = task.contains(QStringLiteral("scheduleType"))
        ? QString::number(task.value(QStringLiteral("scheduleType")).toInt())
        : u'?' + task.value(kFrequency).toString();
    const QString taskID = task.contains(QStringLiteral("taskID")) ? task.value(QStringLiteral("taskID")).toString()
                                                                   : u'?' + task.value(kDescription).toString();
    return QStringList{task.value(kBundle).toString(), taskID, type, valueOf(task)}.join(QChar(0x1f));
}

QStringList ZDScheduledTask::hosts() const
{
    QStringList out;
    for (const QVariant &c : children) {
        const QString host = c.toMap().value(kHostname).toString();
        if (!out.contains(host))
            out << host;
    }
    return out;
}

QString ZDScheduledTask::stateText(int state)
{
    switch (state) {
    case InLine: return QStringLiteral("in line");
    case SchedulesDiffer: return QStringLiteral("schedules differ");
    case EnabledDiffers: return QStringLiteral("enabled differs");
    case Missing: return QStringLiteral("missing on some");
    default: return QStringLiteral("unknown");
    }
}

// --- Pure rules.

QStringList ZDScheduleTasks::runTypeTitles()
{
    return {QStringLiteral("At start-up"),          QStringLiteral("Every hour"),
            QStringLiteral("Every day"),            QStringLiteral("Every week"),
            QStringLiteral("Every month"),          QStringLiteral("Every year"),
            QStringLiteral("Every x seconds"),      QStringLiteral("At specific interval"),
            QStringLiteral("Whenever a directory changes")};
}

QList<ZDScheduledTask> ZDScheduleTasks::merge(const QVariantMap &hostLists, const QStringList &hosts)
{
    QList<ZDScheduledTask> rows;
    for (const QString &host : hosts) {
        const QVariantMap list = hostLists.value(host).toMap();
        int seen = 0;
        for (auto it = list.cbegin(); it != list.cend() && seen < kMaxTasksPerHost; ++it, ++seen) {
            QVariantMap task = it.value().toMap();
            if (task.isEmpty())
                continue;
            task.insert(kFilename, it.key());
            const QString identity = ZDScheduledTask::identityOf(task);
            const auto row = std::find_if(rows.begin(), rows.end(),
                                          [&](const ZDScheduledTask &r) { return r.identity == identity; });
            if (row == rows.end())
                rows << ZDScheduledTask::withDictionary(task, host);
            else
                row->addChild(task, host);
        }
    }
    for (ZDScheduledTask &row : rows) {
        for (const QString &host : hosts) {
            const bool has = std::any_of(row.children.cbegin(), row.children.cend(), [&](const QVariant &c) {
                return c.toMap().value(kHostname).toString() == host;
            });
            if (!has)
                row.missingHosts << QVariantMap{{kDescription, row.taskDescription}, {kFrequency, QString()},
                                                {kEnabled, -1}, {kHostname, host}};
        }
        if (!row.missingHosts.isEmpty())
            row.state = ZDScheduledTask::Missing;
    }
    std::stable_sort(rows.begin(), rows.end(), [](const ZDScheduledTask &a, const ZDScheduledTask &b) {
        const int byTask = a.taskDescription.localeAwareCompare(b.taskDescription);
        return byTask != 0 ? byTask < 0 : a.frequencyDescription.localeAwareCompare(b.frequencyDescription) < 0;
    });
    return rows;
}

ZDScheduleTasks::Fields ZDScheduleTasks::clampFields(Fields f)
{
    if (f.minute.isEmpty() && !(f.hour.isEmpty() && f.day.isEmpty() && f.weekday.isEmpty() && f.month.isEmpty()))
        f.minute = QStringLiteral("00");
    f.minute = clamp(f.minute, 0, 59);
    f.hour = clamp(f.hour, 0, 23);
    f.day = clamp(f.day, 1, 31);
    f.weekday = clamp(f.weekday, 0, 7);
    f.month = clamp(f.month, 1, 12);
    return f;
}

QString ZDScheduleTasks::friendlyText(const Fields &f)
{
    return ZDLaunchd::friendlyInterval(f.minute, f.hour, f.day, f.weekday, f.month);
}

QString ZDScheduleTasks::intervalValue(int runType, const QString &seconds, const Fields &f, const QString &folder,
                                       QString *title, QString *text)
{
    const auto alert = [&](const char *t, const char *x) {
        *title = QString::fromLatin1(t);
        *text = QString::fromLatin1(x);
        return QString();
    };
    switch (runType) {
    case ZDLaunchd::kEverySeconds:
        if (seconds.isEmpty())
            return alert("You must specify an interval", "You cannot leave this field blank.");
        if (seconds.toLongLong() <= 0)
            return alert("Invalid interval", "Interval must be greater than zero.");
        return seconds;
    case ZDLaunchd::kCalendar: {
        const QString value = QStringList{f.minute, f.hour, f.day, f.weekday, f.month}.join(u',');
        if (value == QLatin1String(",,,,"))
            return alert("Invalid interval", "You must complete at least one of the boxes in the interval field.");
        return value;
    }
    case ZDLaunchd::kFolderWatch:
        if (folder.isEmpty())
            return alert("Invalid watch directory", "You must specify a directory.");
        // The folder is the computer's: "~" is its user's home there, not here.
        if (folder.startsWith(QLatin1String("~/")) || folder.startsWith(QLatin1Char('/')))
            return folder;
        return QLatin1Char('/') + folder;
    default:
        return {};
    }
}

QVariantMap ZDScheduleTasks::taskArguments(const QString &bundleID, const QString &taskID, int runType,
                                           const QString &value, bool enabled, bool root)
{
    QVariantMap args{{QStringLiteral("bundleid"), bundleID},
                     {QStringLiteral("taskid"), taskID},
                     {QStringLiteral("scheduletype"), QString::number(runType)},
                     {kEnabled, enabled ? QStringLiteral("1") : QStringLiteral("0")}};
    if (!value.isEmpty())
        args.insert(QStringLiteral("intervalval"), value);
    if (root)
        args.insert(QStringLiteral("root"), QStringLiteral("1"));
    return args;
}

QString ZDScheduleTasks::removeQuestion(int rows)
{
    return QStringLiteral("Are you sure you wish to delete %1 task%2?")
        .arg(rows == 1 ? QStringLiteral("this") : QStringLiteral("these"), rows == 1 ? QString() : QStringLiteral("s"));
}

namespace {

QString counted(qsizetype n, const char *one)
{
    return QStringLiteral("%1 %2%3").arg(n).arg(QLatin1String(one), n == 1 ? QString() : QStringLiteral("s"));
}

} // namespace

QString ZDScheduleTasks::removeQuestion(const QList<ZDScheduledTask> &rows, const QStringList &hosts)
{
    QStringList on;
    for (const ZDScheduledTask &row : rows) {
        for (const QString &h : row.hosts())
            if ((hosts.isEmpty() || hosts.contains(h)) && !on.contains(h))
                on << h;
    }
    if (rows.size() == 1)
        return QStringLiteral("Remove the schedule \"%1\" (%2) from %3?")
            .arg(rows.first().taskDescription, rows.first().frequencyDescription, counted(on.size(), "computer"));
    return QStringLiteral("Remove %1 from %2?").arg(counted(rows.size(), "schedule"), counted(on.size(), "computer"));
}

QString ZDScheduleTasks::Plan::question() const
{
    QStringList what;
    if (adds)
        what << QStringLiteral("add %1").arg(counted(adds, "schedule"));
    if (enables)
        what << QStringLiteral("switch %1 on or off").arg(counted(enables, "schedule"));
    return QStringLiteral("Sync schedules: %1 on %2?").arg(what.join(QStringLiteral(" and ")), counted(hosts.size(), "computer"));
}

ZDScheduleTasks::Plan ZDScheduleTasks::syncPlan(const QList<ZDScheduledTask> &rows)
{
    Plan plan;
    const auto step = [&plan](Step s) {
        if (!plan.hosts.contains(s.host))
            plan.hosts << s.host;
        plan.steps << std::move(s);
    };
    for (const ZDScheduledTask &row : rows) {
        if (row.children.isEmpty() || row.scheduleType < 0)
            continue;
        // Most computers' enabled state; children are in the list's order, so a tie goes to the first computer.
        const bool enabled = truth(ZDAggregation::commonValuesForDictArray(row.children).value(kEnabled));
        const QVariantMap model = row.children.first().toMap();
        const bool root = row.root == 1;
        for (const QVariant &c : row.children) {
            const QVariantMap child = c.toMap();
            if (truth(child.value(kEnabled)) == enabled)
                continue;
            step({child.value(kHostname).toString(), QStringLiteral("cadroEnableTask:settings:"), child.value(kFilename),
                  enabled, root});
            ++plan.enables;
        }
        const QVariantMap arguments = taskArguments(model.value(kBundle).toString(),
                                                    model.value(QStringLiteral("taskID")).toString(), row.scheduleType,
                                                    row.scheduleValue, enabled, root);
        for (const QVariant &m : row.missingHosts) {
            step({m.toMap().value(kHostname).toString(), QStringLiteral("cadroAddTask:settings:"), arguments, QVariant(), root});
            ++plan.adds;
        }
    }
    return plan;
}

// --- The work.

ZDScheduleTasks::ZDScheduleTasks(ZDDispatcher &dispatcher, ZDDispatcher::ServiceList services, HostOf hostOf)
    : m_dispatcher(dispatcher), m_services(std::move(services)), m_hostOf(std::move(hostOf))
{
}

ZDServicePtr ZDScheduleTasks::serviceFor(const QString &host) const
{
    return ZDDispatcher::serviceNamed(m_services, m_hostOf, host);
}

QList<ZDScheduledTask> ZDScheduleTasks::refresh()
{
    ZDLog::appendLog(QStringLiteral("Populating Cadro tasks..."));
    const QVariantMap answers = ZDAgentCalls(&m_dispatcher).cadroTaskDictionaries();
    return merge(ZDDispatcher::answersBy(answers, m_services, m_hostOf), ZDDispatcher::hostsOf(m_services, m_hostOf));
}

bool ZDScheduleTasks::call(const char *op, const QString &host, const QVariant &obj1, const QVariant &obj2,
                           bool withRights, Report &report)
{
    const ZDServicePtr service = serviceFor(host);
    if (!service)
        return false;
    if (!ZDAgentCalls(&m_dispatcher).cadroWithSettings(op, obj1, obj2, withRights, service)) {
        report.failures << QStringLiteral("%1: %2 failed").arg(host, QLatin1String(op));
        return false;
    }
    ++report.changes;
    return true;
}

ZDScheduleTasks::Report ZDScheduleTasks::add(const QVariantMap &arguments, bool withRights)
{
    ZDLog::appendLog(QStringLiteral("Adding Cadro task with arguments: %@"),
                     arguments.value(QStringLiteral("taskid")).toString());
    Report report;
    for (const ZDServicePtr &s : m_services)
        call("cadroAddTask:settings:", m_hostOf(s), arguments, QVariant(), withRights, report);
    return report;
}

ZDScheduleTasks::Report ZDScheduleTasks::remove(const QList<ZDScheduledTask> &rows, bool withRights,
                                                const QStringList &hosts)
{
    Report report;
    for (const ZDScheduledTask &row : rows) {
        ZDLog::appendLog(QStringLiteral("Removing Cadro tasks: %@"), row.taskDescription);
        for (const QVariant &c : row.children) {
            const QVariantMap child = c.toMap();
            if (!hosts.isEmpty() && !hosts.contains(child.value(kHostname).toString()))
                continue;
            call("cadroRemoveTask:settings:", child.value(kHostname).toString(), QVariant(), child.value(kFilename),
                 withRights, report);
        }
    }
    return report;
}

ZDScheduleTasks::Report ZDScheduleTasks::setEnabled(const QList<ZDScheduledTask> &rows, bool enabled, bool withRights,
                                                    const QString &host)
{
    Report report;
    if (rows.isEmpty()) {
        ZDLog::appendLog(enabled ? QStringLiteral("Enabling all Cadro tasks...") : QStringLiteral("Disabling all Cadro tasks..."));
        for (const ZDServicePtr &s : m_services)
            call("cadroEnableTask:settings:", m_hostOf(s), QVariant(), enabled, withRights, report);
        return report;
    }
    for (const ZDScheduledTask &row : rows) {
        if (host.isEmpty())
            ZDLog::appendLog(enabled ? QStringLiteral("Enabling Cadro task on all hosts...")
                                     : QStringLiteral("Disabling Cadro task on all hosts..."));
        for (const QVariant &c : row.children) {
            const QVariantMap child = c.toMap();
            const QString on = child.value(kHostname).toString();
            if (!host.isEmpty() && on != host)
                continue;
            if (!host.isEmpty())
                ZDLog::appendLog(enabled ? QStringLiteral("Enabling Cadro task %@ on host %@...")
                                         : QStringLiteral("Disabling Cadro task %@ on host %@..."),
                                 child.value(kFilename).toString(), on);
            call("cadroEnableTask:settings:", on, child.value(kFilename), enabled, withRights, report);
        }
    }
    return report;
}

ZDScheduleTasks::Report ZDScheduleTasks::apply(const Plan &plan, std::optional<bool> withRights)
{
    ZDLog::appendLog(QStringLiteral("Syncing Cadro tasks..."));
    Report report;
    for (const Step &s : plan.steps)
        call(s.op.toLatin1().constData(), s.host, s.obj1, s.obj2, withRights.value_or(s.root), report);
    return report;
}
