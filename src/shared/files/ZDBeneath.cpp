#include "files/ZDBeneath.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

ZDBeneath::Fd ZDBeneath::openBase(const QString &folder)
{
    return Fd(::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

QStringList ZDBeneath::components(const QString &relative)
{
    QStringList parts;
    for (const QString &part : relative.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        if (part == QLatin1String("..") || part.contains(QChar(0)))
            return {};
        if (part != QLatin1String("."))
            parts << part;
    }
    return parts;
}

ZDBeneath::Fd ZDBeneath::makeFolders(int base, const QStringList &components, mode_t mode)
{
    const QByteArray whole = QFile::encodeName(components.join(QLatin1Char('/')));
    if (components.isEmpty())
        return Fd(::fcntl(base, F_DUPFD_CLOEXEC, 0));
#ifdef SYS_openat2
    // Where the kernel has it, one call checks the whole way when it already exists.
    open_how how{};
    how.flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    const long fd = ::syscall(SYS_openat2, base, whole.constData(), &how, sizeof how);
    if (fd >= 0)
        return Fd(int(fd));
    if (errno != ENOENT && errno != ENOSYS && errno != EPERM)
        return Fd();
#endif
    // Else component by component, making what is missing.
    Fd current(::fcntl(base, F_DUPFD_CLOEXEC, 0));
    for (const QString &component : components) {
        if (!current.isValid())
            return Fd();
        const QByteArray name = QFile::encodeName(component);
        if (::mkdirat(current.get(), name.constData(), mode) != 0 && errno != EEXIST)
            return Fd();
        current = Fd(::openat(current.get(), name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    }
    return current;
}

ZDBeneath::Fd ZDBeneath::replaceFile(int folder, const QString &name, mode_t mode)
{
    const QByteArray encoded = QFile::encodeName(name);
    if (name.isEmpty() || name.contains(QLatin1Char('/')) || name == QLatin1String(".") || name == QLatin1String("..")) {
        errno = EINVAL;
        return Fd();
    }
    struct stat st {};
    if (::fstatat(folder, encoded.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        if (S_ISDIR(st.st_mode)) {
            errno = EISDIR;
            return Fd();
        }
        if (::unlinkat(folder, encoded.constData(), 0) != 0)
            return Fd();
    }
    // O_EXCL: whatever appeared meanwhile, a link included, makes this fail.
    return Fd(::openat(folder, encoded.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
}
