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
            {QStringLiteral("root"), root}, {kEnabled, enabled}, {QStringLiteral("missingHosts"), missingHosts}};
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
            const QString bundle = task.value(kBundle).toString();
            const QString description = task.value(kDescription).toString();
            const auto row = std::find_if(rows.begin(), rows.end(), [&](const ZDScheduledTask &r) {
                return r.taskBundleID == bundle && r.taskDescription == description;
            });
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
        return a.taskDescription.localeAwareCompare(b.taskDescription) < 0;
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
                                           const QString &value, bool enabled)
{
    QVariantMap args{{QStringLiteral("bundleid"), bundleID},
                     {QStringLiteral("taskid"), taskID},
                     {QStringLiteral("scheduletype"), QString::number(runType)},
                     {kEnabled, enabled ? QStringLiteral("1") : QStringLiteral("0")}};
    if (!value.isEmpty())
        args.insert(QStringLiteral("intervalval"), value);
    return args;
}

QString ZDScheduleTasks::removeQuestion(int rows)
{
    return QStringLiteral("Are you sure you wish to delete %1 task%2?")
        .arg(rows == 1 ? QStringLiteral("this") : QStringLiteral("these"), rows == 1 ? QString() : QStringLiteral("s"));
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

ZDScheduleTasks::Report ZDScheduleTasks::remove(const QList<ZDScheduledTask> &rows, bool withRights)
{
    Report report;
    for (const ZDScheduledTask &row : rows) {
        ZDLog::appendLog(QStringLiteral("Removing Cadro tasks: %@"), row.taskDescription);
        for (const QVariant &c : row.children) {
            const QVariantMap child = c.toMap();
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

ZDScheduleTasks::Report ZDScheduleTasks::sync(const QList<ZDScheduledTask> &rows, bool withRights)
{
    ZDLog::appendLog(QStringLiteral("Syncing Cadro tasks..."));
    Report report;
    for (const ZDScheduledTask &row : rows) {
        if (row.state == ZDScheduledTask::InLine || row.children.isEmpty())
            continue;
        // Most computers' values; children are in the list's order, so a tie goes to the first computer.
        const QVariantMap common = ZDAggregation::commonValuesForDictArray(row.children);
        const QString frequency = common.value(kFrequency).toString();
        QVariantMap model;
        for (const QVariant &c : row.children) {
            if (c.toMap().value(kFrequency).toString() == frequency) {
                model = c.toMap();
                break;
            }
        }
        const int type = model.value(QStringLiteral("scheduleType")).toInt();
        QString value;
        if (type == ZDLaunchd::kCalendar) {
            const QVariantMap i = model.value(QStringLiteral("interval")).toMap();
            value = QStringList{i.value(QStringLiteral("Minute")).toString(), i.value(QStringLiteral("Hour")).toString(),
                                i.value(QStringLiteral("Day")).toString(), i.value(QStringLiteral("Weekday")).toString(),
                                i.value(QStringLiteral("Month")).toString()}
                        .join(u',');
        } else if (type == ZDLaunchd::kEverySeconds) {
            value = model.value(QStringLiteral("intervalSeconds")).toString();
        } else if (type == ZDLaunchd::kFolderWatch) {
            value = model.value(QStringLiteral("intervalDirectory")).toString();
        }
        const bool enabled = truth(common.value(kEnabled));
        const QVariantMap arguments = taskArguments(model.value(kBundle).toString(),
                                                    model.value(QStringLiteral("taskID")).toString(), type, value, enabled);
        for (const QVariant &c : row.children) {
            const QVariantMap child = c.toMap();
            if (child.value(kFrequency).toString() == frequency && truth(child.value(kEnabled)) == enabled
                && child.value(kDescription) == model.value(kDescription) && child.value(kBundle) == model.value(kBundle))
                continue;
            QVariantMap edit = arguments;
            edit.insert(kFilename, child.value(kFilename));
            call("cadroEditTask:settings:", child.value(kHostname).toString(), edit, QVariant(), withRights, report);
        }
        for (const QVariant &m : row.missingHosts)
            call("cadroAddTask:settings:", m.toMap().value(kHostname).toString(), arguments, QVariant(), withRights, report);
    }
    return report;
}
