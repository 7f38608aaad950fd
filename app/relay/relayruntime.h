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
#include <vector>

class QTimer;
template <typename T>
class QPromise;

namespace velto {

class AttachmentUploader;
class StateManager;
class TolkaWatcher;
class WebSocketClient;
struct QueueStatus;
struct ServerAuthResult;
namespace db {
struct Error;
}

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

    // Sends a dictionary message (slashes escaped); false when it was not handed to an open
    // connection (callers that only reply may drop it silently).
    bool sendRawEvent(const QJsonObject& event);
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

    // Created with the runtime: one attempt per message, no retry.
    class MessageAutomation* m_messageAutomation = createMessageAutomation(this);
    static class MessageAutomation* createMessageAutomation(QObject* parent);
    // Outgoing rows with a sent attachment are looked for this often, this many times.
    static constexpr std::chrono::milliseconds kGuidPollInterval{500};
    static constexpr int kGuidPollAttempts = 10;
    // Tracked sends older than this are forgotten at the next request.
    static constexpr double kSentMessageTrackingMs = 300000;
    // ---- end of sending ----

    // ---- Syncs and triggers (relayruntime_sync.cpp) ----
public:
    // Where the syncs read the user's batch-sync switch when they start; without one the switch
    // reads as off. The manager belongs to the main thread and outlives the runtime.
    void setPreferencesManager(class PreferencesManager* preferences);
    // The period of account detection and the quiet time after an address-book change before
    // the contacts are synced; tests shorten them.
    void setSyncTiming(std::chrono::milliseconds accountDetectionInterval,
                       std::chrono::milliseconds contactsChangeDebounce);
    // The user's contacts sync: the service's result, or a failed one at once while a sync runs.
    QCoro::Task<struct ContactSyncResult> syncContacts();

private:
    void startContactsObserver();
    void stopContactsObserver();
    void startAccountDetection();
    void performAccountDetection();
    void startAccountDetectionTimer();
    QCoro::Task<> detectAccounts(quint64 generation);
    // Stops the historical syncs, account detection and the contacts observer.
    void stopSyncWork();

    void onHistoricalSyncRequest(const QString& type, const QJsonObject& message);
    // One historical sync from its request to its final message (defined in relayruntime_sync.cpp).
    struct HistoricalSync;
    // Takes a page from the worker: starts looking up its reactions, waits for the page before it
    // to be sent, then sends this one (deliverHistoricalPage) while the worker reads the next.
    QCoro::Task<> sendHistoricalPage(std::shared_ptr<HistoricalSync> sync, QList<struct ChatMessage> page,
                                     QJsonObject progress);
    // A page's reactions by message row id, as the reader gives them.
    using ReactionsLookup = QCoro::Task<Result<QHash<qint64, QList<struct ReactionSummary>>, db::Error>>;
    QCoro::Task<> deliverHistoricalPage(std::shared_ptr<HistoricalSync> sync, QList<struct ChatMessage> page,
                                        ReactionsLookup reactions, QJsonObject progress);
    // A page's uploaded attachments and its reactions, by message row id.
    struct HistoricalPageDetails {
        QHash<qint64, QList<QJsonObject>> attachments;
        QHash<qint64, QList<struct ReactionSummary>> reactions;
    };
    QCoro::Task<HistoricalPageDetails> historicalPageDetails(QList<struct ChatMessage> page, ReactionsLookup reactions,
                                                             QString reactionFailureText);
    // A page, its details looked up, in one batch frame or as one frame a message.
    void sendHistoricalMessagesBatch(HistoricalSync& sync, const QList<struct ChatMessage>& page,
                                     const HistoricalPageDetails& details, double startedAt);
    void sendHistoricalMessages(HistoricalSync& sync, const QList<struct ChatMessage>& page,
                                const HistoricalPageDetails& details, double startedAt);
    // Attachment objects by message row id, in upload completion order.
    QCoro::Task<QHash<qint64, QList<QJsonObject>>> uploadHistoricalAttachments(QList<struct ChatMessage> page);
    // Sends the sync's final message: `outcome` is its failure or its completion.
    QCoro::Task<> finishHistoricalSync(std::shared_ptr<HistoricalSync> sync, QJsonObject outcome);
    // Waits until the server has read the sync's frames up to `frame` (or the connection is gone).
    QCoro::Task<> awaitHistoricalDelivery(std::shared_ptr<HistoricalSync> sync, quint64 frame);
    void watchConnection();
    bool sendHistoricalFrame(HistoricalSync& sync, const QString& text);

    void onConversationsListRequest(const QString& type, const QJsonObject& message);
    void startConversationsSync(const QString& requestId, int batchSize, const QString& triggerLabel);
    QCoro::Task<> runConversationsSync(QString requestId, int batchSize, bool batchPath, qint64 startedAt,
                                       quint64 generation);

    void startContactsSync(const QString& triggerLabel);
    QCoro::Task<> runContactsSync(quint64 generation);
    QCoro::Task<> syncContactsAfterChange();
    class ContactsSyncService* contactsSync();

    // The reader of the syncs, created on first use; opened by openedChatDB when it is not yet.
    std::shared_ptr<class ChatDBReader> chatDB();
    QCoro::Task<std::shared_ptr<class ChatDBReader>> openedChatDB();
    bool batchSyncEnabled() const;

    std::shared_ptr<class ChatDBReader> m_chatDB;
    std::shared_ptr<class SyncFilter> m_syncFilter;
    // The newest historical worker, and every sync still running (a stop ends them all).
    std::shared_ptr<class HistoricalSyncWorker> m_historicalSyncWorker;
    QList<std::shared_ptr<HistoricalSync>> m_historicalSyncs;
    class ContactsSyncService* m_contactsSync = nullptr;
    class ContactChangeObserver* m_contactsChangeObserver = nullptr;
    QTimer* m_contactsChangeDebounce = nullptr;
    QTimer* m_accountDetectionTimer = nullptr;
    QPointer<class PreferencesManager> m_preferencesManager;
    std::optional<QStringList> m_lastReportedAccounts;
    std::chrono::milliseconds m_accountDetectionInterval{300000};
    std::chrono::milliseconds m_contactsChangeDebounceDelay{5000};
    // Bumped by every start of a sync (and by a stop for detection), so a task that ends late
    // does not clear the flag of a newer one.
    quint64 m_contactsSyncGeneration = 0;
    quint64 m_conversationsSyncGeneration = 0;
    quint64 m_accountDetectionGeneration = 0;
    // The connection as the historical syncs see it: the client whose callbacks report to them,
    // the frames the server has confirmed and the connections lost so far.
    QPointer<WebSocketClient> m_watchedClient;
    quint64 m_confirmedFrames = 0;
    quint64 m_connectionLosses = 0;
    // Syncs waiting for a confirmation, woken by every change of the three values above and by
    // a stop, so that a sync whose pages fill its window goes on as soon as the server has read
    // the oldest of them.
    std::vector<std::shared_ptr<QPromise<void>>> m_deliveryWaiters;
    void wakeDeliveryWaiters();
    // ---- end of syncs ----

    // Set-up and tear-down of the components that follow authentication.
    void afterAuthentication();

    // The live bridge (relayruntime_watcher.cpp).
    void startTolkaWatcher();
    // Before anything was forwarded: takes the newest row as the read position, then starts.
    QCoro::Task<> startTolkaWatcherFromNewest(quint64 generation);
    void launchTolkaWatcher(qint64 start);
    void stopLiveWatcher();
    quint64 m_watcherStartGeneration = 0; // bumped by every start and stop of the live watcher
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
