// Cadro, the scheduling tool. A task runs one command of a tool's task table on a
// schedule, kept as systemd units: "<name>.service" (the tool and the task's command)
// and its trigger "<name>.timer" or "<name>.path" (a folder watch). Run as root it
// keeps the computer's tasks (/etc/systemd/system, records in <root>/var/lib/Cadro),
// else the user's (~/.config/systemd/user, records in the user's data folder). After
// writing it tells the service manager: `systemctl [--user] daemon-reload`, then
// `enable --now` or `disable --now` of the trigger; the trigger is also linked into its
// target's ".wants" folder, so the state is right even while no manager answers (a
// manager that does not answer is a warning, not a failure).
//   -tasks                                   {name: task} as a property list (the user's and the computer's)
//   -add BUNDLEID TASKID TYPE [VALUE] [-enable 0|1]
//   -edit NAME BUNDLEID TASKID TYPE [VALUE] [-enable 0|1]
//   -remove NAME
//   -enable [NAME] / -disable [NAME]         one task, or all of this account's
//   -run FILE                                runs what the service unit FILE would
// Exit status: 0 done, 1 a file could not be written, 2 unknown task or tool,
// 64 usage, 65 refused input, 77 the task is the computer's and needs rights.
#include "rights/ZDLaunchd.h"
#include "platform/ZDLocalPaths.h"
#include "plist/ZDPropertyList.h"
#include "agent/ZDToolCatalog.h"
#include "ZDSystemCommand.h"
#include "ZDToolRun.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>

#include <cstdio>
#include <algorithm>
#include <cstring>

int kestraToolTasksMain(int argc, char **argv);

namespace {

using ZDTool::kFailed;
using ZDTool::kRefused;
using ZDTool::kUsage;
constexpr int kUnknown = 2;
constexpr int kNeedsRights = 77;
constexpr int kMaxTasks = 1000;

int refuse(const QString &why, int status = kRefused)
{
    return ZDTool::refuse("Cadro", why, status);
}

struct Place
{
    QString units;
    QString records;
    bool root;
};

Place computerPlace()
{
    return {ZDLaunchd::jobDirectory(ZDLaunchd::Domain::Computer, ZDLaunchd::JobKind::Daemon),
            ZDLocalPaths::systemPath(QStringLiteral("/var/lib/Cadro")), true};
}

Place userPlace()
{
    return {ZDLaunchd::jobDirectory(ZDLaunchd::Domain::User, ZDLaunchd::JobKind::Agent),
            ZDLocalPaths::libraryDirectory(true) + QStringLiteral("/Cadro"), false};
}

Place ownPlace()
{
    return ZDLocalPaths::isRoot() ? computerPlace() : userPlace();
}

bool validName(const QString &name)
{
    static const QRegularExpression re(QStringLiteral("^[A-Za-z0-9._-]{1,150}\\z"));
    return re.match(name).hasMatch() && name != QLatin1String(".") && name != QLatin1String("..");
}

QString recordPath(const Place &place, const QString &name)
{
    return place.records + QLatin1Char('/') + name + QStringLiteral(".plist");
}

bool writeText(const QString &path, const QString &text)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(text.toUtf8()) >= 0;
}

QVariantMap readTasks(const Place &place)
{
    QVariantMap out;
    const QFileInfoList files = QDir(place.records).entryInfoList({QStringLiteral("*.plist")}, QDir::Files | QDir::NoSymLinks);
    for (const QFileInfo &file : files.mid(0, kMaxTasks)) {
        QVariantMap task = ZDPropertyList::readDictionary(file.filePath());
        if (task.isEmpty() || !validName(file.completeBaseName()))
            continue;
        task.insert(QStringLiteral("root"), place.root ? 1 : 0);
        out.insert(file.completeBaseName(), task);
    }
    return out;
}

QString wantsLink(const Place &place, const QVariantMap &task, const QString &name)
{
    const bool path = task.value(QStringLiteral("scheduleType")).toInt() == ZDLaunchd::kFolderWatch;
    return place.units + (path ? QStringLiteral("/paths.target.wants/") : QStringLiteral("/timers.target.wants/")) + name
        + (path ? QStringLiteral(".path") : QStringLiteral(".timer"));
}

QString triggerName(const QVariantMap &task, const QString &name)
{
    return name + (task.value(QStringLiteral("scheduleType")).toInt() == ZDLaunchd::kFolderWatch ? QStringLiteral(".path")
                                                                                                  : QStringLiteral(".timer"));
}

