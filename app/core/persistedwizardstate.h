#pragma once

#include "manualaccount.h"
#include "result.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

namespace velto {

// Raw permission states ("granted", "denied", "error", "unknown") seen at registration.
struct PersistedPermissionStates {
    QString fullDisk;
    QString contacts;

    bool operator==(const PersistedPermissionStates&) const = default;
};

// The permission situation the user acknowledged when setup completed.
struct PermissionsAcknowledged {
    bool fullDisk = false;
    bool contacts = false;
    bool override = false; // the user ticked the manual Full Disk Access statement
    std::optional<double> overrideTimestamp; // seconds since 2001-01-01T00:00:00Z
    std::optional<QStringList> overriddenPermissions; // "fullDisk", "contacts"
    std::optional<PersistedPermissionStates> lastCheckedStates;

    bool operator==(const PermissionsAcknowledged&) const = default;
};

// "wizard-state.json": that first-time setup completed, and with what. The file's existence
// is the sign that setup is done. Every key is optional and left out when it has no value.
struct PersistedWizardState {
    std::optional<QString> token;
    std::optional<QString> relayName;
    std::optional<PermissionsAcknowledged> permissionsAcknowledged;
    std::optional<QList<ManualAccount>> manualAccounts;
    std::optional<QString> completedAt; // e.g. "2024-05-01T12:00:00Z"

    // Compact JSON. Decoding fails on anything but an object, on a present key of the wrong
    // type, and on acknowledgements without one of their three Booleans; null counts as absent.
    QByteArray encode() const;
    static std::optional<PersistedWizardState> decode(const QByteArray& json);

    static bool exists();
    // None when the file is missing, unreadable or does not decode.
    static std::optional<PersistedWizardState> load();
    // Creates the configuration directory and replaces the file atomically, mode 0600 from the
    // first byte (it holds the registration token). The error is the system's text.
    Result<void, QString> save() const;

    // The completion time's text: UTC, to the second, with "Z".
    static QString timestamp(const QDateTime& moment);
    // A moment as seconds since 2001-01-01T00:00:00Z, the form overrideTimestamp takes.
    static double secondsSinceReferenceDate(const QDateTime& moment);

    bool operator==(const PersistedWizardState&) const = default;
};

} // namespace velto
