#include "updaterservice.h"

#include <QCoreApplication>
#include <QPointer>

namespace velto {

UpdaterService& UpdaterService::shared()
{
    // Parented to the application so that it goes before the event loop's objects do.
    static QPointer<UpdaterService> instance;
    if (!instance)
        instance = new UpdaterService(std::make_unique<Updater>(), Updater::defaultCheckInterval,
                                      QCoreApplication::instance());
    return *instance;
}

UpdaterService::UpdaterService(std::unique_ptr<Updater> updaterController,
                               std::chrono::milliseconds automaticCheckInterval, QObject* parent)
    : QObject(parent)
    , m_updaterController(std::move(updaterController))
{
    connect(m_updaterController.get(), &Updater::canCheckForUpdatesChanged, this,
            &UpdaterService::setCanCheckForUpdates);
    connect(m_updaterController.get(), &Updater::checkFinished, this, &UpdaterService::checkFinished);
    m_updaterController->start(automaticCheckInterval);
    setCanCheckForUpdates(m_updaterController->canCheckForUpdates());
}

UpdaterService::~UpdaterService() = default;

bool UpdaterService::checkForUpdates()
{
    return m_updaterController->checkForUpdates();
}

void UpdaterService::setCanCheckForUpdates(bool canCheck)
{
    if (canCheck == m_canCheckForUpdates)
        return;
    m_canCheckForUpdates = canCheck;
    Q_EMIT canCheckForUpdatesChanged(canCheck);
}

} // namespace velto
