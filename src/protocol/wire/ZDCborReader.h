#pragma once
// A bounds-checked CBOR reader over bytes already in memory. Every length is
// checked against what is left before anything is read or allocated; indefinite
// lengths and reserved encodings are refused. Every head read counts against
// an item budget, so many tiny items cannot cost more memory than a few large ones.
#include <QByteArray>
#include <QHash>
#include <QString>

#include <limits>

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

    explicit ZDCborReader(const QByteArray &data, qint64 maxItems = std::numeric_limits<qint64>::max())
        : m_data(data.constData())
        , m_size(data.size())
        , m_maxItems(maxItems)
        , m_itemsLeft(maxItems)
    {
    }

    bool readHead(Head *head, QString *error);
    // Text payload that must be valid UTF-8 (no overlong forms, no surrogates). In a
    // large message, short texts that repeat (the keys of a thousand records, their
    // versions) share one string: a fleet's system profiles are kept for a while.
    bool readText(quint64 length, QString *out, QString *error);
    static bool isValidUtf8(const char *data, qsizetype size);
    qint64 itemsLeft() const { return m_itemsLeft; }
    qint64 itemsRead() const { return m_maxItems - m_itemsLeft; }
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
    qint64 m_maxItems;
    qint64 m_itemsLeft;
    QHash<QByteArray, QString> m_shared;
};
