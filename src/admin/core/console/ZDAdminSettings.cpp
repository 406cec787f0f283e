#include "console/ZDAdminSettings.h"

#include "platform/ZDLocalPaths.h"

#include <QDir>

QString ZDAdminSettings::defaultPath()
{
    const QByteArray custom = qgetenv("KESTRA_ADMIN_SETTINGS");
    if (!custom.isEmpty())
        return QString::fromLocal8Bit(custom);
    return QDir(ZDLocalPaths::prefsDirectory(true)).filePath(QString::fromLatin1(kFileName));
}

std::unique_ptr<QSettings> ZDAdminSettings::open(const QString &path)
{
    return std::make_unique<QSettings>(path.isEmpty() ? defaultPath() : path, QSettings::IniFormat);
}

QString ZDAdminSettings::stateDirectory()
{
    const QString dir = QDir(ZDLocalPaths::cacheDirectory(true)).filePath(QStringLiteral("com.zendrel.KestraAdmin"));
    QDir().mkpath(dir);
    return dir;
}
