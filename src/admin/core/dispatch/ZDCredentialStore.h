#pragma once
// The console's administrator credentials: the short-lived cache (host key ->
// {"authName", "authPass"}, the password encrypted for the wire), the user names
// remembered per computer ("users" in the console's settings) and the passwords kept
// in the keychain ("Kestra Admin" / "Host password", account = user, host = the
// computer's credential key: its agent's key, see ZDService::credentialKey).
// Passwords are never logged. Thread-safe.
#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QVariantMap>

#include <chrono>
#include <mutex>
#include <optional>

class ZDCredentialStore
{
public:
    static constexpr const char *kKeychainName = "Kestra Admin";
    static constexpr const char *kKeychainKind = "Host password";
    static constexpr const char *kAuthName = "authName";
    static constexpr const char *kAuthPass = "authPass";
    static constexpr std::chrono::milliseconds kDefaultLifetime{1200 * 1000};

    // settingsPath empty: the console's settings file.
    explicit ZDCredentialStore(QString settingsPath = QString());

    QString settingsPath() const;
    void setLifetime(std::chrono::milliseconds lifetime);

    // {"authName": user, "authPass": encrypted password}; no "authPass" for an empty password.
    static QVariantMap makeEntry(const QString &user, const QString &password);

    // The cache; an expired cache reads as empty.
    QVariantMap authorizationDict() const;
    std::optional<QVariantMap> entry(const QString &key) const;
    // Returns false (and stores nothing) when the key already has an entry and keepExisting is set.
    bool setEntry(const QString &key, const QVariantMap &entry, bool keepExisting = false);
    void removeEntry(const QString &key);
    // Starts the cache's lifetime anew (after a successful answer).
    void restartLifetime();
    void clear();

    // "users": host name -> user name.
    QString storedUser(const QString &host) const;
    bool setStoredUser(const QString &host, const QString &user) { return setStoredUser(QStringList{host}, user); }
    // One write for many hosts.
    bool setStoredUser(const QStringList &hosts, const QString &user);
    QVariantMap storedUsers() const;

    // Null when the keychain holds nothing for this user and host.
    QString keychainPassword(const QString &user, const QString &host) const;
    bool storeKeychainPassword(const QString &user, const QString &password, const QString &host) const;
    bool deleteKeychainPassword(const QString &user, const QString &host) const;

    // Drops the cached entry and the keychain item of the user remembered for the host.
    void removeStoredPasswordForHost(const QString &key, const QString &host);
    // Passwords were once filed under host names. One is filed under the agent's key
    // (and its old item deleted) only when that key was pinned under the computer's
    // name before keyed passwords came (the pins then are remembered once, here).
    void adoptLegacyPassword(const QString &legacyHost, const QString &pinKey, const QString &credentialKey);
    void rememberPinsBeforeKeyedPasswords();

    // Every keychain item of the console, the cache and the remembered users.
    bool removeAllStoredPasswords();

private:
    void expireLocked() const;

    const QString m_settingsPath;
    mutable std::mutex m_mutex;
    mutable QVariantMap m_cache;
    std::chrono::milliseconds m_lifetime = kDefaultLifetime;
    mutable std::chrono::steady_clock::time_point m_expiry{};
};
