#pragma once

#include <QString>

namespace velto::sim {

class SeededRandom;

// Made-up but realistic message content: addresses, group names, texts in several scripts and
// lengths, links, voice-message transcriptions and the texts Messages writes for tapbacks.
class SampleContent {
public:
    // The Mac owner's own addresses (destination caller id and account of every row).
    static QString ownerPhone();
    static QString ownerEmail();

    // An E.164 number from ranges set aside for fiction, or random digits once those run out.
    static QString phoneNumber(SeededRandom &random, int serial);
    static QString emailAddress(SeededRandom &random, int serial);
    static QString groupName(SeededRandom &random);

    static QString ordinaryText(SeededRandom &random);
    static QString emojiText(SeededRandom &random);
    // Letters outside the Basic Multilingual Plane (surrogate pairs in UTF-16).
    static QString nonBmpText(SeededRandom &random);
    // Right-to-left and other non-Latin scripts.
    static QString otherScriptText(SeededRandom &random);
    static QString multilineText(SeededRandom &random);
    // At least `minBytes` bytes of UTF-8, made of whole sentences.
    static QString longText(SeededRandom &random, int minBytes);
    static QString urlText(SeededRandom &random);
    static QString transcription(SeededRandom &random);
    static QString customEmoji(SeededRandom &random);
    static QString caption(SeededRandom &random);

    // What Messages shows for a tapback row: "Loved “…”", "Reacted 🎉 to “…”", "Removed a heart from “…”".
    static QString tapbackText(int associatedType, const QString &emoji, const QString &targetSummary);
    // How a tapback names its target: the quoted text, or "an image" / "an audio message".
    static QString quoted(const QString &text);
};

} // namespace velto::sim
