#include "rights/ZDLaunchd.h"

#include "rights/ZDAuthorization.h"
#include "files/ZDFileManager.h"
#include "platform/ZDLocalPaths.h"
#include "log/ZDLog.h"
#include "log/ZDSystemLog.h"
#include "process/ZDTaskEx.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTemporaryFile>

#include <algorithm>
#include <array>
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;

constexpr std::chrono::seconds kToolTimeout(10);
const QString kChown = QStringLiteral("/bin/chown");
const QString kChmod = QStringLiteral("/bin/chmod");

enum class Scope { User, ComputerAgents, Daemons };

Scope scopeOf(ZDLaunchd::Domain domain, ZDLaunchd::JobKind kind)
{
    if (domain == ZDLaunchd::Domain::User)
        return Scope::User;
    return kind == ZDLaunchd::JobKind::Agent ? Scope::ComputerAgents : Scope::Daemons;
}

QString unitName(const QString &label)
{
    return label + QStringLiteral(".service");
}

std::mutex &presenterLock()
{
    static std::mutex m;
    return m;
}

std::shared_ptr<ZDLaunchd::SheetPresenter> &presenterSlot()
{
    static std::shared_ptr<ZDLaunchd::SheetPresenter> p;
    return p;
}

void showSheet(const QString &message, const QString &informative)
{
    std::shared_ptr<ZDLaunchd::SheetPresenter> presenter;
    {
        std::lock_guard lock(presenterLock());
        presenter = presenterSlot();
    }
    if (presenter && *presenter)
        (*presenter)(message, informative);
    else
        ZDLog::appendLog(QStringLiteral("%@ - %@"), message, informative);
}

bool exists(const QString &path)
{
    struct stat st {};
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0;
}

// Written beside the target and renamed over it, so a link planted at the path is
// replaced rather than followed; the mode is set before the file becomes visible.
bool writeAtomically(const QString &path, const QByteArray &data)
{
    QTemporaryFile file(QFileInfo(path).path() + QStringLiteral("/.") + QFileInfo(path).fileName()
                        + QStringLiteral(".XXXXXX"));
    if (!file.open() || file.write(data) != data.size() || !file.flush())
        return false;
    if (::fchmod(file.handle(), 0644) != 0 || ::fsync(file.handle()) != 0)
        return false;
    if (::rename(QFile::encodeName(file.fileName()).constData(), QFile::encodeName(path).constData()) != 0)
        return false;
    file.setAutoRemove(false);
    return true;
}

// --- The service manager.

QString systemctlPath()
{
    return QStandardPaths::findExecutable(QStringLiteral("systemctl"));
}

// The manager of the user whose folder holds user units: root acts for the console user.
QStringList userManager()
{
    QStringList args {QStringLiteral("--user")};
    if (ZDLocalPaths::isRoot()) {
        const QString console = ZDLocalPaths::currentConsoleUser();
        if (!console.isEmpty() && console != QLatin1String("root"))
            args << QStringLiteral("--machine=") + console + QLatin1Char('@');
    }
    return args;
}

void systemctl(const QStringList &arguments, bool privileged)
{
    const QString path = systemctlPath();
    if (path.isEmpty()) {
        ZDLog::appendLog(QStringLiteral("Unable to find systemctl; not run: systemctl %@"), arguments.join(u' '));
        return;
    }
    int status = 0;
    if (privileged && !ZDLocalPaths::isRoot())
        status = int(ZDAuthorization::sharedController().authExecTask(path, arguments, ZDAuthorization::Launch::Waited));
    else
        status = ZDTaskEx::terminationCodeFromTask(path, arguments, kToolTimeout);
    if (status != 0)
        ZDLog::appendLog(QStringLiteral("systemctl %@ ended with status %d"), arguments.join(u' '), status);
}

// Commands of the computer's own managers need rights; a user's own never do.
void userSystemctl(const QStringList &arguments)
{
    systemctl(userManager() + arguments, false);
}

void unload(Scope scope, const QString &unit, bool privileged)
{
    switch (scope) {
    case Scope::User:
        userSystemctl({QStringLiteral("disable"), QStringLiteral("--now"), unit});
        break;
    case Scope::ComputerAgents:
        userSystemctl({QStringLiteral("stop"), unit});
        systemctl({QStringLiteral("--global"), QStringLiteral("disable"), unit}, privileged);
        break;
    case Scope::Daemons:
        systemctl({QStringLiteral("disable"), QStringLiteral("--now"), unit}, privileged);
        break;
    }
}

