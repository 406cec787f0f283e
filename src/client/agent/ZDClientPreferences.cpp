#include "agent/ZDClientPreferences.h"

#include "platform/ZDLocalPaths.h"
#include "log/ZDLog.h"
#include "platform/ZDMainBundle.h"
#include "rpc/ZDOrvProtocol.h"
#include "plist/ZDPropertyList.h"
#include "session/ZDImageWork.h"
#include "platform/ZDBoundedRead.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QUuid>

#include <algorithm>
#include <climits>
#include <iterator>
#include <mutex>

#include <netinet/in.h>
#include <resolv.h>
#include <unistd.h>

namespace {

constexpr const char *kIdentifier = "com.zendrel.KestraClient";
constexpr const char *kExecutableInBundle = "/Contents/MacOS/KestraClient";
constexpr qint64 kMaxImageBytes = 16 * 1024 * 1024;

// The settings a console may write, each with its bounds: nothing else reaches the
// file from the network, so it stays small and keeps what the agent needs.
struct NetworkSetting
{
    const char *key;
    qint64 min;
    qint64 max; // for text: its longest length
    bool text;
};
constexpr NetworkSetting kNetworkSettings[] = {
    {ZDOrv::kSettingAutoUpdateCheck, 0, 1, false},
    {ZDOrv::kSettingShowMenuBarIcon, 0, 1, false},
    {ZDOrv::kSettingEnableMaintenanceRequests, 0, 1, false},
    {"customPortSet", 0, 1, false},
    {"customPort", 0, 65535, false},
    {"disableBonjour", 0, 1, false},
    {"selectedMACAddress", 0, 64, true},
};
static_assert(std::size(kNetworkSettings) <= ZDClientPreferences::kMaxSettings);

// Read-change-write of one file by several threads of this process must not lose a change.
std::mutex &preferencesWriteMutex()
{
    static std::mutex mutex;
    return mutex;
}

bool isNumber(const QVariant &v)
{
    switch (v.typeId()) {
    case QMetaType::Int: case QMetaType::UInt: case QMetaType::LongLong: case QMetaType::ULongLong:
    case QMetaType::Double: case QMetaType::Bool: case QMetaType::Long: case QMetaType::ULong:
        return true;
    default:
        return false;
    }
}

bool isUnchanged(const QVariant &v)
{
    return isNumber(v) && v.toDouble() == ZDOrv::kSettingUnchanged;
}

QString textOf(const QVariant &v)
{
    if (v.typeId() == QMetaType::QString)
        return v.toString();
    if (isNumber(v) && v.typeId() != QMetaType::Bool)
        return v.toString();
    return {};
}

QString bundleIdentifierOf(const QString &appPath)
{
    const QVariant v = ZDPropertyList::readDictionary(appPath + QStringLiteral("/Contents/Info.plist"))
                           .value(QStringLiteral("CFBundleIdentifier"));
    return v.typeId() == QMetaType::QString ? v.toString() : QString();
}

// There is no registry of applications here: the running program, else where the suite installs them.
QString registeredApplication()
{
    if (ZDMainBundle::identifier().compare(QLatin1String(kIdentifier), Qt::CaseInsensitive) == 0)
        return ZDMainBundle::bundlePath();
    for (bool user : {false, true}) {
        const QString apps = ZDLocalPaths::applicationDirectory(user);
        for (const QString &folder : {apps + QStringLiteral("/Zendrel"), apps}) {
            const QFileInfoList found = QDir(folder).entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
            for (const QFileInfo &app : found)
                if (app.fileName().endsWith(QLatin1String(".app"))
                    && bundleIdentifierOf(app.absoluteFilePath()).compare(QLatin1String(kIdentifier), Qt::CaseInsensitive) == 0)
                    return app.absoluteFilePath();
        }
    }
    return {};
}

bool hasAgentExecutable(const QString &bundle)
{
    return !bundle.isEmpty() && QFileInfo(bundle + QLatin1String(kExecutableInBundle)).isFile();
}

// The name the mDNS responder answers to (it may have renamed us after a conflict).
// Asked at most every few seconds: every message to the consoles carries the host name.
// A sandbox stands in for a whole computer, its name included: "<root>/etc/hostname".
QString sandboxHostName()
{
    const QByteArray root = qgetenv("KESTRA_SYSTEM_ROOT");
    if (root.isEmpty())
        return {};
    QFile file(QString::fromLocal8Bit(root) + QStringLiteral("/etc/hostname"));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QString name = QString::fromUtf8(file.readLine(256)).trimmed();
    static const QRegularExpression valid(QStringLiteral("^[A-Za-z0-9][A-Za-z0-9-]{0,62}$"));
    return valid.match(name).hasMatch() ? name : QString();
}

QString localHostName()
{
    char name[HOST_NAME_MAX + 1] = {};
    return ::gethostname(name, sizeof name - 1) == 0 ? QString::fromLocal8Bit(name) : QString();
}

// The resolver's own default domain (LOCALDOMAIN, resolv.conf's "domain" or first "search").
QString localDomainName()
{
    struct __res_state state = {};
    if (res_ninit(&state) != 0)
        return {};
    const QString domain = QString::fromLocal8Bit(state.defdname);
    res_nclose(&state);
    return domain;
}

QString systemHostName()
{
    const QString sandbox = sandboxHostName();
    return sandbox.isEmpty() ? localHostName() : sandbox;
}

QString avahiHostName()
{
    static std::mutex mutex;
    static QString cached;
    static QDeadlineTimer fresh;
    std::lock_guard lock(mutex);
    if (!fresh.hasExpired())
        return cached;
    QDBusMessage call = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.Avahi"), QStringLiteral("/"),
                                                       QStringLiteral("org.freedesktop.Avahi.Server"),
                                                       QStringLiteral("GetHostNameFqdn"));
    call.setAutoStartService(false);
    const QDBusMessage reply = QDBusConnection::systemBus().call(call, QDBus::Block, 500);
    const QVariant name = reply.type() == QDBusMessage::ReplyMessage ? reply.arguments().value(0) : QVariant();
    cached = name.typeId() == QMetaType::QString && name.toString().size() <= 255 ? name.toString() : QString();
    fresh = QDeadlineTimer(5000);
    return cached;
}

} // namespace

