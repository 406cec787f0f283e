#include "rights/ZDAuthorization.h"

#include "rights/ZDAdministratorCredentials.h"
#include "platform/ZDLocalPaths.h"
#include "log/ZDLog.h"
#include "log/ZDSystemLog.h"
#include "process/ZDTaskEx.h"
#include "files/ZDTrash.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString kRemove = QStringLiteral("/bin/rm");
const QString kMove = QStringLiteral("/bin/mv");
const QString kCopy = QStringLiteral("/bin/cp");
const QString kMakeDir = QStringLiteral("/bin/mkdir");
const QString kTrue = QStringLiteral("/bin/true");
const QString kPkexec = QStringLiteral("/usr/bin/pkexec");

const QString kInvalidCredentials = QStringLiteral("Authorization failed. Invalid username or password");

void report(const QString &message)
{
    zdSystemLog(message);
    ZDLog::appendLog(message);
}

// --- Paths.

QString cleanAbsolute(const QString &path)
{
    if (path.isEmpty())
        return {};
    return QDir::cleanPath(QDir::isAbsolutePath(path) ? path : QDir::current().absoluteFilePath(path));
}

// False only when the path surely does not exist; a folder we may not look
// into is left for the privileged tool to judge.
bool mayExist(const QString &path)
{
    struct stat st {};
    if (::lstat(QFile::encodeName(path).constData(), &st) == 0)
        return true;
    return errno != ENOENT && errno != ENOTDIR;
}

bool existsHere(const QString &path)
{
    struct stat st {};
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0;
}

// Creates the missing folders of a path; as root, inside someone's home, they
// belong to the owner of the nearest existing folder above them.
bool makeFoldersLike(const QString &path)
{
    QStringList missing;
    QString existing = path;
    while (!existsHere(existing) && existing != QLatin1String("/")) {
        missing.prepend(existing);
        existing = QFileInfo(existing).path();
    }
    struct stat owner {};
    if (::stat(QFile::encodeName(existing).constData(), &owner) != 0)
        return false;
    for (const QString &folder : missing) {
        const QByteArray f = QFile::encodeName(folder);
        if (::mkdir(f.constData(), 0700) != 0 && errno != EEXIST)
            return false;
        if (ZDLocalPaths::isRoot() && ::chown(f.constData(), owner.st_uid, owner.st_gid) != 0)
            return false;
    }
    return true;
}

// "<name without extension>_<date>.<extension>"; a leading dot starts a name, not an extension.
QString datedName(const QString &name, const QString &date, int attempt)
{
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    const bool hasExtension = dot > 0;
    const QString base = hasExtension ? name.left(dot) : name;
    const QString extension = hasExtension ? name.mid(dot + 1) : QString();
    // Matches the unprivileged Trash, so both kinds of trashing name alike.
    const QString suffix = attempt > 1 ? QStringLiteral(" %1").arg(attempt) : QString();
    return base + QLatin1Char('_') + date + suffix + QLatin1Char('.') + extension;
}

// The record that lets a desktop put a trashed item back; best effort.
QString writeTrashInfo(const QString &trash, const QString &trashedName, const QString &originalPath)
{
    const QString infoPath = trash + QStringLiteral("/info/") + trashedName + QStringLiteral(".trashinfo");
    const QByteArray record = ZDTrash::trashInfo(originalPath, QDateTime::currentDateTime());
    const QByteArray encoded = QFile::encodeName(infoPath);
    const int fd = ::open(encoded.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        return {};
    const bool written = ::write(fd, record.constData(), size_t(record.size())) == record.size();
    // The record belongs to the Trash's owner, not to root.
    struct stat folder {};
    if (ZDLocalPaths::isRoot() && ::stat(QFile::encodeName(trash + QStringLiteral("/info")).constData(), &folder) == 0) {
        [[maybe_unused]] const int ignored = ::fchown(fd, folder.st_uid, folder.st_gid);
    }
    ::close(fd);
    if (!written) {
        ::unlink(encoded.constData());
        return {};
    }
    return infoPath;
}

struct RunResult
{
    bool started = false;
    int exitStatus = -1;
};

} // namespace

struct ZDAuthorization::Private
{
    bool hasGUI = false;
    QString userDirectory;

    mutable std::mutex lock;
    std::shared_ptr<const ZDAdministratorCredentials> credentials;
    bool polkit = false;

    std::shared_ptr<const ZDAdministratorCredentials> heldCredentials() const
    {
        std::lock_guard guard(lock);
        return credentials;
    }
    bool authorized() const
    {
        std::lock_guard guard(lock);
        return credentials || polkit;
    }

