#include "validationservice.h"

#include <QStringView>

namespace velto {

AccountType ValidationService::getAccountType(const QString& value)
{
    const QString trimmed = value.trimmed();
    if (trimmed.startsWith(u'+'))
        return AccountType::phone;
    // Whole code points, so that digits outside the basic plane count as digits.
    for (const char32_t scalar : trimmed.toUcs4()) {
        if (QChar::isDigit(scalar))
            continue;
        switch (scalar) {
        case U'-':
        case U'(':
        case U')':
        case U'.':
        case U'+':
        case U' ':
            continue;
        default:
            return AccountType::email;
        }
    }
    return AccountType::phone;
}

} // namespace velto
