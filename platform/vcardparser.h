#pragma once

#include "storedcontact.h"

#include <QByteArray>
#include <QList>
#include <QString>

namespace velto {

// Reads vCard documents (2.1, 3.0 and 4.0) into contact records: folded lines, quoted-printable
// soft breaks, escaped texts, quoted and caret-encoded parameters, TYPE parameters and grouped
// X-ABLabel lines as labels, several cards per document, inline PHOTO data. Input comes from
// files anyone can drop into the address-book folder, so every size is bounded and nothing
// in the input can make the work more than linear in its length.
class VCardParser {
public:
    struct Limits {
        qsizetype maxLineBytes = 8 * 1024 * 1024; // one unfolded property; a photo is the largest
        int maxPropertiesPerCard = 2000;
        int maxValuesPerField = 200; // phone numbers, e-mail addresses, URLs of one card
        qsizetype maxImageBytes = 4 * 1024 * 1024; // decoded photo; a larger one is dropped
        int maxCards = 100000;
    };

    struct Document {
        QList<StoredContact> contacts;
        int skippedCards = 0;      // unterminated, over a limit, or cut off after maxCards
        int malformedLines = 0;    // lines inside a card that are no content line, or too long
    };

    // `sourceName` names the document (its file path); cards without a UID get an identifier
    // derived from it and their position, stable while the file is unchanged. Group cards
    // (KIND:group) are not contacts and are left out.
    static Document parse(const QByteArray& document, const QString& sourceName, const Limits& limits);
    static Document parse(const QByteArray& document, const QString& sourceName);
};

} // namespace velto
