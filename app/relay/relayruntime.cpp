#include "relayruntime.h"

#include "attachmentuploader.h"
#include "envelope.h"
#include "sessionmessages.h"
#include "statemanager.h"
#include "tolkawatcher.h"
#include "systemhealth.h"
#include "task.h"
#include "websocketclient.h"

#include <QDateTime>
#include <QTimer>
#include <QUrl>

namespace velto {

QString description(RelayRuntimeError error)
{
    switch (error) {
    case RelayRuntimeError::invalidUrl:
        return QStringLiteral("Invalid WebSocket server URL");
    }
    return {};
}

RelayRuntime::RelayRuntime(QObject* parent)
    : QObject(parent)
    , m_stateManager(std::make_unique<StateManager>())
    , m_attachmentUploader(new AttachmentUploader(this))
    , m_watcherRestart(new QTimer(this))
{
    m_watcherRestart->setSingleShot(true);
    connect(m_watcherRestart, &QTimer::timeout, this, [this] {
        if (m_isRunning && m_isIdentified)
            startTolkaWatcher();
    });
}

RelayRuntime::~RelayRuntime() = default;

void RelayRuntime::setReconnectDelays(double baseSeconds, double maxSeconds)
{
    m_reconnectBaseDelay = baseSeconds;
    m_reconnectMaxDelay = maxSeconds;
}

void RelayRuntime::setWatchTiming(std::chrono::milliseconds debounce, std::chrono::milliseconds safetyCheck)
{
    m_watchTiming = std::make_pair(debounce, safetyCheck);
}

void RelayRuntime::log(LogLevel level, const QString& text, const LogContext& context)
{
    if (onLog)
        onLog(level, text, context);
}

void RelayRuntime::setStage(ConnectionStage stage, bool connected)
{
    if (onStateChange)
        onStateChange(stage, connected);
}

QCoro::Task<Result<void, RelayRuntimeError>> RelayRuntime::start(RelayRuntimeOptions options)
{
    if (m_isRunning)
        co_return {};
    m_relayId = options.relayId;
    m_isRunning = true;
    m_isIdentified = false;
    log(LogLevel::info, QStringLiteral("Starting relay runtime..."));
    setStage(ConnectionStage::connecting, false);

    // None of these can stop a start.
    initializeSending();
    m_attachmentUploader->initialize(options.apiServerUrl, options.apiKey);
    startContactsObserver();

    const QUrl url(options.apiServerUrl, QUrl::StrictMode);
    if (!url.isValid() || url.scheme().isEmpty() || url.host().isEmpty())
        co_return fail(RelayRuntimeError::invalidUrl);

    auto* client = new WebSocketClient(url, options.apiKey, m_reconnectBaseDelay, m_reconnectMaxDelay, this);
    const QPointer<RelayRuntime> self(this);
    client->onMessage = [self](const QString& type, const QByteArray& bytes) {
        if (self)
            self->handleServerMessage(type, bytes);
    };
    client->onConnected = [self] {
        if (self)
            self->handleConnected();
    };
    client->onDisconnected = [self](const std::optional<QString>& reason) {
        if (self)
            self->handleDisconnected(reason);
    };
    client->onFramesConfirmed = [self](quint64 confirmed) {
        if (self)
            self->framesConfirmed(confirmed);
    };
    m_webSocket = client;
    co_await client->connectToServer();
    co_return {};
}

QCoro::Task<> RelayRuntime::stop()
{
    if (!m_isRunning)
        co_return;
    m_isRunning = false;
    m_isIdentified = false;
    stopLiveWatcher();
    stopSyncWork();
    if (QPointer<WebSocketClient> client = m_webSocket) {
        m_webSocket = nullptr;
        const Guard<RelayRuntime> guard(this);
        co_await client->disconnectFromServer();
        if (client)
            client->deleteLater();
        if (!guard.alive())
            co_return;
    }
    setStage(ConnectionStage::idle, false);
}

bool RelayRuntime::sendRawEvent(const QJsonObject& event)
{
    // Every member came from a QJsonObject, so the bytes are valid UTF-8 by construction.
    return m_webSocket && m_webSocket->sendText(QString::fromUtf8(Envelope::encodeDictionary(event))).ok();
}

bool RelayRuntime::sendTypedEvent(const QJsonObject& message)
{
    return m_webSocket && m_webSocket->sendTyped(message).ok();
}

void RelayRuntime::handleConnected()
{
    log(LogLevel::info, QStringLiteral("WebSocket connection established, sending IDENTIFY..."));
    sendRawEvent(makeIdentify(m_relayId, SystemHealth::getStats(), Envelope::nowMilliseconds()));
}

void RelayRuntime::handleDisconnected(const std::optional<QString>& reason)
{
    log(LogLevel::warn, QStringLiteral("Disconnected: ") + reason.value_or(QStringLiteral("unknown")));
    m_isIdentified = false;
    setStage(ConnectionStage::connecting, false);
    stopLiveWatcher();
    // A sync cut short by the loss may be requested again.
    m_contactsSyncInFlight = false;
    m_conversationsSyncInFlight = false;
}

void RelayRuntime::handleAuthResult(const ServerAuthResult& result)
{
    if (result.success) {
        log(LogLevel::info, QStringLiteral("Authentication successful"));
        m_isIdentified = true;
        if (m_webSocket)
            m_webSocket->resetReconnectBackoff();
        setStage(ConnectionStage::connected, true);
        afterAuthentication();
        return;
    }
    const QString message = result.message.value_or(QStringLiteral("Authentication failed"));
    log(LogLevel::error, QStringLiteral("Authentication failed: ") + message);
    setStage(ConnectionStage::error, false);
    if (onDiagnostic)
        onDiagnostic(LogLevel::error, QStringLiteral("Auth failed: ") + message);
}

void RelayRuntime::afterAuthentication()
{
    startAccountDetection();
    startTolkaWatcher();
}

const QHash<QString, RelayRuntime::Handler>& RelayRuntime::dispatchTable()
{
    static const QHash<QString, Handler> table{
        {QStringLiteral("PING"), &RelayRuntime::onPing},
        {QStringLiteral("SERVER_HEARTBEAT"), &RelayRuntime::onServerHeartbeat},
        {QStringLiteral("AUTH_RESULT"), &RelayRuntime::onAuthResult},
        {QStringLiteral("VALIDATION_FAILED"), &RelayRuntime::onValidationFailed},
        {QStringLiteral("SEND_MESSAGE"), &RelayRuntime::onSendMessage},
        {QStringLiteral("HISTORICAL_SYNC_REQUEST"), &RelayRuntime::onHistoricalSyncRequest},
        {QStringLiteral("CONTACTS_SYNC_REQUEST"), &RelayRuntime::onContactsSyncRequest},
        {QStringLiteral("GET_STATUS"), &RelayRuntime::onStatusRequest},
        {QStringLiteral("HEALTH_CHECK"), &RelayRuntime::onHealthCheck},
        {QStringLiteral("SYNC_FILTERS_UPDATED"), &RelayRuntime::onSyncFiltersUpdated},
        {QStringLiteral("CONVERSATIONS_LIST_REQUEST"), &RelayRuntime::onConversationsListRequest},
        {QStringLiteral("SYNC_START_CONTACTS"), &RelayRuntime::onSyncStart},
        {QStringLiteral("SYNC_START_CONVERSATIONS"), &RelayRuntime::onSyncStart},
        {QStringLiteral("SYNC_START_HISTORICAL"), &RelayRuntime::onSyncStart},
        {QStringLiteral("BATCH_ACK"), &RelayRuntime::onBatchAck},
    };
    return table;
}

void RelayRuntime::handleServerMessage(const QString& type, const QByteArray& bytes)
{
    const Handler handler = dispatchTable().value(type, nullptr);
    if (!handler) {
        log(LogLevel::debug, QStringLiteral("Unhandled server message: ") + type);
        return;
    }
    // The client only read the envelope; every record is decoded from the complete bytes.
    // They parsed as an object there, so this cannot come out empty.
    (this->*handler)(type, Envelope::decodeObject(bytes).value_or(QJsonObject()));
}

void RelayRuntime::onPing(const QString&, const QJsonObject&)
{
    sendTypedEvent(OutboundPong{Envelope::nowMilliseconds()}.toJson());
    if (onHeartbeat)
        onHeartbeat();
}

void RelayRuntime::onServerHeartbeat(const QString&, const QJsonObject&)
{
    if (onHeartbeat)
        onHeartbeat();
}

void RelayRuntime::onAuthResult(const QString&, const QJsonObject& message)
{
    const auto result = ServerAuthResult::decode(message);
    if (!result) {
        log(LogLevel::error, QStringLiteral("Failed to decode AUTH_RESULT"));
        return;
    }
    handleAuthResult(*result);
}

void RelayRuntime::onValidationFailed(const QString&, const QJsonObject& message)
{
    QString summary = QStringLiteral("unknown");
    if (const auto failed = ServerValidationFailed::decode(message); failed && failed->errors) {
        QStringList messages;
        for (const ValidationError& error : *failed->errors)
            messages.append(error.message);
        summary = messages.join(QStringLiteral("; "));
    }
    log(LogLevel::error, QStringLiteral("Server rejected message: ") + summary);
    if (onDiagnostic)
        onDiagnostic(LogLevel::error, QStringLiteral("Validation failed: ") + summary);
}

void RelayRuntime::onStatusRequest(const QString&, const QJsonObject& message)
{
    const auto request = ServerStatusRequest::decode(message);
    if (!request)
        return;
    OutboundStatusResponse response;
    response.requestId = request->requestId;
    response.timestamp = Envelope::nowMilliseconds();
    response.status.relayId = m_relayId;
    response.status.connected = m_isIdentified;
    response.status.relayStatus = m_isIdentified ? QStringLiteral("connected") : QStringLiteral("disconnected");
    response.status.messageQueue = sendQueueStatus();
    sendTypedEvent(response.toJson());
}

void RelayRuntime::onHealthCheck(const QString&, const QJsonObject& message)
{
    const auto request = ServerHealthCheck::decode(message);
    if (!request)
        return;
    sendRawEvent(makeHealthResponse(request->requestId, SystemHealth::getStats(), Envelope::nowMilliseconds()));
}

void RelayRuntime::onSyncFiltersUpdated(const QString&, const QJsonObject&)
{
    log(LogLevel::debug, QStringLiteral("Sync filter config update received"));
}

void RelayRuntime::onBatchAck(const QString&, const QJsonObject& message)
{
    const auto ack = ServerBatchAck::decode(message);
    if (!ack) {
        log(LogLevel::warn, QStringLiteral("Failed to decode BATCH_ACK"));
        return;
    }
    log(LogLevel::debug, QStringLiteral("Batch %1 acknowledged: %2 inserted, %3 duplicates skipped")
                             .arg(ack->batchId)
                             .arg(ack->insertedCount)
                             .arg(ack->duplicatesSkipped));
}

void RelayRuntime::onSyncStart(const QString& type, const QJsonObject& message)
{
    // An undecodable notice still starts the sync, just without a reason.
    const auto start = ServerSyncStart::decode(message);
    const QString reason = start && start->reason ? *start->reason : QStringLiteral("unspecified");
    if (type == QLatin1String("SYNC_START_CONTACTS")) {
        startContactsSync(QStringLiteral("SYNC_START_CONTACTS(") + reason + QLatin1Char(')'));
    } else if (type == QLatin1String("SYNC_START_CONVERSATIONS")) {
        startConversationsSync(QStringLiteral("conv-list-") + QString::number(QDateTime::currentMSecsSinceEpoch()),
                               50, QStringLiteral("SYNC_START_CONVERSATIONS(") + reason + QLatin1Char(')'));
    } else {
        log(LogLevel::debug, QStringLiteral("SYNC_START_HISTORICAL received (reason=") + reason
                                 + QStringLiteral("); awaiting HISTORICAL_SYNC_REQUEST"));
    }
}

void RelayRuntime::onContactsSyncRequest(const QString&, const QJsonObject&)
{
    startContactsSync(QStringLiteral("CONTACTS_SYNC_REQUEST"));
}

} // namespace velto
