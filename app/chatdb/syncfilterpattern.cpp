#include "syncfilterpattern.h"

#include <logger.h>

#include <unicode/regex.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <limits>
#include <optional>
#include <vector>

namespace velto {

namespace {

const Logger& log()
{
    static const Logger logger("SyncFilter");
    return logger;
}

// A read-only view of the QString's UTF-16 buffer: no copy.
icu::UnicodeString alias(const QString& text)
{
    const auto length = int32_t(std::min<qsizetype>(text.size(), std::numeric_limits<int32_t>::max()));
    return icu::UnicodeString(false, reinterpret_cast<const char16_t*>(text.utf16()), length);
}

// The characters ICU's "." does not match (without the dot-all flag).
bool isLineTerminator(char16_t c)
{
    return (c >= 0x0A && c <= 0x0D) || c == 0x85 || c == 0x2028 || c == 0x2029;
}

struct Span {
    int32_t start = 0;
    int32_t end = 0;
};

} // namespace

struct SyncFilterPattern::Private {
    std::unique_ptr<icu::RegexPattern> pattern;

    std::unique_ptr<icu::RegexMatcher> matcher(const icu::UnicodeString& input) const
    {
        if (!pattern)
            return nullptr;
        UErrorCode status = U_ZERO_ERROR;
        std::unique_ptr<icu::RegexMatcher> m(pattern->matcher(input, status));
        return U_SUCCESS(status) ? std::move(m) : nullptr;
    }
};

SyncFilterPattern::SyncFilterPattern(const char16_t* source, bool caseInsensitive)
    : d(std::make_unique<Private>())
{
    UParseError where;
    UErrorCode status = U_ZERO_ERROR;
    d->pattern.reset(icu::RegexPattern::compile(icu::UnicodeString(source),
                                                caseInsensitive ? UREGEX_CASE_INSENSITIVE : 0, where, status));
    if (U_FAILURE(status)) {
        log().error(QStringLiteral("Cannot compile pattern %1: %2")
                        .arg(QString::fromUtf16(source), QString::fromLatin1(u_errorName(status))));
        d->pattern.reset();
    }
}

SyncFilterPattern::~SyncFilterPattern() = default;

bool SyncFilterPattern::foundIn(const QString& text) const
{
    const icu::UnicodeString input = alias(text);
    auto matcher = d->matcher(input);
    if (!matcher)
        return false;
    UErrorCode status = U_ZERO_ERROR;
    const bool found = matcher->find(status);
    return U_SUCCESS(status) && found;
}

QString SyncFilterPattern::removedFrom(const QString& text) const
{
    const icu::UnicodeString input = alias(text);
    auto matcher = d->matcher(input);
    if (!matcher)
        return text;
    UErrorCode status = U_ZERO_ERROR;
    const icu::UnicodeString result = matcher->replaceAll(icu::UnicodeString(), status);
    if (U_FAILURE(status))
        return text;
    return QString(reinterpret_cast<const QChar*>(result.getBuffer()), result.length());
}

bool SyncFilterPattern::chainFoundIn(const QString& text, std::initializer_list<const SyncFilterPattern*> parts)
{
    if (parts.size() == 0)
        return true;
    const icu::UnicodeString input = alias(text);

    // One matcher per part, searching forward only. The first match at or after a position
    // stays the answer for every later position up to its start, so it is kept and reused:
    // each part scans the text about once in all.
    struct Search {
        std::unique_ptr<icu::RegexMatcher> matcher;
        int32_t searchedFrom = -1;
        std::optional<Span> found; // for searchedFrom; nullopt: none after it

        std::optional<Span> from(int32_t position)
        {
            if (searchedFrom >= 0 && position >= searchedFrom && (!found || position <= found->start))
                return found;
            UErrorCode status = U_ZERO_ERROR;
            searchedFrom = position;
            found.reset();
            if (matcher->find(position, status) && U_SUCCESS(status)) {
                const int32_t start = matcher->start(status);
                const int32_t end = matcher->end(status);
                if (U_SUCCESS(status))
                    found = Span{start, end};
            }
            return found;
        }
    };
    std::vector<Search> searches;
    for (const SyncFilterPattern* part : parts) {
        auto matcher = part->d->matcher(input);
        if (!matcher)
            return false;
        searches.push_back(Search{std::move(matcher)});
    }

    std::vector<int32_t> terminators;
    for (int32_t i = 0; i < input.length(); ++i) {
        if (isLineTerminator(input.charAt(i)))
            terminators.push_back(i);
    }
    // The first terminator at or after `position`, or the text's length.
    auto nextTerminator = [&terminators, &input](int32_t position) {
        const auto it = std::lower_bound(terminators.begin(), terminators.end(), position);
        return it == terminators.end() ? input.length() : *it;
    };

    int32_t position = 0;
    while (position <= input.length()) {
        const std::optional<Span> first = searches.front().from(position);
        if (!first)
            return false;
        // Everything must fit before the end of the first part's line.
        const int32_t lineEnd = nextTerminator(first->end);
        int32_t end = first->end;
        bool fits = true;
        for (size_t i = 1; i < searches.size(); ++i) {
            const std::optional<Span> next = searches[i].from(end);
            if (!next)
                return false; // nothing later in the text at all
            if (next->start > lineEnd) {
                fits = false;
                break;
            }
            end = next->end;
        }
        if (fits)
            return true;
        // No earlier start on this line can do better: go on with the next line.
        position = lineEnd + 1;
    }
    return false;
}

} // namespace velto
