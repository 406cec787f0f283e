#include "ZDCborReader.h"

#include <QtEndian>

bool ZDCborReader::readHead(Head *head, QString *error)
{
    if (m_pos >= m_size) {
        *error = QStringLiteral("unexpected end of data");
        return false;
    }
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