    // Runs a tool as root. Waiting, the result carries its exit status.
    RunResult run(const QString &tool, const QStringList &arguments, bool wait)
    {
        RunResult result;
        if (ZDLocalPaths::isRoot()) {
            result.started = true;
            if (wait) {
                result.exitStatus = ZDTaskEx::terminationCodeFromTask(tool, arguments);
                result.started = result.exitStatus >= 0;
            } else {
                ZDTaskEx::runTaskAndReturn(tool, arguments);
                result.exitStatus = 0;
            }
            return result;
        }
        if (const auto held = heldCredentials()) {
            ZDAdministratorCredentials::Start start = held->startAsRoot(tool, arguments);
            if (start.outcome != ZDAdministratorCredentials::Outcome::Started) {
                // Refused now (the password changed, say): the next run asks anew.
                std::lock_guard guard(lock);
                if (credentials == held)
                    credentials.reset();
                return result;
            }
            result.started = true;
            if (wait) {
                start.terminal->drain();
                result.exitStatus = start.terminal->wait();
            } else {
                // The terminal must be read to its end and the child reaped.
                std::thread([terminal = std::move(start.terminal)] {
                    terminal->drain();
                    terminal->wait();
                }).detach();
                result.exitStatus = 0;
            }
            return result;
        }
        bool viaPolkit = false;
        {
            std::lock_guard guard(lock);
            viaPolkit = polkit;
        }
        if (viaPolkit) {
            QStringList pkexecArguments {tool};
            pkexecArguments += arguments;
            if (wait) {
                const int status = ZDTaskEx::terminationCodeFromTask(kPkexec, pkexecArguments);
                // pkexec's own codes for "not authorized" and "could not ask".
                result.started = status >= 0 && status != 126 && status != 127;
                result.exitStatus = status;
            } else {
                ZDTaskEx::runTaskAndReturn(kPkexec, pkexecArguments);
                result.started = true;
                result.exitStatus = 0;
            }
        }
        return result;
    }

    // File operations wait for their tool, so callers see the effect at once.
    bool runFileTool(ZDAuthorization &self, const QString &tool, const QStringList &arguments)
    {
        if (!self.isAuthorized() && !self.authStart())
            return false;
        const RunResult r = run(tool, arguments, true);
        return r.started && r.exitStatus == 0;
    }
};

ZDAuthorization &ZDAuthorization::sharedController(Dialog dialog)
{
    static ZDAuthorization instance(dialog);
    return instance;
}

ZDAuthorization::ZDAuthorization(Dialog dialog) : d(std::make_unique<Private>())
{
    d->hasGUI = dialog == Dialog::Allowed;
    if (!ZDLocalPaths::isRoot())
        d->userDirectory = ZDLocalPaths::userDirectory();
}

ZDAuthorization::~ZDAuthorization()
{
    authEnd();
}

bool ZDAuthorization::isAuthorized() const
{
    return ZDLocalPaths::isRoot() || d->authorized();
}

bool ZDAuthorization::canAuthorize() const
{
    return d->hasGUI || ZDLocalPaths::isRoot();
}

bool ZDAuthorization::hasGUI() const
{
    return d->hasGUI;
}

QString ZDAuthorization::userDirectory() const
{
    return d->userDirectory;
}

bool ZDAuthorization::authStart()
{
    if (isAuthorized())
        return true;
    if (!d->hasGUI || ::access(QFile::encodeName(kPkexec).constData(), X_OK) != 0) {
        report(QStringLiteral("Unable to authorize"));
        return false;
    }
    // Asks the person at the screen now rather than at the first operation.
    if (ZDTaskEx::terminationCodeFromTask(kPkexec, {kTrue}) != 0) {
        report(QStringLiteral("Unable to authorize"));
        return false;
    }
    std::lock_guard guard(d->lock);
    d->polkit = true;
    return true;
}

bool ZDAuthorization::authStartWithUser(const QString &username, const QString &password)
{
    if (ZDLocalPaths::isRoot())
        return true;
    if (username.isEmpty() || password.isEmpty())
        return false;
    auto credentials = std::make_shared<const ZDAdministratorCredentials>(username, password);
    ZDAdministratorCredentials::Start check = credentials->startAsRoot(kTrue, {});
    if (check.outcome == ZDAdministratorCredentials::Outcome::NoTerminal) {
        report(QStringLiteral("Unable to create authRef - error %1").arg(check.error));
        authEnd();
        return false;
    }
    const bool started = check.outcome == ZDAdministratorCredentials::Outcome::Started;
    if (started)
        check.terminal->drain();
    if (!started || check.terminal->wait() != 0) {
        authEnd();
        report(kInvalidCredentials);
        return false;
    }
    std::lock_guard guard(d->lock);
    d->credentials = std::move(credentials);
    return true;
}

