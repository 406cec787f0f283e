// Kitterel, the system-cache tool:
//   -clearcaches KEY,KEY,... -force
// Each cache key's Linux work, in the order given (the table in README.md):
//   font            the user's font cache folder goes and `fc-cache -f` rebuilds it;
//                   with rights `fc-cache -s -f` rebuilds the computer's
//   launchservices  `update-desktop-database`, `update-mime-database` and
//                   `gtk-update-icon-cache` on the user's folders (~/.local/share), with
//                   rights on the computer's (/usr/share)
//   qt              the media framework's registry (~/.cache/gstreamer-1.0) and the
//                   thumbnails (~/.cache/thumbnails) go; both are rebuilt on next use
//   audiounit       the media framework's registry, which holds the audio plug-in scan
//   prebinding      `ldconfig` (rights)      kernel   `depmod -a` (rights)
//   whatis          `mandb -q` (rights; the user's own index without)
//   lookupd         `resolvectl flush-caches` (rights)
//   cups            the print server's PPD index (/var/cache/cups/ppds.dat, rights)
//   audio, spotlight, malware: no Linux counterpart; skipped without a step
// A key needing rights, or whose program is missing, fails with a line on standard
// error naming the key. As root the user's folders are only emptied (never filled with
// files root would own); on a sandboxed computer (KESTRA_SYSTEM_ROOT) the computer-wide
// programs that cannot be aimed into the sandbox are skipped.
// Exit status: 0 done, 1 a key failed, 2 an unknown or repeated key, 64 a usage error.
// One progress step per key worked on and the run's end go to the agent's local
// callback (a run with rights needs it). On a sandboxed computer every run is recorded
// in <root>/var/lib/standins/Kitterel/clearcaches.result for tests to read.
#include "ZDSystemCommand.h"
#include "ZDToolRun.h"
#include "bus/ZDLocalCallbackClient.h"
#include "catalog/ZDApplicationTables.h"
#include "platform/ZDLocalPaths.h"

#include <QCoreApplication>
#include <QDir>
#include <QStandardPaths>

#include <cstdio>
#include <cstring>

#include <unistd.h>

int kestraToolTasksMain(int argc, char **argv);

namespace {

struct Run
{
    bool rights = ::geteuid() == 0;
    bool sandbox = ZDLocalPaths::systemRoot() != QLatin1String("/");
    QString record;
    bool ok = true;

    void fail(const QString &key, const QString &why)
    {
        std::fprintf(stderr, "Kitterel: %s: %s\n", qPrintable(key), qPrintable(why));
        record += QStringLiteral("failed=%1: %2\n").arg(key, QString(why).replace(QLatin1Char('\n'), QLatin1Char(' ')));
        ok = false;
    }
    void command(const QString &key, const QString &program, const QStringList &args)
    {
        const ZDSystemCommand::Result r = ZDSystemCommand::run(program, args, 300000);
        record += QStringLiteral("command=%1\n").arg(r.commandLine);
        if (!r.ok)
            fail(key, r.error);
    }
    // A computer-wide program that knows no other root: skipped on a sandboxed computer.
    void computerCommand(const QString &key, const QString &program, const QStringList &args)
    {
        if (!rights)
            return fail(key, QStringLiteral("%1 needs administrator rights").arg(program));
        if (sandbox) {
            record += QStringLiteral("skipped=%1 (the computer's own folders, outside %2)\n")
                          .arg((QStringList{program} + args).join(QLatin1Char(' ')), ZDLocalPaths::systemRoot());
            return;
        }
        command(key, program, args);
    }
    void removeCache(const QString &key, const QString &base, const QString &relative)
    {
        QString why;
        if (ZDSystemCommand::removeBeneath(base, relative, true, &why))
            record += QStringLiteral("removed=%1/%2\n").arg(base, relative);
        else
            fail(key, QStringLiteral("%1/%2: %3").arg(base, relative, why));
    }
};

QString userCache()
{
    return ZDLocalPaths::cacheDirectory(true);
}

QString userData()
{
    const QString data = qEnvironmentVariable("XDG_DATA_HOME");
    return data.startsWith(QLatin1Char('/')) ? data : ZDLocalPaths::userDirectory() + QStringLiteral("/.local/share");
}

// The desktop entries, MIME and icon databases of one share folder ("~/.local/share", "/usr/share").
void desktopDatabases(Run &run, const QString &key, const QString &share)
{
    if (QDir(share + QStringLiteral("/applications")).exists())
        run.command(key, QStringLiteral("update-desktop-database"), {QStringLiteral("-q"), share + QStringLiteral("/applications")});
    if (QDir(share + QStringLiteral("/mime/packages")).exists())
        run.command(key, QStringLiteral("update-mime-database"), {share + QStringLiteral("/mime")});
    const QFileInfoList themes = QDir(share + QStringLiteral("/icons")).entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::NoSymLinks);
    for (const QFileInfo &theme : themes.mid(0, 200)) {
        if (QFileInfo::exists(theme.filePath() + QStringLiteral("/index.theme")))
            run.command(key, QStringLiteral("gtk-update-icon-cache"), {QStringLiteral("-q"), QStringLiteral("-f"), QStringLiteral("-t"), theme.filePath()});
    }
}

