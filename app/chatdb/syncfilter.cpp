#include "syncfilter.h"

#include "handleresolver.h"
#include "syncfilterpattern.h"

#include <logger.h>

#include <QJsonArray>

namespace velto {

namespace {

const Logger& log()
{
    static const Logger logger("SyncFilter");
    return logger;
}

struct Patterns {
    SyncFilterPattern senderPunctuation{uR"([+\s-])"};
    SyncFilterPattern numericShortCode{uR"(^\d{4,8}$)"};
    SyncFilterPattern alphanumericSenderId{uR"(^[A-Z0-9]{2,11}$)"};
    SyncFilterPattern anyDigit{uR"(\d)"};
    SyncFilterPattern anyLetter{uR"([A-Z])"};
    SyncFilterPattern googleStyleCode{uR"(^G-\d{6}\b)"};
    SyncFilterPattern fourToEightDigits{uR"(\b\d{4,8}\b)"};
    // The keyword rule with possessive white space and the optional "this"/"the" folded into
    // one branch: the same matches as the plain form, without its quadratic backtracking over
    // long runs of white space.
    SyncFilterPattern codeKeyword{
        uR"(\b(verification\s*+code|security\s*+code|one-time\s*+(code|password)|otp|2fa|confirm(ation)?\s*+code|passcode|pin\s*+code|temporary\s*+(code|password)|your\s*+code\s*+is|enter\s*+(?:(?:this|the)\s*+)?code|authentication\s*+code)\b)",
        true};
    // The parts of "\b\d{6}\b.*security code", "Apple.*\b\d{6}\b" and "Your.*code.*\b\d{6}\b"
    // (all case-insensitive), joined by SyncFilterPattern::chainFoundIn.
    SyncFilterPattern sixDigits{uR"(\b\d{6}\b)", true};
    SyncFilterPattern securityCode{uR"(security code)", true};
    SyncFilterPattern apple{uR"(Apple)", true};
    SyncFilterPattern your{uR"(Your)", true};
    SyncFilterPattern code{uR"(code)", true};
};

const Patterns& patterns()
{
    static const Patterns compiled;
    return compiled;
}

const QString unknownSender = QStringLiteral("unknown");

std::optional<bool> boolMember(const QJsonObject& object, const char* key)
{
    const QJsonValue value = object.value(QLatin1String(key));
    if (!value.isBool())
        return std::nullopt;
    return value.toBool();
}

} // namespace

QString SyncFilter::ConfigError::description() const
{
    switch (m_kind) {
    case Kind::notAnObject:
        return QStringLiteral("Sync filter configuration is not a JSON object");
    case Kind::invalidMember:
        return QStringLiteral("Sync filter configuration: \"%1\" is missing or has the wrong type").arg(m_member);
    }
    return QString();
}

Result<SyncFilter::Config, SyncFilter::ConfigError> SyncFilter::Config::fromJson(const QJsonValue& value)
{
    if (!value.isObject())
        return fail(ConfigError::notAnObject());
    const QJsonObject object = value.toObject();
    Config config;

    const auto enabled = boolMember(object, "isEnabled");
    if (!enabled)
        return fail(ConfigError::invalidMember(QStringLiteral("isEnabled")));
    config.isEnabled = *enabled;

    const QJsonValue blocked = object.value(QLatin1String("blockedContacts"));
    if (!blocked.isArray())
        return fail(ConfigError::invalidMember(QStringLiteral("blockedContacts")));
    for (const QJsonValue& entry : blocked.toArray()) {
        if (!entry.isString())
            return fail(ConfigError::invalidMember(QStringLiteral("blockedContacts")));
        config.blockedContacts << entry.toString();
    }

    const QJsonValue builtIn = object.value(QLatin1String("builtInFilters"));
    if (!builtIn.isObject())
        return fail(ConfigError::invalidMember(QStringLiteral("builtInFilters")));
    const auto twoFactor = boolMember(builtIn.toObject(), "twoFactorCodes");
    if (!twoFactor)
        return fail(ConfigError::invalidMember(QStringLiteral("builtInFilters.twoFactorCodes")));
    const auto shortCodes = boolMember(builtIn.toObject(), "shortCodeMessages");
    if (!shortCodes)
        return fail(ConfigError::invalidMember(QStringLiteral("builtInFilters.shortCodeMessages")));
    config.builtInFilters = {*twoFactor, *shortCodes};
    return config;
}

QJsonObject SyncFilter::Config::toJson() const
{
    return QJsonObject{
        {QStringLiteral("isEnabled"), isEnabled},
        {QStringLiteral("blockedContacts"), QJsonArray::fromStringList(blockedContacts)},
        {QStringLiteral("builtInFilters"),
         QJsonObject{{QStringLiteral("twoFactorCodes"), builtInFilters.twoFactorCodes},
                     {QStringLiteral("shortCodeMessages"), builtInFilters.shortCodeMessages}}},
    };
}

SyncFilter::SyncFilter() = default;

std::optional<SyncFilter::Config> SyncFilter::config() const
{
    if (!m_rules)
        return std::nullopt;
    return m_rules->config;
}

QSet<QString> SyncFilter::blockedContactsSet() const
{
    return m_rules ? m_rules->blockedContactsSet : QSet<QString>();
}

bool SyncFilter::isActive() const
{
    return m_rules && m_rules->config.isEnabled;
}

void SyncFilter::installConfig(Config config)
{
    auto rules = std::make_shared<Rules>();
    for (const QString& entry : std::as_const(config.blockedContacts)) {
        // The same normalisation as the resolved sender it is compared with.
        if (const std::optional<QString> normalized = HandleResolver::normalize(entry))
            rules->blockedContactsSet.insert(normalized->toLower());
    }
    rules->config = std::move(config);
    log().info(QStringLiteral("Sync filter configuration installed (enabled=%1, blocked=%2, twoFactorCodes=%3, "
                              "shortCodeMessages=%4)")
                   .arg(rules->config.isEnabled)
                   .arg(rules->blockedContactsSet.size())
                   .arg(rules->config.builtInFilters.twoFactorCodes)
                   .arg(rules->config.builtInFilters.shortCodeMessages));
    m_rules = std::move(rules);
}

void SyncFilter::clearConfig()
{
    m_rules.reset();
}

bool SyncFilter::shouldWithhold(const QString& sender, const QString& text) const
{
    if (!m_rules || !m_rules->config.isEnabled)
        return false;
    if (m_rules->blockedContactsSet.contains(sender.toLower()))
        return true;
    const BuiltInFilters& builtIn = m_rules->config.builtInFilters;
    if (builtIn.twoFactorCodes && is2FACode(text, sender))
        return true;
    if (builtIn.shortCodeMessages && isShortCode(sender))
        return true;
    return false;
}

bool SyncFilter::shouldWithhold(const ChatMessage& message) const
{
    if (!isActive())
        return false;
    return shouldWithhold(senderOf(message), message.text.value_or(QString()));
}

QString SyncFilter::senderOf(const ChatMessage& message)
{
    // The reader resolves handle_id with the handle resolver's rules while it reads the page,
    // so this costs no further query.
    return message.chatParticipantId.value_or(unknownSender);
}

QString SyncFilter::cleanSender(const QString& sender)
{
    return patterns().senderPunctuation.removedFrom(sender);
}

bool SyncFilter::isShortCode(const QString& sender)
{
    const QString cleaned = cleanSender(sender);
    const Patterns& p = patterns();
    if (p.numericShortCode.foundIn(cleaned))
        return true;
    // An alphanumeric sender id has a letter as well as a digit. Nine to eleven digits alone are
    // a phone number ("+1" and ten digits cleans to eleven): counting them as short codes would
    // withhold every North American contact, and with the verification-code rule every message
    // of theirs that mentions a number.
    return p.alphanumericSenderId.foundIn(cleaned) && p.anyDigit.foundIn(cleaned) && p.anyLetter.foundIn(cleaned);
}

bool SyncFilter::is2FACode(const QString& text, const QString& sender)
{
    if (text.isEmpty())
        return false;
    if (known2FAShortCodes().contains(cleanSender(sender)))
        return true;
    const Patterns& p = patterns();
    if (p.googleStyleCode.foundIn(text))
        return true;
    if (SyncFilterPattern::chainFoundIn(text, {&p.sixDigits, &p.securityCode}))
        return true;
    if (SyncFilterPattern::chainFoundIn(text, {&p.apple, &p.sixDigits})
        || SyncFilterPattern::chainFoundIn(text, {&p.your, &p.code, &p.sixDigits}))
        return true;
    const bool digits = p.fourToEightDigits.foundIn(text);
    if (!digits)
        return false;
    return p.codeKeyword.foundIn(text) || isShortCode(sender);
}

const QSet<QString>& SyncFilter::known2FAShortCodes()
{
    static const QSet<QString> codes{
        QStringLiteral("22000"), QStringLiteral("262966"), QStringLiteral("419147"), QStringLiteral("481303"),
        QStringLiteral("425250"), QStringLiteral("80101"), QStringLiteral("227898"), QStringLiteral("227767"),
        QStringLiteral("24273"), QStringLiteral("242733"), QStringLiteral("20877"), QStringLiteral("72166"),
        QStringLiteral("32665"), QStringLiteral("60007"), QStringLiteral("84433"), QStringLiteral("78889"),
        QStringLiteral("22346"),
    };
    return codes;
}

} // namespace velto
