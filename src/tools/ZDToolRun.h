#pragma once
// What the tools share: their exit statuses, a refusal on standard error under the
// tool's name, the dispatch of the first argument to a table of commands, and the
// record of a run on a sandboxed computer.
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QSaveFile>
#include <QStringList>

#include <cstdio>
#include <span>

namespace ZDTool {

constexpr int kFailed = 1;
constexpr int kUsage = 64;
constexpr int kRefused = 65;

inline int refuse(const char *tool, const QString &why, int status = kRefused)
{
    std::fprintf(stderr, "%s: %s\n", tool, qPrintable(why));
    return status;
}

struct Command
{
    const char *word;
    int (*run)(const QStringList &);
};

// Runs the command the first argument names on the arguments after it; else the usage.
inline int dispatch(int argc, char **argv, std::span<const Command> commands, const char *tool, const QString &usage)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    for (const Command &command : commands) {
        if (args.value(1) == QLatin1String(command.word))
            return command.run(args.mid(2));
    }
    return refuse(tool, usage, kUsage);
}

// The folder of run records, <KESTRA_SYSTEM_ROOT>/var/lib/standins: only a sandboxed
// computer (tests, the demo) sets a system root, so an installed tool records nothing.
inline QString recordRoot()
{
    const QByteArray root = qgetenv("KESTRA_SYSTEM_ROOT");
    return root.isEmpty() ? QString() : QFile::decodeName(root) + QStringLiteral("/var/lib/standins");
}

// Replaces <record root>/<tool>/<name>.result whole.
inline void writeResult(const QString &tool, const QString &name, const QString &text)
{
    const QString root = recordRoot();
    if (root.isEmpty())
        return;
    const QString folder = root + QLatin1Char('/') + tool;
    QDir().mkpath(folder);
    QSaveFile file(folder + QLatin1Char('/') + name + QStringLiteral(".result"));
    if (file.open(QIODevice::WriteOnly) && file.write(text.toUtf8()) >= 0)
        file.commit();
}

} // namespace ZDTool
