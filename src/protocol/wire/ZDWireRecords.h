#pragma once
// Records met in recent large messages, by their encoded bytes, for the whole
// process. A fleet's answers repeat the same records (the library lists of cloned
// computers): a record met again comes back as the value decoded the first time,
// shared, and is not decoded anew. Only values that decode the same on every link
// are kept (no object references). Bounded; an entry goes once nothing but the table
// holds its value. Texts likewise, in a table of their own: records that differ
// (a library at another version on every computer) still share their names and
// paths.
#include <QByteArrayView>
#include <QString>
#include <QVariant>

class ZDWireRecords
{
public:
    ZDWireRecords() = delete;

    static constexpr qsizetype kMinBytes = 16;
    static constexpr qsizetype kMaxBytes = 2048;
    static constexpr qsizetype kMaxEntries = 16384;

    static bool find(QByteArrayView bytes, QVariant *value);
    // False when the table is full of records still in use.
    static bool keep(QByteArrayView bytes, const QVariant &value);
    // By a text's encoded bytes (its head included).
    static constexpr qsizetype kMaxTextBytes = 256;
    static bool findText(QByteArrayView bytes, QString *text);
    static void keepText(QByteArrayView bytes, const QString &text);
    // Drops what only the tables still hold, at most every few seconds.
    static void sweepIfDue();
    static qsizetype size();
    static qsizetype textCount();
};
