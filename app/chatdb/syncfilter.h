#pragma once

#include "chatmessage.h"

#include <result.h>

#include <QJsonObject>
#include <QJsonValue>
#include <QSet>
#include <QString>
#include <QStringList>

#include <memory>
#include <optional>

namespace velto {

// Decides which messages of a historical-sync page are withheld from the server: messages from
// blocked contacts, one-time verification codes and messages from SMS short codes. Created
// empty (every message passes) and active once a configuration is installed.
//
// Patterns follow ICU regular-expression semantics (Unicode \d, \s and \b, "." stopping at line
// ends), run through ICU itself.
//
// A copy is a snapshot: it keeps the configuration it was copied with, whatever is installed
// in the original later, so a worker may take one and use it on a pool thread. The original
// itself belongs to one thread.
class SyncFilter {
public:
    struct BuiltInFilters {
        bool twoFactorCodes = false;
        bool shortCodeMessages = false;

        bool operator==(const BuiltInFilters&) const = default;
    };

    // Why a configuration could not be decoded.
    class ConfigError {
    public:
        enum class Kind { notAnObject, invalidMember };

        static ConfigError notAnObject() { return ConfigError(Kind::notAnObject, {}); }
        // `member` is missing or has the wrong type ("builtInFilters.twoFactorCodes", …).
        static ConfigError invalidMember(const QString& member) { return ConfigError(Kind::invalidMember, member); }

        Kind kind() const { return m_kind; }
        QString member() const { return m_member; }
        QString description() const;

        bool operator==(const ConfigError&) const = default;

    private:
        ConfigError(Kind kind, QString member) : m_kind(kind), m_member(std::move(member)) {}
        Kind m_kind;
        QString m_member;
    };

    struct Config {
        bool isEnabled = false;
        QStringList blockedContacts;
        BuiltInFilters builtInFilters;

        bool operator==(const Config&) const = default;

        // {"isEnabled": bool, "blockedContacts": [string…], "builtInFilters": {"twoFactorCodes":
        // bool, "shortCodeMessages": bool}}; every key is required, other keys are ignored.
        static Result<Config, ConfigError> fromJson(const QJsonValue& value);
        QJsonObject toJson() const;
    };

    SyncFilter();

    std::optional<Config> config() const;
    // The blocked handles as the sender is compared: normalised like a resolved handle, lower case.
    QSet<QString> blockedContactsSet() const;
    // A configuration is installed and switched on.
    bool isActive() const;

    // Replaces the configuration and the blocked set in one step, so a page never sees one
    // without the other. Entries are normalised as handles are ("+1 (555) 000-1111" →
    // "+15550001111", e-mail addresses in lower case); blank entries are dropped.
    void installConfig(Config config);
    // Back to the state at creation: no configuration, every message passes.
    void clearConfig();

    // The decision for one message, from its sender (the normalised handle, "unknown" when it
    // did not resolve) and its text (empty when absent). Incoming and outgoing messages alike.
    bool shouldWithhold(const QString& sender, const QString& text) const;
    bool shouldWithhold(const ChatMessage& message) const;

    // The sender the filter judges a message by: the reader's resolved handle, else "unknown".
    static QString senderOf(const ChatMessage& message);
    // The text looks like a verification-code message.
    static bool is2FACode(const QString& text, const QString& sender);
    // The sender is a numeric short code of 4 to 8 digits, or an alphanumeric sender id (2 to 11
    // upper-case letters and digits, with at least one of each).
    static bool isShortCode(const QString& sender);
    // The sender without plus signs, white space and hyphens.
    static QString cleanSender(const QString& sender);
    // Short codes of services known to send verification codes.
    static const QSet<QString>& known2FAShortCodes();

private:
    struct Rules {
        Config config;
        QSet<QString> blockedContactsSet;
    };

    // Shared and never modified: installing swaps the pointer.
    std::shared_ptr<const Rules> m_rules;
};

} // namespace velto
