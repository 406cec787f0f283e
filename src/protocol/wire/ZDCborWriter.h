#pragma once
// A minimal CBOR writer straight into a byte array: definite lengths only, the
// shortest head for every number. Much cheaper per item than a stream writer on
// a device, which matters for small messages sent at high rates.
#include <QByteArray>
#include <QString>

class ZDCborWriter
{
public:
    explicit ZDCborWriter(QByteArray *out)
        : m_out(out)
    {
    }

    void head(quint8 major, quint64 value);
    void null() { m_out->append(char(0xf6)); }
    void boolean(bool value) { m_out->append(char(value ? 0xf5 : 0xf4)); }
    void integer(qint64 value) { value >= 0 ? head(0, quint64(value)) : head(1, quint64(-1 - value)); }
    void unsignedInteger(quint64 value) { head(0, value); }
    void real(double value);
    void text(const QString &value);
    void latin1(const char *value);
    void bytes(const QByteArray &value);
    void startArray(quint64 count) { head(4, count); }
    void startMap(quint64 count) { head(5, count); }
    void tag(quint64 tag) { head(6, tag); }

private:
    QByteArray *m_out;
};
