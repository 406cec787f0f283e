#include "features/updates/ZDSelfUpdate.h"

#include "console/ZDAdminSettings.h"
#include "files/ZDFileTree.h"
#include "log/ZDLog.h"
#include "platform/ZDMainBundle.h"
#include "plist/ZDPropertyList.h"
#include "trust/ZDSoftwareUpdatesFetch.h"
#include "trust/ZDUpdateSignature.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QUrl>
#include <QXmlStreamReader>

namespace ZDSelfUpdate {
namespace {
using namespace Qt::StringLiterals;

constexpr qint64 kMaxFeedBytes = 1024 * 1024;
constexpr qsizetype kMaxTextChars = 256 * 1024;
constexpr std::chrono::seconds kFeedTimeout{60};

struct FeedItem
{
    bool found = false;
    bool hasChildren = false;
    bool hasEnclosure = false;
    QXmlStreamAttributes enclosure;
    QString title, link, description;
};

// The first ".//channel/item" with its first enclosure; an XML error is returned as text.
FeedItem firstItem(const QByteArray &data, QString *error)
{
    QXmlStreamReader xml(data);
    FeedItem item;
    QStringList path;
    while (!item.found && !xml.atEnd()) {
        const auto token = xml.readNext();
        if (token == QXmlStreamReader::EndElement && !path.isEmpty())
            path.removeLast();
        if (token != QXmlStreamReader::StartElement)
            continue;
        if (xml.name() != "item"_L1 || path.value(path.size() - 1) != "channel"_L1) {
            path << xml.name().toString();
            continue;
        }
        item.found = true;
        while (xml.readNextStartElement()) {
            item.hasChildren = true;
            const QStringView name = xml.name();
            if (name == "enclosure"_L1 && xml.prefix().isEmpty() && !item.hasEnclosure) {
                item.hasEnclosure = true;
                item.enclosure = xml.attributes();
                xml.skipCurrentElement();
            } else if (xml.prefix().isEmpty() && (name == "title"_L1 || name == "link"_L1 || name == "description"_L1)) {
                const QString text = xml.readElementText(QXmlStreamReader::IncludeChildElements).left(kMaxTextChars);
                (name == "title"_L1 ? item.title : name == "link"_L1 ? item.link : item.description) = text;
            } else {
                xml.skipCurrentElement();
            }
        }
    }
    if (xml.hasError())
        *error = xml.errorString();
    return item;
}

QVariant sizeValue(const QString &text)
{
    bool ok = false;
    const qint64 size = text.toLongLong(&ok);
    return ok && size >= 0 ? QVariant(size) : QVariant(text.left(64));
}
} // namespace

bool storedVersionIsNewer(const QSettings &settings, const QString &bundlePath)
{
    const QString path = bundlePath.isEmpty() ? ZDMainBundle::bundlePath() : bundlePath;
    const QVariantMap info = path.isEmpty() ? QVariantMap()
                                            : ZDPropertyList::readDictionary(path + u"/Contents/Info.plist"_s);
    bool ok = false;
    const qint64 stored = settings.value(QLatin1String(kAvailableVersionSetting)).toString().toLongLong(&ok);
    const qint64 own = info.value(u"CFBundleVersion"_s).toString().toLongLong();
    return ok && own > 0 && stored > own;
}

QVariantMap checkForUpdatesToSelf()
{
    return checkForUpdatesToSelf(QString());
}

QVariantMap checkForUpdatesToSelf(const QString &bundlePath)
{
    const QString path = bundlePath.isEmpty() ? ZDMainBundle::bundlePath() : bundlePath;
    const QVariantMap info = path.isEmpty() ? QVariantMap()
                                            : ZDPropertyList::readDictionary(path + u"/Contents/Info.plist"_s);
    const auto settings = ZDAdminSettings::open();
    const QString custom = settings->value(QLatin1String(kFeedSetting)).toString();
    const QUrl feed(custom.isEmpty() ? info.value(u"SUFeedURL"_s).toString() : custom);
    const QString identifier = info.value(u"CFBundleIdentifier"_s).toString();
    const int version = info.value(u"CFBundleVersion"_s).toString().toInt();
    const QString versionString = info.value(u"CFBundleShortVersionString"_s).toString();
    ZDLog::appendLog(u"Checking for updates to self..."_s);
    if (feed.isEmpty() || path.isEmpty() || identifier.isEmpty() || version <= 0)
        return {};

    ZDLog::appendLog(u"Connecting to feed..."_s);
    const auto fetched = ZDSoftwareUpdatesFetch::get(feed, kMaxFeedBytes, kFeedTimeout);
    if (!fetched.data) {
        ZDLog::appendLog(fetched.error);
        return {};
    }
    QString error;
    ZDLog::appendLog(u"Querying feed..."_s);
    const FeedItem item = firstItem(*fetched.data, &error);
    if (!error.isEmpty()) {
        ZDLog::appendLog(error);
        return {};
    }
    if (!item.found) {
        ZDLog::appendLog(u"No items found."_s);
        return {};
    }
    ZDLog::appendLog(u"Querying enclosures..."_s);
    if (!item.hasEnclosure) {
        ZDLog::appendLog(u"No enclosures found."_s);
        return {};
    }

    ZDLog::appendLog(u"Querying attributes..."_s);
    const int newVersion = item.enclosure.value(u"sparkle:version"_s).toInt();
    ZDLog::appendLog(u"Found version %i"_s, newVersion);
    if (newVersion <= version) {
        ZDLog::appendLog(u"Software is up to date."_s);
        return {};
    }
    ZDLog::appendLog(u"Update available."_s);
    QVariantMap entry{{u"newVersion"_s, newVersion}, {u"oldVersion"_s, version}, {u"oldVersionString"_s, versionString}};
    ZDLog::appendLog(u"Loading new version..."_s);
    entry.insert(u"newVersionString"_s, item.enclosure.value(u"sparkle:shortVersionString"_s).left(64).toString());
    ZDLog::appendLog(u"Loading URL..."_s);
    // The updater refuses anything but HTTPS (or loopback) itself; a relative address is the feed's.
    const QUrl url = feed.resolved(QUrl(item.enclosure.value(u"url"_s).left(4096).toString()));
    entry.insert(u"url"_s, ZDUpdateSignature::isAllowedURL(url) ? url.toString() : QString());
    ZDLog::appendLog(u"Loading size..."_s);
    entry.insert(u"size"_s, sizeValue(item.enclosure.value(u"size"_s).toString()));

    ZDLog::appendLog(u"Getting more info for item..."_s);
    if (!item.hasChildren) {
        ZDLog::appendLog(u"Unable to get information about Sparkle update"_s);
        return {};
    }
    entry.insert(u"title"_s, item.title);
    entry.insert(u"pageurl"_s, item.link);
    entry.insert(u"changelist"_s, item.description);
    entry.insert(u"bundleid"_s, identifier);
    entry.insert(u"path"_s, path);
    entry.insert(u"selected"_s, 1);
    entry.insert(u"type"_s, u"admin"_s);
    settings->setValue(QLatin1String(kAvailableVersionSetting), newVersion);
    ZDLog::appendLog(u"Returning data..."_s);
    return entry;
}

bool installSelfUpdate(const QString &url, Failure *failure)
{
    const auto fail = [failure](const QString &title, const QString &text) {
        ZDLog::appendLog(u"%@: %@"_s, title, text);
        if (failure)
            *failure = {title, text};
        return false;
    };
    if (!ZDUpdateSignature::isAllowedURL(QUrl(url)))
        return fail(u"Unable to initiate download."_s, u"Please install this update manually."_s);
    const QString name = QLatin1String(kUpdaterName) + u".app"_s;
    const QString resources = ZDMainBundle::resourcePath();
    const QString shipped = resources.isEmpty() ? QString() : QDir(resources).filePath(name);
    if (shipped.isEmpty() || !QFileInfo(shipped).isDir())
        return fail(u"Unable to find software updater"_s, u"Please reinstall this application."_s);

    // Its own private folder: the copy outlives the console, and the updater removes it as it quits.
    QTemporaryDir folder(QDir::tempPath() + u"/"_s + QLatin1String(kUpdaterName) + u"-XXXXXX"_s);
    const QString copy = folder.filePath(name);
    const ZDFileTree::Result copied = folder.isValid() ? ZDFileTree::copy(shipped, copy)
                                                       : ZDFileTree::Result::failure(folder.errorString(), folder.path());
    if (!copied.ok)
        return fail(u"Could not copy software updater application"_s, copied.description());
    const QString exe = copy + u"/Contents/MacOS/"_s + QLatin1String(kUpdaterName);
    if (!QProcess::startDetached(exe, {u"-app"_s, ZDMainBundle::bundlePath(), u"-url"_s, url}))
        return fail(u"Could not copy software updater application"_s, u"The updater could not be started."_s);
    folder.setAutoRemove(false);
    return true;
}
} // namespace ZDSelfUpdate
