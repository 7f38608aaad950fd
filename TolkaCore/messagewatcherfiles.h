#pragma once

#include <QFileSystemWatcher>
#include <QObject>
#include <QString>
#include <QStringList>

#include <array>

namespace velto {

// Which file a path names right now. Tells a file replaced on disk (rename over it, or delete
// and create) from the same file written to.
struct FileIdentity {
    quint64 device = 0;
    quint64 inode = 0;
    bool exists = false;

    static FileIdentity of(const QString& path);
    friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
};

// Kernel change notification for an SQLite database file, its "-wal" and "-shm" companions and
// the folder that holds them. A watch on a file follows the file it was set on, not its path, so
// the folder is watched too: every event re-arms the file watches whose path now names another
// file, or a file that did not exist before (a companion created after start).
class MessageWatcherFiles : public QObject {
    Q_OBJECT

public:
    explicit MessageWatcherFiles(const QString& databasePath, QObject* parent = nullptr);

    // Watches the folder and whichever of the three files exist. Returns what could not be
    // watched, as text for the log; an empty list when everything is watched.
    QStringList arm();
    // The folder and files under watch.
    QStringList watchedPaths() const;

Q_SIGNALS:
    // Something in the folder or one of the files changed.
    void changed();
    // A watch could not be set after a change; events may be missed until the next change.
    void unreliable(const QString& reason);

private:
    void onEvent();
    QStringList rearm();

    QFileSystemWatcher m_watcher;
    QString m_folder;
    std::array<QString, 3> m_files;
    std::array<FileIdentity, 3> m_armed; // the file each watch was set on
};

} // namespace velto
