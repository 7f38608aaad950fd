#include "simulatorerror.h"

namespace velto::sim {

QString SimulatorError::description() const
{
    QString text;
    switch (kind) {
    case Kind::DatabaseMissing:
        text = QStringLiteral("No Messages database (run init first)");
        break;
    case Kind::DatabaseExists:
        text = QStringLiteral("A Messages database already exists (use --force to replace it)");
        break;
    case Kind::Database:
        text = QStringLiteral("Database error");
        break;
    case Kind::InvalidArgument:
        text = QStringLiteral("Invalid argument");
        break;
    case Kind::NotFound:
        text = QStringLiteral("Not found");
        break;
    case Kind::Unsupported:
        text = QStringLiteral("Not supported by this database layout");
        break;
    case Kind::File:
        text = QStringLiteral("File error");
        break;
    }
    return detail.isEmpty() ? text : text + QStringLiteral(": ") + detail;
}

} // namespace velto::sim