// False for a key that has no Linux work (no progress step).
bool clear(Run &run, const QString &key)
{
    if (key == QLatin1String("font")) {
        run.removeCache(key, userCache(), QStringLiteral("fontconfig"));
        if (!run.rights)
            run.command(key, QStringLiteral("fc-cache"), {QStringLiteral("-f")});
        else
            run.computerCommand(key, QStringLiteral("fc-cache"), {QStringLiteral("-s"), QStringLiteral("-f")});
    } else if (key == QLatin1String("launchservices")) {
        if (!run.rights)
            desktopDatabases(run, key, userData());
        else
            desktopDatabases(run, key, ZDLocalPaths::systemPath(QStringLiteral("/usr/share")));
    } else if (key == QLatin1String("qt")) {
        run.removeCache(key, userCache(), QStringLiteral("gstreamer-1.0"));
        run.removeCache(key, userCache(), QStringLiteral("thumbnails"));
    } else if (key == QLatin1String("audiounit")) {
        run.removeCache(key, userCache(), QStringLiteral("gstreamer-1.0"));
    } else if (key == QLatin1String("prebinding")) {
        run.computerCommand(key, QStringLiteral("ldconfig"), {});
    } else if (key == QLatin1String("kernel")) {
        run.computerCommand(key, QStringLiteral("depmod"), {QStringLiteral("-a")});
    } else if (key == QLatin1String("whatis")) {
        if (run.rights)
            run.computerCommand(key, QStringLiteral("mandb"), {QStringLiteral("-q")});
        else
            run.command(key, QStringLiteral("mandb"), {QStringLiteral("-q"), QStringLiteral("--user-db")});
    } else if (key == QLatin1String("lookupd")) {
        run.computerCommand(key, QStringLiteral("resolvectl"), {QStringLiteral("flush-caches")});
    } else if (key == QLatin1String("cups")) {
        if (!run.rights)
            run.fail(key, QStringLiteral("the print server's cache needs administrator rights"));
        else
            run.removeCache(key, ZDLocalPaths::systemPath(QStringLiteral("/var/cache/cups")), QStringLiteral("ppds.dat"));
    } else {
        run.record += QStringLiteral("skipped=%1\n").arg(key);
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2 || std::strcmp(argv[1], "-clearcaches") != 0)
        return kestraToolTasksMain(argc, argv);
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(2);
    const QString joined = args.value(0);
    int status = args.size() != 2 || args.value(1) != QLatin1String("-force") ? ZDTool::kUsage
        : ZDApplicationTables::cacheListProblem(joined).isEmpty()            ? 0
                                                                             : 2;
    Run run;
    run.record = QStringLiteral("tool=Kitterel\ncommand=-clearcaches\nuid=%1\neuid=%2\n").arg(::getuid()).arg(::geteuid());
    const ZDLocalCallbackClient agent;
    if (status == ZDTool::kUsage)
        std::fprintf(stderr, "usage: Kitterel -clearcaches KEY,KEY,... -force\n");
    else if (status == 2)
        std::fprintf(stderr, "Kitterel: %s\n", qPrintable(ZDApplicationTables::cacheListProblem(joined)));
    for (const QString &key : joined.split(QLatin1Char(','))) {
        if (status != 0)
            break;
        if (clear(run, key))
            agent.callOneway(QStringLiteral("incrementRemoteProgress"));
    }
    if (status == 0 && !run.ok)
        status = ZDTool::kFailed;
    run.record += QStringLiteral("status=%1\n").arg(status);
    ZDTool::writeResult(QStringLiteral("Kitterel"), QStringLiteral("clearcaches"), run.record);
    agent.callOneway(QStringLiteral("postFinishedTask"));
    return status;
}