void reload(Scope scope, bool privileged)
{
    if (scope == Scope::Daemons)
        systemctl({QStringLiteral("daemon-reload")}, privileged);
    else
        userSystemctl({QStringLiteral("daemon-reload")});
}

void load(Scope scope, const QString &unit, bool startNow, bool privileged)
{
    switch (scope) {
    case Scope::User:
        reload(scope, privileged);
        if (startNow)
            userSystemctl({QStringLiteral("enable"), QStringLiteral("--now"), unit});
        break;
    case Scope::ComputerAgents:
        // No manager runs for "all users": enable for every log-in, start for the one now.
        if (startNow)
            systemctl({QStringLiteral("--global"), QStringLiteral("enable"), unit}, privileged);
        reload(scope, privileged);
        if (startNow)
            userSystemctl({QStringLiteral("start"), unit});
        break;
    case Scope::Daemons:
        reload(scope, privileged);
        if (startNow)
            systemctl({QStringLiteral("enable"), QStringLiteral("--now"), unit}, privileged);
        break;
    }
}

void removeFromManager(Scope scope, const QString &unit, bool privileged)
{
    if (scope == Scope::Daemons)
        systemctl({QStringLiteral("stop"), unit}, privileged);
    else
        userSystemctl({QStringLiteral("stop"), unit});
}

void killProcesses(const QString &name)
{
    if (const QString killall = QStandardPaths::findExecutable(QStringLiteral("killall")); !killall.isEmpty())
        ZDTaskEx::runTask(killall, {name}, kToolTimeout);
    else if (const QString pkill = QStandardPaths::findExecutable(QStringLiteral("pkill")); !pkill.isEmpty())
        ZDTaskEx::runTask(pkill, {QStringLiteral("-x"), QStringLiteral("--"), name}, kToolTimeout);
}

void fixOwnerAndMode(const QString &path, bool computerWide, bool privileged)
{
    if (privileged && !ZDLocalPaths::isRoot()) {
        // Waited for, so the pauses a started-but-unfinished tool would need are not.
        ZDAuthorization &auth = ZDAuthorization::sharedController();
        if (computerWide)
            auth.authExecTask(kChown, {QStringLiteral("-h"), QStringLiteral("root:root"), path},
                              ZDAuthorization::Launch::Waited);
        auth.authExecTask(kChmod, {QStringLiteral("644"), path}, ZDAuthorization::Launch::Waited);
        return;
    }
    // Never through a link: root may be writing into a folder someone else controls.
    const QByteArray native = QFile::encodeName(path);
    if (computerWide && ::lchown(native.constData(), 0, 0) != 0)
        ZDLog::appendLog(QStringLiteral("Unable to make %@ owned by root"), path);
    if (::fchmodat(AT_FDCWD, native.constData(), 0644, AT_SYMLINK_NOFOLLOW) != 0)
        ZDLog::appendLog(QStringLiteral("Unable to set mode 644 on %@"), path);
}

// --- Unit text.

bool safeLine(const QString &value)
{
    if (value.size() > ZDLaunchd::kMaxValueLength)
        return false;
    for (const QChar c : value) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            return false;
    }
    return true;
}

// systemd expands "%x" specifiers everywhere and "$VAR" in command lines.
QString escapeSpecifiers(QString value)
{
    return value.replace(QLatin1Char('%'), QStringLiteral("%%"));
}

QString quoteArgument(const QString &value)
{
    QString out = escapeSpecifiers(value);
    out.replace(QLatin1Char('\\'), QStringLiteral("\\\\"));
    out.replace(QLatin1Char('"'), QStringLiteral("\\\""));
    out.replace(QLatin1Char('$'), QStringLiteral("$$"));
    return QLatin1Char('"') + out + QLatin1Char('"');
}

QString quoteAssignment(const QString &key, const QString &value)
{
    QString out = escapeSpecifiers(key + QLatin1Char('=') + value);
    out.replace(QLatin1Char('\\'), QStringLiteral("\\\\"));
    out.replace(QLatin1Char('"'), QStringLiteral("\\\""));
    return QLatin1Char('"') + out + QLatin1Char('"');
}

