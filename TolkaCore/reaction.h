#pragma once

#include "reactiontype.h"

#include <QDateTime>
#include <QString>

#include <optional>

namespace velto {

// A tapback currently standing on a message (removals already applied).
struct Reaction {
    qint64 rowID = 0;
    ReactionType reactionType = ReactionType::love();
    QString sender;
    bool isFromMe = false;
    QDateTime date;
    qint64 associatedMessageID = 0; // row id of the message reacted to
};

// One tapback row (an addition or a removal) as it was written.
struct ReactionEvent {
    qint64 rowID = 0;
    qint64 chatID = 0;
    ReactionType reactionType = ReactionType::love();
    bool isAdd = true;
    QString sender;
    bool isFromMe = false;
    QDateTime date;
    QString reactedToGUID;
    std::optional<qint64> reactedToID; // when the reacted-to message is in the database
    QString text;
};

} // namespace velto