ZDClientPreferences::ZDClientPreferences(QString preferencesFolder, QString bundlePath)
    : m_folder(std::move(preferencesFolder)), m_bundlePath(std::move(bundlePath))
{
}

QString ZDClientPreferences::folder() const
{
    // Asked every time: the console user, and with it the folder, may change.
    return m_folder.isEmpty() ? ZDLocalPaths::prefsDirectory(true) : m_folder;
}

QString ZDClientPreferences::preferencesPath() const
{
    return folder() + QLatin1Char('/') + QLatin1String(kPreferencesFile);
}

QString ZDClientPreferences::globalPreferencesPath() const
{
    return folder() + QLatin1Char('/') + QLatin1String(kGlobalPreferencesFile);
}

QVariant ZDClientPreferences::objectForPreferenceDictionaryKey(const QString &key) const
{
    return ZDPropertyList::readDictionary(preferencesPath()).value(key);
}

bool ZDClientPreferences::setObject(const QVariant &value, const QString &key) const
{
    if (!value.isValid() || key.isEmpty())
        return false;
    std::lock_guard lock(preferencesWriteMutex());
    QVariantMap prefs = ZDPropertyList::readDictionary(preferencesPath());
    prefs.insert(key, value);
    QDir().mkpath(folder());
    return ZDPropertyList::writeFile(preferencesPath(), prefs);
}

qint64 ZDClientPreferences::integerPreference(const QString &key, qint64 fallback) const
{
    const QVariant v = objectForPreferenceDictionaryKey(key);
    return isNumber(v) ? v.toLongLong() : fallback;
}

QString ZDClientPreferences::infoPlistPath() const
{
    return (m_bundlePath.isEmpty() ? bundlePath() : m_bundlePath) + QStringLiteral("/Contents/Info.plist");
}

QVariant ZDClientPreferences::objectForInfoDictionaryKey(const QString &key) const
{
    return ZDPropertyList::readDictionary(infoPlistPath()).value(key);
}

QString ZDClientPreferences::clientVersion() const
{
    return textOf(objectForInfoDictionaryKey(QStringLiteral("CFBundleVersion")));
}

QString ZDClientPreferences::clientVersionString() const
{
    return textOf(objectForInfoDictionaryKey(QStringLiteral("CFBundleShortVersionString")));
}