// One call to the service manager of the place's scope; a failure is said, not fatal.
void systemctl(const Place &place, const QStringList &args)
{
    const QStringList scoped = place.root ? args : QStringList{QStringLiteral("--user")} + args;
    const ZDSystemCommand::Result r = ZDSystemCommand::run(QStringLiteral("systemctl"), scoped, 60000, 65536);
    if (!r.ok)
        std::fprintf(stderr, "Cadro: warning: %s: %s\n", qPrintable(r.commandLine), qPrintable(r.error));
}

void tellManager(const Place &place, const QVariantMap &task, const QString &name, bool reload)
{
    if (reload)
        systemctl(place, {QStringLiteral("daemon-reload")});
    const bool on = task.value(QStringLiteral("enabled")).toBool();
    systemctl(place, {on ? QStringLiteral("enable") : QStringLiteral("disable"), QStringLiteral("--now"), triggerName(task, name)});
}

bool setEnabled(const Place &place, const QString &name, QVariantMap task, bool enabled)
{
    const QString link = wantsLink(place, task, name);
    QFile::remove(link);
    if (enabled) {
        QDir().mkpath(QFileInfo(link).absolutePath());
        if (!QFile::link(QStringLiteral("../") + QFileInfo(link).fileName(), link))
            return false;
    }
    task.insert(QStringLiteral("enabled"), enabled);
    return ZDPropertyList::writeFile(recordPath(place, name), task);
}

struct Request
{
    QString bundleID, taskID, value;
    int type = -1;
    bool enabled = true;
};

// BUNDLEID TASKID TYPE [VALUE] [-enable 0|1]
int parseRequest(const QStringList &args, Request &r)
{
    if (args.size() < 3)
        return refuse(QStringLiteral("a task needs a tool, a task and a schedule type"), kUsage);
    r.bundleID = args.at(0);
    r.taskID = args.at(1);
    bool ok = false;
    r.type = args.at(2).toInt(&ok);
    if (!ok)
        return refuse(QStringLiteral("the schedule type is not a number"));
    int i = 3;
    if (i < args.size() && args.at(i) != QLatin1String("-enable"))
        r.value = args.at(i++);
    if (i < args.size() && args.at(i) == QLatin1String("-enable") && i + 1 < args.size()) {
        r.enabled = args.at(i + 1) == QLatin1String("1") || args.at(i + 1).compare(QLatin1String("true"), Qt::CaseInsensitive) == 0;
        i += 2;
    }
    if (i != args.size())
        return refuse(QStringLiteral("unexpected arguments"), kUsage);
    static const QRegularExpression id(QStringLiteral("^[A-Za-z0-9._-]{1,100}\\z"));
    if (!id.match(r.bundleID).hasMatch() || !id.match(r.taskID).hasMatch())
        return refuse(QStringLiteral("the tool or task names characters outside letters, digits, '.', '_' and '-'"));
    if (r.value.startsWith(QLatin1String("~/")))
        r.value = QDir::homePath() + r.value.mid(1);
    if (const QString why = ZDLaunchd::scheduleProblem(r.type, r.value); !why.isEmpty())
        return refuse(why);
    return 0;
}

