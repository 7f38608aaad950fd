#pragma once

#include "storedcontact.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QList>
#include <QString>

namespace velto::test {

// A contact as compact JSON for comparisons: only the fields that are set, labelled values as
// "label|value", the photo as its size.
inline QJsonObject summary(const StoredContact& contact)
{
    QJsonObject out{{QStringLiteral("id"), contact.identifier}};
    const auto text = [&out](const char* key, const QString& value) {
        if (!value.isEmpty())
            out.insert(QLatin1String(key), value);
    };
    const auto list = [&out](const char* key, const QList<ContactLabeledValue>& values) {
        if (values.isEmpty())
            return;
        QJsonArray array;
        for (const ContactLabeledValue& value : values)
            array.append(QString(value.label + u'|' + value.value));
        out.insert(QLatin1String(key), array);
    };
    text("given", contact.givenName);
    text("middle", contact.middleName);
    text("family", contact.familyName);
    text("nick", contact.nickname);
    text("org", contact.organizationName);
    text("title", contact.jobTitle);
    list("tel", contact.phoneNumbers);
    list("email", contact.emailAddresses);
    list("url", contact.urlAddresses);
    text("note", contact.note);
    if (!contact.imageData.isEmpty())
        out.insert(QStringLiteral("photo"), QString::fromLatin1(contact.imageData.toHex()));
    return out;
}

inline QByteArray summaries(const QList<StoredContact>& contacts)
{
    QJsonArray array;
    for (const StoredContact& contact : contacts)
        array.append(summary(contact));
    return QJsonDocument(array).toJson(QJsonDocument::Compact);
}

// The same JSON written by hand in a test, normalised the way summaries() writes it.
inline QByteArray normalisedJson(const QByteArray& json)
{
    return QJsonDocument::fromJson(json).toJson(QJsonDocument::Compact);
}

inline bool writeFile(const QString& path, const QByteArray& content)
{
    if (!QDir().mkpath(QFileInfo(path).absolutePath()))
        return false;
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(content) == content.size();
}

// One vCard 3.0 card; `extra` lines are added before END (each ending in CRLF).
inline QByteArray card30(const QByteArray& uid, const QByteArray& structuredName, const QByteArray& extra = {})
{
    return "BEGIN:VCARD\r\nVERSION:3.0\r\nUID:" + uid + "\r\nN:" + structuredName + "\r\n" + extra + "END:VCARD\r\n";
}

} // namespace velto::test
