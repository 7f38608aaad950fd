#pragma once

#include <QDateTime>
#include <QString>

namespace velto {

// A conversation in the list of chats, with the time of its newest message.
struct Chat {
    qint64 id = 0;
    QString identifier;
    QString name;
    QString service;
    QDateTime lastMessageAt;
};

// One chat's identity; each text is empty when the database holds NULL.
struct ChatInfo {
    qint64 id = 0;
    QString identifier;
    QString guid;
    QString name;
    QString service;
};

} // namespace velto
