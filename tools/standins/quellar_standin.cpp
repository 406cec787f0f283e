// Stand-in for the maker's crash-analysis tool. Its own command lines:
//   -cause FILE...        one cause line per readable file, in order: the crash's
//                         signal and the top frame's module ("SIGSEGV (invalid memory
//                         access) in libfoo.so"), "Unknown" when the report names
//                         none; nothing for a file it cannot read
//   -analyze -html FILE   an HTML explanation, every text from the file escaped
//   -submit FILE COMMENT  records the file's SHA-256 and the comment
// Every run is recorded under $KESTRA_SYSTEM_ROOT/var/lib/standins/Quellar
// (cause.log: one line per file asked about; submit-<sum>.result). Remote tasks
// ("-task ...") are the generic stand-in's.
#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStringList>

#include <cstdio>
#include <cstring>
#include <optional>

int kestraToolStandinTasksMain(int argc, char **argv);

namespace {

constexpr qint64 kMaxReportBytes = 8 * 1024 * 1024;

QString recordFolder()
{
    const QByteArray root = qgetenv("KESTRA_SYSTEM_ROOT");
    if (root.isEmpty())
        return {};
    const QString folder = QFile::decodeName(root) + QStringLiteral("/var/lib/standins/Quellar");
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
    return QString::fromUtf8(file.read(kMaxReportBytes));
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

QString causeOf(const QString &report)
{
    const QStringList lines = report.split(QLatin1Char('\n'));
    const QString what = meaning(valueOf(lines, QStringLiteral("Exception Type:")));
    if (what.isEmpty())
        return QStringLiteral("Unknown");
    const QStringList frames = crashedFrames(lines);
    const QString module = frames.isEmpty() ? QString() : moduleOf(frames.first());
    return module.isEmpty() ? what : what + QStringLiteral(" in ") + module;
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

int analyze(const QString &path)
{
    const auto report = readReport(path);
    if (!report)
        return 1;
    const QStringList lines = report->split(QLatin1Char('\n'));
    QString html = QStringLiteral("<h2>") + causeOf(*report).toHtmlEscaped() + QStringLiteral("</h2>");
    html += QStringLiteral("<p>Application: ") + valueOf(lines, QStringLiteral("Process:")).toHtmlEscaped()
        + QStringLiteral("</p><h3>Crashed thread</h3><pre>");
    html += crashedFrames(lines).join(QLatin1Char('\n')).toHtmlEscaped();
    html += QStringLiteral("</pre><p>See <a href=\"https://support.invalid/crash\">the support pages</a>.</p>");
    std::printf("%s\n", html.toUtf8().constData());
    return 0;
}

int submit(const QString &path, const QString &comment)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return 1;
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (!hash.addData(&file))
        return 1;
    const QString sum = QString::fromLatin1(hash.result().toHex());
    const QString folder = recordFolder();
    if (folder.isEmpty())
        return 0;
    QSaveFile out(folder + QStringLiteral("/submit-") + sum.left(16) + QStringLiteral(".result"));
    const QString text = QStringLiteral("file=%1\nsha256=%2\ncomment=%3\n")
                             .arg(path, sum, QString(comment).replace(QLatin1Char('\n'), QLatin1Char(' ')));
    return out.open(QIODevice::WriteOnly) && out.write(text.toUtf8()) >= 0 && out.commit() ? 0 : 73;
}

} // namespace

int main(int argc, char **argv)
{
    const bool ours = argc >= 2
        && (std::strcmp(argv[1], "-cause") == 0 || std::strcmp(argv[1], "-analyze") == 0
            || std::strcmp(argv[1], "-submit") == 0);
    if (!ours)
        return kestraToolStandinTasksMain(argc, argv);
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
