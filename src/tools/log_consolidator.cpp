// The crash-analysis tool's consolidation helper, run with rights:
//   LogConsolidator [-user NAME]
// It gathers into the "CrashReporter" log folder of the workstation's user (NAME,
// else the user at the console; never the administrator whose password sudo took),
// owned by that user; with neither, into the computer's log folder. As root nothing
// is written or handed over by a path name in a folder a user controls: every folder
// is opened from the one above without following links, every file made anew.
//   - other users' crash reports (<root>/home/*/.local/state/log/{CrashReporter,DiagnosticReports}/*.crash);
//   - the system's crash records, converted to the crash handler's text format:
//     apport reports (<root>/var/crash/*.crash), coredumpctl info text
//     (<root>/var/lib/systemd/coredump/*.txt) and, on the real computer, the journal's
//     systemd-coredump records through `coredumpctl --json`;
// then posts "ZDQuellarConsolidateFinished" (held back while
// <root>/var/lib/standins/Quellar/consolidate.hold exists). A record already converted is left alone.
#include "ZDSystemCommand.h"
#include "log/ZDApportRecord.h"
#include "platform/ZDLocalPaths.h"
#include "platform/ZDNoFollow.h"
#include "bus/ZDNotificationCenter.h"
#include "platform/ZDBoundedRead.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocale>
#include <QStringList>
#include <QThread>
#include <QTimeZone>

#include <cstdio>
#include <optional>

#include <pwd.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr qint64 kMaxRecordBytes = 8 * 1024 * 1024;
constexpr int kMaxFilesPerFolder = 1000;

struct Target
{
    QString folder; // shown in the output
    QString home;   // empty: the computer's log folder
    std::optional<ZDNoFollow::Owner> owner;
    ZDOwnedFd fd;
};

constexpr const char *kUserFolder = ".local/state/log/CrashReporter";

