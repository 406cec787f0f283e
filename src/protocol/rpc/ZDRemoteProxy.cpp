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
