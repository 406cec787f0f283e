#include "files/ZDFileManager.h"

#include "files/ZDArchive.h"
#include "rights/ZDAuthorization.h"
#include "files/ZDFileAttributes.h"
#include "files/ZDFileTree.h"
#include "platform/ZDLocalPaths.h"
#include "log/ZDLog.h"
#include "log/ZDSystemLog.h"
#include "process/ZDTaskEx.h"
#include "process/ZDThreads.h"
#include "files/ZDTrash.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr int kLabelMask = 0x0E;
constexpr int kMaxDepth = 2048;

QByteArray enc(const QString &path) { return QFile::encodeName(path); }
QString errorText(int err) { return QString::fromLocal8Bit(std::strerror(err)); }

QString parentOf(const QString &path)
{
    QString p = path;
    while (p.size() > 1 && p.endsWith(QLatin1Char('/')))
        p.chop(1);
    const qsizetype slash = p.lastIndexOf(QLatin1Char('/'));
    if (slash < 0)
        return QStringLiteral(".");
    return slash == 0 ? QStringLiteral("/") : p.left(slash);
}

// Entry names of a folder in name order, hidden ones included.
QStringList entriesOf(const QString &folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                                  QDir::Name);
}

// Events for up to 10 ms at a time on the main thread keep the interface alive; other threads nap.
template <typename Done>
bool waitFor(Done done, ZDFileManager::Seconds timeout)
{
    QElapsedTimer clock;
    clock.start();
    const qint64 limit = qint64(timeout.count()) * 1000;
    while (!done() && clock.elapsed() < limit) {
        if (ZDThreads::isMainThread()) {
            QEventLoop loop;
            QTimer::singleShot(10, &loop, &QEventLoop::quit);
            loop.exec();
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
        }
    }
    return done();
}

ZDAuthorization &privileged() { return ZDAuthorization::sharedController(); }

ZDFileTree::Result refuseProtected(const QString &path)
{
    // As root nothing else would stop the removal of a home or a system folder.
    if (ZDLocalPaths::isPathSystemDirectory(QDir::cleanPath(QDir(path).absolutePath()), true))
        return ZDFileTree::Result::failure(QStringLiteral("is a protected folder"), path);
    return {};
}

// Clears a lock without complaint when there is nothing to clear.
void clearLock(const QString &path)
{
    if (ZDFileTree::exists(path) && ZDFileManager::isFileLocked(path))
        ZDFileManager::unlockFile(path);
}

bool folderEmpty(const QString &path, int depth)
{
    if (depth > kMaxDepth)
        return false;
    for (const QString &name : entriesOf(path)) {
        if (name == QLatin1String(".DS_Store") || name == QLatin1String("Icon\r"))
            continue;
        const QFileInfo child(path + QLatin1Char('/') + name);
        if (child.isDir() && !child.isSymLink() && folderEmpty(child.filePath(), depth + 1))
            continue;
        return false;
    }
    return true;
}

// Files (never folders) below a folder, links not followed, in name order.
QStringList filesBelow(const QString &folder, bool withLinks = true)
{
    QStringList files;
    QDirIterator it(folder, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        if (!it.fileInfo().isDir() && (withLinks || !it.fileInfo().isSymLink()))
            files << it.filePath();
    }
    files.sort();
    return files;
}

