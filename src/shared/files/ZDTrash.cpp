#include "files/ZDTrash.h"

#include "platform/ZDLocalPaths.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QUrl>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A Trash that root creates in a user's data folder stays usable by that user.
void makeOwnedFolder(const QString &folder)
{
    const QByteArray path = QFile::encodeName(folder);
    if (::mkdir(path.constData(), 0700) != 0)
        return;
    if (::geteuid() != 0)
        return;
    struct stat owner {};
    const QByteArray parent = QFile::encodeName(QFileInfo(folder).absolutePath());
    if (::stat(parent.constData(), &owner) == 0 && owner.st_uid != 0)
        ::lchown(path.constData(), owner.st_uid, owner.st_gid);
}

bool ensureTrash()
{
    const QString trash = ZDLocalPaths::trashDirectory();
    if (!QDir().mkpath(QFileInfo(trash).absolutePath()))
        return false;
    makeOwnedFolder(trash);
    makeOwnedFolder(ZDTrash::filesDirectory());
    makeOwnedFolder(ZDTrash::infoDirectory());
    return QFileInfo(ZDTrash::filesDirectory()).isDir() && QFileInfo(ZDTrash::infoDirectory()).isDir();
}

QString candidateName(const QString &name, const QString &stamp, int attempt)
{
    if (attempt == 0)
        return name;
    const QString ext = ZDFileTree::extension(name);
    QString base = ZDFileTree::deletingExtension(name) + QLatin1Char('_') + stamp;
    if (attempt > 1)
        base += QLatin1Char(' ') + QString::number(attempt);
    return base + QLatin1Char('.') + ext;
}

} // namespace

QString ZDTrash::filesDirectory()
{
    return ZDLocalPaths::trashDirectory() + QStringLiteral("/files");
}

QString ZDTrash::infoDirectory()
{
    return ZDLocalPaths::trashDirectory() + QStringLiteral("/info");
}

QByteArray ZDTrash::trashInfo(const QString &originalPath, const QDateTime &deletionDate)
{
    return QByteArrayLiteral("[Trash Info]\nPath=") + QUrl::toPercentEncoding(originalPath, "/") +
           QByteArrayLiteral("\nDeletionDate=") +
           deletionDate.toLocalTime().toString(QStringLiteral("yyyy-MM-ddThh:mm:ss")).toLatin1() + '\n';
}

ZDFileTree::Result ZDTrash::trashItem(const QString &path, QString *trashedPath, const QString &originalPath)
{
    const QString source = QDir::cleanPath(QDir(path).absolutePath());
    const QString name = ZDFileTree::lastComponent(source);
    if (name.isEmpty() || name == QLatin1String("/") || !ZDFileTree::exists(source))
        return ZDFileTree::Result::failure(ENOENT, path);
    if (!ensureTrash())
        return ZDFileTree::Result::failure(EACCES, ZDLocalPaths::trashDirectory());

    const QDateTime now = QDateTime::currentDateTime();
    const QString stamp = now.toString(QStringLiteral("yyyyMMddHHmmss"));
    const QByteArray info = trashInfo(originalPath.isEmpty() ? source : QDir::cleanPath(originalPath), now);
    for (int attempt = 0; attempt < 1000; ++attempt) {
        const QString chosen = candidateName(name, stamp, attempt);
        const QString target = filesDirectory() + QLatin1Char('/') + chosen;
        const QByteArray infoPath = QFile::encodeName(infoDirectory() + QLatin1Char('/') + chosen +
                                                      QStringLiteral(".trashinfo"));
        // The record is created first and exclusively: it reserves the name.
        const int fd = ::open(infoPath.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0) {
            if (errno == EEXIST)
                continue;
            return ZDFileTree::Result::failure(errno, QFile::decodeName(infoPath));
        }
        const bool written = ::write(fd, info.constData(), size_t(info.size())) == info.size();
        ::close(fd);
        if (!written) {
            ::unlink(infoPath.constData());
            return ZDFileTree::Result::failure(EIO, QFile::decodeName(infoPath));
        }
        auto moved = ZDFileTree::move(source, target);
        if (!moved.ok) {
            ::unlink(infoPath.constData());
            if (moved.error == EEXIST && moved.path == target)
                continue;
            return moved;
        }
        if (trashedPath)
            *trashedPath = target;
        return {};
    }
    return ZDFileTree::Result::failure(EEXIST, filesDirectory());
}
