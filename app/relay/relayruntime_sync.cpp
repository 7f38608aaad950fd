// The runtime's syncs on request (history, conversation list, contacts) and the contacts and
// account triggers.
#include "relayruntime.h"

#include "accountdetectorservice.h"
#include "attachmentuploader.h"
#include "chatdbreader.h"
#include "contactchangeobserver.h"
#include "contactssyncservice.h"
#include "contactstore.h"
#include "envelope.h"
#include "historicalmessage.h"
#include "historicalsyncworker.h"
#include "jsonreader.h"
#include "preferencesmanager.h"
#include "syncfilter.h"
#include "task.h"
#include "websocketclient.h"

#include <QCoroFuture>
#include <QCoroTimer>
#include <QPromise>
#include <QDateTime>
#include <QJsonArray>
#include <QSet>
#include <QTimer>
#include <QUuid>

#include <deque>
#include <limits>
#include <vector>

namespace velto {

namespace {

using namespace std::chrono_literals;

constexpr int kDefaultConversationsBatchSize = 50;
constexpr int kMaxUploadsInFlight = 5;
// Pages sent and not yet read by the server, at most: enough to keep a distant server busy
// while the next page is read, few enough that a slow one holds the reading back.
constexpr qsizetype kPagesOnTheirWay = 4;

const QString kConnectionLost = QStringLiteral("Connection lost during sync");
const QString kRelayStopped = QStringLiteral("Relay stopped");

QString typeOf(const QJsonObject& message)
{
    return message.value(QLatin1String("type")).toString();
}

int clampToInt(qint64 value)
{
    return int(std::clamp<qint64>(value, std::numeric_limits<int>::min(), std::numeric_limits<int>::max()));
}

std::optional<HistoricalSyncWorker::SyncRequest> decodeHistoricalSyncRequest(const QJsonObject& object)
{
    JsonReader r(object);
    r.requiredString("type");
    r.requiredNumber("timestamp");
    HistoricalSyncWorker::SyncRequest request;
    request.requestId = r.requiredString("requestId");
    const std::optional<qint64> batchSize = r.optionalInteger("batchSize");
    request.chatGuid = r.optionalString("chatGuid");
    const std::optional<QJsonArray> allowed = r.optionalArray("allowedContacts");
    const std::optional<qint64> startDate = jsonInteger(object.value(QLatin1String("startDate")));
    const std::optional<qint64> endDate = jsonInteger(object.value(QLatin1String("endDate")));
    if (!r.ok() || !startDate || !endDate)
        return std::nullopt;
    request.startDate = *startDate;
    request.endDate = *endDate;
    request.batchSize = batchSize ? clampToInt(*batchSize) : HistoricalSyncWorker::defaultBatchSize;
    if (allowed) {
        QStringList contacts;
        for (const QJsonValue& value : *allowed) {
            if (!value.isString())
                return std::nullopt;
            contacts.append(value.toString());
        }
        request.allowedContacts = contacts;
    }
    return request;
}

struct ConversationsListRequest {
    QString requestId;
    std::optional<qint64> batchSize;

