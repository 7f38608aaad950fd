#pragma once

#include <QString>

namespace velto {

// One attachment of a message as the database describes it; the reader fills it, the uploader sends it.
struct MessageAttachment {
    QString filename; // stored path, may begin with "~"
    QString transferName; // the name shown to users
    QString mimeType = QStringLiteral("application/octet-stream");
    QString uti;
    quint64 totalBytes = 0;
    bool isSticker = false;

    friend bool operator==(const MessageAttachment&, const MessageAttachment&) = default;
};

} // namespace velto
