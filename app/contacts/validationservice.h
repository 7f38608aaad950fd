#pragma once

#include "manualaccount.h"

#include <QString>

namespace velto {

// Pure checks and classifications of what the user or the system hands the relay. The
// account-type part lives here; the registration checks join it.
class ValidationService {
public:
    // Trimmed of white space and line breaks, a value is a phone number when it starts with
    // "+" or consists only of decimal digits (any script) and "-().+ "; otherwise an e-mail
    // address. An empty value is a phone number.
    static AccountType getAccountType(const QString& value);
};

} // namespace velto
