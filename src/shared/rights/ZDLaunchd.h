#pragma once
// Background jobs described by launchd-style settings, installed as systemd units:
//   a user's agents        -> ~/.config/systemd/user        (systemctl --user)
//   the computer's agents  -> <root>/etc/systemd/user       (systemctl --global, and the
//                                                            console user's manager to start now)
//   the computer's daemons -> <root>/etc/systemd/system     (systemctl)
// The unit file is "<label>.service". Computer-wide files become root:root, mode 644.
// When the folder is not writable, the file is written elsewhere and moved into place
// with administrator rights (ZDFileManager's fallback to ZDAuthorization).
//
// systemctl is looked up on PATH. Its results are logged, not checked: a job counts
// as started once its file is in place.
//
// Any thread may call; each call blocks for the tools it runs (up to 10 s each).
#include <QString>
#include <QVariantMap>

#include <functional>

class ZDLaunchd
{
public:
    // Shows an error to the person at the screen (message, informative text). Without
    // one installed, both texts go to the log.
    using SheetPresenter = std::function<void(const QString &message, const QString &informative)>;

    // Whose job: the user's own, or every user's and the computer's.
    enum class Domain { User, Computer };
    // A user's session job, or a system service (only for the computer's domain).
    enum class JobKind { Agent, Daemon };
    // Whether a folder or manager that needs administrator rights may ask for them.
    enum class Rights { AsIs, AskIfNeeded };

    ZDLaunchd() = delete;

    static void setSheetPresenter(SheetPresenter presenter);

    // Writes the job's unit and starts it. True once the file is in place.
    static bool startJob(const QString &label, const QVariantMap &settings, Domain domain, JobKind kind,
                         Rights rights, const QString &killProcessName = QString());
    // An agent, without rights and without killing anything.
    static bool startLaunchAgent(const QString &label, const QVariantMap &settings, Domain domain);
    // Stops the job and deletes its file; true when the file is gone.
    static bool removeJob(const QString &label, Domain domain, JobKind kind, Rights rights);
    static bool removeLaunchAgent(const QString &label, Domain domain);
    // Stops and disables the job; the file stays. An empty label does nothing.
    static void stopJob(const QString &label, Domain domain, JobKind kind, Rights rights);

    // A user's own jobs share one folder whether agent or not: systemd has no per-user daemons.
    static QString jobDirectory(Domain domain, JobKind kind);
    // Empty when the label cannot name a unit.
    static QString jobPath(const QString &label, Domain domain, JobKind kind);
    // Letters, digits and ":_.-@", at most kMaxLabelLength characters.
    static bool isValidLabel(const QString &label);

    // The unit for the settings keys "Program", "ProgramArguments", "WorkingDirectory",
    // "RunAtLoad", "KeepAlive" (true, or {"SuccessfulExit": bool}), "ThrottleInterval",
    // "EnvironmentVariables", "StandardOutPath", "StandardErrorPath" and, for daemons,
    // "UserName". Empty with a reason in *error when the settings cannot be expressed
    // safely (control characters, relative program, too large).
    static QString unitFromSettings(const QString &label, const QVariantMap &settings, JobKind kind,
                                    QString *error = nullptr);

    // Scheduled jobs: what starts "<label>.service". Type 6 runs every N seconds, 7 at
    // calendar fields "minute,hour,day,weekday,month" (an empty field is any), 8 when
    // a folder changes; 0 at start-up, 1 hourly, 2 daily, 3 weekly, 4 monthly, 5 yearly.
    static constexpr int kEverySeconds = 6;
    static constexpr int kCalendar = 7;
    static constexpr int kFolderWatch = 8;
    static constexpr qint64 kMaxIntervalSeconds = 10LL * 366 * 86400;
    // Empty when the value suits the type, else why not. A folder may start with "~/".
    static QString scheduleProblem(int type, const QString &value);
    // The calendar fields as an OnCalendar= expression; empty when they are bad.
    static QString calendarFromFields(const QString &fields);
    // The ".timer" or ".path" unit (its suffix in *suffix); the folder must be absolute here.
    static QString triggerUnit(const QString &label, int type, const QString &value, QString *suffix,
                               QString *error = nullptr);
    // Readable text of a schedule, e.g. "Every Monday at 3:00".
    static QString scheduleDescription(int type, const QString &value);
    static QString friendlyInterval(const QString &minute, const QString &hour, const QString &day,
                                    const QString &weekday, const QString &month);

    static constexpr int kMaxLabelLength = 200;
    static constexpr int kMaxValueLength = 4096;
    static constexpr int kMaxArguments = 1024;
    static constexpr int kMaxUnitBytes = 64 * 1024;
};
