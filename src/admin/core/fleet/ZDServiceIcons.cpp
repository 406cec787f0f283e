#include "fleet/ZDServiceIcons.h"

#include "platform/ZDLocalPaths.h"
#include "plist/ZDPropertyList.h"

#include <QBuffer>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QVariantMap>

#include <mutex>

namespace {

// The cache file in memory. A thousand computers connecting at once would
// otherwise read and rewrite a growing file a thousand times: stores that
// arrive while one is being written go out together in the next write.
struct IconCache
{
    std::mutex mutex;
    QString path;
    QVariantMap icons;
    QDateTime loadedStamp; // of the file as last read or written
    qint64 loadedSize = -1;
    bool dirty = false;
    bool writing = false;

    // Reads the file again when someone else changed it.
    void refresh(const QString &file)
    {
        const QFileInfo info(file);
        const QDateTime stamp = info.exists() ? info.lastModified() : QDateTime();
        const qint64 size = info.exists() ? info.size() : -1;
        if (file == path && stamp == loadedStamp && size == loadedSize)
            return;
        path = file;
        icons = ZDPropertyList::readDictionary(file);
        loadedStamp = stamp;
        loadedSize = size;
    }
    void remember(const QString &file)
    {
        const QFileInfo info(file);
        loadedStamp = info.lastModified();
        loadedSize = info.size();
    }
};

IconCache &iconCache()
{
    static IconCache cache;
    return cache;
}

struct Rule
{
    const char *text;
    bool whole; // the whole identifier, not a prefix
    const char *file;
};

// First match wins, so the longer prefixes come first.
constexpr Rule kRules[] = {
    {"MacPro", false, "tower"},
    {"Xserve", false, "server"},
    {"RackMac", false, "server"},
    {"Macmini", false, "mini"},
    {"PowerMac10", false, "mini"},
    {"MacBookAir", false, "laptop-thin"},
    {"MacBookPro1,", false, "laptop-classic"},
    {"MacBookPro2,", false, "laptop-classic"},
    {"MacBookPro3,", false, "laptop-classic"},
    {"MacBookPro4,", false, "laptop-classic"},
    {"MacBookPro", false, "laptop"},
    {"MacBook1,", false, "laptop-white"},
    {"MacBook2,", false, "laptop-white"},
    {"MacBook3,", false, "laptop-white"},
    {"MacBook4,", false, "laptop-white"},
    {"MacBook5,2", true, "laptop-white"},
    {"MacBook", false, "laptop"},
    {"PowerMac3,5", true, "tower-classic"},
    {"PowerMac3,6", true, "tower-classic"},
    {"PowerMac1,", false, "tower-classic"},
    {"PowerMac3,", false, "tower-classic"},
    {"PowerMac5,", false, "tower-classic"},
    {"PowerMac4,", false, "allinone-classic"},
    {"PowerMac6,", false, "allinone-classic"},
    {"PowerMac8,", false, "allinone"},
    {"PowerMac12,", false, "allinone"},
    {"iMac4,", false, "allinone"},
    {"iMac5,", false, "allinone"},
    {"iMac6,", false, "allinone"},
    {"iMac", false, "allinone"},
    {"PowerMac", false, "tower"},
    {"PowerBook1,", false, "laptop-classic"},
    {"PowerBook3,", false, "laptop-classic"},
    {"PowerBook2,", false, "laptop-white"},
    {"PowerBook4,", false, "laptop-white"},
    {"PowerBook6,", false, "laptop-white"},
    {"PowerBook", false, "laptop-classic"},
    // Linux machines by chassis type.
    {"LinuxDesktop", false, "tower"},
    {"LinuxLaptop", false, "laptop"},
    {"LinuxServer", false, "server"},
    {"LinuxVM", false, "vm"},
    {"LinuxContainer", false, "container"},
    {"LinuxTablet", false, "tablet"},
};

} // namespace

QImage ZDServiceIcons::iconForModel(const QString &model, int size)
{
    if (model.isEmpty() || size <= 0 || size > 1024)
        return {};
    for (const Rule &rule : kRules) {
        const QLatin1String text(rule.text);
        if (rule.whole ? model == text : model.startsWith(text)) {
            const QImage image(QStringLiteral(":/kestra/icons/%1.png").arg(QLatin1String(rule.file)));
            if (image.isNull())
                return {};
            return image.scaled(size, size, Qt::KeepAspectRatio, Qt::SmoothTransformation);
        }
    }
    return {};
}

QString ZDServiceIcons::cacheDirectory()
{
    const QString path = ZDLocalPaths::cacheDirectory(true) + QStringLiteral("/Kestra Admin");
    QDir().mkpath(path);
    return path;
}

QString ZDServiceIcons::cachePath() { return cacheDirectory() + QStringLiteral("/serviceicons.cache.plist"); }

QByteArray ZDServiceIcons::cachedIcon(const QString &hostName)
{
    if (hostName.isEmpty())
        return {};
    IconCache &cache = iconCache();
    const QString path = cachePath();
    std::lock_guard lock(cache.mutex);
    if (!cache.writing)
        cache.refresh(path);
    const QVariant cached = cache.icons.value(hostName);
    if (cached.typeId() != QMetaType::QByteArray || decode(cached.toByteArray()).isNull())
        return {};
    return cached.toByteArray();
}

bool ZDServiceIcons::storeIcon(const QString &hostName, const QByteArray &picture)
{
    if (hostName.isEmpty() || decode(picture).isNull())
        return false;
    // Every host shares one file: a large picture is kept at list size.
    const QByteArray data = picture.size() > kMaxCachedBytes ? listIcon(picture) : picture;
    IconCache &cache = iconCache();
    const QString path = cachePath();
    std::unique_lock lock(cache.mutex);
    if (!cache.writing)
        cache.refresh(path);
    cache.icons.insert(hostName, data);
    cache.dirty = true;
    if (cache.writing)
        return true; // the running write takes it along
    cache.writing = true;
    bool ok = true;
    while (cache.dirty) {
        cache.dirty = false;
        const QVariantMap snapshot = cache.icons;
        lock.unlock();
        ok = ZDPropertyList::writeFile(path, snapshot, ZDPropertyList::Format::Binary);
        lock.lock();
        cache.remember(path);
    }
    cache.writing = false;
    return ok;
}

QImage ZDServiceIcons::decode(const QByteArray &data)
{
    if (data.isEmpty() || data.size() > kMaxIconBytes)
        return {};
    return QImage::fromData(data);
}

QByteArray ZDServiceIcons::pngData(const QImage &image)
{
    QByteArray data;
    QBuffer buffer(&data);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return data;
}

QByteArray ZDServiceIcons::listIcon(const QByteArray &data)
{
    const QImage image = decode(data);
    if (image.isNull())
        return {};
    return pngData(image.scaled(kListIconSize, kListIconSize, Qt::KeepAspectRatio, Qt::SmoothTransformation));
}