void ZDAuthorization::authEnd()
{
    // The password is wiped once the last run using it lets go.
    std::lock_guard guard(d->lock);
    d->credentials.reset();
    d->polkit = false;
}

bool ZDAuthorization::validateAdministrator(const QString &username, const QString &password)
{
    const ZDAdministratorCredentials credentials(username, password);
    return ZDLocalPaths::isRoot() ? credentials.checkAsRoot() : credentials.checkThroughSu();
}

QString ZDAuthorization::trustedPath(const QString &path, QString *reason)
{
    const auto refuse = [reason](const QString &why) {
        if (reason)
            *reason = why;
        return QString();
    };
    if (path.isEmpty() || !QDir::isAbsolutePath(path))
        return refuse(QStringLiteral("not an absolute path"));
    // Resolved first, so that a link cannot lead the check past a folder it never saw.
    char resolved[PATH_MAX] = {};
    if (!::realpath(QFile::encodeName(path).constData(), resolved))
        return refuse(QString::fromLocal8Bit(std::strerror(errno)));
    const QByteArray canonical(resolved);
    QList<QByteArray> steps {QByteArray("/")};
    for (const QByteArray &name : canonical.split('/'))
        if (!name.isEmpty())
            steps << (steps.constLast() == "/" ? QByteArray("/") : steps.constLast() + '/') + name;
    for (qsizetype i = 0; i < steps.size(); ++i) {
        struct stat st {};
        const QString shown = QFile::decodeName(steps.at(i));
        if (::lstat(steps.at(i).constData(), &st) != 0)
            return refuse(QString::fromLocal8Bit(std::strerror(errno)));
        if (S_ISLNK(st.st_mode))
            return refuse(QStringLiteral("%1 became a link while it was checked").arg(shown));
        // Root only: whatever the agent's own user may change, anything running as that user may change.
        if (st.st_uid != 0)
            return refuse(QStringLiteral("%1 belongs to user %2").arg(shown).arg(st.st_uid));
        const bool sticky = S_ISDIR(st.st_mode) && (st.st_mode & S_ISVTX);
        if ((st.st_mode & (S_IWGRP | S_IWOTH)) && (i == steps.size() - 1 || !sticky))
            return refuse(QStringLiteral("others may write to %1").arg(shown));
    }
    return QFile::decodeName(canonical);
}

// --- Operations.

bool ZDAuthorization::authRemoveFile(const QString &path)
{
    const QString p = cleanAbsolute(path);
    if (p.isEmpty())
        return false;
    if (ZDLocalPaths::isPathSystemDirectory(p, true)) {
        report(QStringLiteral("Unable to delete path %1 because it is a system directory.").arg(p));
        return false;
    }
    return d->runFileTool(*this, kRemove, {QStringLiteral("-Rdf"), p});
}

bool ZDAuthorization::authTrashFile(const QString &path, RootTrash onRoot)
{
    const QString p = cleanAbsolute(path);
    if (p.isEmpty())
        return false;
    if (ZDLocalPaths::isPathSystemDirectory(p, true)) {
        report(QStringLiteral("Unable to trash path %1 because it is a system directory.").arg(p));
        return false;
    }
    const bool root = ZDLocalPaths::isRoot();
    if (root && d->userDirectory.isEmpty() && onRoot == RootTrash::Delete)
        return authRemoveFile(p);

    const QString trash = root && !d->userDirectory.isEmpty()
        ? d->userDirectory + QStringLiteral("/.local/share/Trash")
        : ZDLocalPaths::trashDirectory();
    if (!makeFoldersLike(trash + QStringLiteral("/files")) || !makeFoldersLike(trash + QStringLiteral("/info")))
        return false;

    const QString name = QFileInfo(p).fileName();
    QString trashedName = name;
    const QString date = QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMddHHmmss"));
    auto taken = [&trash](const QString &n) {
        return existsHere(trash + QStringLiteral("/files/") + n)
            || existsHere(trash + QStringLiteral("/info/") + n + QStringLiteral(".trashinfo"));
    };
    // Within the same second the dated name can be taken too; never overwrite.
    for (int attempt = 1; taken(trashedName); ++attempt)
        trashedName = datedName(name, date, attempt);

    const QString info = writeTrashInfo(trash, trashedName, p);
    const bool moved = authMoveFile(p, trash + QStringLiteral("/files/") + trashedName);
    if (!moved && !info.isEmpty())
        QFile::remove(info);
    return moved;
}

