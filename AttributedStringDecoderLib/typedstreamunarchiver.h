#pragma once

#include "attributedstring.h"

#include <QByteArray>

#include <optional>

namespace velto {

// Decoder of the legacy object archive format (typedstream, little-endian "streamtyped"), in
// place of the platform's legacy unarchiver. It reads the whole object graph of the root object,
// enough to rebuild strings, numbers, data, arrays, dictionaries and attributed strings; objects
// of other classes are kept as their class name. Returns nothing for a malformed or truncated
// archive, as the platform's unarchiver returns nil. Reads only inside the data, recursion and
// work are bounded, so any input is safe.
class TypedStreamUnarchiver {
public:
    static std::optional<ArchiveRoot> unarchive(const QByteArray& data);
};

} // namespace velto
