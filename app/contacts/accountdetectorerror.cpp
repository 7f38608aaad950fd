#include "accountdetectorerror.h"

namespace velto {

QString AccountDetectorError::description() const
{
    switch (m_kind) {
    case Kind::databaseNotFound:
        return QStringLiteral("Messages database not found");
    case Kind::permissionDenied:
        return QStringLiteral("Full Disk Access required to read Messages database. Grant access in System Settings > "
                              "Privacy & Security > Full Disk Access.");
    case Kind::queryFailed:
        return QStringLiteral("Database query failed: ") + m_message;
    case Kind::imcoreUnavailable:
        return QStringLiteral("IMCore framework not available");
    case Kind::noActiveAccount:
        return QStringLiteral("No active iMessage account found");
    case Kind::noAliases:
        return QStringLiteral("No vetted aliases found for iMessage account");
    case Kind::launchFailed:
        return m_message;
    }
    return m_message;
}

} // namespace velto
