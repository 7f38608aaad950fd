#include "permissionsnapshot.h"

#include <QTimeZone>

namespace velto {

QString permissionStateRawValue(PermissionState state)
{
    switch (state) {
    case PermissionState::granted:
        return QStringLiteral("granted");
    case PermissionState::denied:
        return QStringLiteral("denied");
    case PermissionState::error:
        return QStringLiteral("error");
    case PermissionState::unknown:
        return QStringLiteral("unknown");
    }
    return {};
}

std::optional<PermissionState> permissionStateFromRawValue(const QString& text)
{
    for (const PermissionState state : allPermissionStates()) {
        if (permissionStateRawValue(state) == text)
            return state;
    }
    return std::nullopt;
}

QList<PermissionState> allPermissionStates()
{
    return {PermissionState::granted, PermissionState::denied, PermissionState::error, PermissionState::unknown};
}

QDateTime distantPast()
{
    return QDateTime(QDate(1, 1, 1), QTime(0, 0), QTimeZone::utc());
}

PermissionSnapshot PermissionSnapshot::empty()
{
    return {};
}

} // namespace velto
