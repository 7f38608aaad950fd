#include "contactsexporter.h"

namespace velto {

const ContactKeys ContactsExporter::keysToFetch = ContactKey::identifier | ContactKey::givenName
    | ContactKey::middleName | ContactKey::familyName | ContactKey::organizationName | ContactKey::jobTitle
    | ContactKey::phoneNumbers | ContactKey::emailAddresses | ContactKey::urlAddresses | ContactKey::note;

namespace {

std::optional<QString> trimmedOrAbsent(const QString& text)
{
    QString trimmed = text.trimmed();
    if (trimmed.isEmpty())
        return std::nullopt;
    return trimmed;
}

template <typename List>
std::optional<List> nonEmptyOrAbsent(List list)
{
    if (list.isEmpty())
        return std::nullopt;
    return list;
}

} // namespace

ContactsExporter::ContactsExporter(ContactStore store)
    : m_store(std::move(store))
{
}

Result<QList<ContactPayload>, ContactsExporterError> ContactsExporter::exportContacts() const
{
    const ContactStore::AccessAnswer access = m_store.requestAccess();
    if (access.error)
        return fail(ContactsExporterError::fetchFailed(*access.error));
    if (!access.granted)
        return fail(ContactsExporterError::permissionDenied());

    auto fetched = m_store.enumerateContacts(keysToFetch);
    if (!fetched)
        return fail(ContactsExporterError::fetchFailed(fetched.error().description()));

    QList<ContactPayload> payloads;
    payloads.reserve(fetched->size());
    for (const StoredContact& contact : std::as_const(*fetched))
        payloads.append(convert(contact));
    return payloads;
}

QString ContactsExporter::normalizePhoneNumber(const QString& number)
{
    QString kept;
    for (QChar c : number.trimmed()) {
        if (c == u'+' || (c >= u'0' && c <= u'9'))
            kept += c;
    }
    return kept;
}

ContactPayload ContactsExporter::convert(const StoredContact& contact)
{
    ContactPayload payload;

    QStringList nameParts;
    for (const QString* part : {&contact.givenName, &contact.middleName, &contact.familyName}) {
        if (!part->isEmpty())
            nameParts.append(*part);
    }
    payload.name = nameParts.isEmpty() ? QStringLiteral("Unknown Contact") : nameParts.join(u' ');

    QStringList phones;
    for (const ContactLabeledValue& phone : contact.phoneNumbers) {
        // A number that is only blanks is skipped; one with no digits at all stays as "".
        if (phone.value.trimmed().isEmpty())
            continue;
        phones.append(normalizePhoneNumber(phone.value));
    }
    payload.phone_numbers = nonEmptyOrAbsent(phones);

    QStringList emails;
    for (const ContactLabeledValue& email : contact.emailAddresses) {
        const QString trimmed = email.value.trimmed();
        if (!trimmed.isEmpty())
            emails.append(trimmed.toLower());
    }
    payload.email_addresses = nonEmptyOrAbsent(emails);

    QList<ContactURL> urls;
    for (const ContactLabeledValue& url : contact.urlAddresses) {
        const QString trimmed = url.value.trimmed();
        if (trimmed.isEmpty())
            continue;
        const QString label = url.label.isEmpty() ? QStringLiteral("website") : url.label;
        urls.append({ContactStore::localizedStringForLabel(label), trimmed});
    }
    payload.urls = nonEmptyOrAbsent(urls);

    payload.organization = trimmedOrAbsent(contact.organizationName);
    payload.job_title = trimmedOrAbsent(contact.jobTitle);
    if (contact.isKeyAvailable(ContactKey::note))
        payload.notes = trimmedOrAbsent(contact.note);
    payload.apple_contact_id = contact.identifier;
    return payload;
}

} // namespace velto
