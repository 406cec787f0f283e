#include "bus/ZDDBusValue.h"

#include <QDBusArgument>
#include <QDBusMetaType>
#include <QDBusVariant>
#include <QDateTime>
#include <QMetaType>
#include <QStringList>

#include <limits>
#include <optional>

namespace zd_dbus_detail {
// The tagged form of the values D-Bus lacks.
struct Tagged
{
    QString tag;
    qlonglong value = 0;
};

QDBusArgument &operator<<(QDBusArgument &a, const Tagged &t)
{
    a.beginStructure();
    a << t.tag << t.value;
    a.endStructure();
    return a;
}

const QDBusArgument &operator>>(const QDBusArgument &a, Tagged &t)
{
    a.beginStructure();
    a >> t.tag >> t.value;
    a.endStructure();
    return a;
}

} // namespace zd_dbus_detail

Q_DECLARE_METATYPE(zd_dbus_detail::Tagged)

namespace {

using zd_dbus_detail::Tagged;

const QString kDateTag = QStringLiteral("date");
const QString kNoneTag = QStringLiteral("none");

void registerTypes()
{
    static const int once = [] {
        qDBusRegisterMetaType<Tagged>();
        return 0;
    }();
    Q_UNUSED(once);
}

bool textCanTravel(const QString &s)
{
    return s.size() <= ZDDBusValue::kMaxTextLength && !s.contains(QChar(u'\0'));
}

bool encode(const QVariant &v, QVariant *out, QString *error, int depth)
{
    auto fail = [error](const QString &why) {
        if (error)
            *error = why;
        return false;
    };
    if (depth > ZDDBusValue::kMaxDepth)
        return fail(QStringLiteral("nested deeper than %1 levels").arg(ZDDBusValue::kMaxDepth));
    if (!v.isValid()) {
        *out = QVariant::fromValue(Tagged{kNoneTag, 0});
        return true;
    }
    switch (v.metaType().id()) {
    case QMetaType::QString: {
        const QString s = v.toString();
        if (!textCanTravel(s))
            return fail(QStringLiteral("text with a NUL character or too long"));
        *out = s;
        return true;
    }
    case QMetaType::Bool:
        *out = v.toBool();
        return true;
    case QMetaType::Int:
    case QMetaType::Long:
    case QMetaType::LongLong:
    case QMetaType::Short:
    case QMetaType::SChar:
    case QMetaType::Char:
    case QMetaType::UInt:
    case QMetaType::UShort:
    case QMetaType::UChar:
        *out = QVariant::fromValue<qlonglong>(v.toLongLong());
        return true;
    case QMetaType::ULong:
    case QMetaType::ULongLong: {
        const qulonglong u = v.toULongLong();
        if (u > qulonglong(std::numeric_limits<qlonglong>::max()))
            return fail(QStringLiteral("unsigned integer out of range"));
        *out = QVariant::fromValue<qlonglong>(qlonglong(u));
        return true;
    }
    case QMetaType::Double:
    case QMetaType::Float:
        *out = v.toDouble();
        return true;
    case QMetaType::QByteArray:
        *out = v.toByteArray();
        return true;
    case QMetaType::QDateTime: {
        const QDateTime d = v.toDateTime();
        if (!d.isValid())
            return fail(QStringLiteral("invalid date"));
        *out = QVariant::fromValue(Tagged{kDateTag, d.toMSecsSinceEpoch()});
        return true;
    }
    case QMetaType::QStringList:
    case QMetaType::QVariantList: {
        QVariantList list;
        const QVariantList in = v.toList();
        list.reserve(in.size());
        for (const QVariant &e : in) {
            QVariant w;
            if (!encode(e, &w, error, depth + 1))
                return false;
            list.append(w);
        }
        *out = QVariant::fromValue(list);
        return true;
    }
    case QMetaType::QVariantMap: {
        QVariantMap map;
        const QVariantMap in = v.toMap();
        for (auto it = in.cbegin(); it != in.cend(); ++it) {
            if (!textCanTravel(it.key()))
                return fail(QStringLiteral("dictionary key with a NUL character or too long"));
            QVariant w;
            if (!encode(it.value(), &w, error, depth + 1))
                return false;
            map.insert(it.key(), w);
        }
        *out = QVariant::fromValue(map);
        return true;
    }
    default:
        return fail(QStringLiteral("unsupported type %1").arg(QString::fromLatin1(v.metaType().name())));
    }
}

// Every level of a received tree is a container plus the variant around it.
constexpr int kWireDepth = 2 * ZDDBusValue::kMaxDepth + 2;

// Decoding state shared by one argument's whole tree.
struct Decoder
{
    int dropped = 0;
    int values = 0;

    // nullopt: nothing usable, counted as dropped.
    std::optional<QVariant> value(const QVariant &v, int depth);
    std::optional<QVariant> argument(const QDBusArgument &a, int depth);

