#include "features/ZDCatalogueLocator.h"

#include "catalog/ZDCatalogue.h"
#include "log/ZDLog.h"
#include "platform/ZDLocalPaths.h"
#include "process/ZDTaskEx.h"
#include "rights/ZDAuthorization.h"
#include "platform/ZDBoundedRead.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QRegularExpression>
#include <QStandardPaths>

#include <mutex>

namespace T = ZDApplicationTables;

namespace {

constexpr qint64 kMaxEntryBytes = 256 * 1024;

QByteArray readBounded(const QString &path, qint64 limit)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.size() > limit)
        return {};
    return ZDBoundedRead::upTo(file, limit);
}

QString sys(const char *path)
{
    return ZDLocalPaths::systemPath(QLatin1String(path));
}

// Flatpak installations: the computer's, then the user's.
QStringList flatpakRoots()
{
    return {sys("/var/lib/flatpak"), ZDLocalPaths::appSupportDirectory(true) + QStringLiteral("/flatpak")};
}

QStringList desktopFolders()
{
    return {ZDLocalPaths::appSupportDirectory(true) + QStringLiteral("/applications"),
            sys("/usr/local/share/applications"), sys("/usr/share/applications")};
}

// The [Desktop Entry] group's Name and the program of its Exec; false when hidden.
bool readDesktopEntry(const QByteArray &entry, QString *name, QString *program)
{
    bool inMain = false;
    for (const QByteArray &raw : entry.split('\n')) {
        const QString line = QString::fromUtf8(raw).trimmed();
        if (line.startsWith(QLatin1Char('['))) {
            inMain = line == QLatin1String("[Desktop Entry]");
            continue;
        }
        if (!inMain)
            continue;
        if (line == QLatin1String("Hidden=true"))
            return false;
        if (line.startsWith(QLatin1String("Name=")) && name->isEmpty())
            *name = line.mid(5);
        if (line.startsWith(QLatin1String("Exec=")) && program->isEmpty()) {
            QString first = line.mid(5).trimmed().section(QLatin1Char(' '), 0, 0);
            first.remove(QLatin1Char('"'));
            *program = first;
        }
    }
    return true;
}

struct PackageDatabase
{
    std::mutex mutex;
    QDateTime modified;
    qint64 size = -1;
    QHash<QString, QString> versions; // installed packages only
};

void readStatus(const QString &path, QHash<QString, QString> &versions)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return;
    QString package, version;
    bool installed = false;
    qint64 read = 0;
    const auto flush = [&] {
        if (installed && !package.isEmpty() && !version.isEmpty())
            versions.insert(package, version);
        package.clear();
        version.clear();
        installed = false;
    };
    while (!file.atEnd() && read < ZDCatalogueLocator::kMaxStatusBytes) {
        const QByteArray line = file.readLine(4096);
        read += line.size();
        const QByteArray trimmed = line.trimmed();
        if (trimmed.isEmpty()) {
            flush();
        } else if (line.startsWith("Package: ")) {
            package = QString::fromUtf8(trimmed.mid(9));
        } else if (line.startsWith("Version: ")) {
            version = QString::fromUtf8(trimmed.mid(9)).left(ZDCatalogueLocator::kMaxVersionLength);
        } else if (line.startsWith("Status: ")) {
            installed = trimmed.endsWith(" installed");
        }
    }
    flush();
}

QString flatpakActive(const QString &id, QString *exported)
{
    for (const QString &root : flatpakRoots()) {
        const QString active = root + QStringLiteral("/app/") + id + QStringLiteral("/current/active");
        if (QFileInfo(active).isDir()) {
            *exported = root + QStringLiteral("/exports/bin/") + id;
            return active;
        }
    }
    return {};
}

QString commandVersion(const T::App &app, const QString &executable)
{
    if (app.versionPattern.isEmpty() || executable.isEmpty() || !ZDTaskEx::isRunnable(executable))
        return {};
    // A root agent runs only what root alone may change.
    if (ZDLocalPaths::isRoot() && ZDAuthorization::trustedPath(executable).isEmpty())
        return {};
    const auto output = ZDTaskEx::dataFromTask(executable, app.versionArguments, ZDCatalogueLocator::kVersionTimeout);
    if (!output)
        return {};
    const QRegularExpression pattern(app.versionPattern, QRegularExpression::MultilineOption);
    const QRegularExpressionMatch m = pattern.match(QString::fromUtf8(output->left(64 * 1024)));
    return m.hasMatch() ? m.captured(1).left(ZDCatalogueLocator::kMaxVersionLength) : QString();
}

} // namespace

