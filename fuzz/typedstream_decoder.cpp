// The legacy archive decoder reads bodies straight from the database; any bytes must be safe.
#include "typedstreamunarchiver.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char*>(data), qsizetype(size));
    const auto root = velto::TypedStreamUnarchiver::unarchive(bytes);
    if (root && root->attributedString) {
        // Runs must cover the text exactly, or attribute lookups would be wrong.
        qsizetype covered = 0;
        for (const velto::AttributeRun& run : root->attributedString->runs)
            covered += run.length;
        if (covered != root->attributedString->text.size())
            __builtin_trap();
        (void)root->attributedString->attributesAt(0);
    }
    return 0;
}
