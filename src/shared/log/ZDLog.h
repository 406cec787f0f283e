#pragma once
// The program's own log: one serial writer thread appends time-stamped records
// to "<log folder>/Zendrel/<appName>.1.log", rotating through five generations.
// Every operation may be called from any thread; none ever throws.
#include "platform/ZDFormat.h"

#include <QString>
#include <QStringList>

class ZDLog
{
public:
    ZDLog() = delete;

    static void createNewLog(const QString &name = QString());

    // Queues one message. Off the main thread, a short message (1..99 characters)
    // waits for the writer when at most 99 characters are queued in all.
    static void appendLog(const QString &message);
    // Queues one message and never waits.
    static void fastAppendLog(const QString &message);
    // Logs the trimmed text literally and prints it with a newline on standard output.
    static void appendLogAndPrint(const QString &message);

    // A log switched off costs no formatting.
    template <typename... Args>
    static void appendLog(const QString &format, const Args &...args)
    {
        if (!loggingDisabled())
            appendLog(zdFormat(format, args...));
    }
    template <typename... Args>
    static void fastAppendLog(const QString &format, const Args &...args)
    {
        if (!loggingDisabled())
            fastAppendLog(zdFormat(format, args...));
    }
    template <typename... Args>
    static void appendLogAndPrint(const QString &format, const Args &...args) { appendLogAndPrint(zdFormat(format, args...)); }

    // Blocks until every queued message has been written.
    static void finishWriting();
    // Paths of generations 1..5 of this program's log that exist, in that order.
    static QStringList availableLogs();

    static QString appName();
    static QString logFolder();
    static bool loggingDisabled();
    // Bytes this process wrote to the current file; characters queued and not yet written.
    static quint32 bytesWritten();
    static quint32 bytesInQueue();
};
