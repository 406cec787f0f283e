// Property lists come from files other programs wrote and from tools' output.
// Whatever the bytes, reading must end in a value or "none", and any value read
// must serialise again in both formats.
#include "ZDPropertyList.h"
#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray input = QByteArray::fromRawData(reinterpret_cast<const char *>(data), qsizetype(size));
    const QVariant value = ZDPropertyList::fromData(input);
    if (!value.isValid())
        return 0;
    for (auto format : {ZDPropertyList::Format::Xml, ZDPropertyList::Format::Binary}) {
        const QByteArray again = ZDPropertyList::toData(value, format);
        if (!again.isEmpty())
            (void)ZDPropertyList::fromData(again);
    }
    return 0;
}
