#include "features/ZDApplications.h"

#include "rights/ZDAuthorization.h"
#include "agent/ZDCallbackRegistry.h"
#include "agent/ZDClientTasks.h"
#include "platform/ZDLocalPaths.h"
#include "log/ZDLog.h"
#include "features/ZDCatalogueLocator.h"
#include "features/ZDMaintenanceTools.h"
#include "rpc/ZDOrvProtocol.h"
#include "plist/ZDPropertyList.h"
#include "rpc/ZDRemoteObject.h"
#include "process/ZDRunningProcesses.h"
#include "process/ZDTaskEx.h"
#include "agent/ZDToolCatalog.h"
#include "platform/ZDBoundedRead.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <csignal>

#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace T = ZDApplicationTables;
using namespace std::chrono_literals;

namespace {

constexpr int kMaxFolderEntries = 10000;

bool insideFolder(const QString &path, const QString &folder)
{
    return !folder.isEmpty() && (path == folder || path.startsWith(folder + QLatin1Char('/')));
}

QString canonical(const QString &path)
{
    const QString c = QFileInfo(path).canonicalFilePath();
    return c.isEmpty() ? QDir::cleanPath(path) : c;
}

QByteArray readBounded(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.size() > ZDApplications::kMaxEntryBytes)
        return {};
    return ZDBoundedRead::upTo(file, ZDApplications::kMaxEntryBytes);
}

// An application folder with this identifier at the top of a folder, or one level down.
QString bundleIn(const QString &folder, const QString &bundleID, int depth = 0)
{
    const QFileInfoList entries = QDir(folder).entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
    int seen = 0;
    for (const QFileInfo &entry : entries) {
        if (++seen > kMaxFolderEntries)
            break;
        if (entry.suffix() == QLatin1String("app")) {
            if (ZDToolCatalog::bundleIdentifierOf(entry.filePath()).compare(bundleID, Qt::CaseInsensitive) == 0)
                return entry.filePath();
        } else if (depth == 0 && !entry.isSymLink()) {
            const QString found = bundleIn(entry.filePath(), bundleID, 1);
            if (!found.isEmpty())
                return found;
        }
    }
    return {};
}

// "Exec=" of a desktop entry: its program, found on the path when not absolute.
QString desktopExecutable(const QByteArray &entry, QString *name)
{
    QString program;
    for (const QByteArray &raw : entry.split('\n')) {
        const QString line = QString::fromUtf8(raw).trimmed();
        if (line.startsWith(QLatin1String("Name=")) && name->isEmpty())
            *name = line.mid(5);
        if (line.startsWith(QLatin1String("Exec=")) && program.isEmpty()) {
            QString first = line.mid(5).trimmed().section(QLatin1Char(' '), 0, 0);
            first.remove(QLatin1Char('"'));
            program = first;
        }
    }
    if (program.isEmpty() || QDir::isAbsolutePath(program))
        return program;
    return QStandardPaths::findExecutable(program);
}

QString metainfoVersion(const QString &bundleID)
{
    for (const QString &folder : {ZDLocalPaths::systemPath(QStringLiteral("/usr/share/metainfo")),
                                  ZDLocalPaths::systemPath(QStringLiteral("/usr/local/share/metainfo"))}) {
        const QByteArray text = readBounded(folder + QLatin1Char('/') + bundleID + QStringLiteral(".metainfo.xml"));
        static const QRegularExpression release(QStringLiteral("<release[^>]*\\sversion=\"([^\"]{1,64})\""));
        const QRegularExpressionMatch m = release.match(QString::fromUtf8(text));
        if (m.hasMatch())
            return m.captured(1);
    }
    return {};
}

// The user's graphical session as its service manager knows it.
QProcessEnvironment sessionEnvironment()
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    const QString systemctl = QStandardPaths::findExecutable(QStringLiteral("systemctl"));
    if (systemctl.isEmpty())
        return env;
    const auto output = ZDTaskEx::dataFromTask(systemctl, {QStringLiteral("--user"), QStringLiteral("show-environment")}, 5s);
    if (!output)
        return env;
    static const QStringList wanted = {QStringLiteral("DISPLAY"), QStringLiteral("WAYLAND_DISPLAY"),
                                       QStringLiteral("XAUTHORITY"), QStringLiteral("XDG_RUNTIME_DIR"),
                                       QStringLiteral("DBUS_SESSION_BUS_ADDRESS")};
    for (const QByteArray &line : output->left(kMaxFolderEntries * 64).split('\n')) {
        const qsizetype eq = line.indexOf('=');
        const QString key = QString::fromUtf8(line.left(eq));
        if (eq > 0 && wanted.contains(key))
            env.insert(key, QString::fromUtf8(line.mid(eq + 1)));
    }
    return env;
}

