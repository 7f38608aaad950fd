#include "envelope.h"

#include <QDateTime>
#include <QLocale>
#include <QJsonDocument>

#include <algorithm>
#include <cmath>

namespace velto::Envelope {

std::optional<QJsonObject> decodeObject(const QByteArray& bytes)
{
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject())
        return std::nullopt;
    return doc.object();
}

std::optional<QString> decodeType(const QByteArray& bytes)
{
    const auto object = decodeObject(bytes);
    if (!object)
        return std::nullopt;
    const QJsonValue type = object->value(QLatin1String("type"));
    if (!type.isString())
        return std::nullopt;
    return type.toString();
}

QByteArray encodeTyped(const QJsonObject& message)
{
    return QJsonDocument(message).toJson(QJsonDocument::Compact);
}

QByteArray escapeSlashes(const QByteArray& json)
{
    // In compact JSON a slash can only stand inside a string (numbers, literals and
    // punctuation never contain one), so escaping every slash escapes exactly those.
    // One pass: count, size the result once, copy the runs between slashes.
    const char* const begin = json.constData();
    const char* const end = begin + json.size();
    const qsizetype slashes = std::count(begin, end, '/');
    if (slashes == 0)
        return json;
    QByteArray escaped(json.size() + slashes, Qt::Uninitialized);
    char* out = escaped.data();
    for (const char* from = begin; from != end;) {
        const char* const slash = std::find(from, end, '/');
        out = std::copy(from, slash, out);
        if (slash == end)
            break;
        *out++ = '\\';
        *out++ = '/';
        from = slash + 1;
    }
    return escaped;
}

QByteArray encodeDictionary(const QJsonObject& message)
{
    return escapeSlashes(QJsonDocument(message).toJson(QJsonDocument::Compact));
}

namespace {

char hexDigit(unsigned value)
{
    return char(value < 10 ? '0' + value : 'a' + value - 10);
}

void appendUnicodeEscape(QByteArray& out, char16_t unit)
{
    const char escape[6] = {'\\', 'u', hexDigit((unit >> 12) & 0xf), hexDigit((unit >> 8) & 0xf),
                            hexDigit((unit >> 4) & 0xf), hexDigit(unit & 0xf)};
    out.append(escape, 6);
}

} // namespace

void appendString(QByteArray& out, QStringView text)
{
    // The escapes of the JSON writer encodeDictionary goes through, plus "\/"; a lone
    // surrogate cannot be UTF-8 and is written as its \u escape, as that writer does.
    out.reserve(out.size() + text.size() + 2);
    out.append('"');
    const char16_t* src = text.utf16();
    const char16_t* const end = src + text.size();
    while (src != end) {
        const char16_t unit = *src++;
        if (unit < 0x80) {
            switch (unit) {
            case u'"': out.append("\\\"", 2); break;
            case u'\\': out.append("\\\\", 2); break;
            case u'/': out.append("\\/", 2); break;
            case u'\b': out.append("\\b", 2); break;
            case u'\f': out.append("\\f", 2); break;
            case u'\n': out.append("\\n", 2); break;
            case u'\r': out.append("\\r", 2); break;
            case u'\t': out.append("\\t", 2); break;
            default:
                if (unit < 0x20) {
                    const char escape[6] = {'\\', 'u', '0', '0', hexDigit(unit >> 4), hexDigit(unit & 0xf)};
                    out.append(escape, 6);
                } else {
                    out.append(char(unit));
                }
            }
        } else if (unit < 0x800) {
            const char bytes[2] = {char(0xc0 | (unit >> 6)), char(0x80 | (unit & 0x3f))};
            out.append(bytes, 2);
        } else if (!QChar::isSurrogate(unit)) {
            const char bytes[3] = {char(0xe0 | (unit >> 12)), char(0x80 | ((unit >> 6) & 0x3f)),
                                   char(0x80 | (unit & 0x3f))};
            out.append(bytes, 3);
        } else if (QChar::isHighSurrogate(unit) && src != end && QChar::isLowSurrogate(*src)) {
            const char32_t point = QChar::surrogateToUcs4(unit, *src++);
            const char bytes[4] = {char(0xf0 | (point >> 18)), char(0x80 | ((point >> 12) & 0x3f)),
                                   char(0x80 | ((point >> 6) & 0x3f)), char(0x80 | (point & 0x3f))};
            out.append(bytes, 4);
        } else {
            appendUnicodeEscape(out, unit);
        }
    }
    out.append('"');
}

void appendNumber(QByteArray& out, double value)
{
    // Whole numbers up to 2^53 are written as integers (-0 as 0), as that writer does.
    constexpr double exactIntegers = 9007199254740992.0;
    if (std::abs(value) <= exactIntegers && value == std::trunc(value))
        out.append(QByteArray::number(qint64(value)));
    else if (qIsFinite(value))
        out.append(QByteArray::number(value, 'g', QLocale::FloatingPointShortest));
    else
        out.append("null", 4);
}

double nowMilliseconds()
{
    return double(QDateTime::currentMSecsSinceEpoch());
}

} // namespace velto::Envelope
