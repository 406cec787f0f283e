#pragma once
// Reading a file or stream up to a bound without reserving the bound: QIODevice::read(max)
// allocates max bytes first, which for a bound of megabytes maps and unmaps memory on every
// small read.
#include <QByteArray>

class QIODevice;

namespace ZDBoundedRead {
// What the device holds from its position, up to maxBytes (maxBytes + 1 shows an overflow).
QByteArray upTo(QIODevice &device, qint64 maxBytes);
} // namespace ZDBoundedRead