bool startsAtLoad(const QVariantMap &settings)
{
    const QVariant keepAlive = settings.value(QStringLiteral("KeepAlive"));
    return settings.value(QStringLiteral("RunAtLoad")).toBool()
        || (keepAlive.typeId() == QMetaType::Bool && keepAlive.toBool());
}

} // namespace

void ZDLaunchd::setSheetPresenter(SheetPresenter presenter)
{
    auto p = std::make_shared<SheetPresenter>(std::move(presenter));
    std::lock_guard lock(presenterLock());
    presenterSlot() = std::move(p);
}

bool ZDLaunchd::isValidLabel(const QString &label)
{
    static const QRegularExpression valid(QStringLiteral("^[A-Za-z0-9:_.@-]+\\z"));
    return !label.isEmpty() && label.size() <= kMaxLabelLength && label != QLatin1String(".")
        && label != QLatin1String("..") && valid.match(label).hasMatch();
}

QString ZDLaunchd::jobDirectory(Domain domain, JobKind kind)
{
    switch (scopeOf(domain, kind)) {
    case Scope::User:
        return ZDLocalPaths::prefsDirectory(true) + QStringLiteral("/systemd/user");
    case Scope::ComputerAgents:
        return ZDLocalPaths::systemPath(QStringLiteral("/etc/systemd/user"));
    case Scope::Daemons:
        return ZDLocalPaths::systemPath(QStringLiteral("/etc/systemd/system"));
    }
    return {};
}

QString ZDLaunchd::jobPath(const QString &label, Domain domain, JobKind kind)
{
    if (!isValidLabel(label))
        return {};
    return jobDirectory(domain, kind) + QLatin1Char('/') + unitName(label);
}

