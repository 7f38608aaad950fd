#include "persistedwizardstate.h"

#include "configuration.h"
#include "filestore.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace velto {

namespace {

constexpr qint64 referenceDateUnixSeconds = 978307200; // 2001-01-01T00:00:00Z

// A decoded member: absent, present with a value, or present with the wrong type.
template <typename T>
struct Member {
    bool ok = true;
    std::optional<T> value;
};

bool absent(const QJsonValue& v)
{
    return v.isUndefined() || v.isNull();
}

Member<QString> stringAt(const QJsonObject& o, const char* key)
{
    const QJsonValue v = o.value(QLatin1String(key));
    if (absent(v))
        return {};
    if (!v.isString())
        return {false, {}};
    return {true, v.toString()};
}

std::optional<bool> requiredBool(const QJsonObject& o, const char* key)
{
    const QJsonValue v = o.value(QLatin1String(key));
    return v.isBool() ? std::optional<bool>(v.toBool()) : std::nullopt;
}

Member<PersistedPermissionStates> permissionStatesAt(const QJsonObject& o, const char* key)
{
    const QJsonValue v = o.value(QLatin1String(key));
    if (absent(v))
        return {};
    const QJsonObject states = v.toObject();
    const QJsonValue fullDisk = states.value(QLatin1String("fullDisk"));
    const QJsonValue contacts = states.value(QLatin1String("contacts"));
    if (!v.isObject() || !fullDisk.isString() || !contacts.isString())
        return {false, {}};
    return {true, PersistedPermissionStates{fullDisk.toString(), contacts.toString()}};
}

Member<PermissionsAcknowledged> acknowledgementsAt(const QJsonObject& o, const char* key)
{
    const QJsonValue v = o.value(QLatin1String(key));
    if (absent(v))
        return {};
    if (!v.isObject())
        return {false, {}};
    const QJsonObject a = v.toObject();
    const auto fullDisk = requiredBool(a, "fullDisk");
    const auto contacts = requiredBool(a, "contacts");
    const auto override = requiredBool(a, "override");
    if (!fullDisk || !contacts || !override)
        return {false, {}};

    PermissionsAcknowledged acknowledged{*fullDisk, *contacts, *override, {}, {}, {}};
    const QJsonValue timestamp = a.value(QLatin1String("overrideTimestamp"));
    if (!absent(timestamp)) {
        if (!timestamp.isDouble())
            return {false, {}};
        acknowledged.overrideTimestamp = timestamp.toDouble();
    }
    const QJsonValue overridden = a.value(QLatin1String("overriddenPermissions"));
    if (!absent(overridden)) {
        if (!overridden.isArray())
            return {false, {}};
        QStringList names;
        for (const QJsonValue& name : overridden.toArray()) {
            if (!name.isString())
                return {false, {}};
            names.append(name.toString());
        }
        acknowledged.overriddenPermissions = names;
    }
    const auto states = permissionStatesAt(a, "lastCheckedStates");
    if (!states.ok)
        return {false, {}};
    acknowledged.lastCheckedStates = states.value;
    return {true, acknowledged};
}

Member<QList<ManualAccount>> accountsAt(const QJsonObject& o, const char* key)
{
    const QJsonValue v = o.value(QLatin1String(key));
    if (absent(v))
        return {};
    if (!v.isArray())
        return {false, {}};
    QList<ManualAccount> accounts;
    for (const QJsonValue& entry : v.toArray()) {
        const auto account = entry.isObject() ? ManualAccount::fromJson(entry.toObject()) : std::nullopt;
        if (!account)
            return {false, {}};
        accounts.append(*account);
    }
    return {true, accounts};
}

QJsonObject encodeAcknowledged(const PermissionsAcknowledged& a)
{
    QJsonObject o{{QStringLiteral("fullDisk"), a.fullDisk},
                  {QStringLiteral("contacts"), a.contacts},
                  {QStringLiteral("override"), a.override}};
    if (a.overrideTimestamp)
        o.insert(QStringLiteral("overrideTimestamp"), *a.overrideTimestamp);
    if (a.overriddenPermissions)
        o.insert(QStringLiteral("overriddenPermissions"), QJsonArray::fromStringList(*a.overriddenPermissions));
    if (a.lastCheckedStates)
        o.insert(QStringLiteral("lastCheckedStates"),
                 QJsonObject{{QStringLiteral("fullDisk"), a.lastCheckedStates->fullDisk},
                             {QStringLiteral("contacts"), a.lastCheckedStates->contacts}});
    return o;
}

} // namespace

QByteArray PersistedWizardState::encode() const
{
    QJsonObject o;
    if (token)
        o.insert(QStringLiteral("token"), *token);
    if (relayName)
        o.insert(QStringLiteral("relayName"), *relayName);
    if (permissionsAcknowledged)
        o.insert(QStringLiteral("permissionsAcknowledged"), encodeAcknowledged(*permissionsAcknowledged));
    if (manualAccounts) {
        QJsonArray accounts;
        for (const ManualAccount& account : *manualAccounts)
            accounts.append(account.toJson());
        o.insert(QStringLiteral("manualAccounts"), accounts);
    }
    if (completedAt)
        o.insert(QStringLiteral("completedAt"), *completedAt);
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

std::optional<PersistedWizardState> PersistedWizardState::decode(const QByteArray& json)
{
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(json, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return std::nullopt;
    const QJsonObject o = document.object();

    const auto token = stringAt(o, "token");
    const auto relayName = stringAt(o, "relayName");
    const auto acknowledged = acknowledgementsAt(o, "permissionsAcknowledged");
    const auto accounts = accountsAt(o, "manualAccounts");
    const auto completedAt = stringAt(o, "completedAt");
    if (!token.ok || !relayName.ok || !acknowledged.ok || !accounts.ok || !completedAt.ok)
        return std::nullopt;
    return PersistedWizardState{token.value, relayName.value, acknowledged.value, accounts.value, completedAt.value};
}

bool PersistedWizardState::exists()
{
    return QFile::exists(Configuration::wizardStateFile());
}

std::optional<PersistedWizardState> PersistedWizardState::load()
{
    QFile file(Configuration::wizardStateFile());
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    return decode(file.readAll());
}

Result<void, QString> PersistedWizardState::save() const
{
    if (auto dir = Configuration::ensureConfigDir(); !dir)
        return dir;
    return FileStore::writeAtomically(Configuration::wizardStateFile(), encode(), 0600);
}

QString PersistedWizardState::timestamp(const QDateTime& moment)
{
    return moment.toUTC().toString(QStringLiteral("yyyy-MM-dd'T'HH:mm:ss'Z'"));
}

double PersistedWizardState::secondsSinceReferenceDate(const QDateTime& moment)
{
    return double(moment.toMSecsSinceEpoch()) / 1000.0 - double(referenceDateUnixSeconds);
}

} // namespace velto