bool wildcardMatch(const QString &pattern, const QString &name)
{
    qsizetype p = 0, n = 0, star = -1, mark = 0;
    while (n < name.size()) {
        if (p < pattern.size() && (pattern[p] == QLatin1Char('?') || pattern[p] == name[n])) {
            ++p;
            ++n;
        } else if (p < pattern.size() && pattern[p] == QLatin1Char('*')) {
            star = p++;
            mark = n;
        } else if (star >= 0) {
            p = star + 1;
            n = ++mark;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == QLatin1Char('*'))
        ++p;
    return p == pattern.size();
}

bool isMountPoint(const QString &path)
{
    struct stat self {}, parent {};
    return ::stat(enc(path).constData(), &self) == 0 && S_ISDIR(self.st_mode) &&
           ::stat(enc(path + QStringLiteral("/..")).constData(), &parent) == 0 &&
           (self.st_dev != parent.st_dev || self.st_ino == parent.st_ino);
}

// The volume folder a path lies on, when it lies below a removable-volume root.
std::optional<QString> volumeOf(const QString &path)
{
    static const std::pair<const char *, int> roots[] = {
        {"/Volumes", 1}, {"/mnt", 1}, {"/run/media", 2}, {"/media", 2}};
    for (const auto &[rootPath, depth] : roots) {
        const QString root = ZDLocalPaths::systemPath(QString::fromLatin1(rootPath));
        if (!path.startsWith(root + QLatin1Char('/')))
            continue;
        const QStringList rest = path.mid(root.size() + 1).split(QLatin1Char('/'), Qt::SkipEmptyParts);
        if (rest.size() < depth)
            return std::nullopt;
        // "/media/cdrom0" style: a volume directly below a per-user root.
        if (depth == 2 && isMountPoint(root + QLatin1Char('/') + rest[0]))
            return root + QLatin1Char('/') + rest[0];
        return root + QLatin1Char('/') + rest.mid(0, depth).join(QLatin1Char('/'));
    }
    return std::nullopt;
}

QString safeToolArgument(const QString &path)
{
    return path.startsWith(QLatin1Char('-')) ? QStringLiteral("./") + path : path;
}

} // namespace

// ---- Tests

bool ZDFileManager::fileExistsAtPath(const QString &path)
{
    return !path.isEmpty() && QFileInfo::exists(path);
}

bool ZDFileManager::isDirectoryAtPath(const QString &path)
{
    return !path.isEmpty() && QFileInfo(path).isDir();
}

bool ZDFileManager::isPackageAtPath(const QString &path)
{
    static const QStringList packageExtensions = {
        QStringLiteral("app"),    QStringLiteral("bundle"), QStringLiteral("framework"), QStringLiteral("plugin"),
        QStringLiteral("kext"),   QStringLiteral("pkg"),    QStringLiteral("mpkg"),      QStringLiteral("prefPane"),
        QStringLiteral("wdgt"),   QStringLiteral("xpc")};
    return isDirectoryAtPath(path) && packageExtensions.contains(ZDFileTree::extension(path), Qt::CaseInsensitive);
}

bool ZDFileManager::isSymbolicLinkAtPath(const QString &path)
{
    return !path.isEmpty() && QFileInfo(path).isSymLink();
}

bool ZDFileManager::isVolumeMountedForPath(const QString &path)
{
    const auto volume = volumeOf(path);
    return !volume || isMountPoint(*volume);
}

bool ZDFileManager::isDriveMountedForPath(const QString &path)
{
    const auto volume = volumeOf(path);
    if (!volume)
        return true;
    zdSystemLog(zdFormat(QStringLiteral("mountpoint: %@"), *volume));
    return isMountPoint(*volume);
}

bool ZDFileManager::isFolderEmpty(const QString &path)
{
    return isDirectoryAtPath(path) && folderEmpty(path, 0);
}

bool ZDFileManager::isFileLocked(const QString &path)
{
    return !path.isEmpty() && ZDFileAttributes::isLocked(path);
}

quint64 ZDFileManager::fileSize(const QString &path)
{
    return quint64(ZDFileTree::measure(path).bytes);
}

// ---- Changing operations

bool ZDFileManager::trashFile(const QString &path, bool shouldAuth)
{
    if (path.isEmpty())
        return false;
    if (!ZDFileTree::exists(path))
        return true;
    clearLock(path);
    auto result = refuseProtected(path);
    if (result.ok)
        result = ZDTrash::trashItem(path);
    if (result.ok || !shouldAuth)
        return result.ok;
    ZDLog::appendLog(QStringLiteral("Error trashing file: %@. Authorizing..."), result.description());
    return privileged().authTrashFile(path);
}

