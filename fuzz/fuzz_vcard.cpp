// Any bytes in an address-book file must parse safely and within the parser's bounds, with
// its everyday limits and with limits small enough for the fuzzer to run into each of them.
#include "vcardparser.h"

#include <QString>

#include <cstddef>
#include <cstdint>

namespace {

void checkWithin(const velto::VCardParser::Document& document, const velto::VCardParser::Limits& limits)
{
    if (document.contacts.size() > limits.maxCards || document.skippedCards < 0 || document.malformedLines < 0)
        __builtin_trap();
    for (const velto::StoredContact& contact : document.contacts) {
        if (contact.identifier.isEmpty() || contact.imageData.size() > limits.maxImageBytes
            || contact.phoneNumbers.size() > limits.maxValuesPerField
            || contact.emailAddresses.size() > limits.maxValuesPerField
            || contact.urlAddresses.size() > limits.maxValuesPerField)
            __builtin_trap();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char*>(data), qsizetype(size));
    const QString source = QStringLiteral("fuzz.vcf");

    const velto::VCardParser::Limits everyday;
    checkWithin(velto::VCardParser::parse(bytes, source, everyday), everyday);

    velto::VCardParser::Limits tight;
    tight.maxLineBytes = 48;
    tight.maxPropertiesPerCard = 8;
    tight.maxValuesPerField = 2;
    tight.maxImageBytes = 8;
    tight.maxCards = 3;
    checkWithin(velto::VCardParser::parse(bytes, source, tight), tight);
    return 0;
}