bool ZDCatalogueLocator::describesLinux(const T::App &app)
{
    return !app.desktopIds.isEmpty() || !app.executables.isEmpty() || !app.flatpakIds.isEmpty()
        || !app.applicationFolders.isEmpty();
}

QString ZDCatalogueLocator::findProgram(const QString &name)
{
    if (name.isEmpty())
        return {};
    if (QDir::isAbsolutePath(name))
        return ZDLocalPaths::systemPath(QDir::cleanPath(name));
    if (name.contains(QLatin1Char('/')))
        return {};
    for (const char *folder : {"/usr/local/bin", "/usr/bin", "/usr/games"}) {
        const QString candidate = sys(folder) + QLatin1Char('/') + name;
        if (QFileInfo(candidate).isFile())
            return candidate;
    }
    return QStandardPaths::findExecutable(name);
}

QString ZDCatalogueLocator::packageVersion(const QStringList &packages)
{
    static PackageDatabase db;
    const QString status = sys("/var/lib/dpkg/status");
    const QFileInfo info(status);
    std::lock_guard lock(db.mutex);
    if (info.lastModified() != db.modified || info.size() != db.size) {
        db.versions.clear();
        db.modified = info.lastModified();
        db.size = info.size();
        readStatus(status, db.versions);
    }
    for (const QString &p : packages) {
        const QString v = db.versions.value(p);
        if (!v.isEmpty())
            return v;
    }
    return {};
}

QString ZDCatalogueLocator::metadataVersion(const QString &file)
{
    static const QRegularExpression release(QStringLiteral("<release[^>]*\\sversion=\"([^\"]{1,64})\""));
    const QRegularExpressionMatch m = release.match(QString::fromUtf8(readBounded(file, kMaxMetadataBytes)));
    return m.hasMatch() ? m.captured(1) : QString();
}

ZDCatalogueLocator::Found ZDCatalogueLocator::locate(const T::App &app)
{
    Found found;
    QString flatpakFiles;
    for (const QString &id : app.desktopIds) {
        for (const QString &folder : desktopFolders()) {
            const QString entry = folder + QLatin1Char('/') + id + QStringLiteral(".desktop");
            QString program;
            if (found.path.isEmpty() && QFileInfo(entry).isFile()
                && readDesktopEntry(readBounded(entry, kMaxEntryBytes), &found.name, &program)) {
                found.path = entry;
                found.executable = findProgram(program);
            }
        }
    }
    for (const QString &folder : app.applicationFolders) {
        const QString path = ZDCatalogue::expand(folder);
        if (found.path.isEmpty() && QFileInfo(path).isDir())
            found.path = path;
    }
    // The entry's own programs name what its processes run better than a launcher script.
    for (const QString &name : app.executables) {
        const QString exe = QDir::isAbsolutePath(name) ? ZDCatalogue::expand(name) : findProgram(name);
        if (exe.isEmpty() || !QFileInfo(exe).isFile())
            continue;
        if (found.path.isEmpty())
            found.path = exe;
        found.executable = exe;
        break;
    }
    if (found.path.isEmpty()) {
        for (const QString &id : app.flatpakIds) {
            QString exported;
            const QString active = flatpakActive(id, &exported);
            if (active.isEmpty())
                continue;
            found.path = active;
            found.executable = QFileInfo(exported).isFile() ? exported : QString();
            flatpakFiles = active + QStringLiteral("/files/share/metainfo/") + id;
            break;
        }
    }
    if (found.path.isEmpty())
        return {};
    if (found.name.isEmpty())
        found.name = app.name;
    found.version = packageVersion(app.debianPackages);
    QStringList metadata;
    if (!flatpakFiles.isEmpty())
        metadata << flatpakFiles + QStringLiteral(".metainfo.xml") << flatpakFiles + QStringLiteral(".appdata.xml");
    for (const QString &id : app.desktopIds + app.flatpakIds) {
        for (const char *folder : {"/usr/share/metainfo", "/usr/local/share/metainfo"}) {
            metadata << sys(folder) + QLatin1Char('/') + id + QStringLiteral(".metainfo.xml")
                     << sys(folder) + QLatin1Char('/') + id + QStringLiteral(".appdata.xml");
        }
    }
    for (const QString &file : metadata) {
        if (found.version.isEmpty())
            found.version = metadataVersion(file);
    }
    if (found.version.isEmpty())
        found.version = commandVersion(app, found.executable);
    return found;
}
