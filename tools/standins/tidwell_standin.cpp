// Stand-in for the maker's cleaning tool:
//   -runtask ID,ID,...   deletes each task's cache, the folder named after the task
//                        in the user's caches folder; a cache holding ".hold" keeps
//                        the tool waiting until that file goes (at most two minutes),
//                        as a large clean would
// Exit status: 0 done, 1 a cache could not be deleted, 2 an unknown or repeated
// task, 64 a usage error. Every run is recorded as
// $KESTRA_SYSTEM_ROOT/var/lib/standins/Tidwell/runtask.result. Anything else is the
// common tools' stand-in (remote tasks).
#include "catalog/ZDApplicationTables.h"
#include "platform/ZDLocalPaths.h"
#include "standin_common.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QThread>

#include <cstring>

#include <unistd.h>

int kestraToolStandinTasksMain(int argc, char **argv);

int main(int argc, char **argv)
{
    if (argc < 2 || std::strcmp(argv[1], "-runtask") != 0)
        return kestraToolStandinTasksMain(argc, argv);
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(2);
    const QStringList ids = args.value(0).split(QLatin1Char(','));
    int status = args.size() != 1 ? 64 : ZDApplicationTables::cleaningListProblem(ids).isEmpty() ? 0 : 2;
    QString text = QStringLiteral("tool=Tidwell\ncommand=-runtask\nuid=%1\n").arg(::getuid());
    for (const QString &id : ids) {
        if (status == 64 || status == 2)
            break;
        const QString cache = ZDLocalPaths::cacheDirectory(true) + QLatin1Char('/') + id;
        for (int tenths = 0; tenths < 1200 && QFileInfo::exists(cache + QStringLiteral("/.hold")); ++tenths)
            QThread::msleep(100);
        if (!QDir(cache).exists() || QDir(cache).removeRecursively())
            text += QStringLiteral("cleaned=%1\n").arg(id);
        else
            status = 1;
    }
    text += QStringLiteral("status=%1\n").arg(status);
    Standin::writeResult(QStringLiteral("Tidwell"), QStringLiteral("runtask"), text);
    return status;
}
