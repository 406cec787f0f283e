#include "files/ZDFileAttributes.h"

#include <QByteArray>
#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <linux/fs.h>
#include <optional>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace {

// Reads, and with `set` changes, the immutable attribute: 0 or errno.
int immutableFlag(const QByteArray &path, bool *isSet, std::optional<bool> set = std::nullopt)
{
    struct stat st {};
    if (::stat(path.constData(), &st) != 0)
        return errno;
    // Opening anything else (a device, a pipe) could have effects of its own.
    if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode))
        return ENOTSUP;
    const int fd = ::open(path.constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return errno;
    int flags = 0;
    int err = 0;
    if (::ioctl(fd, FS_IOC_GETFLAGS, &flags) != 0) {
        err = errno;
    } else if (set) {
        int wanted = *set ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
        if (wanted != flags && ::ioctl(fd, FS_IOC_SETFLAGS, &wanted) != 0)
            err = errno;
        else
            flags = wanted;
    }
    ::close(fd);
    if (isSet)
        *isSet = (flags & FS_IMMUTABLE_FL) != 0;
    return err;
}

std::optional<mode_t> standInMode(const QByteArray &path)
{
    char value[16] = {};
    const ssize_t n = ::getxattr(path.constData(), ZDFileAttributes::lockAttribute, value, sizeof value - 1);
    if (n <= 0)
        return std::nullopt;
    bool ok = false;
    const int mode = QByteArray(value, int(n)).toInt(&ok, 8);
    return mode_t(ok ? (mode & 07777) : 0644);
}

} // namespace

bool ZDFileAttributes::isLocked(const QString &path)
{
    const QByteArray p = QFile::encodeName(path);
    bool set = false;
    return (immutableFlag(p, &set) == 0 && set) || standInMode(p).has_value();
}

int ZDFileAttributes::lock(const QString &path)
{
    if (isLocked(path))
        return 0;
    const QByteArray p = QFile::encodeName(path);
    const int err = immutableFlag(p, nullptr, true);
    if (err == 0)
        return 0;
    if (err != EPERM && err != EACCES && err != ENOTTY && err != EOPNOTSUPP && err != EINVAL)
        return err;
    struct stat st {};
    if (::stat(p.constData(), &st) != 0)
        return errno;
    const QByteArray mode = QByteArray::number(int(st.st_mode & 07777), 8);
    if (::setxattr(p.constData(), lockAttribute, mode.constData(), size_t(mode.size()), 0) != 0)
        return errno;
    if (::chmod(p.constData(), st.st_mode & 07777 & ~mode_t(0222)) != 0) {
        const int chmodError = errno;
        ::removexattr(p.constData(), lockAttribute);
        return chmodError;
    }
    return 0;
}

int ZDFileAttributes::unlock(const QString &path)
{
    const QByteArray p = QFile::encodeName(path);
    struct stat st {};
    if (::stat(p.constData(), &st) != 0)
        return errno;
    bool set = false;
    if (immutableFlag(p, &set) == 0 && set) {
        if (const int err = immutableFlag(p, nullptr, false))
            return err;
    }
    if (const auto mode = standInMode(p)) {
        if (::chmod(p.constData(), *mode) != 0 || ::removexattr(p.constData(), lockAttribute) != 0)
            return errno;
    }
    return 0;
}

int ZDFileAttributes::labelFlags(const QString &path)
{
    char value[16] = {};
    const ssize_t n = ::getxattr(QFile::encodeName(path).constData(), labelAttribute, value, sizeof value - 1);
    return n > 0 ? QByteArray(value, int(n)).toInt() : 0;
}

bool ZDFileAttributes::setLabelFlags(const QString &path, int flags)
{
    const QByteArray p = QFile::encodeName(path);
    if (flags == 0)
        return ::removexattr(p.constData(), labelAttribute) == 0 || errno == ENODATA;
    const QByteArray text = QByteArray::number(flags);
    return ::setxattr(p.constData(), labelAttribute, text.constData(), size_t(text.size()), 0) == 0;
}
