#include "dispatch/ZDCredentialStore.h"

#include "console/ZDAdminSettings.h"
#include "rights/ZDEncryption.h"
#include "rights/ZDKeychain.h"
#include "log/ZDLog.h"
#include "trust/ZDKnownAgents.h"

#include <QDateTime>

#include <utility>

namespace {

const QString kName = QString::fromLatin1(ZDCredentialStore::kKeychainName);
const QString kKind = QString::fromLatin1(ZDCredentialStore::kKeychainKind);
const QString kUsers = QString::fromLatin1(ZDAdminSettings::kUsersKey);
// The pins as they were when passwords came to be filed under agent keys.
const QString kPinsBeforeKeyedPasswords = QStringLiteral("pinsBeforeKeyedPasswords");
const QString kKeyPrefix = QStringLiteral("sha256:");

} // namespace

ZDCredentialStore::ZDCredentialStore(QString settingsPath) : m_settingsPath(std::move(settingsPath)) {}

QString ZDCredentialStore::settingsPath() const
{
    return m_settingsPath.isEmpty() ? ZDAdminSettings::defaultPath() : m_settingsPath;
}

void ZDCredentialStore::setLifetime(std::chrono::milliseconds lifetime)
{
    std::lock_guard lock(m_mutex);
    m_lifetime = lifetime;
}

QVariantMap ZDCredentialStore::makeEntry(const QString &user, const QString &password)
{
    QVariantMap entry{{QString::fromLatin1(kAuthName), user}};
    if (!password.isEmpty())
        entry.insert(QString::fromLatin1(kAuthPass), ZDEncryption::encryptCredential(password));
    return entry;
}

void ZDCredentialStore::expireLocked() const
{
    if (!m_cache.isEmpty() && std::chrono::steady_clock::now() >= m_expiry)
        m_cache.clear();
}

QVariantMap ZDCredentialStore::authorizationDict() const
{
    std::lock_guard lock(m_mutex);
    expireLocked();
    return m_cache;
}

std::optional<QVariantMap> ZDCredentialStore::entry(const QString &key) const
{
    std::lock_guard lock(m_mutex);
    expireLocked();
    const auto it = m_cache.constFind(key);
    if (it == m_cache.cend())
        return std::nullopt;
    return it->toMap();
}

bool ZDCredentialStore::setEntry(const QString &key, const QVariantMap &entry, bool keepExisting)
{
    std::lock_guard lock(m_mutex);
    expireLocked();
    if (m_cache.isEmpty())
        m_expiry = std::chrono::steady_clock::now() + m_lifetime;
    if (keepExisting && m_cache.contains(key))
        return false;
    QVariantMap copy = m_cache;
    copy.insert(key, entry);
    m_cache = std::move(copy);
    return true;
}

void ZDCredentialStore::removeEntry(const QString &key)
{
    std::lock_guard lock(m_mutex);
    QVariantMap copy = m_cache;
    copy.remove(key);
    m_cache = std::move(copy);
}

void ZDCredentialStore::restartLifetime()
{
    std::lock_guard lock(m_mutex);
    m_expiry = std::chrono::steady_clock::now() + m_lifetime;
}

void ZDCredentialStore::clear()
{
    std::lock_guard lock(m_mutex);
    m_cache = QVariantMap();
}

QVariantMap ZDCredentialStore::storedUsers() const
{
    const auto settings = ZDAdminSettings::open(settingsPath());
    return settings->value(kUsers).toMap();
}

QString ZDCredentialStore::storedUser(const QString &host) const
{
    if (host.isEmpty())
        return QString();
    const QVariant user = storedUsers().value(host);
    return user.typeId() == QMetaType::QString ? user.toString() : QString();
}

bool ZDCredentialStore::setStoredUser(const QStringList &hosts, const QString &user)
{
    // One writer at a time in this process; QSettings locks the file against others.
    std::lock_guard lock(m_mutex);
    const auto settings = ZDAdminSettings::open(settingsPath());
    QVariantMap users = settings->value(kUsers).toMap();
    bool any = false;
    for (const QString &host : hosts) {
        if (!host.isEmpty()) {
            users.insert(host, user);
            any = true;
        }
    }
    if (!any)
        return false;
    settings->setValue(kUsers, users);
    settings->sync();
    return settings->status() == QSettings::NoError;
}

QString ZDCredentialStore::keychainPassword(const QString &user, const QString &host) const
{
    if (user.isEmpty() || host.isEmpty())
        return QString();
    return ZDKeychain::getPasswordFromKeychainItem(kName, kKind, user, host);
}

bool ZDCredentialStore::storeKeychainPassword(const QString &user, const QString &password, const QString &host) const
{
    if (user.isEmpty() || host.isEmpty())
        return false;
    return ZDKeychain::addKeychainItem(kName, kKind, user, password, host);
}

bool ZDCredentialStore::deleteKeychainPassword(const QString &user, const QString &host) const
{
    if (user.isEmpty() || host.isEmpty())
        return true;
    return ZDKeychain::deleteKeychainItem(kName, kKind, user, host);
}

void ZDCredentialStore::removeStoredPasswordForHost(const QString &key, const QString &host)
{
    removeEntry(key);
    if (key != host)
        removeEntry(host);
    const QString user = storedUser(host);
    if (!user.isEmpty())
        deleteKeychainPassword(user, host);
}

bool ZDCredentialStore::removeAllStoredPasswords()
{
    const bool deleted = ZDKeychain::deleteAllKeychainItems(kName, kKind);
    clear();
    std::lock_guard lock(m_mutex);
    const auto settings = ZDAdminSettings::open(settingsPath());
    settings->remove(kUsers);
    settings->sync();
    return deleted && settings->status() == QSettings::NoError;
}

void ZDCredentialStore::rememberPinsBeforeKeyedPasswords()
{
    std::lock_guard lock(m_mutex);
    const auto settings = ZDAdminSettings::open(settingsPath());
    if (settings->contains(kPinsBeforeKeyedPasswords))
        return;
    QVariantMap pins = ZDKnownAgents().all();
    // Never empty, so that "taken" shows even for a console that had no pins.
    pins.insert(QStringLiteral(" taken"), QDateTime::currentDateTimeUtc());
    settings->setValue(kPinsBeforeKeyedPasswords, pins);
    settings->sync();
}

void ZDCredentialStore::adoptLegacyPassword(const QString &legacyHost, const QString &pinKey,
                                            const QString &credentialKey)
{
    if (legacyHost.isEmpty() || pinKey.isEmpty() || !credentialKey.startsWith(kKeyPrefix)
        || legacyHost.startsWith(kKeyPrefix))
        return;
    rememberPinsBeforeKeyedPasswords();
    QVariantMap before;
    {
        std::lock_guard lock(m_mutex);
        before = ZDAdminSettings::open(settingsPath())->value(kPinsBeforeKeyedPasswords).toMap();
    }
    if (before.value(pinKey).toString() != credentialKey.mid(kKeyPrefix.size()) || !storedUser(credentialKey).isEmpty())
        return;
    const QString user = storedUser(legacyHost);
    const QString password = keychainPassword(user, legacyHost);
    if (password.isNull())
        return;
    if (storeKeychainPassword(user, password, credentialKey) && setStoredUser(credentialKey, user)) {
        deleteKeychainPassword(user, legacyHost);
        ZDLog::appendLog(QStringLiteral("The stored password of %@ is filed under its agent's key now."), legacyHost);
    }
}
