#include "plist/ZDPropertyList.h"

#include "log/ZDLog.h"
#include "platform/ZDBoundedRead.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QDir>
#include <QSaveFile>
#include <QTimeZone>

#include <plist/plist.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

namespace {

// Property-list dates count from 2001-01-01 00:00:00 UTC.
constexpr qint64 kReferenceEpoch = 978307200;

struct PlistDeleter {
    void operator()(void *p) const
    {
        if (p)
            plist_free(static_cast<plist_t>(p));
    }
};
using PlistPtr = std::unique_ptr<void, PlistDeleter>;

struct FreeDeleter {
    void operator()(char *p) const { std::free(p); }
};

// The parser builds trees recursively; refuse inputs nested deeper than we accept
// before it sees them. Counting opening container tags over-estimates, which only
// ever refuses, never admits, a deep input.
bool xmlNestingWithinLimit(const QByteArray &data, int limit)
{
    int depth = 0;
    const char *p = data.constData();
    const char *end = p + data.size();
    while (p < end) {
        const char *lt = static_cast<const char *>(std::memchr(p, '<', size_t(end - p)));
        if (!lt)
            break;
        p = lt + 1;
        const bool closing = p < end && *p == '/';
        const char *name = closing ? p + 1 : p;
        auto startsWith = [&](const char *word) {
            const size_t n = std::strlen(word);
            return size_t(end - name) >= n && std::memcmp(name, word, n) == 0;
        };
        if (!startsWith("array") && !startsWith("dict"))
            continue;
        const char *gt = static_cast<const char *>(std::memchr(name, '>', size_t(end - name)));
        const bool selfClosing = gt && gt > name && gt[-1] == '/';
        if (selfClosing)
            continue;
        if (closing) {
            if (depth > 0)
                --depth;
        } else if (++depth > limit) {
            return false;
        }
    }
    return true;
}

// The binary parser trusts parts of the object table (it aborts on a dictionary
// key that is not text, for one); walk the table first and refuse what it would
// choke on. Each object is looked at once, so hostile sharing stays linear.
bool binaryStructureIsSound(const QByteArray &data, QString *error)
{
    const auto *bytes = reinterpret_cast<const unsigned char *>(data.constData());
    const quint64 size = quint64(data.size());
    auto fail = [error](const char *why) {
        *error = QString::fromLatin1(why);
        return false;
    };
    if (size < 8 + 32)
        return fail("binary property list too short");
    auto readBE = [&](quint64 at, unsigned width, quint64 *out) {
        if (width == 0 || width > 8 || at > size || size - at < width)
            return false;
        quint64 v = 0;
        for (unsigned i = 0; i < width; ++i)
            v = (v << 8) | bytes[at + i];
        *out = v;
        return true;
    };
    const quint64 trailer = size - 32;
    const unsigned offsetSize = bytes[trailer + 6];
    const unsigned refSize = bytes[trailer + 7];
    quint64 objectCount = 0;
    quint64 topObject = 0;
    quint64 tableOffset = 0;
    readBE(trailer + 8, 8, &objectCount);
    readBE(trailer + 16, 8, &topObject);
    readBE(trailer + 24, 8, &tableOffset);
    auto validWidth = [](unsigned w) { return w == 1 || w == 2 || w == 4 || w == 8; };
    if (!validWidth(offsetSize) || !validWidth(refSize))
        return fail("bad integer sizes in trailer");
    if (objectCount == 0 || topObject >= objectCount || tableOffset < 8 || tableOffset >= trailer)
        return fail("bad trailer");
    if (objectCount > (trailer - tableOffset) / offsetSize)
        return fail("offset table out of bounds");

    auto objectOffset = [&](quint64 index, quint64 *out) {
        return readBE(tableOffset + index * offsetSize, offsetSize, out) && *out >= 8 && *out < tableOffset;
    };
    // Length of a container or string: low nibble, or 0xF followed by an integer object.
    auto readCount = [&](quint64 at, quint64 *count, quint64 *payload) {
        const unsigned low = bytes[at] & 0x0F;
        if (low != 0x0F) {
            *count = low;
            *payload = at + 1;
            return true;
        }
        if (at + 1 >= tableOffset || (bytes[at + 1] & 0xF0) != 0x10)
            return false;
        const unsigned width = 1u << (bytes[at + 1] & 0x0F);
        if (width > 8 || !readBE(at + 2, width, count))
            return false;
        *payload = at + 2 + width;
        return true;
    };
    auto isText = [&](quint64 index) {
        quint64 off = 0;
        if (!objectOffset(index, &off))
            return false;
        const unsigned kind = bytes[off] >> 4;
        if (kind != 0x5 && kind != 0x6)
            return false;
        // A key is read back as a C string: a NUL inside it is refused.
        quint64 count = 0;
        quint64 payload = 0;
        if (!readCount(off, &count, &payload))
            return false;
        const quint64 width = kind == 0x6 ? 2 : 1;
        if (payload > tableOffset || count > (tableOffset - payload) / width)
            return false;
        for (quint64 i = 0; i < count; ++i) {
            const bool nul = width == 1 ? bytes[payload + i] == 0
                                        : (bytes[payload + 2 * i] == 0 && bytes[payload + 2 * i + 1] == 0);
            if (nul)
                return false;
        }
        return true;
    };

    std::vector<bool> seen(size_t(objectCount), false);
    std::vector<quint64> pending{topObject};
    while (!pending.empty()) {
        const quint64 index = pending.back();
        pending.pop_back();
        if (seen[size_t(index)])
            continue;
        seen[size_t(index)] = true;
        quint64 off = 0;
        if (!objectOffset(index, &off))
            return fail("object offset out of bounds");
        const unsigned kind = bytes[off] >> 4;
        if (kind != 0xA && kind != 0xC && kind != 0xD)
            continue; // scalars are bounds-checked by the parser itself
        quint64 count = 0;
        quint64 payload = 0;
        if (!readCount(off, &count, &payload))
            return fail("bad container length");
        const quint64 refs = kind == 0xD ? count * 2 : count;
        if (count > objectCount * 2 || payload > tableOffset || refs > (tableOffset - payload) / refSize)
            return fail("container out of bounds");
        for (quint64 i = 0; i < refs; ++i) {
            quint64 ref = 0;
            readBE(payload + i * refSize, refSize, &ref);
            if (ref >= objectCount)
                return fail("object reference out of bounds");
            if (kind == 0xD && i < count && !isText(ref))
                return fail("dictionary key is not text");
            if (!seen[size_t(ref)])
                pending.push_back(ref);
        }
    }
    return true;
}

QVariant toVariant(plist_t node, int depth, QString *error)
{
    if (depth > ZDPropertyList::kMaxDepth) {
        *error = QStringLiteral("nested too deeply");
        return {};
    }
    switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
        uint8_t b = 0;
        plist_get_bool_val(node, &b);
        return bool(b);
    }
    case PLIST_UINT: {
        // Integers are signed 64-bit, as the files this suite meets write them.
        uint64_t v = 0;
        plist_get_uint_val(node, &v);
        return qint64(v);
    }
    case PLIST_REAL: {
        double d = 0;
        plist_get_real_val(node, &d);
        return d;
    }
    case PLIST_STRING:
    case PLIST_KEY: {
        uint64_t len = 0;
        const char *s = plist_get_string_ptr(node, &len);
        if (!s)
            return QString();
        if (len > uint64_t(std::numeric_limits<qsizetype>::max()))
            len = std::strlen(s);
        return QString::fromUtf8(s, qsizetype(len));
    }
    case PLIST_DATA: {
        uint64_t len = 0;
        const char *d = plist_get_data_ptr(node, &len);
        return d ? QByteArray(d, qsizetype(len)) : QByteArray();
    }
    case PLIST_DATE: {
        int32_t sec = 0;
        int32_t usec = 0;
        plist_get_date_val(node, &sec, &usec);
        // Rounded: the library's microseconds come from a double and may fall just short of the millisecond written.
        const qint64 ms = (kReferenceEpoch + qint64(sec)) * 1000 + std::llround(double(usec) / 1000.0);
        return QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC);
    }
    case PLIST_UID: {
        uint64_t v = 0;
        plist_get_uid_val(node, &v);
        return qint64(v);
    }
    case PLIST_ARRAY: {
        QVariantList list;
        const uint32_t n = plist_array_get_size(node);
        list.reserve(qsizetype(n));
        for (uint32_t i = 0; i < n; ++i) {
            plist_t item = plist_array_get_item(node, i);
            if (!item) {
                *error = QStringLiteral("broken array");
                return {};
            }
            QVariant v = toVariant(item, depth + 1, error);
            if (!error->isEmpty())
                return {};
            list.append(std::move(v));
        }
        return list;
    }
    case PLIST_DICT: {
        QVariantMap map;
        plist_dict_iter it = nullptr;
        plist_dict_new_iter(node, &it);
        if (!it)
            return map;
        for (;;) {
            plist_t value = nullptr;
            plist_dict_next_item(node, it, nullptr, &value);
            if (!value)
                break;
            plist_t keyNode = plist_dict_item_get_key(value);
            if (!keyNode || plist_get_node_type(keyNode) != PLIST_KEY) {
                std::free(it);
                *error = QStringLiteral("dictionary key is not text");
                return {};
            }
            char *key = nullptr;
            plist_get_key_val(keyNode, &key);
            std::unique_ptr<char, FreeDeleter> keyHolder(key);
            QVariant v = toVariant(value, depth + 1, error);
            if (!error->isEmpty()) {
                std::free(it);
                return {};
            }
            map.insert(key ? QString::fromUtf8(key) : QString(), std::move(v));
        }
        std::free(it);
        return map;
    }
    case PLIST_NONE:
    default:
        *error = QStringLiteral("unknown element");
        return {};
    }
}