QVariantMap ZDClientPreferences::networkClientSettings() const
{
    const QVariantMap prefs = ZDPropertyList::readDictionary(preferencesPath());
    const QVariantMap global = ZDPropertyList::readDictionary(globalPreferencesPath());
    auto valueOr1 = [](const QVariantMap &map, const char *key) {
        const QVariant v = map.value(QLatin1String(key));
        return v.isValid() ? v : QVariant(qint64(1));
    };
    return {
        {QLatin1String(ZDOrv::kSettingAutoUpdateCheck), valueOr1(prefs, ZDOrv::kSettingAutoUpdateCheck)},
        {QLatin1String(ZDOrv::kSettingShowMenuBarIcon), valueOr1(prefs, ZDOrv::kSettingShowMenuBarIcon)},
        {QLatin1String(ZDOrv::kSettingEnableMaintenanceRequests), valueOr1(prefs, ZDOrv::kSettingEnableMaintenanceRequests)},
        {QLatin1String(ZDOrv::kSettingGlobalUpdateCheck), valueOr1(global, "SUCheckAtStartup")},
    };
}

ZDClientPreferences::MenuBarAction ZDClientPreferences::setNetworkClientSettings(const QVariantMap &settings) const
{
    const QString globalKey = QLatin1String(ZDOrv::kSettingGlobalUpdateCheck);
    const QString menuKey = QLatin1String(ZDOrv::kSettingShowMenuBarIcon);

    // Only the settings the agent knows, each within its bounds.
    QVariantMap changes;
    for (const NetworkSetting &known : kNetworkSettings) {
        const QString key = QLatin1String(known.key);
        const QVariant value = settings.value(key);
        if (!value.isValid() || isUnchanged(value))
            continue;
        const bool fits = known.text
            ? value.typeId() == QMetaType::QString && value.toString().size() <= known.max
            : isNumber(value) && value.toDouble() == double(value.toLongLong()) && value.toLongLong() >= known.min
                && value.toLongLong() <= known.max;
        if (!fits) {
            ZDLog::appendLog(QStringLiteral("Setting %@ cannot be stored. Skipping..."), key);
            continue;
        }
        changes.insert(key, known.text ? value : QVariant(value.toLongLong()));
    }
    const auto isKnown = [&globalKey](const QString &key) {
        return key == globalKey || std::any_of(std::begin(kNetworkSettings), std::end(kNetworkSettings),
                                               [&key](const NetworkSetting &k) { return key == QLatin1String(k.key); });
    };
    const QStringList keys = settings.keys();
    if (!std::all_of(keys.cbegin(), keys.cend(), isKnown))
        ZDLog::appendLog(QStringLiteral("Settings this agent does not know were ignored."));
    if (!changes.isEmpty()) {
        std::lock_guard lock(preferencesWriteMutex());
        QVariantMap prefs = ZDPropertyList::readDictionary(preferencesPath());
        for (auto it = changes.cbegin(); it != changes.cend(); ++it)
            prefs.insert(it.key(), it.value());
        QDir().mkpath(folder());
        ZDPropertyList::writeFile(preferencesPath(), prefs);
    }

    MenuBarAction action = MenuBarAction::Leave;
    // A console that leaves the item alone must not have it shown against the stored choice.
    if (!isUnchanged(settings.value(menuKey)))
        action = integerPreference(menuKey, 1) == 0 ? MenuBarAction::Hide : MenuBarAction::Show;

    const QVariant global = settings.value(globalKey);
    if (!global.isValid() || isUnchanged(global))
        return action;
    if (!isNumber(global)) {
        ZDLog::appendLog(QStringLiteral("Setting %@ cannot be stored. Skipping..."), globalKey);
        return action;
    }
    std::lock_guard lock(preferencesWriteMutex());
    // Never created here, and a file we cannot read is not overwritten.
    const QVariant file = ZDPropertyList::readFile(globalPreferencesPath());
    if (file.typeId() == QMetaType::QVariantMap) {
        QVariantMap map = file.toMap();
        map.insert(QStringLiteral("SUCheckAtStartup"), global.toLongLong());
        ZDPropertyList::writeFile(globalPreferencesPath(), map);
    }
    return action;
}

QString ZDClientPreferences::chooseHostName(const QStringList &names, const QString &primary)
{
    QString chosen = primary;
    for (const QString &name : names) {
        if ((name.endsWith(QLatin1String(".local.")) || name.endsWith(QLatin1String(".local")))
            && name != name.toLower()) {
            chosen = name;
            break;
        }
    }
    if (!chosen.endsWith(QLatin1Char('.')))
        chosen += QLatin1Char('.');
    return chosen;
}