// Writes the units and the record of one task.
int writeTask(const Place &place, const QString &name, const Request &r)
{
    ZDToolCatalog catalog;
    catalog.populate();
    const QString bundle = catalog.pathForAppWithBundleID(r.bundleID, place.root ? ZDToolCatalog::Run::WithRights : ZDToolCatalog::Run::AsUser);
    if (bundle.isEmpty())
        return refuse(QStringLiteral("no tool %1").arg(r.bundleID), kUnknown);
    QString table = bundle + QStringLiteral("/Contents/Resources/ZDTasks.plist");
    if (!QFileInfo(table).isFile())
        table = bundle + QStringLiteral("/Contents/ZDTasks.plist");
    QVariantMap found;
    for (const QVariant &t : ZDPropertyList::readDictionary(table).value(QStringLiteral("ZDTasks")).toList()) {
        if (t.toMap().value(QStringLiteral("id")).toString() == r.taskID) {
            found = t.toMap();
            break;
        }
    }
    if (found.isEmpty())
        return refuse(QStringLiteral("no task %1 in %2").arg(r.taskID, r.bundleID), kUnknown);
    QVariantList argv {ZDToolCatalog::executablePathForBundle(bundle)};
    argv += found.value(QStringLiteral("command")).toList();

    QString error, suffix;
    const QString service = ZDLaunchd::unitFromSettings(name, {{QStringLiteral("ProgramArguments"), argv}},
                                                        place.root ? ZDLaunchd::JobKind::Daemon : ZDLaunchd::JobKind::Agent, &error);
    const QString trigger = service.isEmpty() ? QString() : ZDLaunchd::triggerUnit(name, r.type, r.value, &suffix, &error);
    if (trigger.isEmpty())
        return refuse(error);

    // An edit may change the trigger's kind: the old one goes.
    const QVariantMap old = ZDPropertyList::readDictionary(recordPath(place, name));
    if (!old.isEmpty()) {
        if (triggerName(old, name) != name + suffix)
            systemctl(place, {QStringLiteral("disable"), QStringLiteral("--now"), triggerName(old, name)});
        QFile::remove(wantsLink(place, old, name));
        QFile::remove(place.units + QLatin1Char('/') + name + QStringLiteral(".timer"));
        QFile::remove(place.units + QLatin1Char('/') + name + QStringLiteral(".path"));
    }
    if (!QDir().mkpath(place.units) || !QDir().mkpath(place.records)
        || !writeText(place.units + QLatin1Char('/') + name + QStringLiteral(".service"), service)
        || !writeText(place.units + QLatin1Char('/') + name + suffix, trigger))
        return refuse(QStringLiteral("cannot write the units of %1").arg(name), kFailed);

    const QStringList f = r.value.split(QLatin1Char(','));
    QVariantMap task {
        {QStringLiteral("taskDescription"), found.value(QStringLiteral("description")).toString()},
        {QStringLiteral("frequencyDescription"), ZDLaunchd::scheduleDescription(r.type, r.value)},
        {QStringLiteral("taskBundleID"), r.bundleID},
        {QStringLiteral("taskID"), r.taskID},
        {QStringLiteral("scheduleType"), r.type},
        {QStringLiteral("enabled"), r.enabled},
        {QStringLiteral("intervalSeconds"), r.type == ZDLaunchd::kEverySeconds ? r.value.toLongLong() : 0},
        {QStringLiteral("intervalDirectory"), r.type == ZDLaunchd::kFolderWatch ? r.value : QString()},
        {QStringLiteral("interval"),
         QVariantMap {{QStringLiteral("Minute"), r.type == ZDLaunchd::kCalendar ? f.value(0) : QString()},
                      {QStringLiteral("Hour"), r.type == ZDLaunchd::kCalendar ? f.value(1) : QString()},
                      {QStringLiteral("Day"), r.type == ZDLaunchd::kCalendar ? f.value(2) : QString()},
                      {QStringLiteral("Weekday"), r.type == ZDLaunchd::kCalendar ? f.value(3) : QString()},
                      {QStringLiteral("Month"), r.type == ZDLaunchd::kCalendar ? f.value(4) : QString()}}},
    };
    if (!setEnabled(place, name, task, r.enabled))
        return refuse(QStringLiteral("cannot write the record"), kFailed);
    task.insert(QStringLiteral("enabled"), r.enabled);
    tellManager(place, task, name, true);
    return 0;
}

// The place holding NAME for this account; status when it is not one this account may change.
int locate(const QString &name, Place &place)
{
    if (!validName(name))
        return refuse(QStringLiteral("a task name holds characters outside letters, digits, '.', '_' and '-'"));
    place = ownPlace();
    if (QFileInfo(recordPath(place, name)).isFile())
        return 0;
    if (!place.root && QFileInfo(recordPath(computerPlace(), name)).isFile())
        return refuse(QStringLiteral("%1 is the computer's task").arg(name), kNeedsRights);
    return refuse(QStringLiteral("no task %1").arg(name), kUnknown);
}

int tasks(const QStringList &args)
{
    if (!args.isEmpty())
        return refuse(QStringLiteral("usage: -tasks"), kUsage);
    QVariantMap all = readTasks(computerPlace());
    if (!ZDLocalPaths::isRoot())
        all.insert(readTasks(userPlace()));
    const QByteArray out = ZDPropertyList::toData(all);
    std::fwrite(out.constData(), 1, size_t(out.size()), stdout);
    return 0;
}

int add(const QStringList &args)
{
    Request r;
    if (const int status = parseRequest(args, r))
        return status;
    const Place place = ownPlace();
    const QString base = r.bundleID.section(QLatin1Char('.'), -1) + QLatin1Char('.') + r.taskID;
    QString name = base;
    for (int n = 2; QFileInfo::exists(recordPath(place, name)) && n < kMaxTasks; ++n)
        name = base + QLatin1Char('-') + QString::number(n);
    return writeTask(place, name, r);
}

