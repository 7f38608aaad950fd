#include "phonenumbernormalizer.h"

#include <phonenumbers/phonenumber.pb.h>
#include <phonenumbers/phonenumberutil.h>

namespace velto {

using i18n::phonenumbers::PhoneNumber;
using i18n::phonenumbers::PhoneNumberUtil;

PhoneNumberNormalizer::PhoneNumberNormalizer()
{
    // The utility is a process-wide singleton that loads its metadata on first use; touching it
    // here moves that cost to construction instead of the first send.
    PhoneNumberUtil::GetInstance();
}

std::optional<QString> PhoneNumberNormalizer::toE164(const QString& text, const QString& defaultRegion) const
{
    if (text.trimmed().isEmpty() || text.contains(QLatin1Char('@')))
        return std::nullopt;
    const PhoneNumberUtil* util = PhoneNumberUtil::GetInstance();
    PhoneNumber number;
    if (util->Parse(text.toStdString(), defaultRegion.toUpper().toStdString(), &number)
        != PhoneNumberUtil::NO_PARSING_ERROR)
        return std::nullopt;
    if (!util->IsPossibleNumber(number))
        return std::nullopt;
    std::string formatted;
    util->Format(number, PhoneNumberUtil::E164, &formatted);
    return QString::fromStdString(formatted);
}

QString PhoneNumberNormalizer::normalize(const QString& text, const QString& defaultRegion) const
{
    return toE164(text, defaultRegion).value_or(text);
}

} // namespace velto
