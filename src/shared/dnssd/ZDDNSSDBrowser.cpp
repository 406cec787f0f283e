#include "dnssd/ZDDNSSDBrowser.h"

#include "dnssd/ZDAvahiClient.h"
#include "dnssd/ZDDNSSDTxtRecord.h"
#include "log/ZDLog.h"

#include <avahi-common/address.h>
#include <avahi-common/domain.h>
#include <avahi-common/error.h>

#include <QDeadlineTimer>
#include <QMap>

#include <algorithm>
#include <atomic>
#include <functional>
#include <map>
#include <vector>

#include <net/if.h>

namespace {

// Bounds on what a network full of announcements can make us hold.
constexpr std::size_t kMaxServices = 4096;
constexpr std::size_t kMaxInstances = 64;
constexpr int kMaxAddresses = 32;
constexpr int kMaxResolveAttempts = 16;
constexpr std::size_t kMaxTxtBytes = 65536;

using Key = std::pair<QByteArray, QByteArray>; // name, domain

QString dotted(const QString &name)
{
    return name.isEmpty() || name.endsWith(QLatin1Char('.')) ? name : name + QLatin1Char('.');
}

QByteArray bounded(const char *text)
{
    return ZDAvahiClient::boundedText(text).toUtf8();
}

ZDDNSSDBrowser::Error kindOf(int avahiError)
{
    switch (avahiError) {
    case AVAHI_ERR_NO_DAEMON:
        return ZDDNSSDBrowser::Error::DaemonNotRunning;
    case AVAHI_ERR_DISCONNECTED:
        return ZDDNSSDBrowser::Error::Disconnected;
    case AVAHI_ERR_TIMEOUT:
        return ZDDNSSDBrowser::Error::Timeout;
    default:
        return ZDDNSSDBrowser::Error::Failure;
    }
}

QString addressText(const AvahiAddress *address, AvahiIfIndex interfaceIndex)
{
    char buffer[AVAHI_ADDRESS_STR_MAX];
    if (!address || !avahi_address_snprint(buffer, sizeof buffer, address))
        return QString();
    QString text = QString::fromLatin1(buffer);
    const uint8_t *v6 = address->data.ipv6.address;
    if (address->proto == AVAHI_PROTO_INET6 && v6[0] == 0xfe && (v6[1] & 0xc0) == 0x80) {
        char name[IF_NAMESIZE];
        if (interfaceIndex > 0 && if_indextoname(static_cast<unsigned>(interfaceIndex), name))
            text += QLatin1Char('%') + QString::fromLocal8Bit(name);
    }
    return text;
}

// The resolver's list holds the strings in the order they came off the wire
// (avahi_string_list_serialize would write them backwards).
QByteArray txtBytes(const AvahiStringList *list)
{
    QByteArray out;
    for (const AvahiStringList *l = list; l && static_cast<std::size_t>(out.size()) < kMaxTxtBytes; l = l->next) {
        const std::size_t size = std::min<std::size_t>(l->size, 255);
        out.append(static_cast<char>(size));
        out.append(reinterpret_cast<const char *>(l->text), static_cast<qsizetype>(size));
    }
    if (out.isEmpty())
        out.append('\0');
    return out;
}

} // namespace

struct ZDDNSSDBrowser::Private
{
    explicit Private(ZDDNSSDBrowser *owner)
        : q(owner),
          session(
              owner, [this](AvahiClient *c, AvahiClientState s) { onClientState(c, s); },
              [this](int err) { postFailure(kindOf(err), ZDAvahiClient::errorText(err), false); },
              [this] {
                  entries.clear();
                  browser.reset();
                  reportedFull = false;
              })
    {
    }

    struct Instance
    {
        AvahiIfIndex interfaceIndex;
        AvahiProtocol protocol;
        ZDAvahiPtr<AvahiServiceResolver> resolver;
        int attempts = 0;
    };

    struct Entry
    {
        ZDDNSSDService info;
        std::vector<Instance> instances;
        ZDAvahiClient::Timeout deadline;
        QDeadlineTimer resolveBy;
        bool resolved = false;
        bool gaveUp = false;
    };

    ZDDNSSDBrowser *q;

    // The request, fixed while a client runs.
    QByteArray type;
    QByteArray domain;
    QString typeText;
    std::atomic<int> resolveTimeoutMs{kDefaultResolveTimeoutMs};

    // Poll-thread state; other threads touch it only while that thread is stopped.
    ZDAvahiPtr<AvahiServiceBrowser> browser;
    std::map<Key, Entry> entries;
    bool reportedFull = false;

    // Owner-thread state.
    QMap<QPair<QString, QString>, ZDDNSSDService> known;

