#pragma once

#include "manualaccount.h"

#include <QLatin1String>
#include <QString>

#include <optional>

namespace velto {

// Every registration token the server issues starts with this.
inline constexpr QLatin1String RegistrationTokenPrefix("velt_");

// The outcome of checking a token's shape before it is sent.
struct TokenValidationResult {
    bool isValid = false;
    std::optional<QString> error;            // the first rule that failed; absent when valid
    std::optional<QString> organizationName; // placeholder until registration names the tenant
    std::optional<QString> relayName;        // the default relay name

    bool operator==(const TokenValidationResult&) const = default;
};

// The setup wizard's token state; the raw values are the case names.
enum class TokenStatus { idle, validating, valid, invalid, error };
QString rawValue(TokenStatus status);

// Pure checks and classifications of what the user or the system hands the relay.
class ValidationService {
public:
    // Trimmed of white space and line breaks, a value is a phone number when it starts with
    // "+" or consists only of decimal digits (any script) and "-().+ "; otherwise an e-mail
    // address. An empty value is a phone number.
    static AccountType getAccountType(const QString& value);

    // The token's shape after trimming: the prefix, then more than 8 characters holding an
    // underscore after at least 8 characters, and something after that underscore. Only the
    // first rule that fails is reported.
    static TokenValidationResult validateTokenFormat(const QString& token);

    // The advice shown for a failed registration, chosen from the error's description (server
    // error codes, HTTP statuses, network conditions); an unrecognised message is shown as is.
    static QString mapRegistrationError(const QString& message);
};

} // namespace velto
