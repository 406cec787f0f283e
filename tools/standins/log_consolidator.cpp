// Stand-in for the crash-analysis tool's consolidation helper, run with rights and
// no arguments. It gathers into the user's "CrashReporter" log folder, owned by that
// user (the one sudo names, else the owner of the user's home folder):
//   - other users' crash reports (<root>/home/*/.local/state/log/{CrashReporter,DiagnosticReports}/*.crash);
//   - the system's crash records, converted to the crash handler's text format:
//     apport reports (<root>/var/crash/*.crash) and coredumpctl info text
//     (<root>/var/lib/systemd/coredump/*.txt);
// then posts "ZDQuellarConsolidateFinished" (held back while
// <root>/var/lib/standins/Quellar/consolidate.hold exists). A record already converted is left alone.
#include "platform/ZDLocalPaths.h"
#include "bus/ZDNotificationCenter.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QSaveFile>
#include <QStringList>
#include <QThread>
#include <QTimeZone>

#include <cstdio>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr qint64 kMaxRecordBytes = 8 * 1024 * 1024;
constexpr int kMaxFilesPerFolder = 1000;

struct Target
{
    QString folder; // the user's CrashReporter folder
    QString home;
    uid_t uid = 0;
    gid_t gid = 0;
};

Target target()
{
    Target t;
    bool ok = false;
    const uint sudoUid = qEnvironmentVariable("SUDO_UID").toUInt(&ok);
    if (ok && sudoUid != 0) {
        if (const passwd *pw = ::getpwuid(sudoUid)) {
            t.home = QFile::decodeName(pw->pw_dir);
            t.folder = t.home + QStringLiteral("/.local/state/log/CrashReporter");
            t.uid = pw->pw_uid;
            t.gid = pw->pw_gid;
            return t;
        }
    }
    t.home = ZDLocalPaths::userDirectory();
    t.folder = ZDLocalPaths::logDirectory(true) + QStringLiteral("/CrashReporter");
    struct stat st {};
    if (::stat(QFile::encodeName(t.home).constData(), &st) == 0) {
        t.uid = st.st_uid;
        t.gid = st.st_gid;
    }
    return t;
}

QStringList filesIn(const QString &folder, const QStringList &patterns)
{
    if (QFileInfo(folder).isSymLink())
        return {};
    QStringList out;
    for (const QFileInfo &entry : QDir(folder).entryInfoList(patterns, QDir::Files | QDir::NoSymLinks, QDir::Name)) {
        if (out.size() >= kMaxFilesPerFolder)
            break;
        out << entry.absoluteFilePath();
    }
    return out;
}

QByteArray readSmall(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.read(kMaxRecordBytes);
}

bool writeOwned(const Target &t, const QString &name, const QByteArray &data)
{
    const QString path = t.folder + QLatin1Char('/') + QFileInfo(name).fileName();
    if (QFileInfo::exists(path))
        return false;
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(data) != data.size() || !file.commit())
        return false;
    if (::geteuid() == 0 && t.uid != 0)
        (void)!::chown(QFile::encodeName(path).constData(), t.uid, t.gid);
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

QString reportName(const QString &executable, const QDateTime &when)
{
    return QFileInfo(executable).fileName() + QLatin1Char('_')
        + when.toUTC().toString(QStringLiteral("yyyy-MM-dd-HHmmss")) + QStringLiteral(".crash");
}

