// Quellar, the crash-analysis tool. Its own command lines:
//   -cause FILE...        one cause line per readable file, in order: the crash's
//                         signal and the crashed thread's top module ("SIGSEGV (invalid
//                         memory access) in libfoo.so"), "Unknown" when the report names
//                         none; nothing for a file it cannot read. It reads the suite's
//                         own reports, apport ".crash" files and systemd-coredump records
//                         (`coredumpctl info` text or a `coredumpctl --json` record)
//   -analyze -html FILE   the explanation page, every text from the file escaped
//   -submit FILE COMMENT  sends the report and the comment to the address the
//                         administrator set (crashSubmissionURL in the computer's
//                         <root>/etc/xdg/com.zendrel.Quellar.plist, root's own file);
//                         without one submission is off and the tool says so (status 3)
// On a sandboxed computer (KESTRA_SYSTEM_ROOT) every run is recorded under
// <root>/var/lib/standins/Quellar (cause.log: one line per file asked about;
// submit-<sum>.result). Remote tasks ("-task ...") are the task protocol's.
#include "ZDToolRun.h"
#include "plist/ZDPropertyList.h"
#include "platform/ZDLocalPaths.h"
#include "platform/ZDBoundedRead.h"

#include <QEventLoop>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTimer>
#include <QUrl>

#include <sys/stat.h>
#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStringList>

#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>

int kestraToolTasksMain(int argc, char **argv);

