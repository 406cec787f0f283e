// Property lists come from files other programs wrote and from tools' output.
// Whatever the bytes, reading must end in a value or "none" with a reason, and any value read
// must serialise again in both formats.
#include "plist/ZDPropertyList.h"
#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray input = QByteArray::fromRawData(reinterpret_cast<const char *>(data), qsizetype(size));
    QString error;
    const QVariant value = ZDPropertyList::fromData(input, &error);
    if (!value.isValid() && error.isEmpty())
        std::abort(); // refused without a reason
    if (!value.isValid())
        return 0;
    for (auto format : {ZDPropertyList::Format::Xml, ZDPropertyList::Format::Binary}) {
        const QByteArray again = ZDPropertyList::toData(value, format);
        if (!again.isEmpty())
            (void)ZDPropertyList::fromData(again);
    }
    return 0;
}
