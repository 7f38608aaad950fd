#pragma once

#include "reaction.h"

#include <QDateTime>
#include <QHash>
#include <QList>
#include <QString>

#include <optional>

namespace velto {

// Folds a message's tapback rows, in date order, into the tapbacks standing on it: an addition
// replaces the same sender's earlier tapback of the same kind, a removal takes it away.
class ReactionAggregator {
public:
    struct Row {
        qint64 rowID = 0;
        int code = 0;   // associated_message_type
        QString sender; // empty when the tapback is from this Mac or has no handle
        bool isFromMe = false;
        QDateTime date;
        std::optional<QString> customEmoji; // for 2006/3006: the emoji, when one was found
    };

    explicit ReactionAggregator(qint64 messageID) : m_messageID(messageID) {}

    void add(const Row& row);
    const QList<Reaction>& reactions() const { return m_reactions; }

private:
    struct Key {
        QString sender;
        bool isFromMe = false;
        ReactionType type;
        friend bool operator==(const Key& a, const Key& b)
        {
            return a.isFromMe == b.isFromMe && a.sender == b.sender && a.type == b.type;
        }
        friend size_t qHash(const Key& key, size_t seed = 0)
        {
            return qHashMulti(seed, key.sender, key.isFromMe, key.type);
        }
    };

    void removeAt(qsizetype index);

    qint64 m_messageID;
    QList<Reaction> m_reactions;
    QHash<Key, qsizetype> m_index;
};

} // namespace velto
