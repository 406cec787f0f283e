#include "rpc/ZDRemoteObject.h"

#include "rpc/ZDLinkException.h"
#include "log/ZDLog.h"
#include "rpc/ZDOrvContract.h"

#include <mutex>

ZDRemoteObject::~ZDRemoteObject() = default;

std::shared_ptr<ZDRemoteObject> ZDRemoteObject::create()
{
    return std::make_shared<ZDRemoteObject>();
}

void ZDRemoteObject::addOperation(const QString &op, Handler handler, Call call)
{
    std::unique_lock lock(m_mutex);
    m_operations.insert(op, Entry{std::move(handler), call});
}

void ZDRemoteObject::setContract(ZDOrv::Side side, Guard guard)
{
    std::unique_lock lock(m_mutex);
    m_side = side;
    m_guard = std::move(guard);
}

bool ZDRemoteObject::serve(const char *name, Handler handler, Refused refused)
{
    const ZDOrv::Operation *op = nullptr;
    Guard guard;
    {
        std::shared_lock lock(m_mutex);
        if (m_side)
            op = ZDOrv::find(*m_side, name);
        guard = m_guard;
    }
    if (!op) {
        ZDLog::appendLog(QStringLiteral("Operation %@ is not in the contract. Not serving it."), QString::fromLatin1(name));
        return false;
    }
    auto checked = [op, handler = std::move(handler), refused = std::move(refused)](const QVariantList &args) -> QVariant {
        const QString why = ZDOrv::refusal(*op, args);
        if (why.isEmpty())
            return handler(args);
        if (refused)
            return refused(args, why);
        throw ZDLinkException::invalid(QStringLiteral("%1 refused: %2").arg(QLatin1String(op->name), why));
    };
    Handler served = std::move(checked);
    if (guard) {
        served = [op, guard, inner = std::move(served)](const QVariantList &args) {
            return guard(op->name, [&] { return inner(args); });
        };
    }
    std::unique_lock lock(m_mutex);
    m_operations.insert(QString::fromLatin1(op->name), Entry{std::move(served), op->call, true});
    return true;
}

bool ZDRemoteObject::respondsToSelector(const QString &op) const
{
    std::shared_lock lock(m_mutex);
    return m_operations.contains(op);
}

ZDRemoteObject::Call ZDRemoteObject::callKind(const QString &op) const
{
    std::shared_lock lock(m_mutex);
    const auto it = m_operations.constFind(op);
    return it != m_operations.cend() ? it->call : Call::Synchronous;
}

QStringList ZDRemoteObject::operations() const
{
    std::shared_lock lock(m_mutex);
    return m_operations.keys();
}

QVariant ZDRemoteObject::invoke(const QString &op, const QVariantList &args) const
{
    Handler handler;
    bool checked = false;
    {
        std::shared_lock lock(m_mutex);
        const auto it = m_operations.constFind(op);
        if (it == m_operations.cend())
            throw ZDLinkException(ZDLinkException::Kind::Remote, QString::fromLatin1(ZDLinkException::kUnknownOperationName),
                                  QStringLiteral("object does not respond to selector %1").arg(op));
        handler = it->handler;
        checked = it->checked;
    }
    if (!checked && args.size() != argumentCount(op))
        throw ZDLinkException(ZDLinkException::Kind::Remote, QString::fromLatin1(ZDLinkException::kInvalidArgumentName),
                              QStringLiteral("%1 takes %2 arguments, got %3").arg(op).arg(argumentCount(op)).arg(args.size()));
    return handler(args);
}

int ZDRemoteObject::argumentCount(const QString &op)
{
    return int(op.count(QLatin1Char(':')));
}
