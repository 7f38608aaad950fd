#include "reactionsummarizer.h"

#include <emoji.h>

#include <QHash>
#include <QSet>

namespace velto::ReactionSummarizer {

std::optional<FixedKind> fixedKind(int baseCode)
{
    switch (baseCode) {
    case 2000:
        return FixedKind{QStringLiteral("love"), QStringLiteral("\u2764\uFE0F")};
    case 2001:
        return FixedKind{QStringLiteral("like"), QStringLiteral("\U0001F44D")};
    case 2002:
        return FixedKind{QStringLiteral("dislike"), QStringLiteral("\U0001F44E")};
    case 2003:
        return FixedKind{QStringLiteral("laugh"), QStringLiteral("\U0001F602")};
    case 2004:
        return FixedKind{QStringLiteral("emphasis"), QStringLiteral("\u203C\uFE0F")};
    case 2005:
        return FixedKind{QStringLiteral("question"), QStringLiteral("\u2753")};
    default:
        return std::nullopt;
    }
}

QList<ReactionSummary> summarize(const QList<ReactionRecord>& records)
{
    static const QString meKey = QStringLiteral("__me__");
    QStringList displays; // first-seen order
    QHash<QString, QString> names;
    QHash<QString, QStringList> reactors; // an ordered set: keys appear at most once
    QSet<QString> mine;
    for (const ReactionRecord& record : records) {
        const QString key = record.isFromMe ? meKey : record.sender;
        if (!names.contains(record.displayEmoji))
            displays << record.displayEmoji;
        names.insert(record.displayEmoji, record.emoji);
        QStringList& set = reactors[record.displayEmoji];
        if (record.isAdd) {
            if (!set.contains(key))
                set << key;
            if (record.isFromMe)
                mine.insert(record.displayEmoji);
        } else {
            set.removeAll(key);
            if (record.isFromMe)
                mine.remove(record.displayEmoji);
        }
    }
    QList<ReactionSummary> summaries;
    for (const QString& display : displays) {
        const QStringList& set = reactors.value(display);
        if (set.isEmpty())
            continue;
        ReactionSummary summary;
        summary.emoji = names.value(display, QStringLiteral("custom"));
        summary.displayEmoji = display;
        summary.count = int(set.size());
        for (const QString& key : set)
            summary.senders << (key == meKey ? QStringLiteral("me") : key);
        summary.includesMe = mine.contains(display);
        summaries << summary;
    }
    return summaries;
}

std::optional<QString> customEmojiFromText(QStringView source)
{
    if (source.isEmpty())
        return std::nullopt;
    const QLatin1String reacted("Reacted ");
    const QLatin1String to(" to ");
    if (const qsizetype reactedAt = source.indexOf(reacted); reactedAt >= 0) {
        const qsizetype start = reactedAt + reacted.size();
        if (const qsizetype toAt = source.indexOf(to, start); toAt > start)
            return source.sliced(start, toAt - start).toString();
    }
    for (qsizetype i = 0; i < source.size(); ++i) {
        char32_t scalar = source[i].unicode();
        qsizetype length = 1;
        if (QChar::isHighSurrogate(scalar) && i + 1 < source.size() && source[i + 1].isLowSurrogate()) {
            scalar = QChar::surrogateToUcs4(source[i], source[i + 1]);
            length = 2;
        }
        // Emoji_Presentation, or Emoji above U+023F. No Emoji_Presentation scalar lies at or below
        // U+023F, so this is "Emoji and above U+023F": it leaves out the keycap bases and © ®.
        if (scalar > 0x23F && Emoji::isEmojiScalar(scalar))
            return source.sliced(i, length).toString();
        i += length - 1;
    }
    return std::nullopt;
}

} // namespace velto::ReactionSummarizer
