#pragma once
// The log operations consoles call: the suite's log files and the agent's crash
// logs, listed, read one at a time, or gathered at once. Only files the listing
// names are ever read: a path from the network is resolved and compared with the
// listing (no symlink escape), anything else is "file doesn't exist".
#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QVariantMap>

#include <atomic>
#include <functional>

class ZDClientLogs
{
public:
    // postErrorString: how a missing file is reported to the consoles (postErrorString:userInfo:).
    explicit ZDClientLogs(std::function<void(const QString &)> postErrorString);

    QStringList populateZDLogFilenames() const;
    // None (invalid QVariant) when refused or missing; else the text.
    QVariant logWithFilename(const QString &path) const;
    QVariant fcsCrashLog(const QString &path) const;
    // path -> data; none when cancelled or nothing was found. Bounded in total size.
    QVariant gatherLogs(const std::atomic<bool> &processingCancelled) const;

private:
    std::function<void(const QString &)> m_postErrorString;
};
