#include "rpc/ZDRemoteProxy.h"

#include "link/ZDConnection.h"

#include <utility>
#include <vector>

ZDRemoteProxy::ZDRemoteProxy(std::shared_ptr<ZDConnection> connection, quint64 id, int replyTimeoutMs)
    : m_connection(std::move(connection))
    , m_id(id)
    , m_replyTimeoutMs(replyTimeoutMs)
{
}

ZDRemoteProxy::~ZDRemoteProxy()
{
    m_connection->proxyDestroyed(m_id, this);
}

QVariant ZDRemoteProxy::call(const QString &op, const QVariantList &args) const
{
    return m_connection->sendCall(m_id, op, args, m_replyTimeoutMs);
}

void ZDRemoteProxy::callOneway(const QString &op, const QVariantList &args) const
{
    m_connection->sendOneway(m_id, op, args);
}

bool ZDRemoteProxy::respondsToSelector(const QString &op) const
{
    learnSelectors({op});
    std::lock_guard lock(m_cacheMutex);
    return m_responds.value(op);
}

void ZDRemoteProxy::learnSelectors(const QStringList &ops) const
{
    QStringList unknown;
    {
        std::lock_guard lock(m_cacheMutex);
        for (const QString &op : ops)
            if (!m_responds.contains(op) && !unknown.contains(op))
                unknown << op;
    }
    // Questions still out when one fails are not waited for.
    struct Asked
    {
        const std::shared_ptr<ZDConnection> &connection;
        std::vector<ZDConnection::Ticket> tickets;
        ~Asked()
        {
            for (const ZDConnection::Ticket &t : tickets)
                if (t.pc)
                    connection->abandonCall(t);
        }
    } asked{m_connection, {}};
    asked.tickets.reserve(size_t(unknown.size()));
    for (const QString &op : std::as_const(unknown))
        asked.tickets.push_back(m_connection->beginCall(m_id, QStringLiteral("respondsToSelector:"), {op}));
    for (size_t i = 0; i < asked.tickets.size(); ++i) {
        const bool answer = m_connection->waitCall(asked.tickets[i], m_replyTimeoutMs).toBool();
        asked.tickets[i].pc.reset();
        std::lock_guard lock(m_cacheMutex);
        m_responds.insert(unknown.at(qsizetype(i)), answer);
    }
}

struct ZDRemoteProxy::Begun::Calls
{
    std::shared_ptr<ZDConnection> connection;
    QString op;
    std::optional<bool> known;
    ZDConnection::Ticket asked;  // the question, while its answer is not in
    ZDConnection::Ticket called; // the call, while its reply is not in

    ~Calls()
    {
        if (asked.pc)
            connection->abandonCall(asked);
        if (called.pc)
            connection->abandonCall(called);
    }
};

ZDRemoteProxy::Begun::Begun() = default;
ZDRemoteProxy::Begun::Begun(Begun &&) noexcept = default;
ZDRemoteProxy::Begun &ZDRemoteProxy::Begun::operator=(Begun &&) noexcept = default;
ZDRemoteProxy::Begun::~Begun() = default;

std::optional<QVariant> ZDRemoteProxy::callIfResponds(const QString &op, const QVariantList &args) const
{
    return finish(beginIfResponds(op, args));
}

ZDRemoteProxy::Begun ZDRemoteProxy::beginIfResponds(const QString &op, const QVariantList &args) const
{
    Begun begun;
    begun.m_calls = std::make_unique<Begun::Calls>();
    Begun::Calls &c = *begun.m_calls;
    c.connection = m_connection;
    c.op = op;
    {
        std::lock_guard lock(m_cacheMutex);
        const auto it = m_responds.constFind(op);
        if (it != m_responds.cend())
            c.known = *it;
    }
    if (c.known == false)
        return begun;
    // The peer answers the question as it reads it, before it reads the call behind it;
    // a call the object does not take is answered with an error nobody waits for.
    if (!c.known)
        c.asked = m_connection->beginCall(m_id, QStringLiteral("respondsToSelector:"), {op});
    c.called = m_connection->beginCall(m_id, op, args);
    return begun;
}

std::optional<QVariant> ZDRemoteProxy::finish(Begun begun) const
{
    Begun::Calls *const c = begun.m_calls.get();
    if (!c || c->connection != m_connection)
        return std::nullopt;
    const int timeoutMs = m_replyTimeoutMs;
    if (c->asked.pc) {
        const bool answer = m_connection->waitCall(c->asked, timeoutMs).toBool();
        c->asked = {};
        c->known = answer;
        std::lock_guard lock(m_cacheMutex);
        m_responds.insert(c->op, answer);
    }
    if (!c->called.pc || c->known == false)
        return std::nullopt;
    QVariant value = m_connection->waitCall(c->called, timeoutMs);
    c->called = {};
    return value;
}

bool ZDRemoteProxy::isValid() const
{
    return m_connection->isValid();
}

std::shared_ptr<ZDRemoteProxy> ZDRemoteProxy::fromVariant(const QVariant &value)
{
    if (value.metaType() != QMetaType::fromType<ZDRemoteProxyPtr>())
        return nullptr;
    return value.value<ZDRemoteProxyPtr>();
}