bool ZDFileManager::trashDirectoryContents(const QString &path, bool shouldAuth)
{
    bool all = true;
    for (const QString &name : entriesOf(path))
        all = trashFile(ZDFileTree::join(path, name), shouldAuth) && all;
    return all;
}

bool ZDFileManager::removeFile(const QString &path, bool shouldAuth)
{
    if (path.isEmpty())
        return false;
    clearLock(path);
    if (!ZDFileTree::exists(path))
        return true;
    auto result = refuseProtected(path);
    if (result.ok)
        result = ZDFileTree::remove(path);
    if (result.ok || !shouldAuth)
        return result.ok;
    ZDLog::appendLog(QStringLiteral("Error removing file: %@. Authorizing..."), result.description());
    return privileged().authRemoveFile(path);
}

bool ZDFileManager::createDirectory(const QString &path, bool shouldAuth)
{
    if (path.isEmpty())
        return false;
    if (!isDriveMountedForPath(path)) {
        zdSystemLog(QStringLiteral("Unable to create directory. Drive is not mounted."));
        return false;
    }
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(enc(path).toStdString()), ec);
    if (!ec && isDirectoryAtPath(path))
        return true;
    if (!shouldAuth)
        return false;
    const QString why = ec ? QString::fromLocal8Bit(ec.message().c_str()) : errorText(ENOTDIR);
    ZDLog::appendLog(QStringLiteral("Error creating folder: %@. Authorizing..."), path + QStringLiteral(": ") + why);
    return privileged().authCreateDir(path);
}

bool ZDFileManager::copyFile(const QString &source, const QString &destination, bool shouldAuth)
{
    if (source.isEmpty()) {
        ZDLog::appendLogAndPrint(QStringLiteral("Error copying file: source path is nil"));
        return false;
    }
    if (destination.isEmpty()) {
        ZDLog::appendLogAndPrint(QStringLiteral("Error copying file %@: destination path is nil"), source);
        return false;
    }
    clearLock(parentOf(destination));
    const auto result = ZDFileTree::copy(source, destination);
    if (result.ok || !shouldAuth)
        return result.ok;
    ZDLog::appendLog(QStringLiteral("Error copying file: %@. Authorizing..."), result.description());
    return privileged().authCopyFile(source, destination);
}

bool ZDFileManager::moveFile(const QString &source, const QString &destination, bool shouldAuth)
{
    if (source.isEmpty() || destination.isEmpty())
        return false;
    clearLock(destination);
    if (source != destination && source.compare(destination, Qt::CaseInsensitive) == 0) {
        // A case-insensitive volume sees one name: step aside through a free name.
        const QString aside = uniqueFilename(destination);
        if (aside == destination) {
            if (ZDFileTree::move(source, destination).ok)
                return true;
        } else if (ZDFileTree::move(source, aside).ok && ZDFileTree::move(aside, destination).ok) {
            return true;
        }
    }
    auto result = refuseProtected(source);
    if (result.ok)
        result = ZDFileTree::move(source, destination);
    if (result.ok || !shouldAuth)
        return result.ok;
    ZDLog::appendLog(QStringLiteral("Error moving file: %@."), result.description());
    ZDLog::appendLog(QStringLiteral("Authorizing..."));
    return privileged().authMoveFile(source, destination);
}

// ---- Waiting forms

bool ZDFileManager::trashFile(const QString &path, Seconds timeout, bool shouldAuth)
{
    return trashFile(path, shouldAuth) && waitFor([&] { return !ZDFileTree::exists(path); }, timeout);
}

bool ZDFileManager::removeFile(const QString &path, Seconds timeout, bool shouldAuth)
{
    return removeFile(path, shouldAuth) && waitFor([&] { return !ZDFileTree::exists(path); }, timeout);
}

