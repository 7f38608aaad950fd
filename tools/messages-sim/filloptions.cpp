#include "filloptions.h"

namespace velto::sim {

std::optional<FillOptions> FillOptions::preset(QStringView name)
{
    FillOptions options;
    if (name == QLatin1String("small")) {
        options.messages = 1000;
        options.chats = 20;
        options.handles = 30;
    } else if (name == QLatin1String("medium")) {
        options.messages = 50000;
        options.chats = 200;
        options.handles = 300;
    } else if (name == QLatin1String("large")) {
        options.messages = 1000000;
        options.chats = 2000;
        options.handles = 3000;
    } else {
        return std::nullopt;
    }
    return options;
}

QJsonObject FillSummary::toJson() const
{
    return QJsonObject{
        {QStringLiteral("handles"), handles},
        {QStringLiteral("chats"), chats},
        {QStringLiteral("groupChats"), groupChats},
        {QStringLiteral("oneToOneChats"), oneToOneChats},
        {QStringLiteral("messages"), messages},
        {QStringLiteral("incoming"), incoming},
        {QStringLiteral("outgoing"), outgoing},
        {QStringLiteral("failedOutgoing"), failedOutgoing},
        {QStringLiteral("smsMessages"), smsMessages},
        {QStringLiteral("texts"), texts},
        {QStringLiteral("emojiTexts"), emojiTexts},
        {QStringLiteral("nonBmpTexts"), nonBmpTexts},
        {QStringLiteral("otherScriptTexts"), otherScriptTexts},
        {QStringLiteral("longTexts"), longTexts},
        {QStringLiteral("hugeTexts"), hugeTexts},
        {QStringLiteral("emptyTexts"), emptyTexts},
        {QStringLiteral("replies"), replies},
        {QStringLiteral("imageMessages"), imageMessages},
        {QStringLiteral("stickerMessages"), stickerMessages},
        {QStringLiteral("audioMessages"), audioMessages},
        {QStringLiteral("audioTranscriptsInUserInfo"), audioTranscriptsInUserInfo},
        {QStringLiteral("audioTranscriptsInBody"), audioTranscriptsInBody},
        {QStringLiteral("tapbackAdds"), tapbackAdds},
        {QStringLiteral("customTapbacks"), customTapbacks},
        {QStringLiteral("tapbackRemovals"), tapbackRemovals},
        {QStringLiteral("linkPreviewTexts"), linkPreviewTexts},
        {QStringLiteral("linkPreviewBalloons"), linkPreviewBalloons},
        {QStringLiteral("attachments"), attachments},
        {QStringLiteral("attachmentBytes"), attachmentBytes},
        {QStringLiteral("elapsedMs"), elapsedMs},
    };
}

} // namespace velto::sim
