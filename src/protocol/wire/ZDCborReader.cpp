#include "wire/ZDCborReader.h"

#include <QtEndian>

#include <cstring>

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
    constexpr qsizetype kShareFromMessageBytes = 16 * 1024;
    constexpr quint64 kShareMaxTextBytes = 32;
    constexpr qsizetype kShareMaxTexts = 8192;
    if (m_size < kShareFromMessageBytes || length > kShareMaxTextBytes) {
        *out = QString::fromUtf8(payload, qsizetype(length));
        return true;
    }
    const QByteArray bytes = QByteArray::fromRawData(payload, qsizetype(length));
    const auto it = m_shared.constFind(bytes);
    if (it != m_shared.constEnd()) {
        *out = *it;
        return true;
    }
    *out = QString::fromUtf8(payload, qsizetype(length));
    if (m_shared.size() < kShareMaxTexts)
        m_shared.insert(QByteArray(payload, qsizetype(length)), *out);
    return true;
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
