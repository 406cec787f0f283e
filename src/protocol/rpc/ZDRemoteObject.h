#pragma once
// An object that can be passed by reference: a table from full operation names
// ("setErrorCallback:", "ping") to handlers. The number of colons in a name is
// its number of arguments.
#include <QHash>
#include <QMetaType>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <functional>
#include <memory>
#include <optional>
#include <shared_mutex>

namespace ZDOrv {
enum class Side;
}

class ZDRemoteObject
{
public:
    using Handler = std::function<QVariant(const QVariantList &args)>;
    // OnewayInOrder: a quick oneway that changes what later calls read (a settings
    // write); the link runs it before it serves the peer's next call, so a read that
    // follows the write sees it.
    enum class Call { Synchronous, Oneway, OnewayInOrder };

    ZDRemoteObject() = default;
    virtual ~ZDRemoteObject();
    ZDRemoteObject(const ZDRemoteObject &) = delete;
    ZDRemoteObject &operator=(const ZDRemoteObject &) = delete;

    static std::shared_ptr<ZDRemoteObject> create();

    // The side of the operation contract this object serves, and the guard every
    // served operation runs in (the agent's exception guard; without one a failure
    // travels back to the caller, or is logged for a oneway call).
    using Guard = std::function<QVariant(const char *op, const std::function<QVariant()> &body)>;
    void setContract(ZDOrv::Side side, Guard guard = {});
    // Serves a contract operation of this object's side, as the contract says it is
    // called: its arguments are checked before handler runs, and a refused call fails
    // like any failing call, or answers through refused where the operation has an
    // answer of its own for a bad request. False, and nothing served, for a name the
    // contract lacks.
    using Refused = std::function<QVariant(const QVariantList &args, const QString &reason)>;
    bool serve(const char *name, Handler handler, Refused refused = {});

    // Oneway operations answer a synchronous caller at once, before they run.
    void addOperation(const QString &op, Handler handler, Call call = Call::Synchronous);
    bool respondsToSelector(const QString &op) const;
    // Synchronous for an unknown operation.
    Call callKind(const QString &op) const;
    QStringList operations() const;
    // Throws ZDLinkException for an unknown operation or a wrong argument count;
    // whatever the handler throws passes through.
    QVariant invoke(const QString &op, const QVariantList &args) const;

    static int argumentCount(const QString &op);

private:
    struct Entry
    {
        Handler handler;
        Call call = Call::Synchronous;
        bool checked = false; // served from the contract: its handler checks the arguments
    };
    mutable std::shared_mutex m_mutex;
    QHash<QString, Entry> m_operations;
    std::optional<ZDOrv::Side> m_side;
    Guard m_guard;
};

using ZDRemoteObjectPtr = std::shared_ptr<ZDRemoteObject>;
Q_DECLARE_METATYPE(ZDRemoteObjectPtr)
