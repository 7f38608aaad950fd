#pragma once

#include "chatmessage.h"

#include <dberror.h>
#include <result.h>

#include <QCoroTask>
#include <QList>
#include <QString>
#include <QStringList>

#include <atomic>
#include <functional>
#include <memory>
#include <optional>

namespace velto {

class ChatDBReader;
class SyncFilter;

// Reads the messages of a date window in pages keyed on the row id, drops what the sync filter
// and the optional contact allow-list reject, and hands each page to its owner, one page at a
// time. One worker serves one request at a time; it can be started again once idle.
//
// Lives on the thread that starts it (the relay thread) and never blocks it: queries and the
// filtering of a page run on the thread pool and are awaited. Only one page is held at a time,
// so memory does not grow with the window.
//
// Owned through a shared pointer (create()): a running sync keeps its worker, reader and filter
// alive until it has ended, even when the owner has dropped them meanwhile.
class HistoricalSyncWorker : public std::enable_shared_from_this<HistoricalSyncWorker> {
public:
    static constexpr int defaultBatchSize = 250;
    // A page larger than this would let one request hold a large part of the database in memory.
    static constexpr int maxBatchSize = 1000;
    static constexpr int defaultSafetyCap = 10000;

    // Why a sync did not start, or ended early.
    class SyncError {
    public:
        enum class Kind { safetyCapHit, alreadyRunning, invalidDateWindow, queryFailed };

        static SyncError safetyCapHit(qint64 batches) { return SyncError(Kind::safetyCapHit, batches, {}); }
        static SyncError alreadyRunning() { return SyncError(Kind::alreadyRunning, 0, {}); }
        // A negative start or end date.
        static SyncError invalidDateWindow() { return SyncError(Kind::invalidDateWindow, 0, {}); }
        static SyncError queryFailed(db::Error error) { return SyncError(Kind::queryFailed, 0, std::move(error)); }

        Kind kind() const { return m_kind; }
        qint64 batches() const { return m_batches; }
        const db::Error& queryError() const { return m_queryError; }
        // The fixed text sent to the server: "Sync already in progress", "Invalid date window",
        // the safety-cap text, or the database's own error description.
        QString description() const;

        bool operator==(const SyncError& other) const
        {
            return m_kind == other.m_kind && m_batches == other.m_batches && m_queryError.code == other.m_queryError.code
                   && m_queryError.message == other.m_queryError.message;
        }

    private:
        SyncError(Kind kind, qint64 batches, db::Error queryError)
            : m_kind(kind), m_batches(batches), m_queryError(std::move(queryError)) {}
        Kind m_kind;
        qint64 m_batches;
        db::Error m_queryError;
    };

    struct SyncRequest {
        QString requestId;
        // Messages-database times (nanoseconds since 2001-01-01 UTC), both inclusive. Signed as
        // they arrive from the server; a negative value is refused (invalidDateWindow).
        qint64 startDate = 0;
        qint64 endDate = 0;
        // 0 or below: defaultBatchSize; above maxBatchSize: maxBatchSize.
        int batchSize = defaultBatchSize;
        std::optional<QString> chatGuid;
        // Present: only messages of these contacts pass (an empty list passes nothing).
        std::optional<QStringList> allowedContacts;

        // invalidDateWindow for a negative date; nothing for a request startSync accepts.
        std::optional<SyncError> validate() const;
        int effectiveBatchSize() const;
    };

    struct SyncState {
        QString requestId;
        qint64 startDate = 0;
        qint64 endDate = 0;
        int batchSize = defaultBatchSize; // the page size in use (see SyncRequest::batchSize)
        std::optional<QString> chatGuid;
        std::optional<QStringList> allowedContacts;
        qint64 lastRowId = 0;             // last row of the last page read, before filtering
        qint64 processed = 0;             // messages handed to onBatch so far, after filtering
        qint64 totalEstimate = 0;         // messages in the window, 0 when unknown
        qint64 estimatedTotalBatches = 0; // ⌈totalEstimate ÷ batchSize⌉, 0 when unknown
        qint64 totalBatches = 0;          // pages read so far
        qint64 startTime = 0;             // Unix milliseconds
        std::optional<SyncError> failure; // the sync ended on this error
    };

    // Awaited one at a time: the next page is read only after onBatch has returned, which is how
    // the owner applies back-pressure. onBatch is called for every page read, even when the
    // filters left nothing of it. Callbacks are copied before each call, so an owner may
    // replace them meanwhile.
    using BatchCallback = std::function<QCoro::Task<>(QList<ChatMessage> messages, SyncState state)>;
    using CompleteCallback = std::function<QCoro::Task<>(SyncState state)>;
    using LogCallback = std::function<void(const QString& line)>;

    // `syncFilter` may be null (nothing is withheld). Installing a configuration into the filter
    // while a sync runs takes effect from the next page on.
    static std::shared_ptr<HistoricalSyncWorker> create(std::shared_ptr<ChatDBReader> chatDB,
                                                        std::shared_ptr<const SyncFilter> syncFilter = nullptr);
    ~HistoricalSyncWorker();
    HistoricalSyncWorker(const HistoricalSyncWorker&) = delete;
    HistoricalSyncWorker& operator=(const HistoricalSyncWorker&) = delete;

    void setOnBatch(BatchCallback callback) { m_onBatch = std::move(callback); }
    void setOnComplete(CompleteCallback callback) { m_onComplete = std::move(callback); }
    void setOnLog(LogCallback callback) { m_onLog = std::move(callback); }

    // Runs the whole sync and returns when it has ended. Fails, without calling any callback,
    // only when the worker is already running (alreadyRunning; the running sync is not
    // disturbed) or the window has a negative date (invalidDateWindow). Every other ending
    // (empty page, no progress, stop(), a query error, the safety cap) is reported through
    // onComplete, with `failure` set for the last two.
    QCoro::Task<Result<void, SyncError>> startSync(SyncRequest request);

    bool isRunning() const { return m_running.load(); }
    // Clears the running flag: the sync ends before its next query, never inside a page or a
    // callback; onComplete is still called.
    void stop() { m_running.store(false); }

    // The progress of the running sync, from the end of its estimate until it has completed;
    // absent otherwise.
    std::optional<SyncState> currentSync() const { return m_currentSync; }

    // The number of pages after which a sync gives up (safetyCapHit); defaultSafetyCap unless changed.
    void setSafetyCap(qint64 batches) { m_safetyCap = batches; }

private:
    HistoricalSyncWorker(std::shared_ptr<ChatDBReader> chatDB, std::shared_ptr<const SyncFilter> syncFilter);

    void logLine(const QString& line) const;

    const std::shared_ptr<ChatDBReader> m_chatDB;
    const std::shared_ptr<const SyncFilter> m_syncFilter;
    std::atomic<bool> m_running{false};
    bool m_busy = false; // inside startSync, from acceptance to return, whatever the flag says
    std::optional<SyncState> m_currentSync;
    qint64 m_safetyCap = defaultSafetyCap;
    BatchCallback m_onBatch;
    CompleteCallback m_onComplete;
    LogCallback m_onLog;
};

} // namespace velto
