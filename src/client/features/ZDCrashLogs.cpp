#include "features/ZDCrashLogs.h"

#include "catalog/ZDApplicationTables.h"
#include "rights/ZDAuthorization.h"
#include "agent/ZDCallbackRegistry.h"
#include "agent/ZDClientTasks.h"
#include "files/ZDFileManager.h"
#include "platform/ZDLocalPaths.h"
#include "log/ZDApportRecord.h"
#include "log/ZDLog.h"
#include "bus/ZDNotificationCenter.h"
#include "rpc/ZDOrvProtocol.h"
#include "process/ZDTaskEx.h"
#include "process/ZDThreads.h"
#include "agent/ZDToolCatalog.h"
#include "platform/ZDBoundedRead.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTimeZone>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr const char *kCrashLogsSinceDate = "crashLogsSinceDate:delegate:";
constexpr const char *kGetDefinition = "quellarGetDefinition:";
constexpr const char *kRemoveLog = "quellarRemoveLogFilename:";
constexpr const char *kSubmitLog = "quellarSubmitCrashLog:comment:";
constexpr const char *kConsolidate = "consolidateCrashLogs:";
constexpr qsizetype kMaxRequestedPath = 4096;
// apport writes the executable and the date first; the rest is not needed to name the record.
constexpr qint64 kApportHeadBytes = 64 * 1024;

const QStringList &prefixes()
{
    // The catalogue's applications (their prefixes, then "<executable>_"), then the
    // suite's own programs (our crash handler's names).
    static const QStringList list = [] {
        QStringList all;
        for (const ZDApplicationTables::App &app : ZDApplicationTables::catalogueApplications())
            all << app.crashPrefixes;
        for (const ZDApplicationTables::App &app : ZDApplicationTables::catalogueApplications()) {
            for (const QString &name : app.crashNames)
                all << name + QLatin1Char('_');
        }
        all << QStringLiteral("KestraClient_") << QStringLiteral("KestraAdmin_") << QStringLiteral("KestraClientListener_")
            << QStringLiteral("ZDUpdater_") << QStringLiteral("KestraAdminUninstaller_") << QStringLiteral("kestra_");
        all.removeDuplicates();
        return all;
    }();
    return list;
}

// The executable of a system crash record's name ("_usr_bin_blender.1000.crash"), else empty.
QString systemRecordExecutable(const QString &fileName)
{
    static const QRegularExpression record(QStringLiteral("^_(?:[^/]*_)?([^_/]+?)(?:\\.\\d+)?\\.crash$"));
    const QRegularExpressionMatch m = record.match(fileName);
    return m.hasMatch() ? m.captured(1) : QString();
}

QByteArray readFile(const QString &path, qint64 limit)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return {};
    QFile file;
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return {};
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        return {};
    QByteArray data = ZDBoundedRead::upTo(file, limit);
    if (data.isNull())
        data = QByteArray("");
    return data;
}

} // namespace

ZDCrashLogs::ZDCrashLogs(ZDClientTasks &tasks, ZDCallbackRegistry &registry, ZDNotificationCenter *center, Hooks hooks,
                         QObject *parent)
    : QObject(parent), m_tasks(tasks), m_registry(registry), m_center(center), m_hooks(std::move(hooks))
{
    // The first use fixes the mode: rights for a removal are never asked for on this screen.
    ZDAuthorization::sharedController(ZDAuthorization::Dialog::Never);
    m_deadline = new QTimer(this);
    m_deadline->setSingleShot(true);
    connect(m_deadline, &QTimer::timeout, this, [this] {
        ZDLog::appendLog(QStringLiteral("Crash log consolidation did not finish in time. Giving up on it."));
        endConsolidation();
    });
}

ZDCrashLogs::~ZDCrashLogs()
{
    m_pool.waitForDone();
}

QStringList ZDCrashLogs::folders()
{
    const QString user = ZDLocalPaths::logDirectory(true);
    const QString local = ZDLocalPaths::logDirectory(false);
    return {user + QStringLiteral("/CrashReporter/Quellar Saved Logs"), user + QStringLiteral("/CrashReporter"),
            local + QStringLiteral("/CrashReporter"), user + QStringLiteral("/DiagnosticReports"),
            local + QStringLiteral("/DiagnosticReports"), systemCrashFolder()};
}

QString ZDCrashLogs::systemCrashFolder()
{
    return ZDLocalPaths::systemPath(QStringLiteral("/var/crash"));
}

