#pragma once

#include "reactiontype.h"

#include <QDateTime>
#include <QString>

#include <optional>

namespace velto {

// Where a message sits in a conversation beyond its chat: the message it replies to, its
// thread, and the account address it went to or came from.
struct RoutingMetadata {
    std::optional<QString> replyToGUID;
    std::optional<QString> threadOriginatorGUID;
    std::optional<QString> destinationCallerID;
};

// What makes a row a tapback; { false, none, none, none } for an ordinary message.
struct ReactionMetadata {
    bool isReaction = false;
    std::optional<ReactionType> reactionType;
    std::optional<bool> isReactionAdd;
    std::optional<QString> reactedToGUID;
};

// One decoded message row of the Messages database.
struct Message {
    Message() = default;
    Message(qint64 rowID, qint64 chatID, QString guid, QString sender, QString text, QDateTime date,
            bool isFromMe, QString service, std::optional<qint64> handleID, int attachmentsCount,
            bool isSent, int sendError, RoutingMetadata routing, ReactionMetadata reaction);

    qint64 rowID = 0;
    qint64 chatID = 0;
    QString guid;
    std::optional<QString> replyToGUID;
    std::optional<QString> threadOriginatorGUID;
    QString sender;
    QString text;
    QDateTime date;
    bool isFromMe = false;
    QString service;
    std::optional<qint64> handleID;
    int attachmentsCount = 0;
    std::optional<QString> destinationCallerID;
    bool isSent = false;
    int sendError = 0;
    bool isReaction = false;
    std::optional<ReactionType> reactionType;
    std::optional<bool> isReactionAdd;
    std::optional<QString> reactedToGUID;
};

} // namespace velto
