#pragma once

#include "logger.h"
#include "relaystatusstate.h"

#include <QCoroTask>
#include <QObject>
#include <QThreadPool>

#include <functional>
#include <optional>

namespace velto {

// Holds the relay's observable status: stage, identity, heartbeat, today's counters, uptime,
// the newest 50 diagnostics and the last known permissions. Main thread only; every write
// emits stateChanged().
class RelayStatusService : public QObject {
    Q_OBJECT
public:
    static constexpr int maxDiagnostics = 50;
    using Clock = std::function<QDateTime()>;

    explicit RelayStatusService(QObject* parent = nullptr);
    ~RelayStatusService() override;

    const RelayRuntimeState& state() const { return m_state; }
    std::optional<QDateTime> uptimeStartedAt() const { return m_uptimeStartedAt; }
    // At shutdown the application forgets when the connection came up.
    void clearUptimeStart();

    // Fills the stage, identity and permissions from the wizard state, credentials and
    // permission cache files; unreadable files leave their fields as they are. May run again.
    QCoro::Task<> initialize();

    void setConnectionState(const ConnectionStateUpdate& update);
    void recordHeartbeat();
    void appendDiagnostic(LogLevel level, const QString& message);
    void resetDailyCounters();
    // One message more today; the relay manager raises these one step at a time.
    void incrementMessagesSentToday();
    void incrementMessagesReceivedToday();
    // A copy of the state whose uptimeSeconds is filled while connected.
    RelayRuntimeState getStatusSnapshot() const;
    // Shows the snapshot and writes it to the permission cache in the background.
    void updatePermissions(const PermissionSnapshot& snapshot);

    // The source of "now" for stamps and uptime; tests use a clock they control.
    void setClock(Clock clock) { m_now = std::move(clock); }
    // Waits for the permission cache writes started so far (shutdown, tests).
    void waitForPendingWrites();

Q_SIGNALS:
    void stateChanged();
    void diagnosticAppended(const velto::DiagnosticEntry& entry);
    void uptimeStartedAtChanged();

private:
    QDateTime now() const { return m_now ? m_now() : QDateTime::currentDateTime(); }

    Logger m_logger{"RelayStatus"};
    RelayRuntimeState m_state;
    std::optional<QDateTime> m_uptimeStartedAt;
    Clock m_now;
    // One thread, so cache writes land in the order the snapshots arrived.
    QThreadPool m_cacheWriter;
};

} // namespace velto

Q_DECLARE_METATYPE(velto::DiagnosticEntry)
