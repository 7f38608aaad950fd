#include "appstate.h"

#include "autolaunchservice.h"
#include "configuration.h"
#include "filestore.h"
#include "logbufferservice.h"
#include "permissionsservice.h"
#include "persistedwizardstate.h"
#include "preferencesmanager.h"
#include "relaycredentials.h"
#include "relayidentityservice.h"
#include "relaymanager.h"
#include "relayregistrationservice.h"
#include "relaystatusservice.h"
#include "task.h"
#include "validationservice.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimeZone>
#include <QTimer>
#include <QUrl>
#include <QUrlQuery>
#include <QUuid>

namespace velto {

namespace {

QString isoUtc(const QDateTime& moment)
{
    return moment.toUTC().toString(Qt::ISODate);
}

} // namespace

AppState::AppState(QObject* parent)
    : QObject(parent)
    , m_statusService(new RelayStatusService(this))
    , m_logBuffer(new LogBufferService(this))
    , m_permissionsService(new PermissionsService(this))
    , m_preferencesManager(new PreferencesManager(PreferencesManager::defaultFilePath(), this))
    , m_autoLaunch(std::make_unique<AutoLaunchService>(*m_preferencesManager))
    , m_relayManager(new RelayManager(m_statusService, m_logBuffer, m_permissionsService, m_preferencesManager, this))
    , m_midnightTimer(new QTimer(this))
{
    m_midnightTimer->setSingleShot(true);
    m_midnightTimer->setTimerType(Qt::CoarseTimer);
    connect(m_midnightTimer, &QTimer::timeout, this, &AppState::midnightReset);
}

AppState::~AppState() = default;

QCoro::Task<> AppState::initialize()
{
    const Guard<AppState> guard(this);
    m_logBuffer->append(LogLevel::info, QStringLiteral("Velto starting up"));
    m_autoLaunch->initialize();
    co_await m_statusService->initialize();
    if (!guard.alive())
        co_return;

    setWizardComplete(PersistedWizardState::exists());
    setCheckingWizard(false);

    if (!m_pendingRegistrationToken) {
        if (const auto token = readPendingRegistration()) {
            setPendingToken(*token);
            if (m_wizardComplete)
                setShowRelaySwitchConfirm(true);
        }
    }

    if (m_wizardComplete && !Configuration::isAutoStartDisabled()) {
        co_await autoStart();
        if (!guard.alive())
            co_return;
    }
    scheduleMidnightReset();
    m_logBuffer->append(LogLevel::info, QStringLiteral("Startup complete"));
}

QCoro::Task<> AppState::autoStart()
{
    const Guard<AppState> guard(this);
    const auto status = m_statusService->getStatusSnapshot();
    const bool ready = status.connectionStage == ConnectionStage::ready;
    const bool idleWithRelay = status.connectionStage == ConnectionStage::idle && status.relayId.has_value();
    if (!ready && !idleWithRelay)
        co_return;

    const PermissionSnapshot permissions = co_await m_permissionsService->getSnapshot(false);
    if (!guard.alive())
        co_return;
    if (permissions.fullDisk.state != PermissionState::granted) {
        m_statusService->appendDiagnostic(LogLevel::warn,
                                          QStringLiteral("Auto-start skipped: Full Disk Access not granted"));
        co_return;
    }
    const auto started = co_await m_relayManager->start();
    if (!guard.alive())
        co_return;
    if (!started)
        m_logger.error(QStringLiteral("Auto-start failed: %1").arg(description(started.error())));
}

std::optional<QDateTime> AppState::nextMidnight(const QDateTime& now)
{
    const QDate tomorrow = now.date().addDays(1);
    if (!tomorrow.isValid())
        return std::nullopt;
    // Where midnight does not exist (a clock change at 00:00) the day starts at its first existing time.
    const QDateTime midnight = now.timeSpec() == Qt::TimeZone ? tomorrow.startOfDay(now.timeZone())
                             : now.timeSpec() == Qt::OffsetFromUTC ? tomorrow.startOfDay(Qt::OffsetFromUTC, now.offsetFromUtc())
                                                                   : tomorrow.startOfDay(now.timeSpec());
    if (!midnight.isValid())
        return std::nullopt;
    return midnight;
}

void AppState::scheduleMidnightReset()
{
    m_midnightTimer->stop();
    m_midnightResetDue.reset();
    const QDateTime now = QDateTime::currentDateTime();
    const auto due = nextMidnight(now);
    if (!due)
        return;
    const qint64 seconds = now.secsTo(*due);
    m_logger.info(QStringLiteral("Midnight reset scheduled in %1 minutes").arg(seconds / 60));
    m_midnightResetDue = due;
    m_midnightTimer->start(std::chrono::milliseconds(now.msecsTo(*due)));
}

void AppState::midnightReset()
{
    m_midnightResetDue.reset();
    m_statusService->resetDailyCounters();
    m_logBuffer->append(LogLevel::info, QStringLiteral("Daily counters reset at midnight"));
    scheduleMidnightReset();
    Q_EMIT midnightResetDone();
}

std::optional<QString> AppState::registrationToken(const QUrl& url)
{
    if (url.scheme() != QLatin1String("velto") || url.host() != QLatin1String("register"))
        return std::nullopt;
    const QUrlQuery query(url);
    for (const auto& [name, value] : query.queryItems(QUrl::FullyDecoded)) {
        if (name == QLatin1String("token"))
            return value.isEmpty() ? std::nullopt : std::optional<QString>(value);
    }
    return std::nullopt;
}

void AppState::handleRegistrationToken(const QString& token)
{
    m_logger.info(QStringLiteral("Received registration token via URL scheme"));
    savePendingRegistration(token);
    setPendingToken(token);
    if (m_wizardComplete)
        setShowRelaySwitchConfirm(true);
}

void AppState::cancelRelaySwitch()
{
    setShowRelaySwitchConfirm(false);
    setPendingToken(std::nullopt);
    clearPendingRegistration();
}

QCoro::Task<> AppState::confirmRelaySwitch()
{
    const Guard<AppState> guard(this);
    if (!m_pendingRegistrationToken) {
        m_logger.error(QStringLiteral("confirmRelaySwitch called but pendingRegistrationToken is nil"));
        co_return;
    }
    const QString token = *m_pendingRegistrationToken;
    setPendingToken(std::nullopt);
    setShowRelaySwitchConfirm(false);
    m_logger.info(QStringLiteral("Relay switch confirmed, re-registering with new token"));
    m_logBuffer->append(LogLevel::info, QStringLiteral("Switching relay — re-registering"));

    co_await m_relayManager->stop(QStringLiteral("user"));
    if (!guard.alive())
        co_return;

    const QString name = m_statusService->state().relayName.value_or(defaultRelayName());
    std::optional<QString> server;
    if (const auto credentials = RelayCredentials::load())
        server = credentials->backendUrl;
    const RegistrationResult result = co_await registerRelay(token, name, {}, true, server);
    if (!guard.alive())
        co_return;
    if (!result.success) {
        const QString text = QStringLiteral("Relay switch failed: ") + result.error.value_or(QStringLiteral("unknown"));
        m_logBuffer->append(LogLevel::error, text);
        m_statusService->appendDiagnostic(LogLevel::error, text);
        co_return;
    }
    m_logBuffer->append(LogLevel::info, QStringLiteral("Relay switched successfully"));
    const auto started = co_await m_relayManager->start();
    if (!guard.alive())
        co_return;
    if (started) {
        setShowRelaySwitchSuccess(true);
        co_return;
    }
    const QString d = description(started.error());
    m_logger.error(QStringLiteral("Relay start failed after switch: %1").arg(d));
    const QString text = QStringLiteral("Relay start failed after switch: ") + d;
    m_logBuffer->append(LogLevel::error, text);
    m_statusService->appendDiagnostic(LogLevel::error, text);
}

QCoro::Task<RegistrationResult> AppState::registerRelay(QString token, QString name, QList<ManualAccount> manualAccounts,
                                                        bool permissionsOverride,
                                                        std::optional<QString> apiServerUrlOverride)
{
    const Guard<AppState> guard(this);
    m_logBuffer->append(LogLevel::info, QStringLiteral("Registering relay '") + name + QLatin1Char('\''));
    const QString serverUrl = apiServerUrlOverride ? *apiServerUrlOverride : Configuration::apiServerUrl();
    if (serverUrl.isEmpty())
        co_return RegistrationResult{false, QStringLiteral("API_SERVER_URL not configured")};

    const std::optional<QString> hardware = co_await RelayIdentityService::getHardwareUUID();
    if (!guard.alive())
        co_return RegistrationResult{false, QStringLiteral("Registration cancelled")};
    const QString relayId = hardware.value_or(QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper());

    RelayRegistrationService service;
    const auto registered = co_await service.registerRelay(serverUrl, token, relayId, name);
    if (!guard.alive())
        co_return RegistrationResult{false, QStringLiteral("Registration cancelled")};
    if (!registered) {
        const QString message = ValidationService::mapRegistrationError(registered.error().description());
        m_logBuffer->append(LogLevel::error, QStringLiteral("Registration failed: ") + message);
        co_return RegistrationResult{false, message};
    }
    const RelayCredentials& credentials = registered.value();

    const PermissionSnapshot permissions = co_await m_permissionsService->getSnapshot(false);
    if (!guard.alive())
        co_return RegistrationResult{false, QStringLiteral("Registration cancelled")};

    const QDateTime now = QDateTime::currentDateTimeUtc();
    PermissionsAcknowledged acknowledged;
    acknowledged.fullDisk = true;
    acknowledged.contacts = true;
    acknowledged.override = permissionsOverride;
    if (permissionsOverride) {
        acknowledged.overrideTimestamp = PersistedWizardState::secondsSinceReferenceDate(now);
        QStringList missing;
        if (permissions.fullDisk.state != PermissionState::granted)
            missing << QStringLiteral("fullDisk");
        if (permissions.contacts.state != PermissionState::granted)
            missing << QStringLiteral("contacts");
        acknowledged.overriddenPermissions = missing;
    }
    acknowledged.lastCheckedStates = PersistedPermissionStates{permissionStateRawValue(permissions.fullDisk.state),
                                                               permissionStateRawValue(permissions.contacts.state)};
    PersistedWizardState wizard;
    wizard.token = token;
    wizard.relayName = name;
    wizard.permissionsAcknowledged = acknowledged;
    wizard.manualAccounts = manualAccounts;
    wizard.completedAt = PersistedWizardState::timestamp(now);
    if (const auto saved = wizard.save(); !saved) {
        const QString message = ValidationService::mapRegistrationError(saved.error());
        m_logBuffer->append(LogLevel::error, QStringLiteral("Registration failed: ") + message);
        co_return RegistrationResult{false, message};
    }
    clearPendingRegistration();

    QStringList accountValues;
    for (const ManualAccount& account : manualAccounts)
        accountValues << account.value;
    ConnectionStateUpdate update;
    update.connectionStage = ConnectionStage::ready;
    update.relayId = credentials.relayId;
    update.tenantId = credentials.tenantId;
    update.tenantName = credentials.tenantName;
    update.manualAccounts = accountValues;
    update.backendUrl = credentials.backendUrl;
    m_statusService->setConnectionState(update);
    m_statusService->appendDiagnostic(LogLevel::info, QStringLiteral("Registration successful"));
    m_logBuffer->append(LogLevel::info, QStringLiteral("Registration complete"));
    co_return RegistrationResult{true, std::nullopt};
}

Result<void, QString> AppState::clearWizardState()
{
    QDir dir(Configuration::configDir());
    if (dir.exists() && !dir.removeRecursively())
        return fail(QStringLiteral("Could not remove %1").arg(Configuration::configDir()));
    m_statusService->appendDiagnostic(LogLevel::info, QStringLiteral("Setup reset — all config wiped"));
    m_logBuffer->append(LogLevel::info, QStringLiteral("All config files cleared"));
    return {};
}

QCoro::Task<> AppState::shutdown()
{
    const Guard<AppState> guard(this);
    m_logBuffer->append(LogLevel::info, QStringLiteral("Shutting down..."));
    co_await m_relayManager->stop(QStringLiteral("app-quit"));
    if (!guard.alive())
        co_return;
    m_relayManager->releaseRuntime();
    m_midnightTimer->stop();
    m_midnightResetDue.reset();
    m_statusService->clearUptimeStart();
    m_statusService->waitForPendingWrites();
    m_logBuffer->destroy();
    m_logBuffer->append(LogLevel::info, QStringLiteral("Shutdown complete"));
}

void AppState::setWizardComplete(bool complete)
{
    if (m_wizardComplete == complete)
        return;
    m_wizardComplete = complete;
    Q_EMIT wizardCompleteChanged(complete);
}

void AppState::setCheckingWizard(bool checking)
{
    if (m_isCheckingWizard == checking)
        return;
    m_isCheckingWizard = checking;
    Q_EMIT isCheckingWizardChanged(checking);
}

void AppState::setPendingToken(std::optional<QString> token)
{
    if (m_pendingRegistrationToken == token)
        return;
    m_pendingRegistrationToken = std::move(token);
    Q_EMIT pendingRegistrationTokenChanged();
}

void AppState::setShowRelaySwitchConfirm(bool show)
{
    if (m_showRelaySwitchConfirm == show)
        return;
    m_showRelaySwitchConfirm = show;
    Q_EMIT showRelaySwitchConfirmChanged(show);
}

void AppState::setShowRelaySwitchSuccess(bool show)
{
    if (m_showRelaySwitchSuccess == show)
        return;
    m_showRelaySwitchSuccess = show;
    Q_EMIT showRelaySwitchSuccessChanged(show);
}

void AppState::savePendingRegistration(const QString& token)
{
    const QJsonObject record{{QStringLiteral("token"), token},
                             {QStringLiteral("receivedAt"), isoUtc(QDateTime::currentDateTimeUtc())}};
    auto written = Configuration::ensureConfigDir();
    if (written) {
        // It holds a token: private from the first byte.
        written = FileStore::writeAtomically(Configuration::pendingRegistrationFile(),
                                             QJsonDocument(record).toJson(QJsonDocument::Compact), 0600);
    }
    if (!written)
        m_logger.error(QStringLiteral("Failed to persist pending registration token: %1").arg(written.error()));
}

std::optional<QString> AppState::readPendingRegistration()
{
    const QString path = Configuration::pendingRegistrationFile();
    QFile file(path);
    if (!file.exists())
        return std::nullopt;
    QString problem;
    std::optional<QString> token;
    std::optional<QDateTime> receivedAt;
    if (!file.open(QIODevice::ReadOnly)) {
        problem = file.errorString();
    } else {
        QJsonParseError parseError;
        const QJsonDocument document = QJsonDocument::fromJson(file.readAll(), &parseError);
        const QJsonObject object = document.object();
        const QJsonValue tokenValue = object.value(QLatin1String("token"));
        const QDateTime when =
            QDateTime::fromString(object.value(QLatin1String("receivedAt")).toString(), Qt::ISODate);
        if (parseError.error != QJsonParseError::NoError)
            problem = parseError.errorString();
        else if (!document.isObject() || !tokenValue.isString() || !when.isValid())
            problem = QStringLiteral("the record lacks a token or a valid receivedAt");
        else {
            token = tokenValue.toString();
            receivedAt = when;
        }
    }
    file.close();
    if (!token) {
        m_logger.error(QStringLiteral("Failed to read pending registration token: %1").arg(problem));
        clearPendingRegistration();
        return std::nullopt;
    }
    if (receivedAt->secsTo(QDateTime::currentDateTimeUtc()) > pendingRegistrationLifetimeSeconds) {
        m_logger.info(QStringLiteral("Discarding stale pending registration token"));
        clearPendingRegistration();
        return std::nullopt;
    }
    return token;
}

void AppState::clearPendingRegistration()
{
    QFile file(Configuration::pendingRegistrationFile());
    if (file.exists() && !file.remove())
        m_logger.error(QStringLiteral("Failed to remove pending registration token file: %1").arg(file.errorString()));
}

} // namespace velto
