#include "ZDUninstaller.h"

#include "rights/ZDAuthorization.h"
#include "rights/ZDLaunchd.h"
#include "platform/ZDLocalPaths.h"
#include "log/ZDLog.h"
#include "bus/ZDClientNotifications.h"
#include "bus/ZDNotificationCenter.h"
#include "plist/ZDPropertyList.h"
#include "process/ZDTaskEx.h"
#include "files/ZDTrash.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QThread>

#include <QDeadlineTimer>

#include <csignal>
#include <poll.h>
#include <sys/syscall.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
const QString kAgentLabel = QStringLiteral("com.zendrel.KestraClient");
constexpr int kMaxFound = 64;
constexpr int kMaxChownEntries = 100000;

QStringList bundlesWithIdentifier(const QString &identifier)
{
    QStringList found;
    for (bool user : {true, false}) {
        const QString apps = ZDLocalPaths::applicationDirectory(user);
        for (const QString &folder : {apps, apps + QStringLiteral("/Zendrel"), ZDLocalPaths::adminApplicationDirectory(user)}) {
            const QFileInfoList entries = QDir(folder).entryInfoList({QStringLiteral("*.app")}, QDir::Dirs | QDir::NoDotAndDotDot);
            for (const QFileInfo &app : entries) {
                if (found.size() >= kMaxFound)
                    return found;
                const QVariantMap info = ZDPropertyList::readDictionary(app.absoluteFilePath() + QStringLiteral("/Contents/Info.plist"));
                if (info.value(QStringLiteral("CFBundleIdentifier")).toString().compare(identifier, Qt::CaseInsensitive) == 0 &&
                    !found.contains(app.absoluteFilePath()))
                    found.append(app.absoluteFilePath());
            }
        }
    }
    return found;
}

QByteArray sessionBusOf(const QString &procDir)
{
    QFile environ(procDir + QStringLiteral("/environ"));
    if (!environ.open(QIODevice::ReadOnly))
        return {};
    for (const QByteArray &entry : environ.read(256 * 1024).split('\0'))
        if (entry.startsWith("DBUS_SESSION_BUS_ADDRESS="))
            return entry.mid(25);
    return {};
}

// This user's session's processes running a program inside `folder`: other users
// and other sessions keep theirs.
QList<int> terminateOwnProcessesIn(const QString &folder)
{
    QList<int> asked;
    const QByteArray ourBus = qgetenv("DBUS_SESSION_BUS_ADDRESS");
    const QString prefix = QFileInfo(folder).canonicalFilePath() + QLatin1Char('/');
    if (prefix.size() < 2)
        return asked;
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &entry : entries) {
        bool ok = false;
        const qint64 pid = entry.toLongLong(&ok);
        if (!ok || pid == QCoreApplication::applicationPid())
            continue;
        struct stat info {};
        const QString dir = QStringLiteral("/proc/") + entry;
        if (::stat(QFile::encodeName(dir).constData(), &info) != 0 || info.st_uid != ::getuid())
            continue;
        if (!QFileInfo(dir + QStringLiteral("/exe")).symLinkTarget().startsWith(prefix) || sessionBusOf(dir) != ourBus)
            continue;
        // A process handle, so that the wait below is for this process and not a reused id.
        const int handle = int(::syscall(SYS_pidfd_open, pid_t(pid), 0));
        if (handle >= 0 && ::kill(pid_t(pid), SIGTERM) == 0)
            asked.append(handle);
        else if (handle >= 0)
            ::close(handle);
    }
    return asked;
}

// Until each has ended (its settings written for the last time), at most `seconds`.
void waitForEnd(const QList<int> &handles, int seconds)
{
    std::vector<pollfd> fds;
    for (const int handle : handles)
        fds.push_back({handle, POLLIN, 0});
    QDeadlineTimer deadline(std::chrono::seconds{seconds});
    while (!fds.empty() && !deadline.hasExpired()) {
        if (::poll(fds.data(), nfds_t(fds.size()), int(deadline.remainingTime())) <= 0)
            break;
        std::erase_if(fds, [](const pollfd &fd) { return fd.revents != 0; });
    }
    for (const int handle : handles)
        ::close(handle);
}

