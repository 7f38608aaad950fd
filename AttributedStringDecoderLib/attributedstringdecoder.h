#pragma once

#include "attributedstring.h"
#include "decodererror.h"
#include "decoderoutput.h"

#include <result.h>

#include <QByteArray>
#include <QString>

#include <optional>

namespace velto {

// Decodes an archived attributed-string body given in standard Base64: a legacy typedstream
// archive (first byte 4) or a keyed archive. Pure; safe on any thread and on any input.
Result<DecoderOutput, DecoderError> decodeAttributedBody(const QString& base64Input);

// The same for raw bytes: encodes them as Base64 and decodes that.
Result<DecoderOutput, DecoderError> decodeAttributedBody(const QByteArray& data);

// The body's whole attributed string (characters and attribute runs) from raw bytes.
Result<AttributedString, DecoderError> decodeAttributedString(const QByteArray& body);

// The first string value stored under `key` in the body's attribute runs, in text order;
// nothing when the body does not decode or no run has such a string. An audio message keeps its
// transcription this way ("IMAudioTranscription").
std::optional<QString> stringAttribute(const QByteArray& body, const QString& key);

} // namespace velto
