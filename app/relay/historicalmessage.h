#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QList>

namespace velto {

struct ChatMessage;
struct ReactionSummary;

// A message of a historical sync as the server receives it: the object sent one by one, and
// the same object written straight into a batch frame's bytes (members sorted by name, as the
// JSON writer of the object form gives them, slashes escaped). A page holds hundreds of these,
// and building each object first cost more than all the rest of the relay's work on it.
QJsonObject historicalMessageObject(const ChatMessage& message, const QList<QJsonObject>& attachments,
                                    const QList<ReactionSummary>& reactions);
void appendHistoricalMessage(QByteArray& out, const ChatMessage& message, const QList<QJsonObject>& attachments,
                             const QList<ReactionSummary>& reactions);

} // namespace velto
