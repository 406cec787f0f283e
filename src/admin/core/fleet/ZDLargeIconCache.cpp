#include "fleet/ZDLargeIconCache.h"

#include "plist/ZDPropertyList.h"
#include "fleet/ZDServiceIcons.h"

#include <QDir>
#include <QFileInfo>
#include <QImage>

#include <mutex>

namespace {

std::mutex &cacheMutex()
{
    static std::mutex mutex;
    return mutex;
}

} // namespace

ZDLargeIconCache::ZDLargeIconCache(const QString &path)
    : m_path(path.isEmpty() ? QDir(ZDServiceIcons::cacheDirectory()).filePath(QString::fromLatin1(kFileName)) : path)
{
}

QByteArray ZDLargeIconCache::cachedIcon(const QString &hostName) const
{
    if (hostName.isEmpty())
        return {};
    QVariant cached;
    {
        std::lock_guard lock(cacheMutex());
        cached = ZDPropertyList::readDictionary(m_path).value(hostName);
    }
    if (cached.typeId() != QMetaType::QByteArray || ZDServiceIcons::decode(cached.toByteArray()).isNull())
        return {};
    return cached.toByteArray();
}

bool ZDLargeIconCache::storeIcon(const QString &hostName, const QByteArray &data) const
{
    const QImage image = ZDServiceIcons::decode(data);
    if (hostName.isEmpty() || image.isNull())
        return false;
    // Kept at panel size whatever the agent sent.
    const QByteArray png = ZDServiceIcons::pngData(
        image.scaled(kIconSide, kIconSide, Qt::KeepAspectRatio, Qt::SmoothTransformation));
    std::lock_guard lock(cacheMutex());
    QVariantMap icons = ZDPropertyList::readDictionary(m_path);
    if (!icons.contains(hostName) && icons.size() >= kMaxHosts)
        icons.clear(); // a cache, not an archive
    icons.insert(hostName, png);
    QDir().mkpath(QFileInfo(m_path).absolutePath());
    return ZDPropertyList::writeFile(m_path, icons, ZDPropertyList::Format::Binary);
}
