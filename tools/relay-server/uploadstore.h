#pragma once

#include "result.h"

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>

#include <memory>

namespace velto::relayserver {

// A file the store holds: `storagePath` is relative to the storage folder ("<id>/<name>").
struct StoredFile {
    QString storagePath;
    QString fileName;
    qint64 size = 0;
};

// Uploaded files on disk. Each file gets a folder of its own named by a fresh id, so names never
// collide and the sender's name survives for downloads; that name is reduced to a safe last path
// component first, because it comes from whoever sent the message.
class UploadStore {
public:
    // An empty `directory` means a temporary folder removed when the store goes.
    explicit UploadStore(const QString& directory);

    Result<void, QString> open();
    QString directory() const { return m_directory; }

    Result<StoredFile, QString> store(const QString& requestedName, const QByteArray& data);

    // The absolute path of a stored file for a storage path from a URL; empty when the path does
    // not name a stored file (including any attempt to leave the storage folder).
    QString resolve(const QString& storagePath) const;

    // The file name as it will be stored: the last component of `name`, without control
    // characters or leading dots, at most 200 bytes of UTF-8; "file" when nothing is left.
    static QString safeFileName(const QString& name);

private:
    QString m_directory;
    std::unique_ptr<QTemporaryDir> m_temporary;
};

} // namespace velto::relayserver
