#include "settingsopenerror.h"

namespace velto {

QString SettingsOpenError::description() const
{
    switch (m_kind) {
    case Kind::unknownTarget:
        return QStringLiteral("No settings page for: ") + m_detail;
    case Kind::noDesktop:
        return QStringLiteral("No desktop session to open it in; see ") + m_detail;
    case Kind::launchFailed:
        return QStringLiteral("Could not start the program that opens addresses: ") + m_detail;
    case Kind::openerFailed:
        return QStringLiteral("The address could not be opened: ") + m_detail;
    }
    return {};
}

} // namespace velto