QString ZDLaunchd::unitFromSettings(const QString &label, const QVariantMap &settings, JobKind kind, QString *error)
{
    auto refuse = [error](const QString &why) {
        if (error)
            *error = why;
        return QString();
    };
    if (!isValidLabel(label))
        return refuse(QStringLiteral("the label cannot name a unit"));
    const bool daemon = kind == JobKind::Daemon;

    static const QStringList known {
        QStringLiteral("Label"), QStringLiteral("Program"), QStringLiteral("ProgramArguments"),
        QStringLiteral("WorkingDirectory"), QStringLiteral("RunAtLoad"), QStringLiteral("KeepAlive"),
        QStringLiteral("ThrottleInterval"), QStringLiteral("EnvironmentVariables"), QStringLiteral("StandardOutPath"),
        QStringLiteral("StandardErrorPath"), QStringLiteral("UserName")};
    QStringList ignored;
    for (auto it = settings.cbegin(); it != settings.cend(); ++it) {
        if (!known.contains(it.key()) || (it.key() == QLatin1String("UserName") && !daemon))
            ignored << it.key().left(100);
    }
    if (!ignored.isEmpty())
        ZDLog::appendLog(QStringLiteral("Job settings without a unit equivalent, ignored: %@"), ignored.join(u", "));

    QStringList argv;
    const QVariant arguments = settings.value(QStringLiteral("ProgramArguments"));
    if (arguments.isValid()) {
        if (arguments.typeId() != QMetaType::QVariantList && arguments.typeId() != QMetaType::QStringList)
            return refuse(QStringLiteral("ProgramArguments is not a list"));
        const QVariantList list = arguments.toList();
        if (list.size() > kMaxArguments)
            return refuse(QStringLiteral("too many ProgramArguments"));
        for (const QVariant &a : list) {
            if (a.typeId() != QMetaType::QString)
                return refuse(QStringLiteral("a program argument is not text"));
            argv << a.toString();
        }
    }
    const QString program = settings.value(QStringLiteral("Program")).toString();
    if (!program.isEmpty()) {
        if (argv.isEmpty())
            argv << program;
        else
            argv[0] = program;
    }
    if (argv.isEmpty() || !QDir::isAbsolutePath(argv.first()))
        return refuse(QStringLiteral("the program is missing or not an absolute path"));
    for (const QString &a : argv) {
        if (!safeLine(a))
            return refuse(QStringLiteral("a program argument holds control characters or is too long"));
    }

    QStringList lines {QStringLiteral("[Unit]"), QStringLiteral("Description=") + label, QString(),
                       QStringLiteral("[Service]"), QStringLiteral("Type=simple")};
    QStringList quoted;
    for (const QString &a : argv)
        quoted << quoteArgument(a);
    lines << QStringLiteral("ExecStart=") + quoted.join(u' ');

    auto pathLine = [&](const char *key, const QString &unitKey, const QString &prefix) -> bool {
        const QString value = settings.value(QString::fromLatin1(key)).toString();
        if (value.isEmpty())
            return true;
        // Unquoted: a trailing backslash would continue the line, blanks at the ends vanish.
        if (!QDir::isAbsolutePath(value) || !safeLine(value) || value.trimmed() != value
            || value.endsWith(QLatin1Char('\\')))
            return false;
        lines << unitKey + QLatin1Char('=') + prefix + escapeSpecifiers(value);
        return true;
    };
    if (!pathLine("WorkingDirectory", QStringLiteral("WorkingDirectory"), QString())
        || !pathLine("StandardOutPath", QStringLiteral("StandardOutput"), QStringLiteral("append:"))
        || !pathLine("StandardErrorPath", QStringLiteral("StandardError"), QStringLiteral("append:")))
        return refuse(QStringLiteral("a path setting is relative, too long or holds control characters"));

    const QVariantMap environment = settings.value(QStringLiteral("EnvironmentVariables")).toMap();
    static const QRegularExpression envName(QStringLiteral("^[A-Za-z_][A-Za-z0-9_]{0,255}\\z"));
    QStringList assignments;
    for (auto it = environment.cbegin(); it != environment.cend(); ++it) {
        const QString value = it.value().toString();
        if (!envName.match(it.key()).hasMatch() || !safeLine(value))
            return refuse(QStringLiteral("an environment variable has a bad name or value"));
        assignments << quoteAssignment(it.key(), value);
    }
    if (!assignments.isEmpty())
        lines << QStringLiteral("Environment=") + assignments.join(u' ');

    if (daemon) {
        static const QRegularExpression userName(QStringLiteral("^[A-Za-z0-9_][A-Za-z0-9._-]{0,63}\\z"));
        const QString name = settings.value(QStringLiteral("UserName")).toString();
        if (!name.isEmpty()) {
            if (!userName.match(name).hasMatch())
                return refuse(QStringLiteral("UserName is not a user name"));
            lines << QStringLiteral("User=") + name;
        }
    }

    const QVariant keepAlive = settings.value(QStringLiteral("KeepAlive"));
    QString restart;
    if (keepAlive.typeId() == QMetaType::Bool) {
        if (keepAlive.toBool())
            restart = QStringLiteral("always");
    } else if (keepAlive.typeId() == QMetaType::QVariantMap) {
        const QVariant successful = keepAlive.toMap().value(QStringLiteral("SuccessfulExit"));
        if (successful.isValid())
            restart = successful.toBool() ? QStringLiteral("on-success") : QStringLiteral("on-failure");
    }
    if (!restart.isEmpty()) {
        // launchd's default throttle: no relaunch within 10 seconds of the last.
        const qint64 throttle = settings.value(QStringLiteral("ThrottleInterval"), 10).toLongLong();
        lines << QStringLiteral("Restart=") + restart
              << QStringLiteral("RestartSec=%1").arg(std::clamp<qint64>(throttle, 0, 86400));
    }

    if (startsAtLoad(settings)) {
        lines << QString() << QStringLiteral("[Install]")
              << (daemon ? QStringLiteral("WantedBy=multi-user.target") : QStringLiteral("WantedBy=default.target"));
    }
    const QString unit = lines.join(u'\n') + QLatin1Char('\n');
    if (unit.toUtf8().size() > kMaxUnitBytes)
        return refuse(QStringLiteral("the unit would be too large"));
    return unit;
}

