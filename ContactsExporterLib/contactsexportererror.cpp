#include "contactsexportererror.h"

namespace velto {

QString ContactsExporterError::description() const
{
    switch (m_kind) {
    case Kind::fetchFailed:
        return QStringLiteral("Failed to fetch contacts: ") + m_detail;
    case Kind::permissionDenied:
        return QStringLiteral("Contacts access permission was denied. Please grant permission in System Preferences > "
                              "Privacy & Security > Contacts.");
    }
    return m_detail;
}

} // namespace velto
