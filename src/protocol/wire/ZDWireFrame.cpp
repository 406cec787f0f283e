#include "wire/ZDWireFrame.h"

#include <QtEndian>

ZDWireFrame::ZDWireFrame(qint64 maxFrameBytes)
    : m_max(maxFrameBytes)
{
}

QByteArray ZDWireFrame::wrap(const QByteArray &body)
{
    QByteArray out(kHeaderBytes, Qt::Uninitialized);
    qToBigEndian(quint32(body.size()), out.data());
    out += body;
    return out;
}

void ZDWireFrame::append(const char *data, qsizetype size)
{
    // Drop consumed bytes before growing, so the buffer stays near one frame.
    if (m_pos > 0 && (m_pos == m_buffer.size() || m_pos > 64 * 1024)) {
        m_buffer.remove(0, m_pos);
        m_pos = 0;
    }
    m_buffer.append(data, size);
}

ZDWireFrame::Status ZDWireFrame::next(QByteArray *frame, QString *error)
{
    const qsizetype available = m_buffer.size() - m_pos;
    if (available < kHeaderBytes)
        return Status::NeedMore;
    const quint32 length = qFromBigEndian<quint32>(m_buffer.constData() + m_pos);
    if (length == 0 || qint64(length) > m_max) {
        if (error)
            *error = QStringLiteral("frame of %1 bytes refused (limit %2)").arg(length).arg(m_max);
        return Status::Error;
    }
    if (available - kHeaderBytes < qsizetype(length))
        return Status::NeedMore;
    *frame = m_buffer.mid(m_pos + kHeaderBytes, length);
    m_pos += kHeaderBytes + length;
    return Status::Frame;
}
