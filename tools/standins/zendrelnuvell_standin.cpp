// Stand-in for the maker's update tool:
//   -list -forceIDs GROUP     prints {"updates": [...]}: the entries of the catalogue whose
//                             application is installed here with a lower CFBundleVersion
//   -install TYPE BUNDLEID    replaces that application's folder by the catalogue's copy
//                             (staged beside it, swapped by rename) and reports its end
//                             through the agent's local callback
// The catalogue is $KESTRA_SYSTEM_ROOT/var/lib/standins/Nuvell/catalog.plist:
// {"updates": [{"title", "type", "size", "changelist", "bundleid", "version", "source"
// (an application folder), optional "url", "manualOnly"}]}. Every install is recorded
// in install.result beside it. Exit status: 0 done, 1 failed, 2 no such update, 64 usage.
#include "files/ZDFileTree.h"
#include "bus/ZDLocalCallbackClient.h"
#include "plist/ZDPropertyList.h"
#include "agent/ZDToolCatalog.h"

#include <QCoreApplication>
#include <QDir>
#include <QSaveFile>
#include <QTemporaryDir>

#include <cstdio>

#include <unistd.h>

namespace {
QString stateFolder()
{
    return QFile::decodeName(qgetenv("KESTRA_SYSTEM_ROOT")) + QStringLiteral("/var/lib/standins/Nuvell");
}

int versionOf(const QString &bundle)
{
    bool ok = false;
    const int v = ZDPropertyList::readDictionary(bundle + QStringLiteral("/Contents/Info.plist"))
                      .value(QStringLiteral("CFBundleVersion")).toString().toInt(&ok);
    return ok ? v : -1;
}

QString installedPath(const QString &bundleID)
{
    return ZDToolCatalog().pathForAppWithBundleID(bundleID, ZDToolCatalog::Run::AsUser);
}

int install(const QVariantList &catalogue, const QString &type, const QString &bundleID)
{
    for (const QVariant &v : catalogue) {
        const QVariantMap entry = v.toMap();
        if (entry.value(QStringLiteral("type")).toString() != type
            || entry.value(QStringLiteral("bundleid")).toString().compare(bundleID, Qt::CaseInsensitive) != 0)
            continue;
        const QString target = installedPath(bundleID);
        if (target.isEmpty())
            return 2;
        QTemporaryDir staging(QFileInfo(target).absolutePath() + QStringLiteral("/.nuvell-install-XXXXXX"));
        const QString fresh = staging.filePath(QStringLiteral("new"));
        const QString previous = staging.filePath(QStringLiteral("previous"));
        if (!staging.isValid() || !ZDFileTree::copy(entry.value(QStringLiteral("source")).toString(), fresh).ok
            || !QFile::rename(target, previous))
            return 1;
        if (!QFile::rename(fresh, target)) {
            QFile::rename(previous, target);
            return 1;
        }
        return 0;
    }
    return 2;
}
} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    const QVariantList catalogue =
        ZDPropertyList::readDictionary(stateFolder() + QStringLiteral("/catalog.plist")).value(QStringLiteral("updates")).toList();
    if (args.size() == 3 && args[0] == QLatin1String("-list") && args[1] == QLatin1String("-forceIDs")) {
        QVariantList updates;
        for (const QVariant &v : catalogue) {
            QVariantMap entry = v.toMap();
            const QString path = installedPath(entry.value(QStringLiteral("bundleid")).toString());
            if (path.isEmpty() || versionOf(path) >= entry.value(QStringLiteral("version")).toString().toInt())
                continue;
            entry.remove(QStringLiteral("source"));
            entry.insert(QStringLiteral("path"), path);
            updates << entry;
        }
        const QByteArray out = ZDPropertyList::toData(QVariantMap{{QStringLiteral("updates"), updates}});
        std::fwrite(out.constData(), 1, size_t(out.size()), stdout);
        return 0;
    }
    if (args.size() != 3 || args[0] != QLatin1String("-install"))
        return 64;
    const int status = install(catalogue, args[1], args[2]);
    QDir().mkpath(stateFolder());
    QFile record(stateFolder() + QStringLiteral("/install.result"));
    if (record.open(QIODevice::Append))
        record.write(QStringLiteral("install=%1 %2 status=%3 euid=%4\n").arg(args[1], args[2]).arg(status).arg(::geteuid()).toUtf8());
    record.close();
    ZDLocalCallbackClient().callOneway(QStringLiteral("postFinishedTask"));
    return status;
}