plist_t fromVariant(const QVariant &value, int depth, QString *error)
{
    if (depth > ZDPropertyList::kMaxDepth) {
        *error = QStringLiteral("nested too deeply");
        return nullptr;
    }
    switch (value.typeId()) {
    case QMetaType::Bool:
        return plist_new_bool(value.toBool() ? 1 : 0);
    case QMetaType::Int:
    case QMetaType::Long:
    case QMetaType::LongLong:
    case QMetaType::Short:
    case QMetaType::SChar:
        return plist_new_uint(uint64_t(value.toLongLong()));
    case QMetaType::UInt:
    case QMetaType::ULong:
    case QMetaType::ULongLong:
    case QMetaType::UShort:
    case QMetaType::UChar: {
        const qulonglong u = value.toULongLong();
        if (u > qulonglong(std::numeric_limits<qint64>::max())) {
            *error = QStringLiteral("integer too large");
            return nullptr;
        }
        return plist_new_uint(uint64_t(u));
    }
    case QMetaType::Double:
    case QMetaType::Float:
        return plist_new_real(value.toDouble());
    case QMetaType::QString:
        return plist_new_string(value.toString().toUtf8().constData());
    case QMetaType::QByteArray: {
        const QByteArray d = value.toByteArray();
        return plist_new_data(d.constData(), uint64_t(d.size()));
    }
    case QMetaType::QDateTime:
    case QMetaType::QDate: {
        const QDateTime dt = value.toDateTime();
        if (!dt.isValid()) {
            *error = QStringLiteral("invalid date");
            return nullptr;
        }
        const qint64 ms = dt.toMSecsSinceEpoch() - kReferenceEpoch * 1000;
        qint64 sec = ms / 1000;
        qint64 rem = ms % 1000;
        if (rem < 0) {
            rem += 1000;
            --sec;
        }
        if (sec < std::numeric_limits<int32_t>::min() || sec > std::numeric_limits<int32_t>::max()) {
            *error = QStringLiteral("date out of range");
            return nullptr;
        }
        return plist_new_date(int32_t(sec), int32_t(rem * 1000));
    }
    case QMetaType::QStringList:
    case QMetaType::QVariantList: {
        PlistPtr array(plist_new_array());
        const QVariantList list = value.toList();
        for (const QVariant &item : list) {
            plist_t child = fromVariant(item, depth + 1, error);
            if (!child)
                return nullptr;
            plist_array_append_item(static_cast<plist_t>(array.get()), child);
        }
        return static_cast<plist_t>(array.release());
    }
    case QMetaType::QVariantMap:
    case QMetaType::QVariantHash: {
        PlistPtr dict(plist_new_dict());
        const QVariantMap map = value.toMap();
        for (auto it = map.cbegin(); it != map.cend(); ++it) {
            plist_t child = fromVariant(it.value(), depth + 1, error);
            if (!child)
                return nullptr;
            plist_dict_set_item(static_cast<plist_t>(dict.get()), it.key().toUtf8().constData(), child);
        }
        return static_cast<plist_t>(dict.release());
    }
    default:
        *error = QStringLiteral("a value of type %1 cannot be stored").arg(QString::fromLatin1(value.typeName()));
        return nullptr;
    }
}

} // namespace

