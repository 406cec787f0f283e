#include "rights/ZDKeychain.h"

#include "log/ZDLog.h"
#include "log/ZDSystemLog.h"

#include <QByteArray>
#include <QFileInfo>

#include <libsecret/secret.h>

#include <algorithm>
#include <mutex>
#include <vector>

namespace {

// glib's own headers keep these as macros that do not mix with templates.
template <typename T>
struct GObjectDeleter
{
    void operator()(T *object) const { g_object_unref(object); }
};
template <typename T>
using GObjectPtr = std::unique_ptr<T, GObjectDeleter<T>>;

struct GErrorDeleter
{
    void operator()(GError *e) const { g_error_free(e); }
};
using ErrorPtr = std::unique_ptr<GError, GErrorDeleter>;

struct HashDeleter
{
    void operator()(GHashTable *t) const { g_hash_table_unref(t); }
};
using HashPtr = std::unique_ptr<GHashTable, HashDeleter>;

struct ValueDeleter
{
    void operator()(SecretValue *v) const { secret_value_unref(v); }
};
using ValuePtr = std::unique_ptr<SecretValue, ValueDeleter>;

// Collects a GError from a libsecret call and frees it.
class ErrorSlot
{
public:
    GError **out() { return &m_raw; }
    ErrorPtr take()
    {
        ErrorPtr e(m_raw);
        m_raw = nullptr;
        return e;
    }
    ~ErrorSlot()
    {
        if (m_raw)
            g_error_free(m_raw);
    }

private:
    GError *m_raw = nullptr;
};

const char *const kAttrName = "label";
const char *const kAttrKind = "description";
const char *const kAttrUser = "account";
const char *const kAttrHost = "service";

const SecretSchema *schema()
{
    static const SecretSchema s = [] {
        SecretSchema x{};
        x.name = "com.zendrel.Kestra.GenericPassword";
        x.flags = SECRET_SCHEMA_NONE;
        x.attributes[0] = {kAttrName, SECRET_SCHEMA_ATTRIBUTE_STRING};
        x.attributes[1] = {kAttrKind, SECRET_SCHEMA_ATTRIBUTE_STRING};
        x.attributes[2] = {kAttrUser, SECRET_SCHEMA_ATTRIBUTE_STRING};
        x.attributes[3] = {kAttrHost, SECRET_SCHEMA_ATTRIBUTE_STRING};
        return x;
    }();
    return &s;
}

struct ContextDeleter
{
    void operator()(GMainContext *c) const { g_main_context_unref(c); }
};

// D-Bus objects made here hand their clean-up to the main context that was current
// when they were made. Ours is drained at the end of every call, so nothing waits on
// a loop that callers' threads may never run.
GMainContext *secretContext()
{
    static const std::unique_ptr<GMainContext, ContextDeleter> context(g_main_context_new());
    return context.get();
}

std::mutex &serviceLock()
{
    static std::mutex m;
    return m;
}

// One call at a time, each inside our own main context.
class Session
{
public:
    Session() { g_main_context_push_thread_default(secretContext()); }
    ~Session()
    {
        while (g_main_context_iteration(secretContext(), FALSE)) {
        }
        g_main_context_pop_thread_default(secretContext());
    }
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;

private:
    std::lock_guard<std::mutex> m_lock {serviceLock()};
};

thread_local QString t_lastError;

QString describe(const GError *e)
{
    return e ? QString::fromUtf8(e->message) : QStringLiteral("unknown error");
}

int codeOf(const GError *e)
{
    return e ? e->code : -1;
}

void fail(const QString &reason)
{
    t_lastError = reason;
    ZDLog::appendLog(reason);
}

// The attributes of one call, kept as UTF-8 for as long as the hash table points at them.
class Attributes
{
public:
    Attributes(const QString &name, const QString &kind, const QString &username, const QString &hostname)
    {
        add(kAttrName, name);
        add(kAttrKind, kind);
        add(kAttrUser, username);
        add(kAttrHost, hostname);
    }

    bool isEmpty() const { return m_values.empty(); }
    bool isValid() const { return m_valid; }

