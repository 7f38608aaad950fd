#include "messagewatcherfiles.h"

#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>

namespace velto {

FileIdentity FileIdentity::of(const QString& path)
{
    struct stat info {};
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return {};
    return {quint64(info.st_dev), quint64(info.st_ino), true};
}

MessageWatcherFiles::MessageWatcherFiles(const QString& databasePath, QObject* parent)
    : QObject(parent)
    , m_watcher(this)
    , m_folder(QFileInfo(databasePath).absolutePath())
    , m_files{databasePath, databasePath + QStringLiteral("-wal"), databasePath + QStringLiteral("-shm")}
{
    connect(&m_watcher, &QFileSystemWatcher::fileChanged, this, &MessageWatcherFiles::onEvent);
    connect(&m_watcher, &QFileSystemWatcher::directoryChanged, this, &MessageWatcherFiles::onEvent);
}

QStringList MessageWatcherFiles::arm()
{
    return rearm();
}

QStringList MessageWatcherFiles::watchedPaths() const
{
    return m_watcher.directories() + m_watcher.files();
}

void MessageWatcherFiles::onEvent()
{
    // Three stat calls per event: cheap next to the query the event leads to, and they catch a
    // replaced file whichever event arrives first (the folder's, or the old file's own).
    for (const QString& problem : rearm())
        Q_EMIT unreliable(problem);
    Q_EMIT changed();
}

QStringList MessageWatcherFiles::rearm()
{
    QStringList problems;
    if (!m_watcher.directories().contains(m_folder) && !m_watcher.addPath(m_folder))
        problems << QStringLiteral("The folder %1 cannot be watched").arg(m_folder);

    const QStringList watched = m_watcher.files();
    for (size_t i = 0; i < m_files.size(); ++i) {
        const QString& path = m_files[i];
        const FileIdentity now = FileIdentity::of(path);
        const bool isWatched = watched.contains(path);
        // The watch is right when it is on the file the path names now (the kernel drops it
        // when its file is deleted), or when there is no file and no watch.
        if (now == m_armed[i] && isWatched == now.exists)
            continue;
        if (isWatched)
            m_watcher.removePath(path);
        m_armed[i] = now;
        if (now.exists && !m_watcher.addPath(path)) {
            m_armed[i] = {};
            problems << QStringLiteral("The file %1 cannot be watched").arg(path);
        }
    }
    return problems;
}

} // namespace velto