// Signals one process only while it still runs `executable`: a pid freed and taken
// again meanwhile is never hit.
bool signalExactly(int pid, const QString &executable, int signal)
{
    const int fd = int(::syscall(SYS_pidfd_open, pid, 0));
    if (fd < 0)
        return false;
    const bool same = canonical(QStringLiteral("/proc/%1/exe").arg(pid)) == executable;
    const bool sent = same && ::syscall(SYS_pidfd_send_signal, fd, signal, nullptr, 0) == 0;
    ::close(fd);
    return sent;
}

// -1, 0 or 1 as a number; anything else none.
std::optional<int> triState(const QVariant &v)
{
    bool ok = false;
    const int n = v.toInt(&ok);
    if (!ok || n < -1 || n > 1 || v.userType() == QMetaType::QString)
        return std::nullopt;
    return n;
}

} // namespace

ZDApplications::ZDApplications(ZDClientTasks *tasks, ZDCallbackRegistry *registry) : m_tasks(tasks), m_registry(registry) {}

void ZDApplications::addOperations(ZDRemoteObject &root, ZDClientTasks *tasks, ZDCallbackRegistry *registry,
                                   const std::function<void()> &clearCancelled)
{
    const auto self = std::make_shared<ZDApplications>(tasks, registry);
    const auto serve = [&](const char *op, std::function<QVariant(const QVariantList &)> body) {
        root.serve(op, [clearCancelled, body = std::move(body)](const QVariantList &args) {
            clearCancelled();
            return body(args);
        });
    };
    const QVariant none;
    serve("finalCutStudioAppInfo", [self](const QVariantList &) -> QVariant {
        ZDLog::appendLog(QStringLiteral("Getting Final Cut Studio application info..."));
        return self->appInfo(T::editingApplications(), false);
    });
    serve("orvelleAppInfo", [self](const QVariantList &) -> QVariant {
        ZDLog::appendLog(QStringLiteral("Getting Kestra Maintenance Tools application info..."));
        return self->appInfo(T::makersTools(), true);
    });
    serve("launchApp:", [self, none](const QVariantList &a) { return self->launchApp(a.value(0).toString()), none; });
    serve("terminateApp:", [self, none](const QVariantList &a) { return self->terminateApp(a.value(0).toString(), false), none; });
    serve("forceQuitApp:", [self, none](const QVariantList &a) { return self->terminateApp(a.value(0).toString(), true), none; });
    serve("orvelleSettings", [self](const QVariantList &) -> QVariant { return self->settings(); });
    serve("setOrvelleSettings:", [self, none](const QVariantList &a) { return self->setSettings(a.value(0).toMap()), none; });
    serve("orvPasswordProtect:settings:", [self, none](const QVariantList &a) {
        return self->passwordProtect(a.value(0).toMap(), a.value(1).toMap()), none;
    });
    ZDMaintenanceTools::addOperations(root, tasks, registry, clearCancelled);
}

bool ZDApplications::isKnown(const QString &bundleID, bool *tool) const
{
    for (const bool tools : {false, true}) {
        for (const T::App &app : tools ? T::makersTools() : T::editingApplications()) {
            if (app.bundleID == bundleID) {
                *tool = tools;
                return true;
            }
        }
    }
    return false;
}

ZDApplications::Location ZDApplications::locateByBundleID(const QString &bundleID, bool tool) const
{
    Location where;
    if (tool) {
        where.path = m_tasks ? m_tasks->pathForAppWithBundleID(bundleID, ZDClientTasks::Run::AsUser) : QString();
    } else {
        for (const bool user : {true, false}) {
            where.path = bundleIn(ZDLocalPaths::applicationDirectory(user), bundleID);
            if (!where.path.isEmpty())
                break;
        }
    }
    if (!where.path.isEmpty()) {
        const QVariantMap info = ZDPropertyList::readDictionary(where.path + QStringLiteral("/Contents/Info.plist"));
        where.version = info.value(QStringLiteral("CFBundleShortVersionString")).toString();
        where.name = QFileInfo(where.path).completeBaseName();
        where.executable = ZDToolCatalog::executablePathForBundle(where.path);
        return where;
    }
    if (tool)
        return where;
    if (const T::App *app = T::catalogueApplication(bundleID); app && ZDCatalogueLocator::describesLinux(*app)) {
        const ZDCatalogueLocator::Found found = ZDCatalogueLocator::locate(*app);
        return {found.path, found.executable, found.version, found.name};
    }
    for (const QString &folder : {ZDLocalPaths::appSupportDirectory(true) + QStringLiteral("/applications"),
                                  ZDLocalPaths::systemPath(QStringLiteral("/usr/local/share/applications")),
                                  ZDLocalPaths::systemPath(QStringLiteral("/usr/share/applications"))}) {
        const QString entry = folder + QLatin1Char('/') + bundleID + QStringLiteral(".desktop");
        if (!QFileInfo(entry).isFile())
            continue;
        where.path = entry;
        where.executable = desktopExecutable(readBounded(entry), &where.name);
        where.version = metainfoVersion(bundleID);
        return where;
    }
    return where;
}

