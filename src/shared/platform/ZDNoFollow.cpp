#include "platform/ZDNoFollow.h"

#include <QFile>

#include <algorithm>
#include <cerrno>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

ZDOwnedFd &ZDOwnedFd::operator=(ZDOwnedFd &&other) noexcept
{
    if (this != &other) {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = other.release();
    }
    return *this;
}

ZDOwnedFd::~ZDOwnedFd()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

namespace ZDNoFollow {

namespace {

constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

bool plainName(const QByteArray &name)
{
    return !name.isEmpty() && name != "." && name != ".." && !name.contains('/');
}

} // namespace

ZDOwnedFd openFolder(int base, const QString &relative, bool create, mode_t mode, std::optional<Owner> owner)
{
    ZDOwnedFd current(::fcntl(base, F_DUPFD_CLOEXEC, 0));
    if (!current.isValid())
        return {};
    for (const QString &part : relative.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        const QByteArray name = QFile::encodeName(part);
        if (!plainName(name)) {
            errno = EINVAL;
            return {};
        }
        int next = ::openat(current.get(), name.constData(), kFolderFlags);
        if (next < 0 && errno == ENOENT && create) {
            const bool made = ::mkdirat(current.get(), name.constData(), mode) == 0;
            if (!made && errno != EEXIST)
                return {};
            // Opened again without following: a link swapped in meanwhile is refused.
            next = ::openat(current.get(), name.constData(), kFolderFlags);
            if (next >= 0 && made && owner && ::fchown(next, owner->uid, owner->gid) != 0) {
                ::close(next);
                return {};
            }
        }
        if (next < 0)
            return {};
        current = ZDOwnedFd(next);
    }
    return current;
}

ZDOwnedFd openFolder(const QString &trustedBase, const QString &relative, bool create, mode_t mode,
                     std::optional<Owner> owner)
{
    const ZDOwnedFd base(::open(QFile::encodeName(trustedBase).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!base.isValid())
        return {};
    return openFolder(base.get(), relative, create, mode, owner);
}

ZDOwnedFd createFile(int folder, const QString &name, mode_t mode, std::optional<Owner> owner)
{
    const QByteArray n = QFile::encodeName(name);
    if (!plainName(n)) {
        errno = EINVAL;
        return {};
    }
    ZDOwnedFd fd(::openat(folder, n.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
    if (fd.isValid() && owner && ::fchown(fd.get(), owner->uid, owner->gid) != 0) {
        ::unlinkat(folder, n.constData(), 0);
        return {};
    }
    return fd;
}

ZDOwnedFd openRegularFile(int folder, const QString &name)
{
    const QByteArray n = QFile::encodeName(name);
    if (!plainName(n)) {
        errno = EINVAL;
        return {};
    }
    // Non-blocking: a FIFO planted under the name must not hold the reader.
    ZDOwnedFd fd(::openat(folder, n.constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    struct stat st {};
    if (!fd.isValid() || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
        return {};
    return fd;
}

QStringList regularFiles(int folder, const QString &suffix, int limit)
{
    QStringList names;
    const int copy = ::fcntl(folder, F_DUPFD_CLOEXEC, 0);
    if (copy < 0)
        return names;
    DIR *dir = ::fdopendir(copy);
    if (!dir) {
        ::close(copy);
        return names;
    }
    // Bounded: a folder another user fills must not hold the reader.
    int seen = 0;
    const int maxSeen = std::max(limit, 0) * 16 + 1024;
    while (const dirent *entry = ::readdir(dir)) {
        if (++seen > maxSeen)
            break;
        const QString name = QFile::decodeName(entry->d_name);
        struct stat st {};
        if (!name.endsWith(suffix) || ::fstatat(folder, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0
            || !S_ISREG(st.st_mode))
            continue;
        names << name;
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end());
    if (names.size() > limit)
        names.resize(limit);
    return names;
}

} // namespace ZDNoFollow
