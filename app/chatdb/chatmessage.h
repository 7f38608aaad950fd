#pragma once

#include "messageattachment.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

namespace velto {

// One message row as the historical and list paths see it. Dates are Messages-database times
// (nanoseconds since 2001-01-01 UTC), passed through unchanged.
struct ChatMessage {
    qint64 rowid = 0;
    QString guid;
    std::optional<QString> text; // the text column, else the text decoded from attributedBody
    std::optional<QByteArray> attributedBody;
    qint64 handleId = 0;
    qint64 date = 0;
    qint64 dateRead = 0;
    bool isFromMe = false;
    QString service;
    std::optional<QString> recipient;
    std::optional<QString> destinationCallerId; // the same value as recipient
    std::optional<qint64> chatId;
    std::optional<QString> chatIdentifier;
    std::optional<QString> chatGuid;
    std::optional<QString> chatParticipantId; // the sender's normalised address
    std::optional<qint64> chatStyle;
    std::optional<bool> isGroupChat; // always set by the reader
    std::optional<QString> groupDisplayName;
    std::optional<QString> groupId; // chat_identifier again
    std::optional<QStringList> allParticipants; // group chats with a known chat only
    std::optional<QList<MessageAttachment>> attachments; // the reader leaves it absent
};

} // namespace velto
