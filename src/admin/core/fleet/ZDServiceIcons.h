#pragma once
// Pictures of computers for the list: the icon for a model identifier, compiled
// into the library, and the console's disk cache of the icons agents sent
// ("serviceicons.cache.plist", host name -> image data). Thread-safe.
#include <QByteArray>
#include <QImage>
#include <QString>

class ZDServiceIcons
{
public:
    ZDServiceIcons() = delete;

    static constexpr int kListIconSize = 16;
    // Larger image data from an agent or the cache is not looked at.
    static constexpr qsizetype kMaxIconBytes = 4 * 1024 * 1024;
    static constexpr qsizetype kMaxCachedBytes = 256 * 1024;

    // The icon for "MacPro5,1", "LinuxLaptop" and the like, sized as asked; null when unknown.
    static QImage iconForModel(const QString &model, int size);

    // "<user cache folder>/Kestra Admin", created when missing.
    static QString cacheDirectory();
    static QString cachePath();
    // The cached image data of a host; empty when none or not an image.
    static QByteArray cachedIcon(const QString &hostName);
    static bool storeIcon(const QString &hostName, const QByteArray &data);

    // Null for data that is empty, too large or not an image.
    static QImage decode(const QByteArray &data);
    static QByteArray pngData(const QImage &image);
    // PNG data of the list-sized icon; empty when the data is not an image.
    static QByteArray listIcon(const QByteArray &data);
};