// Items trashed with rights belong to whoever owns the Trash, so they can restore them.
void giveToTrashOwner(const QString &trashed)
{
    struct stat trash {};
    if (::stat(QFile::encodeName(ZDTrash::filesDirectory()).constData(), &trash) != 0)
        return;
    auto own = [&](const QString &path) {
        struct stat item {};
        const QByteArray name = QFile::encodeName(path);
        if (::lstat(name.constData(), &item) == 0 && (item.st_uid != trash.st_uid || item.st_gid != trash.st_gid))
            (void)::lchown(name.constData(), trash.st_uid, trash.st_gid);
    };
    own(trashed);
    QDirIterator it(trashed, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    for (int n = 0; it.hasNext() && n < kMaxChownEntries; ++n)
        own(it.next());
}

QString dpkgAdminDir()
{
    return ZDLocalPaths::systemPath(QStringLiteral("/var/lib/dpkg"));
}
} // namespace

QList<ZDUninstaller::Item> ZDUninstaller::items()
{
    QList<Item> list;
    for (const QString &app : bundlesWithIdentifier(QLatin1String(kConsoleIdentifier)))
        list.append({app});
    const QString consoleApp = ZDLocalPaths::applicationDirectory(false) + QStringLiteral("/Kestra Admin.app");
    if (!std::any_of(list.cbegin(), list.cend(), [&](const Item &i) { return i.path == consoleApp; }))
        list.append({consoleApp});
    const QString caches = ZDLocalPaths::cacheDirectory(true);
    const QString prefs = ZDLocalPaths::prefsDirectory(true);
    list.append({caches + QStringLiteral("/Kestra Admin")});
    list.append({caches + QStringLiteral("/com.zendrel.KestraAdmin")});
    list.append({prefs + QStringLiteral("/com.zendrel.KestraAdmin.ini")});
    list.append({prefs + QStringLiteral("/com.zendrel.KestraAdmin.plist")});
    list.append({ZDLocalPaths::adminApplicationDirectory(false) + QStringLiteral("/KestraClientListener.app")});
    list.append({ZDLocalPaths::systemPath(QStringLiteral("/usr/share/applications/KestraClientListener.desktop"))});
    list.append({ZDLaunchd::jobPath(kAgentLabel, ZDLaunchd::Domain::Computer, ZDLaunchd::JobKind::Agent), true});
    list.append({prefs + QStringLiteral("/com.zendrel.KestraClient.plist")});
    const QString receipts = ZDLocalPaths::libraryDirectory(false) + QStringLiteral("/Receipts");
    list.append({receipts + QStringLiteral("/Install Kestra Client.pkg")});
    list.append({receipts + QStringLiteral("/com.zendrel.pkg.Kestra Client.bom")});
    list.append({receipts + QStringLiteral("/com.zendrel.pkg.Kestra Client.plist")});
    return list;
}

QString ZDUninstaller::leftAloneReason(const QString &path)
{
    if (path.isEmpty())
        return QStringLiteral("no path");
    const QString parent = QFileInfo(path).absolutePath();
    if (QFileInfo(parent).fileName() == QLatin1String("Release") || path.contains(QLatin1String("/Structure/Applications/")))
        return QStringLiteral("inside a build folder");
    const QString trash = ZDLocalPaths::trashDirectory();
    if (!trash.isEmpty() && (path == trash || path.startsWith(trash + QLatin1Char('/'))))
        return QStringLiteral("already in the Trash");
    return {};
}

QStringList ZDUninstaller::installedPackages()
{
    QStringList installed;
    if (!QFileInfo(dpkgAdminDir() + QStringLiteral("/status")).isFile())
        return installed;
    for (const char *package : kPackages) {
        const QString state = ZDTaskEx::stringFromTask(
            QStringLiteral("/usr/bin/dpkg-query"),
            {QStringLiteral("--admindir=") + dpkgAdminDir(), QStringLiteral("-W"), QStringLiteral("-f=${db:Status-Status}"),
             QLatin1String(package)},
            std::chrono::seconds(10));
        if (state.trimmed() == QLatin1String("installed"))
            installed.append(QLatin1String(package));
    }
    return installed;
}

