// Tidwell, the cleaning tool:
//   -runtask ID,ID,...   empties each cleaning task's cache folders: the catalogue's
//                        paths of the task inside the user's home (a "*" matches within
//                        one name), or for a task without paths the folder named after
//                        it in the user's cache folder (~/.cache/<ID>); and
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
#include "catalog/ZDCatalogue.h"
#include "platform/ZDLocalPaths.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QThread>

#include <cstdio>
#include <cstring>

#include <unistd.h>

int kestraToolTasksMain(int argc, char **argv);

namespace {
constexpr int kMaxFoldersPerTask = 64;
}

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
    const QString home = ZDLocalPaths::userDirectory();
    for (const QString &id : ids) {
        if (status == ZDTool::kUsage || status == 2)
            break;
        // (trusted base, folder below it) pairs: each opened from the base without links.
        QList<std::pair<QString, QString>> folders;
        QStringList patterns;
        for (const ZDApplicationTables::CleaningTask &task : ZDApplicationTables::cleaningTasks()) {
            if (task.uniqueID == id)
                patterns = task.paths;
        }
        if (patterns.isEmpty())
            folders.append({caches, id});
        for (const QString &pattern : std::as_const(patterns)) {
            // The catalogue checked the pattern; only what lies in the user's home is this tool's.
            if (!pattern.startsWith(QLatin1String("~/"))) {
                std::fprintf(stderr, "Tidwell: %s: not in the user's home, left alone\n", qPrintable(pattern));
                continue;
            }
            for (const QString &path : ZDCatalogue::glob(ZDCatalogue::expand(pattern), kMaxFoldersPerTask)) {
                if (!home.isEmpty() && path.startsWith(home + QLatin1Char('/')))
                    folders.append({home, path.mid(home.size() + 1)});
            }
        }
        bool cleaned = true;
        for (const auto &[base, relative] : std::as_const(folders)) {
            const QString cache = base + QLatin1Char('/') + relative;
            for (int tenths = 0; sandbox && tenths < 1200 && QFileInfo::exists(cache + QStringLiteral("/.hold")); ++tenths)
                QThread::msleep(100);
            QString why;
            if (!ZDSystemCommand::removeBeneath(base, relative, true, &why)) {
                std::fprintf(stderr, "Tidwell: %s: %s\n", qPrintable(cache), qPrintable(why));
                status = ZDTool::kFailed;
                cleaned = false;
            }
        }
        if (cleaned)
            text += QStringLiteral("cleaned=%1\n").arg(id);
    }
    text += QStringLiteral("status=%1\n").arg(status);
    ZDTool::writeResult(QStringLiteral("Tidwell"), QStringLiteral("runtask"), text);
    return status;
}
