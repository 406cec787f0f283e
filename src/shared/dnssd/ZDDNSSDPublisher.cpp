#include "dnssd/ZDDNSSDPublisher.h"

#include "dnssd/ZDAvahiClient.h"
#include "dnssd/ZDDNSSDTxtRecord.h"
#include "log/ZDLog.h"

#include <avahi-common/alternative.h>
#include <avahi-common/domain.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>

#include <atomic>
#include <functional>

#include <net/if.h>

namespace {

// A network that answers every name with a collision must not keep us renaming for ever.
constexpr int kMaxRenames = 64;

ZDDNSSDPublisher::Error kindOf(int avahiError)
{
    switch (avahiError) {
    case AVAHI_ERR_NO_DAEMON:
        return ZDDNSSDPublisher::Error::DaemonNotRunning;
    case AVAHI_ERR_DISCONNECTED:
        return ZDDNSSDPublisher::Error::Disconnected;
    case AVAHI_ERR_COLLISION:
        return ZDDNSSDPublisher::Error::Collision;
    case AVAHI_ERR_INVALID_SERVICE_NAME:
    case AVAHI_ERR_INVALID_SERVICE_TYPE:
    case AVAHI_ERR_INVALID_PORT:
    case AVAHI_ERR_INVALID_INTERFACE:
    case AVAHI_ERR_INVALID_RECORD:
        return ZDDNSSDPublisher::Error::InvalidArgument;
    default:
        return ZDDNSSDPublisher::Error::Failure;
    }
}

} // namespace

struct ZDDNSSDPublisher::Private
{
    explicit Private(ZDDNSSDPublisher *owner)
        : q(owner),
          session(
              owner, [this](AvahiClient *c, AvahiClientState s) { onClientState(c, s); },
              [this](int err) { postFailure(kindOf(err), ZDAvahiClient::errorText(err)); },
              [this] {
                  group.reset();
                  currentName.clear();
                  renames = 0;
                  isPublished = false;
                  publishedName.clear();
              })
    {
    }

    ZDDNSSDPublisher *q;

    // The request, fixed while a client runs.
    QByteArray requestedName;
    QByteArray type;
    QByteArray txt;
    quint16 port = 0;
    int interfaceIndex = kAllInterfaces;
    std::atomic<CollisionPolicy> policy{CollisionPolicy::Rename};

    // Poll-thread state; other threads touch it only while that thread is stopped.
    ZDAvahiPtr<AvahiEntryGroup> group;
    QByteArray currentName;
    int renames = 0;

    // Owner-thread state.
    bool isPublished = false;
    QString publishedName;

    // Declared last: its release step touches the members above.
    ZDAvahiSession session;

    void post(std::function<void()> fn) { session.post(std::move(fn)); }

    void postFailure(Error kind, const QString &message)
    {
        post([this, kind, message] {
            ZDLog::appendLog("DNS-SD: unable to publish \"%@\": %@.", QString::fromUtf8(requestedName), message);
            isPublished = false;
            publishedName.clear();
            Q_EMIT q->failed(kind, message);
        });
    }

    void onClientFailure(int err)
    {
        const QString message = ZDAvahiClient::errorText(err);
        // Start over before telling anyone, so that a receiver may withdraw or publish again.
        session.restart(true);
        ZDLog::appendLog("DNS-SD: publishing \"%@\" stopped: %@.", QString::fromUtf8(requestedName), message);
        Q_EMIT q->failed(kindOf(err), message);
    }

    void onClientState(AvahiClient *c, AvahiClientState state)
    {
        switch (state) {
        case AVAHI_CLIENT_S_RUNNING:
            registerService(c);
            break;
        case AVAHI_CLIENT_S_COLLISION:
        case AVAHI_CLIENT_S_REGISTERING:
            // The host name changes; the service is added again once the daemon runs.
            if (group)
                avahi_entry_group_reset(group.get());
            post([this] {
                isPublished = false;
                publishedName.clear();
            });
            break;
        case AVAHI_CLIENT_CONNECTING:
            if (session.takeWaitingReport()) {
                postFailure(Error::DaemonNotRunning,
                            QStringLiteral("the avahi daemon is not running; waiting for it to start"));
            }
            break;
        case AVAHI_CLIENT_FAILURE: {
            const int err = avahi_client_errno(c);
            post([this, err] { onClientFailure(err); });
            break;
        }
        }
    }

    bool takeAlternativeName()
    {
        if (group)
            avahi_entry_group_reset(group.get());
        if (policy.load() == CollisionPolicy::Fail || ++renames > kMaxRenames) {
            postFailure(Error::Collision,
                        QStringLiteral("the name \"%1\" is already in use").arg(QString::fromUtf8(currentName)));
            return false;
        }
        char *alternative = avahi_alternative_service_name(currentName.constData());
        if (!alternative) {
            postFailure(Error::Failure, ZDAvahiClient::errorText(AVAHI_ERR_NO_MEMORY));
            return false;
        }
        ZDLog::appendLog("DNS-SD: the name \"%@\" is in use; trying \"%@\".", QString::fromUtf8(currentName),
                         QString::fromUtf8(alternative));
        currentName = alternative;
        avahi_free(alternative);
        return true;
    }