bool ZDCrashLogs::isSystemRecordListed(const QString &folder, const QString &fileName)
{
    // apport names its records after the program ("_usr_bin_blender.1000.crash"): a
    // catalogue program's only, and only what this agent's user may read (apport keeps
    // a user's records from the others). A record with its core dump may be of any
    // size: only its head is ever read (here, by the crash tool and for its text).
    const QString executable = systemRecordExecutable(fileName);
    if (executable.isEmpty())
        return false;
    bool known = false;
    for (const ZDApplicationTables::App &app : ZDApplicationTables::catalogueApplications())
        known = known || app.crashNames.contains(executable);
    if (!known)
        return false;
    const QByteArray path = QFile::encodeName(folder + QLatin1Char('/') + fileName);
    struct stat st {};
    if (::lstat(path.constData(), &st) != 0 || !S_ISREG(st.st_mode)
        || ::faccessat(AT_FDCWD, path.constData(), R_OK, AT_EACCESS | AT_SYMLINK_NOFOLLOW) != 0)
        return false;
    // Once consolidated, the crash is listed as its converted report only.
    const ZDApportRecord::Record record = ZDApportRecord::parse(
        readFile(QFile::decodeName(path), kApportHeadBytes), QDateTime::fromSecsSinceEpoch(st.st_mtim.tv_sec, QTimeZone::utc()));
    if (record.executable.isEmpty())
        return true;
    const QString converted = ZDApportRecord::reportName(record.executable, record.when);
    for (const QString &gathered : {folders().at(1), folders().at(2)}) {
        if (QFileInfo(gathered + QLatin1Char('/') + converted).isFile())
            return false;
    }
    return true;
}

bool ZDCrashLogs::matchesFilter(const QString &fileName)
{
    if (!fileName.endsWith(QStringLiteral(".crash"), Qt::CaseInsensitive))
        return false;
    for (const QString &prefix : prefixes()) {
        if (fileName.startsWith(prefix, Qt::CaseInsensitive))
            return true;
    }
    const QString executable = systemRecordExecutable(fileName);
    for (const ZDApplicationTables::App &app : ZDApplicationTables::catalogueApplications()) {
        if (!executable.isEmpty() && app.crashNames.contains(executable))
            return true;
    }
    return false;
}

QString ZDCrashLogs::appNameFromCrashLogFilename(const QString &path)
{
    const QString name = QFileInfo(path).fileName();
    if (const QString executable = systemRecordExecutable(name); !executable.isEmpty())
        return executable;
    const qsizetype underscore = name.indexOf(QLatin1Char('_'));
    return underscore >= 0 ? name.left(underscore) : name;
}

QDateTime ZDCrashLogs::creationDate(const QString &path)
{
    struct statx stx {};
    if (::statx(AT_FDCWD, QFile::encodeName(path).constData(), AT_SYMLINK_NOFOLLOW, STATX_BTIME | STATX_MTIME, &stx)
        != 0)
        return {};
    const statx_timestamp &t = (stx.stx_mask & STATX_BTIME) ? stx.stx_btime : stx.stx_mtime;
    return QDateTime::fromMSecsSinceEpoch(qint64(t.tv_sec) * 1000 + t.tv_nsec / 1000000, Qt::UTC);
}

QStringList ZDCrashLogs::namesIn(const QString &folder, bool filtered)
{
    // A folder that is a link may point anywhere (and the agent may run as root).
    if (QFileInfo(folder).isSymLink())
        return {};
    QDir dir(folder);
    if (!dir.exists()) {
        if (folder == systemCrashFolder())
            return {}; // a computer without apport has none
        ZDLog::appendLog(QStringLiteral("Error listing contents of crash folder %@ - %@"), folder,
                         QStringLiteral("No such folder"));
        return {};
    }
    QStringList names;
    const bool system = folder == systemCrashFolder();
    const QStringList entries = dir.entryList(QDir::Files | QDir::NoSymLinks | QDir::Hidden, QDir::Name);
    for (const QString &name : entries) {
        if (names.size() >= kMaxFilesPerFolder)
            break;
        if (system ? isSystemRecordListed(folder, name) : (!filtered || matchesFilter(name)))
            names << name;
    }
    return names;
}

QStringList ZDCrashLogs::listing()
{
    QStringList paths;
    for (const QString &folder : folders()) {
        for (const QString &name : namesIn(folder, true))
            paths << folder + QLatin1Char('/') + name;
    }
    return paths;
}

