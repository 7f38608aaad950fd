#pragma once

#include "result.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>

namespace velto::relayserver {

class MultipartError {
public:
    enum class Code {
        notMultipart,
        badBoundary,
        missingOpeningBoundary,
        malformedPart,
        headersTooLarge,
        missingContentDisposition,
        tooManyParts,
        missingClosingBoundary,
    };
    MultipartError(Code code) : m_code(code) {}
    Code code() const { return m_code; }
    QString description() const;

private:
    Code m_code;
};

// One part of a multipart/form-data body.
struct MultipartPart {
    QString name;                    // the form field name
    std::optional<QString> fileName; // present when the part is a file
    QByteArray contentType;          // as sent; empty when the part has none
    QByteArray data;
};

struct MultipartLimits {
    int maxParts = 16;
    int maxHeaderBytes = 8192; // per part
};

// Parses a multipart/form-data body (RFC 7578). The body is untrusted: every length is bounded,
// and anything that does not follow the format is refused rather than guessed at.
class MultipartParser {
public:
    static Result<QList<MultipartPart>, MultipartError> parse(const QByteArray& contentType, const QByteArray& body,
                                                              MultipartLimits limits = {});

    // The boundary parameter of a multipart/form-data content type; empty when there is none
    // or it is not a valid boundary.
    static QByteArray boundaryOf(const QByteArray& contentType);

    // Splits a header value such as `form-data; name="file"; filename="a.png"` into its
    // parameters (names lower-cased, quoted strings unescaped). nullopt when malformed.
    struct HeaderValue {
        QByteArray value;
        QList<std::pair<QByteArray, QByteArray>> parameters;
        std::optional<QByteArray> parameter(const QByteArray& name) const;
    };
    static std::optional<HeaderValue> parseHeaderValue(const QByteArray& text);
};

} // namespace velto::relayserver
