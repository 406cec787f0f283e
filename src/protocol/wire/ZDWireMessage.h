#pragma once
// The messages of the wire, one per frame, each a CBOR map with a "type":
//   hello   {version, name}                       first frame of each side
//   call    {id, target, op, args, oneway}
//   reply   {id, result} or {id, error: {name, reason}}
//   release {target, count}                       count = references received
//   ping, pong
// Every field is type-checked on the way in.
#include "wire/ZDWireValue.h"

#include <QVariantList>

#include <optional>

class ZDWireMessage
{
public:
    enum class Type { Hello, Call, Reply, Release, Ping, Pong };

    Type type = Type::Ping;
    quint64 id = 0;
    quint64 target = 0;
    QString op;
    QVariantList args;
    bool oneway = false;
    QVariant result;
    bool failed = false;
    QString errorName;
    QString errorReason;
    quint64 count = 0;
    qint64 version = 0;
    QString name;
    // What the decoded message roughly holds in memory (set on the way in).
    qint64 weight = 0;
    // A decoded item: a QVariant and its share of a list or map node.
    static constexpr qint64 kBytesPerItem = 64;

    static ZDWireMessage hello(qint64 version, const QString &name);
    static ZDWireMessage call(quint64 id, quint64 target, const QString &op, const QVariantList &args, bool oneway);
    static ZDWireMessage reply(quint64 id, const QVariant &result);
    static ZDWireMessage errorReply(quint64 id, const QString &name, const QString &reason);
    static ZDWireMessage release(quint64 target, quint64 count);
    static ZDWireMessage ping(bool answer);

    // The whole frame, length prefix included; empty with a reason when a value
    // cannot travel or the frame would pass the size limit.
    QByteArray toFrame(ZDWireObjectMapper *mapper, const ZDWireLimits &limits, QString *error) const;
    // Parses one frame body.
    static std::optional<ZDWireMessage> fromBody(const QByteArray &body, ZDWireObjectMapper *mapper,
                                                 const ZDWireLimits &limits, QString *error);
};
