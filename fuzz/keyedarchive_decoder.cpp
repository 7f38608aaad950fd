// Keyed archives (binary and XML property lists) parsed by libplist and then decoded by us.
#include "keyedunarchiver.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char*>(data), qsizetype(size));
    const auto root = velto::KeyedUnarchiver::unarchive(bytes);
    if (root && root->attributedString) {
        qsizetype covered = 0;
        for (const velto::AttributeRun& run : root->attributedString->runs)
            covered += run.length;
        // One dictionary over the whole text, or a run table that covers it.
        if (!root->attributedString->runs.isEmpty() && covered != root->attributedString->text.size())
            __builtin_trap();
    }
    return 0;
}
