#include "vcardparser.h"

#include <QHash>
#include <QStringDecoder>
#include <QUuid>

#include <optional>
#include <utility>

namespace velto {

namespace {

// Framework label constants that TYPE parameters map to.
const QString labelHome = QStringLiteral("_$!<Home>!$_");
const QString labelWork = QStringLiteral("_$!<Work>!$_");
const QString labelSchool = QStringLiteral("_$!<School>!$_");
const QString labelOther = QStringLiteral("_$!<Other>!$_");
const QString labelMobile = QStringLiteral("_$!<Mobile>!$_");
const QString labelMain = QStringLiteral("_$!<Main>!$_");
const QString labelPager = QStringLiteral("_$!<Pager>!$_");
const QString labelHomeFax = QStringLiteral("_$!<HomeFAX>!$_");
const QString labelWorkFax = QStringLiteral("_$!<WorkFAX>!$_");
const QString labelOtherFax = QStringLiteral("_$!<OtherFAX>!$_");

// Namespace of the identifiers derived for cards without a UID.
const QUuid derivedIdNamespace(QStringLiteral("{6f0c3a52-93b1-4d55-a7c4-1c0b6d0e9a21}"));

// Physical lines; CR LF, LF and a lone CR all end a line.
class PhysicalLines {
public:
    explicit PhysicalLines(QByteArrayView data) : m_data(data) {}

    bool next(QByteArrayView& line)
    {
        const qsizetype size = m_data.size();
        if (m_pos >= size)
            return false;
        const char* data = m_data.data();
        qsizetype end = m_pos;
        while (end < size && data[end] != '\n' && data[end] != '\r')
            ++end;
        line = QByteArrayView(data + m_pos, end - m_pos);
        m_pos = end;
        if (m_pos < size)
            m_pos += (data[m_pos] == '\r' && m_pos + 1 < size && data[m_pos + 1] == '\n') ? 2 : 1;
        return true;
    }

private:
    QByteArrayView m_data;
    qsizetype m_pos = 0;
};

// The position of the colon that ends a content line's name and parameters, or -1.
qsizetype valueColon(QByteArrayView line)
{
    bool quoted = false;
    for (qsizetype i = 0; i < line.size(); ++i) {
        if (line[i] == '"')
            quoted = !quoted;
        else if (line[i] == ':' && !quoted)
            return i;
    }
    return -1;
}

bool declaresQuotedPrintable(QByteArrayView line)
{
    const qsizetype colon = valueColon(line);
    if (colon < 0)
        return false;
    return line.first(colon).toByteArray().toUpper().contains("QUOTED-PRINTABLE");
}

// Logical lines: folded continuation lines (starting with a blank or tab) and the soft line
// breaks of quoted-printable values (2.1) joined back on. A line longer than the limit is
// consumed whole but reported as too long, and its text is not kept.
class LogicalLines {
public:
    LogicalLines(QByteArrayView data, qsizetype maxBytes) : m_lines(data), m_maxBytes(maxBytes) {}

    bool next(QByteArray& line, bool& tooLong)
    {
        QByteArrayView first;
        if (m_hasPending) {
            first = m_pending;
            m_hasPending = false;
        } else if (!m_lines.next(first)) {
            return false;
        }
        line.clear();
        tooLong = false;
        append(line, first, tooLong);

        std::optional<bool> quotedPrintable; // decided once per line: the scan costs its length
        QByteArrayView next;
        while (m_lines.next(next)) {
            if (!tooLong && line.endsWith('=')) {
                if (!quotedPrintable)
                    quotedPrintable = declaresQuotedPrintable(line);
                if (*quotedPrintable) {
                    line.chop(1);
                    append(line, next, tooLong);
                    continue;
                }
            }
            if (!next.isEmpty() && (next[0] == ' ' || next[0] == '\t')) {
                append(line, next.sliced(1), tooLong);
                continue;
            }
            m_pending = next;
            m_hasPending = true;
            break;
        }
        return true;
    }

private:
    void append(QByteArray& line, QByteArrayView piece, bool& tooLong) const
    {
        if (tooLong)
            return;
        if (line.size() + piece.size() > m_maxBytes) {
            tooLong = true;
            line = QByteArray();
            return;
        }
        line.append(piece);
    }

