#include "ZDSystemCommand.h"

#include "rights/ZDAuthorization.h"

#include "files/ZDBeneath.h"
#include "platform/ZDNoFollow.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>

#include <cerrno>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ZDSystemCommand {

namespace {

constexpr int kMaxDepth = 128;
constexpr int kMaxEntries = 1000000;

QString bounded(const QByteArray &bytes, qsizetype max)
{
    return QString::fromUtf8(bytes.left(max));
}

bool emptyFolder(int folder, dev_t device, int depth, int &budget, QString *why)
{
    if (depth > kMaxDepth) {
        *why = QStringLiteral("folders nested deeper than %1").arg(kMaxDepth);
        return false;
    }
    const int copy = ::fcntl(folder, F_DUPFD_CLOEXEC, 0);
    DIR *dir = copy >= 0 ? ::fdopendir(copy) : nullptr;
    if (!dir) {
        if (copy >= 0)
            ::close(copy);
        *why = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    QList<QByteArray> names;
    while (const dirent *entry = ::readdir(dir)) {
        const QByteArray name(entry->d_name);
        if (name != "." && name != ".." && --budget > 0)
            names << name;
    }
    ::closedir(dir);
    bool ok = budget > 0;
    if (!ok)
        *why = QStringLiteral("more than %1 entries").arg(kMaxEntries);
    for (const QByteArray &name : names) {
        struct stat st {};
        if (::fstatat(folder, name.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0)
            continue;
        if (S_ISDIR(st.st_mode)) {
            if (st.st_dev != device) {
                *why = QStringLiteral("%1 is another file system, left alone").arg(QString::fromLocal8Bit(name));
                ok = false;
                continue;
            }
            const ZDOwnedFd sub(::openat(folder, name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (!sub.isValid() || !emptyFolder(sub.get(), device, depth + 1, budget, why)) {
                ok = false;
                continue;
            }
            if (::unlinkat(folder, name.constData(), AT_REMOVEDIR) != 0) {
                *why = QString::fromLocal8Bit(std::strerror(errno));
                ok = false;
            }
        } else if (::unlinkat(folder, name.constData(), 0) != 0) {
            *why = QString::fromLocal8Bit(std::strerror(errno));
            ok = false;
        }
    }
    return ok;
}

} // namespace

QString find(const QString &program)
{
    const QString path = program.startsWith(QLatin1Char('/')) ? program : QStandardPaths::findExecutable(program);
    if (path.isEmpty() || !QFileInfo(path).isExecutable())
        return {};
    const QString canonical = QFileInfo(path).canonicalFilePath();
    // Root runs only what root alone may change (a sticky folder such as /tmp on the way is fine).
    if (::geteuid() == 0 && ZDAuthorization::trustedPath(canonical).isEmpty())
        return {};
    return canonical;
}

Result run(const QString &program, const QStringList &arguments, int timeoutMs, qsizetype maxOutput)
{
    Result r;
    r.commandLine = (QStringList{program} + arguments).join(QLatin1Char(' '));
    const QString path = find(program);
    if (path.isEmpty()) {
        r.error = QStringLiteral("%1 is not installed").arg(program);
        return r;
    }
    r.found = true;
    QProcess process;
    process.setProcessChannelMode(QProcess::SeparateChannels);
    process.setStandardInputFile(QProcess::nullDevice());
    process.start(path, arguments);
    if (!process.waitForStarted(10000)) {
        r.error = QStringLiteral("%1 did not start").arg(program);
        return r;
    }
    QByteArray out, err;
    QDeadlineTimer deadline(timeoutMs);
    while (process.state() != QProcess::NotRunning && !deadline.hasExpired()) {
        process.waitForReadyRead(int(qMin<qint64>(deadline.remainingTime(), 1000)));
        out += process.readAllStandardOutput();
        err += process.readAllStandardError();
        if (out.size() > maxOutput)
            out.truncate(maxOutput);
        if (err.size() > 65536)
            err.truncate(65536);
    }
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished();
        r.error = QStringLiteral("%1 did not finish within %2 seconds").arg(program).arg(timeoutMs / 1000);
        return r;
    }
    out += process.readAllStandardOutput();
    err += process.readAllStandardError();
    r.output = bounded(out, maxOutput);
    r.error = bounded(err, 65536).trimmed();
    r.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    r.ok = r.exitCode == 0;
    if (!r.ok && r.error.isEmpty())
        r.error = QStringLiteral("%1 ended with status %2").arg(program).arg(r.exitCode);
    return r;
}

bool removeBeneath(const QString &trustedBase, const QString &relative, bool removeItself, QString *why)
{
    QString ignored;
    QString &reason = why ? *why : ignored;
    QStringList parts = ZDBeneath::components(relative);
    if (parts.isEmpty()) {
        reason = QStringLiteral("%1 is not a folder below %2").arg(relative, trustedBase);
        return false;
    }
    const ZDOwnedFd base(::open(QFile::encodeName(trustedBase).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!base.isValid())
        return errno == ENOENT;
    const QString last = parts.takeLast();
    const ZDOwnedFd parent = parts.isEmpty() ? ZDOwnedFd(::fcntl(base.get(), F_DUPFD_CLOEXEC, 0))
                                             : ZDNoFollow::openFolder(base.get(), parts.join(QLatin1Char('/')), false);
    if (!parent.isValid()) {
        if (errno == ENOENT)
            return true;
        reason = QStringLiteral("a link or file stands on the way to %1").arg(relative);
        return false;
    }
    const QByteArray name = QFile::encodeName(last);
    struct stat st {};
    if (::fstatat(parent.get(), name.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT;
    if (!S_ISDIR(st.st_mode)) {
        // A link or a file where the cache folder should be: the entry itself goes, nothing it points to.
        if (!removeItself)
            return true;
        return ::unlinkat(parent.get(), name.constData(), 0) == 0;
    }
    const ZDOwnedFd folder(::openat(parent.get(), name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!folder.isValid()) {
        reason = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    int budget = kMaxEntries;
    if (!emptyFolder(folder.get(), st.st_dev, 0, budget, &reason))
        return false;
    if (removeItself && ::unlinkat(parent.get(), name.constData(), AT_REMOVEDIR) != 0) {
        reason = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    return true;
}

} // namespace ZDSystemCommand
