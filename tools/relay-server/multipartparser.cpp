#include "multipartparser.h"

namespace velto::relayserver {

QString MultipartError::description() const
{
    switch (m_code) {
    case Code::notMultipart:
        return QStringLiteral("Expected multipart/form-data");
    case Code::badBoundary:
        return QStringLiteral("Missing or invalid multipart boundary");
    case Code::missingOpeningBoundary:
        return QStringLiteral("Multipart body does not start with its boundary");
    case Code::malformedPart:
        return QStringLiteral("Malformed multipart part");
    case Code::headersTooLarge:
        return QStringLiteral("Multipart part headers too large");
    case Code::missingContentDisposition:
        return QStringLiteral("Multipart part without form-data Content-Disposition");
    case Code::tooManyParts:
        return QStringLiteral("Too many multipart parts");
    case Code::missingClosingBoundary:
        return QStringLiteral("Multipart body is truncated (no closing boundary)");
    }
    return {};
}

namespace {

constexpr QByteArrayView crlf("\r\n");

bool isTokenChar(char c)
{
    // RFC 7230 tchar
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))
        return true;
    return QByteArrayView("!#$%&'*+-.^_`|~").contains(c);
}

bool isBoundaryChar(char c)
{
    // RFC 2046 bchars
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))
        return true;
    return QByteArrayView("'()+_,-./:=? ").contains(c);
}

bool isValidBoundary(const QByteArray& boundary)
{
    if (boundary.isEmpty() || boundary.size() > 70 || boundary.endsWith(' '))
        return false;
    return std::all_of(boundary.cbegin(), boundary.cend(), isBoundaryChar);
}

void skipBlanks(const QByteArray& text, qsizetype& i)
{
    while (i < text.size() && (text.at(i) == ' ' || text.at(i) == '\t'))
        ++i;
}

} // namespace

std::optional<QByteArray> MultipartParser::HeaderValue::parameter(const QByteArray& name) const
{
    for (const auto& [key, value] : parameters) {
        if (key == name)
            return value;
    }
    return std::nullopt;
}

std::optional<MultipartParser::HeaderValue> MultipartParser::parseHeaderValue(const QByteArray& text)
{
    HeaderValue result;
    qsizetype i = 0;
    skipBlanks(text, i);
    const qsizetype valueStart = i;
    while (i < text.size() && text.at(i) != ';')
        ++i;
    result.value = text.mid(valueStart, i - valueStart).trimmed().toLower();
    while (i < text.size()) {
        ++i; // the ';'
        skipBlanks(text, i);
        if (i >= text.size())
            break; // a trailing ';' is harmless
        const qsizetype nameStart = i;
        while (i < text.size() && isTokenChar(text.at(i)))
            ++i;
        QByteArray name = text.mid(nameStart, i - nameStart).toLower();
        skipBlanks(text, i);
        if (name.isEmpty() || i >= text.size() || text.at(i) != '=')
            return std::nullopt;
        ++i;
        skipBlanks(text, i);
        QByteArray value;
        if (i < text.size() && text.at(i) == '"') {
            ++i;
            bool closed = false;
            while (i < text.size()) {
                const char c = text.at(i++);
                if (c == '"') {
                    closed = true;
                    break;
                }
                if (c == '\\') {
                    if (i >= text.size())
                        return std::nullopt;
                    value.append(text.at(i++));
                } else {
                    value.append(c);
                }
            }
            if (!closed)
                return std::nullopt;
        } else {
            const qsizetype start = i;
            while (i < text.size() && isTokenChar(text.at(i)))
                ++i;
            value = text.mid(start, i - start);
            if (value.isEmpty())
                return std::nullopt;
        }
        skipBlanks(text, i);
        if (i < text.size() && text.at(i) != ';')
            return std::nullopt;
        result.parameters.append({std::move(name), std::move(value)});
    }
    return result;
}

QByteArray MultipartParser::boundaryOf(const QByteArray& contentType)
{
    const auto header = parseHeaderValue(contentType);
    if (!header || header->value != "multipart/form-data")
        return {};
    const QByteArray boundary = header->parameter("boundary").value_or(QByteArray());
    return isValidBoundary(boundary) ? boundary : QByteArray();
}