    static std::optional<ConversationsListRequest> decode(const QJsonObject& object)
    {
        JsonReader r(object);
        r.requiredString("type");
        r.requiredNumber("timestamp");
        ConversationsListRequest request;
        request.requestId = r.requiredString("requestId");
        request.batchSize = r.optionalInteger("batchSize");
        if (!r.ok())
            return std::nullopt;
        return request;
    }
};

QJsonObject attachmentObject(const ReceivedAttachment& record)
{
    QJsonObject object{{QStringLiteral("mime_type"), record.mimeType},
                       {QStringLiteral("uti"), record.uti},
                       {QStringLiteral("filename"), record.filename},
                       {QStringLiteral("original_path"), record.originalPath},
                       {QStringLiteral("transfer_name"), record.transferName},
                       {QStringLiteral("total_bytes"), double(record.totalBytes)},
                       {QStringLiteral("is_sticker"), record.isSticker},
                       {QStringLiteral("missing"), record.missing}};
    if (record.storagePath)
        object.insert(QStringLiteral("storage_path"), *record.storagePath);
    if (record.storageUrl)
        object.insert(QStringLiteral("storage_url"), *record.storageUrl);
    return object;
}

// An attachment whose upload gave no record is still described, from its row.
QJsonObject missingAttachmentObject(const MessageAttachment& attachment)
{
    return {{QStringLiteral("mime_type"), attachment.mimeType},
            {QStringLiteral("uti"), attachment.uti},
            {QStringLiteral("filename"), attachment.filename},
            {QStringLiteral("original_path"), attachment.filename},
            {QStringLiteral("transfer_name"), attachment.transferName},
            {QStringLiteral("total_bytes"), double(attachment.totalBytes)},
            {QStringLiteral("is_sticker"), attachment.isSticker},
            {QStringLiteral("missing"), true}};
}

QJsonObject progressMessage(const HistoricalSyncWorker::SyncState& state)
{
    QJsonObject progress{{QStringLiteral("type"), QStringLiteral("HISTORICAL_SYNC_PROGRESS")},
                         {QStringLiteral("requestId"), state.requestId},
                         {QStringLiteral("processed"), state.processed},
                         {QStringLiteral("total"), state.totalEstimate},
                         {QStringLiteral("currentBatch"), state.totalBatches},
                         {QStringLiteral("lastRowId"), state.lastRowId}};
    if (state.estimatedTotalBatches >= 1)
        progress.insert(QStringLiteral("totalBatches"), state.estimatedTotalBatches);
    else if (state.totalEstimate >= 1 && state.batchSize >= 1)
        progress.insert(QStringLiteral("totalBatches"), (state.totalEstimate + state.batchSize - 1) / state.batchSize);
    return progress;
}

QJsonObject failedMessage(const QString& requestId, const QString& error)
{
    return {{QStringLiteral("type"), QStringLiteral("HISTORICAL_SYNC_FAILED")},
            {QStringLiteral("requestId"), requestId},
            {QStringLiteral("error"), error}};
}

QJsonObject conversationObject(const ChatListEntry& chat)
{
    QJsonObject object{{QStringLiteral("chatId"), chat.chatId},
                       {QStringLiteral("identifier"), chat.identifier},
                       {QStringLiteral("guid"), chat.guid},
                       {QStringLiteral("name"), chat.name},
                       {QStringLiteral("service"), chat.service},
                       {QStringLiteral("lastMessageAt"), double(chat.lastMessageAt)},
                       {QStringLiteral("participants"), QJsonArray::fromStringList(chat.participants)},
                       {QStringLiteral("isGroup"), chat.isGroup}};
    if (chat.lastMessageBody)
        object.insert(QStringLiteral("lastMessageBody"), *chat.lastMessageBody);
    if (chat.chatStyle)
        object.insert(QStringLiteral("chatStyle"), *chat.chatStyle);
    return object;
}

// One attachment to upload, with the row of the message it belongs to.
struct UploadJob {
    qint64 rowId = 0;
    MessageAttachment attachment;
};

QCoro::Task<QJsonObject> uploadAndSerialize(QPointer<AttachmentUploader> uploader, UploadJob job)
{
    if (!uploader)
        co_return missingAttachmentObject(job.attachment);
    QList<MessageAttachment> one{job.attachment};
    const QList<ReceivedAttachment> records =
        co_await uploader->uploadAttachments(std::move(one), QStringLiteral("historical-") + QString::number(job.rowId));
    co_return records.isEmpty() ? missingAttachmentObject(job.attachment) : attachmentObject(records.first());
}

struct UploadQueue {
    QList<UploadJob> jobs;
    qsizetype next = 0;
    QList<QPair<qint64, QJsonObject>> finished; // in completion order
};

// One of the parallel lanes: takes the next job each time its upload has finished.
QCoro::Task<> uploadLane(QPointer<AttachmentUploader> uploader, std::shared_ptr<UploadQueue> queue)
{
    while (queue->next < queue->jobs.size()) {
        const UploadJob job = queue->jobs.at(queue->next++);
        QJsonObject object = co_await uploadAndSerialize(uploader, job);
        queue->finished.append({job.rowId, std::move(object)});
    }
}

QCoro::Task<> nothingToDo()
{
    co_return;
}

// Opens the reader first when it is not open yet (a missing database leaves it closed, and
// the sync then finds nothing), then runs the worker; `refused` hears why it did not start.
QCoro::Task<> runHistoricalWorker(std::shared_ptr<ChatDBReader> reader, std::shared_ptr<HistoricalSyncWorker> worker,
                                  HistoricalSyncWorker::SyncRequest request,
                                  std::function<void(const QString& error)> refused)
{
    if (!reader->isOpen())
        co_await reader->init();
    const auto started = co_await worker->startSync(std::move(request));
    if (!started)
        refused(started.error().description());
}

} // namespace

// One historical sync from its request to its final message.
struct RelayRuntime::HistoricalSync {
    QString requestId;
    bool batchMode = false;
    qint64 arrivalMs = 0;
    std::shared_ptr<HistoricalSyncWorker> worker;
    // Connections lost before the sync started; any further loss may have taken some of its frames.
    quint64 connectionLosses = 0;
    // The frame count after each page still on its way, oldest first.
    std::deque<quint64> pageFrames;
    // Why the sync ends without completing: the connection was lost, or the relay stopped.
    std::optional<QString> interruption;
    // Its final message has been sent (or given up on): nothing more goes out for it.
    bool answered = false;
    // The page being sent while the worker reads the next one.
    std::optional<QCoro::Task<>> pageInFlight;
};

// ---- Settings ----

void RelayRuntime::setPreferencesManager(PreferencesManager* preferences)
{
    m_preferencesManager = preferences;
}

void RelayRuntime::setSyncTiming(std::chrono::milliseconds accountDetectionInterval,
                                 std::chrono::milliseconds contactsChangeDebounce)
{
    m_accountDetectionInterval = accountDetectionInterval;
    m_contactsChangeDebounceDelay = contactsChangeDebounce;
}

bool RelayRuntime::batchSyncEnabled() const
{
    const PreferencesManager* preferences = m_preferencesManager.data();
    return preferences && preferences->current().batchSyncEnabled;
}

std::shared_ptr<ChatDBReader> RelayRuntime::chatDB()
{
    if (!m_chatDB)
        m_chatDB = std::make_shared<ChatDBReader>();
    return m_chatDB;
}

QCoro::Task<std::shared_ptr<ChatDBReader>> RelayRuntime::openedChatDB()
{
    const std::shared_ptr<ChatDBReader> reader = chatDB();
    if (!reader->isOpen())
        co_await reader->init();
    co_return reader;
}

void RelayRuntime::stopSyncWork()
{
    // Every historical sync still running ends before its next page and, while the connection
    // is still open, tells the server it did not complete.
    const QList<std::shared_ptr<HistoricalSync>> syncs = std::exchange(m_historicalSyncs, {});
    for (const std::shared_ptr<HistoricalSync>& sync : syncs) {
        sync->worker->stop();
        sync->interruption = kRelayStopped;
        sync->answered = true;
        QJsonObject failed = failedMessage(sync->requestId, kRelayStopped);
        failed.insert(QStringLiteral("timestamp"), Envelope::nowMilliseconds());
        sendTypedEvent(failed);
    }

    ++m_accountDetectionGeneration;
    if (m_accountDetectionTimer)
        m_accountDetectionTimer->stop();
    stopContactsObserver();
    wakeDeliveryWaiters();
}

// ---- Historical sync ----

void RelayRuntime::onHistoricalSyncRequest(const QString&, const QJsonObject& message)
{
    std::optional<HistoricalSyncWorker::SyncRequest> request = decodeHistoricalSyncRequest(message);
    if (!request) {
        log(LogLevel::error, QStringLiteral("Failed to decode HISTORICAL_SYNC_REQUEST"));
        return;
    }
    if (!m_syncFilter)
        m_syncFilter = std::make_shared<SyncFilter>();
    watchConnection();

    auto sync = std::make_shared<HistoricalSync>();
    sync->requestId = request->requestId;
    sync->arrivalMs = QDateTime::currentMSecsSinceEpoch();
    sync->batchMode = batchSyncEnabled();
    sync->connectionLosses = m_connectionLosses;
    sync->worker = HistoricalSyncWorker::create(chatDB(), m_syncFilter);
    // Only the newest is kept by name; earlier ones run on to their end.
    m_historicalSyncWorker = sync->worker;
    m_historicalSyncs.append(sync);

    log(LogLevel::info, QStringLiteral("Historical sync starting (mode=%1, batchSize=%2, requestId=%3)")
                            .arg(sync->batchMode ? QStringLiteral("batch") : QStringLiteral("individual"))
                            .arg(request->effectiveBatchSize())
                            .arg(sync->requestId));

    const QPointer<RelayRuntime> self(this);
    sync->worker->setOnLog([self](const QString& line) {
        if (self)
            self->log(LogLevel::info, line);
    });
    // The worker's callbacks hold the sync weakly (it holds the worker); the runtime's list
    // keeps it while it runs.
    const std::weak_ptr<HistoricalSync> weakSync = sync;
    sync->worker->setOnBatch([self, weakSync](QList<ChatMessage> page, HistoricalSyncWorker::SyncState state) {
        const std::shared_ptr<HistoricalSync> running = weakSync.lock();
        if (!self || !running)
            return nothingToDo();
        return self->sendHistoricalPage(running, std::move(page), progressMessage(state));
    });
    sync->worker->setOnComplete([self, weakSync](HistoricalSyncWorker::SyncState state) {
        const std::shared_ptr<HistoricalSync> running = weakSync.lock();
        if (!self || !running)
            return nothingToDo();
        if (state.failure)
            return self->finishHistoricalSync(running, failedMessage(running->requestId, state.failure->description()));
        return self->finishHistoricalSync(
            running, QJsonObject{{QStringLiteral("type"), QStringLiteral("HISTORICAL_SYNC_COMPLETE")},
                                 {QStringLiteral("requestId"), running->requestId},
                                 {QStringLiteral("totalProcessed"), state.processed},
                                 {QStringLiteral("totalEstimate"), state.totalEstimate},
                                 {QStringLiteral("totalBatches"), state.totalBatches}});
    });
    // A request the worker refuses (a negative date) is answered the same way as a failed sync.
    auto refused = [self, sync](const QString& error) {
        if (!self || sync->answered)
            return;
        sync->answered = true;
        self->m_historicalSyncs.removeOne(sync);
        QJsonObject failed = failedMessage(sync->requestId, error);
        failed.insert(QStringLiteral("timestamp"), Envelope::nowMilliseconds());
        self->sendTypedEvent(failed);
    };
    startTask(runHistoricalWorker(chatDB(), sync->worker, std::move(*request), std::move(refused)), "historical sync");
}

QCoro::Task<> RelayRuntime::sendHistoricalPage(std::shared_ptr<HistoricalSync> sync, QList<ChatMessage> page,
                                               QJsonObject progress)
{
    // One page is sent at a time, in order; returning while it is on its way lets the worker
    // read the next page meanwhile.
    const Guard<RelayRuntime> guard(this);
    // The reactions are read meanwhile: a database lookup, unlike the uploads, which keep to
    // their own page so that no more of them run at once than allowed.
    QList<qint64> rowIds;
    rowIds.reserve(page.size());
    for (const ChatMessage& message : std::as_const(page))
        rowIds.append(message.rowid);
    const std::shared_ptr<ChatDBReader> reader = chatDB();
    ReactionsLookup reactions = reader->getReactionsForMessages(std::move(rowIds));
    if (std::optional<QCoro::Task<>> previous = std::exchange(sync->pageInFlight, std::nullopt))
        co_await *previous;
    if (!guard.alive() || sync->interruption)
        co_return;
    sync->pageInFlight = deliverHistoricalPage(sync, std::move(page), std::move(reactions), std::move(progress));
}

QCoro::Task<> RelayRuntime::deliverHistoricalPage(std::shared_ptr<HistoricalSync> sync, QList<ChatMessage> page,
                                                  ReactionsLookup reactions, QJsonObject progress)
{
    const Guard<RelayRuntime> guard(this);
    if (!page.isEmpty()) {
        const double startedAt = Envelope::nowMilliseconds();
        QCoro::Task<HistoricalPageDetails> looking = historicalPageDetails(
            page, std::move(reactions),
            sync->batchMode ? QStringLiteral("Failed to query historical reactions for batch: ")
                            : QStringLiteral("Failed to query historical reactions: "));
        const HistoricalPageDetails details = co_await looking;
        if (!guard.alive())
            co_return;
        if (sync->batchMode)
            sendHistoricalMessagesBatch(*sync, page, details, startedAt);
        else
            sendHistoricalMessages(*sync, page, details, startedAt);
    }
    if (!guard.alive() || sync->interruption)
        co_return;
    progress.insert(QStringLiteral("timestamp"), Envelope::nowMilliseconds());
    if (!sendHistoricalFrame(*sync, QString::fromUtf8(Envelope::encodeTyped(progress))))
        co_return;

    // Back-pressure: the next pages are read while this one travels, but no more than
    // kPagesOnTheirWay pages are ever sent and not yet read by the server.
    sync->pageFrames.push_back(m_webSocket->framesSent());
    m_webSocket->requestDeliveryConfirmation();
    if (qsizetype(sync->pageFrames.size()) >= kPagesOnTheirWay) {
        const quint64 oldest = sync->pageFrames.front();
        sync->pageFrames.pop_front();
        co_await awaitHistoricalDelivery(sync, oldest);
    }
}

QCoro::Task<RelayRuntime::HistoricalPageDetails>
RelayRuntime::historicalPageDetails(QList<ChatMessage> page, ReactionsLookup lookup, QString reactionFailureText)
{
    const Guard<RelayRuntime> guard(this);
    // The attachments go up while the reactions are still being read.
    QCoro::Task<QHash<qint64, QList<QJsonObject>>> uploads = uploadHistoricalAttachments(page);
    auto reactions = co_await lookup;
    HistoricalPageDetails details;
    details.attachments = co_await uploads;
    if (!guard.alive())
        co_return details;
    // A page without its reactions is still worth sending.
    if (reactions)
        details.reactions = std::move(reactions).value();
    else
        log(LogLevel::warn, reactionFailureText + reactions.error().description());
    co_return details;
}

void RelayRuntime::sendHistoricalMessagesBatch(HistoricalSync& sync, const QList<ChatMessage>& page,
                                               const HistoricalPageDetails& details, double startedAt)
{
    const auto& [attachments, reactions] = details;

    // Written directly in the byte form encodeDictionary gives the equivalent object (members
    // sorted by name); building that object first costs more than the rest of the relay's work.
    QByteArray frame;
    frame.reserve(256 + page.size() * 320);
    frame.append("{\"batchId\":");
    Envelope::appendString(frame, QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper());
    frame.append(",\"cursor\":{\"endRowId\":");
    frame.append(QByteArray::number(page.constLast().rowid));
    frame.append(",\"startRowId\":");
    frame.append(QByteArray::number(page.constFirst().rowid));
    frame.append("},\"messages\":[");
    bool first = true;
    for (const ChatMessage& message : std::as_const(page)) {
        if (!std::exchange(first, false))
            frame.append(',');
        appendHistoricalMessage(frame, message, attachments.value(message.rowid), reactions.value(message.rowid));
    }
    frame.append("],\"requestId\":");
    Envelope::appendString(frame, sync.requestId);
    frame.append(",\"timestamp\":");
    Envelope::appendNumber(frame, startedAt);
    frame.append(",\"type\":\"HISTORICAL_MESSAGES_BATCH\"}");
    sendHistoricalFrame(sync, QString::fromUtf8(frame));
}

void RelayRuntime::sendHistoricalMessages(HistoricalSync& sync, const QList<ChatMessage>& page,
                                          const HistoricalPageDetails& details, double startedAt)
{
    const auto& [attachments, reactions] = details;
    for (const ChatMessage& message : std::as_const(page)) {
        QJsonObject object =
            historicalMessageObject(message, attachments.value(message.rowid), reactions.value(message.rowid));
        object.insert(QStringLiteral("type"), message.isFromMe ? QStringLiteral("HISTORICAL_MESSAGE_SENT")
                                                               : QStringLiteral("HISTORICAL_MESSAGE_RECEIVED"));
        object.insert(QStringLiteral("timestamp"), startedAt);
        if (!sendHistoricalFrame(sync, QString::fromUtf8(Envelope::encodeDictionary(object))))
            break;
    }
}

QCoro::Task<QHash<qint64, QList<QJsonObject>>> RelayRuntime::uploadHistoricalAttachments(QList<ChatMessage> page)
{
    QHash<qint64, QList<QJsonObject>> byMessage;
    const std::shared_ptr<ChatDBReader> reader = chatDB();
    if (page.isEmpty() || !reader->isOpen())
        co_return byMessage;
    const Guard<RelayRuntime> guard(this);
    QList<qint64> rowIds;
    for (const ChatMessage& message : std::as_const(page))
        rowIds.append(message.rowid);
    const auto found = co_await reader->getAttachmentsForMessages(std::move(rowIds));
    if (!guard.alive())
        co_return byMessage;
    if (!found) {
        log(LogLevel::warn, QStringLiteral("Failed to query historical attachments: ") + found.error().description());
        co_return byMessage;
    }

    auto queue = std::make_shared<UploadQueue>();
    for (const ChatMessage& message : std::as_const(page)) {
        for (const MessageAttachment& attachment : found->value(message.rowid))
            queue->jobs.append({message.rowid, attachment});
    }
    // At most a few uploads at once: each lane takes the next job when its upload finishes.
    const QPointer<AttachmentUploader> uploader(m_attachmentUploader);
    std::vector<QCoro::Task<>> lanes;
    for (qsizetype i = 0; i < std::min<qsizetype>(kMaxUploadsInFlight, queue->jobs.size()); ++i)
        lanes.push_back(uploadLane(uploader, queue));
    for (QCoro::Task<>& lane : lanes)
        co_await lane;
    for (const auto& [rowId, object] : std::as_const(queue->finished))
        byMessage[rowId].append(object);
    co_return byMessage;
}

bool RelayRuntime::sendHistoricalFrame(HistoricalSync& sync, const QString& text)
{
    if (sync.interruption)
        return false;
    if (m_connectionLosses == sync.connectionLosses && m_webSocket && m_webSocket->sendText(text).ok())
        return true;
    // A frame that cannot go, or a connection lost since the sync started (it may have taken
    // frames with it): the sync stops and says so, rather than completing with holes.
    sync.interruption = kConnectionLost;
    sync.worker->stop();
    return false;
}

void RelayRuntime::watchConnection()
{
    WebSocketClient* client = m_webSocket;
    if (!client || client == m_watchedClient)
        return;
    m_watchedClient = client;
    m_confirmedFrames = 0;
    // The runtime's own handlers stay in place and run first; the syncs only listen.
    const QPointer<RelayRuntime> self(this);
    client->onFramesConfirmed = [self, previous = client->onFramesConfirmed](quint64 confirmed) {
        if (previous)
            previous(confirmed);
        if (!self)
            return;
        self->m_confirmedFrames = confirmed;
        self->wakeDeliveryWaiters();
    };
    client->onDisconnected = [self, previous = client->onDisconnected](const std::optional<QString>& reason) {
        if (previous)
            previous(reason);
        if (!self)
            return;
        ++self->m_connectionLosses;
        self->m_confirmedFrames = 0;
        self->wakeDeliveryWaiters();
    };
}

void RelayRuntime::wakeDeliveryWaiters()
{
    for (const std::shared_ptr<QPromise<void>>& waiter : std::exchange(m_deliveryWaiters, {}))
        waiter->finish();
}

QCoro::Task<> RelayRuntime::awaitHistoricalDelivery(std::shared_ptr<HistoricalSync> sync, quint64 frame)
{
    const Guard<RelayRuntime> guard(this);
    while (guard.alive() && m_isRunning && m_connectionLosses == sync->connectionLosses && m_confirmedFrames < frame) {
        auto waiter = std::make_shared<QPromise<void>>();
        waiter->start();
        QFuture<void> woken = waiter->future();
        m_deliveryWaiters.push_back(std::move(waiter));
        // Also ends (cancelled) when the runtime and its waiters are destroyed.
        co_await woken;
    }
    if (guard.alive() && m_connectionLosses != sync->connectionLosses && !sync->interruption) {
        sync->interruption = kConnectionLost;
        sync->worker->stop();
    }
}

QCoro::Task<> RelayRuntime::finishHistoricalSync(std::shared_ptr<HistoricalSync> sync, QJsonObject outcome)
{
    const Guard<RelayRuntime> guard(this);
    if (std::optional<QCoro::Task<>> last = std::exchange(sync->pageInFlight, std::nullopt))
        co_await *last;
    if (!guard.alive() || sync->answered)
        co_return;
    if (typeOf(outcome) == QLatin1String("HISTORICAL_SYNC_COMPLETE") && !sync->interruption && m_webSocket) {
        // Complete means the server has read every page.
        const quint64 last = m_webSocket->framesSent();
        m_webSocket->requestDeliveryConfirmation();
        co_await awaitHistoricalDelivery(sync, last);
        if (!guard.alive() || sync->answered)
            co_return;
    }

    if (sync->interruption) {
        outcome = failedMessage(sync->requestId, *sync->interruption);
        // Told on the next connection, once the relay is accepted again, so that the server
        // knows to ask again.
        while (guard.alive() && m_isRunning && !m_isIdentified && !sync->answered)
            co_await QCoro::sleepFor(100ms);
        if (!guard.alive() || sync->answered)
            co_return;
    } else if (typeOf(outcome) == QLatin1String("HISTORICAL_SYNC_COMPLETE")) {
        outcome.insert(QStringLiteral("durationMs"), QDateTime::currentMSecsSinceEpoch() - sync->arrivalMs);
    }
    sync->answered = true;
    m_historicalSyncs.removeOne(sync);
    outcome.insert(QStringLiteral("timestamp"), Envelope::nowMilliseconds());
    sendTypedEvent(outcome);
}

// ---- Conversation list ----

void RelayRuntime::onConversationsListRequest(const QString&, const QJsonObject& message)
{
    const std::optional<ConversationsListRequest> request = ConversationsListRequest::decode(message);
    if (!request) {
        log(LogLevel::error, QStringLiteral("Failed to decode CONVERSATIONS_LIST_REQUEST"));
        return;
    }
    startConversationsSync(request->requestId,
                           clampToInt(request->batchSize.value_or(kDefaultConversationsBatchSize)),
                           QStringLiteral("CONVERSATIONS_LIST_REQUEST"));
}

void RelayRuntime::startConversationsSync(const QString& requestId, int batchSize, const QString& triggerLabel)
{
    if (m_conversationsSyncInFlight) {
        log(LogLevel::debug, QStringLiteral("Ignoring duplicate conversation list trigger: ") + triggerLabel);
        return;
    }
    // A size of 0 or below cannot split the list.
    if (batchSize <= 0)
        batchSize = kDefaultConversationsBatchSize;
    m_conversationsSyncInFlight = true;
    const quint64 generation = ++m_conversationsSyncGeneration;
    const bool batchPath = batchSyncEnabled();
    const qint64 startedAt = QDateTime::currentMSecsSinceEpoch();
    log(LogLevel::info, QStringLiteral("Starting conversation list sync (trigger=%1, batchSize=%2, mode=%3)")
                            .arg(triggerLabel)
                            .arg(batchSize)
                            .arg(batchPath ? QStringLiteral("batch") : QStringLiteral("legacy")));
    startTask(runConversationsSync(requestId, batchSize, batchPath, startedAt, generation), "conversation list sync");
}

QCoro::Task<> RelayRuntime::runConversationsSync(QString requestId, int batchSize, bool batchPath, qint64 startedAt,
                                                 quint64 generation)
{
    const Guard<RelayRuntime> guard(this);
    const std::shared_ptr<ChatDBReader> reader = co_await openedChatDB();
    if (!guard.alive())
        co_return;
    // Without a database the list is empty.
    Result<QList<ChatListEntry>, db::Error> chats = QList<ChatListEntry>();
    if (reader->isOpen())
        chats = co_await reader->listAllChats();
    if (!guard.alive())
        co_return;
    const auto finished = [this, generation] {
        if (generation == m_conversationsSyncGeneration)
            m_conversationsSyncInFlight = false;
    };

    if (!chats) {
        const QString error = chats.error().description();
        sendTypedEvent({{QStringLiteral("type"), batchPath ? QStringLiteral("CONVERSATIONS_LIST_BATCH_FAILED")
                                                           : QStringLiteral("CONVERSATIONS_LIST_FAILED")},
                        {QStringLiteral("requestId"), requestId},
                        {QStringLiteral("error"), error},
                        {QStringLiteral("timestamp"), Envelope::nowMilliseconds()}});
        log(LogLevel::error, QStringLiteral("Conversation list sync failed: ") + error);
        finished();
        co_return;
    }

    const qsizetype totalChats = chats->size();
    const qsizetype totalBatches = (totalChats + batchSize - 1) / batchSize;
    // An empty list completes on the legacy message whichever path was chosen.
    const bool experimental = batchPath && totalChats > 0;
    const QString path = experimental ? QStringLiteral("experimental") : QStringLiteral("legacy");
    for (qsizetype batch = 1; batch <= totalBatches; ++batch) {
        QJsonArray objects;
        const qsizetype first = (batch - 1) * batchSize;
        const qsizetype end = std::min(totalChats, first + batchSize);
        for (qsizetype i = first; i < end; ++i)
            objects.append(conversationObject(chats->at(i)));
        log(LogLevel::debug, QStringLiteral("Sending conversation list batch %1/%2 via %3 path (%4 chats)")
                                 .arg(batch)
                                 .arg(totalBatches)
                                 .arg(path)
                                 .arg(end - first));
        sendTypedEvent({{QStringLiteral("type"), experimental ? QStringLiteral("CONVERSATIONS_LIST_BATCH")
                                                              : QStringLiteral("CONVERSATIONS_LIST_DATA")},
                        {QStringLiteral("requestId"), requestId},
                        {QStringLiteral("batch"), batch},
                        {QStringLiteral("totalBatches"), totalBatches},
                        {QStringLiteral("chats"), objects},
                        {QStringLiteral("timestamp"), Envelope::nowMilliseconds()}});
    }

    const auto durationMs = [startedAt] { return QDateTime::currentMSecsSinceEpoch() - startedAt; };
    if (totalChats == 0) {
        sendTypedEvent({{QStringLiteral("type"), QStringLiteral("CONVERSATIONS_LIST_COMPLETE")},
                        {QStringLiteral("requestId"), requestId},
                        {QStringLiteral("totalChats"), 0},
                        {QStringLiteral("totalBatches"), 0},
                        {QStringLiteral("durationMs"), durationMs()},
                        {QStringLiteral("timestamp"), Envelope::nowMilliseconds()}});
        log(LogLevel::info, QStringLiteral("Conversation list sync complete: 0 chats"));
        finished();
        co_return;
    }
    const qint64 duration = durationMs();
    log(LogLevel::info, QStringLiteral("Conversation list sync sending %1 completion frame: chats=%2, batches=%3, durationMs=%4")
                            .arg(path)
                            .arg(totalChats)
                            .arg(totalBatches)
                            .arg(durationMs()));
    sendTypedEvent({{QStringLiteral("type"), experimental ? QStringLiteral("CONVERSATIONS_LIST_BATCH_COMPLETE")
                                                          : QStringLiteral("CONVERSATIONS_LIST_COMPLETE")},
                    {QStringLiteral("requestId"), requestId},
                    {QStringLiteral("totalChats"), totalChats},
                    {QStringLiteral("totalBatches"), totalBatches},
                    {QStringLiteral("durationMs"), duration},
                    {QStringLiteral("timestamp"), Envelope::nowMilliseconds()}});
    log(LogLevel::info, QStringLiteral("Conversation list sync complete: %1 chats in %2 batches")
                            .arg(totalChats)
                            .arg(totalBatches));
    finished();
}

// ---- Contacts ----

ContactsSyncService* RelayRuntime::contactsSync()
{
    if (!m_contactsSync) {
        m_contactsSync = new ContactsSyncService(this);
        const QPointer<RelayRuntime> self(this);
        m_contactsSync->sendMessage = [self](const QJsonObject& event) {
            if (self)
                self->sendRawEvent(event);
        };
    }
    return m_contactsSync;
}

void RelayRuntime::startContactsSync(const QString& triggerLabel)
{
    if (m_contactsSyncInFlight) {
        log(LogLevel::debug, QStringLiteral("Ignoring duplicate contacts sync trigger: ") + triggerLabel);
        return;
    }
    m_contactsSyncInFlight = true;
    log(LogLevel::info, QStringLiteral("Starting contacts sync (trigger=") + triggerLabel + QLatin1Char(')'));
    startTask(runContactsSync(++m_contactsSyncGeneration), "contacts sync");
}

QCoro::Task<> RelayRuntime::runContactsSync(quint64 generation)
{
    const Guard<RelayRuntime> guard(this);
    const ContactSyncResult result = co_await contactsSync()->startSync();
    if (!guard.alive())
        co_return;
    log(result.success ? LogLevel::info : LogLevel::error, QStringLiteral("Contacts sync: ") + result.message);
    if (generation == m_contactsSyncGeneration)
        m_contactsSyncInFlight = false;
}

QCoro::Task<ContactSyncResult> RelayRuntime::syncContacts()
{
    if (m_contactsSyncInFlight)
        co_return ContactSyncResult{false, QStringLiteral("Contacts sync already running")};
    m_contactsSyncInFlight = true;
    const quint64 generation = ++m_contactsSyncGeneration;
    const Guard<RelayRuntime> guard(this);
    ContactSyncResult result = co_await contactsSync()->startSync();
    if (guard.alive() && generation == m_contactsSyncGeneration)
        m_contactsSyncInFlight = false;
    co_return result;
}

QCoro::Task<> RelayRuntime::syncContactsAfterChange()
{
    (void)co_await syncContacts();
}

void RelayRuntime::startContactsObserver()
{
    if (m_contactsChangeObserver)
        return;
    if (!m_contactsChangeDebounce) {
        m_contactsChangeDebounce = new QTimer(this);
        m_contactsChangeDebounce->setSingleShot(true);
        connect(m_contactsChangeDebounce, &QTimer::timeout, this, [this] {
            log(LogLevel::info, QStringLiteral("macOS Contacts changed — syncing"));
            startTask(syncContactsAfterChange(), "contacts sync after a change");
        });
    }
    auto* observer = new ContactChangeObserver(ContactStore::defaultDirectory(), this);
    // A burst of changes leads to one sync, once the address book has been quiet for a while.
    connect(observer, &ContactChangeObserver::contactStoreDidChange, this,
            [this] { m_contactsChangeDebounce->start(m_contactsChangeDebounceDelay); });
    m_contactsChangeObserver = observer;
    if (!observer->start()) {
        log(LogLevel::warn, QStringLiteral("Contacts changes cannot be watched in ") + observer->directory());
        return;
    }
    log(LogLevel::info, QStringLiteral("Registered Contacts change observer"));
}

void RelayRuntime::stopContactsObserver()
{
    if (m_contactsChangeDebounce)
        m_contactsChangeDebounce->stop();
    if (ContactChangeObserver* observer = std::exchange(m_contactsChangeObserver, nullptr)) {
        observer->stop();
        observer->deleteLater();
    }
}

// ---- Accounts ----

void RelayRuntime::startAccountDetection()
{
    performAccountDetection();
    startAccountDetectionTimer();
}

void RelayRuntime::performAccountDetection()
{
    startTask(detectAccounts(m_accountDetectionGeneration), "account detection");
}

void RelayRuntime::startAccountDetectionTimer()
{
    if (!m_accountDetectionTimer) {
        m_accountDetectionTimer = new QTimer(this);
        connect(m_accountDetectionTimer, &QTimer::timeout, this, &RelayRuntime::performAccountDetection);
    }
    m_accountDetectionTimer->stop();
    log(LogLevel::info, QStringLiteral("Account detection will run every %1s")
                            .arg(std::chrono::duration_cast<std::chrono::seconds>(m_accountDetectionInterval).count()));
    m_accountDetectionTimer->start(m_accountDetectionInterval);
}

QCoro::Task<> RelayRuntime::detectAccounts(quint64 generation)
{
    const Guard<RelayRuntime> guard(this);
    log(LogLevel::info, QStringLiteral("Starting account detection..."));
    const auto detected = co_await AccountDetectorService::detectAccounts();
    // A stop cancels the detections still running.
    if (!guard.alive() || generation != m_accountDetectionGeneration)
        co_return;
    if (!detected) {
        log(LogLevel::error, QStringLiteral("Account detection failed: ") + detected.error().description());
        co_return;
    }
    QStringList values;
    for (const ManualAccount& account : *detected)
        values.append(account.value);
    if (values.isEmpty()) {
        log(LogLevel::info, QStringLiteral("No accounts detected. Relay may not have sent messages yet."));
        co_return;
    }
    if (m_lastReportedAccounts
        && QSet<QString>(m_lastReportedAccounts->begin(), m_lastReportedAccounts->end())
               == QSet<QString>(values.begin(), values.end())) {
        log(LogLevel::debug, QStringLiteral("Accounts unchanged, skipping report"));
        co_return;
    }

    const double now = Envelope::nowMilliseconds();
    const bool sent = m_isIdentified && sendTypedEvent({{QStringLiteral("type"), QStringLiteral("RELAY_ACCOUNTS_DETECTED")},
                                                        {QStringLiteral("accounts"), QJsonArray::fromStringList(values)},
                                                        {QStringLiteral("source"), QStringLiteral("chat_db")},
                                                        {QStringLiteral("detectedAt"), now},
                                                        {QStringLiteral("timestamp"), now}});
    if (onAccountsDetected)
        onAccountsDetected(values);
    if (!sent) {
        // Not remembered as reported: the next detection, at the latest the one after the next
        // authentication, sends the set again.
        log(LogLevel::warn, QStringLiteral("Detected %1 account(s); not reported, no connection").arg(values.size()));
        co_return;
    }
    m_lastReportedAccounts = values;
    log(LogLevel::info, QStringLiteral("Reported %1 detected account(s) to server").arg(values.size()));
}

} // namespace velto
