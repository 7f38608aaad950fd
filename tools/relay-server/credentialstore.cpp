#include "credentialstore.h"

#include "filestore.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRandomGenerator>

namespace velto::relayserver {

const QLatin1String CredentialStore::tokenPrefix("velt_");

namespace {
const QLatin1String storeFileName("registrations.json");
constexpr qint64 forgetExpiredAfterMs = 24 * 3600 * 1000;
} // namespace

int RegistrationFailure::httpStatus() const
{
    switch (m_code) {
    case Code::invalidRequest:
    case Code::invalidTokenFormat:
        return 400;
    case Code::tokenNotFound:
        return 404;
    case Code::tokenExpired:
    case Code::tokenUsed:
        return 410;
    case Code::relayAlreadyRegistered:
        return 409;
    case Code::storageFailed:
        return 500;
    }
    return 500;
}

QString RegistrationFailure::code() const
{
    switch (m_code) {
    case Code::invalidRequest:
        return QStringLiteral("invalid_request");
    case Code::invalidTokenFormat:
        return QStringLiteral("invalid_token_format");
    case Code::tokenNotFound:
        return QStringLiteral("token_not_found");
    case Code::tokenExpired:
        return QStringLiteral("token_expired");
    case Code::tokenUsed:
        return QStringLiteral("token_exhausted");
    case Code::relayAlreadyRegistered:
        return QStringLiteral("relay_already_registered");
    case Code::storageFailed:
        return QStringLiteral("storage_failed");
    }
    return {};
}

QString RegistrationFailure::description() const
{
    switch (m_code) {
    case Code::invalidRequest:
        return QStringLiteral("Invalid registration request: %1").arg(m_detail);
    case Code::invalidTokenFormat:
        return QStringLiteral("The registration token is malformed");
    case Code::tokenNotFound:
        return QStringLiteral("Unknown registration token");
    case Code::tokenExpired:
        return QStringLiteral("The registration token has expired");
    case Code::tokenUsed:
        return QStringLiteral("The registration token has already been used");
    case Code::relayAlreadyRegistered:
        return QStringLiteral("This relay is already registered");
    case Code::storageFailed:
        return QStringLiteral("Cannot store the registration: %1").arg(m_detail);
    }
    return {};
}

QJsonObject RegisteredRelay::toJson() const
{
    return {{QStringLiteral("relayId"), relayId},
            {QStringLiteral("tenantId"), tenant.id},
            {QStringLiteral("tenantName"), tenant.name},
            {QStringLiteral("name"), name},
            {QStringLiteral("ownerName"), ownerName},
            {QStringLiteral("deviceInfo"), deviceInfo},
            {QStringLiteral("registeredAt"), registeredAt}};
}

CredentialStore::CredentialStore(QString dataDir, Tenant tenant, QStringList staticKeys, bool rejectReregistration)
    : m_dataDir(std::move(dataDir))
    , m_tenant(std::move(tenant))
    , m_staticKeys(std::move(staticKeys))
    , m_rejectReregistration(rejectReregistration)
{
}

bool CredentialStore::hasTokenFormat(const QString& token)
{
    if (!token.startsWith(tokenPrefix))
        return false;
    const QString rest = token.mid(tokenPrefix.size());
    const qsizetype underscore = rest.indexOf(QLatin1Char('_'));
    return rest.size() > 8 && underscore >= 8 && underscore + 1 < rest.size();
}

QString CredentialStore::hash(const QString& secret)
{
    return QString::fromLatin1(QCryptographicHash::hash(secret.toUtf8(), QCryptographicHash::Sha256).toHex());
}

QString CredentialStore::randomText(int length)
{
    static const QLatin1String alphabet("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789");
    QString text;
    text.reserve(length);
    for (int i = 0; i < length; ++i)
        text.append(alphabet.at(QRandomGenerator::system()->bounded(int(alphabet.size()))));
    return text;
}

Result<void, QString> CredentialStore::load()
{
    if (m_dataDir.isEmpty())
        return {};
    if (auto made = FileStore::ensureDirectory(m_dataDir); !made)
        return made;
    QFile file(QDir(m_dataDir).filePath(storeFileName));
    if (!file.exists())
        return {};
    if (!file.open(QIODevice::ReadOnly))
        return fail(QStringLiteral("Cannot read %1: %2").arg(file.fileName(), file.errorString()));
    const QJsonObject root = QJsonDocument::fromJson(file.readAll()).object();
    for (const QJsonValue& value : root.value(QLatin1String("tokens")).toArray()) {
        const QJsonObject token = value.toObject();
        m_tokens.insert(token.value(QLatin1String("hash")).toString(),
                        TokenRecord{qint64(token.value(QLatin1String("expiresAt")).toDouble()),
                                    qint64(token.value(QLatin1String("usedAt")).toDouble())});
    }
    for (const QJsonValue& value : root.value(QLatin1String("relays")).toArray()) {
        const QJsonObject relay = value.toObject();
        RegisteredRelay record;
        record.relayId = relay.value(QLatin1String("relayId")).toString();
        record.tenant = {relay.value(QLatin1String("tenantId")).toString(),
                         relay.value(QLatin1String("tenantName")).toString()};
        record.name = relay.value(QLatin1String("name")).toString();
        record.ownerName = relay.value(QLatin1String("ownerName")).toString();
        record.deviceInfo = relay.value(QLatin1String("deviceInfo")).toObject();
        record.registeredAt = qint64(relay.value(QLatin1String("registeredAt")).toDouble());
        m_relays.insert(relay.value(QLatin1String("keyHash")).toString(), record);
    }
    return {};
}

Result<void, QString> CredentialStore::save() const
{
    if (m_dataDir.isEmpty())
        return {};
    QJsonArray tokens;
    for (auto it = m_tokens.cbegin(); it != m_tokens.cend(); ++it)
        tokens.append(QJsonObject{{QStringLiteral("hash"), it.key()},
                                  {QStringLiteral("expiresAt"), it->expiresAt},
                                  {QStringLiteral("usedAt"), it->usedAt}});
    QJsonArray relays;
    for (auto it = m_relays.cbegin(); it != m_relays.cend(); ++it) {
        QJsonObject relay = it->toJson();
        relay.insert(QStringLiteral("keyHash"), it.key());
        relays.append(relay);
    }
    const QJsonObject root{{QStringLiteral("tokens"), tokens}, {QStringLiteral("relays"), relays}};
    return FileStore::writeAtomically(QDir(m_dataDir).filePath(storeFileName),
                                      QJsonDocument(root).toJson(QJsonDocument::Indented), 0600);
}

IssuedToken CredentialStore::issueToken(qint64 ttlSeconds)
{
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    // Expired tokens are kept a while so a late attempt hears "expired" rather than "unknown".
    m_tokens.removeIf([now](const auto& entry) { return entry.value().expiresAt + forgetExpiredAfterMs < now; });

    const QString token = tokenPrefix + randomText(12) + QLatin1Char('_') + randomText(32);
    const qint64 expiresAt = now + ttlSeconds * 1000;
    m_tokens.insert(hash(token), TokenRecord{expiresAt, 0});
    save(); // a token that is not persisted still works until a restart
    return {token, QDateTime::fromMSecsSinceEpoch(expiresAt, Qt::UTC)};
}

Result<RegisteredRelay, RegistrationFailure> CredentialStore::redeem(const RegistrationRequest& request)
{
    using Code = RegistrationFailure::Code;
    const QString token = request.token.trimmed();
    if (!hasTokenFormat(token))
        return fail(RegistrationFailure(Code::invalidTokenFormat));
    const QString tokenHash = hash(token);
    if (!m_tokens.contains(tokenHash))
        return fail(RegistrationFailure(Code::tokenNotFound));
    const TokenRecord record = m_tokens.value(tokenHash);
    if (record.usedAt != 0)
        return fail(RegistrationFailure(Code::tokenUsed));
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    if (now >= record.expiresAt)
        return fail(RegistrationFailure(Code::tokenExpired));

    const QString relayId = request.relayId.isEmpty() ? randomText(24) : request.relayId;
    const auto sameRelay = [&relayId](const auto& entry) { return entry.value().relayId == relayId; };
    const bool known = std::any_of(m_relays.keyValueBegin(), m_relays.keyValueEnd(),
                                   [&relayId](const auto& entry) { return entry.second.relayId == relayId; });
    if (known && m_rejectReregistration)
        return fail(RegistrationFailure(Code::relayAlreadyRegistered));

    RegisteredRelay relay;
    relay.relayId = relayId;
    relay.apiKey = QStringLiteral("vrk_") + randomText(40);
    relay.tenant = m_tenant;
    relay.name = request.name;
    relay.ownerName = request.ownerName;
    relay.deviceInfo = request.deviceInfo;
    relay.registeredAt = now;

    const QHash<QString, TokenRecord> previousTokens = m_tokens;
    const QHash<QString, RegisteredRelay> previousRelays = m_relays;
    m_tokens.insert(tokenHash, TokenRecord{record.expiresAt, now});
    // One key per relay: registering again replaces the earlier key.
    m_relays.removeIf(sameRelay);
    m_relays.insert(hash(relay.apiKey), relay);
    if (auto saved = save(); !saved) {
        // Nothing was handed out, so the token stays usable.
        m_tokens = previousTokens;
        m_relays = previousRelays;
        return fail(RegistrationFailure(Code::storageFailed, saved.error()));
    }
    return relay;
}

std::optional<KeyOwner> CredentialStore::ownerOf(const QString& apiKey) const
{
    if (apiKey.isEmpty())
        return std::nullopt;
    if (m_staticKeys.contains(apiKey))
        return KeyOwner{m_tenant, {}};
    const auto found = m_relays.constFind(hash(apiKey));
    if (found == m_relays.cend())
        return std::nullopt;
    return KeyOwner{found->tenant, found->relayId};
}

QList<RegisteredRelay> CredentialStore::registrations() const
{
    QList<RegisteredRelay> list = m_relays.values();
    std::sort(list.begin(), list.end(),
              [](const RegisteredRelay& a, const RegisteredRelay& b) { return a.registeredAt < b.registeredAt; });
    return list;
}

} // namespace velto::relayserver