QVariant ZDPropertyList::fromData(const QByteArray &data, QString *error)
{
    QString localError;
    QString &err = error ? *error : localError;
    err.clear();
    if (data.isEmpty()) {
        err = QStringLiteral("empty");
        return {};
    }
    if (data.size() > kMaxInputBytes) {
        err = QStringLiteral("too large");
        return {};
    }
    plist_t root = nullptr;
    const uint32_t len = uint32_t(data.size());
    if (plist_is_binary(data.constData(), len)) {
        if (!binaryStructureIsSound(data, &err))
            return {};
        plist_from_bin(data.constData(), len, &root);
    } else {
        if (!xmlNestingWithinLimit(data, kMaxDepth)) {
            err = QStringLiteral("nested too deeply");
            return {};
        }
        plist_from_xml(data.constData(), len, &root);
    }
    PlistPtr holder(root);
    if (!root) {
        err = QStringLiteral("not a property list");
        return {};
    }
    QVariant v = toVariant(root, 0, &err);
    if (!err.isEmpty())
        return {};
    return v;
}

QByteArray ZDPropertyList::toData(const QVariant &value, Format format, QString *error)
{
    QString localError;
    QString &err = error ? *error : localError;
    err.clear();
    PlistPtr root(fromVariant(value, 0, &err));
    if (!root) {
        if (err.isEmpty())
            err = QStringLiteral("nothing to write");
        return {};
    }
    char *out = nullptr;
    uint32_t len = 0;
    if (format == Format::Binary)
        plist_to_bin(static_cast<plist_t>(root.get()), &out, &len);
    else
        plist_to_xml(static_cast<plist_t>(root.get()), &out, &len);
    std::unique_ptr<char, FreeDeleter> outHolder(out);
    if (!out || len == 0) {
        err = QStringLiteral("serialisation failed");
        return {};
    }
    return QByteArray(out, qsizetype(len));
}

