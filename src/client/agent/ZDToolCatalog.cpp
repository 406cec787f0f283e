#include "agent/ZDToolCatalog.h"

#include "agent/ZDClientPreferences.h"
#include "platform/ZDLocalPaths.h"
#include "rights/ZDAuthorization.h"
#include "log/ZDLog.h"
#include "plist/ZDPropertyList.h"
#include "session/ZDImageWork.h"

#include <QDir>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include <dirent.h>

namespace {

const QString kOldFormSeparator = QStringLiteral(" ### ");

// Bounds for what the folders and the tools' own files may hold.
constexpr int kMaxScanDepth = 8;
constexpr int kMaxEntriesPerFolder = 10000;
constexpr int kMaxTools = 1000;
constexpr int kMaxTasksPerTool = 1000;
constexpr qint64 kMaxIconFileBytes = 8 * 1024 * 1024;
constexpr int kMaxIconDimension = 4096;

// Folders that never hold the maker's tools, and are expensive to walk.
const QStringList kSkippedFolders = {
    QStringLiteral("plugins"),     QStringLiteral("help"),       QStringLiteral("application backups"),
    QStringLiteral("doc"),         QStringLiteral("documentation"), QStringLiteral("html"),
    QStringLiteral("applescript"), QStringLiteral("final draft"), QStringLiteral("mamp"),
    QStringLiteral("shake"),       QStringLiteral("orvelle"),
};

// "Unable to get contents of directory" needs the reason, which QDir does not give.
QString listingError(const QString &folder)
{
    DIR *dir = ::opendir(QFile::encodeName(folder).constData());
    if (!dir)
        return QString::fromLocal8Bit(std::strerror(errno));
    ::closedir(dir);
    return {};
}

QFileInfoList listFolder(const QString &folder)
{
    QFileInfoList entries = QDir(folder).entryInfoList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System,
                                                       QDir::Name);
    if (entries.size() > kMaxEntriesPerFolder)
        entries.resize(kMaxEntriesPerFolder);
    return entries;
}

bool isInside(const QString &path, const QString &folder)
{
    return !folder.isEmpty() && (path == folder || path.startsWith(folder.endsWith(QLatin1Char('/')) ? folder : folder + QLatin1Char('/')));
}

// For tools that ship no icon: a plain rounded tile.
QByteArray genericIcon()
{
    static const QByteArray icon = ZDImageWork::genericIconPng(ZDToolCatalog::kIconSize);
    return icon;
}

QByteArray iconFor(const QString &bundlePath, const QVariantMap &info)
{
    const QVariant file = info.value(QStringLiteral("CFBundleIconFile"));
    if (file.userType() == QMetaType::QString) {
        const QString name = QFileInfo(file.toString()).fileName(); // never outside Resources
        const QString resources = bundlePath + QStringLiteral("/Contents/Resources/");
        for (const QString &candidate : {resources + name, resources + name + QStringLiteral(".png")}) {
            const QFileInfo fi(candidate);
            if (name.isEmpty() || !fi.isFile() || fi.size() > kMaxIconFileBytes)
                continue;
            const QByteArray icon = ZDImageWork::iconFilePng(candidate, ZDToolCatalog::kIconSize, kMaxIconDimension);
            if (!icon.isEmpty())
                return icon;
        }
    }
    return genericIcon();
}

} // namespace

QString ZDToolCatalog::bundleIdentifierOf(const QString &bundlePath)
{
    const QVariant id = ZDPropertyList::readDictionary(bundlePath + QStringLiteral("/Contents/Info.plist"))
                            .value(QStringLiteral("CFBundleIdentifier"));
    return id.userType() == QMetaType::QString ? id.toString() : QString();
}

void ZDToolCatalog::populate()
{
    ZDLog::appendLog(QStringLiteral("Getting Zendrel app list..."));
    {
        std::lock_guard lock(m_mutex);
        m_populated = false;
    }
    const QStringList apps = appsInFolder(ZDLocalPaths::applicationDirectory(false));
    {
        std::lock_guard lock(m_mutex);
        m_apps = apps;
        m_populated = true;
    }
    m_populatedCondition.notify_all();
}

bool ZDToolCatalog::populated() const
{
    std::lock_guard lock(m_mutex);
    return m_populated;
}

QStringList ZDToolCatalog::apps() const
{
    std::lock_guard lock(m_mutex);
    return m_apps;
}

QStringList ZDToolCatalog::appsInFolder(const QString &folder) const
{
    QStringList found;
    QStringList visited;
    const QString appsRoot = QFileInfo(ZDLocalPaths::applicationDirectory(false)).canonicalFilePath();
    appsInFolder(folder, appsRoot, 0, found, visited);
    return found;
}

