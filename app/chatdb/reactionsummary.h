#pragma once

#include <QString>
#include <QStringList>

namespace velto {

// The current state of one kind of reaction on one message.
struct ReactionSummary {
    QString emoji; // "love", "like", "dislike", "laugh", "emphasis", "question" or "custom"
    QString displayEmoji;
    int count = 0; // distinct reactors
    QStringList senders; // reactor handles; the local user is "me"
    bool includesMe = false;

    friend bool operator==(const ReactionSummary&, const ReactionSummary&) = default;
};

} // namespace velto