    PhysicalLines m_lines;
    qsizetype m_maxBytes;
    QByteArrayView m_pending;
    bool m_hasPending = false;
};

// RFC 6868 parameter-value escapes: ^n line break, ^' double quote, ^^ caret.
QByteArray decodeCaret(const QByteArray& value)
{
    if (!value.contains('^'))
        return value;
    QByteArray out;
    out.reserve(value.size());
    for (qsizetype i = 0; i < value.size(); ++i) {
        if (value[i] == '^' && i + 1 < value.size()) {
            const char next = value[i + 1];
            if (next == 'n' || next == 'N') {
                out += '\n';
                ++i;
                continue;
            }
            if (next == '\'') {
                out += '"';
                ++i;
                continue;
            }
            if (next == '^') {
                out += '^';
                ++i;
                continue;
            }
        }
        out += value[i];
    }
    return out;
}

bool isEncodingName(const QByteArray& upper)
{
    return upper == "QUOTED-PRINTABLE" || upper == "BASE64" || upper == "B" || upper == "8BIT" || upper == "7BIT";
}

struct ContentLine {
    QByteArray group; // lower case: groups compare case-insensitively
    QByteArray name;  // upper case
    QList<std::pair<QByteArray, QByteArray>> parameters; // upper-case name, value
    QByteArray value;

    QByteArray parameter(const char* name) const
    {
        for (const auto& [key, value] : parameters) {
            if (key == name)
                return value;
        }
        return {};
    }

    // Every value of every TYPE parameter, comma lists split, in lower case.
    QList<QByteArray> types() const
    {
        QList<QByteArray> out;
        for (const auto& [key, value] : parameters) {
            if (key != "TYPE")
                continue;
            for (const QByteArray& part : value.split(',')) {
                const QByteArray type = part.trimmed().toLower();
                if (!type.isEmpty())
                    out.append(type);
            }
        }
        return out;
    }
};

// group "." name *(";" param) ":" value. A parameter without "=" (2.1 style) is a TYPE, or an
// ENCODING when it names one. Quoted parameter values may hold ";", ":" and ",".
std::optional<ContentLine> parseContentLine(QByteArrayView line)
{
    ContentLine out;
    const qsizetype n = line.size();
    qsizetype i = 0;
    while (i < n && line[i] != ';' && line[i] != ':')
        ++i;
    if (i == n)
        return std::nullopt;
    QByteArrayView name = line.first(i).trimmed();
    if (const qsizetype dot = name.lastIndexOf('.'); dot >= 0) {
        out.group = name.first(dot).toByteArray().toLower();
        name = name.sliced(dot + 1);
    }
    if (name.isEmpty())
        return std::nullopt;
    out.name = name.toByteArray().toUpper();

    while (i < n && line[i] == ';') {
        ++i;
        const qsizetype start = i;
        while (i < n && line[i] != '=' && line[i] != ';' && line[i] != ':')
            ++i;
        if (i == n)
            return std::nullopt;
        const QByteArray parameterName = line.sliced(start, i - start).trimmed().toByteArray().toUpper();
        if (line[i] != '=') {
            if (!parameterName.isEmpty())
                out.parameters.append({isEncodingName(parameterName) ? QByteArray("ENCODING") : QByteArray("TYPE"),
                                       parameterName});
            continue;
        }
        ++i;
        QByteArray value;
        while (i < n && line[i] != ';' && line[i] != ':') {
            if (line[i] == '"') {
                const qsizetype close = line.indexOf('"', i + 1);
                if (close < 0)
                    return std::nullopt;
                value.append(line.sliced(i + 1, close - i - 1));
                i = close + 1;
            } else {
                const qsizetype start = i;
                while (i < n && line[i] != ';' && line[i] != ':' && line[i] != '"')
                    ++i;
                value.append(line.sliced(start, i - start));
            }
        }
        if (i == n)
            return std::nullopt;
        out.parameters.append({parameterName, decodeCaret(value)});
    }
    if (i >= n || line[i] != ':')
        return std::nullopt;
    out.value = line.sliced(i + 1).toByteArray();
    return out;
}

int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

QByteArray decodeQuotedPrintable(const QByteArray& value)
{
    QByteArray out;
    out.reserve(value.size());
    for (qsizetype i = 0; i < value.size(); ++i) {
        if (value[i] == '=' && i + 2 < value.size()) {
            const int high = hexDigit(value[i + 1]);
            const int low = hexDigit(value[i + 2]);
            if (high >= 0 && low >= 0) {
                out += char(high * 16 + low);
                i += 2;
                continue;
            }
        }
        out += value[i];
    }
    return out;
}

// The raw value as text: quoted-printable undone, then decoded from its charset (UTF-8 unless
// a Latin-1 family charset is named).
QString valueText(const ContentLine& line)
{
    QByteArray bytes = line.value;
    if (line.parameter("ENCODING").toUpper() == "QUOTED-PRINTABLE")
        bytes = decodeQuotedPrintable(bytes);
    const QByteArray charset = line.parameter("CHARSET").toUpper();
    if (charset == "ISO-8859-1" || charset == "LATIN1" || charset == "WINDOWS-1252" || charset == "US-ASCII")
        return QString::fromLatin1(bytes);
    return QString::fromUtf8(bytes);
}

// Text escapes: "\n" and "\N" are line breaks, a backslash before any other character stands
// for that character ("\,", "\;", "\\", and the "\:" some exporters write in URLs).
QString unescape(QStringView text)
{
    if (!text.contains(u'\\'))
        return text.toString();
    QString out;
    out.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] == u'\\' && i + 1 < text.size()) {
            const QChar escaped = text[++i];
            out += (escaped == u'n' || escaped == u'N') ? QChar(u'\n') : escaped;
        } else {
            out += text[i];
        }
    }
    return out;
}

