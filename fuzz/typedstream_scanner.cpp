// The body text scanner runs on every stored message body; any bytes must be safe.
#include "typedstreamparser.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char*>(data), qsizetype(size));
    const QString text = velto::TypedStreamParser::parseAttributedBody(bytes);
    // Text comes from the input: never more UTF-16 units than bytes.
    if (text.size() > qsizetype(size))
        __builtin_trap();
    return 0;
}
