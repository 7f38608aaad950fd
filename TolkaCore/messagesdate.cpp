#include "messagesdate.h"

#include <QTimeZone>

#include <cmath>

namespace velto::MessagesDate {

QDateTime toDateTime(std::optional<qint64> nanoseconds)
{
    const double seconds = double(appleEpochOffset) + (nanoseconds ? double(*nanoseconds) / 1e9 : 0.0);
    return QDateTime::fromMSecsSinceEpoch(qint64(std::floor(seconds * 1000.0)), QTimeZone::utc());
}

qint64 fromDateTime(const QDateTime& dateTime)
{
    // Whole milliseconds are exact in integers; the real-valued form would only add rounding.
    return (dateTime.toMSecsSinceEpoch() - appleEpochOffset * 1000) * 1000000;
}

} // namespace velto::MessagesDate