bool ZDFileManager::createDirectory(const QString &path, Seconds timeout, bool shouldAuth)
{
    return createDirectory(path, shouldAuth) && waitFor([&] { return fileExistsAtPath(path); }, timeout);
}

bool ZDFileManager::copyFile(const QString &source, const QString &destination, Seconds timeout, bool shouldAuth)
{
    return copyFile(source, destination, shouldAuth) && waitFor([&] { return fileExistsAtPath(destination); }, timeout);
}

bool ZDFileManager::moveFile(const QString &source, const QString &destination, Seconds timeout, bool shouldAuth)
{
    if (!moveFile(source, destination, shouldAuth))
        return false;
    if (source != destination && source.compare(destination, Qt::CaseInsensitive) == 0) {
        std::this_thread::sleep_for(std::chrono::microseconds(500));
        return true;
    }
    return waitFor([&] { return !ZDFileTree::exists(source); }, timeout);
}

bool ZDFileManager::waitForFileCreation(const QString &path, Seconds timeout)
{
    const auto created = [&] { return QFileInfo(path).size() > 0; };
    if (created())
        return true;
    ZDLog::appendLog(QStringLiteral("File %@ is not yet created. Waiting..."), path);
    return waitFor(created, timeout);
}

// ---- Other operations

QStringList ZDFileManager::trashFilesOfType(const QString &extension, const QString &folder)
{
    QStringList trashed;
    if (extension.isEmpty())
        return trashed; // every file without an extension is never what is meant
    for (const QString &file : filesBelow(folder)) {
        if (ZDFileTree::extension(file).compare(extension, Qt::CaseInsensitive) == 0 && trashFile(file))
            trashed << file;
    }
    return trashed;
}

QStringList ZDFileManager::trashFilesNamed(const QString &name, const QString &folder)
{
    QStringList trashed;
    for (const QString &file : filesBelow(folder)) {
        if (ZDFileTree::lastComponent(file) == name && trashFile(file))
            trashed << file;
    }
    return trashed;
}

bool ZDFileManager::removeFolderIfEmpty(const QString &path)
{
    return isFolderEmpty(path) && removeFile(path);
}

QString ZDFileManager::createDirectoryStructure(const QString &path, const QString &destination)
{
    const QString folderPart = (isDirectoryAtPath(path) && !isPackageAtPath(path)) ? path : parentOf(path);
    const QString target = ZDFileTree::join(destination, folderPart);
    if (!fileExistsAtPath(target))
        createDirectory(target);
    return target;
}

bool ZDFileManager::copyContentsOfDirectory(const QString &source, const QString &destination, Seconds timeout)
{
    for (const QString &name : entriesOf(source)) {
        ZDLog::fastAppendLog(QStringLiteral("File: %@"), name);
        if (!copyFile(ZDFileTree::join(source, name), ZDFileTree::join(destination, name), timeout))
            return false;
    }
    return true;
}

bool ZDFileManager::compressFile(const QString &source, const QString &destination, bool includeParent)
{
    if (source.isEmpty() || destination.isEmpty())
        return false;
    if (ZDFileTree::exists(destination))
        trashFile(destination);
    const auto result = ZDArchive::createZip(source, destination, includeParent);
    if (!result.ok)
        ZDLog::appendLog(QStringLiteral("Unable to archive %@: %@"), source, result.description());
    return fileExistsAtPath(destination);
}

bool ZDFileManager::decompressFile(const QString &archive, const QString &destinationFolder)
{
    if (archive.isEmpty() || destinationFolder.isEmpty())
        return false;
    if (isDirectoryAtPath(destinationFolder))
        ZDTrash::trashItem(destinationFolder);
    const auto result = ZDArchive::extractZip(archive, destinationFolder);
    if (!result.ok)
        ZDLog::appendLog(QStringLiteral("Unable to extract %@: %@"), archive, result.description());
    return fileExistsAtPath(destinationFolder);
}