    HashPtr table() const
    {
        HashPtr t(g_hash_table_new(g_str_hash, g_str_equal));
        for (const auto &[key, value] : m_values)
            g_hash_table_insert(t.get(), const_cast<char *>(key), const_cast<char *>(value.constData()));
        return t;
    }

private:
    void add(const char *key, const QString &value)
    {
        if (value.isNull())
            return;
        QByteArray utf8 = value.toUtf8();
        // A NUL would silently shorten the attribute the service sees.
        if (utf8.size() > ZDKeychain::kMaxAttributeBytes || utf8.contains('\0'))
            m_valid = false;
        m_values.emplace_back(key, std::move(utf8));
    }

    std::vector<std::pair<const char *, QByteArray>> m_values;
    bool m_valid = true;
};

bool sessionBusConfigured()
{
    if (!qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS"))
        return true;
    // The default address when none is set; anything else would autolaunch a bus.
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    return !runtime.isEmpty() && QFileInfo(runtime + QStringLiteral("/bus")).exists();
}

// Within a Session. Null with the reason recorded when unreachable.
GObjectPtr<SecretService> connectService()
{
    if (!sessionBusConfigured()) {
        const QString reason = QStringLiteral(
            "No Secret Service is reachable: there is no session bus. Passwords cannot be stored or read.");
        fail(reason);
        zdSystemLog(reason);
        return nullptr;
    }
    ErrorSlot error;
    GObjectPtr<SecretService> service(secret_service_get_sync(SECRET_SERVICE_OPEN_SESSION, nullptr, error.out()));
    if (!service) {
        const QString reason =
            zdFormat(QStringLiteral("No Secret Service is reachable: %@. Passwords cannot be stored or read."),
                     describe(error.take().get()));
        fail(reason);
        zdSystemLog(reason);
        return nullptr;
    }
    return service;
}

// A failed call may mean the service went away: forget it so the next call reconnects.
void dropService()
{
    secret_service_disconnect();
}

QString attributeOf(SecretItem *item, const char *key)
{
    HashPtr attrs(secret_item_get_attributes(item));
    if (!attrs)
        return {};
    const auto *value = static_cast<const char *>(g_hash_table_lookup(attrs.get(), key));
    return value ? QString::fromUtf8(value) : QString();
}

// Oldest first, so "first" and "last" are stable between calls.
std::vector<GObjectPtr<SecretItem>> search(SecretService *service, const Attributes &attributes)
{
    std::vector<GObjectPtr<SecretItem>> items;
    const HashPtr table = attributes.table();
    ErrorSlot error;
    GList *found = secret_service_search_sync(service, schema(), table.get(),
                                              static_cast<SecretSearchFlags>(SECRET_SEARCH_ALL | SECRET_SEARCH_UNLOCK),
                                              nullptr, error.out());
    if (ErrorPtr e = error.take()) {
        const QString message = zdFormat(QStringLiteral("status %d from secret_service_search (%@)"), codeOf(e.get()),
                                         describe(e.get()));
        zdSystemLog(message);
        fail(message);
        dropService();
        return items;
    }
    for (GList *l = found; l; l = l->next)
        items.emplace_back(static_cast<SecretItem *>(l->data)); // takes the list's reference
    g_list_free(found);
    std::stable_sort(items.begin(), items.end(), [](const auto &a, const auto &b) {
        const guint64 ca = secret_item_get_created(a.get());
        const guint64 cb = secret_item_get_created(b.get());
        if (ca != cb)
            return ca < cb;
        // Items made in the same second: by their number in the collection ("/9" before "/10").
        const QByteArray pa(g_dbus_proxy_get_object_path(G_DBUS_PROXY(a.get())));
        const QByteArray pb(g_dbus_proxy_get_object_path(G_DBUS_PROXY(b.get())));
        if (pa.size() != pb.size())
            return pa.size() < pb.size();
        return pa < pb;
    });
    return items;
}

// Within a Session. Shared by the single-item operations.
struct Lookup
{
    GObjectPtr<SecretService> service;
    std::vector<GObjectPtr<SecretItem>> items;
    bool ok = false;
};

Lookup lookup(const QString &name, const QString &kind, const QString &username, const QString &hostname)
{
    Lookup r;
    const Attributes attributes(name, kind, username, hostname);
    if (attributes.isEmpty()) {
        fail(QStringLiteral("Keychain search without any attribute refused"));
        return r;
    }
    if (!attributes.isValid()) {
        fail(QStringLiteral("Keychain search refused: an attribute is too long or holds a NUL character"));
        return r;
    }
    r.service = connectService();
    if (!r.service)
        return r;
    t_lastError.clear();
    r.items = search(r.service.get(), attributes);
    r.ok = t_lastError.isEmpty();
    return r;
}

ValuePtr newValue(const QByteArray &secret)
{
    return ValuePtr(secret_value_new(secret.constData(), secret.size(), "text/plain"));
}

// Cuts to the byte limit without leaving half a character behind.
QString decodeCut(const char *data, gsize length)
{
    qsizetype n = static_cast<qsizetype>(std::min<gsize>(length, ZDKeychain::kMaxPasswordBytes));
    if (static_cast<gsize>(n) < length) {
        qsizetype lead = n;
        while (lead > 0 && (static_cast<unsigned char>(data[lead - 1]) & 0xC0) == 0x80)
            --lead;
        if (lead > 0) {
            const auto c = static_cast<unsigned char>(data[lead - 1]);
            const int need = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
            if (n - (lead - 1) < need)
                n = lead - 1;
        }
    }
    return QString::fromUtf8(data, n);
}

QString readSecret(SecretItem *item)
{
    ErrorSlot error;
    if (!secret_item_load_secret_sync(item, nullptr, error.out())) {
        const ErrorPtr e = error.take();
        fail(zdFormat(QStringLiteral("Error = %d (%@)"), codeOf(e.get()), describe(e.get())));
        return {};
    }
    const ValuePtr value(secret_item_get_secret(item));
    if (!value) {
        fail(QStringLiteral("Error = -1 (the item has no secret)"));
        return {};
    }
    gsize length = 0;
    const char *data = secret_value_get(value.get(), &length);
    QString password = decodeCut(data ? data : "", data ? length : 0);
    if (password.isNull())
        password = QLatin1String("");
    return password;
}

const QString kNoAccessList = QStringLiteral(
    "The Secret Service has no per-item access list: any program of this user's session may read the item");

} // namespace

struct ZDKeychain::Item::Private
{
    GObjectPtr<SecretItem> item;
};

ZDKeychain::Item::Item(std::unique_ptr<Private> p) : d(std::move(p)) {}
ZDKeychain::Item::Item(Item &&) noexcept = default;
ZDKeychain::Item &ZDKeychain::Item::operator=(Item &&) noexcept = default;
ZDKeychain::Item::~Item() = default;

QString ZDKeychain::Item::name() const { return attributeOf(d->item.get(), kAttrName); }
QString ZDKeychain::Item::kind() const { return attributeOf(d->item.get(), kAttrKind); }
QString ZDKeychain::Item::username() const { return attributeOf(d->item.get(), kAttrUser); }
QString ZDKeychain::Item::hostname() const { return attributeOf(d->item.get(), kAttrHost); }

bool ZDKeychain::isAvailable(QString *reason)
{
    const Session session;
    if (connectService()) {
        t_lastError.clear();
        return true;
    }
    if (reason)
        *reason = t_lastError;
    return false;
}

QString ZDKeychain::lastError()
{
    return t_lastError;
}

std::optional<ZDKeychain::Item> ZDKeychain::keychainItem(const QString &name, const QString &kind,
                                                         const QString &username, const QString &hostname)
{
    const Session session;
    Lookup found = lookup(name, kind, username, hostname);
    if (found.items.empty())
        return std::nullopt;
    auto p = std::make_unique<Item::Private>();
    p->item = std::move(found.items.front());
    return Item(std::move(p));
}

bool ZDKeychain::checkForExistenceOfKeychainItem(const QString &name, const QString &kind, const QString &username,
                                                 const QString &hostname)
{
    return keychainItem(name, kind, username, hostname).has_value();
}

QString ZDKeychain::getPasswordFromKeychainItem(const QString &name, const QString &kind, const QString &username,
                                                const QString &hostname)
{
    const std::optional<Item> item = keychainItem(name, kind, username, hostname);
    if (!item)
        return {};
    return getPasswordFromItem(*item);
}

QString ZDKeychain::getPasswordFromItem(const Item &item)
{
    const Session session;
    t_lastError.clear();
    return readSecret(item.d->item.get());
}

bool ZDKeychain::addKeychainItem(const QString &name, const QString &kind, const QString &username,
                                 const QString &password, const QString &hostname,
                                 const QStringList &additionalApplications)
{
    const Session session;
    const Attributes attributes(name, kind, username, hostname);
    const QByteArray secret = password.toUtf8();
    if (attributes.isEmpty() || !attributes.isValid() || secret.size() > kMaxStoredPasswordBytes) {
        const QString message = QStringLiteral("Error creating new item: -1 (no attribute, or one too long)");
        zdSystemLog(message);
        fail(message);
        return false;
    }
    if (!additionalApplications.isEmpty())
        ZDLog::appendLog(QStringLiteral("%@; not restricted to %@"), kNoAccessList, additionalApplications.join(u", "));
    const GObjectPtr<SecretService> service = connectService();
    if (!service)
        return false;
    // The keyring's own list shows the item under its name, or its host when it has none.
    const QString display = !name.isNull() ? name : !hostname.isNull() ? hostname : QStringLiteral("Kestra password");
    const HashPtr table = attributes.table();
    const ValuePtr value = newValue(secret);
    ErrorSlot error;
    if (!secret_service_store_sync(service.get(), schema(), table.get(), SECRET_COLLECTION_DEFAULT,
                                   display.toUtf8().constData(), value.get(), nullptr, error.out())) {
        const ErrorPtr e = error.take();
        const QString message =
            zdFormat(QStringLiteral("Error creating new item: %d (%@)"), codeOf(e.get()), describe(e.get()));
        zdSystemLog(message);
        fail(message);
        dropService();
        return false;
    }
    t_lastError.clear();
    return true;
}

bool ZDKeychain::deleteKeychainItem(const QString &name, const QString &kind, const QString &username,
                                    const QString &hostname)
{
    const Session session;
    Lookup found = lookup(name, kind, username, hostname);
    if (!found.ok)
        return false;
    if (found.items.empty())
        return true;
    ErrorSlot error;
    if (!secret_item_delete_sync(found.items.back().get(), nullptr, error.out())) {
        const ErrorPtr e = error.take();
        const QString message =
            zdFormat(QStringLiteral("Error deleting item: %d (%@)"), codeOf(e.get()), describe(e.get()));
        zdSystemLog(message);
        fail(message);
        return false;
    }
    return true;
}

bool ZDKeychain::deleteAllKeychainItems(const QString &name, const QString &kind)
{
    if (name.isNull() && kind.isNull()) {
        fail(QStringLiteral("Keychain search without any attribute refused"));
        return false;
    }
    const Session session;
    Lookup found = lookup(name, kind, QString(), QString());
    if (!found.ok)
        return false;
    for (const auto &item : found.items) {
        ErrorSlot error;
        if (!secret_item_delete_sync(item.get(), nullptr, error.out())) {
            const ErrorPtr e = error.take();
            const QString message =
                zdFormat(QStringLiteral("Error deleting item: %d (%@)"), codeOf(e.get()), describe(e.get()));
            zdSystemLog(message);
            fail(message);
        }
    }
    return true;
}

bool ZDKeychain::modifyKeychainItem(const QString &name, const QString &kind, const QString &username,
                                    const QString &hostname, const QString &newPassword)
{
    const QByteArray secret = newPassword.toUtf8();
    if (secret.size() > kMaxStoredPasswordBytes) {
        fail(QStringLiteral("Error modifying item: -1 (password too long)"));
        return false;
    }
    const Session session;
    Lookup found = lookup(name, kind, username, hostname);
    if (found.items.empty())
        return false;
    const ValuePtr value = newValue(secret);
    ErrorSlot error;
    if (!secret_item_set_secret_sync(found.items.front().get(), value.get(), nullptr, error.out())) {
        const ErrorPtr e = error.take();
        fail(zdFormat(QStringLiteral("Error modifying item: %d (%@)"), codeOf(e.get()), describe(e.get())));
        return false;
    }
    return true;
}

QStringList ZDKeychain::trustedAppsForItem(const Item &)
{
    ZDLog::appendLog(QStringLiteral("%@; no trusted applications to list"), kNoAccessList);
    return {};
}

bool ZDKeychain::addTrustedAppAtPath(const QString &path, const Item &)
{
    ZDLog::appendLog(QStringLiteral("app path: %@"), path);
    ZDLog::appendLog(QStringLiteral("%@; item left unchanged"), kNoAccessList);
    ZDLog::appendLog(QStringLiteral("apps: %@"), QStringLiteral("()"));
    return false;
}

QStringList ZDKeychain::certificateNames()
{
    ZDLog::appendLog(QStringLiteral("Unable to create keychain search: %li (the Secret Service holds no certificates)"),
                     qint64(-1));
    return {};
}
