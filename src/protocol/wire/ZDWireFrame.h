#pragma once
// Framing: a 4-byte big-endian length, then that many bytes of one message.
// The length is checked against the limit before any of the body is kept.
#include <QByteArray>
#include <QString>

class ZDWireFrame
{
public:
    static constexpr int kHeaderBytes = 4;
    enum class Status { NeedMore, Frame, Error };

    explicit ZDWireFrame(qint64 maxFrameBytes);

    // Prefixes a body with its length.
    static QByteArray wrap(const QByteArray &body);

    void append(const char *data, qsizetype size);
    // The next complete body in *frame, NeedMore, or Error with a reason (the
    // stream cannot be trusted after that).
    Status next(QByteArray *frame, QString *error);
    qsizetype buffered() const { return m_buffer.size() - m_pos; }

private:
    QByteArray m_buffer;
    qsizetype m_pos = 0;
    qint64 m_max;
};