bool ZDFileManager::copyFileWithProgress(const QString &source, const QString &destination, QObject *delegate,
                                         const QVariant &object, const QVariant &object2,
                                         QPointer<ZDFileCopyOperation> *operation)
{
    if (source.isEmpty() || !ZDFileTree::exists(source)) {
        zdSystemLog(zdFormat(QStringLiteral("Error: File %@ doesn't exist. Aborting copy process..."), source));
        return false;
    }
    const QString folder = parentOf(destination);
    if (!isDirectoryAtPath(folder) && !createDirectory(folder, Seconds(10))) {
        ZDLog::appendLog(
            QStringLiteral("Unable to copy file %@ - destination directory %@ doesn't exist. Aborting copy process..."),
            source, folder);
        return false;
    }
    QVariantMap context{{QStringLiteral("source"), source},
                        {QStringLiteral("destination"), destination},
                        {QStringLiteral("operationtype"), QStringLiteral("copy")}};
    if (delegate)
        context.insert(QStringLiteral("delegate"), QVariant::fromValue(delegate));
    if (object.isValid())
        context.insert(QStringLiteral("object"), object);
    if (object2.isValid())
        context.insert(QStringLiteral("object2"), object2);
    const int status = ZDFileCopyOperation::start(source, destination, delegate, context, operation);
    if (status == -1)
        ZDLog::appendLog(QStringLiteral("Failed to schedule operation with run loop: %ld"), qint64(status));
    else if (status != 0)
        ZDLog::appendLog(QStringLiteral("Failed to begin asynchronous object copy: %ld"), qint64(status));
    return status == 0;
}

bool ZDFileManager::cancelFileOperation(ZDFileCopyOperation *operation)
{
    return ZDFileCopyOperation::cancel(operation);
}

bool ZDFileManager::lockFile(const QString &path)
{
    return !path.isEmpty() && ZDFileAttributes::lock(path) == 0;
}

bool ZDFileManager::unlockFile(const QString &path)
{
    const int err = path.isEmpty() ? ENOENT : ZDFileAttributes::unlock(path);
    if (err != 0)
        ZDLog::fastAppendLog(QStringLiteral("Unable to unlock file %@: %@"), path, errorText(err));
    return err == 0;
}

bool ZDFileManager::lockFolder(const QString &path)
{
    bool all = true;
    for (const QString &file : filesBelow(path, false))
        all = lockFile(file) && all;
    return all;
}

bool ZDFileManager::unlockFolder(const QString &path)
{
    bool all = true;
    for (const QString &file : filesBelow(path, false))
        all = unlockFile(file) && all;
    return all;
}

bool ZDFileManager::setPosixPermissions(int permissions, const QString &path)
{
    if (!path.isEmpty() && ::chmod(enc(path).constData(), mode_t(permissions) & 07777) == 0)
        return true;
    ZDLog::appendLog(QStringLiteral("Error setting permissions for file %@: %@"), path,
                     errorText(path.isEmpty() ? ENOENT : errno));
    return false;
}

bool ZDFileManager::createEmptyFile(const QString &path)
{
    if (path.isEmpty())
        return false;
    const QString temp = ZDLocalPaths::tempFile();
    QSaveFile file(temp);
    if (!file.open(QIODevice::WriteOnly) || !file.commit())
        return false;
    if (moveFile(temp, path))
        return true;
    QFile::remove(temp);
    return false;
}

