#pragma once

#include <QJsonObject>
#include <QString>

#include <optional>

namespace velto::sim {

// What to generate. The same options (seed included) always give the same database content.
struct FillOptions {
    quint64 seed = 1;
    int messages = 1000;
    int chats = 20;
    int handles = 30;
    // The conversations end at `untilUnixMs` and reach back this many days.
    int spanDays = 180;
    qint64 untilUnixMs = 1748736000000; // 2025-06-01T00:00:00Z
    // Off: attachment rows still point at their files, which are then missing.
    bool writeAttachmentFiles = true;

    // "small" (1,000 messages), "medium" (50,000) or "large" (1,000,000).
    static std::optional<FillOptions> preset(QStringView name);
};

// How many rows of each kind a fill wrote; the message kinds add up to `messages`.
struct FillSummary {
    qint64 handles = 0;
    qint64 chats = 0;
    qint64 groupChats = 0;
    qint64 oneToOneChats = 0;

    qint64 messages = 0;
    qint64 incoming = 0;
    qint64 outgoing = 0;
    qint64 failedOutgoing = 0;
    qint64 smsMessages = 0;

    qint64 texts = 0; // plain text rows, every flavour below included
    qint64 emojiTexts = 0;
    qint64 nonBmpTexts = 0;
    qint64 otherScriptTexts = 0;
    qint64 longTexts = 0;  // 128 bytes or more of UTF-8
    qint64 hugeTexts = 0;  // 65,536 bytes or more
    qint64 emptyTexts = 0;
    qint64 replies = 0;
    qint64 imageMessages = 0;
    qint64 stickerMessages = 0;
    qint64 audioMessages = 0;
    qint64 audioTranscriptsInUserInfo = 0;
    qint64 audioTranscriptsInBody = 0;
    qint64 tapbackAdds = 0; // 2000–2006, custom ones included
    qint64 customTapbacks = 0;
    qint64 tapbackRemovals = 0;
    qint64 linkPreviewTexts = 0;
    qint64 linkPreviewBalloons = 0;

    qint64 attachments = 0;
    qint64 attachmentBytes = 0;
    qint64 elapsedMs = 0;

    QJsonObject toJson() const;
};

} // namespace velto::sim
