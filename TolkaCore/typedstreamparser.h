#pragma once

#include <QByteArray>
#include <QString>

namespace velto::TypedStreamParser {

// Reads the text of an archived attributed-string body (legacy typedstream) straight from its
// bytes, without decoding the archive. Never fails: a blob without any recognisable string
// gives its whole content decoded as UTF-8. Pure and thread-safe; runs for every live message.
QString parseAttributedBody(const QByteArray& data);

} // namespace velto::TypedStreamParser