// Splits at every `separator` that is not escaped; the pieces keep their escapes.
QList<QStringView> splitUnescaped(QStringView text, QChar separator)
{
    QList<QStringView> parts;
    qsizetype start = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] == u'\\') {
            ++i;
        } else if (text[i] == separator) {
            parts.append(text.sliced(start, i - start));
            start = i + 1;
        }
    }
    parts.append(text.sliced(start));
    return parts;
}

// One component of a structured value; its own comma list joined with blanks.
QString component(const QList<QStringView>& components, qsizetype index)
{
    if (index >= components.size())
        return {};
    QStringList values;
    for (QStringView value : splitUnescaped(components[index], u','))
        values.append(unescape(value));
    values.removeAll(QString());
    return values.join(u' ');
}

bool startsWithNoCase(QStringView text, QLatin1String prefix)
{
    return text.startsWith(prefix, Qt::CaseInsensitive);
}

QString labelFor(const QList<QByteArray>& types, bool phone)
{
    const auto has = [&types](const char* type) { return types.contains(QByteArray(type)); };
    if (phone) {
        if (has("iphone"))
            return QStringLiteral("iPhone");
        if (has("cell") || has("mobile"))
            return labelMobile;
        if (has("main"))
            return labelMain;
        if (has("pager"))
            return labelPager;
        if (has("fax"))
            return has("home") ? labelHomeFax : has("work") ? labelWorkFax : labelOtherFax;
    }
    if (has("home"))
        return labelHome;
    if (has("work"))
        return labelWork;
    if (has("school"))
        return labelSchool;
    if (has("other"))
        return labelOther;
    return {};
}

std::optional<QByteArray> decodePhoto(const ContentLine& line, qsizetype maxBytes)
{
    QByteArray encoded;
    const QByteArray encoding = line.parameter("ENCODING").toUpper();
    if (encoding == "B" || encoding == "BASE64") {
        encoded = line.value;
    } else if (line.value.left(5).toLower() == "data:") {
        const qsizetype comma = line.value.indexOf(',');
        if (comma < 0)
            return std::nullopt;
        const QByteArray header = line.value.first(comma).toLower();
        encoded = line.value.sliced(comma + 1);
        if (!header.endsWith(";base64")) {
            if (encoded.size() > maxBytes * 3)
                return std::nullopt;
            QByteArray raw = QByteArray::fromPercentEncoding(encoded);
            if (raw.size() > maxBytes)
                return std::nullopt;
            return raw;
        }
    } else {
        return std::nullopt; // a link to a photo elsewhere: not fetched
    }
    QByteArray compact;
    compact.reserve(encoded.size());
    for (char c : std::as_const(encoded)) {
        if (c != ' ' && c != '\t' && c != '\r' && c != '\n')
            compact += c;
    }
    if (compact.size() / 4 * 3 > maxBytes)
        return std::nullopt;
    auto decoded = QByteArray::fromBase64Encoding(compact, QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded || decoded.decoded.isEmpty() || decoded.decoded.size() > maxBytes)
        return std::nullopt;
    return std::move(decoded.decoded);
}

