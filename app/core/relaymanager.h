#pragma once

#include "contactsyncresult.h"
#include "logger.h"
#include "relaymanagererror.h"
#include "relayruntimehost.h"

#include <QCoroTask>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>
#include <optional>

namespace velto {

class LogBufferService;
class PermissionsService;
class PreferencesManager;
class RelayStatusService;

// Overrides for one start; absent values mean the stored ones.
struct StartOptions {
    std::optional<QString> apiServerUrl;
};

// The one place the application starts, stops and restarts the relay. Checks a start's
// preconditions, builds a fresh runtime on its own thread for every start, and turns the
// runtime's reports into the status service and the log buffer. Main thread only.
class RelayManager : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool isStarting READ isStarting NOTIFY isStartingChanged)
    Q_PROPERTY(bool isStopping READ isStopping NOTIFY isStoppingChanged)
public:
    // The services are owned by the caller and must outlive the manager.
    RelayManager(RelayStatusService* statusService, LogBufferService* logBuffer, PermissionsService* permissionsService,
                 PreferencesManager* preferencesManager, QObject* parent = nullptr);
    ~RelayManager() override;

    QCoro::Task<Result<void, RelayManagerError>> start(StartOptions options = {});
    // Reasons used: "user", "app-quit", "reset", "restart". Never fails.
    QCoro::Task<> stop(QString reason);
    // Stop, half a second's pause, start.
    QCoro::Task<Result<void, RelayManagerError>> restart();
    QCoro::Task<SyncContactsResult> syncContacts();

    bool isStarting() const { return m_isStarting; }
    bool isStopping() const { return m_isStopping; }

    // The runtime of the latest start; kept after stop until the next start replaces it.
    RelayRuntimeHost* runtime() const { return m_runtime.get(); }
    // Forgets the runtime (shutdown, after stop).
    void releaseRuntime();

    // Applied to every new runtime before it starts (tests and the demo shorten its timings).
    std::function<void(RelayRuntime&)> runtimeSetUp;

    static constexpr std::chrono::milliseconds restartPause{500};

Q_SIGNALS:
    void isStartingChanged(bool starting);
    void isStoppingChanged(bool stopping);

private:
    QCoro::Task<Result<void, RelayManagerError>> startProper(StartOptions options);
    QCoro::Task<> retireRuntime(std::shared_ptr<RelayRuntimeHost> previous, bool wasActive);
    void subscribe(RelayRuntimeHost& host);
    void setStarting(bool starting);
    void setStopping(bool stopping);
    void log(LogLevel level, const QString& text);

    // Runtime reports, on the main thread.
    void runtimeStateChanged(ConnectionStage stage, bool connected);
    void runtimeLogged(LogLevel level, const QString& text, const LogContext& context);
    void runtimeMetrics(qint64 sent, qint64 received);
    void runtimeHeartbeat();
    void runtimeDiagnostic(LogLevel level, const QString& text);
    void runtimeAccountsDetected(const QStringList& accounts);

    Logger m_logger{"RelayManager"};
    RelayStatusService* m_statusService;
    LogBufferService* m_logBuffer;
    PermissionsService* m_permissionsService;
    PreferencesManager* m_preferencesManager;

    // Shared with the operations awaiting it, so replacing it never frees it under them.
    std::shared_ptr<RelayRuntimeHost> m_runtime;
    // The stored runtime started and has not been stopped since.
    bool m_runtimeActive = false;
    bool m_isStarting = false;
    bool m_isStopping = false;
    qint64 m_lastSent = 0;
    qint64 m_lastReceived = 0;
};

} // namespace velto
