#pragma once

#include <QString>

#include <optional>

namespace velto {

// Phone numbers in E.164 form ("+14155550123"), read with a default region for numbers written
// without a country code. Backed by libphonenumber with its built-in metadata; its headers stay
// out of this one. Cheap to copy, safe to use from any thread.
class PhoneNumberNormalizer {
public:
    PhoneNumberNormalizer();

    // The E.164 form of `text`, or nothing when it is not a phone number. The library's parser
    // also accepts short codes and stray digits ("12345" would become "+112345"), so a parse
    // counts only when the result has a possible length for its country; text with an "@" is an
    // e-mail address and never a number, whatever digits it holds.
    std::optional<QString> toE164(const QString& text, const QString& defaultRegion) const;

    // toE164, or `text` unchanged when it is no phone number (an e-mail address, a short code).
    QString normalize(const QString& text, const QString& defaultRegion) const;
};

} // namespace velto
