// Stand-in for the maker's system tool:
//   -clearcaches KEY,KEY,... -force
//                        for each cache key: deletes its cache in the user's caches
//                        folder (fontconfig for "font", gstreamer-1.0 for "qt", the
//                        key's name otherwise), records the system command the key
//                        stands for instead of running it, and posts one progress
//                        step through the agent's local callback. "malware" has no
//                        meaning here and is skipped without a step.
// Exit status: 0 done, 1 a cache could not be deleted, 2 an unknown or repeated key,
// 64 a usage error. Every run is recorded as
// $KESTRA_SYSTEM_ROOT/var/lib/standins/Kitterel/clearcaches.result ("command=" per
// key, the user ids); every run reports its end through the local callback too (a run
// with rights needs it; the agent passes on only the first notice of a run).
// Anything else is the common tools' stand-in (remote tasks).
#include "catalog/ZDApplicationTables.h"
#include "bus/ZDLocalCallbackClient.h"
#include "platform/ZDLocalPaths.h"
#include "standin_common.h"

#include <QCoreApplication>
#include <QDir>

#include <cstring>

#include <unistd.h>

int kestraToolStandinTasksMain(int argc, char **argv);

int main(int argc, char **argv)
{
    if (argc < 2 || std::strcmp(argv[1], "-clearcaches") != 0)
        return kestraToolStandinTasksMain(argc, argv);
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(2);
    const QString joined = args.value(0);
    int status = args.size() != 2 || args.value(1) != QLatin1String("-force") ? 64
        : ZDApplicationTables::cacheListProblem(joined).isEmpty()             ? 0
                                                                              : 2;
    QString text = QStringLiteral("tool=Kitterel\ncommand=-clearcaches\nuid=%1\neuid=%2\n").arg(::getuid()).arg(::geteuid());
    const ZDLocalCallbackClient agent;
    for (const QString &key : joined.split(QLatin1Char(','))) {
        if (status != 0 && status != 1)
            break;
        if (key == QLatin1String("malware")) {
            text += QStringLiteral("skipped=malware\n");
            continue;
        }
        const QString folder = key == QLatin1String("font") ? QStringLiteral("fontconfig")
            : key == QLatin1String("qt")                     ? QStringLiteral("gstreamer-1.0")
                                                             : key;
        QDir cache(ZDLocalPaths::cacheDirectory(true) + QLatin1Char('/') + folder);
        if (cache.exists() && !cache.removeRecursively())
            status = 1;
        for (const auto &row : ZDApplicationTables::cacheKeys()) {
            if (row.key == key)
                text += QStringLiteral("command=%1\n").arg(row.linuxAction);
        }
        agent.callOneway(QStringLiteral("incrementRemoteProgress"));
    }
    text += QStringLiteral("status=%1\n").arg(status);
    Standin::writeResult(QStringLiteral("Kitterel"), QStringLiteral("clearcaches"), text);
    agent.callOneway(QStringLiteral("postFinishedTask"));
    return status;
}
