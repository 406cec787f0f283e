#pragma once
// Gathering logs into "ZD_Log_Dump.zip" on the desktop: the console's own logs and
// the files every agent sent (host name -> {file path -> data}). Agents are not
// trusted: a path that would leave the host's folder ("..", links), a non-data
// value or too much data is refused and reported, the other files are still written.
// Blocking file work: call on a worker thread.
#include <QString>
#include <QStringList>
#include <QVariantMap>

#include <atomic>
#include <memory>

class QTemporaryDir;

class ZDLogGathering
{
public:
    static constexpr const char *kWorkFolderName = "ZD_Log_Dump";
    static constexpr const char *kArchiveName = "ZD_Log_Dump.zip";
    static constexpr qint64 kMaxTotalBytes = 1024LL * 1024 * 1024;
    static constexpr int kMaxFiles = 20000;

    struct Outcome
    {
        bool success = false;
        QString archivePath;
        // The alert to show: title and text.
        QString title;
        QString text;
        // Files refused or not written: one alert text each (bounded).
        QStringList fileErrors;
    };

    // Folders: empty means the temporary folder, the desktop and the folders this process
    // logs to (its log folder's parent; the crash check's report folders). A given log
    // folder holds Zendrel, CrashReporter and DiagnosticReports.
    explicit ZDLogGathering(const QString &workParent = QString(), const QString &desktop = QString(),
                            const QString &logFolder = QString());

    // The private folder of the current or last gathering ("ZD_Log_Dump" inside a
    // fresh temporary folder below the work parent); empty before the first.
    QString workFolder() const;
    QString archivePath() const;

    // The console's own logs only.
    Outcome gatherLocal();
    // The agents' files and the console's own logs.
    Outcome gatherNetwork(const QVariantMap &hostFiles, const std::atomic<bool> *cancelled = nullptr);

    // Copies the console's logs ("Zendrel/Kestra Admin*.log", "Kestra Admin_*.crash" in
    // CrashReporter and DiagnosticReports, links followed). False when none was copied; errors are added.
    bool gatherAdminLogsToDirectory(const QString &folder, QStringList *errors) const;
    // The console's current log ("Kestra Admin.1.log") or its helper task's
    // ("Kestra Admin.task.1.log") below the log folder, and the alert when it is missing.
    QString adminLogPath(bool taskLog) const;
    // The name the console's logs and crash reports begin with.
    static QString adminName();
    static QString missingLogTitle();
    static QString missingLogText(bool taskLog);
    // The file's place below folder/host, or empty when host or path is unusable.
    static QString destinationFor(const QString &folder, const QString &host, const QString &filePath);

private:
    // Null when it cannot be made; removed with everything in it when released.
    std::unique_ptr<QTemporaryDir> makeWorkFolder();
    Outcome finish(Outcome outcome, std::unique_ptr<QTemporaryDir> work);

    QString m_workParent;
    QString m_desktop;
    QString m_logFolder;
    QStringList m_reportFolders;
    QString m_workFolder;
};
