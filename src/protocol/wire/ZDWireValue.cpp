#include "wire/ZDWireValue.h"

#include "wire/ZDCborReader.h"
#include "wire/ZDCborWriter.h"
#include "rpc/ZDRemoteError.h"

#include <QDateTime>
#include <QStringList>
#include <QtEndian>

#include <cmath>
#include <cstring>
#include <limits>

namespace {

// Tag 27 carries a typed object: [type name, fields...].
constexpr quint64 kObjectTag = 27;
constexpr quint64 kDateTag = 1;
constexpr const char *kErrorType = "ZDRemoteError";
constexpr const char *kReferenceType = "ZDRemoteRef";
// Dates stay within what QDateTime and a double's integer range hold exactly.
constexpr double kMaxDateSeconds = 9.0e12;
constexpr quint64 kInt64Max = quint64(std::numeric_limits<qint64>::max());

bool fail(QString *error, const QString &reason)
{
    if (error && error->isEmpty())
        *error = reason;
    return false;
}

double halfToDouble(quint16 half)
{
    const int exponent = (half >> 10) & 0x1f;
    const int mantissa = half & 0x3ff;
    double value;
    if (exponent == 0)
        value = std::ldexp(mantissa, -24);
    else if (exponent != 31)
        value = std::ldexp(mantissa + 1024, exponent - 25);
    else
        value = mantissa == 0 ? std::numeric_limits<double>::infinity() : std::numeric_limits<double>::quiet_NaN();
    return (half & 0x8000) ? -value : value;
}

// Integer or floating point number from a head already read.
bool numberFrom(const ZDCborReader::Head &h, double *out, QString *error)
{
    if (h.major == 0 && h.value <= kInt64Max) {
        *out = double(h.value);
    } else if (h.major == 1 && h.value <= kInt64Max) {
        *out = -1.0 - double(h.value);
    } else if (h.major == 7 && h.info == 25) {
        *out = halfToDouble(quint16(h.value));
    } else if (h.major == 7 && h.info == 26) {
        const quint32 bits = quint32(h.value);
        float f;
        std::memcpy(&f, &bits, sizeof f);
        *out = double(f);
    } else if (h.major == 7 && h.info == 27) {
        std::memcpy(out, &h.value, sizeof *out);
    } else {
        return fail(error, QStringLiteral("number expected"));
    }
    return true;
}

bool readText(ZDCborReader &r, QString *out, QString *error)
{
    ZDCborReader::Head h;
    if (!r.readHead(&h, error) || h.major != 3)
        return fail(error, QStringLiteral("text expected"));
    return r.readText(h.value, out, error);
}

bool readTagged(ZDCborReader &r, quint64 tag, QVariant *value, ZDWireObjectMapper *mapper, int depthLeft,
                QString *error)
{
    ZDCborReader::Head h;
    if (tag == kDateTag) {
        double seconds = 0;
        if (!r.readHead(&h, error) || !numberFrom(h, &seconds, error))
            return fail(error, QStringLiteral("date is not a number"));
        if (!std::isfinite(seconds) || std::fabs(seconds) > kMaxDateSeconds)
            return fail(error, QStringLiteral("date out of range"));
        *value = QDateTime::fromMSecsSinceEpoch(qint64(std::llround(seconds * 1000.0)), Qt::UTC);
        return true;
    }
    if (tag != kObjectTag)
        return fail(error, QStringLiteral("unknown tag %1").arg(tag));
    if (!r.readHead(&h, error) || h.major != 4)
        return fail(error, QStringLiteral("tagged object without fields"));
    const quint64 fields = h.value;
    QString type;
    if (fields < 1 || !readText(r, &type, error))
        return fail(error, QStringLiteral("tagged object without type"));
    if (type == QLatin1String(kErrorType)) {
        QString domain;
        QVariant info;
        if (fields != 4 || !readText(r, &domain, error))
            return fail(error, QStringLiteral("malformed error object"));
        if (!r.readHead(&h, error) || (h.major != 0 && h.major != 1) || h.value > kInt64Max)
            return fail(error, QStringLiteral("error code is not an integer"));
        const qint64 code = h.major == 0 ? qint64(h.value) : -1 - qint64(h.value);
        if (r.peekMajor() != 5 || !ZDWireValue::read(r, &info, mapper, depthLeft - 1, error))
            return fail(error, QStringLiteral("error without user information"));
        *value = QVariant::fromValue(ZDRemoteError(domain, code, info.toMap()));
        return true;
    }
    if (type == QLatin1String(kReferenceType)) {
        ZDWireReference ref;
        if (fields != 3 || !r.readHead(&h, error) || h.major != 7 || (h.info != 20 && h.info != 21))
            return fail(error, QStringLiteral("reference without owner"));
        ref.ownedBySender = h.info == 21;
        if (!r.readHead(&h, error) || h.major != 0)
            return fail(error, QStringLiteral("reference without id"));
        ref.id = h.value;
        r.noteReference();
        if (!mapper) {
            *value = QVariant::fromValue(ref);
            return true;
        }
        QString reason;
        *value = mapper->decodeObject(ref, &reason);
        return reason.isEmpty() || fail(error, reason);
    }
    return fail(error, QStringLiteral("unknown object type"));
}

} // namespace

