// Bytes from the network: the frame reader and the message and value decoders
// must refuse anything malformed with a reason, never crash, and whatever they
// accept must encode and decode again.
#include "wire/ZDWireFrame.h"
#include "wire/ZDWireMessage.h"
#include "wire/ZDWireValue.h"
#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    ZDWireLimits limits;
    limits.maxFrameBytes = 1024 * 1024;
    ZDWireFrame frames(limits.maxFrameBytes);
    // Split delivery: the reader must not care where the stream was cut.
    const size_t cut = size / 3;
    frames.append(reinterpret_cast<const char *>(data), qsizetype(cut));
    frames.append(reinterpret_cast<const char *>(data) + cut, qsizetype(size - cut));
    QByteArray body;
    QString error;
    while (frames.next(&body, &error) == ZDWireFrame::Status::Frame) {
        (void)ZDWireMessage::fromBody(body, nullptr, limits, &error);
        bool ok = false;
        const QVariant value = ZDWireValue::decode(body, &error, nullptr, limits.maxDepth, &ok);
        if (!ok)
            continue;
        const QByteArray again = ZDWireValue::encode(value, &error);
        ZDWireValue::decode(again, &error, nullptr, limits.maxDepth, &ok);
        if (!ok)
            std::abort();
    }
    // The whole input as one body too, so the value decoder sees every byte. Read
    // twice: the second read meets the first one's records again, and must come to
    // the same value.
    const QByteArray whole = QByteArray::fromRawData(reinterpret_cast<const char *>(data), qsizetype(size));
    bool first = false;
    bool second = false;
    const QVariant a = ZDWireValue::decode(whole, &error, nullptr, limits.maxDepth, &first);
    const QVariant b = ZDWireValue::decode(whole, &error, nullptr, limits.maxDepth, &second);
    if (first != second || (first && ZDWireValue::encode(a, &error) != ZDWireValue::encode(b, &error)))
        std::abort();
    return 0;
}
