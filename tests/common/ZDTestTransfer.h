#pragma once
// Values between a test and its helper processes travel as one base64 line of
// QDataStream bytes, so any QVariant crosses a pipe or a command line intact.
#include <QByteArray>
#include <QDataStream>
#include <QIODevice>
#include <QVariant>

#include <cstdio>

namespace zdtest {

inline QByteArray encode(const QVariant &v)
{
    QByteArray out;
    QDataStream s(&out, QIODevice::WriteOnly);
    s.setVersion(QDataStream::Qt_6_4);
    s << v;
    return out.toBase64();
}

inline QVariant decode(const QByteArray &b64)
{
    QDataStream s(QByteArray::fromBase64(b64));
    s.setVersion(QDataStream::Qt_6_4);
    QVariant v;
    s >> v;
    return v;
}

// One line to the test that started this helper, sent at once.
inline void say(const QByteArray &line)
{
    std::fwrite(line.constData(), 1, size_t(line.size()), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

} // namespace zdtest