bool ZDWireValue::write(ZDCborWriter &w, const QVariant &value, ZDWireObjectMapper *mapper, int depthLeft,
                        QString *error)
{
    if (depthLeft <= 0)
        return fail(error, QStringLiteral("value nested too deeply"));
    switch (value.metaType().id()) {
    case QMetaType::UnknownType:
    case QMetaType::Nullptr:
        w.null();
        return true;
    // The common types are read in place; the general conversions are far slower.
    case QMetaType::Bool:
        w.boolean(*static_cast<const bool *>(value.constData()));
        return true;
    case QMetaType::LongLong:
        w.integer(*static_cast<const qint64 *>(value.constData()));
        return true;
    case QMetaType::Double:
        w.real(*static_cast<const double *>(value.constData()));
        return true;
    case QMetaType::Int:
    case QMetaType::Long:
    case QMetaType::Short:
    case QMetaType::SChar:
        w.integer(value.toLongLong());
        return true;
    case QMetaType::UInt:
    case QMetaType::ULong:
    case QMetaType::ULongLong:
    case QMetaType::UShort:
    case QMetaType::UChar:
        w.unsignedInteger(value.toULongLong());
        return true;
    case QMetaType::Float:
        w.real(value.toDouble());
        return true;
    case QMetaType::QString:
        w.text(*static_cast<const QString *>(value.constData()));
        return true;
    case QMetaType::QByteArray:
        w.bytes(*static_cast<const QByteArray *>(value.constData()));
        return true;
    case QMetaType::QDateTime: {
        const QDateTime &date = *static_cast<const QDateTime *>(value.constData());
        if (!date.isValid())
            return fail(error, QStringLiteral("invalid date"));
        w.tag(kDateTag);
        w.real(double(date.toMSecsSinceEpoch()) / 1000.0);
        return true;
    }
    case QMetaType::QStringList: {
        const QStringList &list = *static_cast<const QStringList *>(value.constData());
        w.startArray(quint64(list.size()));
        for (const QString &s : list)
            w.text(s);
        return true;
    }
    case QMetaType::QVariantList: {
        const QVariantList &list = *static_cast<const QVariantList *>(value.constData());
        w.startArray(quint64(list.size()));
        for (const QVariant &item : list)
            if (!write(w, item, mapper, depthLeft - 1, error))
                return false;
        return true;
    }
    case QMetaType::QVariantMap: {
        const QVariantMap &map = *static_cast<const QVariantMap *>(value.constData());
        w.startMap(quint64(map.size()));
        for (auto it = map.cbegin(); it != map.cend(); ++it) {
            w.text(it.key());
            if (!write(w, it.value(), mapper, depthLeft - 1, error))
                return false;
        }
        return true;
    }
    case QMetaType::QVariantHash: {
        const QVariantHash &hash = *static_cast<const QVariantHash *>(value.constData());
        QVariantMap map;
        for (auto it = hash.cbegin(); it != hash.cend(); ++it)
            map.insert(it.key(), it.value());
        return write(w, QVariant(map), mapper, depthLeft, error);
    }
    default:
        break;
    }
    if (value.metaType() == QMetaType::fromType<ZDRemoteError>()) {
        const auto &e = *static_cast<const ZDRemoteError *>(value.constData());
        w.tag(kObjectTag);
        w.startArray(4);
        w.latin1(kErrorType);
        w.text(e.domain());
        w.integer(e.code());
        return write(w, QVariant(e.userInfo()), mapper, depthLeft - 1, error);
    }
    ZDWireReference ref;
    if (value.metaType() == QMetaType::fromType<ZDWireReference>()) {
        ref = *static_cast<const ZDWireReference *>(value.constData());
    } else {
        QString reason;
        if (!mapper || !mapper->encodeObject(value, &ref, &reason))
            return fail(error, reason.isEmpty() ? QStringLiteral("a value of type %1 cannot travel")
                                                      .arg(QString::fromLatin1(value.typeName()))
                                                : reason);
    }
    w.tag(kObjectTag);
    w.startArray(3);
    w.latin1(kReferenceType);
    w.boolean(ref.ownedBySender);
    w.unsignedInteger(ref.id);
    return true;
}