enum class ListField { phone, email, url };

class CardBuilder {
public:
    CardBuilder(const VCardParser::Limits& limits) : m_limits(limits) {}

    // False once the card has more properties than allowed; it is then dropped.
    bool withinLimits() const { return m_properties <= m_limits.maxPropertiesPerCard; }

    void apply(const ContentLine& line)
    {
        if (++m_properties > m_limits.maxPropertiesPerCard)
            return;
        const QByteArray& name = line.name;
        if (name == "UID") {
            m_uid = unescape(valueText(line)).trimmed();
        } else if (name == "N") {
            const QString text = valueText(line);
            const auto parts = splitUnescaped(text, u';');
            m_contact.familyName = component(parts, 0);
            m_contact.givenName = component(parts, 1);
            m_contact.middleName = component(parts, 2);
            m_hasStructuredName = true;
        } else if (name == "FN") {
            m_formattedName = unescape(valueText(line));
        } else if (name == "NICKNAME") {
            const QString text = valueText(line);
            m_contact.nickname = unescape(splitUnescaped(text, u',').constFirst());
        } else if (name == "ORG") {
            const QString text = valueText(line);
            m_contact.organizationName = unescape(splitUnescaped(text, u';').constFirst());
        } else if (name == "TITLE") {
            m_contact.jobTitle = unescape(valueText(line));
        } else if (name == "NOTE") {
            m_contact.note = unescape(valueText(line));
        } else if (name == "TEL") {
            QString value = unescape(valueText(line));
            if (startsWithNoCase(value, QLatin1String("tel:")))
                value.remove(0, 4);
            addValue(ListField::phone, line, value);
        } else if (name == "EMAIL") {
            addValue(ListField::email, line, unescape(valueText(line)));
        } else if (name == "URL") {
            addValue(ListField::url, line, unescape(valueText(line)));
        } else if (name == "X-ABLABEL") {
            if (!line.group.isEmpty())
                m_groupLabels.insert(line.group, unescape(valueText(line)));
        } else if (name == "PHOTO") {
            if (auto photo = decodePhoto(line, m_limits.maxImageBytes))
                m_contact.imageData = std::move(*photo);
        } else if (name == "KIND" || name == "X-ADDRESSBOOKSERVER-KIND") {
            const QByteArray kind = line.value.trimmed().toLower();
            m_isGroup = kind == "group";
            m_isOrganization = kind == "org";
        } else if (name == "X-ABSHOWAS") {
            m_isOrganization = line.value.trimmed().toUpper() == "COMPANY";
        }
    }

    // The finished contact; none for a group card.
    std::optional<StoredContact> finish(const QString& sourceName, int cardIndex)
    {
        if (m_isGroup)
            return std::nullopt;
        // A card may carry only its formatted name (N is optional in 4.0); the address book
        // then shows that name, so it stands in as the given name. Company cards keep no name.
        if (!m_hasStructuredName && !m_isOrganization)
            m_contact.givenName = m_formattedName.trimmed();
        for (const Grouped& grouped : std::as_const(m_grouped)) {
            const auto label = m_groupLabels.constFind(grouped.group);
            if (label != m_groupLabels.constEnd())
                list(grouped.field)[grouped.index].label = *label;
        }
        m_contact.identifier = !m_uid.isEmpty()
            ? m_uid
            : QUuid::createUuidV5(derivedIdNamespace, sourceName + u'#' + QString::number(cardIndex))
                  .toString(QUuid::WithoutBraces)
                  .toUpper();
        m_contact.fetchedKeys = allContactKeys;
        return std::move(m_contact);
    }

private:
    struct Grouped {
        ListField field;
        qsizetype index;
        QByteArray group;
    };

