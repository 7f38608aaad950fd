#pragma once

#include <QString>

namespace velto {

// One attachment of a message as the database describes it, with where its file is.
struct AttachmentMeta {
    QString filename;     // as stored, may begin with "~"
    QString transferName; // the name shown to users
    QString uti;
    QString mimeType;
    qint64 totalBytes = 0;
    bool isSticker = false;
    QString originalPath; // filename with "~" expanded
    bool missing = true;  // no regular file at originalPath
};

} // namespace velto
