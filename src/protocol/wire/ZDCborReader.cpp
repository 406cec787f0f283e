#include "wire/ZDCborReader.h"

#include "wire/ZDWireRecords.h"

#include <QtEndian>

#include <algorithm>
#include <cstring>

ZDCborReader::ZDCborReader(const QByteArray &data, qint64 maxItems)
    : m_data(data.constData())
    , m_size(data.size())
    , m_maxItems(maxItems)
    , m_itemsLeft(maxItems)
{
    if (sharesRecords())
        ZDWireRecords::sweepIfDue();
}

bool ZDCborReader::readHead(Head *head, QString *error)
{
    if (m_pos >= m_size) {
        *error = QStringLiteral("unexpected end of data");
        return false;
    }
    if (m_itemsLeft <= 0) {
        *error = QStringLiteral("message passes the item limit of %1").arg(m_maxItems);
        return false;
    }
    --m_itemsLeft;
    m_headStart = m_pos;
    const quint8 initial = quint8(m_data[m_pos++]);
    head->major = initial >> 5;
    head->info = initial & 0x1f;
    if (head->info < 24) {
        head->value = head->info;
        return true;
    }
    if (head->info > 27) {
        *error = head->info == 31 ? QStringLiteral("indefinite lengths are not accepted")
                                  : QStringLiteral("reserved encoding");
        return false;
    }
    const int width = 1 << (head->info - 24);
    if (m_size - m_pos < width) {
        *error = QStringLiteral("unexpected end of data");
        return false;
    }
    const auto *p = reinterpret_cast<const uchar *>(m_data + m_pos);
    switch (width) {
    case 1: head->value = *p; break;
    case 2: head->value = qFromBigEndian<quint16>(p); break;
    case 4: head->value = qFromBigEndian<quint32>(p); break;
    default: head->value = qFromBigEndian<quint64>(p); break;
    }
    m_pos += width;
    return true;
}

bool ZDCborReader::readPayload(quint64 length, const char **payload, QString *error)
{
    if (length > quint64(m_size - m_pos)) {
        *error = QStringLiteral("length %1 passes the end of the data").arg(length);
        return false;
    }
    *payload = m_data + m_pos;
    m_pos += qsizetype(length);
    return true;
}

bool ZDCborReader::readText(quint64 length, QString *out, QString *error)
{
    const char *payload = nullptr;
    if (!readPayload(length, &payload, error))
        return false;
    if (!isValidUtf8(payload, qsizetype(length))) {
        *error = QStringLiteral("text is not valid UTF-8");
        return false;
    }
    // Small messages are read and dropped: sharing would only cost them time.
    constexpr quint64 kShareMaxTextBytes = 32;
    constexpr qsizetype kShareMaxTexts = 8192;
    // The text's whole encoding, head included, so that a key never stands for another value.
    const QByteArrayView encoded(m_data + m_headStart, payload + length);
    if (m_size < kShareFromMessageBytes || encoded.size() > ZDWireRecords::kMaxTextBytes) {
        *out = QString::fromUtf8(payload, qsizetype(length));
        return true;
    }
    // Short ones repeat within the message (keys, versions): looked up here first.
    const bool isShort = length <= kShareMaxTextBytes;
    if (isShort) {
        const auto it = m_shared.constFind(QByteArray::fromRawData(payload, qsizetype(length)));
        if (it != m_shared.constEnd()) {
            *out = *it;
            return true;
        }
    }
    // Names and paths repeat across messages (the same library on every computer).
    if (!ZDWireRecords::findText(encoded, out)) {
        *out = QString::fromUtf8(payload, qsizetype(length));
        ZDWireRecords::keepText(encoded, *out);
    }
    if (isShort && m_shared.size() < kShareMaxTexts)
        m_shared.insert(QByteArray(payload, qsizetype(length)), *out);
    return true;
}

