#include "decodererror.h"

namespace velto {

QString DecoderError::description() const
{
    switch (m_kind) {
    case Kind::decodingFailed:
        return QStringLiteral("Decoding failed: ") + m_text;
    case Kind::emptyInput:
        return QStringLiteral("The input is empty");
    case Kind::invalidBase64:
        return QStringLiteral("The input is not valid Base64");
    case Kind::notAttributedString:
        return QStringLiteral("The archived object is not an attributed string");
    }
    return {};
}

} // namespace velto
