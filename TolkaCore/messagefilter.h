#pragma once

#include "message.h"
#include "tolkaerror.h"

#include <result.h>

#include <QDateTime>
#include <QStringList>

#include <optional>

namespace velto {

// Narrows a chat's history to a date window and a set of senders.
struct MessageFilter {
    QStringList participants;
    std::optional<QDateTime> startDate; // inclusive
    std::optional<QDateTime> endDate;   // exclusive

    // Dates as ISO 8601 internet date-times, with or without fractional seconds; an empty or
    // unreadable one fails with invalidISODate carrying the text.
    static Result<MessageFilter, TolkaError> fromISO(const QStringList& participants,
                                                     const std::optional<QString>& startISO,
                                                     const std::optional<QString>& endISO);

    // One internet date-time ("2024-05-01T12:00:00Z", "…T12:00:00.250+02:00"), or nothing.
    static std::optional<QDateTime> parseInternetDateTime(const QString& text);

    bool allows(const Message& message) const;
};

} // namespace velto