bool ZDWireValue::read(ZDCborReader &r, QVariant *value, ZDWireObjectMapper *mapper, int depthLeft, QString *error)
{
    if (depthLeft <= 0)
        return fail(error, QStringLiteral("value nested too deeply"));
    const qsizetype start = r.offset();
    ZDCborReader::Head h;
    QString reason;
    if (!r.readHead(&h, &reason))
        return fail(error, reason);
    const char *payload = nullptr;
    const bool record = (h.major == 4 || h.major == 5) && r.sharesRecords();
    if (record && r.takeKnownRecord(start, depthLeft, value))
        return true;
    const quint64 references = r.references();
    switch (h.major) {
    case 0:
        if (h.value > kInt64Max)
            return fail(error, QStringLiteral("integer out of range"));
        *value = qint64(h.value);
        return true;
    case 1:
        if (h.value > kInt64Max)
            return fail(error, QStringLiteral("integer out of range"));
        *value = -1 - qint64(h.value);
        return true;
    case 2:
        if (!r.readPayload(h.value, &payload, error))
            return false;
        *value = QByteArray(payload, qsizetype(h.value));
        return true;
    case 3: {
        QString text;
        if (!r.readText(h.value, &text, error))
            return false;
        *value = std::move(text);
        return true;
    }
    case 4: {
        // Every item takes at least one byte: a count beyond that is a lie.
        if (h.value > quint64(r.remaining()))
            return fail(error, QStringLiteral("array longer than the data"));
        if (h.value > quint64(r.itemsLeft()))
            return fail(error, QStringLiteral("array of %1 items passes the item limit").arg(h.value));
        QVariantList list;
        list.reserve(qsizetype(h.value));
        for (quint64 i = 0; i < h.value; ++i) {
            QVariant item;
            if (!read(r, &item, mapper, depthLeft - 1, error))
                return false;
            list.append(std::move(item));
        }
        *value = std::move(list);
        if (record && r.references() == references)
            r.keepRecord(start, *value);
        return true;
    }
    case 5: {
        if (h.value > quint64(r.remaining()) / 2)
            return fail(error, QStringLiteral("map longer than the data"));
        if (h.value > quint64(r.itemsLeft()) / 2)
            return fail(error, QStringLiteral("map of %1 entries passes the item limit").arg(h.value));
        QVariantMap map;
        for (quint64 i = 0; i < h.value; ++i) {
            QString key;
            if (r.peekMajor() != 3 || !readText(r, &key, error))
                return fail(error, QStringLiteral("map key is not text"));
            QVariant item;
            if (!read(r, &item, mapper, depthLeft - 1, error))
                return false;
            const auto before = map.size();
            // Keys usually arrive sorted: the hint makes each insertion cheap.
            map.insert(map.cend(), key, std::move(item));
            if (map.size() == before)
                return fail(error, QStringLiteral("duplicate map key"));
        }
        *value = std::move(map);
        if (record && r.references() == references)
            r.keepRecord(start, *value);
        return true;
    }
    case 6:
        return readTagged(r, h.value, value, mapper, depthLeft, error);
    default:
        break;
    }
    switch (h.info) {
    case 20:
    case 21:
        *value = h.info == 21;
        return true;
    case 22:
    case 23:
        *value = QVariant();
        return true;
    case 25:
    case 26:
    case 27: {
        double d = 0;
        numberFrom(h, &d, error);
        *value = d;
        return true;
    }
    default:
        return fail(error, QStringLiteral("unknown simple value"));
    }
}

QByteArray ZDWireValue::encode(const QVariant &value, QString *error, ZDWireObjectMapper *mapper, int maxDepth)
{
    QByteArray out;
    ZDCborWriter writer(&out);
    QString reason;
    if (!write(writer, value, mapper, maxDepth, &reason)) {
        if (error)
            *error = reason;
        return {};
    }
    return out;
}

QVariant ZDWireValue::decode(const QByteArray &data, QString *error, ZDWireObjectMapper *mapper, int maxDepth, bool *ok,
                             qint64 maxItems)
{
    ZDCborReader reader(data, maxItems);
    QString reason;
    QVariant value;
    bool good = read(reader, &value, mapper, maxDepth, &reason);
    if (good && reader.remaining() != 0) {
        good = false;
        reason = QStringLiteral("trailing bytes after value");
    }
    if (ok)
        *ok = good;
    if (!good) {
        if (error)
            *error = reason.isEmpty() ? QStringLiteral("malformed value") : reason;
        return {};
    }
    return value;
}
