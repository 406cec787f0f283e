#include "files/ZDFileTree.h"

#include <QDir>
#include <QFile>

#include <array>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <vector>

namespace {

// Deeper trees than this are refused rather than risking the stack.
constexpr int kMaxDepth = 2048;

struct Fd
{
    int fd = -1;
    explicit Fd(int f) : fd(f) {}
    ~Fd()
    {
        if (fd >= 0)
            ::close(fd);
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    int release()
    {
        const int f = fd;
        fd = -1;
        return f;
    }
};

struct DirCloser
{
    void operator()(DIR *d) const { ::closedir(d); }
};
using DirPtr = std::unique_ptr<DIR, DirCloser>;

QByteArray enc(const QString &path) { return QFile::encodeName(path); }
QString dec(const QByteArray &path) { return QFile::decodeName(path); }

// Names in a folder opened by descriptor; the descriptor is consumed.
bool listNames(int dirFd, std::vector<QByteArray> &names)
{
    DirPtr dir(::fdopendir(dirFd));
    if (!dir) {
        ::close(dirFd);
        return false;
    }
    errno = 0;
    while (dirent *e = ::readdir(dir.get())) {
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
            names.emplace_back(e->d_name);
    }
    return errno == 0;
}

ZDFileTree::Result removeAt(int parentFd, const QByteArray &name, const QByteArray &shownPath, int depth)
{
    struct stat st {};
    if (::fstatat(parentFd, name.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return ZDFileTree::Result::failure(errno, dec(shownPath));
    if (S_ISDIR(st.st_mode)) {
        if (depth > kMaxDepth)
            return ZDFileTree::Result::failure(ELOOP, dec(shownPath));
        Fd dirFd(::openat(parentFd, name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (dirFd.fd < 0)
            return ZDFileTree::Result::failure(errno, dec(shownPath));
        const int iterFd = ::fcntl(dirFd.fd, F_DUPFD_CLOEXEC, 0);
        std::vector<QByteArray> names;
        if (iterFd < 0 || !listNames(iterFd, names))
            return ZDFileTree::Result::failure(errno ? errno : EIO, dec(shownPath));
        for (const QByteArray &n : names) {
            auto r = removeAt(dirFd.fd, n, shownPath + '/' + n, depth + 1);
            if (!r.ok)
                return r;
        }
        if (::unlinkat(parentFd, name.constData(), AT_REMOVEDIR) != 0)
            return ZDFileTree::Result::failure(errno, dec(shownPath));
        return {};
    }
    if (::unlinkat(parentFd, name.constData(), 0) != 0)
        return ZDFileTree::Result::failure(errno, dec(shownPath));
    return {};
}

void copyAttributes(int fromFd, int toFd)
{
    std::array<char, 4096> names{};
    const ssize_t len = ::flistxattr(fromFd, names.data(), names.size());
    for (ssize_t i = 0; i < len;) {
        const char *name = names.data() + i;
        i += ssize_t(std::strlen(name)) + 1;
        if (std::strncmp(name, "user.", 5) != 0)
            continue;
        std::array<char, 4096> value{};
        const ssize_t vlen = ::fgetxattr(fromFd, name, value.data(), value.size());
        if (vlen >= 0)
            ::fsetxattr(toFd, name, value.data(), size_t(vlen), 0);
    }
}

void copyOwnerModeTimes(int toFd, const struct stat &st)
{
    // Ownership first: changing it clears set-id bits that the mode then restores.
    if (::geteuid() == 0 && ::fchown(toFd, st.st_uid, st.st_gid) != 0) {
        // Keeping the copier's ownership is the best that can be done.
    }
    ::fchmod(toFd, st.st_mode & 07777);
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    ::futimens(toFd, times);
}

struct Copier
{
    const ZDFileTree::Progress &progress;
    ZDFileTree::Totals done;

    bool report()
    {
        return !progress || progress(done);
    }

    ZDFileTree::Result copyItem(const QByteArray &from, const QByteArray &to, int depth)
    {
        struct stat st {};
        if (::lstat(from.constData(), &st) != 0)
            return ZDFileTree::Result::failure(errno, dec(from));
        if (depth > kMaxDepth)
            return ZDFileTree::Result::failure(ELOOP, dec(from));

        if (S_ISLNK(st.st_mode)) {
            std::vector<char> target(size_t(st.st_size > 0 ? st.st_size : PATH_MAX) + 1);
            const ssize_t n = ::readlink(from.constData(), target.data(), target.size() - 1);
            if (n < 0)
                return ZDFileTree::Result::failure(errno, dec(from));
            target[size_t(n)] = '\0';
            if (::symlink(target.data(), to.constData()) != 0)
                return ZDFileTree::Result::failure(errno, dec(to));
            if (::geteuid() == 0)
                ::lchown(to.constData(), st.st_uid, st.st_gid);
        } else if (S_ISDIR(st.st_mode)) {
            Fd src(::open(from.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (src.fd < 0)
                return ZDFileTree::Result::failure(errno, dec(from));
            // Listed before the copy exists, so a copy into the source itself ends.
            std::vector<QByteArray> names;
            const int iterFd = ::fcntl(src.fd, F_DUPFD_CLOEXEC, 0);
            if (iterFd < 0 || !listNames(iterFd, names))
                return ZDFileTree::Result::failure(errno ? errno : EIO, dec(from));
            if (::mkdir(to.constData(), 0700) != 0)
                return ZDFileTree::Result::failure(errno, dec(to));
            for (const QByteArray &n : names) {
                auto r = copyItem(from + '/' + n, to + '/' + n, depth + 1);
                if (!r.ok)
                    return r;
            }
            Fd dst(::open(to.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (dst.fd >= 0) {
                copyAttributes(src.fd, dst.fd);
                copyOwnerModeTimes(dst.fd, st);
            }
        } else if (S_ISREG(st.st_mode)) {
            Fd src(::open(from.constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
            if (src.fd < 0)
                return ZDFileTree::Result::failure(errno, dec(from));
            Fd dst(::open(to.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
            if (dst.fd < 0)
                return ZDFileTree::Result::failure(errno, dec(to));
            std::vector<char> buffer(1 << 20);
            for (;;) {
                const ssize_t n = ::read(src.fd, buffer.data(), buffer.size());
                if (n < 0 && errno == EINTR)
                    continue;
                if (n < 0)
                    return ZDFileTree::Result::failure(errno, dec(from));
                if (n == 0)
                    break;
                for (ssize_t off = 0; off < n;) {
                    const ssize_t w = ::write(dst.fd, buffer.data() + off, size_t(n - off));
                    if (w < 0 && errno == EINTR)
                        continue;
                    if (w < 0)
                        return ZDFileTree::Result::failure(errno, dec(to));
                    off += w;
                }
                done.bytes += n;
                if (!report())
                    return ZDFileTree::Result::failure(ECANCELED, dec(from));
            }
            copyAttributes(src.fd, dst.fd);
            copyOwnerModeTimes(dst.fd, st);
            if (::close(dst.release()) != 0)
                return ZDFileTree::Result::failure(errno, dec(to));
        } else {
            // Devices, pipes and sockets are not files to copy.
            return ZDFileTree::Result::failure(ENOTSUP, dec(from));
        }
        ++done.objects;
        if (!report())
            return ZDFileTree::Result::failure(ECANCELED, dec(from));
        return {};
    }
};

void measureInto(const QByteArray &path, ZDFileTree::Totals &t, int depth)
{
    struct stat st {};
    if (::lstat(path.constData(), &st) != 0)
        return;
    ++t.objects;
    if (!S_ISDIR(st.st_mode)) {
        t.bytes += st.st_size;
        return;
    }
    if (depth > kMaxDepth)
        return;
    const int fd = ::open(path.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    std::vector<QByteArray> names;
    if (fd < 0 || !listNames(fd, names))
        return;
    for (const QByteArray &n : names)
        measureInto(path + '/' + n, t, depth + 1);
}

} // namespace

QString ZDFileTree::Result::description() const
{
    const QString why = text.isEmpty() ? QString::fromLocal8Bit(std::strerror(error)) : text;
    return path.isEmpty() ? why : path + QStringLiteral(": ") + why;
}

ZDFileTree::Result ZDFileTree::Result::failure(int err, const QString &path)
{
    return {false, err, path, {}};
}

ZDFileTree::Result ZDFileTree::Result::failure(const QString &text, const QString &path)
{
    return {false, 0, path, text};
}

bool ZDFileTree::exists(const QString &path)
{
    struct stat st {};
    return !path.isEmpty() && ::lstat(enc(path).constData(), &st) == 0;
}

ZDFileTree::Totals ZDFileTree::measure(const QString &path)
{
    Totals t;
    if (!path.isEmpty())
        measureInto(enc(QDir::cleanPath(path)), t, 0);
    return t;
}

ZDFileTree::Result ZDFileTree::remove(const QString &path)
{
    if (path.isEmpty())
        return Result::failure(ENOENT, path);
    const QString clean = QDir::cleanPath(QDir(path).absolutePath());
    if (clean == QLatin1String("/"))
        return Result::failure(EBUSY, clean);
    const int slash = int(clean.lastIndexOf(QLatin1Char('/')));
    const QByteArray parent = enc(slash == 0 ? QStringLiteral("/") : clean.left(slash));
    const QByteArray name = enc(clean.mid(slash + 1));
    Fd parentFd(::open(parent.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (parentFd.fd < 0)
        return Result::failure(errno, clean);
    return removeAt(parentFd.fd, name, enc(clean), 0);
}

ZDFileTree::Result ZDFileTree::copy(const QString &from, const QString &to, const Progress &progress)
{
    if (from.isEmpty() || to.isEmpty())
        return Result::failure(EINVAL, from);
    const QByteArray dst = enc(QDir::cleanPath(to));
    struct stat st {};
    if (::lstat(dst.constData(), &st) == 0)
        return Result::failure(EEXIST, dec(dst));
    Copier copier{progress, {}};
    auto r = copier.copyItem(enc(QDir::cleanPath(from)), dst, 0);
    if (!r.ok && ::lstat(dst.constData(), &st) == 0)
        remove(dec(dst));
    return r;
}

ZDFileTree::Result ZDFileTree::move(const QString &from, const QString &to)
{
    if (from.isEmpty() || to.isEmpty())
        return Result::failure(EINVAL, from);
    const QByteArray src = enc(from);
    const QByteArray dst = enc(to);
    if (::renameat2(AT_FDCWD, src.constData(), AT_FDCWD, dst.constData(), RENAME_NOREPLACE) == 0)
        return {};
    int err = errno;
    if (err == EINVAL || err == ENOSYS) {
        // A file system without no-replace renames: check, then rename.
        if (exists(to))
            return Result::failure(EEXIST, to);
        if (::rename(src.constData(), dst.constData()) == 0)
            return {};
        err = errno;
    }
    if (err != EXDEV)
        return Result::failure(err, err == EEXIST ? to : from);
    auto copied = copy(from, to);
    if (!copied.ok)
        return copied;
    return remove(from);
}

QString ZDFileTree::lastComponent(const QString &path)
{
    QString p = path;
    while (p.size() > 1 && p.endsWith(QLatin1Char('/')))
        p.chop(1);
    const qsizetype slash = p.lastIndexOf(QLatin1Char('/'));
    return (slash < 0 || p == QLatin1String("/")) ? p : p.mid(slash + 1);
}

QString ZDFileTree::extension(const QString &path)
{
    const QString name = lastComponent(path);
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    if (dot <= 0 || dot == name.size() - 1)
        return {};
    return name.mid(dot + 1);
}

QString ZDFileTree::deletingExtension(const QString &path)
{
    const QString ext = extension(path);
    if (ext.isEmpty())
        return path;
    QString p = path;
    while (p.size() > 1 && p.endsWith(QLatin1Char('/')))
        p.chop(1);
    return p.left(p.size() - ext.size() - 1);
}

QString ZDFileTree::join(const QString &base, const QString &name)
{
    // Joins without resolving "..": the caller's path is taken as written.
    QString b = base;
    while (b.size() > 1 && b.endsWith(QLatin1Char('/')))
        b.chop(1);
    QString n = name;
    while (n.startsWith(QLatin1Char('/')))
        n.remove(0, 1);
    if (b.isEmpty())
        return name;
    if (n.isEmpty())
        return b;
    return b == QLatin1String("/") ? b + n : b + QLatin1Char('/') + n;
}
