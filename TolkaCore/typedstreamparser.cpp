#include "typedstreamparser.h"

#include <QTextBoundaryFinder>

#include <cstring>

namespace velto::TypedStreamParser {

namespace {

// The "+" type tag of an NSString's content, then a length, the UTF-8 bytes and the object end.
constexpr uchar kStringTypeLength = 0x01;
constexpr uchar kStringType = 0x2B;
constexpr uchar kObjectEnd = 0x86;
constexpr uchar kNewObject = 0x84;
constexpr uchar kShortInteger = 0x81;
constexpr uchar kLongInteger = 0x82;

bool isLeadingJunk(char32_t c)
{
    if (c == U'\r' || c == U'\n')
        return true;
    const QChar::Category category = QChar::category(c);
    return category == QChar::Other_Control || category == QChar::Other_Format;
}

void stripLeadingControlCharacters(QString& text)
{
    qsizetype i = 0;
    while (i < text.size()) {
        char32_t c = text.at(i).unicode();
        qsizetype width = 1;
        if (QChar::isHighSurrogate(c) && i + 1 < text.size() && text.at(i + 1).isLowSurrogate()) {
            c = QChar::surrogateToUcs4(text.at(i), text.at(i + 1));
            width = 2;
        }
        if (!isLeadingJunk(c))
            break;
        i += width;
    }
    if (i > 0)
        text.remove(0, i);
}

qsizetype graphemeCount(const QString& text)
{
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    qsizetype count = 0;
    while (finder.toNextBoundary() != -1)
        ++count;
    return count;
}

quint32 readLittleEndian(const uchar* p, int bytes)
{
    quint32 value = 0;
    for (int i = bytes - 1; i >= 0; --i)
        value = (value << 8) | p[i];
    return value;
}

struct Candidate {
    qsizetype begin = 0;
    qsizetype length = 0;
    bool exact = false; // bounded by its own length prefix rather than by the next 86 84
    bool found = false;
};

// The string content that starts at `start` (just after 01 2B). A length prefix in any of its
// three forms is trusted when that many bytes fit and the string object's end marker follows;
// a stray 01 2B elsewhere in the blob rarely passes both checks. Without a usable prefix the
// content runs to the next 86 84, dropping a first byte that matches the length.
Candidate candidateAt(const uchar* b, qsizetype n, qsizetype start)
{
    Candidate result;
    const uchar tag = b[start];
    qsizetype textStart = -1;
    quint64 length = 0;
    if (tag < 0x80) {
        textStart = start + 1;
        length = tag;
    } else if (tag == kShortInteger && n - start >= 3) {
        textStart = start + 3;
        length = readLittleEndian(b + start + 1, 2);
    } else if (tag == kLongInteger && n - start >= 5) {
        textStart = start + 5;
        length = readLittleEndian(b + start + 1, 4);
    }
    if (textStart >= 0 && length < quint64(n - textStart) && b[textStart + qsizetype(length)] == kObjectEnd) {
        result.begin = textStart;
        result.length = qsizetype(length);
        result.exact = true;
        result.found = true;
        return result;
    }

    for (qsizetype k = start; k <= n - 2; ++k) {
        if (b[k] == kObjectEnd && b[k + 1] == kNewObject) {
            result.begin = start;
            result.length = k - start;
            result.found = true;
            if (result.length >= 2 && qsizetype(b[start]) == result.length - 1) {
                ++result.begin;
                --result.length;
            }
            return result;
        }
    }
    return result;
}

} // namespace

QString parseAttributedBody(const QByteArray& data)
{
    if (data.isEmpty())
        return {};

    const auto* b = reinterpret_cast<const uchar*>(data.constData());
    const qsizetype n = data.size();
    QString best;
    qsizetype bestCount = 0;
    bool exactSeen = false;

    for (qsizetype j = 0; j + 1 < n; ++j) {
        const void* hit = std::memchr(b + j, kStringTypeLength, size_t(n - 1 - j));
        if (!hit)
            break;
        j = static_cast<const uchar*>(hit) - b;
        if (b[j + 1] != kStringType)
            continue;
        const qsizetype start = j + 2;
        if (start > n - 2)
            continue;
        const Candidate candidate = candidateAt(b, n, start);
        if (!candidate.found)
            continue;
        exactSeen = exactSeen || candidate.exact;
        QString text = QString::fromUtf8(reinterpret_cast<const char*>(b + candidate.begin), candidate.length);
        stripLeadingControlCharacters(text);
        // A string has at most as many grapheme clusters as UTF-16 units: short ones cannot win.
        if (text.size() <= bestCount)
            continue;
        const qsizetype count = graphemeCount(text);
        if (count > bestCount) {
            best = std::move(text);
            bestCount = count;
        }
    }

    // A string read by its own length is the body's text even when it is empty (a blank
    // message); falling back to the whole blob would turn the archive's framing into text.
    if (!best.isEmpty() || exactSeen)
        return best;
    QString whole = QString::fromUtf8(data);
    stripLeadingControlCharacters(whole);
    return whole;
}

} // namespace velto::TypedStreamParser
