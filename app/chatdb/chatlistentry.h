#pragma once

#include <QString>
#include <QStringList>

#include <optional>

namespace velto {

// One conversation of the conversation list.
struct ChatListEntry {
    qint64 chatId = 0;
    QString identifier;
    QString guid;
    QString name;
    QString service;
    quint64 lastMessageAt = 0; // Unix milliseconds, whole seconds only
    std::optional<QString> lastMessageBody;
    QStringList participants;
    bool isGroup = false;
    std::optional<qint64> chatStyle;
};

} // namespace velto