QString ZDCrashLogs::listedFile(const QString &path)
{
    if (path.isEmpty() || path.size() > kMaxRequestedPath || path.contains(QChar(0)) || !QDir::isAbsolutePath(path))
        return {};
    const QFileInfo info(path);
    if (info.isSymLink())
        return {};
    const QString wanted = info.canonicalFilePath();
    if (wanted.isEmpty())
        return {};
    for (const QString &listed : listing()) {
        if (QFileInfo(listed).canonicalFilePath() == wanted)
            return wanted;
    }
    return {};
}

QString ZDCrashLogs::quellarBundle(bool withRights) const
{
    // With rights (and for every run of a root agent) only a copy root alone may change, canonical.
    return m_tasks.pathForAppWithBundleID(QString::fromLatin1(kQuellarID),
                                          withRights ? ZDClientTasks::Run::WithRights : ZDClientTasks::Run::AsUser);
}

QString ZDCrashLogs::quellarExecutable(const char *failureLine)
{
    const QString bundle = quellarBundle(false);
    const QString exe = bundle.isEmpty() ? QString() : ZDToolCatalog::executablePathForBundle(bundle);
    if (exe.isEmpty() || !ZDTaskEx::isRunnable(exe)) {
        ZDLog::appendLog(QString::fromLatin1(failureLine));
        m_registry.postErrorWithCode(ZDOrv::kErrorApplicationMissing, QString::fromLatin1(kQuellarID));
        return {};
    }
    return exe;
}

QVariantMap ZDCrashLogs::record(const QString &path, const QString &cause) const
{
    QString line = cause.trimmed().left(kMaxCauseLength);
    if (line.isEmpty())
        line = QStringLiteral("Unknown");
    return {{QStringLiteral("hostname"), m_hooks.hostName ? m_hooks.hostName() : QString()},
            {QStringLiteral("filename"), path},
            {QStringLiteral("date"), creationDate(path)},
            {QStringLiteral("cause"), line},
            {QStringLiteral("app"), appNameFromCrashLogFilename(path)}};
}

QVariantList ZDCrashLogs::recordsFor(const QStringList &paths, const QString &quellar) const
{
    QVariantList records;
    if (paths.isEmpty())
        return records;
    const QString output =
        ZDTaskEx::stringFromTask(quellar, QStringList{QStringLiteral("-cause")} + paths, kBatchCauseTimeout);
    const QStringList lines = output.split(QLatin1Char('\n'));
    if (lines.size() >= paths.size()) {
        for (qsizetype i = 0; i < paths.size(); ++i)
            records << record(paths.at(i), lines.at(i));
        return records;
    }
    // Short output cannot be matched to its files: each one is asked alone, so one
    // file without an answer costs only its own cause.
    for (const QString &path : paths) {
        const QString one = ZDTaskEx::stringFromTask(quellar, {QStringLiteral("-cause"), path}, kOneCauseTimeout);
        records << record(path, one.section(QLatin1Char('\n'), 0, 0));
    }
    return records;
}

void ZDCrashLogs::crashLogsSinceDate(const QDateTime &since, const ZDRemoteProxyPtr &delegate)
{
    ZDLog::appendLog(QStringLiteral("Getting crash logs since date %@"),
                     since.isValid() ? since.toString(Qt::ISODateWithMs) : QStringLiteral("(null)"));
    const QString addLogs = QString::fromLatin1(ZDOrv::kQuellarAddLogsHostName);
    if (delegate && !delegate->respondsToSelector(addLogs)) {
        ZDLog::appendLog(QStringLiteral("Delegate does not respond to selector."));
        m_registry.postErrorString(QStringLiteral("Delegate does not respond to selector."));
        return;
    }
    const QString quellar = quellarExecutable("Unable to locate Quellar application");
    if (quellar.isEmpty())
        return;
    const QString host = m_hooks.hostName ? m_hooks.hostName() : QString();
    QStringList pending;
    QVariantList outgoing;
    QStringList taken;
    const auto send = [&] {
        if (!outgoing.isEmpty() && delegate)
            delegate->callOneway(addLogs, {outgoing, host});
        outgoing.clear();
    };
    for (const QString &folder : folders()) {
        const QStringList names = namesIn(folder, true);
        if (!names.isEmpty())
            ZDLog::appendLog(QStringLiteral("Found files: %@"), names);
        for (const QString &name : names) {
            const QString path = folder + QLatin1Char('/') + name;
            if (taken.contains(name) || (since.isValid() && !(creationDate(path) > since)))
                continue;
            pending << path;
            taken << name;
            if (pending.size() == kBatchSize) {
                outgoing << recordsFor(pending, quellar);
                pending.clear();
            }
            if (outgoing.size() >= kBatchSize)
                send();
        }
    }
    outgoing << recordsFor(pending, quellar);
    send();
}