    QList<ContactLabeledValue>& list(ListField field)
    {
        switch (field) {
        case ListField::phone:
            return m_contact.phoneNumbers;
        case ListField::email:
            return m_contact.emailAddresses;
        case ListField::url:
            break;
        }
        return m_contact.urlAddresses;
    }

    void addValue(ListField field, const ContentLine& line, const QString& value)
    {
        QList<ContactLabeledValue>& values = list(field);
        if (values.size() >= m_limits.maxValuesPerField)
            return;
        values.append({labelFor(line.types(), field == ListField::phone), value});
        if (!line.group.isEmpty())
            m_grouped.append({field, values.size() - 1, line.group});
    }

    const VCardParser::Limits& m_limits;
    StoredContact m_contact;
    QString m_uid;
    QString m_formattedName;
    bool m_hasStructuredName = false;
    bool m_isGroup = false;
    bool m_isOrganization = false;
    int m_properties = 0;
    QList<Grouped> m_grouped;
    QHash<QByteArray, QString> m_groupLabels;
};

// The document as UTF-8: byte-order marks removed, UTF-16 (older address-book exports)
// converted.
QByteArray asUtf8(const QByteArray& document)
{
    const auto startsWith = [&document](std::initializer_list<unsigned char> bytes) {
        if (document.size() < qsizetype(bytes.size()))
            return false;
        qsizetype i = 0;
        for (unsigned char byte : bytes) {
            if (static_cast<unsigned char>(document[i++]) != byte)
                return false;
        }
        return true;
    };
    if (startsWith({0xEF, 0xBB, 0xBF}))
        return document.sliced(3);
    std::optional<QStringConverter::Encoding> utf16;
    qsizetype skip = 0;
    if (startsWith({0xFF, 0xFE})) {
        utf16 = QStringConverter::Utf16LE;
        skip = 2;
    } else if (startsWith({0xFE, 0xFF})) {
        utf16 = QStringConverter::Utf16BE;
        skip = 2;
    } else if (document.size() >= 2 && document[0] != 0 && document[1] == 0) {
        utf16 = QStringConverter::Utf16LE;
    } else if (document.size() >= 2 && document[0] == 0 && document[1] != 0) {
        utf16 = QStringConverter::Utf16BE;
    }
    if (!utf16)
        return document;
    QStringDecoder decoder(*utf16);
    const QString text = decoder.decode(QByteArrayView(document).sliced(skip));
    return text.toUtf8();
}

bool isVCardMarker(const QByteArray& value)
{
    return value.trimmed().toUpper() == "VCARD";
}

bool isBlank(const QByteArray& line)
{
    for (char c : line) {
        if (c != ' ' && c != '\t')
            return false;
    }
    return true;
}

} // namespace

VCardParser::Document VCardParser::parse(const QByteArray& document, const QString& sourceName)
{
    return parse(document, sourceName, Limits());
}

VCardParser::Document VCardParser::parse(const QByteArray& document, const QString& sourceName, const Limits& limits)
{
    Document out;
    const QByteArray data = asUtf8(document);
    LogicalLines lines(data, limits.maxLineBytes);
    std::optional<CardBuilder> card;
    int cardIndex = 0;
    QByteArray line;
    bool tooLong = false;
    while (lines.next(line, tooLong)) {
        if (tooLong) {
            if (card)
                ++out.malformedLines;
            continue;
        }
        if (isBlank(line))
            continue;
        const std::optional<ContentLine> content = parseContentLine(line);
        if (!content) {
            if (card)
                ++out.malformedLines;
            continue;
        }
        if (content->name == "BEGIN" && isVCardMarker(content->value)) {
            if (card)
                ++out.skippedCards; // the card before never ended
            card.emplace(limits);
            ++cardIndex;
            continue;
        }
        if (content->name == "END" && isVCardMarker(content->value)) {
            if (!card)
                continue;
            if (!card->withinLimits() || out.contacts.size() >= limits.maxCards) {
                ++out.skippedCards;
            } else if (auto contact = card->finish(sourceName, cardIndex)) {
                out.contacts.append(std::move(*contact));
            }
            card.reset();
            continue;
        }
        if (card)
            card->apply(*content);
    }
    // A card cut off by the end of the file may be one being written: its values cannot be trusted.
    if (card)
        ++out.skippedCards;
    return out;
}

} // namespace velto
