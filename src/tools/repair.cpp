// The three repair tools, one program whose meaning its name chooses (the table in
// README.md). Each works on the preference files and folders the catalogue lists for
// its applications ("-app KEY,KEY" picks others by preference key):
//   Ondrel   checks every preference property list still reads; with its option backs
//            them up first (through Stowel beside it, as "<date> before Ondrel") and only
//            then moves them to the Trash, so the application starts from its defaults
//   Ketril   rebuilds the media framework's registry (~/.cache/gstreamer-1.0 removed,
//            `gst-inspect-1.0` scans again) and drops the failed-thumbnail records; with
//            its option the thumbnails go to the Trash
//   Moravel  gives the files and folders back to their user (run with rights) and
//            mends their modes (owner read and write, folders searchable, no write for
//            others); with its option removes lock files whose process is gone
//   -repair [-option] [-app KEYS] [--callback NAME]
// The result text goes to standard output and, with --callback, to the console through
// the agent ({"output": text}). Nothing is followed through a link. Exit status: 0 done,
// 1 something could not be repaired, 64 usage. Anything else is the task protocol.
#include "ZDSystemCommand.h"
#include "ZDToolRun.h"
#include "bus/ZDNotificationCenter.h"
#include "catalog/ZDPreferenceKinds.h"
#include "files/ZDFileManager.h"
#include "files/ZDTrash.h"
#include "platform/ZDLocalPaths.h"
#include "platform/ZDNoFollow.h"
#include "plist/ZDPropertyList.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QProcess>

#include <cstdio>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

int kestraToolTasksMain(int argc, char **argv);

namespace PK = ZDPreferenceKinds;

