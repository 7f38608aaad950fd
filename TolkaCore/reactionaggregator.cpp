#include "reactionaggregator.h"

namespace velto {

void ReactionAggregator::removeAt(qsizetype index)
{
    m_reactions.removeAt(index);
    m_index.clear();
    for (qsizetype i = 0; i < m_reactions.size(); ++i) {
        const Reaction& r = m_reactions.at(i);
        m_index.insert(Key{r.sender, r.isFromMe, r.reactionType}, i);
    }
}

void ReactionAggregator::add(const Row& row)
{
    if (ReactionType::isReactionRemove(row.code)) {
        const std::optional<ReactionType> type = ReactionType::fromRemoval(row.code, row.customEmoji);
        if (type) {
            const auto it = m_index.constFind(Key{row.sender, row.isFromMe, *type});
            if (it != m_index.constEnd())
                removeAt(it.value());
            return;
        }
        if (row.code == 3006) {
            // A custom removal that does not say which emoji: the sender's earlier custom one goes.
            for (qsizetype i = 0; i < m_reactions.size(); ++i) {
                const Reaction& r = m_reactions.at(i);
                if (r.sender == row.sender && r.isFromMe == row.isFromMe && r.reactionType.isCustom()) {
                    removeAt(i);
                    return;
                }
            }
        }
        return;
    }
    if (!ReactionType::isReactionAdd(row.code))
        return;
    const std::optional<ReactionType> type = ReactionType::fromCode(row.code, row.customEmoji);
    if (!type)
        return; // a custom tapback without an emoji
    Reaction reaction{row.rowID, *type, row.sender, row.isFromMe, row.date, m_messageID};
    const Key key{row.sender, row.isFromMe, *type};
    const auto it = m_index.constFind(key);
    if (it != m_index.constEnd()) {
        m_reactions[it.value()] = std::move(reaction);
    } else {
        m_index.insert(key, m_reactions.size());
        m_reactions.append(std::move(reaction));
    }
}

} // namespace velto