bool ZDAuthorization::authTrashFolderContents(const QString &path, RootTrash onRoot)
{
    const QString p = cleanAbsolute(path);
    if (p.isEmpty())
        return false;
    if (ZDLocalPaths::isPathSystemDirectory(p, true)) {
        report(QStringLiteral("Unable to trash folder contents of path %1 because it is a system directory.").arg(p));
        return false;
    }
    const QStringList entries =
        QDir(p).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    bool all = true;
    for (const QString &entry : entries) {
        const QString item = p + QLatin1Char('/') + entry;
        if (ZDLocalPaths::isRoot() && onRoot == RootTrash::Delete)
            all = d->runFileTool(*this, kRemove, {QStringLiteral("-R"), QStringLiteral("-f"), item}) && all;
        else
            all = authTrashFile(item, onRoot) && all;
    }
    return all;
}

bool ZDAuthorization::authMoveFolderContents(const QString &path, const QString &toPath)
{
    const QString p = cleanAbsolute(path);
    const QString to = cleanAbsolute(toPath);
    if (p.isEmpty() || to.isEmpty())
        return false;
    if (ZDLocalPaths::isPathSystemDirectory(p, true)) {
        report(QStringLiteral("Unable to move contents of path %1 because it is a system directory.").arg(p));
        return false;
    }
    const QStringList entries =
        QDir(p).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    bool all = true;
    for (const QString &entry : entries)
        all = authMoveFile(p + QLatin1Char('/') + entry, to + QLatin1Char('/') + entry) && all;
    return all;
}

bool ZDAuthorization::authMoveFile(const QString &path, const QString &toPath)
{
    if (path.isEmpty()) {
        report(QStringLiteral("Error in authMoveFile: old path is null"));
        return false;
    }
    if (toPath.isEmpty()) {
        report(QStringLiteral("Error in authMoveFile: new path is null"));
        return false;
    }
    const QString from = cleanAbsolute(path);
    if (ZDLocalPaths::isPathSystemDirectory(from, true)) {
        report(QStringLiteral("Unable to move path %1 because it is a system directory.").arg(from));
        return false;
    }
    if (!mayExist(from))
        return false;
    return d->runFileTool(*this, kMove, {QStringLiteral("-f"), from, cleanAbsolute(toPath)});
}

bool ZDAuthorization::authCopyFile(const QString &path, const QString &toPath)
{
    if (path.isEmpty()) {
        report(QStringLiteral("Error in authCopyFile: old path is null"));
        return false;
    }
    if (toPath.isEmpty()) {
        report(QStringLiteral("Error in authCopyFile: new path is null"));
        return false;
    }
    const QString from = cleanAbsolute(path);
    if (!mayExist(from))
        return false;
    return d->runFileTool(*this, kCopy,
                       {QStringLiteral("-f"), QStringLiteral("-p"), QStringLiteral("-R"), from, cleanAbsolute(toPath)});
}

bool ZDAuthorization::authCreateDir(const QString &path)
{
    const QString p = cleanAbsolute(path);
    if (p.isEmpty())
        return false;
    return d->runFileTool(*this, kMakeDir, {QStringLiteral("-p"), p});
}

ZDAuthorization::ExecResult ZDAuthorization::authExecTask(const QString &path, const QStringList &parameters,
                                                          Launch launch)
{
    if (path.isEmpty() || !mayExist(path)) {
        report(QStringLiteral("Unable to execute task: path %1 doesn't exist").arg(path));
        return ExecResult::ToolMissing;
    }
    // A tool others could replace never runs as root; it counts as missing.
    QString untrusted;
    const QString program = trustedPath(path, &untrusted);
    if (program.isEmpty()) {
        report(QStringLiteral("Unable to execute task: path %1 is not protected (%2)").arg(path, untrusted));
        return ExecResult::ToolMissing;
    }
    const bool wait = launch == Launch::Waited;
    if (ZDLocalPaths::isRoot()) {
        if (wait)
            ZDTaskEx::runTask(program, parameters);
        else
            ZDTaskEx::runTaskAndReturn(program, parameters);
        return ExecResult::Started;
    }
    if (!isAuthorized() && !authStart())
        return ExecResult::NoRights;
    return d->run(program, parameters, wait).started ? ExecResult::Started : ExecResult::NoRights;
}