namespace {

constexpr qint64 kMaxReportBytes = 8 * 1024 * 1024;

QString recordFolder()
{
    const QString root = ZDTool::recordRoot();
    if (root.isEmpty())
        return {};
    const QString folder = root + QStringLiteral("/Quellar");
    return QDir().mkpath(folder) ? folder : QString();
}

void appendRecord(const QString &name, const QString &line)
{
    const QString folder = recordFolder();
    if (folder.isEmpty())
        return;
    QFile file(folder + QLatin1Char('/') + name);
    if (file.open(QIODevice::Append))
        file.write((line + QLatin1Char('\n')).toUtf8());
}

std::optional<QString> readReport(const QString &path)
{
    QFile file(path);
    if (!QFileInfo(path).isFile() || !file.open(QIODevice::ReadOnly))
        return std::nullopt;
    return QString::fromUtf8(ZDBoundedRead::upTo(file, kMaxReportBytes));
}

QString valueOf(const QStringList &lines, const QString &key)
{
    for (const QString &line : lines) {
        if (line.startsWith(key))
            return line.mid(key.size()).trimmed();
    }
    return {};
}

// The crashed thread's frames: after "Thread N Crashed:", else after "Backtrace:".
QStringList crashedFrames(const QStringList &lines)
{
    qsizetype start = -1;
    for (qsizetype i = 0; i < lines.size(); ++i) {
        if (lines.at(i).startsWith(QStringLiteral("Thread ")) && lines.at(i).contains(QStringLiteral("Crashed"))) {
            start = i + 1;
            break;
        }
    }
    if (start < 0)
        start = lines.indexOf(QStringLiteral("Backtrace:")) + 1;
    QStringList frames;
    for (qsizetype i = start; start > 0 && i < lines.size(); ++i) {
        if (lines.at(i).startsWith(QStringLiteral("Thread ")) || lines.at(i).trimmed().isEmpty())
            break;
        frames << lines.at(i).trimmed();
    }
    return frames;
}

// "/usr/lib/libfoo.so(bar+0x1)[0x7f]" -> "libfoo.so".
QString moduleOf(const QString &frame)
{
    QString path = frame.section(QLatin1Char('('), 0, 0).section(QLatin1Char('['), 0, 0).trimmed();
    return QFileInfo(path).fileName();
}

QString meaning(const QString &signal)
{
    static const QList<QPair<QString, QString>> table{
        {QStringLiteral("SIGSEGV"), QStringLiteral("invalid memory access")},
        {QStringLiteral("SIGBUS"), QStringLiteral("misaligned or missing memory")},
        {QStringLiteral("SIGILL"), QStringLiteral("illegal instruction")},
        {QStringLiteral("SIGFPE"), QStringLiteral("arithmetic exception")},
        {QStringLiteral("SIGABRT"), QStringLiteral("the program stopped itself")},
        {QStringLiteral("SIGTRAP"), QStringLiteral("breakpoint or assertion")},
        {QStringLiteral("SIGSYS"), QStringLiteral("bad system call")}};
    for (const auto &row : table) {
        if (signal.startsWith(row.first))
            return row.first + QStringLiteral(" (") + row.second + QLatin1Char(')');
    }
    return {};
}

QString signalName(int number)
{
    switch (number) {
    case 4: return QStringLiteral("SIGILL");
    case 5: return QStringLiteral("SIGTRAP");
    case 6: return QStringLiteral("SIGABRT");
    case 7: return QStringLiteral("SIGBUS");
    case 8: return QStringLiteral("SIGFPE");
    case 11: return QStringLiteral("SIGSEGV");
    case 31: return QStringLiteral("SIGSYS");
    default: return {};
    }
}

// "SIGSEGV", "SEGV", "11" or "11 (SEGV)" as the signal's name.
QString signalOf(const QString &given)
{
    const QString word = given.trimmed().section(QLatin1Char(' '), 0, 0);
    bool number = false;
    const int n = word.toInt(&number);
    if (number)
        return signalName(n);
    return word.startsWith(QLatin1String("SIG")) ? word : QStringLiteral("SIG") + word;
}

QString causeText(const QString &signal, const QString &module)
{
    const QString what = meaning(signal);
    if (what.isEmpty())
        return QStringLiteral("Unknown");
    return module.isEmpty() ? what : what + QStringLiteral(" in ") + module;
}

// Apport: "Signal: 11", frames under "StacktraceTop:" as " func (args) from /lib/libfoo.so".
QString apportCause(const QStringList &lines, QStringList *frames)
{
    bool inTop = false;
    for (const QString &line : lines) {
        if (line.startsWith(QLatin1Char(' '))) {
            if (inTop)
                *frames << line.trimmed();
            continue;
        }
        inTop = line.startsWith(QStringLiteral("StacktraceTop:"));
    }
    QString module;
    for (const QString &frame : *frames) {
        module = QFileInfo(frame.section(QStringLiteral(" from "), 1).trimmed()).fileName();
        if (!module.isEmpty())
            break;
    }
    if (module.isEmpty())
        module = QFileInfo(valueOf(lines, QStringLiteral("ExecutablePath:"))).fileName();
    return causeText(signalOf(valueOf(lines, QStringLiteral("Signal:"))), module);
}

// coredumpctl info: "Signal: 11 (SEGV)", the first "Stack trace of thread N:" is the
// crashed one, frames "#0  0x7f00 func (libfoo.so + 0x12)".
QString coredumpCause(const QStringList &lines, QStringList *frames)
{
    bool inStack = false;
    for (const QString &raw : lines) {
        const QString line = raw.trimmed();
        if (line.startsWith(QStringLiteral("Stack trace of thread"))) {
            if (!frames->isEmpty())
                break;
            inStack = true;
            continue;
        }
        if (inStack && line.startsWith(QLatin1Char('#')))
            *frames << line;
        else if (inStack && !frames->isEmpty())
            break;
    }
    const QString module = frames->isEmpty() ? QString()
        : frames->first().section(QLatin1Char('('), -1).section(QLatin1Char(')'), 0, 0).section(QStringLiteral(" + "), 0, 0).trimmed();
    return causeText(signalOf(valueOf(lines, QStringLiteral("Signal:"))),
                     module.isEmpty() ? QFileInfo(valueOf(lines, QStringLiteral("Executable:"))).fileName() : module);
}

// A coredumpctl --json record (one object, or the first of a list).
QString coredumpJsonCause(const QByteArray &json)
{
    const QJsonDocument doc = QJsonDocument::fromJson(json);
    const QJsonObject o = doc.isArray() ? doc.array().first().toObject() : doc.object();
    QString signal = o.value(QStringLiteral("sig")).isDouble() ? signalName(o.value(QStringLiteral("sig")).toInt())
                                                               : o.value(QStringLiteral("COREDUMP_SIGNAL_NAME")).toString();
    if (signal.isEmpty())
        signal = signalOf(o.value(QStringLiteral("COREDUMP_SIGNAL")).toString());
    QString exe = o.value(QStringLiteral("exe")).toString();
    if (exe.isEmpty())
        exe = o.value(QStringLiteral("COREDUMP_EXE")).toString();
    return causeText(signal, QFileInfo(exe).fileName());
}

enum class Kind { Own, Apport, Coredump, CoredumpJson };

Kind kindOf(const QString &report)
{
    if (report.startsWith(QLatin1Char('{')) || report.startsWith(QLatin1Char('[')))
        return Kind::CoredumpJson;
    if (report.startsWith(QStringLiteral("ProblemType:")) || report.contains(QStringLiteral("\nProblemType:")))
        return Kind::Apport;
    if (report.contains(QStringLiteral("Stack trace of thread")) && !report.contains(QStringLiteral("Exception Type:")))
        return Kind::Coredump;
    return Kind::Own;
}

QString causeOf(const QString &report, QStringList *framesOut = nullptr)
{
    const QStringList lines = report.split(QLatin1Char('\n'));
    QStringList frames;
    QString cause;
    switch (kindOf(report)) {
    case Kind::Apport: cause = apportCause(lines, &frames); break;
    case Kind::Coredump: cause = coredumpCause(lines, &frames); break;
    case Kind::CoredumpJson: cause = coredumpJsonCause(report.toUtf8()); break;
    case Kind::Own: {
        frames = crashedFrames(lines);
        const QString what = meaning(valueOf(lines, QStringLiteral("Exception Type:")));
        const QString module = frames.isEmpty() ? QString() : moduleOf(frames.first());
        cause = what.isEmpty() ? QStringLiteral("Unknown") : module.isEmpty() ? what : what + QStringLiteral(" in ") + module;
        break;
    }
    }
    if (framesOut)
        *framesOut = frames;
    return cause;
}

int cause(const QStringList &files)
{
    for (const QString &path : files) {
        const auto report = readReport(path);
        appendRecord(QStringLiteral("cause.log"), path);
        if (!report)
            continue;
        std::printf("%s\n", causeOf(*report).toUtf8().constData());
    }
    return 0;
}

// What an administrator can do about a cause, in plain words.
QString explanation(const QString &cause)
{
    const QString module = cause.section(QStringLiteral(" in "), 1);
    QString text;
    if (cause.startsWith(QLatin1String("SIGSEGV")) || cause.startsWith(QLatin1String("SIGBUS")))
        text = QStringLiteral("The application read or wrote memory it does not own.");
    else if (cause.startsWith(QLatin1String("SIGABRT")))
        text = QStringLiteral("The application stopped itself after a check failed.");
    else if (cause.startsWith(QLatin1String("SIGILL")))
        text = QStringLiteral("The processor met an instruction it cannot run: a build for another processor, or damaged code.");
    else if (cause.startsWith(QLatin1String("SIGFPE")))
        text = QStringLiteral("An arithmetic fault, such as a division by zero.");
    else
        return QStringLiteral("The report names no cause this tool knows.");
    if (module.endsWith(QLatin1String(".so")) || module.contains(QLatin1String(".so.")))
        text += QStringLiteral(" It happened in the library %1: if that is a plug-in, disable it and try again; "
                               "otherwise reinstall the package that holds it.").arg(module);
    else if (!module.isEmpty())
        text += QStringLiteral(" It happened in %1 itself: check its preferences (reset them with a backup first) "
                               "and the media it opened.").arg(module);
    return text;
}

int analyze(const QString &path)
{
    const auto report = readReport(path);
    if (!report)
        return 1;
    const QStringList lines = report->split(QLatin1Char('\n'));
    QStringList frames;
    const QString cause = causeOf(*report, &frames);
    QString application = valueOf(lines, QStringLiteral("Process:"));
    for (const char *key : {"ExecutablePath:", "Executable:"}) {
        if (application.isEmpty())
            application = valueOf(lines, QLatin1String(key));
    }
    QString html = QStringLiteral("<h2>") + cause.toHtmlEscaped() + QStringLiteral("</h2>");
    html += QStringLiteral("<p>Application: ") + application.toHtmlEscaped() + QStringLiteral("</p><p>")
        + explanation(cause).toHtmlEscaped() + QStringLiteral("</p><h3>Crashed thread</h3><pre>");
    html += frames.join(QLatin1Char('\n')).toHtmlEscaped();
    html += QStringLiteral("</pre>");
    std::printf("%s\n", html.toUtf8().constData());
    return 0;
}

// The administrator's address for crash reports, from root's own computer settings; empty: off.
QUrl submissionAddress(QString *why)
{
    const QString file = ZDLocalPaths::systemPath(QStringLiteral("/etc/xdg/com.zendrel.Quellar.plist"));
    struct stat st {};
    if (::lstat(QFile::encodeName(file).constData(), &st) != 0) {
        *why = QStringLiteral("crash submission is off: no crashSubmissionURL in %1").arg(file);
        return {};
    }
    if (!S_ISREG(st.st_mode) || st.st_uid != 0 || (st.st_mode & (S_IWGRP | S_IWOTH))) {
        *why = QStringLiteral("%1 is not root's own file: crash submission stays off").arg(file);
        return {};
    }
    const QUrl url(ZDPropertyList::readDictionary(file).value(QStringLiteral("crashSubmissionURL")).toString(), QUrl::StrictMode);
    const bool loopback = url.host() == QLatin1String("127.0.0.1") || url.host() == QLatin1String("localhost") || url.host() == QLatin1String("::1");
    if (!url.isValid() || url.host().isEmpty() || !(url.scheme() == QLatin1String("https") || (url.scheme() == QLatin1String("http") && loopback))) {
        *why = url.isEmpty() ? QStringLiteral("crash submission is off: no crashSubmissionURL in %1").arg(file)
                             : QStringLiteral("crashSubmissionURL must be an https address (http only to this computer)");
        return {};
    }
    return url;
}

int submit(const QString &path, const QString &comment)
{
    const auto report = readReport(path);
    if (!report)
        return ZDTool::refuse("Quellar", QStringLiteral("cannot read %1").arg(path), ZDTool::kFailed);
    const QByteArray bytes = report->toUtf8();
    const QString sum = QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
    if (const QString folder = recordFolder(); !folder.isEmpty()) {
        QSaveFile out(folder + QStringLiteral("/submit-") + sum.left(16) + QStringLiteral(".result"));
        const QString text = QStringLiteral("file=%1\nsha256=%2\ncomment=%3\n")
                                 .arg(path, sum, QString(comment).replace(QLatin1Char('\n'), QLatin1Char(' ')));
        if (!out.open(QIODevice::WriteOnly) || out.write(text.toUtf8()) < 0 || !out.commit())
            return 73;
    }
    QString why;
    const QUrl url = submissionAddress(&why);
    if (url.isEmpty())
        return ZDTool::refuse("Quellar", why, 3);
    const QJsonObject body{{QStringLiteral("file"), QFileInfo(path).fileName()},
                           {QStringLiteral("sha256"), sum},
                           {QStringLiteral("cause"), causeOf(*report)},
                           {QStringLiteral("comment"), comment.left(4096)},
                           {QStringLiteral("report"), *report}};
    QNetworkAccessManager network;
    network.setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
    QNetworkRequest request(url);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    request.setTransferTimeout(60000);
    std::unique_ptr<QNetworkReply> reply(network.post(request, QJsonDocument(body).toJson(QJsonDocument::Compact)));
    QEventLoop loop;
    QObject::connect(reply.get(), &QNetworkReply::finished, &loop, &QEventLoop::quit);
    loop.exec();
    const int http = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (reply->error() != QNetworkReply::NoError || http < 200 || http > 299)
        return ZDTool::refuse("Quellar", QStringLiteral("%1 refused the report: %2").arg(url.host(), reply->errorString()), ZDTool::kFailed);
    std::printf("Quellar: report sent to %s\n", qPrintable(url.host()));
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    const bool ours = argc >= 2
        && (std::strcmp(argv[1], "-cause") == 0 || std::strcmp(argv[1], "-analyze") == 0
            || std::strcmp(argv[1], "-submit") == 0);
    if (!ours)
        return kestraToolTasksMain(argc, argv);
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    if (args.first() == QLatin1String("-cause"))
        return cause(args.mid(1));
    if (args.first() == QLatin1String("-analyze") && args.size() == 3 && args.at(1) == QLatin1String("-html"))
        return analyze(args.at(2));
    if (args.first() == QLatin1String("-submit") && args.size() == 3)
        return submit(args.at(1), args.at(2));
    std::fprintf(stderr, "usage: Quellar -cause FILE... | -analyze -html FILE | -submit FILE COMMENT\n");
    return 64;
}