bool ZDLaunchd::startJob(const QString &label, const QVariantMap &settings, Domain domain, JobKind kind,
                         Rights rights, const QString &killProcessName)
{
    const Scope scope = scopeOf(domain, kind);
    const bool shouldAuth = rights == Rights::AskIfNeeded;
    const QString folder = jobDirectory(domain, kind);
    const QString path = jobPath(label, domain, kind);
    QString why;
    const QString unit =
        unitFromSettings(label, settings, scope == Scope::Daemons ? JobKind::Daemon : JobKind::Agent, &why);
    if (path.isEmpty() || unit.isEmpty()) {
        ZDLog::appendLog(QStringLiteral("Error: Unable to create job %@: %@"), label.left(kMaxLabelLength),
                         path.isEmpty() ? QStringLiteral("the label cannot name a unit") : why);
        return false;
    }
    const QByteArray data = unit.toUtf8();

    ZDFileManager::createDirectory(folder, shouldAuth);
    if (exists(path))
        removeJob(label, domain, kind, rights);

    bool privileged = shouldAuth;
    if (!writeAtomically(path, data)) {
        // Written where we may, under the job's own name, then moved in with rights.
        // An unusable temporary folder reads as "" and must not become "/".
        const QString tempRoot = ZDLocalPaths::tempDirectory();
        std::optional<QTemporaryDir> staging;
        if (!tempRoot.isEmpty() && QFileInfo(tempRoot).isDir())
            staging.emplace(tempRoot + QStringLiteral("/kestra-job-XXXXXX"));
        const QString temporary = staging && staging->isValid() ? staging->filePath(unitName(label)) : QString();
        if (temporary.isEmpty() || !writeAtomically(temporary, data)) {
            ZDLog::appendLog(
                QStringLiteral("Error: Unable to create LaunchAgent. Please check you have correct permissions for the directory %@"),
                folder);
            zdSystemLog(zdFormat(
                QStringLiteral("Error: Unable to write LaunchAgent data. Please check you have correct permissions for the directory %@"),
                folder));
            showSheet(QStringLiteral("Error: Unable to write LaunchAgent data"),
                      zdFormat(QStringLiteral("Please check you have correct permissions for the directory %@."), folder));
            return false;
        }
        if (exists(path))
            ZDFileManager::removeFile(path, 5s, shouldAuth);
        ZDLog::appendLog(QStringLiteral("Unable to write launchd plist - trying to authorize..."));
        const bool moved = ZDFileManager::moveFile(temporary, path, 10s, shouldAuth);
        ZDFileManager::removeFile(temporary, 10s, shouldAuth);
        if (!moved) {
            const QString message = zdFormat(
                QStringLiteral("Error: Unable to create LaunchAgent. Please check you have correct permissions for the directory %@"),
                folder);
            ZDLog::appendLog(message);
            zdSystemLog(message);
            showSheet(QStringLiteral("Error: Unable to create LaunchAgent"),
                      zdFormat(QStringLiteral("Please check you have correct permissions for the directory %@."), folder));
            return false;
        }
        privileged = true;
    }

    if (!killProcessName.isEmpty())
        killProcesses(killProcessName);

    fixOwnerAndMode(path, scope != Scope::User, privileged);

    unload(scope, unitName(label), privileged);
    load(scope, unitName(label), startsAtLoad(settings), privileged);
    return true;
}

bool ZDLaunchd::startLaunchAgent(const QString &label, const QVariantMap &settings, Domain domain)
{
    return startJob(label, settings, domain, JobKind::Agent, Rights::AsIs, QString());
}

void ZDLaunchd::stopJob(const QString &label, Domain domain, JobKind kind, Rights rights)
{
    if (label.isEmpty())
        return;
    if (!isValidLabel(label)) {
        ZDLog::appendLog(QStringLiteral("Unable to stop job %@: the label cannot name a unit"),
                         label.left(kMaxLabelLength));
        return;
    }
    const Scope scope = scopeOf(domain, kind);
    const bool shouldAuth = rights == Rights::AskIfNeeded;
    unload(scope, unitName(label), shouldAuth);
    removeFromManager(scope, unitName(label), shouldAuth);
}

