#include "reactiontype.h"

#include "emoji.h"

#include <QHashFunctions>

namespace velto {

std::optional<ReactionType> ReactionType::fromCode(int code, const std::optional<QString>& customEmoji)
{
    if (code >= 2000 && code <= 2005)
        return ReactionType(Kind(code - 2000));
    if (code == 2006 && customEmoji && !customEmoji->isEmpty())
        return custom(*customEmoji);
    return std::nullopt;
}

std::optional<ReactionType> ReactionType::fromRemoval(int code, const std::optional<QString>& customEmoji)
{
    return fromCode(code - 1000, customEmoji);
}

std::optional<ReactionType> ReactionType::parse(const QString& text)
{
    const QString trimmed = text.trimmed();
    if (trimmed.isEmpty())
        return std::nullopt;

    const QString lower = trimmed.toLower();
    auto isOneOf = [&lower](std::initializer_list<QLatin1String> names) {
        for (const QLatin1String& name : names) {
            if (lower == name)
                return true;
        }
        return false;
    };
    if (isOneOf({QLatin1String("love"), QLatin1String("heart")}))
        return love();
    if (isOneOf({QLatin1String("like"), QLatin1String("thumbsup"), QLatin1String("thumbs-up")}))
        return like();
    if (isOneOf({QLatin1String("dislike"), QLatin1String("thumbsdown"), QLatin1String("thumbs-down")}))
        return dislike();
    if (isOneOf({QLatin1String("laugh"), QLatin1String("haha"), QLatin1String("lol")}))
        return laugh();
    if (isOneOf({QLatin1String("emphasis"), QLatin1String("emphasize"), QLatin1String("exclaim"),
                 QLatin1String("exclamation")}))
        return emphasis();
    if (isOneOf({QLatin1String("question"), QLatin1String("questionmark"), QLatin1String("question-mark")}))
        return question();

    if (trimmed == u"\u2764\uFE0F" || trimmed == u"\u2764")
        return love();
    if (trimmed == u"\U0001F44D")
        return like();
    if (trimmed == u"\U0001F44E")
        return dislike();
    if (trimmed == u"\U0001F602")
        return laugh();
    if (trimmed == u"\u203C\uFE0F" || trimmed == u"\u203C")
        return emphasis();
    if (trimmed == u"\u2753" || trimmed == u"?")
        return question();

    if (Emoji::containsEmoji(trimmed))
        return custom(trimmed);
    return std::nullopt;
}

std::optional<QString> ReactionType::extractCustomEmoji(QStringView text)
{
    const QLatin1String reacted("Reacted ");
    const QLatin1String to(" to ");
    const qsizetype reactedAt = text.indexOf(reacted);
    if (reactedAt >= 0) {
        const qsizetype start = reactedAt + reacted.size();
        const qsizetype toAt = text.indexOf(to, start);
        if (toAt > start)
            return text.sliced(start, toAt - start).toString();
    }
    QString first = Emoji::firstEmojiCharacter(text);
    if (first.isEmpty())
        return std::nullopt;
    return first;
}

QString ReactionType::name() const
{
    switch (m_kind) {
    case Kind::love:
        return QStringLiteral("love");
    case Kind::like:
        return QStringLiteral("like");
    case Kind::dislike:
        return QStringLiteral("dislike");
    case Kind::laugh:
        return QStringLiteral("laugh");
    case Kind::emphasis:
        return QStringLiteral("emphasis");
    case Kind::question:
        return QStringLiteral("question");
    case Kind::custom:
        return QStringLiteral("custom");
    }
    return QString();
}

QString ReactionType::emoji() const
{
    switch (m_kind) {
    case Kind::love:
        return QStringLiteral("\u2764\uFE0F");
    case Kind::like:
        return QStringLiteral("\U0001F44D");
    case Kind::dislike:
        return QStringLiteral("\U0001F44E");
    case Kind::laugh:
        return QStringLiteral("\U0001F602");
    case Kind::emphasis:
        return QStringLiteral("\u203C\uFE0F");
    case Kind::question:
        return QStringLiteral("\u2753");
    case Kind::custom:
        return m_emoji;
    }
    return QString();
}

size_t qHash(const ReactionType& type, size_t seed)
{
    return qHashMulti(seed, int(type.kind()), type.isCustom() ? type.emoji() : QString());
}

} // namespace velto
