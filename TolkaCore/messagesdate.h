#pragma once

#include <QDateTime>

#include <optional>

namespace velto::MessagesDate {

// Seconds from 1970-01-01 to 2001-01-01, the Messages database's epoch.
constexpr qint64 appleEpochOffset = 978307200;

// A stored value (nanoseconds since 2001-01-01 UTC) as an instant; an absent value is the
// epoch itself.
QDateTime toDateTime(std::optional<qint64> nanoseconds);

// An instant as the database stores it, for comparisons in queries.
qint64 fromDateTime(const QDateTime& dateTime);

} // namespace velto::MessagesDate