qsizetype ZDCborReader::itemEnd(qsizetype from, int depthLeft, qsizetype limit, qint64 *items) const
{
    constexpr int kMaxNesting = 64;
    quint64 pending[kMaxNesting] = {1}; // items still to come at each level
    int level = 0;
    qsizetype pos = from;
    qint64 count = 0;
    const qsizetype end = std::min(m_size, from + limit);
    for (;;) {
        if (pending[level] == 0) {
            if (level == 0)
                break;
            --level;
            continue;
        }
        --pending[level];
        if (pos >= end)
            return -1;
        const quint8 initial = quint8(m_data[pos++]);
        const quint8 major = initial >> 5;
        const quint8 info = initial & 0x1f;
        quint64 value = info;
        if (info > 27)
            return -1;
        if (info >= 24) {
            const int width = 1 << (info - 24);
            if (end - pos < width)
                return -1;
            value = 0;
            for (int i = 0; i < width; ++i)
                value = (value << 8) | quint8(m_data[pos + i]);
            pos += width;
        }
        ++count;
        quint64 children = 0;
        switch (major) {
        case 2:
        case 3:
            if (value > quint64(end - pos))
                return -1;
            pos += qsizetype(value);
            break;
        case 4:
            children = value;
            break;
        case 5:
            children = value > quint64(limit) ? value : value * 2;
            break;
        case 6:
            children = 1;
            break;
        default:
            break;
        }
        if (children == 0)
            continue;
        // Every item takes a byte at least.
        if (children > quint64(end - pos) || level + 2 >= std::min(depthLeft, kMaxNesting))
            return -1;
        pending[++level] = children;
    }
    *items = count;
    return pos;
}

bool ZDCborReader::takeKnownRecord(qsizetype start, int depthLeft, QVariant *value)
{
    qint64 items = 0;
    const qsizetype end = itemEnd(start, depthLeft, ZDWireRecords::kMaxBytes, &items);
    if (end < 0 || end - start < ZDWireRecords::kMinBytes || items - 1 > m_itemsLeft)
        return false;
    if (!ZDWireRecords::find(QByteArrayView(m_data + start, end - start), value)) {
        constexpr qint64 kTrialMisses = 256;
        ++m_recordMisses;
        m_recordsOff = m_tableFull && m_recordMisses >= kTrialMisses && m_recordHits * 8 < m_recordMisses;
        return false;
    }
    ++m_recordHits;
    m_pos = end;
    m_itemsLeft -= items - 1;
    return true;
}

void ZDCborReader::keepRecord(qsizetype start, const QVariant &value)
{
    if (!m_recordsOff && !ZDWireRecords::keep(QByteArrayView(m_data + start, m_pos - start), value))
        m_tableFull = true;
}

bool ZDCborReader::isValidUtf8(const char *data, qsizetype size)
{
    const auto *s = reinterpret_cast<const uchar *>(data);
    const uchar *const end = s + size;
    while (s < end) {
        // Most text is ASCII: eight bytes at a time.
        while (end - s >= 8) {
            quint64 word;
            std::memcpy(&word, s, sizeof word);
            if (word & 0x8080808080808080ULL)
                break;
            s += 8;
        }
        if (s == end)
            break;
        const uchar c = *s;
        if (c < 0x80) {
            ++s;
            continue;
        }
        int extra = 0;
        uchar low = 0x80;
        uchar high = 0xbf;
        if (c >= 0xc2 && c <= 0xdf) {
            extra = 1;
        } else if (c == 0xe0) {
            extra = 2;
            low = 0xa0; // overlong below
        } else if ((c >= 0xe1 && c <= 0xec) || c == 0xee || c == 0xef) {
            extra = 2;
        } else if (c == 0xed) {
            extra = 2;
            high = 0x9f; // surrogates above
        } else if (c == 0xf0) {
            extra = 3;
            low = 0x90;
        } else if (c >= 0xf1 && c <= 0xf3) {
            extra = 3;
        } else if (c == 0xf4) {
            extra = 3;
            high = 0x8f; // past U+10FFFF above
        } else {
            return false;
        }
        if (end - s <= extra || s[1] < low || s[1] > high)
            return false;
        for (int i = 2; i <= extra; ++i)
            if ((s[i] & 0xc0) != 0x80)
                return false;
        s += extra + 1;
    }
    return true;
}
