#pragma once
// Notices that the program did not end cleanly last time, finds the crash report
// written for that run, and opens it with the maker's crash-report tool unless
// "disable-crash-reporter" in the user's global preferences says not to.
//
// A run is recorded as two dates, "launch" and "exit", in the program's own user
// settings (ZDMainBundle::userSettingsPath()) or in a given property-list file.
//
// Reports are looked for in the log folders, user domain before local domain,
// "CrashReporter" before "DiagnosticReports" in each (see reportFolders()). This
// program's own reports are written by ZDCrashHandler, which startFennick installs.
#include <QString>
#include <QStringList>

#include <functional>

class ZDFennick
{
public:
    // Receives the report's path on the main thread.
    using CrashCallback = std::function<void(const QString &reportPath)>;

    ZDFennick() = delete;

    // Installs the crash handler under the name, checks the previous run (handing
    // a report to didCrash without waiting for it) and records "launch" = now.
    // The name defaults to ZDMainBundle::name(), the file to the user settings.
    static void startFennick(const QString &name = QString(), const QString &plistPath = QString(),
                             CrashCallback didCrash = {});
    static void startFennick(CrashCallback didCrash);
    // Records "exit" = now.
    static void stopFennick(const QString &plistPath = QString());

    // The report of the last run when it crashed, else empty. Opens the tool on a report.
    static QString checkForCrashes(const QString &name = QString(), const QString &plistPath = QString());

    // When the path lies in a home folder ("/home/<user>/..." or "/Users/<user>/..."),
    // gives the file to that user, so that a root process does not leave it root's.
    static void chownPlist(const QString &path);

    // Starts the crash-report tool on a report that another computer sent, saved in
    // logFile, without waiting. False when no tool is found.
    static bool openRemoteReport(const QString &computerName, const QString &logFile);

    // The four folders searched, in order.
    static QStringList reportFolders();
    // The crash-report tool's application folder: "Fennick.app" among the program's
    // resources, else the installed application "com.zendrel.Fennick"; empty when none.
    static QString crashReporterPath();
};