Result<QList<MultipartPart>, MultipartError> MultipartParser::parse(const QByteArray& contentType,
                                                                     const QByteArray& body, MultipartLimits limits)
{
    using Code = MultipartError::Code;
    const auto header = parseHeaderValue(contentType);
    if (!header || header->value != "multipart/form-data")
        return fail(MultipartError(Code::notMultipart));
    const QByteArray boundary = boundaryOf(contentType);
    if (boundary.isEmpty())
        return fail(MultipartError(Code::badBoundary));

    const QByteArray delimiter = "--" + boundary;
    const QByteArray innerDelimiter = "\r\n" + delimiter;

    // A preamble before the first delimiter is allowed and ignored.
    qsizetype pos = 0;
    if (!body.startsWith(delimiter)) {
        pos = body.indexOf(innerDelimiter);
        if (pos < 0)
            return fail(MultipartError(Code::missingOpeningBoundary));
        pos += crlf.size();
    }

    QList<MultipartPart> parts;
    for (;;) {
        // pos is at a delimiter.
        qsizetype p = pos + delimiter.size();
        if (body.mid(p, 2) == "--")
            return parts; // the closing delimiter; an epilogue is ignored
        skipBlanks(body, p); // transport padding
        if (body.mid(p, 2) != crlf)
            return fail(MultipartError(body.size() - p < 2 ? Code::missingClosingBoundary : Code::malformedPart));
        p += 2;

        if (parts.size() >= limits.maxParts)
            return fail(MultipartError(Code::tooManyParts));

        // Header block, ending with an empty line. Every part of a form carries at least its
        // Content-Disposition, so an empty block is refused below.
        const qsizetype end = body.indexOf("\r\n\r\n", p - 2);
        if (end < 0)
            return fail(MultipartError(body.size() - p > limits.maxHeaderBytes ? Code::headersTooLarge
                                                                                : Code::missingClosingBoundary));
        if (end - p > limits.maxHeaderBytes)
            return fail(MultipartError(Code::headersTooLarge));
        const QByteArray headerBlock = end < p ? QByteArray() : body.mid(p, end - p);
        const qsizetype contentStart = end + 4;

        MultipartPart part;
        bool sawDisposition = false;
        qsizetype lineStart = 0;
        while (lineStart < headerBlock.size()) {
            qsizetype lineEnd = headerBlock.indexOf(crlf, lineStart);
            if (lineEnd < 0)
                lineEnd = headerBlock.size();
            const QByteArray line = headerBlock.mid(lineStart, lineEnd - lineStart);
            lineStart = lineEnd + crlf.size();
            if (line.isEmpty() || line.contains('\r') || line.contains('\n') || line.front() == ' '
                || line.front() == '\t')
                return fail(MultipartError(Code::malformedPart)); // bare CR/LF or a folded line
            const qsizetype colon = line.indexOf(':');
            if (colon <= 0 || !std::all_of(line.cbegin(), line.cbegin() + colon, isTokenChar))
                return fail(MultipartError(Code::malformedPart));
            const QByteArray name = line.left(colon).toLower();
            const QByteArray value = line.mid(colon + 1).trimmed();
            if (name == "content-disposition") {
                if (sawDisposition)
                    return fail(MultipartError(Code::malformedPart));
                const auto disposition = parseHeaderValue(value);
                if (!disposition || disposition->value != "form-data")
                    return fail(MultipartError(Code::missingContentDisposition));
                const auto fieldName = disposition->parameter("name");
                if (!fieldName)
                    return fail(MultipartError(Code::missingContentDisposition));
                part.name = QString::fromUtf8(*fieldName);
                if (const auto fileName = disposition->parameter("filename"))
                    part.fileName = QString::fromUtf8(*fileName);
                sawDisposition = true;
            } else if (name == "content-type") {
                part.contentType = value;
            }
        }
        if (!sawDisposition)
            return fail(MultipartError(Code::missingContentDisposition));

        const qsizetype next = body.indexOf(innerDelimiter, contentStart);
        if (next < 0)
            return fail(MultipartError(Code::missingClosingBoundary));
        part.data = body.mid(contentStart, next - contentStart);
        parts.append(std::move(part));
        pos = next + crlf.size();
    }
}

} // namespace velto::relayserver