ZDApplications::Location ZDApplications::locate(const QString &bundleID, bool tool) const
{
    Location where = locateByBundleID(bundleID, tool);
    if (!where.path.isEmpty()
        && (!QFileInfo::exists(where.path) || insideFolder(canonical(where.path), canonical(ZDLocalPaths::trashDirectory()))))
        return {};
    if (!where.executable.isEmpty())
        where.executable = canonical(where.executable);
    return where;
}

QList<int> ZDApplications::processesRunning(const QString &executable)
{
    return ZDRunningProcesses::ofExecutable(executable);
}

QVariantMap ZDApplications::appInfo(const QList<T::App> &apps, bool tools) const
{
    QVariantMap result;
    for (const T::App &app : apps) {
        const Location where = locate(app.bundleID, tools);
        QVariantMap info{{QStringLiteral("installed"), !where.path.isEmpty()},
                         {QStringLiteral("running"), !where.path.isEmpty() && !processesRunning(where.executable).isEmpty()}};
        if (!where.path.isEmpty() && !where.version.isEmpty())
            info.insert(QStringLiteral("version"), where.version);
        result.insert(app.name, info);
    }
    return result;
}

void ZDApplications::launchApp(const QString &bundleID) const
{
    ZDLog::appendLog(QStringLiteral("Launching application %@..."), bundleID);
    bool tool = false;
    const Location where = isKnown(bundleID, &tool) ? locate(bundleID, tool) : Location();
    if (where.path.isEmpty()) {
        ZDLog::appendLog(QStringLiteral("Unable to locate appliation."));
        return;
    }
    if (!ZDTaskEx::isRunnable(where.executable)) {
        ZDLog::appendLog(QStringLiteral("File %@ doesn't exist"), where.executable);
        return;
    }
    QProcess process;
    process.setProgram(where.executable);
    process.setProcessEnvironment(sessionEnvironment());
    process.setWorkingDirectory(ZDLocalPaths::userDirectory());
    process.setStandardInputFile(QProcess::nullDevice());
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());
    if (!process.startDetached())
        ZDLog::appendLog(QStringLiteral("Application %@ failed to open."), where.name);
}

void ZDApplications::terminateApp(const QString &bundleID, bool force) const
{
    const QString verb = force ? QStringLiteral("force quit") : QStringLiteral("terminate");
    ZDLog::appendLog(force ? QStringLiteral("Force-quitting application %@...") : QStringLiteral("Terminating application %@..."),
                     bundleID);
    bool tool = false;
    const Location where = isKnown(bundleID, &tool) ? locate(bundleID, tool) : Location();
    const QList<int> pids = processesRunning(where.executable);
    if (pids.isEmpty()) {
        ZDLog::appendLog(QStringLiteral("Unable to %@ - application %@ is not running"), verb, bundleID);
        return;
    }
    if (where.name.isEmpty()) {
        ZDLog::appendLog(QStringLiteral("Unable to %@ - cannot determine application name for %@"), verb, bundleID);
        return;
    }
    ZDLog::appendLog(force ? QStringLiteral("Force-quitting %@...") : QStringLiteral("Terminating %@..."), where.name);
    int sent = 0;
    for (const int pid : pids)
        sent += signalExactly(pid, where.executable, force ? SIGKILL : SIGTERM) ? 1 : 0;
    if (sent == 0)
        ZDLog::appendLog(QStringLiteral("Unable to quit application %@  - %@"), where.name, QStringLiteral("no process left"));
}

QString ZDApplications::globalSettingsFile()
{
    return ZDLocalPaths::prefsDirectory(true) + QStringLiteral("/com.zendrel.global.plist");
}