QVariant ZDPropertyList::readFile(const QString &path)
{
    if (path.isEmpty())
        return {};
    QFile f(path);
    if (!f.exists())
        return {};
    if (!f.open(QIODevice::ReadOnly)) {
        ZDLog::fastAppendLog(QStringLiteral("Unable to read property list %@: %@"), path, f.errorString());
        return {};
    }
    if (f.size() > kMaxInputBytes) {
        ZDLog::fastAppendLog(QStringLiteral("Unable to read property list %@: %@"), path, QStringLiteral("too large"));
        return {};
    }
    const QByteArray data = ZDBoundedRead::upTo(f, kMaxInputBytes + 1);
    QString error;
    QVariant v = fromData(data, &error);
    if (!v.isValid())
        ZDLog::fastAppendLog(QStringLiteral("Unable to read property list %@: %@"), path, error);
    return v;
}

QVariantMap ZDPropertyList::readDictionary(const QString &path)
{
    const QVariant v = readFile(path);
    if (v.typeId() == QMetaType::QVariantMap)
        return v.toMap();
    if (v.isValid())
        ZDLog::fastAppendLog(QStringLiteral("Unable to read property list %@: %@"), path,
                             QStringLiteral("not a dictionary"));
    return {};
}

bool ZDPropertyList::writeFile(const QString &path, const QVariant &value, Format format)
{
    QString error;
    const QByteArray data = toData(value, format, &error);
    if (data.isEmpty()) {
        ZDLog::fastAppendLog(QStringLiteral("Unable to write property list %@: %@"), path, error);
        return false;
    }
    const QString folder = QFileInfo(path).absolutePath();
    if (!QDir().mkpath(folder)) {
        ZDLog::fastAppendLog(QStringLiteral("Unable to write property list %@: %@"), path,
                             QStringLiteral("cannot create its folder"));
        return false;
    }
    QSaveFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(data) != data.size() || !f.commit()) {
        ZDLog::fastAppendLog(QStringLiteral("Unable to write property list %@: %@"), path, f.errorString());
        return false;
    }
    return true;
}