ZDUninstaller::Report ZDUninstaller::uninstall()
{
    Report report;
    const QList<Item> list = items();
    ZDLog::appendLog(QStringLiteral("Uninstalling Kestra Admin..."));
    QList<int> ending;
    for (const QString &app : bundlesWithIdentifier(QLatin1String(kConsoleIdentifier)))
        ending += terminateOwnProcessesIn(app);
    ZDNotificationCenter::postNotification(ZDClientNotification::disconnect);
    QThread::sleep(1);
    // What the notice did not reach (another session's bus, a busy agent) is asked now.
    QStringList agents = bundlesWithIdentifier(kAgentLabel);
    agents.append(ZDLocalPaths::applicationDirectory(false) + QStringLiteral("/KestraClient.app"));
    agents.removeDuplicates();
    for (const QString &app : agents)
        ending += terminateOwnProcessesIn(app);
    waitForEnd(ending, 10);
    ZDLaunchd::stopJob(kAgentLabel, ZDLaunchd::Domain::Computer, ZDLaunchd::JobKind::Agent, ZDLaunchd::Rights::AskIfNeeded);

    // What the package manager installed goes through it, never by moving its files away.
    const QStringList packages = installedPackages();
    if (!packages.isEmpty()) {
        QStringList arguments{QStringLiteral("--root=") + ZDLocalPaths::systemRoot(), QStringLiteral("--purge")};
        arguments += packages;
        const auto result = ZDAuthorization::sharedController().authExecTask(QStringLiteral("/usr/bin/dpkg"), arguments,
                                                                              ZDAuthorization::Launch::Waited);
        const QStringList still = installedPackages();
        for (const QString &package : packages) {
            if (!still.contains(package))
                report.removedPackages.append(package);
            else
                report.remained.append({package, result == ZDAuthorization::ExecResult::NoRights
                                                     ? QStringLiteral("administrator rights were refused")
                                                     : QStringLiteral("the package manager could not remove it")});
        }
    }

    for (const Item &item : list) {
        if (!leftAloneReason(item.path).isEmpty())
            continue;
        const QFileInfo info(item.path);
        if (!info.exists() && !info.isSymLink())
            continue;
        if (item.unloadJobFirst) // stopped and disabled; its file goes to the Trash like the rest
            ZDLaunchd::stopJob(kAgentLabel, ZDLaunchd::Domain::Computer, ZDLaunchd::JobKind::Agent,
                               ZDLaunchd::Rights::AskIfNeeded);
        const bool mayDelete = QFileInfo(info.absolutePath()).isWritable();
        QString trashed;
        bool done = false;
        if (mayDelete) {
            done = ZDTrash::trashItem(item.path, &trashed).ok;
        } else if (ZDAuthorization::sharedController().authTrashFile(item.path)) {
            done = !QFileInfo::exists(item.path);
        }
        if (done) {
            if (!trashed.isEmpty())
                giveToTrashOwner(trashed);
            report.trashed.append(item.path);
        } else {
            report.remained.append({item.path, mayDelete ? QStringLiteral("it could not be moved to the Trash")
                                                          : QStringLiteral("administrator rights were refused")});
        }
    }
    ZDLog::appendLog(QStringLiteral("Uninstall finished: %i items moved, %i left."), int(report.trashed.size()),
                     int(report.remained.size()));
    return report;
}

QString ZDUninstaller::confirmationText()
{
    return QStringLiteral("Are you sure you wish to uninstall Kestra Admin?");
}

QString ZDUninstaller::summaryTitle(const Report &report)
{
    return report.complete() ? QStringLiteral("Uninstall complete") : QStringLiteral("Uninstall incomplete");
}

QString ZDUninstaller::summaryText(const Report &report)
{
    if (report.changedNothing())
        return QStringLiteral("Nothing of Kestra Admin was found; nothing was changed.");
    QString text;
    if (!report.removedPackages.isEmpty())
        text += QStringLiteral("Packages removed: ") + report.removedPackages.join(QStringLiteral(", ")) + QLatin1Char('\n');
    if (!report.trashed.isEmpty())
        text += QStringLiteral("Items have been placed in your Trash.\n");
    if (!report.complete()) {
        text += QStringLiteral("These items remain:\n");
        for (const Remained &r : report.remained)
            text += QStringLiteral("%1 (%2)\n").arg(r.path, r.reason);
    }
    return text.trimmed();
}
