#pragma once
// The log operations consoles call: the suite's log files and the agent's crash
// logs, listed, read one at a time, or gathered at once. Only files the listing
// names are ever read: a path from the network is resolved and compared with the
// listing (no symlink escape), anything else is "file doesn't exist".
#include <QByteArray>
#include <QList>
#include <QVariant>
#include <QString>
#include <QStringList>
#include <QVariantMap>

#include <atomic>
#include <functional>

class ZDClientLogs
{
public:
    // A bigger file gives its last kMaxFileBytes (whole lines): the newest entries.
    static constexpr qint64 kMaxFileBytes = 16 * 1024 * 1024;
    // gatherLogs stops taking files once this much is collected.
    static constexpr qint64 kMaxGatherBytes = 64 * 1024 * 1024;
    static constexpr int kMaxFilesPerFolder = 1000;

    // postErrorString: how a missing file is reported to the consoles (postErrorString:userInfo:).
    explicit ZDClientLogs(std::function<void(const QString &)> postErrorString);

    QStringList populateZDLogFilenames() const;
    // None (invalid QVariant) when refused or missing; else the text.
    QVariant logWithFilename(const QString &path) const;
    QVariant fcsCrashLog(const QString &path) const;
    // path -> data; none when cancelled or nothing was found. Bounded in total size.
    QVariant gatherLogs(const std::atomic<bool> &processingCancelled) const;

private:
    // The files of one folder in listing order; crashLogs: the agent's crash logs.
    static QStringList filesIn(const QString &folder, bool crashLogs);
    struct Folder
    {
        QString path;
        bool crashLogs;
    };
    // In listing order: per domain (user, then local) the logs, then both crash report folders.
    static QList<Folder> folders();
    // Only a listed regular file, by its resolved path; empty when refused.
    QString listedFile(const QString &path) const;
    QVariant readListed(const QString &path, const char *missingText) const;

    std::function<void(const QString &)> m_postErrorString;
};
