#pragma once

#include "permissionsnapshot.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <optional>

namespace velto {

// A snapshot as the permission cache file ("permission-cache.json") holds it: the states as
// their raw texts and the details when present; the check times are not stored.
struct CodablePermissionSnapshot {
    QString fullDiskState;
    std::optional<QString> fullDiskDetail;
    QString contactsState;
    std::optional<QString> contactsDetail;
    std::optional<QString> automationState;
    std::optional<QString> automationDetail;

    static CodablePermissionSnapshot from(const PermissionSnapshot& snapshot);

    // Compact JSON; absent details are left out.
    QByteArray toJson() const;
    // "fullDiskState" and "contactsState" must be texts; the other keys may be missing (or
    // null) but, when present, must be texts too. Anything else does not decode.
    static std::optional<CodablePermissionSnapshot> fromJson(const QByteArray& data);

    // Unrecognised state texts (and a missing automation state) give unknown; every check time
    // is `loadedAt`.
    PermissionSnapshot toSnapshot(const QDateTime& loadedAt = QDateTime::currentDateTimeUtc()) const;

    bool operator==(const CodablePermissionSnapshot&) const = default;
};

} // namespace velto