    std::optional<QVariant> drop()
    {
        ++dropped;
        return std::nullopt;
    }
};

std::optional<QVariant> Decoder::value(const QVariant &v, int depth)
{
    if (depth > kWireDepth || ++values > ZDDBusValue::kMaxValues)
        return drop();
    const int type = v.metaType().id();
    if (type == qMetaTypeId<QDBusArgument>())
        return argument(qvariant_cast<QDBusArgument>(v), depth);
    if (type == qMetaTypeId<QDBusVariant>())
        return value(qvariant_cast<QDBusVariant>(v).variant(), depth + 1);
    switch (type) {
    case QMetaType::QString: {
        QString s = v.toString();
        if (s.size() > ZDDBusValue::kMaxTextLength)
            return drop();
        return QVariant(std::move(s));
    }
    case QMetaType::Bool:
        return QVariant(v.toBool());
    case QMetaType::UChar:
    case QMetaType::Short:
    case QMetaType::UShort:
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
        return QVariant::fromValue<qint64>(v.toLongLong());
    case QMetaType::ULongLong: {
        const qulonglong u = v.toULongLong();
        if (u > qulonglong(std::numeric_limits<qint64>::max()))
            return drop();
        return QVariant::fromValue<qint64>(qint64(u));
    }
    case QMetaType::Double:
        return QVariant(v.toDouble());
    case QMetaType::QByteArray:
        return QVariant(v.toByteArray());
    case QMetaType::QStringList:
    case QMetaType::QVariantList: {
        QVariantList out;
        for (const QVariant &e : v.toList()) {
            if (auto d = value(e, depth + 1))
                out.append(*d);
        }
        return QVariant(out);
    }
    case QMetaType::QVariantMap: {
        QVariantMap out;
        const QVariantMap in = v.toMap();
        for (auto it = in.cbegin(); it != in.cend(); ++it) {
            if (auto d = value(it.value(), depth + 1))
                out.insert(it.key(), *d);
        }
        return QVariant(out);
    }
    default:
        // Object paths, signatures, file descriptors and anything unknown.
        return drop();
    }
}

std::optional<QVariant> Decoder::argument(const QDBusArgument &a, int depth)
{
    switch (a.currentType()) {
    case QDBusArgument::BasicType:
    case QDBusArgument::VariantType:
        return value(a.asVariant(), depth);
    case QDBusArgument::ArrayType: {
        if (a.currentSignature() == QLatin1String("ay")) {
            QByteArray bytes;
            a >> bytes;
            return QVariant(bytes);
        }
        QVariantList out;
        a.beginArray();
        while (!a.atEnd()) {
            if (values >= ZDDBusValue::kMaxValues) {
                ++dropped;
                break;
            }
            if (auto d = value(a.asVariant(), depth + 1))
                out.append(*d);
        }
        a.endArray();
        return QVariant(out);
    }
    case QDBusArgument::MapType: {
        QVariantMap out;
        a.beginMap();
        while (!a.atEnd()) {
            if (values >= ZDDBusValue::kMaxValues) {
                ++dropped;
                break;
            }
            a.beginMapEntry();
            const QVariant key = a.asVariant();
            const QVariant raw = a.asVariant();
            a.endMapEntry();
            if (key.metaType().id() != QMetaType::QString) {
                ++dropped;
                continue;
            }
            if (auto d = value(raw, depth + 1))
                out.insert(key.toString(), *d);
        }
        a.endMap();
        return QVariant(out);
    }
    case QDBusArgument::StructureType: {
        if (a.currentSignature() != QLatin1String("(sx)")) {
            a.beginStructure();
            a.endStructure();
            return drop();
        }
        Tagged t;
        a >> t;
        if (t.tag == kNoneTag)
            return QVariant();
        if (t.tag == kDateTag) {
            QDateTime d = QDateTime::fromMSecsSinceEpoch(t.value, Qt::UTC);
            if (d.isValid())
                return QVariant(d);
        }
        return drop();
    }
    case QDBusArgument::MapEntryType:
    case QDBusArgument::UnknownType:
        break;
    }
    return drop();
}

} // namespace

bool ZDDBusValue::toWire(const QVariant &value, QVariant *wire, QString *error)
{
    registerTypes();
    QVariant out;
    if (!encode(value, &out, error, 0))
        return false;
    if (wire)
        *wire = out;
    return true;
}

bool ZDDBusValue::listToWire(const QVariantList &values, QVariantList *wire, QString *error)
{
    registerTypes();
    QVariantList out;
    out.reserve(values.size());
    for (const QVariant &v : values) {
        QVariant w;
        if (!encode(v, &w, error, 1))
            return false;
        out.append(w);
    }
    if (wire)
        *wire = out;
    return true;
}

QVariant ZDDBusValue::fromWire(const QVariant &wire, int *dropped)
{
    Decoder d;
    const std::optional<QVariant> v = d.value(wire, 0);
    if (dropped)
        *dropped = d.dropped;
    return v.value_or(QVariant());
}
