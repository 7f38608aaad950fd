#pragma once

#include <QString>
#include <QStringView>

namespace velto::Emoji {

// Whether the scalar has the Unicode Emoji or Emoji_Presentation property (ICU's tables).
// Note that Emoji includes the ASCII digits, '#' and '*'.
bool isEmojiScalar(char32_t scalar);

// Whether any scalar of the text qualifies.
bool containsEmoji(QStringView text);

// The first user-perceived character (grapheme cluster) of the text that contains a qualifying
// scalar, whole (with its variation selectors, skin tones and joiners); empty when none does.
QString firstEmojiCharacter(QStringView text);

} // namespace velto::Emoji
