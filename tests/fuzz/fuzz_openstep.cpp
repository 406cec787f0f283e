// Old-style path dictionaries come from the network and the command line.
// Whatever the bytes, reading ends in a value or "none" with a reason, and a value
// read writes back to text that reads as the same value.
#include "plist/ZDPropertyList.h"
#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray input = QByteArray::fromRawData(reinterpret_cast<const char *>(data), qsizetype(size));
    QString error;
    const QVariant value = ZDPropertyList::fromOpenStep(input, &error);
    if (value.isValid() != error.isEmpty())
        std::abort();
    if (!value.isValid())
        return 0;
    const QByteArray again = ZDPropertyList::toOpenStep(value);
    if (again.isEmpty() || ZDPropertyList::fromOpenStep(again) != value)
        std::abort(); // the writer and the reader disagree
    return 0;
}
