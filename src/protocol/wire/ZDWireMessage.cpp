#include "wire/ZDWireMessage.h"

#include "wire/ZDWireFrame.h"

#include "wire/ZDCborReader.h"
#include "wire/ZDCborWriter.h"

#include <QtEndian>

namespace {

const char *typeName(ZDWireMessage::Type type)
{
    switch (type) {
    case ZDWireMessage::Type::Hello: return "hello";
    case ZDWireMessage::Type::Call: return "call";
    case ZDWireMessage::Type::Reply: return "reply";
    case ZDWireMessage::Type::Release: return "release";
    case ZDWireMessage::Type::Ping: return "ping";
    case ZDWireMessage::Type::Pong: return "pong";
    }
    return "";
}

std::optional<ZDWireMessage::Type> typeFromName(const QString &name)
{
    for (auto t : {ZDWireMessage::Type::Hello, ZDWireMessage::Type::Call, ZDWireMessage::Type::Reply,
                   ZDWireMessage::Type::Release, ZDWireMessage::Type::Ping, ZDWireMessage::Type::Pong})
        if (name == QLatin1String(typeName(t)))
            return t;
    return std::nullopt;
}

void key(ZDCborWriter &w, const char *k)
{
    w.latin1(k);
}

// Field checks: present and of the expected type.

bool fieldText(const QVariantMap &m, const char *k, QString *out)
{
    const QVariant v = m.value(QLatin1String(k));
    if (v.metaType().id() != QMetaType::QString)
        return false;
    *out = v.toString();
    return true;
}


} // namespace

ZDWireMessage ZDWireMessage::hello(qint64 version, const QString &name)
{
    ZDWireMessage m;
    m.type = Type::Hello;
    m.version = version;
    m.name = name;
    return m;
}

ZDWireMessage ZDWireMessage::call(quint64 id, quint64 target, const QString &op, const QVariantList &args, bool oneway)
{
    ZDWireMessage m;
    m.type = Type::Call;
    m.id = id;
    m.target = target;
    m.op = op;
    m.args = args;
    m.oneway = oneway;
    return m;
}

ZDWireMessage ZDWireMessage::reply(quint64 id, const QVariant &result)
{
    ZDWireMessage m;
    m.type = Type::Reply;
    m.id = id;
    m.result = result;
    return m;
}

ZDWireMessage ZDWireMessage::errorReply(quint64 id, const QString &name, const QString &reason)
{
    ZDWireMessage m;
    m.type = Type::Reply;
    m.id = id;
    m.failed = true;
    m.errorName = name;
    m.errorReason = reason;
    return m;
}

ZDWireMessage ZDWireMessage::release(quint64 target, quint64 count)
{
    ZDWireMessage m;
    m.type = Type::Release;
    m.target = target;
    m.count = count;
    return m;
}

ZDWireMessage ZDWireMessage::ping(bool answer)
{
    ZDWireMessage m;
    m.type = answer ? Type::Pong : Type::Ping;
    return m;
}

QByteArray ZDWireMessage::toFrame(ZDWireObjectMapper *mapper, const ZDWireLimits &limits, QString *error) const
{
    QByteArray out;
    out.reserve(128);
    out.append(ZDWireFrame::kHeaderBytes, '\0');
    ZDCborWriter w(&out);
    QString reason;
    bool ok = true;
    static constexpr int kFields[] = {3, 6, 3, 3, 1, 1};
    w.startMap(quint64(kFields[int(type)]));
    key(w, "type");
    w.latin1(typeName(type));
    switch (type) {
    case Type::Hello:
        key(w, "version");
        w.integer(version);
        key(w, "name");
        w.text(name);
        break;
    case Type::Call:
        key(w, "id");
        w.unsignedInteger(id);
        key(w, "target");
        w.unsignedInteger(target);
        key(w, "op");
        w.text(op);
        key(w, "oneway");
        w.boolean(oneway);
        key(w, "args");
        ok = ZDWireValue::write(w, QVariant(args), mapper, limits.maxDepth, &reason);
        break;
    case Type::Reply:
        key(w, "id");
        w.unsignedInteger(id);
        if (failed) {
            key(w, "error");
            w.startMap(2);
            key(w, "name");
            w.text(errorName);
            key(w, "reason");
            w.text(errorReason);
        } else {
            key(w, "result");
            ok = ZDWireValue::write(w, result, mapper, limits.maxDepth, &reason);
        }
        break;
    case Type::Release:
        key(w, "target");
        w.unsignedInteger(target);
        key(w, "count");
        w.unsignedInteger(count);
        break;
    case Type::Ping:
    case Type::Pong:
        break;
    }
    const qint64 body = out.size() - ZDWireFrame::kHeaderBytes;
    if (ok && body > limits.maxFrameBytes) {
        ok = false;
        reason = QStringLiteral("message of %1 bytes exceeds the frame limit of %2").arg(body).arg(limits.maxFrameBytes);
    }
    if (!ok) {
        if (error)
            *error = reason;
        return {};
    }
    qToBigEndian(quint32(body), out.data());
    return out;
}

