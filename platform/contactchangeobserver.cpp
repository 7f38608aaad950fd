#include "contactchangeobserver.h"

#include "contactstore.h"

#include <QDir>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QSet>

namespace velto {

ContactChangeObserver::ContactChangeObserver(QString directory, QObject* parent)
    : QObject(parent)
    , m_directory(QDir::cleanPath(directory))
{
}

ContactChangeObserver::~ContactChangeObserver() = default;

bool ContactChangeObserver::start()
{
    if (m_watcher)
        return true;
    m_watcher = new QFileSystemWatcher(this);
    connect(m_watcher, &QFileSystemWatcher::directoryChanged, this, &ContactChangeObserver::onPathChanged);
    connect(m_watcher, &QFileSystemWatcher::fileChanged, this, &ContactChangeObserver::onPathChanged);
    rearm();
    if (m_watcher->directories().isEmpty() && m_watcher->files().isEmpty()) {
        stop();
        return false;
    }
    return true;
}

void ContactChangeObserver::stop()
{
    delete m_watcher;
    m_watcher = nullptr;
}

void ContactChangeObserver::onPathChanged()
{
    // Files come and go and a replaced file loses its watch: re-arm before telling the owner.
    const bool wasPresent = m_folderPresent;
    rearm();
    // While the folder is missing only a folder above it is watched, where unrelated things
    // change all the time; only the folder's appearance matters there.
    if (wasPresent || m_folderPresent)
        Q_EMIT contactStoreDidChange();
}

void ContactChangeObserver::rearm()
{
    if (!m_watcher)
        return;
    QStringList wanted;
    m_folderPresent = QFileInfo(m_directory).isDir();
    if (m_folderPresent) {
        const ContactStore store(m_directory);
        wanted = store.contactFolders();
        const QStringList files = store.contactFiles();
        wanted += files.mid(0, maxWatchedFiles);
    } else {
        // Not there (yet): watch the nearest folder above it, to see it appear.
        QString ancestor = QFileInfo(m_directory).absolutePath();
        while (!QFileInfo(ancestor).isDir() && ancestor != QDir::rootPath())
            ancestor = QFileInfo(ancestor).absolutePath();
        wanted.append(ancestor);
    }

    const QStringList current = m_watcher->directories() + m_watcher->files();
    const QSet<QString> wantedSet(wanted.cbegin(), wanted.cend());
    QStringList stale;
    for (const QString& path : current) {
        if (!wantedSet.contains(path))
            stale.append(path);
    }
    if (!stale.isEmpty())
        m_watcher->removePaths(stale);
    const QSet<QString> currentSet(current.cbegin(), current.cend());
    QStringList added;
    for (const QString& path : std::as_const(wanted)) {
        if (!currentSet.contains(path))
            added.append(path);
    }
    if (!added.isEmpty())
        m_watcher->addPaths(added);
}

} // namespace velto
