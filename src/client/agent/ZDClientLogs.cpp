#include "agent/ZDClientLogs.h"

#include "platform/ZDLocalPaths.h"
#include "log/ZDLog.h"

#include <QDir>
#include <QFileInfo>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr qsizetype kMaxRequestedPath = 4096;

// Reads at most `limit` bytes of a regular file, never following a link; the
// tail when the file is bigger, starting at a line. Null on failure.
QByteArray readTail(const QString &path, qint64 limit)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return {};
    struct Closer { int fd; ~Closer() { ::close(fd); } } closer{fd};
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        return {};
    const qint64 size = st.st_size;
    const bool cut = size > limit;
    if (cut && ::lseek(fd, off_t(size - limit), SEEK_SET) < 0)
        return {};
    QByteArray data(qsizetype(std::min(size, limit)), Qt::Uninitialized);
    qsizetype done = 0;
    while (done < data.size()) {
        const ssize_t n = ::read(fd, data.data() + done, size_t(data.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return {};
        if (n == 0)
            break;
        done += n;
    }
    data.truncate(done);
    if (data.isNull())
        data = QByteArray("");
    if (cut) {
        const qsizetype newline = data.indexOf('\n');
        if (newline >= 0)
            data.remove(0, newline + 1);
    }
    return data;
}

} // namespace

ZDClientLogs::ZDClientLogs(std::function<void(const QString &)> postErrorString)
    : m_postErrorString(std::move(postErrorString))
{
}

QList<ZDClientLogs::Folder> ZDClientLogs::folders()
{
    // The crash handler writes to DiagnosticReports; CrashReporter holds older reports.
    QList<Folder> result;
    for (bool user : {true, false}) {
        const QString logs = ZDLocalPaths::logDirectory(user);
        result << Folder{logs + QStringLiteral("/Zendrel"), false}
               << Folder{logs + QStringLiteral("/CrashReporter"), true}
               << Folder{logs + QStringLiteral("/DiagnosticReports"), true};
    }
    return result;
}

QStringList ZDClientLogs::filesIn(const QString &folder, bool crashLogs)
{
    // Links are left out: a link in a log folder, or a log folder that is a link, may
    // point anywhere (and the agent may run as root over a user's folder).
    if (QFileInfo(folder).isSymLink())
        return {};
    const QStringList filters = crashLogs ? QStringList{QStringLiteral("KestraClient_*.crash")}
                                          : QStringList{QStringLiteral("*.log")};
    const QFileInfoList entries =
        QDir(folder).entryInfoList(filters, QDir::Files | QDir::NoSymLinks | QDir::Hidden, QDir::Name);
    QStringList result;
    for (const QFileInfo &entry : entries) {
        if (result.size() >= kMaxFilesPerFolder)
            break;
        result << entry.absoluteFilePath();
    }
    return result;
}

QStringList ZDClientLogs::populateZDLogFilenames() const
{
    QStringList result;
    for (const Folder &folder : folders())
        result << filesIn(folder.path, folder.crashLogs);
    return result;
}

QString ZDClientLogs::listedFile(const QString &path) const
{
    if (path.isEmpty() || path.size() > kMaxRequestedPath || path.contains(QChar(0)))
        return {};
    const QString wanted = QFileInfo(path).canonicalFilePath();
    if (wanted.isEmpty())
        return {};
    for (const QString &listed : populateZDLogFilenames())
        if (QFileInfo(listed).canonicalFilePath() == wanted)
            return wanted;
    return {};
}

QVariant ZDClientLogs::readListed(const QString &path, const char *missingText) const
{
    const QString file = listedFile(path);
    // Anything not listed is answered as missing, so the answer tells nothing about other files.
    if (file.isEmpty()) {
        if (m_postErrorString)
            m_postErrorString(zdFormat(QString::fromLatin1(missingText), path.left(kMaxRequestedPath)));
        return {};
    }
    const QByteArray data = readTail(file, kMaxFileBytes);
    if (data.isNull()) {
        ZDLog::appendLog(QStringLiteral("Unable to read log %@."), file);
        return {};
    }
    return QString::fromUtf8(data);
}

QVariant ZDClientLogs::logWithFilename(const QString &path) const
{
    return readListed(path, "Unable to get log %@ - file doesn't exist.");
}

QVariant ZDClientLogs::fcsCrashLog(const QString &path) const
{
    return readListed(path, "Unable to load crash log for file %@ - file doesn't exist");
}

QVariant ZDClientLogs::gatherLogs(const std::atomic<bool> &processingCancelled) const
{
    ZDLog::appendLog(QStringLiteral("Gathering logs..."));
    QVariantMap result;
    qint64 total = 0;
    bool full = false;
    for (const Folder &folder : folders()) {
        if (full)
            break;
        if (processingCancelled)
            return {};
        for (const QString &file : filesIn(folder.path, folder.crashLogs)) {
            if (processingCancelled)
                return {};
            const QByteArray data = readTail(file, kMaxFileBytes);
            if (data.isNull())
                continue;
            if (total + data.size() > kMaxGatherBytes) {
                ZDLog::appendLog(QStringLiteral("Logs exceed %@ bytes. Remaining logs left out."), kMaxGatherBytes);
                full = true;
                break;
            }
            total += data.size();
            result.insert(file, data);
        }
    }
    if (result.isEmpty()) {
        ZDLog::appendLog(QStringLiteral("No logs found."));
        return {};
    }
    return result;
}