std::optional<ZDWireMessage> ZDWireMessage::fromBody(const QByteArray &body, ZDWireObjectMapper *mapper,
                                                     const ZDWireLimits &limits, QString *error)
{
    auto bad = [error](const QString &reason) {
        if (error)
            *error = reason;
        return std::nullopt;
    };
    // Read field by field, straight from the bytes: no intermediate map.
    enum Field { FType = 1, FId = 2, FTarget = 4, FOp = 8, FOneway = 16, FArgs = 32, FResult = 64, FError = 128,
                 FVersion = 256, FName = 512, FCount = 1024 };
    ZDCborReader r(body, limits.maxItems);
    ZDCborReader::Head h;
    QString reason;
    if (!r.readHead(&h, &reason) || h.major != 5)
        return bad(QStringLiteral("message is not a map"));
    if (h.value > 8)
        return bad(QStringLiteral("message with too many fields"));
    const quint64 fields = h.value;
    ZDWireMessage m;
    QString typeText;
    int seen = 0;
    for (quint64 i = 0; i < fields; ++i) {
        const char *keyBytes = nullptr;
        if (!r.readHead(&h, &reason) || h.major != 3 || h.value > 16 || !r.readPayload(h.value, &keyBytes, &reason))
            return bad(QStringLiteral("message field name is not text"));
        const QLatin1StringView key(keyBytes, qsizetype(h.value));
        int field = 0;
        bool ok = true;
        if (key == QLatin1String("type") || key == QLatin1String("op") || key == QLatin1String("name")) {
            field = key == QLatin1String("type") ? FType : key == QLatin1String("op") ? FOp : FName;
            ok = r.readHead(&h, &reason) && h.major == 3
                 && r.readText(h.value, field == FType ? &typeText : field == FOp ? &m.op : &m.name, &reason);
        } else if (key == QLatin1String("id") || key == QLatin1String("target") || key == QLatin1String("count")) {
            field = key == QLatin1String("id") ? FId : key == QLatin1String("target") ? FTarget : FCount;
            ok = r.readHead(&h, &reason) && h.major == 0;
            (field == FId ? m.id : field == FTarget ? m.target : m.count) = h.value;
        } else if (key == QLatin1String("version")) {
            field = FVersion;
            ok = r.readHead(&h, &reason) && h.major == 0 && h.value < 0x7fffffff;
            m.version = qint64(h.value);
        } else if (key == QLatin1String("oneway")) {
            field = FOneway;
            ok = r.readHead(&h, &reason) && h.major == 7 && (h.info == 20 || h.info == 21);
            m.oneway = h.info == 21;
        } else if (key == QLatin1String("args")) {
            field = FArgs;
            QVariant args;
            ok = r.peekMajor() == 4 && ZDWireValue::read(r, &args, mapper, limits.maxDepth, &reason);
            m.args = args.toList();
        } else if (key == QLatin1String("result")) {
            field = FResult;
            ok = ZDWireValue::read(r, &m.result, mapper, limits.maxDepth, &reason);
        } else if (key == QLatin1String("error")) {
            field = FError;
            QVariant e;
            ok = r.peekMajor() == 5 && ZDWireValue::read(r, &e, nullptr, 2, &reason);
            const QVariantMap map = e.toMap();
            ok = ok && map.size() == 2 && fieldText(map, "name", &m.errorName) && fieldText(map, "reason", &m.errorReason);
            m.failed = true;
        } else {
            return bad(QStringLiteral("unknown message field"));
        }
        if (!ok)
            return bad(reason.isEmpty() ? QStringLiteral("message field %1 malformed").arg(key) : reason);
        if (seen & field)
            return bad(QStringLiteral("message field %1 twice").arg(key));
        seen |= field;
    }
    if (r.remaining() != 0)
        return bad(QStringLiteral("trailing bytes after message"));
    const auto type = typeFromName(typeText);
    if (!(seen & FType) || !type)
        return bad(QStringLiteral("message without known type"));
    m.type = *type;
    static constexpr int kRequired[] = {FType | FVersion | FName, FType | FId | FTarget | FOp | FOneway | FArgs,
                                        FType | FId, FType | FTarget | FCount, FType, FType};
    const int required = kRequired[int(m.type)];
    const int allowed = m.type == Type::Reply ? (required | FResult | FError) : required;
    if ((seen & required) != required || (seen & ~allowed) != 0)
        return bad(QStringLiteral("malformed %1").arg(typeText));
    if (m.type == Type::Reply && bool(seen & FResult) == bool(seen & FError))
        return bad(QStringLiteral("reply needs a result or an error"));
    if (m.type == Type::Release && m.count == 0)
        return bad(QStringLiteral("malformed release"));
    m.weight = body.size() + r.itemsRead() * kBytesPerItem;
    return m;
}
