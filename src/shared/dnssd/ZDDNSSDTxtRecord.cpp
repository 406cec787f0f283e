#include "dnssd/ZDDNSSDTxtRecord.h"

#include <QSet>

namespace {

bool textOf(const QVariant &value, QString *text)
{
    switch (value.typeId()) {
    case QMetaType::QString:
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Double:
    case QMetaType::Bool:
        *text = value.toString();
        return true;
    default:
        return false;
    }
}

bool validKey(QByteArrayView key)
{
    if (key.isEmpty())
        return false;
    for (const char c : key) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7f || c == '=')
            return false;
    }
    return true;
}

} // namespace

QByteArray ZDDNSSDTxtRecord::encode(const QVariantMap &dictionary)
{
    QByteArray out;
    for (auto it = dictionary.constBegin(); it != dictionary.constEnd(); ++it) {
        QString value;
        if (!textOf(it.value(), &value))
            continue;
        const QByteArray key = it.key().toUtf8();
        if (!validKey(key))
            continue;
        const QByteArray entry = key + '=' + value.toUtf8();
        if (entry.size() > kMaxEntryBytes)
            continue;
        out.append(static_cast<char>(entry.size()));
        out.append(entry);
    }
    if (out.isEmpty())
        out.append('\0');
    return out;
}

QByteArrayList ZDDNSSDTxtRecord::entries(const QByteArray &data)
{
    QByteArrayList out;
    qsizetype pos = 0;
    while (pos < data.size()) {
        const qsizetype length = static_cast<unsigned char>(data.at(pos));
        ++pos;
        if (length > data.size() - pos)
            break;
        out.append(data.mid(pos, length));
        pos += length;
    }
    return out;
}

QVariantMap ZDDNSSDTxtRecord::decode(const QByteArray &data)
{
    QVariantMap out;
    QSet<QByteArray> seen;
    for (const QByteArray &entry : entries(data)) {
        const qsizetype equals = entry.indexOf('=');
        const QByteArray key = equals < 0 ? entry : entry.left(equals);
        if (!validKey(key))
            continue;
        // Keys are compared without case, so a differently written repeat is still a repeat.
        const QByteArray folded = key.toLower();
        if (seen.contains(folded))
            continue;
        seen.insert(folded);
        out.insert(QString::fromUtf8(key), equals < 0 ? QStringLiteral("") : QString::fromUtf8(entry.mid(equals + 1)));
    }
    return out;
}
