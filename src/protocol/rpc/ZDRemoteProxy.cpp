#include "rpc/ZDRemoteProxy.h"

#include "link/ZDConnection.h"

#include <utility>

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
    {
        std::lock_guard lock(m_cacheMutex);
        const auto it = m_responds.constFind(op);
        if (it != m_responds.cend())
            return *it;
    }
    const bool answer = m_connection->sendCall(m_id, QStringLiteral("respondsToSelector:"), {op}, m_replyTimeoutMs).toBool();
    std::lock_guard lock(m_cacheMutex);
    m_responds.insert(op, answer);
    return answer;
}

std::optional<QVariant> ZDRemoteProxy::callIfResponds(const QString &op, const QVariantList &args) const
{
    std::optional<bool> known;
    {
        std::lock_guard lock(m_cacheMutex);
        const auto it = m_responds.constFind(op);
        if (it != m_responds.cend())
            known = *it;
    }
    if (known)
        return *known ? std::optional<QVariant>(call(op, args)) : std::nullopt;
    const int timeoutMs = m_replyTimeoutMs;
    // The peer answers the question as it reads it, before it reads the call behind it.
    const ZDConnection::Ticket asked = m_connection->beginCall(m_id, QStringLiteral("respondsToSelector:"), {op});
    ZDConnection::Ticket called;
    try {
        called = m_connection->beginCall(m_id, op, args);
    } catch (...) {
        m_connection->abandonCall(asked);
        throw;
    }
    bool answer = false;
    try {
        answer = m_connection->waitCall(asked, timeoutMs).toBool();
    } catch (...) {
        m_connection->abandonCall(called);
        throw;
    }
    {
        std::lock_guard lock(m_cacheMutex);
        m_responds.insert(op, answer);
    }
    if (!answer) {
        m_connection->abandonCall(called);
        return std::nullopt;
    }
    return m_connection->waitCall(called, timeoutMs);
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
