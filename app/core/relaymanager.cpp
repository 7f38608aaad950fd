#include "relaymanager.h"

#include "configuration.h"
#include "logbufferservice.h"
#include "permissionsservice.h"
#include "preferencesmanager.h"
#include "relaycredentials.h"
#include "relayidentityservice.h"
#include "relaystatusservice.h"
#include "task.h"

#include <QCoroFuture>
#include <QCoroSignal>
#include <QCoroTimer>
#include <QTimer>
#include <QUuid>
#include <QtConcurrent>

namespace velto {

namespace {
const QString kMainSource = QStringLiteral("main");
const QString kRuntimeSource = QStringLiteral("mac-relay");
} // namespace

RelayManager::RelayManager(RelayStatusService* statusService, LogBufferService* logBuffer,
                           PermissionsService* permissionsService, PreferencesManager* preferencesManager, QObject* parent)
    : QObject(parent)
    , m_statusService(statusService)
    , m_logBuffer(logBuffer)
    , m_permissionsService(permissionsService)
    , m_preferencesManager(preferencesManager)
{
}

RelayManager::~RelayManager() = default;

void RelayManager::log(LogLevel level, const QString& text)
{
    m_logBuffer->append(LogEntry::make(level, text, kMainSource));
}

void RelayManager::setStarting(bool starting)
{
    if (m_isStarting == starting)
        return;
    m_isStarting = starting;
    Q_EMIT isStartingChanged(starting);
}

void RelayManager::setStopping(bool stopping)
{
    if (m_isStopping == stopping)
        return;
    m_isStopping = stopping;
    Q_EMIT isStoppingChanged(stopping);
}

QCoro::Task<Result<void, RelayManagerError>> RelayManager::start(StartOptions options)
{
    if (m_isStarting) {
        m_logger.info(QStringLiteral("Start already in progress, ignoring duplicate call"));
        co_return {};
    }
    if (m_runtime && m_statusService->getStatusSnapshot().connected) {
        m_logger.info(QStringLiteral("Relay already running"));
        co_return {};
    }
    setStarting(true);
    m_statusService->setConnectionState({.connectionStage = ConnectionStage::connecting});
    log(LogLevel::info, QStringLiteral("Starting relay..."));

    const Guard<RelayManager> guard(this);
    auto starting = startProper(std::move(options));
    const Result<void, RelayManagerError> result = co_await std::move(starting);
    if (!guard.alive())
        co_return result;
    setStarting(false);
    if (!result) {
        const QString text = description(result.error());
        m_statusService->setConnectionState({.connectionStage = ConnectionStage::error});
        m_statusService->appendDiagnostic(LogLevel::error, QStringLiteral("Start failed: ") + text);
        log(LogLevel::error, QStringLiteral("Failed to start relay: ") + text);
    }
    co_return result;
}

QCoro::Task<Result<void, RelayManagerError>> RelayManager::startProper(StartOptions options)
{
    const Guard<RelayManager> guard(this);
    auto probing = m_permissionsService->getSnapshot(false);
    const PermissionSnapshot snapshot = co_await std::move(probing);
    if (!guard.alive())
        co_return fail(RelayManagerError(RelayRestartError::cancelled));
    if (snapshot.fullDisk.state != PermissionState::granted) {
        m_statusService->appendDiagnostic(LogLevel::error, QStringLiteral("Full Disk Access required but not granted"));
        co_return fail(RelayManagerError(RelayStartError::fullDiskAccessRequired));
    }
    m_statusService->updatePermissions(snapshot);

    auto loading = QtConcurrent::run([] { return RelayCredentials::load(); });
    const std::optional<RelayCredentials> credentials = co_await loading;
    if (!guard.alive())
        co_return fail(RelayManagerError(RelayRestartError::cancelled));
    if (!credentials)
        co_return fail(RelayManagerError(RelayStartError::noCredentials));

    RelayRuntimeOptions runtimeOptions;
    runtimeOptions.apiServerUrl =
        options.apiServerUrl.value_or(credentials->backendUrl.value_or(Configuration::apiServerUrl()));
    runtimeOptions.apiKey = credentials->apiKey;

    auto identifying = RelayIdentityService::getHardwareUUID();
    const std::optional<QString> hardwareId = co_await std::move(identifying);
    if (!guard.alive())
        co_return fail(RelayManagerError(RelayRestartError::cancelled));
    // A random identifier differs from start to start, so the server sees a new relay each time.
    runtimeOptions.relayId = hardwareId.value_or(QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper());

    if (std::shared_ptr<RelayRuntimeHost> previous = std::exchange(m_runtime, nullptr)) {
        // A runtime still reconnecting (or left half-started by a failed start) would otherwise
        // keep its session or its observers beside the new one's.
        const bool wasActive = std::exchange(m_runtimeActive, false);
        auto retiring = retireRuntime(std::move(previous), wasActive);
        co_await std::move(retiring);
        if (!guard.alive())
            co_return fail(RelayManagerError(RelayRestartError::cancelled));
    }

    auto host = std::make_shared<RelayRuntimeHost>();
    subscribe(*host);
    PreferencesManager* preferences = m_preferencesManager;
    const std::function<void(RelayRuntime&)> setUp = runtimeSetUp;
    host->configure([preferences, setUp](RelayRuntime& runtime) {
        runtime.setPreferencesManager(preferences);
        if (setUp)
            setUp(runtime);
    });
    m_runtime = host;

    auto startingRuntime = host->start(runtimeOptions);
    const Result<void, RelayRuntimeError> started = co_await std::move(startingRuntime);
    if (!guard.alive())
        co_return fail(RelayManagerError(RelayRestartError::cancelled));
    if (!started)
        co_return fail(RelayManagerError(started.error()));
    if (m_runtime == host)
        m_runtimeActive = true;
    log(LogLevel::info, QStringLiteral("Relay started successfully"));
    co_return {};
}

QCoro::Task<> RelayManager::retireRuntime(std::shared_ptr<RelayRuntimeHost> previous, bool wasActive)
{
    if (wasActive)
        log(LogLevel::info, QStringLiteral("Stopping the previous relay runtime"));
    // Its reports would only disturb the new start's status; nothing more is heard from it.
    previous->onStateChange = nullptr;
    previous->onLog = nullptr;
    previous->onMetrics = nullptr;
    previous->onHeartbeat = nullptr;
    previous->onDiagnostic = nullptr;
    previous->onAccountsDetected = nullptr;
    auto stopping = previous->stop();
    co_await std::move(stopping);
}

QCoro::Task<> RelayManager::stop(QString reason)
{
    if (m_isStopping) {
        m_logger.info(QStringLiteral("Stop already in progress"));
        co_return;
    }
    const Guard<RelayManager> guard(this);
    setStopping(true);
    // A start in flight would bring the relay up after this stop: let it finish, then stop what
    // it started.
    while (m_isStarting) {
        co_await qCoro(this, &RelayManager::isStartingChanged);
        if (!guard.alive())
            co_return;
    }
    if (!m_runtime) {
        m_logger.info(QStringLiteral("Relay not running, nothing to stop"));
        setStopping(false);
        co_return;
    }
    log(LogLevel::info, QStringLiteral("Stopping relay (reason: ") + reason + QLatin1Char(')'));
    const std::shared_ptr<RelayRuntimeHost> host = m_runtime;
    auto stopping = host->stop();
    co_await std::move(stopping);
    if (!guard.alive())
        co_return;
    if (m_runtime == host)
        m_runtimeActive = false;
    m_statusService->setConnectionState({.connectionStage = ConnectionStage::idle, .connected = false});
    log(LogLevel::info, QStringLiteral("Relay stopped"));
    setStopping(false);
}

QCoro::Task<Result<void, RelayManagerError>> RelayManager::restart()
{
    const Guard<RelayManager> guard(this);
    log(LogLevel::info, QStringLiteral("Restarting relay..."));
    auto stopping = stop(QStringLiteral("restart"));
    co_await std::move(stopping);
    if (!guard.alive())
        co_return fail(RelayManagerError(RelayRestartError::cancelled));
    // Precise: a coarse timer may fire up to 5 % early, and the pause is a minimum.
    QTimer pause;
    pause.setTimerType(Qt::PreciseTimer);
    pause.setSingleShot(true);
    pause.start(restartPause);
    co_await &pause;
    if (!guard.alive())
        co_return fail(RelayManagerError(RelayRestartError::cancelled));
    auto starting = start();
    co_return co_await std::move(starting);
}

QCoro::Task<SyncContactsResult> RelayManager::syncContacts()
{
    // A stopped runtime has no connection: a sync through it would send nothing and still succeed.
    if (!m_runtime || !m_runtimeActive)
        co_return SyncContactsResult{false, QStringLiteral("Relay not running")};
    const Guard<RelayManager> guard(this);
    auto probing = m_permissionsService->getSnapshot(false);
    const PermissionSnapshot snapshot = co_await std::move(probing);
    if (!guard.alive() || !m_runtime)
        co_return SyncContactsResult{false, QStringLiteral("Relay not running")};
    if (snapshot.fullDisk.state != PermissionState::granted)
        co_return SyncContactsResult{false, QStringLiteral("Full Disk Access required")};
    if (snapshot.contacts.state != PermissionState::granted)
        co_return SyncContactsResult{false, QStringLiteral("Contacts access required")};

    const std::shared_ptr<RelayRuntimeHost> host = m_runtime;
    auto syncing = host->callOnRelayThread<ContactSyncResult>([](RelayRuntime& runtime) { return runtime.syncContacts(); });
    const ContactSyncResult result = co_await std::move(syncing);
    co_return SyncContactsResult{result.success, result.success ? std::nullopt : std::optional<QString>(result.message)};
}

void RelayManager::releaseRuntime()
{
    m_runtime.reset();
    m_runtimeActive = false;
}

void RelayManager::subscribe(RelayRuntimeHost& host)
{
    // The host already delivers on this thread, queued and in order; the manager is held weakly.
    const QPointer<RelayManager> self(this);
    host.onStateChange = [self](ConnectionStage stage, bool connected) {
        if (self)
            self->runtimeStateChanged(stage, connected);
    };
    host.onLog = [self](LogLevel level, const QString& text, const LogContext& context) {
        if (self)
            self->runtimeLogged(level, text, context);
    };
    host.onMetrics = [self](qint64 sent, qint64 received) {
        if (self)
            self->runtimeMetrics(sent, received);
    };
    host.onHeartbeat = [self] {
        if (self)
            self->runtimeHeartbeat();
    };
    host.onDiagnostic = [self](LogLevel level, const QString& text) {
        if (self)
            self->runtimeDiagnostic(level, text);
    };
    host.onAccountsDetected = [self](const QStringList& accounts) {
        if (self)
            self->runtimeAccountsDetected(accounts);
    };
}

void RelayManager::runtimeStateChanged(ConnectionStage stage, bool connected)
{
    // A new connection counts its messages from zero.
    if (connected) {
        m_lastSent = 0;
        m_lastReceived = 0;
    }
    m_statusService->setConnectionState({.connectionStage = stage, .connected = connected});
}

void RelayManager::runtimeLogged(LogLevel level, const QString& text, const LogContext& context)
{
    m_logBuffer->append(LogEntry::make(level, text, kRuntimeSource, context));
}

void RelayManager::runtimeMetrics(qint64 sent, qint64 received)
{
    for (qint64 i = m_lastSent; i < sent; ++i)
        m_statusService->incrementMessagesSentToday();
    for (qint64 i = m_lastReceived; i < received; ++i)
        m_statusService->incrementMessagesReceivedToday();
    m_lastSent = sent;
    m_lastReceived = received;
}

void RelayManager::runtimeHeartbeat()
{
    m_statusService->recordHeartbeat();
}

void RelayManager::runtimeDiagnostic(LogLevel level, const QString& text)
{
    m_statusService->appendDiagnostic(level, text);
}

void RelayManager::runtimeAccountsDetected(const QStringList& accounts)
{
    m_statusService->setConnectionState({.manualAccounts = accounts});
}

} // namespace velto