// The workstation user's folder, or the computer's when there is no such user.
Target target(const QString &named)
{
    Target t;
    const QString user = named.isEmpty() ? ZDLocalPaths::currentConsoleUser() : named;
    const QByteArray name = user.toLocal8Bit();
    const passwd *pw = user.isEmpty() ? nullptr : ::getpwnam(name.constData());
    if (pw && pw->pw_uid != 0) {
        t.home = QFile::decodeName(pw->pw_dir);
        t.folder = t.home + QLatin1Char('/') + QLatin1String(kUserFolder);
        t.owner = ZDNoFollow::Owner{pw->pw_uid, pw->pw_gid};
        t.fd = ZDNoFollow::openFolder(t.home, QLatin1String(kUserFolder), true, 0700, t.owner);
        return t;
    }
    if (!user.isEmpty() && !pw)
        return t; // a name that is no account: nothing to write into
    if (pw) {
        // Root itself (a root agent with nobody at the console): root's own log folder,
        // when it lies in a home that root alone owns.
        const QString home = ZDLocalPaths::userDirectory();
        const QString logs = ZDLocalPaths::logDirectory(true) + QStringLiteral("/CrashReporter");
        struct stat st {};
        if (::lstat(QFile::encodeName(home).constData(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == 0
            && logs.startsWith(home + QLatin1Char('/'))) {
            t.home = home;
            t.folder = logs;
            t.fd = ZDNoFollow::openFolder(home, logs.mid(home.size() + 1), true, 0700);
            return t;
        }
    }
    const QString root = ZDLocalPaths::systemRoot();
    const QString logs = ZDLocalPaths::logDirectory(false) + QStringLiteral("/CrashReporter");
    t.folder = logs;
    t.fd = ZDNoFollow::openFolder(root, logs.mid(root == QLatin1String("/") ? 0 : root.size()), true, 0755);
    return t;
}

// Report names in a folder below a home, reached without following links.
QStringList filesIn(const ZDOwnedFd &folder, const QString &suffix)
{
    return folder.isValid() ? ZDNoFollow::regularFiles(folder.get(), suffix, kMaxFilesPerFolder) : QStringList();
}

QByteArray readAt(const ZDOwnedFd &folder, const QString &name)
{
    ZDOwnedFd fd = ZDNoFollow::openRegularFile(folder.get(), name);
    if (!fd.isValid())
        return {};
    QFile file;
    if (!file.open(fd.get(), QIODevice::ReadOnly, QFileDevice::DontCloseHandle))
        return {};
    return ZDBoundedRead::upTo(file, kMaxRecordBytes);
}

QDateTime modified(const ZDOwnedFd &folder, const QString &name)
{
    struct stat st {};
    if (::fstatat(folder.get(), QFile::encodeName(name).constData(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return QDateTime::currentDateTimeUtc();
    return QDateTime::fromSecsSinceEpoch(st.st_mtim.tv_sec, QTimeZone::utc());
}

bool writeOwned(const Target &t, const QString &name, const QByteArray &data)
{
    if (!t.fd.isValid() || data.isEmpty())
        return false;
    const QString file = QFileInfo(name).fileName();
    const ZDOwnedFd fd = ZDNoFollow::createFile(t.fd.get(), file, 0600, ::geteuid() == 0 ? t.owner : std::nullopt);
    if (!fd.isValid())
        return false; // already there (or refused): left alone
    qint64 done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd.get(), data.constData() + done, size_t(data.size() - done));
        if (n <= 0) {
            ::unlinkat(t.fd.get(), QFile::encodeName(file).constData(), 0);
            return false;
        }
        done += n;
    }
    return true;
}

QString signalText(int number)
{
    switch (number) {
    case 11: return QStringLiteral("SIGSEGV (Segmentation fault)");
    case 7: return QStringLiteral("SIGBUS (Bus error)");
    case 4: return QStringLiteral("SIGILL (Illegal instruction)");
    case 8: return QStringLiteral("SIGFPE (Arithmetic exception)");
    case 6: return QStringLiteral("SIGABRT (Aborted)");
    case 5: return QStringLiteral("SIGTRAP (Trace/breakpoint trap)");
    case 31: return QStringLiteral("SIGSYS (Bad system call)");
    default: return QStringLiteral("signal %1").arg(number);
    }
}

// The crash handler's format, from what a system record gives.
QByteArray report(const QString &executable, const QString &pid, const QDateTime &when, int signal,
                  const QStringList &frames)
{
    QString text = QStringLiteral("Process:         %1 [%2]\nPath:            %3\nDate/Time:       %4 +0000\n\n"
                                  "Exception Type:  %5\n\nBacktrace:\nThread 0 Crashed:\n")
                       .arg(QFileInfo(executable).fileName(), pid, executable,
                            when.toUTC().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")), signalText(signal));
    for (const QString &frame : frames)
        text += frame + QLatin1Char('\n');
    return text.toUtf8();
}

// Apport: read by the shared parser, so that the agent knows the converted report's name.
int convertApport(const Target &t, const ZDOwnedFd &folder, const QString &path)
{
    const ZDApportRecord::Record r = ZDApportRecord::parse(readAt(folder, path), modified(folder, path));
    if (r.executable.isEmpty())
        return 0;
    return writeOwned(t, ZDApportRecord::reportName(r.executable, r.when), report(r.executable, r.pid, r.when, r.signal, r.frames)) ? 1 : 0;
}

// coredumpctl info: "Key: value" lines and "Stack trace of thread N:" followed by "#0 ..." frames.
int convertCoredumpText(const Target &t, const QString &text, const QDateTime &fallback)
{
    const QStringList lines = text.split(QLatin1Char('\n'));
    QString exe, pid;
    QDateTime when;
    int signal = 0;
    QStringList frames;
    bool firstStack = false, stackDone = false;
    for (const QString &raw : lines) {
        const QString line = raw.trimmed();
        if (line.startsWith(QStringLiteral("Stack trace of thread"))) {
            firstStack = !stackDone;
            stackDone = true;
            continue;
        }
        if (firstStack && line.startsWith(QLatin1Char('#'))) {
            // "#0  0x7f00 func (libfoo.so + 0x12)" -> "libfoo.so(func+0x12)".
            const QStringList words = line.split(QLatin1Char(' '), Qt::SkipEmptyParts);
            const QString inside = line.section(QLatin1Char('('), -1).section(QLatin1Char(')'), 0, 0);
            const QString module = inside.section(QStringLiteral(" + "), 0, 0).trimmed();
            frames << (module.isEmpty() || words.size() < 3
                           ? line
                           : module + QLatin1Char('(') + words.at(2) + QLatin1Char('+') + inside.section(QStringLiteral(" + "), 1) + QLatin1Char(')'));
            continue;
        }
        firstStack = firstStack && !line.isEmpty();
        if (line.startsWith(QStringLiteral("Executable:")))
            exe = line.section(QLatin1Char(':'), 1).trimmed();
        else if (line.startsWith(QStringLiteral("PID:")))
            pid = line.section(QLatin1Char(':'), 1).trimmed().section(QLatin1Char(' '), 0, 0);
        else if (line.startsWith(QStringLiteral("Signal:")))
            signal = line.section(QLatin1Char(':'), 1).trimmed().section(QLatin1Char(' '), 0, 0).toInt();
        else if (line.startsWith(QStringLiteral("Timestamp:")))
        {
            when = QDateTime::fromString(line.section(QLatin1Char(':'), 1).trimmed().section(QLatin1Char(' '), 1, 2),
                                         QStringLiteral("yyyy-MM-dd HH:mm:ss"));
            if (line.contains(QStringLiteral(" UTC")))
                when.setTimeZone(QTimeZone::utc());
        }
    }
    if (exe.isEmpty())
        return 0;
    if (!when.isValid())
        when = fallback;
    return writeOwned(t, ZDApportRecord::reportName(exe, when), report(exe, pid, when, signal, frames)) ? 1 : 0;
}

int convertCoredump(const Target &t, const ZDOwnedFd &folder, const QString &path)
{
    return convertCoredumpText(t, QString::fromUtf8(readAt(folder, path)), modified(folder, path));
}

// systemd-coredump's records in the journal, through `coredumpctl --json` where it is
// installed; the newest kMaxJournalRecords. Only on the real computer: the journal
// knows no sandbox.
int convertJournal(const Target &t)
{
    constexpr int kMaxJournalRecords = 50;
    if (ZDLocalPaths::systemRoot() != QLatin1String("/") || ZDSystemCommand::find(QStringLiteral("coredumpctl")).isEmpty())
        return 0;
    const ZDSystemCommand::Result list = ZDSystemCommand::run(
        QStringLiteral("coredumpctl"), {QStringLiteral("--json=short"), QStringLiteral("--no-pager"), QStringLiteral("list")}, 60000);
    const QJsonArray rows = list.ok ? QJsonDocument::fromJson(list.output.toUtf8()).array() : QJsonArray();
    int gathered = 0;
    for (qsizetype i = qMax<qsizetype>(0, rows.size() - kMaxJournalRecords); i < rows.size(); ++i) {
        const QJsonObject row = rows.at(i).toObject();
        const qint64 pid = row.value(QStringLiteral("pid")).toInteger();
        if (pid <= 0)
            continue;
        const ZDSystemCommand::Result info = ZDSystemCommand::run(
            QStringLiteral("coredumpctl"), {QStringLiteral("info"), QStringLiteral("--no-pager"), QString::number(pid)}, 60000);
        const QDateTime when = QDateTime::fromMSecsSinceEpoch(row.value(QStringLiteral("time")).toInteger() / 1000, QTimeZone::utc());
        if (info.ok)
            gathered += convertCoredumpText(t, info.output, when);
    }
    return gathered;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const qsizetype userAt = args.indexOf(QStringLiteral("-user"));
    const Target t = target(userAt > 0 ? args.value(userAt + 1) : QString());
    if (!t.fd.isValid()) {
        std::fprintf(stderr, "LogConsolidator: cannot open %s\n", qPrintable(t.folder));
        return 73;
    }
    int gathered = 0;
    const QString ownHome = QFileInfo(t.home).canonicalFilePath();
    const QString homes = ZDLocalPaths::systemPath(QStringLiteral("/home"));
    for (const QFileInfo &home : QDir(homes).entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::NoSymLinks)) {
        if (!ownHome.isEmpty() && home.canonicalFilePath() == ownHome)
            continue;
        for (const char *sub : {".local/state/log/CrashReporter", ".local/state/log/DiagnosticReports"}) {
            const ZDOwnedFd folder = ZDNoFollow::openFolder(home.absoluteFilePath(), QLatin1String(sub), false);
            for (const QString &file : filesIn(folder, QStringLiteral(".crash")))
                gathered += writeOwned(t, file, readAt(folder, file)) ? 1 : 0;
        }
    }
    const QString root = ZDLocalPaths::systemRoot();
    const auto systemFolder = [&root](const char *path) {
        return ZDNoFollow::openFolder(root, QLatin1String(path), false);
    };
    const ZDOwnedFd apport = systemFolder("var/crash");
    for (const QString &file : filesIn(apport, QStringLiteral(".crash")))
        gathered += convertApport(t, apport, file);
    const ZDOwnedFd coredumps = systemFolder("var/lib/systemd/coredump");
    for (const QString &file : filesIn(coredumps, QStringLiteral(".txt")))
        gathered += convertCoredump(t, coredumps, file);
    gathered += convertJournal(t);
    std::printf("LogConsolidator: %d report(s) gathered into %s\n", gathered, qPrintable(t.folder));
    // On a sandboxed computer a test holds the finished notice back while this file
    // exists (two minutes at most).
    const bool sandbox = ZDLocalPaths::systemRoot() != QLatin1String("/");
    const QString hold = ZDLocalPaths::systemPath(QStringLiteral("/var/lib/standins/Quellar/consolidate.hold"));
    for (int tenths = 0; sandbox && tenths < 1200 && QFileInfo::exists(hold); ++tenths)
        QThread::msleep(100);
    return ZDNotificationCenter::postNotification(QStringLiteral("ZDQuellarConsolidateFinished")) ? 0 : 69;
}
