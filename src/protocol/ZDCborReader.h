#pragma once
// A bounds-checked CBOR reader over bytes already in memory. Every length is
// checked against what is left before anything is read or allocated; indefinite
// lengths and reserved encodings are refused.
#include <QByteArray>
#include <QString>

class ZDCborReader
{
public:
    struct Head
    {
        quint8 major = 0;
        quint8 info = 0;
        // The argument: a number, a length, a tag, or a float's bits.
        quint64 value = 0;
    };

    explicit ZDCborReader(const QByteArray &data)
        : m_data(data.constData())
        , m_size(data.size())
    {
    }

    bool readHead(Head *head, QString *error);
    // Points at the next length bytes and steps over them.
    bool readPayload(quint64 length, const char **payload, QString *error);
    qsizetype remaining() const { return m_size - m_pos; }
    qsizetype offset() const { return m_pos; }
    // The next item's major type without consuming it, or -1 at the end.
    int peekMajor() const { return m_pos < m_size ? quint8(m_data[m_pos]) >> 5 : -1; }

private:
    const char *m_data;
    qsizetype m_size;
    qsizetype m_pos = 0;
};
