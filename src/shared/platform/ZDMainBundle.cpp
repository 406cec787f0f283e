#include "platform/ZDMainBundle.h"

#include "platform/ZDLocalPaths.h"
#include "plist/ZDPropertyList.h"

#include <QDir>
#include <QFileInfo>

#include <unistd.h>

namespace {

struct BundleInfo
{
    QString executable;
    QString bundle;
    QVariantMap info;
};

const BundleInfo &bundleInfo()
{
    static const BundleInfo info = [] {
        BundleInfo b;
        char buf[4096];
        const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
        if (n > 0) {
            b.executable = QString::fromLocal8Bit(buf, qsizetype(n));
            const QLatin1String deleted(" (deleted)");
            if (b.executable.endsWith(deleted))
                b.executable.chop(deleted.size());
        }
        const QFileInfo macos(QFileInfo(b.executable).path());
        const QFileInfo contents(macos.path());
        if (!b.executable.isEmpty() && macos.fileName() == QLatin1String("MacOS")
            && contents.fileName() == QLatin1String("Contents") && contents.path().endsWith(QLatin1String(".app"))) {
            b.bundle = contents.path();
            b.info = ZDPropertyList::readDictionary(contents.filePath() + QStringLiteral("/Info.plist"));
        }
        return b;
    }();
    return info;
}

} // namespace

QString ZDMainBundle::executablePath() { return bundleInfo().executable; }
QString ZDMainBundle::bundlePath() { return bundleInfo().bundle; }
QVariantMap ZDMainBundle::infoDictionary() { return bundleInfo().info; }

QString ZDMainBundle::resourcePath()
{
    const QString bundle = bundlePath();
    return bundle.isEmpty() ? QString() : bundle + QStringLiteral("/Contents/Resources");
}

QString ZDMainBundle::infoString(const QString &key)
{
    const QVariant v = bundleInfo().info.value(key);
    return v.typeId() == QMetaType::QString ? v.toString().trimmed() : QString();
}

QString ZDMainBundle::name()
{
    QString n = infoString(QStringLiteral("CFBundleName"));
    if (n.isEmpty())
        n = QFileInfo(executablePath()).completeBaseName();
    return n.isEmpty() ? QStringLiteral("Kestra") : n;
}

QString ZDMainBundle::identifier() { return infoString(QStringLiteral("CFBundleIdentifier")); }

QString ZDMainBundle::versionText()
{
    const QString shortVersion = infoString(QStringLiteral("CFBundleShortVersionString"));
    const QString version = infoString(QStringLiteral("CFBundleVersion"));
    if (!shortVersion.isEmpty() && !version.isEmpty())
        return shortVersion + QStringLiteral(" (") + version + QLatin1Char(')');
    return shortVersion.isEmpty() ? version : shortVersion;
}

QString ZDMainBundle::userSettingsPath()
{
    QString base = identifier();
    if (base.isEmpty())
        base = name();
    // A name is a file name here, never a path.
    base.replace(QLatin1Char('/'), QLatin1Char('_'));
    return ZDLocalPaths::prefsDirectory(true) + QLatin1Char('/') + base + QStringLiteral(".plist");
}

QVariant ZDMainBundle::userSetting(const QString &key)
{
    return ZDPropertyList::readDictionary(userSettingsPath()).value(key);
}

bool ZDMainBundle::setUserSetting(const QString &key, const QVariant &value)
{
    const QString path = userSettingsPath();
    QVariantMap settings = ZDPropertyList::readDictionary(path);
    settings.insert(key, value);
    QDir().mkpath(QFileInfo(path).path());
    return ZDPropertyList::writeFile(path, settings);
}
