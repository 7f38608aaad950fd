#include "manualaccount.h"

namespace velto {

QString toString(AccountType type)
{
    switch (type) {
    case AccountType::phone:
        return QStringLiteral("phone");
    case AccountType::email:
        return QStringLiteral("email");
    }
    return QStringLiteral("phone");
}

std::optional<AccountType> accountTypeFromString(const QString& raw)
{
    if (raw == QLatin1String("phone"))
        return AccountType::phone;
    if (raw == QLatin1String("email"))
        return AccountType::email;
    return std::nullopt;
}

ManualAccount ManualAccount::create(AccountType type, const QString& value)
{
    return {QUuid::createUuid(), type, value};
}

QJsonObject ManualAccount::toJson() const
{
    // Upper case, as the relay's home platform writes UUIDs.
    return {{QStringLiteral("id"), id.toString(QUuid::WithoutBraces).toUpper()},
            {QStringLiteral("type"), toString(type)},
            {QStringLiteral("value"), value}};
}

std::optional<ManualAccount> ManualAccount::fromJson(const QJsonObject& object)
{
    const QJsonValue id = object.value(QLatin1String("id"));
    const QJsonValue type = object.value(QLatin1String("type"));
    const QJsonValue value = object.value(QLatin1String("value"));
    if (!id.isString() || !type.isString() || !value.isString())
        return std::nullopt;
    const QUuid uuid = QUuid::fromString(id.toString());
    const auto accountType = accountTypeFromString(type.toString());
    // Only the plain 36-character form is a UUID string here, not the braced one.
    if (uuid.isNull() || id.toString().size() != 36 || !accountType)
        return std::nullopt;
    return ManualAccount{uuid, *accountType, value.toString()};
}

} // namespace velto
