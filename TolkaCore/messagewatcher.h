#pragma once

#include "message.h"
#include "tolkaerror.h"

#include <QCoroTask>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QTimer>

#include <chrono>
#include <memory>
#include <optional>

namespace velto {

class MessageStore;
class MessageWatcherFiles;

// How a watch reads. The defaults are the relay's values.
struct MessageWatcherConfiguration {
    // From the first file event of a burst to the read it triggers; later events of the burst
    // join that read, so a steady stream of writes still gets read at this pace.
    std::chrono::milliseconds debounceInterval{250};
    // The most rows one read delivers (0 or less: no limit). Rows beyond it are read by the next
    // read, which the next file change or the safety check triggers.
    int batchLimit = 100;
    // Tapback rows are delivered as messages.
    bool includeReactions = true;
    // With no file event for this long, one MAX(ROWID) query looks for rows whose events were
    // missed and schedules a read when there are any. Zero turns the check off.
    std::chrono::milliseconds safetyCheckInterval{5000};
};

// Follows new rows of the Messages database: kernel file events on the database, its "-wal" and
// "-shm" companions and their folder, coalesced by the debounce, each followed by one read of
// the rows after the cursor. Rows arrive in row-id order through messagesArrived.
//
// Lives on one thread with an event loop (the relay thread in the app); call every method there.
// It never blocks that thread: store queries run on the thread pool and are awaited.
class MessageWatcher : public QObject {
    Q_OBJECT

public:
    explicit MessageWatcher(std::shared_ptr<MessageStore> store, MessageWatcherConfiguration configuration = {},
                            QObject* parent = nullptr);
    ~MessageWatcher() override;

    // Starts watching and delivering rows after `sinceRowID`, only those of `chatID` when given.
    // Without a row id (or 0, or a negative one) the first read takes the current MAX(ROWID) as
    // its start, so only rows written from then on arrive. A running watch is stopped first.
    // Signals are never emitted from inside start(): the first read is queued.
    void start(std::optional<qint64> sinceRowID = std::nullopt, std::optional<qint64> chatID = std::nullopt);
    // Stops watching. No signal is emitted after this returns, not even for a read in flight;
    // start() may be called again.
    void stop();

    bool isRunning() const { return m_state != nullptr; }
    // The highest row id delivered by the running watch (its start point before any); 0 when stopped.
    qint64 cursor() const;
    // The store rows are read from; another one after storeReopened().
    std::shared_ptr<MessageStore> store() const { return m_store; }
    const MessageWatcherConfiguration& configuration() const { return m_configuration; }
    // The folder and files under watch; empty when stopped.
    QStringList watchedPaths() const;

    // Test hook: drop file events as if the kernel had lost them.
    void setFileEventsIgnored(bool ignored) { m_fileEventsIgnored = ignored; }

Q_SIGNALS:
    // The rows one read found, in row-id order; never empty, at most batchLimit rows.
    void messagesArrived(const QList<velto::Message>& messages);
    // A read has finished, also when it found nothing (diagnostics and tests).
    void pollFinished(int delivered);
    // A read failed; the watch has stopped. The owner decides when to start again.
    void failed(const velto::TolkaError& error);
    // A file or the folder could not be watched: changes may be missed, and rows then wait for the
    // safety check.
    void becameUnreliable(const QString& reason);
    // The database file was replaced on disk and the watcher now reads through a newly opened
    // store (store()); the old store reads the replaced file.
    void storeReopened();

private:
    struct WatchState;

    void onFilesChanged();
    void schedulePoll();
    void onDebounceElapsed();
    void startPoll();
    QCoro::Task<> poll(std::shared_ptr<WatchState> state);
    void onSafetyCheckDue();
    QCoro::Task<> safetyCheck(std::shared_ptr<WatchState> state);
    void restartSafetyCheck();
    void failWatch(const TolkaError& error);

    std::shared_ptr<MessageStore> m_store;
    const MessageWatcherConfiguration m_configuration;
    std::shared_ptr<WatchState> m_state; // the running watch; reads in flight hold their own
    QPointer<MessageWatcherFiles> m_files;
    QTimer m_debounce;
    QTimer m_safetyCheck;
    bool m_fileEventsIgnored = false;
};

} // namespace velto
