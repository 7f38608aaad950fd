#pragma once

#include <QString>

namespace velto {

// Why decodeAttributedBody produced no output.
class DecoderError {
public:
    enum class Kind { decodingFailed, emptyInput, invalidBase64, notAttributedString };

    static DecoderError decodingFailed(const QString& text) { return DecoderError(Kind::decodingFailed, text); }
    static DecoderError emptyInput() { return DecoderError(Kind::emptyInput); }
    static DecoderError invalidBase64() { return DecoderError(Kind::invalidBase64); }
    static DecoderError notAttributedString() { return DecoderError(Kind::notAttributedString); }

    Kind kind() const { return m_kind; }
    // The archiver's explanation carried by decodingFailed; empty for the other cases.
    const QString& text() const { return m_text; }
    QString description() const;

    bool operator==(const DecoderError& other) const = default;

private:
    explicit DecoderError(Kind kind, QString text = {}) : m_kind(kind), m_text(std::move(text)) {}

    Kind m_kind;
    QString m_text;
};

} // namespace velto
