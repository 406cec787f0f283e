#pragma once
// Passwords in the user's Secret Service (the login keyring), one generic item per
// (name, kind, user name, host name), found again by any of those four.
//
// A null QString argument is left out of the item or the search; a search without
// any attribute is not made. When no Secret Service can be reached every operation
// fails, says why in lastError() and the log, and nothing is ever kept elsewhere.
//
// Thread safety: any thread may call; calls are serialised and block until the
// service answers (libsecret's synchronous calls run their own main context, so no
// event loop has to be free).
#include <QString>
#include <QStringList>

#include <memory>
#include <optional>

class ZDKeychain
{
public:
    // One stored item; releases its handle when it goes.
    class Item
    {
    public:
        Item(Item &&) noexcept;
        Item &operator=(Item &&) noexcept;
        ~Item();
        Item(const Item &) = delete;
        Item &operator=(const Item &) = delete;

        QString name() const;
        QString kind() const;
        QString username() const;
        QString hostname() const;

    private:
        friend class ZDKeychain;
        struct Private;
        explicit Item(std::unique_ptr<Private> p);
        std::unique_ptr<Private> d;
    };

    // The secret data read back is cut to this many bytes.
    static constexpr int kMaxPasswordBytes = 1023;
    // Longer attributes or passwords are refused rather than sent to the service.
    static constexpr int kMaxAttributeBytes = 4096;
    static constexpr int kMaxStoredPasswordBytes = 64 * 1024;

    ZDKeychain() = delete;

    // True when a Secret Service answers; otherwise the reason in *reason.
    static bool isAvailable(QString *reason = nullptr);
    // Why the last failing operation of this thread failed; empty after a success.
    static QString lastError();

    // The oldest item matching every given attribute.
    static std::optional<Item> keychainItem(const QString &name, const QString &kind, const QString &username,
                                            const QString &hostname);
    static bool checkForExistenceOfKeychainItem(const QString &name, const QString &kind, const QString &username,
                                                const QString &hostname);
    // Null when nothing matches or the secret cannot be read.
    static QString getPasswordFromKeychainItem(const QString &name, const QString &kind, const QString &username,
                                               const QString &hostname);
    // At most kMaxPasswordBytes of UTF-8 (a character split by the cut is dropped); null on failure.
    static QString getPasswordFromItem(const Item &item);

    // Stores the item, replacing one with the same four attributes. The Secret Service
    // has no per-item access list: additionalApplications are noted in the log only.
    static bool addKeychainItem(const QString &name, const QString &kind, const QString &username,
                                const QString &password, const QString &hostname,
                                const QStringList &additionalApplications = {});
    // True when nothing matched or the match (the newest of several) was deleted.
    static bool deleteKeychainItem(const QString &name, const QString &kind, const QString &username,
                                   const QString &hostname);
    // Deletes every item with that name and kind; true when at least one of the two was
    // given and the service could be searched.
    static bool deleteAllKeychainItems(const QString &name, const QString &kind);
    // Replaces the secret of the oldest match; false when nothing matched.
    static bool modifyKeychainItem(const QString &name, const QString &kind, const QString &username,
                                   const QString &hostname, const QString &newPassword);

    // No per-item access list exists here: always empty, and the log says so.
    static QStringList trustedAppsForItem(const Item &item);
    // Leaves the item unchanged (see above); false.
    static bool addTrustedAppAtPath(const QString &path, const Item &item);
    // The Secret Service holds no certificates: always empty, and the log says so.
    static QStringList certificateNames();
};