    // Declared last: its release step touches the members above.
    ZDAvahiSession session;

    ZDAvahiClient &avahi() const { return *session.client(); }
    void post(std::function<void()> fn) { session.post(std::move(fn)); }

    void postFailure(Error kind, const QString &message, bool restart)
    {
        post([this, kind, message, restart] { onFailure(kind, message, restart); });
    }

    static QPair<QString, QString> keyOf(const ZDDNSSDService &s) { return {s.name, s.domain}; }

    // Owner thread: forgets every known service and reports each as removed.
    void removeAll()
    {
        const QList<ZDDNSSDService> gone = known.values();
        known.clear();
        for (const ZDDNSSDService &s : gone)
            Q_EMIT q->serviceRemoved(s);
    }

    void onFailure(Error kind, const QString &message, bool restart)
    {
        ZDLog::appendLog("DNS-SD: browsing for %@ failed: %@.", typeText, message);
        if (restart) {
            // A lost daemon is waited for at once; anything else gets a pause first.
            session.restart(kind == Error::Disconnected);
            removeAll();
        }
        Q_EMIT q->failed(kind, message);
    }

    void onClientState(AvahiClient *c, AvahiClientState state)
    {
        switch (state) {
        case AVAHI_CLIENT_S_RUNNING:
            if (!browser) {
                browser.reset(avahi_service_browser_new(c, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, type.constData(),
                                                        domain.isEmpty() ? nullptr : domain.constData(),
                                                        AvahiLookupFlags(0), &Private::browseCallback, this));
                if (!browser) {
                    const int err = avahi_client_errno(c);
                    postFailure(kindOf(err), ZDAvahiClient::errorText(err), true);
                }
            }
            break;
        case AVAHI_CLIENT_CONNECTING:
            if (session.takeWaitingReport()) {
                postFailure(Error::DaemonNotRunning,
                            QStringLiteral("the avahi daemon is not running; waiting for it to start"), false);
            }
            break;
        case AVAHI_CLIENT_FAILURE: {
            const int err = avahi_client_errno(c);
            postFailure(err == AVAHI_ERR_DISCONNECTED ? Error::Disconnected : kindOf(err),
                        ZDAvahiClient::errorText(err), true);
            break;
        }
        case AVAHI_CLIENT_S_REGISTERING:
        case AVAHI_CLIENT_S_COLLISION:
            break;
        }
    }

    Entry *find(const char *name, const char *dom)
    {
        const auto it = entries.find(Key{bounded(name), bounded(dom)});
        return it == entries.end() ? nullptr : &it->second;
    }

    void addInstance(AvahiIfIndex interfaceIndex, AvahiProtocol protocol, const char *name, const char *dom)
    {
        const Key key{bounded(name), bounded(dom)};
        auto it = entries.find(key);
        if (it == entries.end()) {
            if (entries.size() >= kMaxServices) {
                if (!reportedFull) {
                    reportedFull = true;
                    ZDLog::appendLog("DNS-SD: more than %@ services of type %@; ignoring the rest.",
                                     qulonglong(kMaxServices), typeText);
                }
                return;
            }
            const int timeout = resolveTimeoutMs.load();
            Entry &e = entries[key];
            e.info.name = QString::fromUtf8(key.first);
            e.info.type = typeText;
            e.info.domain = dotted(QString::fromUtf8(key.second));
            e.info.interfaceIndex = interfaceIndex;
            e.resolveBy = QDeadlineTimer(timeout);
            e.deadline = ZDAvahiClient::Timeout(avahi().poll(), timeout, &Private::deadlineCallback, this);
            post([this, info = e.info] {
                known.insert(keyOf(info), info);
                Q_EMIT q->serviceFound(info);
            });
            it = entries.find(key);
        }
        Entry &e = it->second;
        for (const Instance &i : e.instances) {
            if (i.interfaceIndex == interfaceIndex && i.protocol == protocol)
                return;
        }
        if (e.instances.size() >= kMaxInstances)
            return;
        e.instances.push_back(Instance{interfaceIndex, protocol, nullptr});
        if (!e.gaveUp)
            startResolver(e, e.instances.back());
    }

    void removeInstance(AvahiIfIndex interfaceIndex, AvahiProtocol protocol, const char *name, const char *dom)
    {
        const auto it = entries.find(Key{bounded(name), bounded(dom)});
        if (it == entries.end())
            return;
        auto &instances = it->second.instances;
        std::erase_if(instances, [&](const Instance &i) {
            return i.interfaceIndex == interfaceIndex && i.protocol == protocol;
        });
        if (!instances.empty())
            return;
        post([this, info = it->second.info] {
            const auto found = known.constFind(keyOf(info));
            if (found == known.constEnd())
                return;
            const ZDDNSSDService last = *found;
            known.erase(found);
            Q_EMIT q->serviceRemoved(last);
        });
        entries.erase(it);
    }

