#pragma once
// The `kestra` command line: the console core from a terminal. One command per
// run: list, call, add, remove, errors, tasks, run. Remote work goes through the
// dispatcher on a worker thread while the main thread serves the computer records.
// Exit status: 0 success, 1 when any computer failed (listed on standard error),
// 2 for a usage error.
#include "dispatch/ZDDispatcher.h"

#include <QMap>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTextStream>

#include <cstdio>

#include <functional>
#include <memory>
#include <mutex>

class ZDDiscovery;
class ZDErrorCallback;
class ZDProgressBar;

class ZDCommandLine : public QObject
{
    Q_OBJECT
public:
    enum ExitCode { Success = 0, Failed = 1, Usage = 2 };

    // Answers go to out, messages to standard error.
    ZDCommandLine(QStringList arguments, FILE *out, QObject *parent = nullptr);
    ~ZDCommandLine() override;

    int run();
    static QString usage();
    static QString version();

private:
    friend class ZDPrefsCommand;
    friend class ZDPathsCommand;
    friend class ZDPluginsCommand;
    friend class ZDSchedulesCommand;
    friend class ZDRenderCommand;
    friend class ZDSysinfoCommand;
    friend class ZDCrashLogsCommand;
    friend class ZDAppsCommand;
    friend class ZDUpdatesCommand;
    struct Options
    {
        QString command;
        QStringList positional;
        double waitSeconds = -1; // -1: the command's default
        QStringList hosts;
        bool json = false;
        bool browse = true;
        bool clear = false;
        bool admin = false;
        bool sameForAll = false;
        bool keepPassword = false;
        bool help = false;
        bool version = false;
        QString settingsPath;
        QString since; // crashlogs
        QStringList working, failing; // diff
        QString from;     // paths sync
        bool yes = false; // no question before a change
        bool names = false;      // list: names only, for completion
        bool all = false;        // plugins: every plug-in, said on purpose
        bool addMissing = false; // plugins sync: onto computers without it too
        bool man = false, completion = false;
    };

    bool parse(QString *error);
    // One line saying what is wrong and where to read more; exit status 2.
    int usageError(const QString &why);
    int help();
    // The administrator's yes on the terminal, or --yes; without a terminal only --yes
    // (a script must say so), and the refusal says how.
    bool confirmed(const QString &question);
    int list();
    int call();
    int add();
    int remove();
    int errors();
    int tasks();
    int runTask();

    // StoredOnly: the list starts empty (connecting every stored computer would
    // only slow down a change of the stored entries).
    enum class Discovery { BrowseAndManual, Manual, StoredOnly };
    void startDiscovery(Discovery what);
    // Waits for discovery and for the computers to connect, as long as the options say.
    void waitForComputers(double defaultSeconds, bool untilDeadline);
    bool matchesHost(const ZDServicePtr &service, const QString &host) const;
    // Discovery, the wait for the computers asked for, and the dispatcher set up on
    // them; the ones not found are recorded as failures.
    ZDDispatcher::ServiceList computersForWork(QStringList *missing = nullptr);
    // The same for a command that needs a computer: "no computers" is said when none
    // was found and none asked for is missing (those are failures already).
    ZDDispatcher::ServiceList computersNeededForWork();
    ZDDispatcher::ServiceList selectedServices(QStringList *missing) const;
    void prepareDispatcher(const ZDDispatcher::ServiceList &services);
    void runOffMain(const std::function<void()> &work);
    void recordFailure(const QString &host, const QString &reason);
    // Failures as the features report them: "host: reason".
    void recordFailures(const QStringList &failures);
    // Errors the agents reported for these computers during the run count as failures.
    void collectReportedErrors(const ZDDispatcher::ServiceList &services);
    int finish(const ZDDispatcher::ServiceList &services);
    // The end of an action: one line per computer, "HOST: done" (or what actionDone
    // said) on standard output, "HOST: failed: REASON" on standard error, instead of
    // the listing again. doneText empty: only computers that actionDone named are done.
    int finishAction(const ZDDispatcher::ServiceList &services, const QString &doneText = QStringLiteral("done"));
    void actionDone(const ZDServicePtr &service, const QString &what = QStringLiteral("done"));
    void actionDone(const QString &host, const QString &what);
    static QString hostOf(const ZDServicePtr &service);

    QStringList m_arguments;
    Options m_options;
    QTextStream m_out;
    QTextStream m_err;
    std::shared_ptr<ZDErrorCallback> m_errorCallback;
    std::unique_ptr<ZDDiscovery> m_discovery;
    std::unique_ptr<ZDDispatcher> m_dispatcher;
    ZDProgressBar *m_bar = nullptr;
    std::mutex m_failuresMutex;
    QMap<QString, QString> m_failures; // host -> first reason
    QMap<QString, QString> m_done;     // host -> what an action did there
    bool m_action = false;             // failures are said as an action's results
    bool m_noComputers = false;        // work asked for and nobody to do it
    bool m_toldDnssd = false;
};
