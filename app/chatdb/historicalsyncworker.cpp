#include "historicalsyncworker.h"

#include "chatdbreader.h"
#include "handleresolver.h"
#include "syncfilter.h"

#include <logger.h>

#include <QCoroFuture>
#include <QDateTime>
#include <QSet>
#include <QtConcurrent>

#include <cmath>

namespace velto {

namespace {

const Logger& log()
{
    static const Logger logger("HistoricalSync");
    return logger;
}

QString orNil(const std::optional<QString>& value)
{
    return value.value_or(QStringLiteral("nil"));
}

// The request's allow-list, normalised the way the reader normalises senders, so that an entry
// written as "+1 (555) 000-1111" or with capitals in an e-mail address still matches.
struct AllowList {
    bool listEmpty = true;
    QSet<QString> contacts;

    static AllowList from(const QStringList& entries)
    {
        AllowList list;
        list.listEmpty = entries.isEmpty();
        for (const QString& entry : entries) {
            if (const std::optional<QString> normalized = HandleResolver::normalize(entry))
                list.contacts.insert(*normalized);
        }
        return list;
    }

    // Group messages pass a non-empty list; others by their contact: for a message from me the
    // other party (else the address it was sent from), for a received one its sender.
    bool admits(const ChatMessage& message) const
    {
        if (message.isGroupChat.value_or(false))
            return !listEmpty;
        std::optional<QString> contact = message.chatParticipantId;
        if (!contact && message.isFromMe && message.recipient)
            contact = HandleResolver::normalize(*message.recipient);
        return contact && !contact->isEmpty() && contacts.contains(*contact);
    }
};

struct FilteredPage {
    QList<ChatMessage> messages;
    qint64 syncFilterDropped = 0;
    qint64 allowlistDropped = 0;
};

// Runs on the pool: the patterns of the filter may take a while on long texts.
FilteredPage filterPage(QList<ChatMessage> page, std::optional<SyncFilter> filter, std::optional<AllowList> allowList)
{
    FilteredPage result;
    if (filter)
        result.syncFilterDropped = page.removeIf([&](const ChatMessage& m) { return filter->shouldWithhold(m); });
    if (allowList)
        result.allowlistDropped = page.removeIf([&](const ChatMessage& m) { return !allowList->admits(m); });
    result.messages = std::move(page);
    return result;
}

} // namespace

QString HistoricalSyncWorker::SyncError::description() const
{
    switch (m_kind) {
    case Kind::safetyCapHit:
        return QStringLiteral("Historical sync hit safety cap after %1 batches (possible truncation)").arg(m_batches);
    case Kind::alreadyRunning:
        return QStringLiteral("Sync already in progress");
    case Kind::invalidDateWindow:
        return QStringLiteral("Invalid date window");
    case Kind::queryFailed:
        return m_queryError.description();
    }
    return QString();
}

std::optional<HistoricalSyncWorker::SyncError> HistoricalSyncWorker::SyncRequest::validate() const
{
    if (startDate < 0 || endDate < 0)
        return SyncError::invalidDateWindow();
    return std::nullopt;
}

int HistoricalSyncWorker::SyncRequest::effectiveBatchSize() const
{
    if (batchSize <= 0)
        return defaultBatchSize;
    return std::min(batchSize, maxBatchSize);
}

std::shared_ptr<HistoricalSyncWorker> HistoricalSyncWorker::create(std::shared_ptr<ChatDBReader> chatDB,
                                                                   std::shared_ptr<const SyncFilter> syncFilter)
{
    return std::shared_ptr<HistoricalSyncWorker>(new HistoricalSyncWorker(std::move(chatDB), std::move(syncFilter)));
}

HistoricalSyncWorker::HistoricalSyncWorker(std::shared_ptr<ChatDBReader> chatDB,
                                           std::shared_ptr<const SyncFilter> syncFilter)
    : m_chatDB(std::move(chatDB))
    , m_syncFilter(std::move(syncFilter))
{
}

HistoricalSyncWorker::~HistoricalSyncWorker() = default;

void HistoricalSyncWorker::logLine(const QString& line) const
{
    if (m_onLog) {
        const LogCallback callback = m_onLog;
        callback(line);
    }
}

QCoro::Task<Result<void, HistoricalSyncWorker::SyncError>> HistoricalSyncWorker::startSync(SyncRequest request)
{
    // Refused while a sync is still inside this coroutine, even one whose running flag was
    // already cleared: two loops would share one state.
    if (m_running.load() || m_busy)
        co_return fail(SyncError::alreadyRunning());
    if (std::optional<SyncError> invalid = request.validate())
        co_return fail(*invalid);
    const std::shared_ptr<HistoricalSyncWorker> self = shared_from_this();
    const std::shared_ptr<ChatDBReader> reader = m_chatDB;
    m_running.store(true);
    m_busy = true;

    const int batchSize = request.effectiveBatchSize();
    const auto startDate = quint64(request.startDate);
    const auto endDate = quint64(request.endDate);
    const bool readable = reader && reader->isOpen();

    qint64 totalEstimate = 0;
    qint64 estimatedTotalBatches = 0;
    if (readable) {
        auto counted = co_await reader->estimateMessageCount(startDate, endDate, request.chatGuid);
        if (counted) {
            totalEstimate = *counted;
            if (totalEstimate >= 1 && batchSize >= 1)
                estimatedTotalBatches = qint64(std::ceil(double(totalEstimate) / double(batchSize)));
        } else {
            log().error(QStringLiteral("estimateMessageCount failed: ") + counted.error().description());
        }
    }

    SyncState state;
    state.requestId = request.requestId;
    state.startDate = request.startDate;
    state.endDate = request.endDate;
    state.batchSize = batchSize;
    state.chatGuid = request.chatGuid;
    state.allowedContacts = request.allowedContacts;
    state.totalEstimate = totalEstimate;
    state.estimatedTotalBatches = estimatedTotalBatches;
    state.startTime = QDateTime::currentMSecsSinceEpoch();
    m_currentSync = state;

    log().info(QStringLiteral("[dovedud] Starting historical sync, estimated %1 messages (~%2 batches), batchSize=%3")
                   .arg(totalEstimate)
                   .arg(estimatedTotalBatches)
                   .arg(batchSize));
    logLine(QStringLiteral("Historical sync: estimated %1 messages (~%2 batches), batchSize=%3")
                .arg(totalEstimate)
                .arg(estimatedTotalBatches)
                .arg(batchSize));

    std::optional<AllowList> allowList;
    if (request.allowedContacts)
        allowList = AllowList::from(*request.allowedContacts);

    // Each page is asked for as soon as the row id it starts after is known, so the next page is
    // read while this one is filtered and handed on; one that is not needed is dropped unread.
    using PageTask = QCoro::Task<Result<QList<ChatMessage>, db::Error>>;
    const auto fetch = [&](std::optional<qint64> afterRowId) -> PageTask {
        if (request.chatGuid)
            return reader->getMessagesByDateRangeAndChat(startDate, endDate, *request.chatGuid, batchSize, afterRowId);
        return reader->getMessagesByDateRange(startDate, endDate, batchSize, afterRowId);
    };
    std::optional<PageTask> nextPage;

    qint64 batch = 0;
    while (m_running.load()) {
        if (batch >= m_safetyCap) {
            log().error(QStringLiteral("Historical sync hit safety cap requestId=%1 chatGuid=%2 processed=%3 "
                                       "lastRowId=%4 batches=%5")
                            .arg(state.requestId, orNil(state.chatGuid))
                            .arg(state.processed)
                            .arg(state.lastRowId)
                            .arg(m_safetyCap));
            state.failure = SyncError::safetyCapHit(m_safetyCap);
            break;
        }
        ++batch;

        const qint64 previousLastRowId = state.lastRowId;
        const std::optional<qint64> startRowId =
            previousLastRowId > 0 ? std::optional<qint64>(previousLastRowId) : std::nullopt;
        QList<ChatMessage> page;
        if (readable) {
            PageTask reading = nextPage ? std::move(*nextPage) : fetch(startRowId);
            nextPage.reset();
            Result<QList<ChatMessage>, db::Error> fetched = co_await reading;
            if (!fetched) {
                log().error(QStringLiteral("Batch %1 query failed requestId=%2 chatGuid=%3 lastRowId=%4 error=%5")
                                .arg(batch)
                                .arg(state.requestId, orNil(state.chatGuid))
                                .arg(state.lastRowId)
                                .arg(fetched.error().description()));
                state.failure = SyncError::queryFailed(fetched.error());
                break;
            }
            page = std::move(fetched).value();
        }
        if (page.isEmpty())
            break;

        const qint64 queried = page.size();
        const qint64 pageLastRowId = page.constLast().rowid;
        if (pageLastRowId > previousLastRowId && batch < m_safetyCap)
            nextPage = fetch(pageLastRowId > 0 ? std::optional<qint64>(pageLastRowId) : std::nullopt);
        // The filter as installed now; a configuration installed later applies from the next page.
        std::optional<SyncFilter> filter;
        if (m_syncFilter && m_syncFilter->isActive())
            filter = *m_syncFilter;
        FilteredPage filtered;
        if (filter || allowList) {
            auto future = QtConcurrent::run(&filterPage, std::move(page), std::move(filter), allowList);
            filtered = co_await future;
        } else {
            filtered.messages = std::move(page);
        }
        const qint64 sending = filtered.messages.size();

        log().info(QStringLiteral("[dovedud] Batch %1: queried=%2 syncFilterDropped=%3 allowlistDropped=%4 sending=%5")
                       .arg(batch)
                       .arg(queried)
                       .arg(filtered.syncFilterDropped)
                       .arg(filtered.allowlistDropped)
                       .arg(sending));

        state.processed += sending;
        state.lastRowId = pageLastRowId;
        state.totalBatches = batch;
        m_currentSync = state;

        if (m_onBatch) {
            const BatchCallback callback = m_onBatch;
            co_await callback(std::move(filtered.messages), state);
        }

        log().info(QStringLiteral("[dovedud] Batch %1 complete: sent=%2/%3 cumulative=%4")
                       .arg(batch)
                       .arg(sending)
                       .arg(queried)
                       .arg(state.processed));

        if (state.lastRowId <= previousLastRowId || !m_running.load())
            break;
    }

    m_currentSync = state;
    if (m_onComplete) {
        const CompleteCallback callback = m_onComplete;
        co_await callback(state);
    }
    m_running.store(false);
    m_currentSync.reset();
    m_busy = false;
    co_return {};
}

} // namespace velto
