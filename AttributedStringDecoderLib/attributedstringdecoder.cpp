#include "attributedstringdecoder.h"

#include "keyedunarchiver.h"
#include "typedstreamunarchiver.h"

namespace velto {

namespace {

constexpr char kLegacyArchiveVersion = 4;

Result<AttributedString, DecoderError> unarchive(const QByteArray& bytes)
{
    ArchiveRoot root;
    if (!bytes.isEmpty() && bytes.front() == kLegacyArchiveVersion) {
        auto legacy = TypedStreamUnarchiver::unarchive(bytes);
        if (!legacy)
            return fail(DecoderError::decodingFailed(QStringLiteral("NSUnarchiver returned nil")));
        root = std::move(*legacy);
    } else {
        auto keyed = KeyedUnarchiver::unarchive(bytes);
        if (!keyed)
            return fail(DecoderError::decodingFailed(keyed.error()));
        root = std::move(keyed.value());
    }
    if (!root.attributedString)
        return fail(DecoderError::notAttributedString());
    return std::move(*root.attributedString);
}

} // namespace

Result<DecoderOutput, DecoderError> decodeAttributedBody(const QString& base64Input)
{
    if (base64Input.isEmpty())
        return fail(DecoderError::emptyInput());
    // Strictly the standard alphabet with padding: no white space, no URL-safe characters.
    const QByteArray latin1 = base64Input.toLatin1();
    if (latin1.size() % 4 != 0 || QString::fromLatin1(latin1) != base64Input)
        return fail(DecoderError::invalidBase64());
    auto decoded = QByteArray::fromBase64Encoding(latin1, QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded)
        return fail(DecoderError::invalidBase64());

    const auto string = unarchive(*decoded);
    if (!string)
        return fail(string.error());
    DecoderOutput output;
    output.success = true;
    output.plainText = string->text;
    output.metadata = DecoderOutput::Metadata{!string->text.isEmpty() && !string->attributesAt(0).isEmpty(), std::nullopt};
    return output;
}

Result<DecoderOutput, DecoderError> decodeAttributedBody(const QByteArray& data)
{
    return decodeAttributedBody(QString::fromLatin1(data.toBase64()));
}

Result<AttributedString, DecoderError> decodeAttributedString(const QByteArray& body)
{
    if (body.isEmpty())
        return fail(DecoderError::emptyInput());
    return unarchive(body);
}

std::optional<QString> stringAttribute(const QByteArray& body, const QString& key)
{
    const auto string = decodeAttributedString(body);
    if (!string)
        return std::nullopt;
    for (const AttributeRun& run : string->runs) {
        const auto found = run.attributes.constFind(key);
        if (found != run.attributes.cend() && found->typeId() == QMetaType::QString)
            return found->toString();
    }
    return std::nullopt;
}

} // namespace velto
