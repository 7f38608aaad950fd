#include "envelope.h"

#include <QDateTime>
#include <QLocale>
#include <QJsonDocument>

#include <algorithm>
#include <array>
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

char* writeUnicodeEscape(char* out, char16_t unit)
{
    *out++ = '\\';
    *out++ = 'u';
    *out++ = hexDigit((unit >> 12) & 0xf);
    *out++ = hexDigit((unit >> 8) & 0xf);
    *out++ = hexDigit((unit >> 4) & 0xf);
    *out++ = hexDigit(unit & 0xf);
    return out;
}

// Two characters for the escapes that have a short form, zero for those written as \u00XX,
// one for every other ASCII character (written as itself).
constexpr std::array<char, 128> asciiEscapes = [] {
    std::array<char, 128> table{};
    for (int c = 0x20; c < 0x80; ++c)
        table[size_t(c)] = 1;
    table[size_t('"')] = '"';
    table[size_t('\\')] = '\\';
    table[size_t('/')] = '/';
    table[size_t('\b')] = 'b';
    table[size_t('\f')] = 'f';
    table[size_t('\n')] = 'n';
    table[size_t('\r')] = 'r';
    table[size_t('\t')] = 't';
    return table;
}();

} // namespace

void appendString(QByteArray& out, QStringView text)
{
    // The escapes of the JSON writer encodeDictionary goes through, plus "\/"; a lone
    // surrogate cannot be UTF-8 and is written as its \u escape, as that writer does.
    // Written through a pointer into room for the longest outcome (six bytes a unit), then
    // cut to what was written: this runs for every string of every historical page.
    const qsizetype start = out.size();
    out.resize(start + text.size() * 6 + 2);
    char* const base = out.data();
    char* to = base + start;
    *to++ = '"';
    const char16_t* src = text.utf16();
    const char16_t* const end = src + text.size();
    while (src != end) {
        const char16_t unit = *src++;
        if (unit < 0x80) {
            const char escape = asciiEscapes[unit];
            if (escape == 1) {
                *to++ = char(unit);
            } else if (escape != 0) {
                *to++ = '\\';
                *to++ = escape;
            } else {
                to = writeUnicodeEscape(to, unit);
            }
        } else if (unit < 0x800) {
            *to++ = char(0xc0 | (unit >> 6));
            *to++ = char(0x80 | (unit & 0x3f));
        } else if (!QChar::isSurrogate(unit)) {
            *to++ = char(0xe0 | (unit >> 12));
            *to++ = char(0x80 | ((unit >> 6) & 0x3f));
            *to++ = char(0x80 | (unit & 0x3f));
        } else if (QChar::isHighSurrogate(unit) && src != end && QChar::isLowSurrogate(*src)) {
            const char32_t point = QChar::surrogateToUcs4(unit, *src++);
            *to++ = char(0xf0 | (point >> 18));
            *to++ = char(0x80 | ((point >> 12) & 0x3f));
            *to++ = char(0x80 | ((point >> 6) & 0x3f));
            *to++ = char(0x80 | (point & 0x3f));
        } else {
            to = writeUnicodeEscape(to, unit);
        }
    }
    *to++ = '"';
    out.truncate(to - base);
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
