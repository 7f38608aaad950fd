#include "messagefilter.h"

#include <QRegularExpression>
#include <QTimeZone>

namespace velto {

std::optional<QDateTime> MessageFilter::parseInternetDateTime(const QString& text)
{
    static const QRegularExpression pattern(QStringLiteral(
        "^(\\d{4})-(\\d{2})-(\\d{2})[Tt](\\d{2}):(\\d{2}):(\\d{2})(?:\\.(\\d+))?(?:([Zz])|([+-])(\\d{2}):?(\\d{2}))$"));
    const QRegularExpressionMatch match = pattern.match(text);
    if (!match.hasMatch())
        return std::nullopt;
    auto number = [&match](int group) { return match.capturedView(group).toInt(); };

    const QDate date(number(1), number(2), number(3));
    int milliseconds = 0;
    if (match.hasCaptured(7)) {
        const QString fraction = QString(match.captured(7) + QStringLiteral("00")).left(3);
        milliseconds = fraction.toInt();
    }
    const QTime time(number(4), number(5), number(6), milliseconds);
    if (!date.isValid() || !time.isValid())
        return std::nullopt;

    int offsetSeconds = 0;
    if (!match.hasCaptured(8)) {
        const int hours = number(10);
        const int minutes = number(11);
        if (hours > 23 || minutes > 59)
            return std::nullopt;
        offsetSeconds = (hours * 3600 + minutes * 60) * (match.capturedView(9) == QLatin1String("-") ? -1 : 1);
    }
    return QDateTime(date, time, QTimeZone(offsetSeconds)).toUTC();
}

Result<MessageFilter, TolkaError> MessageFilter::fromISO(const QStringList& participants,
                                                         const std::optional<QString>& startISO,
                                                         const std::optional<QString>& endISO)
{
    MessageFilter filter;
    filter.participants = participants;
    for (auto [text, target] : {std::pair{&startISO, &filter.startDate}, std::pair{&endISO, &filter.endDate}}) {
        if (!*text)
            continue;
        *target = parseInternetDateTime(**text);
        if (!*target)
            return fail(TolkaError::invalidISODate(**text));
    }
    return filter;
}

bool MessageFilter::allows(const Message& message) const
{
    if (startDate && message.date < *startDate)
        return false;
    if (endDate && message.date >= *endDate)
        return false;
    if (participants.isEmpty())
        return true;
    for (const QString& participant : participants) {
        if (participant.compare(message.sender, Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

} // namespace velto
