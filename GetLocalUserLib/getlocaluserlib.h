#pragma once

#include <QString>

#include <optional>

namespace velto::GetLocalUserLib {

// The owner's "me" card as far as a display name goes.
struct MeContactName {
    QString givenName;
    QString familyName;
    QString nickname;
};

// The owner's display name; none when the system knows no name. On this platform the "me"
// card is the account's full name from the password database.
std::optional<QString> getLocalUserDisplayName();

// The name a "me" card shows: its nickname when it has one, else given and family name
// joined by a blank (blanks at the ends removed), else none.
std::optional<QString> displayName(const MeContactName& me);

} // namespace velto::GetLocalUserLib
