#pragma once

#include <QDateTime>
#include <QList>
#include <QString>

#include <optional>

namespace velto {

// A permission's verdict. Raw texts "granted", "denied", "error", "unknown".
enum class PermissionState { granted, denied, error, unknown };

QString permissionStateRawValue(PermissionState state);
// The case with that raw text; any other text gives nothing.
std::optional<PermissionState> permissionStateFromRawValue(const QString& text);
QList<PermissionState> allPermissionStates();

// The earliest date there is: the check time of a verdict never made.
QDateTime distantPast();

struct PermissionDetail {
    PermissionState state = PermissionState::unknown;
    std::optional<QString> detail; // a sentence for the user, or the tool's own error text; none when granted
    QDateTime lastCheckedAt = distantPast();

    bool operator==(const PermissionDetail&) const = default;
};

// The three permissions the relay needs, as last found.
struct PermissionSnapshot {
    PermissionDetail fullDisk;
    PermissionDetail contacts;
    PermissionDetail automation;

    // All three unknown, without detail, checked in the distant past.
    static PermissionSnapshot empty();

    bool operator==(const PermissionSnapshot&) const = default;
};

} // namespace velto