// Apport: "Key: value" lines, continuation lines start with a space.
int convertApport(const Target &t, const QString &path)
{
    const QStringList lines = QString::fromUtf8(readSmall(path)).split(QLatin1Char('\n'));
    QString exe, pid, date;
    int signal = 0;
    QStringList frames;
    bool inTop = false;
    for (const QString &line : lines) {
        if (line.startsWith(QLatin1Char(' '))) {
            // "func (args) from /lib/libfoo.so" -> "/lib/libfoo.so(func)", as the crash handler writes frames.
            const QString frame = line.trimmed();
            const QString module = frame.section(QStringLiteral(" from "), 1).trimmed();
            if (inTop)
                frames << (module.isEmpty() ? frame : module + QLatin1Char('(') + frame.section(QLatin1Char(' '), 0, 0) + QLatin1Char(')'));
            continue;
        }
        inTop = line.startsWith(QStringLiteral("StacktraceTop:"));
        if (line.startsWith(QStringLiteral("ExecutablePath:")))
            exe = line.section(QLatin1Char(':'), 1).trimmed();
        else if (line.startsWith(QStringLiteral("ProcPid:")) || line.startsWith(QStringLiteral("Pid:")))
            pid = line.section(QLatin1Char(':'), 1).trimmed();
        else if (line.startsWith(QStringLiteral("Signal:")))
            signal = line.section(QLatin1Char(':'), 1).trimmed().toInt();
        else if (line.startsWith(QStringLiteral("Date:")))
            date = line.section(QLatin1Char(':'), 1).trimmed();
    }
    if (exe.isEmpty())
        return 0;
    QDateTime when = QLocale::c().toDateTime(date.simplified(), QStringLiteral("ddd MMM d HH:mm:ss yyyy"));
    if (!when.isValid())
        when = QFileInfo(path).lastModified();
    return writeOwned(t, reportName(exe, when), report(exe, pid, when, signal, frames)) ? 1 : 0;
}

// coredumpctl info: "Key: value" lines and "Stack trace of thread N:" followed by "#0 ..." frames.
int convertCoredump(const Target &t, const QString &path)
{
    const QStringList lines = QString::fromUtf8(readSmall(path)).split(QLatin1Char('\n'));
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
        when = QFileInfo(path).lastModified();
    return writeOwned(t, reportName(exe, when), report(exe, pid, when, signal, frames)) ? 1 : 0;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const Target t = target();
    if (!QDir().mkpath(t.folder)) {
        std::fprintf(stderr, "LogConsolidator: cannot make %s\n", qPrintable(t.folder));
        return 73;
    }
    if (::geteuid() == 0 && t.uid != 0)
        (void)!::chown(QFile::encodeName(t.folder).constData(), t.uid, t.gid);
    int gathered = 0;
    const QString ownHome = QFileInfo(t.home).canonicalFilePath();
    const QString homes = ZDLocalPaths::systemPath(QStringLiteral("/home"));
    for (const QFileInfo &home : QDir(homes).entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::NoSymLinks)) {
        if (home.canonicalFilePath() == ownHome)
            continue;
        for (const char *sub : {"/.local/state/log/CrashReporter", "/.local/state/log/DiagnosticReports"}) {
            for (const QString &file : filesIn(home.absoluteFilePath() + QLatin1String(sub), {QStringLiteral("*.crash")}))
                gathered += writeOwned(t, file, readSmall(file)) ? 1 : 0;
        }
    }
    for (const QString &file : filesIn(ZDLocalPaths::systemPath(QStringLiteral("/var/crash")), {QStringLiteral("*.crash")}))
        gathered += convertApport(t, file);
    for (const QString &file :
         filesIn(ZDLocalPaths::systemPath(QStringLiteral("/var/lib/systemd/coredump")), {QStringLiteral("*.txt")}))
        gathered += convertCoredump(t, file);
    std::printf("LogConsolidator: %d report(s) gathered into %s\n", gathered, qPrintable(t.folder));
    // A test holds the finished notice back while this file exists (two minutes at most).
    const QString hold = ZDLocalPaths::systemPath(QStringLiteral("/var/lib/standins/Quellar/consolidate.hold"));
    for (int tenths = 0; tenths < 1200 && QFileInfo::exists(hold); ++tenths)
        QThread::msleep(100);
    return ZDNotificationCenter::postNotification(QStringLiteral("ZDQuellarConsolidateFinished")) ? 0 : 69;
}
