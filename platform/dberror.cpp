#include "dberror.h"

namespace velto::db {

QString Error::description() const
{
    return message + QStringLiteral(" (") + QString::number(code) + QLatin1Char(')');
}

} // namespace velto::db
