#pragma once
// Values by copy as CBOR: null, bool, integer, double, text, bytes, date (tag 1),
// array, map (text keys), ZDRemoteError; object references go through a mapper.
// Decoding treats its input as hostile: depth and item count are bounded, text
// must be valid UTF-8, every item is checked, and anything unexpected is an
// error with a reason, never a crash.
#include <QByteArray>
#include <QMetaType>
#include <QString>
#include <QVariant>

class ZDCborReader;
class ZDCborWriter;

struct ZDWireLimits
{
    qint64 maxFrameBytes = 16 * 1024 * 1024;
    int maxDepth = 64;
    // Items (every value, key and tag) in one message: the largest real replies (an
    // inventory, a log listing) hold tens of thousands; a frame full of one-byte
    // items would otherwise decode to half a gigabyte.
    qint64 maxItems = 256 * 1024;
};

// A reference as it appears on the wire, relative to the side that sent it.
struct ZDWireReference
{
    bool ownedBySender = true;
    quint64 id = 0;
    friend bool operator==(const ZDWireReference &a, const ZDWireReference &b)
    {
        return a.ownedBySender == b.ownedBySender && a.id == b.id;
    }
};
Q_DECLARE_METATYPE(ZDWireReference)

// Turns objects into references and back; a connection implements it.
class ZDWireObjectMapper
{
public:
    virtual ~ZDWireObjectMapper() = default;
    // False with a reason when the value is an object that cannot travel here.
    // Not called for plain values.
    virtual bool encodeObject(const QVariant &value, ZDWireReference *ref, QString *error) = 0;
    virtual QVariant decodeObject(const ZDWireReference &ref, QString *error) = 0;
};

class ZDWireValue
{
public:
    ZDWireValue() = delete;

    static bool write(ZDCborWriter &writer, const QVariant &value, ZDWireObjectMapper *mapper, int depthLeft,
                      QString *error);
    // Reads exactly one item at the reader's position.
    static bool read(ZDCborReader &reader, QVariant *value, ZDWireObjectMapper *mapper, int depthLeft,
                     QString *error);

    // Without a mapper, references encode and decode as ZDWireReference.
    static QByteArray encode(const QVariant &value, QString *error = nullptr, ZDWireObjectMapper *mapper = nullptr,
                             int maxDepth = ZDWireLimits().maxDepth);
    // The whole input must be one item; invalid QVariant and a reason otherwise.
    static QVariant decode(const QByteArray &data, QString *error = nullptr, ZDWireObjectMapper *mapper = nullptr,
                           int maxDepth = ZDWireLimits().maxDepth, bool *ok = nullptr,
                           qint64 maxItems = ZDWireLimits().maxItems);
};
