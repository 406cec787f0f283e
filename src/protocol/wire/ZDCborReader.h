#pragma once
// A bounds-checked CBOR reader over bytes already in memory. Every length is
// checked against what is left before anything is read or allocated; indefinite
// lengths and reserved encodings are refused. Every head read counts against
// an item budget, so many tiny items cannot cost more memory than a few large ones.
#include <QByteArray>
#include <QHash>
#include <QString>
#include <QVariant>

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

    explicit ZDCborReader(const QByteArray &data, qint64 maxItems = std::numeric_limits<qint64>::max());

    bool readHead(Head *head, QString *error);
    // Text payload that must be valid UTF-8 (no overlong forms, no surrogates), right
    // after its head. In a large message, texts that repeat (the keys of a thousand
    // records, their versions, the same paths on every computer) share one string:
    // a fleet's system profiles are kept for a while.
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

    // Records (arrays and maps) in a large message are looked up among those met
    // before (ZDWireRecords). The record's head at start was read already; on a hit
    // the reader is past the record, which counts against the item budget as read.
    bool sharesRecords() const { return m_size >= kShareFromMessageBytes && !m_recordsOff; }
    bool takeKnownRecord(qsizetype start, int depthLeft, QVariant *value);
    void keepRecord(qsizetype start, const QVariant &value);
    // An object reference makes a value this link's own: not kept.
    void noteReference() { ++m_references; }
    quint64 references() const { return m_references; }

private:
    static constexpr qsizetype kShareFromMessageBytes = 16 * 1024;
    // Where the item at from ends (and its items), or -1 when it is malformed, nests
    // deeper than depthLeft or runs past limit bytes.
    qsizetype itemEnd(qsizetype from, int depthLeft, qsizetype limit, qint64 *items) const;

    const char *m_data;
    qsizetype m_size;
    qsizetype m_pos = 0;
    qsizetype m_headStart = 0; // of the last head read
    qint64 m_maxItems;
    qint64 m_itemsLeft;
    QHash<QByteArray, QString> m_shared;
    quint64 m_references = 0;
    // A message unlike anything the full table holds stops looking there.
    qint64 m_recordHits = 0;
    qint64 m_recordMisses = 0;
    bool m_tableFull = false;
    bool m_recordsOff = false;
};
