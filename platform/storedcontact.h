#pragma once

#include <QByteArray>
#include <QFlags>
#include <QList>
#include <QString>

namespace velto {

// The properties a caller may ask the contact store for; a property that was not asked for is
// left empty and reported as unavailable, the way the address-book framework behaves.
enum class ContactKey : quint32 {
    identifier = 1u << 0,
    givenName = 1u << 1,
    middleName = 1u << 2,
    familyName = 1u << 3,
    nickname = 1u << 4,
    organizationName = 1u << 5,
    jobTitle = 1u << 6,
    phoneNumbers = 1u << 7,
    emailAddresses = 1u << 8,
    urlAddresses = 1u << 9,
    note = 1u << 10,
    imageData = 1u << 11,
};
Q_DECLARE_FLAGS(ContactKeys, ContactKey)
Q_DECLARE_OPERATORS_FOR_FLAGS(ContactKeys)

inline constexpr ContactKeys allContactKeys = ContactKeys::fromInt(0xfff);

// A phone number, e-mail address or URL with its label: either one of the framework's label
// constants ("_$!<Home>!$_", "_$!<Mobile>!$_", "iPhone", ...) or a user's own text; empty when
// the value has none.
struct ContactLabeledValue {
    QString label;
    QString value;

    bool operator==(const ContactLabeledValue&) const = default;
};

// One contact as the store hands it out. Texts are as stored (not trimmed).
struct StoredContact {
    QString identifier;
    QString givenName;
    QString middleName;
    QString familyName;
    QString nickname;
    QString organizationName;
    QString jobTitle;
    QList<ContactLabeledValue> phoneNumbers;
    QList<ContactLabeledValue> emailAddresses;
    QList<ContactLabeledValue> urlAddresses;
    QString note;
    QByteArray imageData;
    ContactKeys fetchedKeys = allContactKeys;

    bool isKeyAvailable(ContactKey key) const { return fetchedKeys.testFlag(key); }
};

} // namespace velto
