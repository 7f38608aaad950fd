#pragma once

#include <QJsonObject>
#include <QString>
#include <QUuid>

#include <optional>

namespace velto {

// What kind of address an account is; the raw values are the wire and file form.
enum class AccountType { phone, email };

QString toString(AccountType type);
std::optional<AccountType> accountTypeFromString(const QString& raw);

// One address the Mac sends from, found by detection or typed by the user.
struct ManualAccount {
    QUuid id;
    AccountType type = AccountType::phone;
    QString value;

    // A record with a new random id.
    static ManualAccount create(AccountType type, const QString& value);

    // {"id": UUID in the standard textual form, "type": "phone"|"email", "value": ...}.
    QJsonObject toJson() const;
    // All three keys are required; none when one is missing or malformed.
    static std::optional<ManualAccount> fromJson(const QJsonObject& object);

    bool operator==(const ManualAccount&) const = default;
};

} // namespace velto
