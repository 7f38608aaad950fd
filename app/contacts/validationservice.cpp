#include "validationservice.h"

#include <QStringView>
#include <QTextBoundaryFinder>

#include <array>

namespace velto {

namespace {

// Characters as the user sees them (grapheme clusters), not UTF-16 code units.
qsizetype characterCount(const QString& text)
{
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    qsizetype count = 0;
    while (finder.toNextBoundary() >= 0)
        ++count;
    return count;
}

TokenValidationResult invalid(const QString& error)
{
    TokenValidationResult result;
    result.error = error;
    return result;
}

struct Advice {
    QLatin1String pattern;
    QLatin1String text;
};

// Tested in this order; the first pattern the lower-cased message contains decides.
constexpr std::array registrationAdvice{
    Advice{QLatin1String("invalid_token_format"), QLatin1String("Invalid token format. Please check and try again.")},
    Advice{QLatin1String("token_expired"),
           QLatin1String("This token has expired. Please generate a new one from the dashboard.")},
    Advice{QLatin1String("relay_already_registered"),
           QLatin1String("This relay is already registered. Reset the wizard to re-register.")},
    Advice{QLatin1String("token_not_found"),
           QLatin1String("Token not found or already used. Try connecting again from the dashboard.")},
    Advice{QLatin1String("401"), QLatin1String("Invalid or expired token. Try connecting again from the dashboard.")},
    Advice{QLatin1String("403"), QLatin1String("Invalid or expired token. Try connecting again from the dashboard.")},
    Advice{QLatin1String("409"), QLatin1String("This relay is already registered. Reset the wizard to start over.")},
    Advice{QLatin1String("econnrefused"),
           QLatin1String("Cannot reach the backend server. Check that it's running and accessible.")},
    Advice{QLatin1String("etimedout"),
           QLatin1String("Cannot reach the backend server. Check that it's running and accessible.")},
    Advice{QLatin1String("exhausted"), QLatin1String("This token has been fully used. Generate a new one.")},
    Advice{QLatin1String("fetch"), QLatin1String("Network error connecting to server. Check your connection.")},
    Advice{QLatin1String("timeout"), QLatin1String("Request timed out. Try again.")},
};

} // namespace

QString rawValue(TokenStatus status)
{
    switch (status) {
    case TokenStatus::idle:
        return QStringLiteral("idle");
    case TokenStatus::validating:
        return QStringLiteral("validating");
    case TokenStatus::valid:
        return QStringLiteral("valid");
    case TokenStatus::invalid:
        return QStringLiteral("invalid");
    case TokenStatus::error:
        return QStringLiteral("error");
    }
    return QStringLiteral("idle");
}

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

TokenValidationResult ValidationService::validateTokenFormat(const QString& token)
{
    const QString trimmed = token.trimmed();
    if (!trimmed.startsWith(RegistrationTokenPrefix))
        return invalid(QStringLiteral("Token must start with '") + RegistrationTokenPrefix + QStringLiteral("' prefix."));
    const QString rest = trimmed.mid(RegistrationTokenPrefix.size());
    if (characterCount(rest) <= 8)
        return invalid(QStringLiteral("Token is too short. Check that you copied the full token."));
    const qsizetype underscore = rest.indexOf(u'_');
    if (underscore < 0)
        return invalid(QStringLiteral("Invalid token format. Expected format: ") + RegistrationTokenPrefix
                       + QStringLiteral("XXXXXXXX_XXXX..."));
    if (characterCount(rest.left(underscore)) < 8)
        return invalid(QStringLiteral("Invalid token format. First segment too short."));
    if (underscore + 1 >= rest.size())
        return invalid(QStringLiteral("Invalid token format. Missing secret portion."));

    TokenValidationResult result;
    result.isValid = true;
    result.organizationName = QStringLiteral("Your Organization");
    result.relayName = QStringLiteral("Mac Relay");
    return result;
}

QString ValidationService::mapRegistrationError(const QString& message)
{
    const QString lower = message.toLower();
    for (const Advice& advice : registrationAdvice) {
        if (lower.contains(advice.pattern))
            return advice.text;
    }
    return message;
}

} // namespace velto
