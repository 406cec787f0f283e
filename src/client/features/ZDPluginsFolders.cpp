#include "features/ZDPluginsFolders.h"

#include "catalog/ZDCatalogue.h"
#include "platform/ZDLocalPaths.h"
#include "plist/ZDPropertyList.h"

#include <QDir>
#include <QFileInfo>

#include <sys/stat.h>

namespace {

QString join(const QString &base, const QString &relative)
{
    return base.isEmpty() ? QString() : QDir::cleanPath(base + QLatin1Char('/') + relative);
}

bool isInside(const QString &path, const QString &folder)
{
    return !folder.isEmpty() && path.size() > folder.size() + 1 && path.startsWith(folder + QLatin1Char('/'));
}

// The whole major number of a version text ("10.0.1" -> 10); -1 when there is none.
int majorOf(const QString &version)
{
    bool ok = false;
    const int major = version.section(QLatin1Char('.'), 0, 0).trimmed().toInt(&ok);
    return ok && major >= 0 ? major : -1;
}

QString canonicalOrSelf(const QString &path)
{
    const QString canonical = QFileInfo(path).canonicalFilePath();
    return canonical.isEmpty() ? QDir::cleanPath(path) : canonical;
}

} // namespace

QString ZDPluginsFolders::adobeSuiteName()
{
    int newest = -1;
    const QDir apps(ZDLocalPaths::applicationDirectory(false));
    const QStringList entries = apps.entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::NoSymLinks);
    for (const QString &entry : entries.mid(0, 1000)) {
        if (!entry.startsWith(QLatin1String("Adobe Premiere "), Qt::CaseInsensitive))
            continue;
        const QVariantMap info = ZDPropertyList::readDictionary(
            apps.filePath(entry + QLatin1Char('/') + entry + QStringLiteral(".app/Contents/Info.plist")));
        QString version = info.value(QStringLiteral("CFBundleVersionString")).toString();
        if (version.isEmpty())
            version = info.value(QStringLiteral("CFBundleVersion")).toString();
        newest = std::max(newest, majorOf(version));
    }
    return newest < 0 ? QStringLiteral("CS6") : QStringLiteral("CS%1").arg(newest);
}

QList<ZDPluginFolder> ZDPluginsFolders::folders()
{
    constexpr int kMaxMatches = 32;
    QList<ZDPluginFolder> rows;
    const QString suite = QStringLiteral("{adobeSuite}");
    for (const ZDApplicationTables::PluginFolder &f : ZDApplicationTables::pluginFolders()) {
        const auto place = [&suite](const QString &pattern) {
            if (pattern.isEmpty())
                return QString();
            QString path = ZDCatalogue::expand(pattern);
            if (path.contains(suite))
                path.replace(suite, adobeSuiteName());
            return QDir::cleanPath(path);
        };
        const ZDPluginFolder row{f.type, place(f.computer), place(f.user), f.extensions, f.folderPlugins};
        if (!row.computer.contains(QLatin1Char('*')) && !row.user.contains(QLatin1Char('*'))) {
            rows << row;
            continue;
        }
        // A folder per version ("~/.config/blender/*/scripts/addons"): one row for each
        // that exists, with the side that has no such folder left out.
        for (const bool user : {false, true}) {
            const QString pattern = user ? row.user : row.computer;
            const QStringList matches = !pattern.contains(QLatin1Char('*')) ? QStringList(pattern)
                                                                             : ZDCatalogue::glob(pattern, kMaxMatches);
            for (const QString &match : matches) {
                if (match.isEmpty())
                    continue;
                ZDPluginFolder one = row;
                (user ? one.user : one.computer) = match;
                (user ? one.computer : one.user).clear();
                rows << one;
            }
        }
    }
    return rows;
}

QString ZDPluginsFolders::disabledRoot()
{
    return join(ZDLocalPaths::appSupportDirectory(false),
                QStringLiteral("Zendrel/Kestra Maintenance Tools/Brindel Disabled Plugins"));
}

bool ZDPluginsFolders::isDisabledPath(const QString &path)
{
    return isInside(QDir::cleanPath(path), disabledRoot());
}

QString ZDPluginsFolders::withoutDisabledPrefix(const QString &path)
{
    const QString clean = QDir::cleanPath(path);
    return isDisabledPath(clean) ? clean.mid(disabledRoot().size()) : clean;
}

int ZDPluginsFolders::accessTypeForPath(const QString &path)
{
    return isInside(withoutDisabledPrefix(path), ZDLocalPaths::userDirectory()) ? 1 : 0;
}

bool ZDPluginsFolders::locate(const QString &path, ZDPluginFolder *row, QString *base)
{
    const QString enabled = withoutDisabledPrefix(path);
    // The longest base wins: a user folder may lie inside a computer folder's tree.
    qsizetype best = -1;
    for (const ZDPluginFolder &f : folders()) {
        for (const QString &folder : {f.computer, f.user}) {
            if (isInside(enabled, folder) && folder.size() > best) {
                best = folder.size();
                if (row)
                    *row = f;
                if (base)
                    *base = folder;
            }
        }
    }
    return best >= 0;
}

QString ZDPluginsFolders::resolveInside(const QString &path)
{
    if (path.isEmpty() || path.size() > 4096 || path.contains(QChar(0)) || !QDir::isAbsolutePath(path))
        return {};
    const QFileInfo info(QDir::cleanPath(path));
    const QString name = info.fileName();
    if (name.isEmpty() || name == QLatin1String("..") || name == QLatin1String("."))
        return {};
    const QString parent = QFileInfo(info.absolutePath()).canonicalFilePath();
    if (parent.isEmpty())
        return {};
    const QString resolved = parent + QLatin1Char('/') + name;
    struct stat st{};
    if (::lstat(QFile::encodeName(resolved).constData(), &st) != 0 || S_ISLNK(st.st_mode))
        return {};
    const QString root = canonicalOrSelf(disabledRoot());
    for (const ZDPluginFolder &f : folders()) {
        for (const QString &folder : {f.computer, f.user}) {
            if (folder.isEmpty())
                continue;
            if (isInside(resolved, canonicalOrSelf(folder)) || isInside(resolved, canonicalOrSelf(root + folder)))
                return resolved;
        }
    }
    return {};
}

QString ZDPluginsFolders::destination(const QString &path, int access, bool disabled)
{
    ZDPluginFolder row;
    QString base;
    if (!locate(path, &row, &base))
        return {};
    const QString enabled = withoutDisabledPrefix(path);
    const QString sub = enabled.mid(base.size()); // "/subfolder/Name.ext"
    if (access < 0)
        access = base == row.user ? 1 : 0;
    const QString newBase = access == 0 ? row.computer : row.user;
    if (newBase.isEmpty())
        return {};
    const QString target = QDir::cleanPath(newBase + sub);
    return disabled ? disabledRoot() + target : target;
}

QString ZDPluginsFolders::installFolderForType(const QString &type)
{
    if (type != QLatin1String("FxPlug") && type != QLatin1String("FxScript") && type != QLatin1String("Audio Unit"))
        return {};
    for (const ZDPluginFolder &f : folders()) {
        if (f.type == type)
            return f.user;
    }
    return {};
}
