#pragma once

#include "attributedstring.h"

#include <result.h>

#include <QByteArray>
#include <QString>

namespace velto {

// Decoder of keyed archives (binary or XML property lists with $archiver, $objects and $top),
// in place of the platform's keyed unarchiver restricted to the classes an attributed body may
// hold: attributed strings, strings, dictionaries, arrays and numbers. Any other class, a
// malformed archive or a cycle fails with a readable explanation.
class KeyedUnarchiver {
public:
    static Result<ArchiveRoot, QString> unarchive(const QByteArray& data);
};

} // namespace velto
