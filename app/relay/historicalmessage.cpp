#include "historicalmessage.h"

#include "chatmessage.h"
#include "envelope.h"
#include "reactionsummary.h"

#include <messagesdate.h>

#include <QJsonArray>

#include <utility>

namespace velto {

namespace {

// Unix milliseconds of a Messages-database time, whole seconds only. Seconds are floored, so
// a date before 2001 lands on the second it lies in, as later ones do.
double sentAtMilliseconds(qint64 date)
{
    constexpr qint64 nanosPerSecond = 1000000000;
    qint64 seconds = date / nanosPerSecond;
    if (date % nanosPerSecond < 0)
        --seconds;
    return double((seconds + MessagesDate::appleEpochOffset) * 1000);
}

QJsonValue stringOrNull(const std::optional<QString>& value)
{
    return value ? QJsonValue(*value) : QJsonValue(QJsonValue::Null);
}

QJsonObject reactionObject(const ReactionSummary& reaction)
{
    return {{QStringLiteral("emoji"), reaction.emoji},
            {QStringLiteral("displayEmoji"), reaction.displayEmoji},
            {QStringLiteral("count"), reaction.count},
            {QStringLiteral("senders"), QJsonArray::fromStringList(reaction.senders)},
            {QStringLiteral("includesMe"), reaction.includesMe}};
}

} // namespace

QJsonObject historicalMessageObject(const ChatMessage& message, const QList<QJsonObject>& attachments,
                                    const QList<ReactionSummary>& reactions)
{
    const QString unknown = QStringLiteral("unknown");
    QJsonObject object{{QStringLiteral("guid"), message.guid},
                       {QStringLiteral("text"), stringOrNull(message.text)},
                       {QStringLiteral("service"), message.service},
                       {QStringLiteral("sent_at"), sentAtMilliseconds(message.date)}};
    if (message.isFromMe) {
        object.insert(QStringLiteral("direction"), QStringLiteral("sent"));
        object.insert(QStringLiteral("recipient"), message.chatParticipantId.value_or(message.recipient.value_or(unknown)));
    } else {
        object.insert(QStringLiteral("direction"), QStringLiteral("received"));
        // The reader resolved handle_id with the handle resolver's rules while reading the page.
        object.insert(QStringLiteral("sender"), message.chatParticipantId.value_or(unknown));
        object.insert(QStringLiteral("recipient"), message.recipient.value_or(unknown));
    }
    if (message.isGroupChat.value_or(false)) {
        object.insert(QStringLiteral("isGroupChat"), true);
        object.insert(QStringLiteral("groupId"), stringOrNull(message.groupId));
        object.insert(QStringLiteral("chatGuid"), stringOrNull(message.chatGuid));
        object.insert(QStringLiteral("groupDisplayName"), stringOrNull(message.groupDisplayName));
        object.insert(QStringLiteral("groupMembers"),
                      QJsonArray::fromStringList(message.allParticipants.value_or(QStringList())));
    }
    if (!attachments.isEmpty()) {
        QJsonArray array;
        for (const QJsonObject& attachment : attachments)
            array.append(attachment);
        object.insert(QStringLiteral("attachments"), array);
    }
    if (!reactions.isEmpty()) {
        QJsonArray array;
        for (const ReactionSummary& reaction : reactions)
            array.append(reactionObject(reaction));
        object.insert(QStringLiteral("reactions"), array);
    }
    return object;
}

namespace {

void appendStringOrNull(QByteArray& out, const std::optional<QString>& value)
{
    if (value)
        Envelope::appendString(out, *value);
    else
        out.append("null", 4);
}

void appendStrings(QByteArray& out, const QStringList& values)
{
    out.append('[');
    bool first = true;
    for (const QString& value : values) {
        if (!std::exchange(first, false))
            out.append(',');
        Envelope::appendString(out, value);
    }
    out.append(']');
}

// reactionObject's members in name order.
void appendReaction(QByteArray& out, const ReactionSummary& reaction)
{
    out.append("{\"count\":");
    out.append(QByteArray::number(reaction.count));
    out.append(",\"displayEmoji\":");
    Envelope::appendString(out, reaction.displayEmoji);
    out.append(",\"emoji\":");
    Envelope::appendString(out, reaction.emoji);
    out.append(reaction.includesMe ? QByteArrayView(",\"includesMe\":true") : QByteArrayView(",\"includesMe\":false"));
    out.append(",\"senders\":");
    appendStrings(out, reaction.senders);
    out.append('}');
}

} // namespace

void appendHistoricalMessage(QByteArray& out, const ChatMessage& message, const QList<QJsonObject>& attachments,
                             const QList<ReactionSummary>& reactions)
{
    // Attachments are rare in a page and come as objects already.
    if (!attachments.isEmpty()) {
        out.append(Envelope::encodeDictionary(historicalMessageObject(message, attachments, reactions)));
        return;
    }
    const QString unknown = QStringLiteral("unknown");
    const bool group = message.isGroupChat.value_or(false);
    out.append('{');
    if (group) {
        out.append("\"chatGuid\":");
        appendStringOrNull(out, message.chatGuid);
        out.append(',');
    }
    out.append(message.isFromMe ? QByteArrayView("\"direction\":\"sent\",") : QByteArrayView("\"direction\":\"received\","));
    if (group) {
        out.append("\"groupDisplayName\":");
        appendStringOrNull(out, message.groupDisplayName);
        out.append(",\"groupId\":");
        appendStringOrNull(out, message.groupId);
        out.append(",\"groupMembers\":");
        appendStrings(out, message.allParticipants.value_or(QStringList()));
        out.append(',');
    }
    out.append("\"guid\":");
    Envelope::appendString(out, message.guid);
    if (group)
        out.append(",\"isGroupChat\":true");
    if (!reactions.isEmpty()) {
        out.append(",\"reactions\":[");
        bool first = true;
        for (const ReactionSummary& reaction : reactions) {
            if (!std::exchange(first, false))
                out.append(',');
            appendReaction(out, reaction);
        }
        out.append(']');
    }
    out.append(",\"recipient\":");
    if (message.isFromMe) {
        Envelope::appendString(out, message.chatParticipantId ? *message.chatParticipantId
                                                              : message.recipient.value_or(unknown));
    } else {
        Envelope::appendString(out, message.recipient ? *message.recipient : unknown);
        out.append(",\"sender\":");
        Envelope::appendString(out, message.chatParticipantId ? *message.chatParticipantId : unknown);
    }
    out.append(",\"sent_at\":");
    Envelope::appendNumber(out, sentAtMilliseconds(message.date));
    out.append(",\"service\":");
    Envelope::appendString(out, message.service);
    out.append(",\"text\":");
    appendStringOrNull(out, message.text);
    out.append('}');
}

} // namespace velto
