#pragma once

#include "contactpayload.h"
#include "contactsexportererror.h"
#include "contactstore.h"
#include "result.h"

#include <QList>

namespace velto {

// Reads every contact of the address book and flattens it: phone numbers reduced to "+" and
// digits, e-mail addresses trimmed and lower-cased, texts trimmed, empty values left out.
// Blocks while it reads; call it off the main and relay threads. Keeps no state between calls.
class ContactsExporter {
public:
    // The ten properties fetched, in this order.
    static const ContactKeys keysToFetch;

    explicit ContactsExporter(ContactStore store = ContactStore());

    const ContactStore& store() const { return m_store; }

    // Asks for access, then reads and converts every contact in the store's order. There is
    // no partial result: any failure ends the export.
    Result<QList<ContactPayload>, ContactsExporterError> exportContacts() const;

    static ContactPayload convert(const StoredContact& contact);
    // Trimmed, then only "+" and the digits 0-9 kept, wherever they stand.
    static QString normalizePhoneNumber(const QString& number);

private:
    ContactStore m_store;
};

} // namespace velto
