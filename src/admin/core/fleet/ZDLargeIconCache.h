#pragma once
// The information panel's large computer pictures: "serviceicons-large.cache.plist"
// in the console's cache folder, host name -> image data, written atomically.
// Only data that decodes as an image of bounded size is kept or handed out.
// Thread-safe.
#include <QByteArray>
#include <QString>

class ZDLargeIconCache
{
public:
    static constexpr int kIconSide = 48;
    static constexpr const char *kFileName = "serviceicons-large.cache.plist";
    static constexpr int kMaxHosts = 2000;

    // Empty: the console's cache folder.
    explicit ZDLargeIconCache(const QString &path = QString());

    QString path() const { return m_path; }
    QByteArray cachedIcon(const QString &hostName) const;
    bool storeIcon(const QString &hostName, const QByteArray &data) const;

private:
    QString m_path;
};