void ZDToolCatalog::appsInFolder(const QString &folder, const QString &appsRoot, int depth, QStringList &found,
                                   QStringList &visited) const
{
    const QFileInfo info(folder);
    if (info.isSymLink() && isInside(info.canonicalFilePath(), appsRoot)) {
        ZDLog::appendLog(QStringLiteral("Warning: Symbolic link links back to itself."));
        return;
    }
    // A link to a folder outside may still lead back into one already walked.
    const QString canonical = info.canonicalFilePath();
    if (depth > kMaxScanDepth || canonical.isEmpty() || visited.contains(canonical))
        return;
    visited << canonical;

    const QString reason = listingError(folder);
    if (!reason.isEmpty()) {
        ZDLog::appendLog(QStringLiteral("Unable to get contents of directory %@ - %@"), folder, reason);
        return;
    }
    for (const QFileInfo &entry : listFolder(folder)) {
        if (found.size() >= kMaxTools)
            return;
        if (!entry.isDir())
            continue;
        const QString path = entry.filePath();
        if (entry.suffix().isEmpty()) {
            const QString lower = entry.fileName().toLower();
            if (!kSkippedFolders.contains(lower) && !lower.startsWith(QStringLiteral("avid")))
                appsInFolder(path, appsRoot, depth + 1, found, visited);
            continue;
        }
        if (QFileInfo(path + QStringLiteral("/Contents/ZDUpdates.plist")).isFile()
            && bundleIdentifierOf(path).startsWith(QStringLiteral("com.zendrel")))
            found << path;
    }
}

QVariantMap ZDToolCatalog::orvVersion()
{
    if (!populated())
        populate();
    for (const QString &app : apps()) {
        const QVariantMap updates = ZDPropertyList::readDictionary(app + QStringLiteral("/Contents/ZDUpdates.plist"));
        const QVariant version = updates.value(QStringLiteral("ZDGroupVersion"));
        const QVariant versionString = updates.value(QStringLiteral("ZDGroupVersionString"));
        if (updates.value(QStringLiteral("ZDGroupID")).toString() == QLatin1String(kSuiteGroupID) && version.isValid()
            && versionString.isValid())
            return {{QStringLiteral("version"), version}, {QStringLiteral("versionString"), versionString}};
    }
    return {};
}

QVariantMap ZDToolCatalog::toolRecord(const QString &bundlePath)
{
    const QVariantMap info = ZDPropertyList::readDictionary(bundlePath + QStringLiteral("/Contents/Info.plist"));
    const QVariant table = ZDPropertyList::readFile(bundlePath + QStringLiteral("/Contents/") + QLatin1String(kTaskTableFile));
    if (info.isEmpty() || table.userType() != QMetaType::QVariantMap)
        return {};
    const QVariant tasksValue = table.toMap().value(QLatin1String(kTasksKey));
    QVariantList tasks;
    if (tasksValue.userType() == QMetaType::QVariantList) {
        for (const QVariant &task : tasksValue.toList()) {
            if (tasks.size() >= kMaxTasksPerTool)
                break;
            if (task.userType() == QMetaType::QVariantMap)
                tasks << task;
        }
    } else if (tasksValue.userType() == QMetaType::QVariantMap) {
        // The old form: commands as " ### "-joined keys; listed, never run.
        const QVariantMap old = tasksValue.toMap();
        for (auto it = old.cbegin(); it != old.cend() && tasks.size() < kMaxTasksPerTool; ++it) {
            if (!it.value().isValid() || it.value().isNull())
                continue;
            tasks << QVariantMap{{QStringLiteral("description"), it.value()},
                                 {QStringLiteral("command"), it.key().split(kOldFormSeparator)}};
        }
    } else {
        return {};
    }
    if (tasks.isEmpty())
        return {};
    return {{QStringLiteral("name"), info.value(QStringLiteral("CFBundleName"))},
            {QStringLiteral("bundleid"), info.value(QStringLiteral("CFBundleIdentifier"))},
            {QStringLiteral("icon"), iconFor(bundlePath, info)},
            {QStringLiteral("tasks"), tasks}};
}

QVariantList ZDToolCatalog::appTasks()
{
    ZDLog::appendLog(QStringLiteral("Getting Zendrel apps with available tasks..."));
    QStringList apps;
    {
        // The start-up scan may still run: wait for it, but not forever.
        std::unique_lock lock(m_mutex);
        m_populatedCondition.wait_for(lock, std::chrono::milliseconds(kPopulateWaitMs),
                                          [this] { return m_populated; });
        apps = m_apps;
    }
    QVariantList records;
    for (const QString &app : std::as_const(apps)) {
        const QVariantMap record = toolRecord(app);
        if (!record.isEmpty())
            records << record;
    }
    return records;
}

