#include "statemanagererror.h"

namespace velto {

QString StateManagerError::description() const
{
    switch (m_kind) {
    case Kind::invalidRowId:
        return QStringLiteral("Invalid ROWID: ") + QString::number(m_rowId) + QStringLiteral(". Must be non-negative.");
    case Kind::fileSystem:
        return m_text;
    }
    return m_text;
}

} // namespace velto