namespace {

struct Repair
{
    QString tool;
    bool option = false;
    QStringList apps;
    QStringList lines;
    bool ok = true;
};

QStringList defaultApps(const QString &tool)
{
    if (tool == QLatin1String("Ondrel"))
        return {QStringLiteral("compressor"), QStringLiteral("compressor4")};
    if (tool == QLatin1String("Ketril"))
        return {QStringLiteral("premiere"), QStringLiteral("ae")};
    return {QStringLiteral("avid"), QStringLiteral("symphony")};
}

// The existing preference files and folders of the chosen applications; links left out.
QStringList preferenceItems(const QStringList &apps, QStringList *keys = nullptr)
{
    QStringList found;
    for (const PK::Application &app : PK::applications()) {
        if (!apps.contains(app.key))
            continue;
        for (const PK::Kind &kind : app.kinds) {
            if (keys)
                *keys << kind.key;
            for (const QString &pattern : PK::filePatterns(kind)) {
                for (const QString &path : ZDFileManager::filesMatchingWildcardPath(pattern)) {
                    const QFileInfo info(path);
                    if (info.exists() && !info.isSymLink() && !found.contains(path))
                        found << path;
                }
            }
        }
    }
    return found;
}

void ondrel(Repair &r)
{
    QStringList keys;
    const QStringList items = preferenceItems(r.apps, &keys);
    int damaged = 0;
    for (const QString &path : items) {
        const QFileInfo info(path);
        if (info.isFile() && (path.endsWith(QLatin1String(".plist")) || !path.contains(QLatin1Char('.')))
            && ZDPropertyList::readFile(path).isNull()) {
            r.lines << QStringLiteral("Damaged: %1").arg(path);
            ++damaged;
        }
    }
    r.lines << (damaged ? QStringLiteral("Installation checked: %1 damaged file(s) found.").arg(damaged)
                        : QStringLiteral("Installation checked: no damaged files found."));
    if (!r.option) {
        r.lines << QStringLiteral("Preferences kept.");
        return;
    }
    if (!items.isEmpty()) {
        // Backed up first: without a backup nothing goes.
        const QString stowel = QDir(QCoreApplication::applicationDirPath() + QStringLiteral("/../../../Stowel.app/Contents/MacOS")).filePath(QStringLiteral("Stowel"));
        const QString name = QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HHmmss")) + QStringLiteral(" before ") + r.tool;
        const ZDSystemCommand::Result backup = ZDSystemCommand::run(QFileInfo(stowel).canonicalFilePath().isEmpty() ? stowel : QFileInfo(stowel).canonicalFilePath(),
                                                                    {QStringLiteral("-backup"), name, keys.join(QLatin1Char(','))});
        if (!backup.ok) {
            r.ok = false;
            r.lines << QStringLiteral("No backup could be made (%1): preferences kept.").arg(backup.error);
            return;
        }
        r.lines << QStringLiteral("Backup \"%1\" made.").arg(name);
    }
    for (const QString &path : items) {
        if (const ZDFileTree::Result moved = ZDTrash::trashItem(path); !moved.ok) {
            r.ok = false;
            r.lines << QStringLiteral("Not moved: %1").arg(moved.description());
        }
    }
    r.lines << QStringLiteral("Preferences moved to the Trash.");
}

void ketril(Repair &r)
{
    const QString caches = ZDLocalPaths::cacheDirectory(true);
    QString why;
    if (!ZDSystemCommand::removeBeneath(caches, QStringLiteral("gstreamer-1.0"), true, &why)) {
        r.ok = false;
        r.lines << QStringLiteral("Media registry not removed: %1").arg(why);
    } else if (::geteuid() != 0 && !ZDSystemCommand::find(QStringLiteral("gst-inspect-1.0")).isEmpty()) {
        const ZDSystemCommand::Result scan = ZDSystemCommand::run(QStringLiteral("gst-inspect-1.0"), {}, 300000, 1024);
        r.lines << (scan.ok ? QStringLiteral("Media registry rebuilt.") : QStringLiteral("Media registry removed; the scan failed: %1").arg(scan.error));
    } else {
        r.lines << QStringLiteral("Media registry removed; it is rebuilt when a media application starts.");
    }
    if (ZDSystemCommand::removeBeneath(caches, QStringLiteral("thumbnails/fail"), true, &why)) {
        r.lines << QStringLiteral("Failed-thumbnail records removed.");
    } else {
        r.ok = false;
        r.lines << QStringLiteral("Failed-thumbnail records not removed: %1").arg(why);
    }
    const QString thumbnails = caches + QStringLiteral("/thumbnails");
    if (!r.option) {
        r.lines << QStringLiteral("Thumbnails kept.");
    } else if (!QFileInfo(thumbnails).isDir() || QFileInfo(thumbnails).isSymLink()) {
        r.lines << QStringLiteral("No thumbnails to move to the Trash.");
    } else if (const ZDFileTree::Result moved = ZDTrash::trashItem(thumbnails); moved.ok) {
        r.lines << QStringLiteral("Thumbnails moved to the Trash.");
    } else {
        r.ok = false;
        r.lines << QStringLiteral("Thumbnails not moved: %1").arg(moved.description());
    }
}

// A lock file whose process is gone: its first number names no running process.
bool staleLock(int folder, const char *name)
{
    const ZDOwnedFd fd(::openat(folder, name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    char buffer[32] = {};
    const ssize_t n = fd.isValid() ? ::read(fd.get(), buffer, sizeof buffer - 1) : -1;
    const long pid = n > 0 ? std::strtol(buffer, nullptr, 10) : 0;
    return pid <= 0 || (::kill(pid_t(pid), 0) != 0 && errno == ESRCH);
}

bool isLockName(const QByteArray &name)
{
    return name == "lock" || name == ".lock" || name.endsWith(".lock") || name.endsWith(".lck");
}

// Mends one open item and, for a folder, everything below it, never through a link.
void mend(Repair &r, int fd, const QString &shown, uid_t uid, gid_t gid, int depth, int &changed, int &locks)
{
    struct stat st {};
    if (::fstat(fd, &st) != 0)
        return;
    if (::geteuid() == 0 && (st.st_uid != uid || st.st_gid != gid)) {
        if (::fchown(fd, uid, gid) == 0)
            ++changed;
        else
            r.ok = false;
    }
    const mode_t wanted = S_ISDIR(st.st_mode) ? ((st.st_mode | S_IRWXU) & ~mode_t(S_IWGRP | S_IWOTH))
                                              : ((st.st_mode | S_IRUSR | S_IWUSR) & ~mode_t(S_IWGRP | S_IWOTH | S_ISUID | S_ISGID));
    if ((st.st_mode & 07777) != (wanted & 07777)) {
        if (::fchmod(fd, wanted & 07777) == 0)
            ++changed;
        else
            r.ok = false;
    }
    if (!S_ISDIR(st.st_mode) || depth > 64)
        return;
    const int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    DIR *dir = copy >= 0 ? ::fdopendir(copy) : nullptr;
    if (!dir) {
        if (copy >= 0)
            ::close(copy);
        return;
    }
    QList<QByteArray> names;
    while (const dirent *e = ::readdir(dir)) {
        const QByteArray name(e->d_name);
        if (name != "." && name != ".." && names.size() < 100000)
            names << name;
    }
    ::closedir(dir);
    for (const QByteArray &name : names) {
        struct stat child {};
        if (::fstatat(fd, name.constData(), &child, AT_SYMLINK_NOFOLLOW) != 0 || !(S_ISDIR(child.st_mode) || S_ISREG(child.st_mode)))
            continue;
        if (r.option && S_ISREG(child.st_mode) && isLockName(name) && staleLock(fd, name.constData())) {
            if (::unlinkat(fd, name.constData(), 0) == 0)
                ++locks;
            continue;
        }
        const ZDOwnedFd sub(::openat(fd, name.constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK
                                                                 | (S_ISDIR(child.st_mode) ? O_DIRECTORY : 0)));
        if (sub.isValid())
            mend(r, sub.get(), shown + QLatin1Char('/') + QFile::decodeName(name), uid, gid, depth + 1, changed, locks);
    }
}

void moravel(Repair &r)
{
    const QString home = QDir::cleanPath(ZDLocalPaths::userDirectory());
    struct stat owner {};
    if (::stat(QFile::encodeName(home).constData(), &owner) != 0) {
        r.ok = false;
        r.lines << QStringLiteral("No home folder %1.").arg(home);
        return;
    }
    int changed = 0, locks = 0;
    for (const QString &path : preferenceItems(r.apps)) {
        if (!path.startsWith(home + QLatin1Char('/'))) {
            r.lines << QStringLiteral("Left alone (not in the user's folders): %1").arg(path);
            continue;
        }
        const QString relative = path.mid(home.size() + 1);
        const ZDOwnedFd parent = ZDNoFollow::openFolder(home, QFileInfo(relative).path(), false);
        const ZDOwnedFd fd = parent.isValid() ? ZDOwnedFd(::openat(parent.get(), QFile::encodeName(QFileInfo(relative).fileName()).constData(),
                                                                   O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK))
                                              : ZDOwnedFd();
        if (fd.isValid())
            mend(r, fd.get(), path, owner.st_uid, owner.st_gid, 0, changed, locks);
    }
    r.lines << QStringLiteral("Ownership and modes checked: %1 change(s).").arg(changed);
    if (r.option)
        r.lines << QStringLiteral("%1 stale lock file(s) removed.").arg(locks);
    else
        r.lines << QStringLiteral("Unit lock files kept.");
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2 || std::strcmp(argv[1], "-repair") != 0)
        return kestraToolTasksMain(argc, argv);
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    Repair r;
    r.tool = QFileInfo(args.at(0)).fileName();
    r.apps = defaultApps(r.tool);
    QString callback;
    for (int i = 2; i < args.size(); ++i) {
        if (args.at(i) == QLatin1String("-option"))
            r.option = true;
        else if (args.at(i) == QLatin1String("-app") && i + 1 < args.size())
            r.apps = args.at(++i).split(QLatin1Char(','), Qt::SkipEmptyParts);
        else if (args.at(i) == QLatin1String("--callback") && i + 1 < args.size())
            callback = args.at(++i);
    }
    if (r.tool == QLatin1String("Ondrel"))
        ondrel(r);
    else if (r.tool == QLatin1String("Ketril"))
        ketril(r);
    else if (r.tool == QLatin1String("Moravel"))
        moravel(r);
    else
        return ZDTool::refuse(qPrintable(r.tool), QStringLiteral("a repair tool runs as Ondrel, Ketril or Moravel"), ZDTool::kUsage);
    const QString output = QStringLiteral("%1 repair finished.\n").arg(r.tool) + r.lines.join(QLatin1Char('\n'));
    std::printf("%s\n", qPrintable(output));
    ZDTool::writeResult(r.tool, r.option ? QStringLiteral("repair-trash") : QStringLiteral("repair"),
                        QStringLiteral("tool=%1\nuid=%2\neuid=%3\n%4\n").arg(r.tool).arg(::getuid()).arg(::geteuid()).arg(output));
    if (!callback.isEmpty() && !ZDNotificationCenter::postNotification(callback, {{QStringLiteral("output"), output}}))
        std::fprintf(stderr, "%s: could not post %s\n", qPrintable(r.tool), qPrintable(callback));
    return r.ok ? 0 : ZDTool::kFailed;
}
