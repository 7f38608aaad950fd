#pragma once

#include <QString>

#include <optional>

namespace velto {

// The outcome of one file's upload; `error` is the failure's fixed text.
struct UploadResult {
    bool success = false;
    std::optional<QString> storagePath;
    std::optional<QString> storageUrl;
    std::optional<QString> error;

    friend bool operator==(const UploadResult&, const UploadResult&) = default;
};

// One attachment as message events report it: the row's metadata plus where the server stored
// the file. `missing` is set whenever the upload did not succeed, whatever the reason.
struct ReceivedAttachment {
    bool missing = true;
    QString mimeType;
    QString uti;
    QString filename;     // as the row gave it
    QString originalPath; // `filename` with a leading "~" expanded
    quint64 totalBytes = 0;
    bool isSticker = false;
    QString transferName;
    std::optional<QString> storagePath;
    std::optional<QString> storageUrl;

    friend bool operator==(const ReceivedAttachment&, const ReceivedAttachment&) = default;
};

} // namespace velto
