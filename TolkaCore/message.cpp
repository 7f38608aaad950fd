#include "message.h"

namespace velto {

Message::Message(qint64 rowID, qint64 chatID, QString guid, QString sender, QString text, QDateTime date,
                 bool isFromMe, QString service, std::optional<qint64> handleID, int attachmentsCount,
                 bool isSent, int sendError, RoutingMetadata routing, ReactionMetadata reaction)
    : rowID(rowID)
    , chatID(chatID)
    , guid(std::move(guid))
    , replyToGUID(std::move(routing.replyToGUID))
    , threadOriginatorGUID(std::move(routing.threadOriginatorGUID))
    , sender(std::move(sender))
    , text(std::move(text))
    , date(std::move(date))
    , isFromMe(isFromMe)
    , service(std::move(service))
    , handleID(handleID)
    , attachmentsCount(attachmentsCount)
    , destinationCallerID(std::move(routing.destinationCallerID))
    , isSent(isSent)
    , sendError(sendError)
    , isReaction(reaction.isReaction)
    , reactionType(std::move(reaction.reactionType))
    , isReactionAdd(reaction.isReactionAdd)
    , reactedToGUID(std::move(reaction.reactedToGUID))
{
}

} // namespace velto
