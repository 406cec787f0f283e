// Stowel, the preference tool. It knows the applications' preference
// files by key (the shared table) and keeps backups as packages "<name>.stb2" in
// its backup folder: an Info.plist manifest {name, date, keys, size} and the
// files, home-relative below "Files/" (computer-wide ones below "System/").
//   -list                         the backups as a property list {name: {path, ...}}
//   -backup NAME [KEY,KEY...]     back up every kind, or the chosen ones
//   -restore PATH                 copy a backup's files back, byte for byte
//   -trash [-allfiles] KEY,...    move the kinds' files to the Trash, with their records
//   -lock KEY,... / -unlock KEY,...  clear / give back the files' write bits
//   -quicktrash                   trash the kinds checked by default (task "0")
// Exit status: 0 done, 1 a file could not be handled, 64 usage, 65 refused input.
#include "files/ZDBeneath.h"
#include "files/ZDFileAttributes.h"
#include "files/ZDFileManager.h"
#include "files/ZDFileTree.h"
#include "platform/ZDLocalPaths.h"
#include "catalog/ZDPreferenceKinds.h"
#include "plist/ZDPropertyList.h"
#include "files/ZDTrash.h"
#include "ZDToolRun.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace PK = ZDPreferenceKinds;

namespace {

using ZDTool::kFailed;
using ZDTool::kRefused;
using ZDTool::kUsage;
const QString kFiles = QStringLiteral("Files");
const QString kSystem = QStringLiteral("System");

int refuse(const QString &why, int status = kRefused)
{
    return ZDTool::refuse("Stowel", why, status);
}

// The kinds named by a key list; empty (and *why set) when it names an unknown one.
QList<const PK::Kind *> kindsOf(const QString &keyList, QString *why)
{
    QList<const PK::Kind *> kinds;
    if (const QString problem = PK::keyListProblem(keyList); !problem.isEmpty()) {
        *why = problem;
        return {};
    }
    for (const QString &key : keyList.split(QLatin1Char(',')))
        kinds << PK::kindForKey(key);
    return kinds;
}

// The existing files and folders of the kinds; links are left alone.
QStringList filesOf(const QList<const PK::Kind *> &kinds)
{
    QStringList found;
    for (const PK::Kind *kind : kinds) {
        for (const QString &pattern : PK::filePatterns(*kind)) {
            for (const QString &path : ZDFileManager::filesMatchingWildcardPath(pattern)) {
                const QFileInfo info(path);
                if (info.exists() && !info.isSymLink() && !found.contains(path))
                    found << path;
            }
        }
    }
    return found;
}

// Where a file goes inside a package: home-relative below Files/, else below System/.
QString packageRelative(const QString &path)
{
    const QString home = QDir::cleanPath(ZDLocalPaths::userDirectory());
    if (path.startsWith(home + QLatin1Char('/')))
        return kFiles + path.mid(home.size());
    const QString root = ZDLocalPaths::systemRoot();
    return kSystem + (root == QLatin1String("/") ? path : path.mid(root.size()));
}

int list(const QStringList &)
{
    QVariantMap backups;
    QDirIterator it(PK::backupFolder(), {QStringLiteral("*.") + QLatin1String(PK::kBackupExtension)},
                    QDir::Dirs | QDir::NoSymLinks | QDir::NoDotAndDotDot);
    while (it.hasNext()) {
        const QString path = it.next();
        QVariantMap backup = ZDPropertyList::readDictionary(path + QStringLiteral("/Info.plist"));
        if (backup.isEmpty())
            continue;
        backup.insert(QStringLiteral("path"), path);
        backups.insert(ZDFileTree::deletingExtension(it.fileName()), backup);
    }
    QString error;
    const QByteArray out = ZDPropertyList::toData(backups, ZDPropertyList::Format::Xml, &error);
    if (out.isEmpty())
        return refuse(error, kFailed);
    std::fwrite(out.constData(), 1, size_t(out.size()), stdout);
    return 0;
}

int backup(const QStringList &args)
{
    if (args.isEmpty() || args.size() > 2)
        return refuse(QStringLiteral("usage: -backup NAME [KEY,KEY...]"), kUsage);
    const QString name = args.at(0);
    if (const QString why = PK::backupNameProblem(name); !why.isEmpty())
        return refuse(why);
    QString why;
    const QString keys = args.size() == 2 ? args.at(1) : PK::allKeys().join(QLatin1Char(','));
    const QList<const PK::Kind *> kinds = kindsOf(keys, &why);
    if (kinds.isEmpty())
        return refuse(why);
    const QString folder = PK::backupFolder();
    if (!QDir().mkpath(folder))
        return refuse(QStringLiteral("cannot create %1").arg(folder), kFailed);
    // Built aside and renamed into place: a failed backup never replaces a good one.
    const QString work = folder + QStringLiteral("/.new-") + ZDLocalPaths::uuid();
    const auto cleanup = qScopeGuard([&] { ZDFileTree::remove(work); });
    qint64 size = 0;
    int status = 0;
    for (const QString &path : filesOf(kinds)) {
        const QString target = work + QLatin1Char('/') + packageRelative(path);
        QDir().mkpath(QFileInfo(target).path());
        const ZDFileTree::Result copied = ZDFileTree::copy(path, target);
        if (!copied.ok) {
            std::fprintf(stderr, "Stowel: %s\n", qPrintable(copied.description()));
            status = kFailed;
            continue;
        }
        size += ZDFileTree::measure(target).bytes;
    }
    const QVariantMap manifest{{QStringLiteral("name"), name},
                               {QStringLiteral("date"), QDateTime::currentDateTimeUtc()},
                               {QStringLiteral("keys"), keys},
                               {QStringLiteral("size"), size}};
    if (!ZDPropertyList::writeFile(work + QStringLiteral("/Info.plist"), manifest))
        return kFailed;
    const QString final = folder + QLatin1Char('/') + name + QLatin1Char('.') + QLatin1String(PK::kBackupExtension);
    if (ZDFileTree::exists(final) && !ZDFileTree::remove(final).ok)
        return refuse(QStringLiteral("cannot replace %1").arg(final), kFailed);
    if (!QDir().rename(work, final))
        return refuse(QStringLiteral("cannot create %1").arg(final), kFailed);
    return status;
}

// Copies one file's bytes, mode and times onto a new file in folder.
bool copyInto(const QString &source, int folder, const QString &name)
{
    const ZDBeneath::Fd in(::open(QFile::encodeName(source).constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st {};
    if (!in.isValid() || ::fstat(in.get(), &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    const ZDBeneath::Fd out = ZDBeneath::replaceFile(folder, name, 0600);
    if (!out.isValid())
        return false;
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(in.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            break;
        for (ssize_t done = 0; done < n;) {
            const ssize_t w = ::write(out.get(), buffer + done, size_t(n - done));
            if (w < 0 && errno != EINTR)
                return false;
            done += std::max<ssize_t>(w, 0);
        }
    }
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    return ::fchmod(out.get(), st.st_mode & 0755) == 0 && ::futimens(out.get(), times) == 0;
}

// Copies every regular file below `from` to the same place below `to`; links are
// skipped, and so is anything that is not a preference file of a known kind (a
// package may come from another computer). Each write is opened from `to`'s
// descriptor a component at a time: a link on the way (to another folder, to the
// applications) stops it rather than carrying the file there.
bool restoreTree(const QString &from, const QString &to)
{
    const ZDBeneath::Fd base = ZDBeneath::openBase(to.isEmpty() ? QStringLiteral("/") : to);
    if (!base.isValid()) {
        std::fprintf(stderr, "Stowel: cannot open %s\n", qPrintable(to));
        return false;
    }
    bool ok = true;
    QDirIterator it(from, QDir::Files | QDir::Hidden | QDir::NoSymLinks | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString source = it.next();
        const QString relative = source.mid(from.size() + 1);
        const QString target = to + QLatin1Char('/') + relative;
        QStringList components = ZDBeneath::components(relative);
        if (components.isEmpty() || !PK::isCovered(target)) {
            std::fprintf(stderr, "Stowel: not a preference file, left alone: %s\n", qPrintable(target));
            ok = false;
            continue;
        }
        const QString name = components.takeLast();
        const ZDBeneath::Fd folder = ZDBeneath::makeFolders(base.get(), components);
        // An old file or a link in the way is replaced, never written through.
        if (!folder.isValid() || !copyInto(source, folder.get(), name)) {
            std::fprintf(stderr, "Stowel: %s: %s, not restored\n", qPrintable(target),
                         folder.isValid() ? std::strerror(errno) : "a link or file on the way");
            ok = false;
        }
    }
    return ok;
}

int restore(const QStringList &args)
{
    if (args.size() != 1)
        return refuse(QStringLiteral("usage: -restore PATH"), kUsage);
    const QFileInfo package(args.at(0));
    if (package.isSymLink() || !package.isDir() || package.suffix() != QLatin1String(PK::kBackupExtension) ||
        ZDPropertyList::readDictionary(package.filePath() + QStringLiteral("/Info.plist")).isEmpty())
        return refuse(QStringLiteral("%1 is not a backup").arg(args.at(0)));
    const QString base = package.absoluteFilePath();
    bool ok = restoreTree(base + QLatin1Char('/') + kFiles, QDir::cleanPath(ZDLocalPaths::userDirectory()));
    const QString root = ZDLocalPaths::systemRoot();
    ok = restoreTree(base + QLatin1Char('/') + kSystem, root == QLatin1String("/") ? QString() : root) && ok;
    return ok ? 0 : kFailed;
}

int trash(const QStringList &args)
{
    const QStringList keys = args.value(0) == QLatin1String("-allfiles") ? args.mid(1) : args;
    if (keys.size() != 1)
        return refuse(QStringLiteral("Unable to determine key list"), kUsage);
    QString why;
    const QList<const PK::Kind *> kinds = kindsOf(keys.first(), &why);
    if (kinds.isEmpty())
        return refuse(why);
    int status = 0;
    for (const QString &path : filesOf(kinds)) {
        if (const ZDFileTree::Result r = ZDTrash::trashItem(path); !r.ok) {
            std::fprintf(stderr, "Stowel: %s\n", qPrintable(r.description()));
            status = kFailed;
        }
    }
    return status;
}

int quickTrash(const QStringList &)
{
    QStringList keys;
    for (const PK::Application &app : PK::applications()) {
        for (const PK::Kind &kind : app.kinds) {
            if (kind.checked)
                keys << kind.key;
        }
    }
    return trash({keys.join(QLatin1Char(','))});
}

int setLocked(const QStringList &args, bool locked)
{
    if (args.size() != 1)
        return refuse(QStringLiteral("Unable to determine key list"), kUsage);
    QString why;
    const QList<const PK::Kind *> kinds = kindsOf(args.first(), &why);
    if (kinds.isEmpty())
        return refuse(why);
    int status = 0;
    for (const QString &path : filesOf(kinds)) {
        bool ok = true;
        if (QFileInfo(path).isDir())
            ok = locked ? ZDFileManager::lockFolder(path) : ZDFileManager::unlockFolder(path);
        else
            ok = (locked ? ZDFileAttributes::lock(path) : ZDFileAttributes::unlock(path)) == 0;
        if (!ok) {
            std::fprintf(stderr, "Stowel: cannot %s %s\n", locked ? "lock" : "unlock", qPrintable(path));
            status = kFailed;
        }
    }
    return status;
}

int lock(const QStringList &args) { return setLocked(args, true); }
int unlock(const QStringList &args) { return setLocked(args, false); }

const ZDTool::Command kCommands[] = {
    {"-list", list},   {"-backup", backup}, {"-restore", restore},       {"-trash", trash},
    {"-lock", lock},   {"-unlock", unlock}, {"-quicktrash", quickTrash},
};

} // namespace

int main(int argc, char **argv)
{
    return ZDTool::dispatch(argc, argv, kCommands, "Stowel",
                             QStringLiteral("usage: Stowel -list | -backup NAME [KEYS] | -restore PATH | -trash -allfiles KEYS | "
                                            "-lock KEYS | -unlock KEYS | -quicktrash"));
}
