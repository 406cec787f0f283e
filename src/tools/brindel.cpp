// Brindel, the plug-in tool.
// It moves plug-ins between their folders, as the agent expects of the tool:
//   -disable PATH          into the disabled-plug-ins mirror (whole former path kept)
//   -enable PATH           back out of the mirror
//   -setaccess MODE PATH   between the computer's (0) and the user's (1) folder of
//                          its kind, keeping subfolders and the disabled state
// Exit status: 0 done, 1 the move failed, 2 the path is not inside a plug-in folder
// (or not in the state the command needs), 64 a usage error. Every run is recorded
// as $KESTRA_SYSTEM_ROOT/var/lib/standins/Brindel/<command>.result with the user ids,
// so a test sees whether it ran with rights. Anything else is the
// task protocol (remote tasks).
#include "files/ZDFileTree.h"
#include "features/ZDPluginsFolders.h"
#include "ZDToolRun.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#include <cstdio>
#include <cstring>

#include <unistd.h>

int kestraToolTasksMain(int argc, char **argv);

namespace {

void record(const QString &command, const QStringList &args, int status)
{
    QString text = QStringLiteral("tool=Brindel\ncommand=%1\nuid=%2\neuid=%3\nstatus=%4\n")
                       .arg(command)
                       .arg(::getuid())
                       .arg(::geteuid())
                       .arg(status);
    for (const QString &arg : args)
        text += QStringLiteral("arg=") + QString(arg).replace(QLatin1Char('\n'), QLatin1Char(' ')) + QLatin1Char('\n');
    ZDTool::writeResult(QStringLiteral("Brindel"), command.mid(1), text);
}

int moveTo(const QString &from, const QString &to)
{
    if (to.isEmpty())
        return 2;
    if (to == from)
        return 0;
    if (!QDir().mkpath(QFileInfo(to).absolutePath()))
        return 1;
    const ZDFileTree::Result moved = ZDFileTree::move(from, to);
    if (!moved.ok)
        std::fprintf(stderr, "Brindel: %s\n", qPrintable(moved.description()));
    return moved.ok ? 0 : 1;
}

int run(const QString &command, const QStringList &args)
{
    const QString given = args.value(command == QLatin1String("-setaccess") ? 1 : 0);
    const QString path = ZDPluginsFolders::resolveInside(given);
    if (path.isEmpty()) {
        std::fprintf(stderr, "Brindel: %s is not a plug-in\n", qPrintable(given));
        return 2;
    }
    const bool disabled = ZDPluginsFolders::isDisabledPath(path);
    if (command == QLatin1String("-disable"))
        return disabled ? 2 : moveTo(path, ZDPluginsFolders::destination(path, -1, true));
    if (command == QLatin1String("-enable"))
        return disabled ? moveTo(path, ZDPluginsFolders::withoutDisabledPrefix(path)) : 2;
    bool ok = false;
    const int mode = args.value(0).toInt(&ok);
    if (!ok || (mode != 0 && mode != 1))
        return 64;
    return moveTo(path, ZDPluginsFolders::destination(path, mode, disabled));
}

} // namespace

int main(int argc, char **argv)
{
    const bool ours = argc >= 2
        && (std::strcmp(argv[1], "-disable") == 0 || std::strcmp(argv[1], "-enable") == 0
            || std::strcmp(argv[1], "-setaccess") == 0);
    if (!ours)
        return kestraToolTasksMain(argc, argv);
    QCoreApplication app(argc, argv);
    const QString command = QString::fromLocal8Bit(argv[1]);
    const QStringList args = app.arguments().mid(2);
    const int needed = command == QLatin1String("-setaccess") ? 2 : 1;
    const int status = args.size() == needed ? run(command, args) : 64;
    record(command, args, status);
    return status;
}
