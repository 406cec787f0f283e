// The task protocol of the tools, linked into every tool (and the stand-ins): a task
// row's command "-task NAME [action...]" reports to the agent and the console through
// the notifications and callbacks below. On a sandboxed computer every run records
// what it was asked, so a test can see that the work happened, as whom, and with
// which arguments:
//   <record folder>/<tool>/<name>.result   (lines "key=value"; one "arg=" per argument)
// The record folder is "--record DIR" when given, else
// $KESTRA_SYSTEM_ROOT/var/lib/standins; without either nothing is recorded.
//
// Remote tasks ("-task NAME [action...]", the console's options come after) then
// carry out their actions in order:
//   --progress             posts "ZDKMTTaskProgressIncrement"
//   --finished             posts "ZDKMTTaskFinished"
//   --error-code N         posts "ZDKMTTaskError" {"errorCode": N}
//   --error-string TEXT    posts "ZDKMTTaskError" {"errorString": TEXT}
//   --callback NAME        posts NAME {"output": the output text}
//   --output TEXT          the output text (default "<tool> <task> done")
//   --local OP [TEXT]      calls OP on the agent's local callback object (TEXT as its argument)
//   --sleep SECONDS        sleeps (at most an hour)
//   --wait-for PATH        waits until PATH exists (at most two minutes)
//   --exit N               the exit status (default 0)
//   --record DIR           the record folder
// Unknown words are recorded and otherwise ignored, as a tool ignores options it
// does not know.
#include "bus/ZDLocalCallbackClient.h"
#include "bus/ZDNotificationCenter.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QSaveFile>
#include <QStringList>
#include <QThread>

#include <cstdio>

#include <unistd.h>

namespace {

struct Context
{
    QString tool;      // the executable's name, i.e. the tool's
    QStringList args;  // everything after the command word
    QString recordDir; // empty: record nothing
};

QString safeFileName(const QString &name)
{
    QString safe;
    for (const QChar c : name) {
        if (c.isLetterOrNumber() || c == QLatin1Char('-') || c == QLatin1Char('_'))
            safe += c;
    }
    return safe.isEmpty() ? QStringLiteral("run") : safe.left(64);
}

bool record(const Context &context, const QString &command, const QString &name)
{
    if (context.recordDir.isEmpty())
        return true;
    const QString folder = context.recordDir + QLatin1Char('/') + safeFileName(context.tool);
    if (!QDir().mkpath(folder))
        return false;
    QString text = QStringLiteral("tool=%1\ncommand=%2\nname=%3\nuid=%4\neuid=%5\n")
                       .arg(context.tool, command, name)
                       .arg(::getuid())
                       .arg(::geteuid());
    for (const QString &arg : context.args)
        text += QStringLiteral("arg=") + QString(arg).replace(QLatin1Char('\n'), QLatin1Char(' ')) + QLatin1Char('\n');
    QSaveFile file(folder + QLatin1Char('/') + safeFileName(name) + QStringLiteral(".result"));
    return file.open(QIODevice::WriteOnly) && file.write(text.toUtf8()) >= 0 && file.commit();
}

bool post(const QString &name, const QVariantMap &info = {})
{
    const bool ok = ZDNotificationCenter::postNotification(name, info);
    if (!ok)
        std::fprintf(stderr, "could not post %s\n", qPrintable(name));
    return ok;
}

// "-task NAME [action...]": a remote task of the tool's task table.
int runTask(Context &context)
{
    const QStringList &a = context.args;
    const QString name = a.value(0);
    QString output = QStringLiteral("%1 %2 done").arg(context.tool, name);
    int status = 0;
    for (int i = 1; i < a.size(); ++i) {
        if (a.at(i) == QLatin1String("--output") && i + 1 < a.size())
            output = a.at(++i);
        else if (a.at(i) == QLatin1String("--record") && i + 1 < a.size())
            context.recordDir = a.at(++i);
    }
    if (!record(context, QStringLiteral("-task"), name))
        status = 73;
    for (int i = 1; i < a.size(); ++i) {
        const QString &word = a.at(i);
        const bool hasValue = i + 1 < a.size();
        if (word == QLatin1String("--progress")) {
            post(QStringLiteral("ZDKMTTaskProgressIncrement"));
        } else if (word == QLatin1String("--finished")) {
            post(QStringLiteral("ZDKMTTaskFinished"));
        } else if (word == QLatin1String("--error-code") && hasValue) {
            post(QStringLiteral("ZDKMTTaskError"), {{QStringLiteral("errorCode"), a.at(++i).toLongLong()}});
        } else if (word == QLatin1String("--error-string") && hasValue) {
            post(QStringLiteral("ZDKMTTaskError"), {{QStringLiteral("errorString"), a.at(++i)}});
        } else if (word == QLatin1String("--callback") && hasValue) {
            post(a.at(++i), {{QStringLiteral("output"), output}});
        } else if (word == QLatin1String("--local") && hasValue) {
            const QString op = a.at(++i);
            QVariantList arguments;
            if (op.endsWith(QLatin1Char(':')) && i + 1 < a.size())
                arguments << a.at(++i);
            if (!ZDLocalCallbackClient().callOneway(op, arguments))
                std::fprintf(stderr, "could not call %s\n", qPrintable(op));
        } else if (word == QLatin1String("--sleep") && hasValue) {
            const int seconds = qBound(0, a.at(++i).toInt(), 3600);
            QThread::sleep(seconds);
        } else if (word == QLatin1String("--wait-for") && hasValue) {
            const QString path = a.at(++i);
            for (int tenths = 0; tenths < 1200 && !QFileInfo::exists(path); ++tenths)
                QThread::msleep(100);
        } else if (word == QLatin1String("--exit") && hasValue) {
            status = a.at(++i).toInt();
        } else if ((word == QLatin1String("--output") || word == QLatin1String("--record")) && hasValue) {
            ++i;
        }
    }
    return status;
}

struct Command
{
    const char *word;
    int (*run)(Context &);
    const char *usage;
};

// Command lines of the protocol; add a row for each new one.
const Command kCommands[] = {
    {"-task", runTask, "-task NAME [--progress] [--finished] [--error-code N] [--error-string TEXT] "
                       "[--callback NAME] [--output TEXT] [--local OP [TEXT]] [--sleep S] [--wait-for PATH] [--exit N] "
                       "[--record DIR]"},
};

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    Context context;
    context.tool = QFileInfo(args.value(0)).fileName();
    const QByteArray root = qgetenv("KESTRA_SYSTEM_ROOT");
    if (!root.isEmpty())
        context.recordDir = QFile::decodeName(root) + QStringLiteral("/var/lib/standins");
    context.args = args.mid(2);
    for (const Command &command : kCommands) {
        if (args.value(1) == QLatin1String(command.word))
            return command.run(context);
    }
    std::fprintf(stderr, "usage: %s COMMAND...\n", qPrintable(context.tool));
    for (const Command &command : kCommands)
        std::fprintf(stderr, "  %s\n", command.usage);
    return 64;
}
