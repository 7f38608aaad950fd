#include "decoderoutput.h"

namespace velto {

QJsonObject DecoderOutput::Metadata::toJson() const
{
    QJsonObject json{{QStringLiteral("hasAttributes"), hasAttributes}};
    if (attributes)
        json.insert(QStringLiteral("attributes"), *attributes);
    return json;
}

QJsonObject DecoderOutput::toJson() const
{
    QJsonObject json{{QStringLiteral("success"), success}};
    if (plainText)
        json.insert(QStringLiteral("plainText"), *plainText);
    if (metadata)
        json.insert(QStringLiteral("metadata"), metadata->toJson());
    if (error)
        json.insert(QStringLiteral("error"), *error);
    return json;
}

} // namespace velto
