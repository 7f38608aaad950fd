#include "emoji.h"

#include <QTextBoundaryFinder>

#include <unicode/uchar.h>

namespace velto::Emoji {

bool isEmojiScalar(char32_t scalar)
{
    const auto c = static_cast<UChar32>(scalar);
    return u_hasBinaryProperty(c, UCHAR_EMOJI_PRESENTATION) || u_hasBinaryProperty(c, UCHAR_EMOJI);
}

bool containsEmoji(QStringView text)
{
    for (qsizetype i = 0; i < text.size(); ++i) {
        char32_t scalar = text[i].unicode();
        if (QChar::isHighSurrogate(scalar) && i + 1 < text.size() && text[i + 1].isLowSurrogate()) {
            scalar = QChar::surrogateToUcs4(text[i], text[i + 1]);
            ++i;
        }
        if (isEmojiScalar(scalar))
            return true;
    }
    return false;
}

QString firstEmojiCharacter(QStringView text)
{
    if (text.isEmpty())
        return QString();
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text.data(), text.size());
    qsizetype start = 0;
    while (start < text.size()) {
        finder.setPosition(start);
        qsizetype end = finder.toNextBoundary();
        if (end <= start)
            end = text.size();
        const QStringView character = text.sliced(start, end - start);
        if (containsEmoji(character))
            return character.toString();
        start = end;
    }
    return QString();
}

} // namespace velto::Emoji