bool ZDFileManager::touchFile(const QString &path, bool setCreationDate, bool shouldAuth)
{
    Q_UNUSED(setCreationDate) // no settable creation date on Linux
    if (path.isEmpty())
        return false;
    static const QString touch = QStringLiteral("/usr/bin/touch");
    const QStringList arguments{QStringLiteral("-c"), safeToolArgument(path)};
    if (::access(enc(path).constData(), W_OK) == 0) {
        ZDTaskEx::runTask(touch, arguments, std::chrono::seconds(5));
        return true;
    }
    return shouldAuth && privileged().authExecTask(touch, arguments, ZDAuthorization::Launch::Waited)
        == ZDAuthorization::ExecResult::Started;
}

bool ZDFileManager::setModificationDate(const QDateTime &date, const QString &path)
{
    if (path.isEmpty() || !date.isValid())
        return false;
    const qint64 ms = date.toMSecsSinceEpoch();
    struct timespec times[2] {};
    times[0].tv_nsec = UTIME_OMIT;
    times[1].tv_sec = time_t(ms / 1000);
    times[1].tv_nsec = long(ms % 1000) * 1000000L;
    if (times[1].tv_nsec < 0) {
        times[1].tv_sec -= 1;
        times[1].tv_nsec += 1000000000L;
    }
    return ::utimensat(AT_FDCWD, enc(path).constData(), times, 0) == 0;
}

QString ZDFileManager::formatFileSize(double bytes)
{
    if (bytes < 1024)
        return QString::asprintf("%0.0f B", bytes);
    if (bytes < 1048576)
        return QString::asprintf("%0.2f KB", bytes / 1024);
    if (bytes < 1073741824)
        return QString::asprintf("%0.2f MB", bytes / 1024 / 1024);
    return QString::asprintf("%0.2f GB", bytes / 1024 / 1024 / 1024);
}

QString ZDFileManager::validateFilename(const QString &name)
{
    if (name == QLatin1String("."))
        return QString(QLatin1String(""));
    QString clean = name.startsWith(QLatin1Char('.')) ? name.mid(1) : name;
    clean = clean.trimmed();
    clean.remove(QLatin1Char('/'));
    clean.remove(QLatin1Char(':'));
    return clean;
}

QString ZDFileManager::uniqueFilename(const QString &path)
{
    if (!ZDFileTree::exists(path))
        return path;
    const QString base = ZDFileTree::deletingExtension(path);
    const QString ext = ZDFileTree::extension(path);
    for (qint64 n = 2; n < 1000000; ++n) {
        const QString candidate = zdFormat(QStringLiteral("%@ %li"), base, n) +
                                  (ext.isEmpty() ? QString() : QLatin1Char('.') + ext);
        if (!ZDFileTree::exists(candidate))
            return candidate;
    }
    return {};
}

QStringList ZDFileManager::filesMatchingWildcardPath(const QString &path, const QString &basePath)
{
    const QString start = basePath.isEmpty() ? QStringLiteral("/") : basePath;
    if (!path.contains(QLatin1Char('*')))
        return {basePath.isEmpty() ? path : ZDFileTree::join(basePath, path)};

    QStringList components = path.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    if (path.startsWith(QLatin1Char('/')))
        components.prepend(QStringLiteral("/"));
    QStringList candidates{start};
    for (const QString &component : components) {
        if (component == QLatin1String("/")) {
            candidates = {start};
            continue;
        }
        QStringList next;
        for (const QString &candidate : std::as_const(candidates)) {
            if (!component.contains(QLatin1Char('*'))) {
                const QString joined = ZDFileTree::join(candidate, component);
                if (fileExistsAtPath(joined))
                    next << joined;
                continue;
            }
            for (const QString &name : entriesOf(candidate)) {
                const QString joined = ZDFileTree::join(candidate, name);
                if (wildcardMatch(component, name) && fileExistsAtPath(joined))
                    next << joined;
            }
        }
        candidates = next;
    }
    return candidates;
}

QString ZDFileManager::decodeWildcardPath(const QString &path, const QString &basePath)
{
    const QStringList matches = filesMatchingWildcardPath(path, basePath);
    if (!matches.isEmpty())
        return matches.first();
    return basePath.isEmpty() ? path : ZDFileTree::join(basePath, path);
}