    void startResolver(Entry &e, Instance &instance)
    {
        ++instance.attempts;
        const QByteArray name = e.info.name.toUtf8();
        const QByteArray dom = e.info.domain.toUtf8();
        instance.resolver.reset(avahi_service_resolver_new(avahi().client(), instance.interfaceIndex, instance.protocol,
                                                           name.constData(), type.constData(), dom.constData(),
                                                           instance.protocol, AvahiLookupFlags(0),
                                                           &Private::resolveCallback, this));
        if (!instance.resolver)
            resolverEnded(e, avahi_client_errno(avahi().client()));
    }

    // Poll thread (or under the lock): asks again for a service already found; the
    // answer comes as serviceResolved once more.
    void resolveAgain(const QString &name, const QString &dom)
    {
        const auto it = std::find_if(entries.begin(), entries.end(), [&](const auto &entry) {
            return entry.second.info.name == name && entry.second.info.domain == dom;
        });
        if (it == entries.end())
            return;
        Entry &e = it->second;
        const int timeout = resolveTimeoutMs.load();
        e.resolved = false;
        e.gaveUp = false;
        e.info.addresses.clear();
        e.resolveBy = QDeadlineTimer(timeout);
        e.deadline = ZDAvahiClient::Timeout(avahi().poll(), timeout, &Private::deadlineCallback, this);
        for (Instance &instance : e.instances) {
            instance.attempts = 0;
            startResolver(e, instance);
        }
    }

    void resolverEnded(Entry &e, int err)
    {
        if (e.resolved || e.gaveUp)
            return;
        for (const Instance &i : e.instances) {
            if (i.resolver)
                return;
        }
        e.gaveUp = true;
        e.deadline.reset();
        post([this, info = e.info, err] {
            const QString message = ZDAvahiClient::errorText(err);
            ZDLog::appendLog("DNS-SD: unable to resolve %@: %@.", info.name, message);
            Q_EMIT q->resolveFailed(info, kindOf(err), message);
        });
    }

    void resolved(Entry &e, Instance &instance, const char *host, const AvahiAddress *address, uint16_t port,
                  AvahiStringList *txt)
    {
        ZDDNSSDService &info = e.info;
        const ZDDNSSDService before = info;
        const QString hostName = dotted(ZDAvahiClient::boundedText(host));
        if (!hostName.isEmpty())
            info.hostName = hostName;
        info.port = port;
        const QString text = addressText(address, instance.interfaceIndex);
        if (!text.isEmpty() && !info.addresses.contains(text) && info.addresses.size() < kMaxAddresses)
            info.addresses.append(text);
        info.txtData = txtBytes(txt);
        info.txt = ZDDNSSDTxtRecord::decode(info.txtData);
        if (!e.resolved) {
            e.resolved = true;
            e.deadline.reset();
            post([this, info] {
                known.insert(keyOf(info), info);
                Q_EMIT q->serviceResolved(info);
            });
        } else if (info.addresses != before.addresses || info.txtData != before.txtData
                   || info.hostName != before.hostName || info.port != before.port) {
            post([this, info] {
                known.insert(keyOf(info), info);
                Q_EMIT q->serviceUpdated(info);
            });
        }
    }

    static void browseCallback(AvahiServiceBrowser *b, AvahiIfIndex interfaceIndex, AvahiProtocol protocol,
                               AvahiBrowserEvent event, const char *name, const char *, const char *dom,
                               AvahiLookupResultFlags, void *userdata)
    {
        auto *self = static_cast<Private *>(userdata);
        switch (event) {
        case AVAHI_BROWSER_NEW:
            if (name && dom)
                self->addInstance(interfaceIndex, protocol, name, dom);
            break;
        case AVAHI_BROWSER_REMOVE:
            if (name && dom)
                self->removeInstance(interfaceIndex, protocol, name, dom);
            break;
        case AVAHI_BROWSER_FAILURE: {
            const int err = avahi_client_errno(avahi_service_browser_get_client(b));
            self->postFailure(kindOf(err), ZDAvahiClient::errorText(err), true);
            break;
        }
        case AVAHI_BROWSER_ALL_FOR_NOW:
        case AVAHI_BROWSER_CACHE_EXHAUSTED:
            break;
        }
    }

