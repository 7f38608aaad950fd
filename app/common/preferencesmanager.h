#pragma once

#include <QObject>
#include <QString>

#include <mutex>
#include <optional>

namespace velto {

// The user's two switches, kept in memory as observable properties and on disk in
// "preferences.json" in the configuration directory.
//
// Lives on the main thread: the setters and the change signals belong there. current() and the
// getters may also be read from other threads (the relay runtime reads batchSyncEnabled when a
// sync starts), so the value is kept under a lock.
class PreferencesManager : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool batchSyncEnabled READ batchSyncEnabled WRITE setBatchSyncEnabled NOTIFY batchSyncEnabledChanged)
    Q_PROPERTY(bool launchAtLogin READ launchAtLogin WRITE setLaunchAtLogin NOTIFY launchAtLoginChanged)

public:
    struct Preferences {
        bool batchSyncEnabled = false;
        bool launchAtLogin = false;

        bool operator==(const Preferences&) const = default;

        // {"batchSyncEnabled":…,"launchAtLogin":…}, compact.
        QByteArray toJson() const;
        // Strict: a JSON object in which both keys are present and Boolean (other keys are
        // ignored); anything else is unreadable as a whole.
        static std::optional<Preferences> fromJson(const QByteArray& data);
    };

    // Loads `filePath` (by default the configuration directory's "preferences.json"); an absent
    // or unreadable file gives the defaults, silently, and is left as it is.
    explicit PreferencesManager(QString filePath = defaultFilePath(), QObject* parent = nullptr);

    static QString defaultFilePath();

    QString fileURL() const { return m_filePath; }
    Preferences current() const;
    bool batchSyncEnabled() const { return current().batchSyncEnabled; }
    bool launchAtLogin() const { return current().launchAtLogin; }

    // Each setter changes the value in memory, notifies, and writes the whole file atomically.
    // A failed write is ignored on purpose: the change holds until the application quits. The
    // configuration directory is not created here (setup creates it).
    void setBatchSyncEnabled(bool enabled);
    // Only the launch-at-login service calls this, once the system has accepted the change.
    void setLaunchAtLogin(bool enabled);

Q_SIGNALS:
    void batchSyncEnabledChanged(bool enabled);
    void launchAtLoginChanged(bool enabled);
    void currentChanged();

private:
    // Sets one switch, notifies when it changed, and writes the file.
    void update(bool Preferences::*field, bool value, void (PreferencesManager::*changed)(bool));
    void persist(const Preferences& preferences) const;

    const QString m_filePath;
    mutable std::mutex m_mutex;
    Preferences m_current;
};

} // namespace velto
