#include "features/crashlogs/ZDCrashLogCache.h"

#include "log/ZDLog.h"
#include "plist/ZDPropertyList.h"
#include "fleet/ZDService.h"

#include <QDir>
#include <QFileInfo>

#include <mutex>

namespace {

const QString kVersion = QStringLiteral("version");
const QString kLogs = QStringLiteral("logs");
const QString kDate = QStringLiteral("date");

std::mutex &cacheLock()
{
    static std::mutex lock;
    return lock;
}

} // namespace

ZDCrashLogCache::ZDCrashLogCache(QString path, QString version) : m_path(std::move(path)), m_version(std::move(version))
{
}

QString ZDCrashLogCache::defaultPath()
{
    return ZDService::cacheDirectory() + QLatin1String(kRelativePath);
}

ZDCrashLogCache ZDCrashLogCache::console()
{
    return ZDCrashLogCache(defaultPath(), QString::number(ZDService::adminVersion()));
}

QVariantMap ZDCrashLogCache::loadLocked() const
{
    QVariantMap file = ZDPropertyList::readDictionary(m_path);
    if (file.value(kVersion).toString() != m_version)
        return {};
    file.remove(kVersion);
    QVariantMap hosts;
    for (auto it = file.cbegin(); it != file.cend(); ++it) {
        if (it.value().metaType().id() == QMetaType::QVariantMap)
            hosts.insert(it.key(), it.value());
    }
    return hosts;
}

bool ZDCrashLogCache::saveLocked(QVariantMap hosts) const
{
    const QString folder = QFileInfo(m_path).absolutePath();
    if (!QDir().mkpath(folder))
        ZDLog::appendLog(QStringLiteral("Unable to create cache directory %@. Application performance will be affected."),
                         folder);
    hosts.insert(kVersion, m_version);
    // Binary keeps the dates' milliseconds, which the next "since" compares with.
    if (ZDPropertyList::writeFile(m_path, hosts, ZDPropertyList::Format::Binary))
        return true;
    ZDLog::appendLog(QStringLiteral("Unable to write Quellar cache. Performance will be affected."));
    return false;
}

QVariantMap ZDCrashLogCache::hosts() const
{
    const std::lock_guard lock(cacheLock());
    return loadLocked();
}

QVariantList ZDCrashLogCache::logs(const QString &host) const
{
    return hosts().value(host).toMap().value(kLogs).toList();
}

QDateTime ZDCrashLogCache::date(const QString &host) const
{
    return hosts().value(host).toMap().value(kDate).toDateTime();
}

QVariantList ZDCrashLogCache::addBatch(const QString &host, const QVariantList &records)
{
    const std::lock_guard lock(cacheLock());
    QVariantMap hosts = loadLocked();
    QVariantMap entry = hosts.value(host).toMap();
    QVariantList logs = entry.value(kLogs).toList();
    QDateTime newest = entry.value(kDate).toDateTime();
    QSet<QString> known;
    for (const QVariant &log : std::as_const(logs))
        known.insert(log.toMap().value(QStringLiteral("filename")).toString());
    QVariantList added;
    for (const QVariant &record : records) {
        const QVariantMap map = record.toMap();
        const QDateTime date = map.value(kDate).toDateTime();
        if (date.isValid() && (!newest.isValid() || date > newest))
            newest = date;
        const QString filename = map.value(QStringLiteral("filename")).toString();
        if (known.contains(filename) || logs.size() >= kMaxLogsPerHost)
            continue;
        known.insert(filename);
        logs << map;
        added << map;
    }
    entry.insert(kLogs, logs);
    if (newest.isValid())
        entry.insert(kDate, newest);
    hosts.insert(host, entry);
    saveLocked(hosts);
    return added;
}

bool ZDCrashLogCache::removeLog(const QString &host, const QString &filename)
{
    const std::lock_guard lock(cacheLock());
    QVariantMap hosts = loadLocked();
    if (!hosts.contains(host))
        return false;
    QVariantMap entry = hosts.value(host).toMap();
    QVariantList logs = entry.value(kLogs).toList();
    const qsizetype before = logs.size();
    logs.removeIf([&](const QVariant &log) { return log.toMap().value(QStringLiteral("filename")).toString() == filename; });
    entry.insert(kLogs, logs);
    hosts.insert(host, entry);
    return saveLocked(hosts) && logs.size() != before;
}