// --- Finding a tool.

QString ZDToolCatalog::pathForBundleID(const QString &bundleID, const QString &folder)
{
    if (bundleID.isEmpty() || folder.isEmpty())
        return {};
    QString name = bundleID.section(QLatin1Char('.'), -1).toLower();
    if (name == QLatin1String("nuvell"))
        name = QStringLiteral("zendrelnuvell");
    if (name.isEmpty())
        return {};
    for (const QFileInfo &entry : listFolder(folder)) {
        QString base = entry.completeBaseName();
        base.remove(QLatin1Char(' '));
        if (base.toLower() != name)
            continue;
        if (bundleIdentifierOf(entry.filePath()).compare(bundleID, Qt::CaseInsensitive) == 0)
            return entry.filePath();
    }
    return {};
}

bool ZDToolCatalog::userInstalledOnPurpose(const QString &bundleID)
{
    // The user's own preferences file: the opt-in is the user's, never a console's.
    const QVariant listed = ZDPropertyList::readDictionary(ZDLocalPaths::prefsDirectory(true) + QLatin1Char('/')
                                                           + QLatin1String(ZDClientPreferences::kPreferencesFile))
                                .value(QLatin1String(kUserInstalledToolsKey));
    if (listed.userType() != QMetaType::QVariantList && listed.userType() != QMetaType::QStringList)
        return false;
    const QVariantList ids = listed.toList();
    return std::any_of(ids.cbegin(), ids.cend(), [&bundleID](const QVariant &id) {
        return id.userType() == QMetaType::QString && id.toString().compare(bundleID, Qt::CaseInsensitive) == 0;
    });
}

QString ZDToolCatalog::pathForAppWithBundleID(const QString &bundleID, Run run) const
{
    if (bundleID.isEmpty())
        return {};
    const bool withRights = run == Run::WithRights || ZDLocalPaths::isRoot();
    const QString local = ZDLocalPaths::applicationDirectory(false);
    QStringList candidates;
    for (const QString &folder : {local + QStringLiteral("/Zendrel/Kestra Maintenance Tools"),
                                  local + QStringLiteral("/Zendrel"), local}) {
        const QString path = pathForBundleID(bundleID, folder);
        if (!path.isEmpty())
            candidates << path;
    }
    // What this computer knows beyond those folders: the scanned tools.
    for (const QString &app : apps()) {
        if (bundleIdentifierOf(app).compare(bundleID, Qt::CaseInsensitive) == 0)
            candidates << app;
    }
    if (!withRights) {
        if (!candidates.isEmpty())
            return candidates.constFirst();
        return userInstalledOnPurpose(bundleID) ? pathForBundleID(bundleID, ZDLocalPaths::applicationDirectory(true))
                                                : QString();
    }
    // A copy the user could have placed or changed never runs as root, and never
    // hides a protected one further down the list.
    const QString userApps = QFileInfo(ZDLocalPaths::applicationDirectory(true)).canonicalFilePath();
    for (const QString &candidate : std::as_const(candidates)) {
        QString reason;
        const QString canonical = ZDAuthorization::trustedPath(candidate, &reason);
        if (!canonical.isEmpty() && isInside(canonical, userApps))
            reason = QStringLiteral("it is in the user's applications folder");
        else if (!canonical.isEmpty())
            return canonical;
        ZDLog::appendLog(QStringLiteral("Refusing %@ for a run with rights: %@"), candidate, reason);
    }
    return {};
}

QString ZDToolCatalog::executableForAppWithBundleID(const QString &bundleID, Run run) const
{
    const QString executable = executablePathForBundle(pathForAppWithBundleID(bundleID, run));
    if (executable.isEmpty() || (run == Run::AsUser && !ZDLocalPaths::isRoot()))
        return executable;
    QString reason;
    const QString canonical = ZDAuthorization::trustedPath(executable, &reason);
    if (canonical.isEmpty())
        ZDLog::appendLog(QStringLiteral("Refusing %@ for a run with rights: %@"), executable, reason);
    return canonical;
}

QString ZDToolCatalog::executablePathForBundle(const QString &bundlePath)
{
    if (bundlePath.isEmpty())
        return {};
    return bundlePath + QStringLiteral("/Contents/MacOS/") + QFileInfo(bundlePath).completeBaseName();
}