    void registerService(AvahiClient *c)
    {
        if (!group) {
            group.reset(avahi_entry_group_new(c, &Private::groupCallback, this));
            if (!group) {
                postFailure(kindOf(avahi_client_errno(c)), ZDAvahiClient::errorText(avahi_client_errno(c)));
                return;
            }
        }
        if (!avahi_entry_group_is_empty(group.get()))
            return;
        if (currentName.isEmpty()) {
            const char *host = requestedName.isEmpty() ? avahi_client_get_host_name(c) : nullptr;
            currentName = host ? QByteArray(host) : requestedName;
        }
        for (;;) {
            AvahiStringList *raw = nullptr;
            if (avahi_string_list_parse(txt.constData(), static_cast<size_t>(txt.size()), &raw) < 0)
                raw = nullptr;
            const ZDAvahiPtr<AvahiStringList> list(raw);
            const int r = avahi_entry_group_add_service_strlst(group.get(), interfaceIndex, AVAHI_PROTO_UNSPEC,
                                                               AvahiPublishFlags(0), currentName.constData(),
                                                               type.constData(), nullptr, nullptr, port, list.get());
            if (r == AVAHI_ERR_COLLISION) {
                if (!takeAlternativeName())
                    return;
                continue;
            }
            if (r < 0) {
                postFailure(kindOf(r), ZDAvahiClient::errorText(r));
                return;
            }
            break;
        }
        const int r = avahi_entry_group_commit(group.get());
        if (r < 0)
            postFailure(kindOf(r), ZDAvahiClient::errorText(r));
    }

    static void groupCallback(AvahiEntryGroup *g, AvahiEntryGroupState state, void *userdata)
    {
        auto *self = static_cast<Private *>(userdata);
        switch (state) {
        case AVAHI_ENTRY_GROUP_ESTABLISHED: {
            const QString name = QString::fromUtf8(self->currentName);
            self->renames = 0;
            self->post([self, name] {
                self->isPublished = true;
                self->publishedName = name;
                Q_EMIT self->q->published(name);
            });
            break;
        }
        case AVAHI_ENTRY_GROUP_COLLISION:
            if (self->takeAlternativeName())
                self->registerService(avahi_entry_group_get_client(g));
            break;
        case AVAHI_ENTRY_GROUP_FAILURE: {
            const int err = avahi_client_errno(avahi_entry_group_get_client(g));
            self->postFailure(kindOf(err), ZDAvahiClient::errorText(err));
            break;
        }
        case AVAHI_ENTRY_GROUP_UNCOMMITED:
        case AVAHI_ENTRY_GROUP_REGISTERING:
            break;
        }
    }
};

ZDDNSSDPublisher::ZDDNSSDPublisher(QObject *parent) : QObject(parent), d(std::make_unique<Private>(this)) {}

ZDDNSSDPublisher::~ZDDNSSDPublisher()
{
    withdraw();
}

bool ZDDNSSDPublisher::publish(const QString &name, quint16 port, const QVariantMap &txt, int interfaceIndex,
                               const QString &type)
{
    withdraw();
    const QByteArray avahiName = name.toUtf8();
    const QByteArray avahiServiceType = ZDAvahiSession::serviceType(type);
    QString problem;
    if (port == 0)
        problem = QStringLiteral("no port");
    else if (!avahi_is_valid_service_type_strict(avahiServiceType.constData()))
        problem = QStringLiteral("invalid service type \"%1\"").arg(type);
    else if (!avahiName.isEmpty() && !avahi_is_valid_service_name(avahiName.constData()))
        problem = QStringLiteral("invalid service name \"%1\"").arg(name);
    else if (interfaceIndex != kAllInterfaces && interfaceIndex <= 0)
        problem = QStringLiteral("invalid interface index %1").arg(interfaceIndex);
    if (!problem.isEmpty()) {
        ZDLog::appendLog("DNS-SD: unable to publish \"%@\": %@.", name, problem);
        QMetaObject::invokeMethod(
            this, [this, problem] { Q_EMIT failed(Error::InvalidArgument, problem); }, Qt::QueuedConnection);
        return false;
    }
    d->requestedName = avahiName;
    d->type = avahiServiceType;
    d->txt = ZDDNSSDTxtRecord::encode(txt);
    d->port = port;
    d->interfaceIndex = interfaceIndex;
    return d->session.start();
}

void ZDDNSSDPublisher::withdraw()
{
    d->session.deactivate();
}

void ZDDNSSDPublisher::setCollisionPolicy(CollisionPolicy policy)
{
    d->policy = policy;
}

ZDDNSSDPublisher::CollisionPolicy ZDDNSSDPublisher::collisionPolicy() const
{
    return d->policy;
}

bool ZDDNSSDPublisher::isPublished() const
{
    return d->isPublished;
}

QString ZDDNSSDPublisher::name() const
{
    return d->publishedName;
}

int ZDDNSSDPublisher::interfaceIndex(const QString &interfaceName)
{
    if (interfaceName.isEmpty())
        return 0;
    return static_cast<int>(if_nametoindex(interfaceName.toLocal8Bit().constData()));
}