QString ZDClientPreferences::primaryHostName()
{
    const QString sandbox = sandboxHostName();
    if (!sandbox.isEmpty())
        return sandbox + QStringLiteral(".local");
    const QString published = avahiHostName();
    if (!published.isEmpty())
        return published;
    QString name = localHostName();
    if (name.isEmpty())
        name = QStringLiteral("localhost");
    return name.contains(QLatin1Char('.')) ? name : name + QStringLiteral(".local");
}

QStringList ZDClientPreferences::hostNames()
{
    QStringList names;
    const QString system = systemHostName();
    names << primaryHostName();
    // The name as typed: the mDNS responder may have folded its case.
    if (!system.isEmpty() && !system.contains(QLatin1Char('.')))
        names << system + QStringLiteral(".local");
    if (!system.isEmpty() && !names.contains(system))
        names << system;
    const QString domain = localDomainName();
    if (!system.isEmpty() && !domain.isEmpty() && !system.contains(QLatin1Char('.')))
        names << system + QLatin1Char('.') + domain;
    names.removeDuplicates();
    return names;
}

QString ZDClientPreferences::hostName()
{
    return chooseHostName(hostNames(), primaryHostName());
}

QString ZDClientPreferences::generateUUID()
{
    return QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
}

QString ZDClientPreferences::bundlePath()
{
    const QString registered = registeredApplication();
    if (hasAgentExecutable(registered))
        return registered;
    // Started by the service manager inside "Contents/MacOS".
    const QString cwd = QDir::currentPath();
    if (cwd.count(QLatin1Char('/')) >= 2) {
        const QString up = QDir::cleanPath(cwd + QStringLiteral("/../.."));
        if (hasAgentExecutable(up))
            return up;
    }
    return ZDLocalPaths::libraryDirectory(false) + QStringLiteral("/PreferencePanes/Kestra Client.prefPane");
}

QVariantMap ZDClientPreferences::configuration(bool maintenanceRequested, const QVariantMap &orvVersion,
                                               bool forFetch) const
{
    const QVariant minAdmin = objectForInfoDictionaryKey(QStringLiteral("ZDMinAdminVersion"));
    const QString minAdminText = textOf(minAdmin);
    QStringList names;
    if (forFetch)
        names = hostNames();

    // Fixed order; the dictionary ends at the first missing value.
    const QList<QPair<const char *, QVariant>> ordered{
        {ZDOrv::kConfigVersion, clientVersion()},
        {ZDOrv::kConfigVersionString, clientVersionString()},
        {ZDOrv::kConfigMaintenanceRequested, maintenanceRequested},
        {ZDOrv::kConfigOrvVersion, textOf(orvVersion.value(QStringLiteral("version")))},
        {ZDOrv::kConfigOrvVersionString, textOf(orvVersion.value(QStringLiteral("versionString")))},
        {ZDOrv::kConfigMinAdminVersion, minAdminText.isEmpty() ? QStringLiteral("0") : minAdminText},
    };
    QVariantMap result;
    auto add = [&result](const char *key, const QVariant &value) {
        const bool missing = !value.isValid() || (value.typeId() == QMetaType::QString && value.toString().isEmpty());
        if (missing)
            return false;
        result.insert(QLatin1String(key), value);
        return true;
    };
    for (const auto &[key, value] : ordered)
        if (!add(key, value))
            return result;
    if (forFetch && add(ZDOrv::kConfigPreferredHostName, chooseHostName(names, primaryHostName())))
        add(ZDOrv::kConfigHostNames, QVariant(QVariant(names).toList()));
    return result;
}

QByteArray ZDClientPreferences::computerIcon(const QSize &size)
{
    QString path;
    const QString resources = ZDMainBundle::resourcePath();
    if (!resources.isEmpty() && QFileInfo(resources + QStringLiteral("/computer.png")).isFile())
        path = resources + QStringLiteral("/computer.png");
    else
        path = QStringLiteral(":/kestra_client/computer.png");
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QSize bounded(std::clamp(size.width(), 1, kMaxIconSide), std::clamp(size.height(), 1, kMaxIconSide));
    return scaleImageData(ZDBoundedRead::upTo(file, kMaxImageBytes), bounded);
}

QByteArray ZDClientPreferences::scaleImageData(const QByteArray &data, const QSize &size)
{
    if (data.isEmpty() || data.size() >= kMaxImageBytes || size.width() < 1 || size.height() < 1
        || size.width() > kMaxIconSide || size.height() > kMaxIconSide)
        return {};
    return ZDImageWork::scaledPng(data, size);
}
