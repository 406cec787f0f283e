#include "features/ZDPluginsFolders.h"

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
    const auto sys = [](const char *path) { return ZDLocalPaths::systemPath(QLatin1String(path)); };
    const QString home = ZDLocalPaths::userDirectory();
    const QString support = ZDLocalPaths::appSupportDirectory(false);
    const QString apps = ZDLocalPaths::applicationDirectory(false);
    const auto own = [&home](const char *relative) { return join(home, QLatin1String(relative)); };
    return {
        {QStringLiteral("FxPlug"), sys("/usr/OFX/Plugins"), join(ZDLocalPaths::libraryDirectory(true), QStringLiteral("OFX/Plugins"))},
        {QStringLiteral("FxScript"), join(support, QStringLiteral("Final Cut Pro System Support/Plugins")),
         join(ZDLocalPaths::prefsDirectory(true), QStringLiteral("Final Cut Pro User Data/Plugins"))},
        {QStringLiteral("Audio Unit"), sys("/usr/lib/lv2"), own(".lv2")},
        {QStringLiteral("Avid AVX"), join(apps, QStringLiteral("Avid Media Composer/SupportingFiles/AVX_Plug-Ins")), {}},
        {QStringLiteral("Avid AVX"), join(apps, QStringLiteral("Avid Symphony/SupportingFiles/AVX_Plug-Ins")), {}},
        {QStringLiteral("Avid AVX"), join(support, QStringLiteral("Avid/AVX2_Plug-ins")), {}},
        {QStringLiteral("Avid RTAS"), join(support, QStringLiteral("Digidesign/Plug-Ins")), {}},
        {QStringLiteral("Adobe Plugin"),
         join(support, QStringLiteral("Adobe/Common/Plug-ins/%1/MediaCore").arg(adobeSuiteName())), {}},
        {QStringLiteral("VST"), sys("/usr/lib/vst3"), own(".vst3")},
        {QStringLiteral("VST"), sys("/usr/lib/vst"), own(".vst")},
        {QStringLiteral("Motion Template"), join(support, QStringLiteral("Final Cut Pro/Templates.localized")),
         join(ZDLocalPaths::movieDirectory(), QStringLiteral("Motion Templates.localized"))},
        {QStringLiteral("LADSPA"), sys("/usr/lib/ladspa"), own(".ladspa")},
        {QStringLiteral("frei0r"), sys("/usr/lib/frei0r-1"), own(".frei0r-1/lib")},
    };
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
