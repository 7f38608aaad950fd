#pragma once

#include "logger.h"
#include "message.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QObject>
#include <QPointer>
#include <QQueue>

#include <QCoroTask>

#include <functional>
#include <memory>
#include <optional>

namespace velto {

class AttachmentUploader;
class MessageStore;
class MessageWatcher;
class TolkaError;

// The live bridge: follows new rows of the Messages database and turns each into a relay event
// (MESSAGE_RECEIVED, MESSAGE_SENT, REACTION_EVENT), uploading attachments first. Rows are
// handled strictly one after another in row-id order. Lives on the relay thread.
//
// Nothing is lost: an event callback reports whether the event was handed to an open connection,
// and only then does the row count as handled (onMessage). When an event cannot be handed on,
// the watcher stops where it is, so the next start resumes from the saved read position.
class TolkaWatcher : public QObject {
    Q_OBJECT
public:
    // Opens the Messages database at its default path; without it start() logs and does nothing.
    explicit TolkaWatcher(QObject* parent = nullptr);
    TolkaWatcher(std::shared_ptr<MessageStore> store, QObject* parent = nullptr);
    ~TolkaWatcher() override;

    // The row id to start after; then the row id of the last row handed on.
    qint64 lastRowId = 0;
    QPointer<AttachmentUploader> attachmentUploader;

    // Each returns true when the event was handed to an open connection.
    std::function<bool(const QJsonObject& event)> onSentMessage;
    std::function<bool(const QJsonObject& event)> onReceivedMessage;
    std::function<bool(const QJsonObject& event)> onReactionEvent;
    // A row whose event was handed on.
    std::function<void(qint64 rowId, const QString& guid)> onMessage;
    // The watcher stopped by itself: a read of the database failed (`readFailed`), or an event
    // could not be handed on.
    std::function<void(const QString& reason, bool readFailed)> onStopped;
    // Log lines for the runtime's log (the bridge also writes its own system-log lines).
    std::function<void(const QString& text)> onInfo;

    void start();
    void stop();
    bool isRunning() const { return m_isRunning; }
    bool hasStore() const { return m_store != nullptr; }

    // The watcher's timing, shortened by tests (the debounce and the safety check).
    void setWatchTiming(std::chrono::milliseconds debounce, std::chrono::milliseconds safetyCheck);

private:
    void enqueue(const QList<Message>& messages);
    void stopWith(const QString& reason, bool readFailed);
    QCoro::Task<> drain(quint64 generation);
    // False when the event could not be handed on.
    QCoro::Task<bool> handle(Message message);
    QCoro::Task<bool> handleReaction(Message message);
    QCoro::Task<std::optional<QJsonArray>> uploadAttachments(qint64 rowId);

    const Logger m_logger{"TolkaWatcher"};
    std::shared_ptr<MessageStore> m_store;
    QPointer<MessageWatcher> m_watcher;
    QQueue<Message> m_queue;
    bool m_isRunning = false;
    bool m_draining = false;
    quint64 m_generation = 0; // bumped by stop(), so work of an earlier run ends quietly
    std::chrono::milliseconds m_debounce{250};
    std::chrono::milliseconds m_safetyCheck{5000};
};

} // namespace velto
