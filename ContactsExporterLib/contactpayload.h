#pragma once

#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

namespace velto {

// One URL of a contact; both fields always set.
struct ContactURL {
    QString label;
    QString value;

    bool operator==(const ContactURL&) const = default;
};

// One exported contact. Field names are the keys of the contact objects sent to the server;
// an absent field is left out there.
struct ContactPayload {
    std::optional<QString> apple_contact_id;
    QString name;
    std::optional<QString> organization;
    std::optional<QString> job_title;
    std::optional<QStringList> phone_numbers;
    std::optional<QStringList> email_addresses;
    std::optional<QList<ContactURL>> urls;
    std::optional<QString> notes;

    bool operator==(const ContactPayload&) const = default;
};

} // namespace velto