QVariant ZDCrashLogs::quellarGetDefinition(const QString &path)
{
    ZDLog::appendLog(QStringLiteral("Getting Quellar definition for file %@"), path.left(kMaxRequestedPath));
    if (path.isEmpty()) {
        ZDLog::appendLog(QStringLiteral("Crash log filename is invalid."));
        return {};
    }
    const QString file = listedFile(path);
    if (file.isEmpty()) {
        ZDLog::appendLog(QStringLiteral("Crash log %@ is not one of the listed logs."), path.left(kMaxRequestedPath));
        return {};
    }
    const QString quellar = quellarExecutable("Unable to locate Quellar application");
    if (quellar.isEmpty())
        return {};
    const auto html = ZDTaskEx::dataFromTask(quellar, {QStringLiteral("-analyze"), QStringLiteral("-html"), file},
                                             kExplainTimeout);
    if (!html || html->isEmpty())
        return {};
    return QString::fromUtf8(html->left(kMaxExplanationBytes));
}

QVariant ZDCrashLogs::fcsCrashLog(const QString &path)
{
    const QString file = listedFile(path);
    if (file.isEmpty())
        return m_hooks.ownCrashLog ? m_hooks.ownCrashLog(path) : QVariant();
    const QByteArray data = readFile(file, kMaxLogBytes);
    if (data.isNull()) {
        m_registry.postErrorString(
            zdFormat(QStringLiteral("Unable to load crash log for file %@ - file doesn't exist"), path));
        return {};
    }
    return QString::fromUtf8(data);
}

void ZDCrashLogs::quellarRemoveLogFilename(const QString &path)
{
    const QString file = listedFile(path);
    if (file.isEmpty()) {
        ZDLog::appendLog(QStringLiteral("Unable to remove crash log %@ - file doesn't exist"),
                         path.left(kMaxRequestedPath));
        return;
    }
    ZDLog::appendLog(QStringLiteral("Removing crash log %@"), file);
    if (!ZDFileManager::trashFile(file))
        ZDLog::appendLog(QStringLiteral("Unable to move crash log %@ to the Trash."), file);
}

void ZDCrashLogs::quellarSubmitCrashLog(const QString &path, const QString &comment)
{
    if (path.isEmpty()) {
        ZDLog::appendLog(QStringLiteral("Crash log filename is invalid."));
        return;
    }
    const QString file = listedFile(path);
    if (file.isEmpty()) {
        ZDLog::appendLog(QStringLiteral("Unable to submit crash log %@ - file doesn't exist"),
                         path.left(kMaxRequestedPath));
        return;
    }
    const QString quellar = quellarExecutable("Unable to locate Quellar application");
    if (quellar.isEmpty())
        return;
    ZDLog::appendLog(QStringLiteral("Submitting crash log %@"), file);
    ZDTaskEx::runTask(quellar, {QStringLiteral("-submit"), file, comment.left(kMaxCommentLength)}, kSubmitTimeout);
}

bool ZDCrashLogs::isConsolidating() const
{
    std::lock_guard lock(m_mutex);
    return m_consolidating;
}

