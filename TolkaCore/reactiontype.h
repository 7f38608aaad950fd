#pragma once

#include <QString>
#include <QStringView>

#include <optional>

namespace velto {

// The kind of a tapback: six fixed kinds and a custom one carrying its emoji. The Messages
// database stores an added tapback as associated_message_type 2000–2006 and its removal as
// the same code plus 1000.
class ReactionType {
public:
    enum class Kind { love, like, dislike, laugh, emphasis, question, custom };

    static ReactionType love() { return ReactionType(Kind::love); }
    static ReactionType like() { return ReactionType(Kind::like); }
    static ReactionType dislike() { return ReactionType(Kind::dislike); }
    static ReactionType laugh() { return ReactionType(Kind::laugh); }
    static ReactionType emphasis() { return ReactionType(Kind::emphasis); }
    static ReactionType question() { return ReactionType(Kind::question); }
    static ReactionType custom(const QString& emoji) { return ReactionType(Kind::custom, emoji); }

    // 2000–2005 give the fixed kinds; 2006 gives custom only when an emoji is supplied (a
    // non-empty one); anything else gives nothing.
    static std::optional<ReactionType> fromCode(int code, const std::optional<QString>& customEmoji = std::nullopt);
    // The kind removed by a 3000–3006 code.
    static std::optional<ReactionType> fromRemoval(int code, const std::optional<QString>& customEmoji = std::nullopt);
    // Names ("like", "thumbs-up", …), the six emoji and any other text holding an emoji.
    static std::optional<ReactionType> parse(const QString& text);

    static bool isReaction(int code) { return isReactionAdd(code) || isReactionRemove(code); }
    static bool isReactionAdd(int code) { return code >= 2000 && code <= 2006; }
    static bool isReactionRemove(int code) { return code >= 3000 && code <= 3006; }

    // The emoji of a custom tapback from the row's text: what stands between "Reacted " and the
    // next " to ", else the first character holding an emoji; nothing when neither is there.
    static std::optional<QString> extractCustomEmoji(QStringView text);

    Kind kind() const { return m_kind; }
    bool isCustom() const { return m_kind == Kind::custom; }
    int associatedMessageType() const { return 2000 + int(m_kind); }
    int removalAssociatedMessageType() const { return 3000 + int(m_kind); }
    QString name() const;
    QString emoji() const;

    friend bool operator==(const ReactionType& a, const ReactionType& b)
    {
        return a.m_kind == b.m_kind && a.m_emoji == b.m_emoji;
    }

private:
    explicit ReactionType(Kind kind, QString emoji = QString()) : m_kind(kind), m_emoji(std::move(emoji)) {}

    Kind m_kind;
    QString m_emoji; // custom only
};

size_t qHash(const ReactionType& type, size_t seed = 0);

} // namespace velto