int ZDFileManager::finderColorIndexForPath(const QString &path)
{
    return path.isEmpty() ? 0 : ZDFileAttributes::labelFlags(path) & kLabelMask;
}

bool ZDFileManager::setFinderColorIndex(int index, const QString &path)
{
    if (path.isEmpty() || !fileExistsAtPath(path))
        return false;
    const int flags = ZDFileAttributes::labelFlags(path);
    return ZDFileAttributes::setLabelFlags(path, (flags & ~kLabelMask) | (index & kLabelMask));
}

std::optional<ZDLabelColor> ZDFileManager::finderColorForPath(const QString &path)
{
    return finderColorForColorIndex(finderColorIndexForPath(path));
}

std::optional<ZDLabelColor> ZDFileManager::finderColorForColorIndex(int index)
{
    switch (index) {
    case 2: case 3: return ZDLabelColor{0, 0, 0.72};
    case 4: case 5: return ZDLabelColor{0.2056, 0.5, 0.85};
    case 6: case 7: return ZDLabelColor{0.7917, 0.26, 0.86};
    case 8: case 9: return ZDLabelColor{0.5789, 0.56, 0.98};
    case 10: case 11: return ZDLabelColor{0.1388, 0.54, 0.95};
    case 12: case 13: return ZDLabelColor{0.0083, 0.54, 1.0};
    case 14: case 15: return ZDLabelColor{0.0888, 0.52, 0.98};
    default: return std::nullopt;
    }
}

void ZDFileManager::notifyFileSystemChanged(const QString &path)
{
    if (path.isEmpty() || !ZDFileTree::exists(path))
        return;
    const QString folder = (isDirectoryAtPath(path) && !isSymbolicLinkAtPath(path)) ? path : parentOf(path);
    const struct timespec times[2] = {{0, UTIME_OMIT}, {0, UTIME_NOW}};
    ::utimensat(AT_FDCWD, enc(folder).constData(), times, 0);
}

bool ZDFileManager::registerApplicationWithLaunchServices(const QString &path)
{
    if (!fileExistsAtPath(path))
        return false;
    static const QString tool = QStringLiteral("/usr/bin/update-desktop-database");
    const QString entries = ZDLocalPaths::libraryDirectory(true) + QStringLiteral("/applications");
    if (ZDTaskEx::isRunnable(tool) && isDirectoryAtPath(entries))
        ZDTaskEx::runTask(tool, {QStringLiteral("-q"), entries}, std::chrono::seconds(10));
    return true;
}

void ZDFileManager::waitForFileWrites(const QString &path, const QString &lockFileName)
{
    using namespace std::chrono;
    constexpr qint64 kQuietMs = 4000;
    constexpr qint64 kLongestWaitMs = 120000;
    const auto ageMs = [&] {
        const QDateTime modified = QFileInfo(path).lastModified();
        return modified.isValid() ? modified.msecsTo(QDateTime::currentDateTime()) : kQuietMs + 1;
    };
    const bool lockBeside =
        !lockFileName.isEmpty() && ZDFileTree::exists(ZDFileTree::join(parentOf(path), lockFileName));
    if (ageMs() > kQuietMs && !lockBeside)
        return;
    ZDLog::appendLog(QStringLiteral("File %@ is currently being written to. Waiting..."), path);
    // Sleeps until the file would have been quiet long enough, then looks again.
    QElapsedTimer clock;
    clock.start();
    for (qint64 age = ageMs(); age <= kQuietMs && clock.elapsed() < kLongestWaitMs; age = ageMs()) {
        const qint64 nap = std::clamp<qint64>(kQuietMs - age + 1, 1, kLongestWaitMs - clock.elapsed());
        std::this_thread::sleep_for(milliseconds(nap));
    }
    ZDLog::appendLog(QStringLiteral("File %@ finished writing."), path);
}
