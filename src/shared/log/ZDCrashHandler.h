#pragma once
// Writes a crash report when the process dies of a fatal signal (SIGSEGV, SIGBUS,
// SIGILL, SIGFPE, SIGABRT, SIGTRAP, SIGSYS):
//   "<user log folder>/DiagnosticReports/<Name>_<YYYY-MM-DD-HHMMSS>.crash" (UTC),
// for a root process the computer's log folder instead,
// holding the program's identity and version, the signal and a backtrace, where
// the crash check of the next run finds it. The process then dies of the same
// signal as it would have without the handler.
//
// Everything the handler needs is prepared by install(); at crash time it only
// makes async-signal-safe calls.
#include <QString>

class ZDCrashHandler
{
public:
    ZDCrashHandler() = delete;

    // Once per process: later calls change nothing and report the first one's
    // outcome. The name defaults to ZDMainBundle::name(). False when the report
    // folder cannot be made.
    static bool install(const QString &name = QString());
    static bool isInstalled();
    // The name reports begin with, followed by "_".
    static QString reportName();
    static QString reportFolder();
};
