#include "wire/ZDCborWriter.h"

#include <QtEndian>

#include <cstring>

void ZDCborWriter::head(quint8 major, quint64 value)
{
    char buffer[9];
    const char type = char(major << 5);
    if (value < 24) {
        m_out->append(char(type | char(value)));
    } else if (value <= 0xff) {
        buffer[0] = char(type | 24);
        buffer[1] = char(value);
        m_out->append(buffer, 2);
    } else if (value <= 0xffff) {
        buffer[0] = char(type | 25);
        qToBigEndian(quint16(value), buffer + 1);
        m_out->append(buffer, 3);
    } else if (value <= 0xffffffffULL) {
        buffer[0] = char(type | 26);
        qToBigEndian(quint32(value), buffer + 1);
        m_out->append(buffer, 5);
    } else {
        buffer[0] = char(type | 27);
        qToBigEndian(value, buffer + 1);
        m_out->append(buffer, 9);
    }
}

void ZDCborWriter::real(double value)
{
    quint64 bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    char buffer[9];
    buffer[0] = char(0xfb);
    qToBigEndian(bits, buffer + 1);
    m_out->append(buffer, 9);
}

void ZDCborWriter::text(const QString &value)
{
    // Most keys and values are ASCII: copy them without a temporary array.
    const qsizetype length = value.size();
    const QChar *chars = value.constData();
    qsizetype i = 0;
    while (i < length && chars[i].unicode() < 0x80)
        ++i;
    if (i == length) {
        head(3, quint64(length));
        const qsizetype at = m_out->size();
        m_out->resize(at + length);
        char *out = m_out->data() + at;
        for (qsizetype k = 0; k < length; ++k)
            out[k] = char(chars[k].unicode());
        return;
    }
    const QByteArray utf8 = value.toUtf8();
    head(3, quint64(utf8.size()));
    m_out->append(utf8);
}

void ZDCborWriter::latin1(const char *value)
{
    const size_t length = std::strlen(value);
    head(3, length);
    m_out->append(value, qsizetype(length));
}

void ZDCborWriter::bytes(const QByteArray &value)
{
    head(2, quint64(value.size()));
    m_out->append(value);
}
