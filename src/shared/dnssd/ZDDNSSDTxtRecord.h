#pragma once
// DNS-SD TXT record data: a sequence of strings, each one length byte followed
// by that many bytes of "key=value".
#include <QByteArray>
#include <QByteArrayList>
#include <QVariantMap>

class ZDDNSSDTxtRecord
{
public:
    ZDDNSSDTxtRecord() = delete;

    static constexpr int kMaxEntryBytes = 255;

    // One entry per key whose value is text (QString, or a number or bool in its
    // text form), in key order, UTF-8 "key=value". Other values, empty keys, keys
    // holding "=" and entries longer than 255 bytes are left out: a cut value would
    // be a different, possibly invalid, value. No entry at all gives the single byte 0.
    static QByteArray encode(const QVariantMap &dictionary);

    // Reads any bytes. A length running past the end ends the record; empty
    // strings, empty keys, keys with control bytes and repeated keys (compared
    // without case; the first wins) are ignored. "key" alone maps to "". Values
    // are UTF-8 with invalid sequences replaced.
    static QVariantMap decode(const QByteArray &data);

    // The strings of the record without their length bytes, same rules for the end.
    static QByteArrayList entries(const QByteArray &data);
};
