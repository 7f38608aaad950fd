#pragma once

#include "result.h"
#include "statusvocabulary.h"

#include <QHash>
#include <QJsonObject>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>

#include <QCoroTask>

#include <functional>
#include <optional>

namespace velto {

class WebSocketClient;
struct ServerAuthResult;

struct RelayRuntimeOptions {
    QString apiServerUrl;
    QString relayId;
    std::optional<QString> apiKey;
};

enum class RelayRuntimeError { invalidUrl };
QString description(RelayRuntimeError error);

// The relay's engine for one run: holds the server session, identifies the relay, answers the
// session messages and routes every other server message to the handler that owns it.
// Lives on the relay thread; everything here is touched only there, so no locks.
class RelayRuntime : public QObject {
    Q_OBJECT
public:
    explicit RelayRuntime(QObject* parent = nullptr);
    ~RelayRuntime() override;

    // Raised synchronously on the relay thread; RelayRuntimeHost re-posts them to its owner.
    std::function<void(ConnectionStage stage, bool connected)> onStateChange;
    std::function<void(LogLevel level, const QString& text, const LogContext& context)> onLog;
    std::function<void(qint64 sent, qint64 received)> onMetrics;
    std::function<void()> onHeartbeat;
    std::function<void(LogLevel level, const QString& text)> onDiagnostic;
    std::function<void(const QStringList& accounts)> onAccountsDetected;

    QCoro::Task<Result<void, RelayRuntimeError>> start(RelayRuntimeOptions options);
    QCoro::Task<> stop();

    // Sends a dictionary message (slashes escaped); dropped silently when it cannot be sent.
    void sendRawEvent(const QJsonObject& event);
    // Sends a typed message (relayEncoder); false when it was not handed to an open connection.
    bool sendTypedEvent(const QJsonObject& message);

    bool isRunning() const { return m_isRunning; }
    bool isIdentified() const { return m_isIdentified; }
    const QString& relayId() const { return m_relayId; }
    qint64 messagesSent() const { return m_messagesSent; }
    qint64 messagesReceived() const { return m_messagesReceived; }

    // The reconnect delays used for the server connection; tests shorten them.
    void setReconnectDelays(double baseSeconds, double maxSeconds);

    // Entry point for every server message (type from the envelope, complete bytes). Called by
    // the WebSocket client; public so that dispatch can be driven without a socket.
    void handleServerMessage(const QString& type, const QByteArray& bytes);

private:
    using Handler = void (RelayRuntime::*)(const QString& type, const QJsonObject& message);
    static const QHash<QString, Handler>& dispatchTable();

    void handleConnected();
    void handleDisconnected(const std::optional<QString>& reason);
    void handleAuthResult(const ServerAuthResult& result);

    // Session messages.
    void onPing(const QString& type, const QJsonObject& message);
    void onServerHeartbeat(const QString& type, const QJsonObject& message);
    void onAuthResult(const QString& type, const QJsonObject& message);
    void onValidationFailed(const QString& type, const QJsonObject& message);
    void onStatusRequest(const QString& type, const QJsonObject& message);
    void onHealthCheck(const QString& type, const QJsonObject& message);
    void onSyncFiltersUpdated(const QString& type, const QJsonObject& message);
    void onBatchAck(const QString& type, const QJsonObject& message);
    void onSyncStart(const QString& type, const QJsonObject& message);

    // Requests whose handling lives with sending, syncing and contacts.
    void onSendMessage(const QString& type, const QJsonObject& message);
    void onHistoricalSyncRequest(const QString& type, const QJsonObject& message);
    void onContactsSyncRequest(const QString& type, const QJsonObject& message);
    void onConversationsListRequest(const QString& type, const QJsonObject& message);
    void startContactsSync(const QString& triggerLabel);
    void startConversationsSync(const QString& requestId, int batchSize, const QString& triggerLabel);

    // Set-up and tear-down of the components that follow authentication.
    void afterAuthentication();
    void stopLiveWatcher();

    void log(LogLevel level, const QString& text, const LogContext& context = {});
    void setStage(ConnectionStage stage, bool connected);

    QPointer<WebSocketClient> m_webSocket;
    bool m_isRunning = false;
    bool m_isIdentified = false;
    QString m_relayId;
    bool m_contactsSyncInFlight = false;
    bool m_conversationsSyncInFlight = false;
    qint64 m_messagesSent = 0;
    qint64 m_messagesReceived = 0;
    double m_reconnectBaseDelay = 2.0;
    double m_reconnectMaxDelay = 30.0;
};

} // namespace velto
