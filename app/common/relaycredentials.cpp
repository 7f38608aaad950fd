#include "relaycredentials.h"

#include "configuration.h"
#include "filestore.h"
#include "logger.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

namespace velto {

namespace {
const Logger& log()
{
    static const Logger logger("Configuration");
    return logger;
}

// A present key of the wrong type makes the file unreadable; null counts as absent.
bool readOptionalString(const QJsonObject& o, const char* key, std::optional<QString>& out)
{
    const QJsonValue v = o.value(QLatin1String(key));
    if (v.isUndefined() || v.isNull())
        return true;
    if (!v.isString())
        return false;
    out = v.toString();
    return true;
}
} // namespace

std::optional<RelayCredentials> RelayCredentials::decode(const QByteArray& json)
{
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(json, &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject())
        return std::nullopt;
    const QJsonObject o = doc.object();
    const QJsonValue relayId = o.value(QLatin1String("relayId"));
    const QJsonValue tenantId = o.value(QLatin1String("tenantId"));
    const QJsonValue apiKey = o.value(QLatin1String("apiKey"));
    if (!relayId.isString() || !tenantId.isString() || !apiKey.isString())
        return std::nullopt;

    RelayCredentials c;
    c.relayId = relayId.toString();
    c.tenantId = tenantId.toString();
    c.apiKey = apiKey.toString();
    if (!readOptionalString(o, "tenantName", c.tenantName) || !readOptionalString(o, "backendUrl", c.backendUrl))
        return std::nullopt;
    const QJsonValue registeredAt = o.value(QLatin1String("registeredAt"));
    if (!registeredAt.isUndefined() && !registeredAt.isNull()) {
        const double ms = registeredAt.toDouble(-1);
        if (!registeredAt.isDouble() || ms < 0 || ms != double(quint64(ms)))
            return std::nullopt;
        c.registeredAt = quint64(ms);
    }
    return c;
}

QByteArray RelayCredentials::encode() const
{
    // QJsonObject keeps its keys sorted, which gives the sorted file layout.
    QJsonObject o{{QStringLiteral("relayId"), relayId},
                  {QStringLiteral("tenantId"), tenantId},
                  {QStringLiteral("apiKey"), apiKey}};
    if (tenantName)
        o.insert(QStringLiteral("tenantName"), *tenantName);
    if (backendUrl)
        o.insert(QStringLiteral("backendUrl"), *backendUrl);
    if (registeredAt)
        o.insert(QStringLiteral("registeredAt"), qint64(*registeredAt));
    return QJsonDocument(o).toJson(QJsonDocument::Indented);
}

std::optional<RelayCredentials> RelayCredentials::load()
{
    const QString path = Configuration::relayAuthFile();
    QFile file(path);
    std::optional<RelayCredentials> credentials;
    if (file.open(QIODevice::ReadOnly))
        credentials = decode(file.readAll());
    if (!credentials)
        log().error(QStringLiteral("No relay credentials found at %1").arg(path));
    return credentials;
}

Result<void, QString> RelayCredentials::save() const
{
    if (auto dir = Configuration::ensureConfigDir(); !dir)
        return dir;
    return FileStore::writeAtomically(Configuration::relayAuthFile(), encode(), 0600);
}

} // namespace velto
