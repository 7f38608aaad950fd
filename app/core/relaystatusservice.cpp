#include "relaystatusservice.h"

#include "codablepermissionsnapshot.h"
#include "configuration.h"
#include "permissionsservice.h"
#include "persistedwizardstate.h"
#include "relaycredentials.h"
#include "task.h"

#include <QCoroFuture>
#include <QFile>
#include <QtConcurrent>

namespace velto {

namespace {

struct StoredFiles {
    std::optional<QByteArray> wizardState;
    std::optional<QByteArray> credentials;
    std::optional<QByteArray> permissionCache;
};

std::optional<QByteArray> readWhole(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    return file.readAll();
}

StoredFiles readStoredFiles()
{
    return {readWhole(Configuration::wizardStateFile()), readWhole(Configuration::relayAuthFile()),
            readWhole(Configuration::permissionCacheFile())};
}

} // namespace

RelayStatusService::RelayStatusService(QObject* parent)
    : QObject(parent)
{
    qRegisterMetaType<DiagnosticEntry>();
    m_cacheWriter.setMaxThreadCount(1);
}

RelayStatusService::~RelayStatusService()
{
    m_cacheWriter.waitForDone();
}

void RelayStatusService::clearUptimeStart()
{
    if (!m_uptimeStartedAt)
        return;
    m_uptimeStartedAt.reset();
    Q_EMIT uptimeStartedAtChanged();
}

QCoro::Task<> RelayStatusService::initialize()
{
    const Guard<RelayStatusService> guard(this);
    // Small files, but still file system work: off the main thread.
    auto reading = QtConcurrent::run(readStoredFiles);
    const StoredFiles files = co_await reading;
    if (!guard.alive())
        co_return;

    const auto wizardState = files.wizardState ? PersistedWizardState::decode(*files.wizardState) : std::nullopt;
    if (wizardState) {
        m_state.relayName = wizardState->relayName;
        m_state.connectionStage = ConnectionStage::idle;
    } else {
        m_state.connectionStage = ConnectionStage::awaitingSetup;
    }

    if (const auto credentials = files.credentials ? RelayCredentials::decode(*files.credentials) : std::nullopt) {
        m_state.tenantId = credentials->tenantId;
        m_state.tenantName = credentials->tenantName;
        m_state.relayId = credentials->relayId;
        m_state.backendUrl = credentials->backendUrl.value_or(Configuration::apiServerUrl());
        m_state.connectionStage = ConnectionStage::ready;
    }

    if (const auto cached = files.permissionCache ? CodablePermissionSnapshot::fromJson(*files.permissionCache)
                                                  : std::nullopt)
        m_state.permissions = cached->toSnapshot(now());

    Q_EMIT stateChanged();
    m_logger.info(QStringLiteral("Relay status service initialized, stage: ") + rawValue(m_state.connectionStage));
}

void RelayStatusService::setConnectionState(const ConnectionStateUpdate& update)
{
    const bool wasConnected = m_state.connected;
    if (update.connectionStage)
        m_state.connectionStage = *update.connectionStage;
    if (update.connected)
        m_state.connected = *update.connected;
    if (update.relayId)
        m_state.relayId = update.relayId;
    if (update.tenantId)
        m_state.tenantId = update.tenantId;
    if (update.tenantName)
        m_state.tenantName = update.tenantName;
    if (update.manualAccounts)
        m_state.manualAccounts = update.manualAccounts;
    if (update.backendUrl)
        m_state.backendUrl = update.backendUrl;
    Q_EMIT stateChanged();

    if (wasConnected && !m_state.connected) {
        m_uptimeStartedAt.reset();
        m_state.uptimeSeconds = 0;
        Q_EMIT uptimeStartedAtChanged();
        appendDiagnostic(LogLevel::warn, QStringLiteral("Connection lost"));
    } else if (!wasConnected && m_state.connected) {
        m_uptimeStartedAt = now();
        Q_EMIT uptimeStartedAtChanged();
        appendDiagnostic(LogLevel::info, QStringLiteral("Connection established"));
    }
}

void RelayStatusService::recordHeartbeat()
{
    m_state.lastHeartbeat = now();
    Q_EMIT stateChanged();
}

void RelayStatusService::appendDiagnostic(LogLevel level, const QString& message)
{
    const DiagnosticEntry entry{QUuid::createUuid(), level, message, now()};
    m_state.diagnostics.append(entry);
    if (m_state.diagnostics.size() > maxDiagnostics)
        m_state.diagnostics.remove(0, m_state.diagnostics.size() - maxDiagnostics);
    Q_EMIT diagnosticAppended(entry);
    Q_EMIT stateChanged();
}

void RelayStatusService::resetDailyCounters()
{
    m_state.messagesSentToday = 0;
    Q_EMIT stateChanged();
    m_state.messagesReceivedToday = 0;
    Q_EMIT stateChanged();
    appendDiagnostic(LogLevel::info, QStringLiteral("Daily counters reset"));
    m_logger.info(QStringLiteral("Daily message counters reset"));
}

void RelayStatusService::incrementMessagesSentToday()
{
    ++m_state.messagesSentToday;
    Q_EMIT stateChanged();
}

void RelayStatusService::incrementMessagesReceivedToday()
{
    ++m_state.messagesReceivedToday;
    Q_EMIT stateChanged();
}

RelayRuntimeState RelayStatusService::getStatusSnapshot() const
{
    RelayRuntimeState copy = m_state;
    if (copy.connected && m_uptimeStartedAt)
        copy.uptimeSeconds = double(m_uptimeStartedAt->msecsTo(now())) / 1000.0;
    return copy;
}

void RelayStatusService::updatePermissions(const PermissionSnapshot& snapshot)
{
    m_state.permissions = snapshot;
    Q_EMIT stateChanged();
    // The caller does not wait for the file; a failed write is logged by the permissions service.
    (void)QtConcurrent::run(&m_cacheWriter, [snapshot] { PermissionsService().persistCache(snapshot); });
}

void RelayStatusService::waitForPendingWrites()
{
    m_cacheWriter.waitForDone();
}

} // namespace velto
