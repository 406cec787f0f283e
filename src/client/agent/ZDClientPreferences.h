#pragma once
// The agent's settings and identity: the preferences file (read whole on every
// lookup, written whole and atomically on every change), the suite's global file,
// the settings dictionary consoles read and write, the agent's version and host
// names, and the configuration dictionary a console fetches after connecting.
// Thread-safe: nothing is cached but the host name's inputs are asked each time.
#include <QByteArray>
#include <QSize>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <QVariantMap>

#include <functional>

class ZDClientPreferences
{
public:
    static constexpr const char *kPreferencesFile = "com.zendrel.KestraClient.plist";
    static constexpr const char *kGlobalPreferencesFile = "com.zendrel.global.plist";

    // preferencesFolder: empty means the user's preferences folder (for root: the
    // console user's). bundlePath: the agent's application folder; empty means
    // ZDClientPreferences::bundlePath().
    explicit ZDClientPreferences(QString preferencesFolder = QString(), QString bundlePath = QString());

    QString preferencesPath() const;
    QString globalPreferencesPath() const;
    QVariant objectForPreferenceDictionaryKey(const QString &key) const;
    // Nothing changes unless both are given. False when the write failed.
    bool setObject(const QVariant &value, const QString &key) const;
    // Integer value of a preference, or `fallback` when absent or not a number.
    qint64 integerPreference(const QString &key, qint64 fallback) const;

    QVariant objectForInfoDictionaryKey(const QString &key) const;
    QString clientVersion() const;       // CFBundleVersion
    QString clientVersionString() const; // CFBundleShortVersionString

    // Settings as consoles see them, with the defaults filled in.
    QVariantMap networkClientSettings() const;
    enum class MenuBarAction { Show, Hide, Leave };
    // Stores the values of the settings the agent knows (the four above but
    // "globalUpdateCheck", and the port, Bonjour and interface choices), except -1;
    // other keys and values out of their bounds are skipped. The global file's
    // "SUCheckAtStartup" only when that file exists. Returns what the menu-bar item
    // should do: Leave when the console sent -1 for "showMenuBarIcon".
    MenuBarAction setNetworkClientSettings(const QVariantMap &settings) const;
    // The most keys a console can add to the preferences file.
    static constexpr int kMaxSettings = 7;

    // The name as the user typed it (a ".local" name not all lower case), else the
    // primary host name; always with a final ".". hostNames: every name of this host.
    static QString hostName();
    static QStringList hostNames();
    // The host name rule on given names: the first ".local"/".local." name that is
    // not all lower case, else `primary`; a final "." added when missing.
    static QString chooseHostName(const QStringList &names, const QString &primary);
    // This host's mDNS name: the one the mDNS responder publishes, else the system
    // host name with ".local" when it has no domain.
    static QString primaryHostName();
    static QString generateUUID();
    // The agent's application folder by the rules of the agent (running bundle,
    // working directory minus two components, the preference pane's copy).
    static QString bundlePath();

    // Keys 1..6 (initialConfiguration) or 1..8 (forFetch) of the configuration in
    // their fixed order, cut at the first missing value. orvVersion: {"version",
    // "versionString"} of the tool suite, or empty when it is not installed.
    QVariantMap configuration(bool maintenanceRequested, const QVariantMap &orvVersion, bool forFetch) const;

    // The computer icon as PNG data, at 16 x 16 or at the asked size (each side
    // bounded to 1..kMaxIconSide). From the application's resources, else the copy
    // compiled into the library.
    static constexpr int kMaxIconSide = 1024;
    static QByteArray computerIcon(const QSize &size = QSize(16, 16));
    // Empty when the data is no image (or larger than 16 MiB) or the size is out of bounds.
    static QByteArray scaleImageData(const QByteArray &data, const QSize &size);

private:
    QString folder() const;
    QString infoPlistPath() const;

    QString m_folder;
    QString m_bundlePath;
};
