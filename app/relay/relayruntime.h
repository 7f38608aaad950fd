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

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

class QTimer;

namespace velto {

class AttachmentUploader;
class StateManager;
class TolkaWatcher;
class WebSocketClient;
struct QueueStatus;
struct ServerAuthResult;

// One send made on the server's request, remembered to recognise its database echo.
struct SentMessageTracking {
    QString messageId;
    QString recipient;
    QString body;
    double timestamp = 0; // milliseconds since 1970 when the request was handled
};

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
    // The live watcher's debounce and safety-check interval; tests shorten them.
    void setWatchTiming(std::chrono::milliseconds debounce, std::chrono::milliseconds safetyCheck);

    // Whether a row of the Messages database is the echo of a send made on request; a match
    // forgets the tracked send.
    std::pair<bool, std::optional<QString>> matchSentMessage(const QString& recipient, const QString& body,
                                                             double sentAt);

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

    void onContactsSyncRequest(const QString& type, const QJsonObject& message);

    // ---- Sending on request (relayruntime_send.cpp) ----
    void initializeSending();
    QueueStatus sendQueueStatus() const;
    void onSendMessage(const QString& type, const QJsonObject& message);
    void handleSendMessage(const struct ServerSendMessage& request);
    // A send request with everything the send task needs (defined in relayruntime_send.cpp).
    struct PendingSend;
    QCoro::Task<> sendAndReport(PendingSend send);
    QCoro::Task<std::optional<QString>> pollForGuid(QString recipient, QString attachmentName, qint64 sinceRowId,
                                                    QString messageId);
    // The reader for the send bookkeeping, opened when it is not yet; null before start.
    QCoro::Task<std::shared_ptr<class ChatDBReader>> sendLookupReader();

    // Created with the runtime: one attempt per message, no retry.
    class MessageAutomation* m_messageAutomation = createMessageAutomation(this);
    static class MessageAutomation* createMessageAutomation(QObject* parent);
    std::shared_ptr<class ChatDBReader> m_sendLookupReader;
    bool m_sendLookupOpening = false;
    // Outgoing rows with a sent attachment are looked for this often, this many times.
    static constexpr std::chrono::milliseconds kGuidPollInterval{500};
    static constexpr int kGuidPollAttempts = 10;
    // Tracked sends older than this are forgotten at the next request.
    static constexpr double kSentMessageTrackingMs = 300000;
    // ---- end of sending ----

    // ---- Syncs and triggers (relayruntime_sync.cpp) ----
    void startContactsObserver();
    void startAccountDetection();
    // Stops the historical sync worker, account detection and the contacts observer.
    void stopSyncWork();
    void onHistoricalSyncRequest(const QString& type, const QJsonObject& message);
    void onConversationsListRequest(const QString& type, const QJsonObject& message);
    void startContactsSync(const QString& triggerLabel);
    void startConversationsSync(const QString& requestId, int batchSize, const QString& triggerLabel);
    // ---- end of syncs ----

    // Set-up and tear-down of the components that follow authentication.
    void afterAuthentication();

    // The live bridge (relayruntime_watcher.cpp).
    void startTolkaWatcher();
    void stopLiveWatcher();
    bool sendLiveEvent(const QJsonObject& event);
    bool reconcileSentMessage(const QJsonObject& event);
    void rowHandedOn(qint64 rowId);
    void framesConfirmed(quint64 confirmedFrames);
    void liveWatcherStopped(const QString& reason, bool readFailed);

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

    std::unique_ptr<StateManager> m_stateManager;
    AttachmentUploader* m_attachmentUploader = nullptr;
    QPointer<TolkaWatcher> m_tolkaWatcher;
    // Rows whose events were handed on but not yet confirmed read: (frame number, row id).
    QList<QPair<quint64, qint64>> m_unconfirmedRows;
    // A failed read restarts the watcher after a delay that grows while reads keep failing.
    static constexpr int kWatcherRestartBase = 1000;
    static constexpr int kWatcherRestartMax = 30000;
    QTimer* m_watcherRestart = nullptr;
    int m_watcherRestartDelay = kWatcherRestartBase;
    std::optional<std::pair<std::chrono::milliseconds, std::chrono::milliseconds>> m_watchTiming;
    QHash<QString, SentMessageTracking> m_sentMessagesCache;
};

} // namespace velto
