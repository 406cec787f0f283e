#include "platform/ZDBoundedRead.h"

#include <QIODevice>

#include <algorithm>

QByteArray ZDBoundedRead::upTo(QIODevice &device, qint64 maxBytes)
{
    constexpr qint64 kStep = 64 * 1024;
    QByteArray data;
    // A file says how much it holds; one more byte shows that it grew.
    qint64 want = device.isSequential() ? kStep : std::max<qint64>(device.size() - device.pos() + 1, 1);
    while (data.size() < maxBytes) {
        const qint64 room = std::min(maxBytes - qint64(data.size()), want);
        const qsizetype had = data.size();
        data.resize(had + qsizetype(room));
        const qint64 n = device.read(data.data() + had, room);
        data.resize(had + qsizetype(std::max<qint64>(n, 0)));
        if (n <= 0)
            break;
        want = kStep;
    }
    return data;
}
