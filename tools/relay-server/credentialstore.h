#pragma once

#include "result.h"

#include <QDateTime>
#include <QHash>
#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <optional>

namespace velto::relayserver {

struct Tenant {
    QString id;
    QString name;
};

// Why a registration was refused. code() is the "error" member of the answer, chosen so the
// relay's advice mapping recognises it.
class RegistrationFailure {
public:
    enum class Code { invalidRequest, invalidTokenFormat, tokenNotFound, tokenExpired, tokenUsed, relayAlreadyRegistered,
                      storageFailed };
    RegistrationFailure(Code code, QString detail = {}) : m_code(code), m_detail(std::move(detail)) {}
    Code kind() const { return m_code; }
    int httpStatus() const;
    QString code() const;
    QString description() const;

private:
    Code m_code;
    QString m_detail;
};

struct IssuedToken {
    QString token;
    QDateTime expiresAt;
};

struct RegistrationRequest {
    QString token;
    QString relayId;
    QString name;
    QString ownerName;
    QJsonObject deviceInfo;
};

struct RegisteredRelay {
    QString relayId;
    QString apiKey; // only known right after registration; stored as a hash
    Tenant tenant;
    QString name;
    QString ownerName;
    QJsonObject deviceInfo;
    qint64 registeredAt = 0;

    QJsonObject toJson() const; // without the key
};

// Who holds an accepted API key.
struct KeyOwner {
    Tenant tenant;
    QString relayId; // empty for keys given on the command line
};

// Registration tokens and the API keys issued for them. Tokens are single use. Only hashes of
// tokens and keys are kept, in "registrations.json" in the data folder (mode 0600) when one is
// set, so issued keys survive a restart.
class CredentialStore {
public:
    CredentialStore(QString dataDir, Tenant tenant, QStringList staticKeys, bool rejectReregistration);

    Result<void, QString> load();

    IssuedToken issueToken(qint64 ttlSeconds);
    Result<RegisteredRelay, RegistrationFailure> redeem(const RegistrationRequest& request);
    std::optional<KeyOwner> ownerOf(const QString& apiKey) const;
    QList<RegisteredRelay> registrations() const;

    static const QLatin1String tokenPrefix;
    // The shape the relay checks before sending a token.
    static bool hasTokenFormat(const QString& token);

private:
    struct TokenRecord {
        qint64 expiresAt = 0; // Unix milliseconds
        qint64 usedAt = 0;    // 0 while unused
    };
    static QString hash(const QString& secret);
    static QString randomText(int length);
    Result<void, QString> save() const;

    QString m_dataDir;
    Tenant m_tenant;
    QStringList m_staticKeys;
    bool m_rejectReregistration;
    QHash<QString, TokenRecord> m_tokens;     // by token hash
    QHash<QString, RegisteredRelay> m_relays; // by key hash
};

} // namespace velto::relayserver