int edit(const QStringList &args)
{
    Place place;
    if (args.isEmpty())
        return refuse(QStringLiteral("usage: -edit NAME BUNDLEID TASKID TYPE [VALUE] [-enable 0|1]"), kUsage);
    if (const int status = locate(args.at(0), place))
        return status;
    Request r;
    if (const int status = parseRequest(args.mid(1), r))
        return status;
    return writeTask(place, args.at(0), r);
}

int remove(const QStringList &args)
{
    Place place;
    if (args.size() != 1)
        return refuse(QStringLiteral("usage: -remove NAME"), kUsage);
    const QString name = args.at(0);
    if (const int status = locate(name, place))
        return status;
    const QVariantMap task = ZDPropertyList::readDictionary(recordPath(place, name));
    systemctl(place, {QStringLiteral("disable"), QStringLiteral("--now"), triggerName(task, name)});
    QFile::remove(wantsLink(place, task, name));
    for (const char *suffix : {".service", ".timer", ".path"})
        QFile::remove(place.units + QLatin1Char('/') + name + QLatin1String(suffix));
    const bool removed = QFile::remove(recordPath(place, name));
    systemctl(place, {QStringLiteral("daemon-reload")});
    return removed ? 0 : kFailed;
}

int enable(const QStringList &args, bool on)
{
    if (args.size() > 1)
        return refuse(QStringLiteral("usage: -enable|-disable [NAME]"), kUsage);
    Place place = ownPlace();
    QStringList names;
    if (args.isEmpty()) {
        names = readTasks(place).keys();
    } else {
        if (const int status = locate(args.at(0), place))
            return status;
        names << args.at(0);
    }
    int status = 0;
    for (const QString &name : names) {
        QVariantMap task = ZDPropertyList::readDictionary(recordPath(place, name));
        if (!setEnabled(place, name, task, on)) {
            status = kFailed;
            continue;
        }
        task.insert(QStringLiteral("enabled"), on);
        tellManager(place, task, name, false);
    }
    return status;
}

// Undoes the unit's quoting of one ExecStart= line.
QStringList execStart(const QString &line)
{
    QStringList argv;
    QString current;
    bool quoted = false, any = false;
    for (qsizetype i = 0; i < line.size(); ++i) {
        const QChar c = line.at(i);
        const QChar next = i + 1 < line.size() ? line.at(i + 1) : QChar();
        if (quoted && c == QLatin1Char('\\') && !next.isNull()) {
            current += next;
            ++i;
        } else if ((c == QLatin1Char('%') || c == QLatin1Char('$')) && next == c) {
            current += c;
            ++i;
        } else if (c == QLatin1Char('"')) {
            quoted = !quoted;
            any = true;
        } else if (c == QLatin1Char(' ') && !quoted) {
            if (any || !current.isEmpty())
                argv << current;
            current.clear();
            any = false;
        } else {
            current += c;
        }
    }
    if (any || !current.isEmpty())
        argv << current;
    return argv;
}

int run(const QStringList &args)
{
    if (args.size() != 1 || !args.at(0).endsWith(QLatin1String(".service")))
        return refuse(QStringLiteral("usage: -run FILE.service"), kUsage);
    QFile file(args.at(0));
    if (!file.open(QIODevice::ReadOnly) || file.size() > ZDLaunchd::kMaxUnitBytes)
        return refuse(QStringLiteral("cannot read %1").arg(args.at(0)), kUnknown);
    for (const QString &line : QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'))) {
        if (!line.startsWith(QLatin1String("ExecStart=")))
            continue;
        const QStringList argv = execStart(line.mid(10));
        if (argv.isEmpty())
            break;
        return QProcess::execute(argv.first(), argv.mid(1));
    }
    return refuse(QStringLiteral("%1 has no command").arg(args.at(0)));
}

} // namespace

int main(int argc, char **argv)
{
    static const char *const ours[] = {"-tasks", "-add", "-edit", "-remove", "-enable", "-disable", "-run"};
    const bool mine = argc >= 2 && std::any_of(std::begin(ours), std::end(ours), [&](const char *w) {
                          return std::strcmp(argv[1], w) == 0;
                      });
    if (!mine)
        return kestraToolTasksMain(argc, argv);
    QCoreApplication app(argc, argv);
    const QString command = app.arguments().at(1);
    const QStringList args = app.arguments().mid(2);
    if (command == QLatin1String("-tasks"))
        return tasks(args);
    if (command == QLatin1String("-add"))
        return add(args);
    if (command == QLatin1String("-edit"))
        return edit(args);
    if (command == QLatin1String("-remove"))
        return remove(args);
    if (command == QLatin1String("-run"))
        return run(args);
    return enable(args, command == QLatin1String("-enable"));
}
