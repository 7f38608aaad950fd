#pragma once

#include <updater.h>

#include <QObject>

#include <memory>

namespace velto {

// Owns the updater for the life of the process, starts it at once, and publishes whether a
// user-initiated check is possible ("Check for Updates…" is disabled while it is not). The
// updater itself decides how a check goes; its outcome is passed on for the screens to show.
// Main thread only.
class UpdaterService : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool canCheckForUpdates READ canCheckForUpdates NOTIFY canCheckForUpdatesChanged)

public:
    // The process-wide instance, created on first use and owned by the application object.
    static UpdaterService& shared();

    // Takes the updater (by default the one on the compiled-in feed) and starts it, with
    // automatic checks at `automaticCheckInterval`.
    explicit UpdaterService(std::unique_ptr<Updater> updaterController = std::make_unique<Updater>(),
                            std::chrono::milliseconds automaticCheckInterval = Updater::defaultCheckInterval,
                            QObject* parent = nullptr);
    ~UpdaterService() override;

    Updater& updaterController() { return *m_updaterController; }
    bool canCheckForUpdates() const { return m_canCheckForUpdates; }

    // The user asked: check now. False when no check is possible.
    bool checkForUpdates();

Q_SIGNALS:
    void canCheckForUpdatesChanged(bool canCheck);
    void checkFinished(const velto::UpdateCheckResult& result);

private:
    void setCanCheckForUpdates(bool canCheck);

    std::unique_ptr<Updater> m_updaterController;
    bool m_canCheckForUpdates = false;
};

} // namespace velto