    static void resolveCallback(AvahiServiceResolver *r, AvahiIfIndex, AvahiProtocol, AvahiResolverEvent event,
                                const char *name, const char *, const char *dom, const char *host,
                                const AvahiAddress *address, uint16_t port, AvahiStringList *txt,
                                AvahiLookupResultFlags, void *userdata)
    {
        auto *self = static_cast<Private *>(userdata);
        const int err = avahi_client_errno(avahi_service_resolver_get_client(r));
        Entry *e = self->find(name, dom);
        Instance *instance = nullptr;
        if (e) {
            for (Instance &i : e->instances) {
                if (i.resolver.get() == r)
                    instance = &i;
            }
        }
        if (!instance) {
            // Not ours any more (avahi may report under an unexpected name): just end it.
            for (auto &[key, entry] : self->entries) {
                for (Instance &i : entry.instances) {
                    if (i.resolver.get() == r) {
                        i.resolver.reset();
                        self->resolverEnded(entry, err);
                        return;
                    }
                }
            }
            return;
        }
        if (event == AVAHI_RESOLVER_FOUND) {
            self->resolved(*e, *instance, host, address, port, txt);
            instance->resolver.reset();
            return;
        }
        instance->resolver.reset();
        // avahi gives up sooner than we do; ask again until our own deadline.
        if (err == AVAHI_ERR_TIMEOUT && !e->resolved && !e->gaveUp && !e->resolveBy.hasExpired()
            && instance->attempts < kMaxResolveAttempts) {
            self->startResolver(*e, *instance);
            return;
        }
        self->resolverEnded(*e, err);
    }

    static void deadlineCallback(AvahiTimeout *t, void *userdata)
    {
        auto *self = static_cast<Private *>(userdata);
        for (auto &[key, e] : self->entries) {
            if (e.deadline.get() != t)
                continue;
            e.deadline.reset();
            if (e.resolved || e.gaveUp)
                return;
            for (Instance &i : e.instances)
                i.resolver.reset();
            e.gaveUp = true;
            const int seconds = (self->resolveTimeoutMs.load() + 999) / 1000;
            self->post([self, info = e.info, seconds] {
                const QString message = QStringLiteral("no answer within %1 seconds").arg(seconds);
                ZDLog::appendLog("DNS-SD: unable to resolve %@: %@.", info.name, message);
                Q_EMIT self->q->resolveFailed(info, Error::Timeout, message);
            });
            return;
        }
    }
};

ZDDNSSDBrowser::ZDDNSSDBrowser(QObject *parent) : QObject(parent), d(std::make_unique<Private>(this))
{
    qRegisterMetaType<ZDDNSSDService>();
}

ZDDNSSDBrowser::~ZDDNSSDBrowser()
{
    d->session.deactivate();
    d->known.clear();
}

bool ZDDNSSDBrowser::start(const QString &type, const QString &domain)
{
    stop();
    const QByteArray avahiServiceType = ZDAvahiSession::serviceType(type);
    QByteArray avahiDomain = domain.toUtf8();
    while (avahiDomain.endsWith('.'))
        avahiDomain.chop(1);
    QString problem;
    if (!avahi_is_valid_service_type_strict(avahiServiceType.constData()))
        problem = QStringLiteral("invalid service type \"%1\"").arg(type);
    else if (!avahiDomain.isEmpty() && !avahi_is_valid_domain_name(avahiDomain.constData()))
        problem = QStringLiteral("invalid domain \"%1\"").arg(domain);
    if (!problem.isEmpty()) {
        ZDLog::appendLog("DNS-SD: unable to browse: %@.", problem);
        QMetaObject::invokeMethod(
            this, [this, problem] { Q_EMIT failed(Error::InvalidArgument, problem); }, Qt::QueuedConnection);
        return false;
    }
    d->type = avahiServiceType;
    d->domain = avahiDomain;
    d->typeText = type;
    return d->session.start();
}

void ZDDNSSDBrowser::stop()
{
    d->session.deactivate();
    d->removeAll();
}

bool ZDDNSSDBrowser::isBrowsing() const
{
    return d->session.isActive();
}

void ZDDNSSDBrowser::setResolveTimeout(int msec)
{
    d->resolveTimeoutMs = std::max(msec, 0);
}

int ZDDNSSDBrowser::resolveTimeout() const
{
    return d->resolveTimeoutMs;
}

void ZDDNSSDBrowser::resolveAgain(const ZDDNSSDService &service)
{
    if (!d->session.client())
        return;
    ZDAvahiClient::Lock lock(d->avahi());
    d->resolveAgain(service.name, service.domain);
}

QList<ZDDNSSDService> ZDDNSSDBrowser::services() const
{
    return d->known.values();
}