bool ZDLaunchd::removeJob(const QString &label, Domain domain, JobKind kind, Rights rights)
{
    stopJob(label, domain, kind, rights);
    const bool shouldAuth = rights == Rights::AskIfNeeded;
    const QString path = jobPath(label, domain, kind);
    if (path.isEmpty())
        return false;
    if (!exists(path))
        return true;
    if (ZDFileManager::removeFile(path, shouldAuth)) {
        std::this_thread::sleep_for(500us);
        // The manager forgets a unit whose file is gone only when it reloads.
        reload(scopeOf(domain, kind), shouldAuth);
        return true;
    }
    if (shouldAuth) {
        showSheet(QStringLiteral("Error: Unable to remove LaunchAgent"),
                  zdFormat(QStringLiteral("Please check you have correct permissions for the directory %@."),
                           jobDirectory(domain, kind)));
    }
    return false;
}

bool ZDLaunchd::removeLaunchAgent(const QString &label, Domain domain)
{
    return removeJob(label, domain, JobKind::Agent, Rights::AskIfNeeded);
}

// --- Schedules.

namespace {

struct FieldRange
{
    int low, high;
};
// minute, hour, day, weekday, month
constexpr FieldRange kFieldRanges[5] = {{0, 59}, {0, 23}, {1, 31}, {0, 7}, {1, 12}};

// The five fields as numbers, -1 for an empty one; none when any is bad.
std::optional<std::array<int, 5>> calendarFields(const QString &fields)
{
    const QStringList parts = fields.split(QLatin1Char(','));
    if (parts.size() != 5 || fields.size() > 64)
        return std::nullopt;
    std::array<int, 5> out {};
    bool any = false;
    for (int i = 0; i < 5; ++i) {
        if (parts.at(i).isEmpty()) {
            out[size_t(i)] = -1;
            continue;
        }
        static const QRegularExpression digits(QStringLiteral("^[0-9]{1,2}\\z"));
        if (!digits.match(parts.at(i)).hasMatch())
            return std::nullopt;
        const int v = parts.at(i).toInt();
        if (v < kFieldRanges[i].low || v > kFieldRanges[i].high)
            return std::nullopt;
        out[size_t(i)] = v;
        any = true;
    }
    if (!any)
        return std::nullopt;
    return out;
}

const char *const kWeekdays[] = {"Sunday", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday"};
const char *const kMonths[] = {"January", "February", "March",     "April",   "May",      "June",
                               "July",    "August",   "September", "October", "November", "December"};

} // namespace

QString ZDLaunchd::scheduleProblem(int type, const QString &value)
{
    switch (type) {
    case kEverySeconds: {
        static const QRegularExpression digits(QStringLiteral("^[0-9]{1,12}\\z"));
        if (!digits.match(value).hasMatch())
            return QStringLiteral("the interval must be a whole number of seconds");
        const qint64 seconds = value.toLongLong();
        if (seconds < 1 || seconds > kMaxIntervalSeconds)
            return QStringLiteral("the interval must be between 1 and %1 seconds").arg(kMaxIntervalSeconds);
        return {};
    }
    case kCalendar:
        return calendarFields(value) ? QString()
                                     : QStringLiteral("the interval needs five fields (minute, hour, day, weekday, "
                                                      "month), each empty or in range, at least one given");
    case kFolderWatch:
        if (!(QDir::isAbsolutePath(value) || value.startsWith(QLatin1String("~/"))) || !safeLine(value)
            || value.trimmed() != value || value.endsWith(QLatin1Char('\\')))
            return QStringLiteral("the folder must be an absolute path without control characters");
        return {};
    default:
        if (type < 0 || type > kFolderWatch)
            return QStringLiteral("unknown schedule type %1").arg(type);
        return value.isEmpty() ? QString() : QStringLiteral("this schedule type takes no interval");
    }
}

QString ZDLaunchd::calendarFromFields(const QString &fields)
{
    const auto f = calendarFields(fields);
    if (!f)
        return {};
    const auto part = [](int v) { return v < 0 ? QStringLiteral("*") : QStringLiteral("%1").arg(v, 2, 10, QLatin1Char('0')); };
    QString out;
    if ((*f)[3] >= 0)
        out = QString::fromLatin1(kWeekdays[(*f)[3] % 7]).left(3) + QLatin1Char(' ');
    out += QStringLiteral("*-%1-%2 %3:%4:00").arg(part((*f)[4]), part((*f)[2]), part((*f)[1]), part((*f)[0]));
    return out;
}

QString ZDLaunchd::triggerUnit(const QString &label, int type, const QString &value, QString *suffix, QString *error)
{
    auto refuse = [error](const QString &why) {
        if (error)
            *error = why;
        return QString();
    };
    if (!isValidLabel(label))
        return refuse(QStringLiteral("the label cannot name a unit"));
    if (const QString why = scheduleProblem(type, value); !why.isEmpty())
        return refuse(why);
    QStringList lines {QStringLiteral("[Unit]"), QStringLiteral("Description=Schedule of ") + label, QString()};
    QString target = QStringLiteral("timers.target");
    *suffix = QStringLiteral(".timer");
    if (type == kFolderWatch) {
        if (!QDir::isAbsolutePath(value))
            return refuse(QStringLiteral("the folder must be absolute"));
        *suffix = QStringLiteral(".path");
        target = QStringLiteral("paths.target");
        lines << QStringLiteral("[Path]") << QStringLiteral("PathChanged=") + escapeSpecifiers(value);
    } else {
        lines << QStringLiteral("[Timer]");
        static const char *const fixed[] = {nullptr, "hourly", "daily", "weekly", "monthly", "yearly"};
        if (type == kEverySeconds)
            lines << QStringLiteral("OnActiveSec=") + value << QStringLiteral("OnUnitActiveSec=") + value;
        else if (type == kCalendar)
            lines << QStringLiteral("OnCalendar=") + calendarFromFields(value);
        else if (type == 0)
            lines << QStringLiteral("OnBootSec=60");
        else
            lines << QStringLiteral("OnCalendar=") + QLatin1String(fixed[type]) << QStringLiteral("Persistent=true");
    }
    lines << QStringLiteral("Unit=") + unitName(label) << QString() << QStringLiteral("[Install]")
          << QStringLiteral("WantedBy=") + target;
    return lines.join(u'\n') + QLatin1Char('\n');
}

QString ZDLaunchd::friendlyInterval(const QString &minute, const QString &hour, const QString &day,
                                    const QString &weekday, const QString &month)
{
    QString out;
    if (!month.isEmpty()) {
        const int m = month.toInt();
        out = QStringLiteral("Every %1 ").arg(m >= 1 && m <= 12 ? QLatin1String(kMonths[m - 1]) : QLatin1String("Unknown"));
    } else if (!day.isEmpty()) {
        out = QStringLiteral("Every month ");
    }
    if (!day.isEmpty())
        out += QStringLiteral("on day %1 ").arg(day);
    if (!weekday.isEmpty()) {
        const int w = weekday.toInt();
        const QString name = w >= 0 && w <= 7 ? QLatin1String(kWeekdays[w % 7]) : QStringLiteral("Unknown");
        out += (out.isEmpty() ? QStringLiteral("Every %1 ") : QStringLiteral("on every %1 ")).arg(name);
    } else if (day.isEmpty()) {
        out += out.isEmpty() ? QStringLiteral("Every day ") : QStringLiteral("on every day ");
    }
    if (!hour.isEmpty()) {
        QString mm = minute.isEmpty() || minute.toInt() == 0 ? QStringLiteral("00") : minute;
        if (mm.size() == 1)
            mm.prepend(QLatin1Char('0'));
        out += QStringLiteral("at %1:%2").arg(hour, mm);
    } else if (!minute.isEmpty() && day.isEmpty() && weekday.isEmpty() && month.isEmpty()) {
        return QStringLiteral("Every hour at minute %1").arg(minute);
    }
    return out.trimmed();
}

QString ZDLaunchd::scheduleDescription(int type, const QString &value)
{
    switch (type) {
    case 0: return QStringLiteral("At start-up");
    case 1: return QStringLiteral("Every hour");
    case 2: return QStringLiteral("Every day");
    case 3: return QStringLiteral("Every week");
    case 4: return QStringLiteral("Every month");
    case 5: return QStringLiteral("Every year");
    case kEverySeconds: return QStringLiteral("Every %1 seconds").arg(value);
    case kFolderWatch: return QStringLiteral("Whenever %1 changes").arg(value);
    case kCalendar: {
        const QStringList f = value.split(QLatin1Char(','));
        if (f.size() == 5)
            return friendlyInterval(f.at(0), f.at(1), f.at(2), f.at(3), f.at(4));
        break;
    }
    default: break;
    }
    return QStringLiteral("Unknown schedule");
}