QString ZDApplications::betaSettingsFile()
{
    return ZDLocalPaths::prefsDirectory(true) + QStringLiteral("/com.zendrel.Nuvell.plist");
}

QString ZDApplications::protectionFile(const QString &tool)
{
    return ZDLocalPaths::prefsDirectory(false) + QStringLiteral("/com.zendrel.%1.plist").arg(tool);
}

QVariantMap ZDApplications::settings() const
{
    QVariantMap result;
    const QVariant update = ZDPropertyList::readDictionary(globalSettingsFile()).value(QStringLiteral("SUCheckAtStartup"));
    const QVariant beta = ZDPropertyList::readDictionary(betaSettingsFile()).value(QStringLiteral("showBetaUpdates"));
    if (const auto v = triState(update))
        result.insert(QStringLiteral("autoUpdateCheck"), *v);
    if (const auto v = triState(beta))
        result.insert(QStringLiteral("betaUpdateCheck"), *v);
    int on = 0, off = 0;
    for (const QString &tool : T::passwordProtectedTools()) {
        const QVariant v = ZDPropertyList::readDictionary(protectionFile(tool)).value(QStringLiteral("requireAdminPassword"));
        (triState(v) == 1 ? on : off) += 1;
    }
    result.insert(QStringLiteral("passwordProtect"), on && off ? -1 : on ? 1 : 0);
    return result;
}

void ZDApplications::setSettings(const QVariantMap &settings) const
{
    for (auto it = settings.cbegin(); it != settings.cend(); ++it) {
        const bool update = it.key() == QLatin1String("autoUpdateCheck");
        if (!update && it.key() != QLatin1String("betaUpdateCheck"))
            continue; // passwordProtect goes with rights, anything else is unknown
        const auto value = triState(it.value());
        if (!value) {
            ZDLog::appendLog(QStringLiteral("Refused setting %@: not -1, 0 or 1"), it.key());
            continue;
        }
        const QString file = update ? globalSettingsFile() : betaSettingsFile();
        if (!QFileInfo(file).isFile())
            continue;
        QVariantMap all = ZDPropertyList::readDictionary(file);
        all.insert(update ? QStringLiteral("SUCheckAtStartup") : QStringLiteral("showBetaUpdates"), *value == -1 ? 1 : *value);
        if (!ZDPropertyList::writeFile(file, all))
            ZDLog::appendLog(QStringLiteral("Unable to write %@"), file);
    }
}

void ZDApplications::passwordProtect(const QVariantMap &auth, const QVariantMap &settings) const
{
    const auto value = triState(settings.value(QStringLiteral("obj1")));
    if (!value || *value < 0) {
        ZDLog::appendLog(QStringLiteral("Refused password protection setting: not 0 or 1"));
        return;
    }
    if (!m_tasks)
        return;
    const ZDRightsScope scope = m_tasks->rightsFor(auth);
    if (!scope) {
        if (m_registry && scope.refusal)
            m_registry->postError(*scope.refusal);
        return;
    }
    ZDAuthorization &rights = ZDAuthorization::sharedController(ZDAuthorization::Dialog::Never);
    // Written here, then installed by root: never through the shared temporary folder.
    QTemporaryDir staging(ZDLocalPaths::tempDirectory() + QStringLiteral("/kestra-protect-XXXXXX"));
    for (const QString &tool : T::passwordProtectedTools()) {
        const QString file = protectionFile(tool);
        QVariantMap all = ZDPropertyList::readDictionary(file);
        all.insert(QStringLiteral("requireAdminPassword"), *value);
        if (ZDLocalPaths::isRoot() && QDir().mkpath(QFileInfo(file).absolutePath()) && ZDPropertyList::writeFile(file, all)) {
            QFile::setPermissions(file, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther);
            continue;
        }
        const QString staged = staging.filePath(QFileInfo(file).fileName());
        const bool ready = staging.isValid() && ZDPropertyList::writeFile(staged, all)
            && QFile::setPermissions(staged, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther);
        // A copy made by root is root's: the user cannot switch protection off again.
        if (QFileInfo::exists(file) || QFileInfo(file).isSymLink())
            rights.authRemoveFile(file);
        if (!ready || !rights.authCreateDir(QFileInfo(file).absolutePath()) || !rights.authCopyFile(staged, file))
            ZDLog::appendLog(QStringLiteral("Unable to write %@"), file);
    }
    rights.authEnd();
}
