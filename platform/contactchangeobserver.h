#pragma once

#include <QObject>
#include <QString>

class QFileSystemWatcher;

namespace velto {

// Tells when the address book (ContactStore's folder) may have changed: a vCard file written,
// added, removed or renamed, a subfolder added or removed, the folder itself created or
// deleted. Raw file events arrive in bursts; the owner debounces them. Lives on the thread
// that created it.
class ContactChangeObserver : public QObject {
    Q_OBJECT
public:
    // Files watched one by one, beyond which only their folders are watched (files written by
    // rename still show up there; in-place writes to the rest go unseen).
    static constexpr int maxWatchedFiles = 2000;

    explicit ContactChangeObserver(QString directory, QObject* parent = nullptr);
    ~ContactChangeObserver() override;

    const QString& directory() const { return m_directory; }

    // Starts watching; does nothing when already watching. False when the system refused to
    // watch anything (no folder on the way to the address book could be watched).
    bool start();
    void stop();
    bool isObserving() const { return m_watcher != nullptr; }

Q_SIGNALS:
    // Emitted for every change seen, possibly several times for one edit.
    void contactStoreDidChange();

private:
    void onPathChanged();
    void rearm();

    QString m_directory;
    QFileSystemWatcher* m_watcher = nullptr;
    bool m_folderPresent = false;
};

} // namespace velto
