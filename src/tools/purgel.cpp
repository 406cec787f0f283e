// Purgel, the removal tool:
//   -auto -custom N      trashes the applications of component group N from the
//                        computer's applications folder (group "Final Cut Pro /
//                        Express" is both, "Shared Files" none, the others the
//                        application of the group's title); an application the
//                        catalogue knows as Debian packages is removed through
//                        PackageKit (its installed packages, purged), and a folder
//                        no package owns still goes to the Trash
// Exit status: 0 done, 1 an application could not be trashed, 2 an unknown group,
// 64 a usage error. Every run is recorded as
// $KESTRA_SYSTEM_ROOT/var/lib/standins/Purgel/remove.result with the user ids. Every
// run tells the agent it finished through its local callback, which a run with
// rights needs; the agent passes on only the first notice of a run. Anything else is the task protocol (remote tasks).
#include "bus/ZDPackageKit.h"
#include "catalog/ZDApplicationTables.h"
#include "catalog/ZDCatalogue.h"
#include "files/ZDFileManager.h"
#include "bus/ZDLocalCallbackClient.h"
#include "platform/ZDLocalPaths.h"
#include "ZDToolRun.h"

#include <QCoreApplication>
#include <QFileInfo>

#include <cstring>

#include <unistd.h>

int kestraToolTasksMain(int argc, char **argv);

namespace {
// The installed packages of the catalogue's application of this name, through PackageKit.
bool removePackages(const QString &name, QString *record)
{
    QStringList packages;
    for (const auto &app : ZDCatalogue::current().applications)
        if (app.name.compare(name, Qt::CaseInsensitive) == 0)
            packages << app.debianPackages << app.flatpakIds;
    if (packages.isEmpty())
        return true;
    const ZDPackageKit pk;
    if (!pk.available())
        return true; // nothing installed through it; its folder, if any, still goes to the Trash
    const ZDPackageKit::Result installed = pk.installed(packages);
    QStringList ids;
    for (const ZDPackageKit::Package &p : installed.packages)
        ids << p.id;
    const ZDPackageKit::Result removed = ids.isEmpty() ? installed : pk.remove(ids);
    if (!removed.ok) {
        *record += QStringLiteral("error=%1\n").arg(QString(removed.error).replace(QLatin1Char('\n'), QLatin1Char(' ')));
        // Answered before this run ends, so the consoles read PackageKit's words before the exit status.
        const auto told =
            ZDLocalCallbackClient().call(QStringLiteral("postErrorString:"), {QStringLiteral("%1: %2").arg(name, removed.error)});
        if (!told.ok)
            *record += QStringLiteral("told=%1\n").arg(told.errorMessage.left(200));
        return false;
    }
    for (const QString &id : std::as_const(ids))
        *record += QStringLiteral("removed=%1\n").arg(id);
    return true;
}
} // namespace

int main(int argc, char **argv)
{
    if (argc < 2 || std::strcmp(argv[1], "-auto") != 0)
        return kestraToolTasksMain(argc, argv);
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    bool ok = false;
    const int group = args.value(2).toInt(&ok);
    int status = args.size() != 3 || args.value(1) != QLatin1String("-custom") || !ok ? 64
        : ZDApplicationTables::isRemovalGroup(group)                                  ? 0
                                                                                      : 2;
    QString text = QStringLiteral("tool=Purgel\ncommand=-auto -custom\ngroup=%1\nuid=%2\neuid=%3\n")
                       .arg(args.value(2).left(16))
                       .arg(::getuid())
                       .arg(::geteuid());
    if (status == 0) {
        const QString title = ZDApplicationTables::removalGroups().at(group).title;
        QStringList names = title == QLatin1String("Final Cut Pro / Express")
            ? QStringList{QStringLiteral("Final Cut Pro"), QStringLiteral("Final Cut Express")}
            : title == QLatin1String("Shared Files") ? QStringList() : QStringList{title};
        for (const QString &name : names) {
            if (!removePackages(name, &text))
                status = 1;
            const QString bundle = ZDLocalPaths::applicationDirectory(false) + QLatin1Char('/') + name + QStringLiteral(".app");
            if (!QFileInfo::exists(bundle))
                continue;
            if (ZDFileManager::trashFile(bundle, false))
                text += QStringLiteral("trashed=%1\n").arg(bundle);
            else
                status = 1;
        }
    }
    text += QStringLiteral("status=%1\n").arg(status);
    ZDTool::writeResult(QStringLiteral("Purgel"), QStringLiteral("remove"), text);
    ZDLocalCallbackClient().callOneway(QStringLiteral("postFinishedTask"));
    return status;
}