void ZDCrashLogs::consolidateCrashLogs(const QVariantMap &authInfo)
{
    ZDLog::appendLog(QStringLiteral("Consolidating crash logs..."));
    if (authInfo.isEmpty()) {
        m_registry.postErrorWithCode(ZDOrv::kErrorWrongCredentials);
        return;
    }
    const QString canonical = quellarBundle(true);
    if (canonical.isEmpty()) {
        ZDLog::appendLog(QStringLiteral("Cannot find the location of the Quellar application"));
        return;
    }
    if (!m_center) {
        ZDLog::appendLog(QStringLiteral("No notification bus: cannot consolidate crash logs."));
        return;
    }
    const QString helper = canonical + QStringLiteral("/Contents/Helpers/LogConsolidator");
    quint64 generation = 0;
    {
        // Single flight: a second request while one runs starts nothing more.
        std::lock_guard lock(m_mutex);
        if (m_consolidating) {
            ZDLog::appendLog(QStringLiteral("Crash log consolidation already running."));
            return;
        }
        m_consolidating = true;
        generation = ++m_generation;
        m_crashLogFilenames = namesIn(folders().at(1), false);
    }
    ZDThreads::runOnAndWait(this, [this, generation] {
        m_observer = m_center->addObserver(QString::fromLatin1(kFinishedNotice),
                                           [this, generation](const QString &, const QVariantMap &) {
                                               consolidationDidFinish(generation);
                                           });
        m_deadline->start(std::chrono::milliseconds(kConsolidationDeadline));
    });
    ZDLog::appendLog(QStringLiteral("Launching task..."));
    // The helper gathers for this agent's user, not for the administrator whose password it runs with.
    if (m_tasks.launchAuthTask(helper, {QStringLiteral("-user"), ZDLocalPaths::username()}, authInfo))
        ZDThreads::runOnAndWait(this, [this] { endConsolidation(); });
}

void ZDCrashLogs::endConsolidation()
{
    m_deadline->stop();
    if (m_observer && m_center)
        m_center->removeObserver(m_observer);
    m_observer = 0;
    std::lock_guard lock(m_mutex);
    m_consolidating = false;
    m_crashLogFilenames.clear();
}

void ZDCrashLogs::consolidationDidFinish(quint64 generation)
{
    QStringList before;
    {
        std::lock_guard lock(m_mutex);
        if (!m_consolidating || generation != m_generation)
            return;
        before = m_crashLogFilenames;
    }
    endConsolidation();
    const QString folder = folders().at(1);
    QStringList fresh;
    for (const QString &name : namesIn(folder, false)) {
        if (!before.contains(name))
            fresh << folder + QLatin1Char('/') + name;
    }
    if (fresh.isEmpty())
        return;
    const QString quellar = quellarExecutable("Unable to locate Quellar application");
    if (quellar.isEmpty())
        return;
    // Each file is analysed alone, off the main thread; the batches are sent from the
    // main thread, so nothing reaches the consoles once the agent is going away.
    m_pool.start([this, fresh, quellar] {
        QVariantList batch;
        const auto send = [this](const QVariantList &records) {
            ZDThreads::post(this, [this, records] {
                m_registry.performErrorCallbackSelector(QString::fromLatin1(ZDOrv::kQuellarAddLogsHostName),
                                                        {records, m_hooks.hostName ? m_hooks.hostName() : QString()});
            });
        };
        for (const QString &path : fresh) {
            const QString cause = ZDTaskEx::stringFromTask(quellar, {QStringLiteral("-cause"), path}, kOneCauseTimeout);
            batch << record(path, cause.section(QLatin1Char('\n'), 0, 0));
            if (batch.size() == kConsolidatedBatchSize) {
                send(batch);
                batch.clear();
            }
        }
        if (!batch.isEmpty())
            send(batch);
    });
}

void ZDCrashLogs::addOperations(ZDRemoteObject &root)
{
    const QVariant none;
    const auto clear = [this] {
        if (m_hooks.clearCancelled)
            m_hooks.clearCancelled();
    };
    root.serve(kCrashLogsSinceDate, [this, clear, none](const QVariantList &args) {
        clear();
        const QVariant date = args.value(0);
        if (date.isValid() && !date.isNull() && date.metaType().id() != QMetaType::QDateTime)
            throw std::invalid_argument("the since-date must be a date or none");
        crashLogsSinceDate(date.toDateTime(), ZDRemoteProxy::fromVariant(args.value(1)));
        return none;
    });
    root.serve(kGetDefinition, [this, clear](const QVariantList &args) {
        clear();
        return quellarGetDefinition(args.value(0).toString());
    });
    root.serve(ZDOrv::kFcsCrashLog, [this, clear](const QVariantList &args) {
        clear();
        return fcsCrashLog(args.value(0).toString());
    });
    root.serve(kRemoveLog, [this, clear, none](const QVariantList &args) {
        clear();
        quellarRemoveLogFilename(args.value(0).toString());
        return none;
    });
    root.serve(kSubmitLog, [this, clear, none](const QVariantList &args) {
        clear();
        quellarSubmitCrashLog(args.value(0).toString(), args.value(1).toString());
        return none;
    });
    root.serve(kConsolidate, [this, clear, none](const QVariantList &args) {
        clear();
        consolidateCrashLogs(args.value(0).toMap());
        return none;
    });
}
