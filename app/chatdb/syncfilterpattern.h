#pragma once

#include <QString>

#include <initializer_list>
#include <memory>

namespace velto {

// One regular expression of the sync filter, compiled once by ICU and shared by every thread
// (each search makes its own matcher, as ICU requires). ICU stays out of this header.
class SyncFilterPattern {
public:
    explicit SyncFilterPattern(const char16_t* source, bool caseInsensitive = false);
    ~SyncFilterPattern();
    SyncFilterPattern(const SyncFilterPattern&) = delete;
    SyncFilterPattern& operator=(const SyncFilterPattern&) = delete;

    // The pattern is found somewhere in `text`; a pattern the engine gives up on counts as not found.
    bool foundIn(const QString& text) const;
    // `text` with every match removed.
    QString removedFrom(const QString& text) const;

    // What the pattern "P1.*P2.*…" finds (ICU's "." stops at line terminators), in time linear
    // in the text: the parts occur in this order within one line, each starting at or after
    // the end of the one before. The plain pattern backtracks in quadratic or cubic time, which a
    // remote sender could use to stall a thread with one long message. Each part must match no
    // line terminator, and two matches of one part must never overlap.
    static bool chainFoundIn(const QString& text, std::initializer_list<const SyncFilterPattern*> parts);

private:
    struct Private;
    std::unique_ptr<Private> d;
};

} // namespace velto
