#pragma once

#include <QString>

#include <optional>

namespace velto {

// The outcome of one run of the contacts sync service.
struct ContactSyncResult {
    bool success = false;
    QString message;

    bool operator==(const ContactSyncResult&) const = default;
};

// What the relay manager hands the user interface for a contacts sync it was asked for.
struct SyncContactsResult {
    bool success = false;
    std::optional<QString> error;

    bool operator==(const SyncContactsResult&) const = default;
};

} // namespace velto
