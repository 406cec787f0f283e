// Tidwell, the cleaning tool:
//   -runtask ID,ID,...   empties each cleaning task's cache folder, the folder named
//                        after the task in the user's cache folder (~/.cache/<ID>), and
//                        nothing else: only identifiers of the catalogue's cleaning
//                        tasks are taken, every folder is opened without following
//                        links (a link in a cache is deleted, never what it points to)
//                        and nothing on another file system is touched
//   -runpreset N         the same for the tasks the catalogue's preset N ticks
// Exit status: 0 done, 1 a cache could not be emptied, 2 an unknown or repeated task
// or preset, 64 a usage error. On a sandboxed computer (KESTRA_SYSTEM_ROOT) every run
// is recorded as <root>/var/lib/standins/Tidwell/runtask.result, and a cache holding
// ".hold" keeps the tool waiting until that file goes (at most two minutes), so tests
// can make a clean that outlasts the agent's time-out. Anything else is the task protocol.
#include "ZDSystemCommand.h"
#include "ZDToolRun.h"
#include "catalog/ZDApplicationTables.h"
#include "platform/ZDLocalPaths.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QThread>

#include <cstdio>
#include <cstring>

#include <unistd.h>

int kestraToolTasksMain(int argc, char **argv);

int main(int argc, char **argv)
{
    const bool ours = argc >= 2 && (std::strcmp(argv[1], "-runtask") == 0 || std::strcmp(argv[1], "-runpreset") == 0);
    if (!ours)
        return kestraToolTasksMain(argc, argv);
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(2);
    QStringList ids;
    if (app.arguments().at(1) == QLatin1String("-runpreset")) {
        bool number = false;
        const int preset = args.value(0).toInt(&number);
        ids = number ? ZDApplicationTables::cleaningPreset(preset) : QStringList();
        if (ids.isEmpty())
            ids << args.value(0);
    } else {
        ids = args.value(0).split(QLatin1Char(','));
    }
    const QString problem = ZDApplicationTables::cleaningListProblem(ids);
    int status = args.size() != 1 ? ZDTool::kUsage : problem.isEmpty() ? 0 : 2;
    if (status == 2)
        std::fprintf(stderr, "Tidwell: %s\n", qPrintable(problem));
    const bool sandbox = ZDLocalPaths::systemRoot() != QLatin1String("/");
    const QString caches = ZDLocalPaths::cacheDirectory(true);
    QString text = QStringLiteral("tool=Tidwell\ncommand=-runtask\nuid=%1\n").arg(::getuid());
    for (const QString &id : ids) {
        if (status == ZDTool::kUsage || status == 2)
            break;
        const QString cache = caches + QLatin1Char('/') + id;
        for (int tenths = 0; sandbox && tenths < 1200 && QFileInfo::exists(cache + QStringLiteral("/.hold")); ++tenths)
            QThread::msleep(100);
        QString why;
        if (ZDSystemCommand::removeBeneath(caches, id, true, &why)) {
            text += QStringLiteral("cleaned=%1\n").arg(id);
        } else {
            std::fprintf(stderr, "Tidwell: %s: %s\n", qPrintable(cache), qPrintable(why));
            status = ZDTool::kFailed;
        }
    }
    text += QStringLiteral("status=%1\n").arg(status);
    ZDTool::writeResult(QStringLiteral("Tidwell"), QStringLiteral("runtask"), text);
    return status;
}
