#pragma once
// The console's cache of crash log records fetched from its computers: a property
// list {"version": the console's bundle version, <host name>: {"logs": [records],
// "date": the newest record date that computer reported}}. A cache of another
// version counts as empty; so does a host entry that is not a dictionary. Every
// change is one read-modify-write under one lock for the whole process (batches,
// removals), written atomically, so nothing stored meanwhile is lost; records are
// kept once per host and file name.
#include <QDateTime>
#include <QString>
#include <QVariantList>
#include <QVariantMap>

class ZDCrashLogCache
{
public:
    static constexpr const char *kRelativePath = "/Quellar/com.zendrel.Quellar.cache.plist";
    static constexpr int kMaxLogsPerHost = 10000;

    // path: the cache file; version: the console's bundle version.
    ZDCrashLogCache(QString path, QString version);
    // "<console cache folder>/Quellar/com.zendrel.Quellar.cache.plist".
    static QString defaultPath();
    // The console's own: defaultPath() for this console's version.
    static ZDCrashLogCache console();

    QString path() const { return m_path; }
    // host -> {"logs", "date"}; empty for a missing, unreadable or other version's cache.
    QVariantMap hosts() const;
    QVariantList logs(const QString &host) const;
    // Invalid when the host has no entry (everything is asked for).
    QDateTime date(const QString &host) const;

    // Adds the records not yet kept for the host; the host's date becomes the newest
    // record date seen. The records added (empty when none was new).
    QVariantList addBatch(const QString &host, const QVariantList &records);
    // Removes every record of that host with that file name.
    bool removeLog(const QString &host, const QString &filename);

private:
    QVariantMap loadLocked() const;
    bool saveLocked(QVariantMap hosts) const;

    QString m_path;
    QString m_version;
};
