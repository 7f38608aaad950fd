#include "tolkawatcher.h"

#include "attachmentuploader.h"
#include "envelope.h"
#include "messagestore.h"
#include "messagewatcher.h"
#include "task.h"
#include "tolkaerror.h"

#include <QUuid>

namespace velto {

namespace {
double milliseconds(const QDateTime& date)
{
    return double(date.toMSecsSinceEpoch());
}

QJsonValue textOrNull(const QString& text)
{
    return text.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(text);
}

QJsonObject attachmentObject(const ReceivedAttachment& a)
{
    QJsonObject o{{QStringLiteral("mime_type"), a.mimeType},
                  {QStringLiteral("uti"), a.uti},
                  {QStringLiteral("filename"), a.filename},
                  {QStringLiteral("original_path"), a.originalPath},
                  {QStringLiteral("transfer_name"), a.transferName},
                  {QStringLiteral("total_bytes"), double(a.totalBytes)},
                  {QStringLiteral("is_sticker"), a.isSticker},
                  {QStringLiteral("missing"), a.missing}};
    if (a.storagePath)
        o.insert(QStringLiteral("storage_path"), *a.storagePath);
    if (a.storageUrl)
        o.insert(QStringLiteral("storage_url"), *a.storageUrl);
    return o;
}
} // namespace

TolkaWatcher::TolkaWatcher(QObject* parent) : QObject(parent)
{
    auto opened = MessageStore::open();
    if (opened)
        m_store = opened.value();
    else
        m_logger.error(QStringLiteral("Failed to open MessageStore: %1").arg(opened.error().description()));
}

TolkaWatcher::TolkaWatcher(std::shared_ptr<MessageStore> store, QObject* parent)
    : QObject(parent)
    , m_store(std::move(store))
{
}

TolkaWatcher::~TolkaWatcher() = default;

void TolkaWatcher::setWatchTiming(std::chrono::milliseconds debounce, std::chrono::milliseconds safetyCheck)
{
    m_debounce = debounce;
    m_safetyCheck = safetyCheck;
}

void TolkaWatcher::start()
{
    if (m_isRunning) {
        m_logger.info(QStringLiteral("Already running"));
        return;
    }
    if (!m_store) {
        m_logger.error(QStringLiteral("Cannot start watcher: MessageStore not available"));
        return;
    }
    m_isRunning = true;
    m_logger.info(QStringLiteral("Starting message watcher via TolkaCore (linked library)"));

    MessageWatcherConfiguration configuration;
    configuration.debounceInterval = m_debounce;
    configuration.batchLimit = 100;
    configuration.includeReactions = true;
    configuration.safetyCheckInterval = m_safetyCheck;
    auto* watcher = new MessageWatcher(m_store, configuration, this);
    m_watcher = watcher;
    connect(watcher, &MessageWatcher::messagesArrived, this, &TolkaWatcher::enqueue);
    connect(watcher, &MessageWatcher::failed, this, [this](const TolkaError& error) {
        const QString text = error.description();
        m_logger.error(QStringLiteral("Message watcher stream error: %1").arg(text));
        stopWith(text, true);
    });
    connect(watcher, &MessageWatcher::becameUnreliable, this, [this](const QString& reason) {
        m_logger.error(QStringLiteral("File events may be missed: %1").arg(reason));
    });
    watcher->start(lastRowId);
}

void TolkaWatcher::stop()
{
    if (!m_isRunning)
        return;
    m_logger.info(QStringLiteral("Stopping message watcher..."));
    m_isRunning = false;
    ++m_generation;
    m_queue.clear();
    if (m_watcher) {
        m_watcher->stop();
        m_watcher->deleteLater();
    }
}

void TolkaWatcher::stopWith(const QString& reason, bool readFailed)
{
    if (!m_isRunning)
        return;
    stop();
    if (onStopped)
        onStopped(reason, readFailed);
}

void TolkaWatcher::enqueue(const QList<Message>& messages)
{
    if (!m_isRunning)
        return;
    for (const Message& m : messages)
        m_queue.enqueue(m);
    if (!m_draining)
        startTask(drain(m_generation), "live rows");
}

QCoro::Task<> TolkaWatcher::drain(quint64 generation)
{
    const Guard<TolkaWatcher> guard(this);
    m_draining = true;
    while (guard.alive() && m_generation == generation && !m_queue.isEmpty()) {
        const Message message = m_queue.dequeue();
        const bool handedOn = co_await handle(message);
        if (!guard.alive() || m_generation != generation)
            co_return; // stopped meanwhile: the row was not counted and will be read again
        if (!handedOn) {
            stopWith(QStringLiteral("event for row %1 could not be sent").arg(message.rowID), false);
            break;
        }
        lastRowId = message.rowID;
        if (onMessage)
            onMessage(message.rowID, message.guid);
    }
    if (guard.alive())
        m_draining = false;
}

QCoro::Task<bool> TolkaWatcher::handle(Message message)
{
    if (message.isReaction)
    {
        const bool handedOn = co_await handleReaction(std::move(message));
        co_return handedOn;
    }

    const Guard<TolkaWatcher> guard(this);
    const std::shared_ptr<MessageStore> store = m_store;
    ChatInfo chat;
    QStringList participants;
    const auto info = co_await store->chatInfoAsync(message.chatID);
    if (info && info.value())
        chat = *info.value();
    const auto people = co_await store->participantsAsync(message.chatID);
    if (people)
        participants = people.value();
    std::optional<QJsonArray> attachments;
    if (message.attachmentsCount > 0)
        attachments = co_await uploadAttachments(message.rowID);
    if (!guard.alive())
        co_return false;

    QJsonObject event{{QStringLiteral("timestamp"), Envelope::nowMilliseconds()},
                      {QStringLiteral("guid"), message.guid},
                      {QStringLiteral("text"), textOrNull(message.text)},
                      {QStringLiteral("recipient"), chat.identifier},
                      {QStringLiteral("service"), QStringLiteral("iMessage")},
                      {QStringLiteral("sent_at"), milliseconds(message.date)}};
    if (message.isFromMe) {
        event.insert(QStringLiteral("type"), QStringLiteral("MESSAGE_SENT"));
        event.insert(QStringLiteral("is_sent"), message.isSent);
        event.insert(QStringLiteral("send_error"), message.sendError);
    } else {
        event.insert(QStringLiteral("type"), QStringLiteral("MESSAGE_RECEIVED"));
        event.insert(QStringLiteral("sender"), message.sender);
    }
    if (participants.size() >= 2) {
        event.insert(QStringLiteral("isGroupChat"), true);
        event.insert(QStringLiteral("groupId"), chat.identifier);
        event.insert(QStringLiteral("chatGuid"), chat.guid);
        event.insert(QStringLiteral("groupDisplayName"), chat.name);
        event.insert(QStringLiteral("groupMembers"), QJsonArray::fromStringList(participants));
    }
    if (attachments && !attachments->isEmpty())
        event.insert(QStringLiteral("attachments"), *attachments);

    const auto& callback = message.isFromMe ? onSentMessage : onReceivedMessage;
    co_return callback ? callback(event) : false;
}

QCoro::Task<bool> TolkaWatcher::handleReaction(Message message)
{
    const Guard<TolkaWatcher> guard(this);
    const std::shared_ptr<MessageStore> store = m_store;
    ChatInfo chat;
    const auto info = co_await store->chatInfoAsync(message.chatID);
    if (info && info.value())
        chat = *info.value();
    QStringList participants;
    const auto people = co_await store->participantsAsync(message.chatID);
    if (people)
        participants = people.value();
    if (!guard.alive())
        co_return false;

    QJsonObject event{{QStringLiteral("type"), QStringLiteral("REACTION_EVENT")},
                      {QStringLiteral("timestamp"), Envelope::nowMilliseconds()},
                      {QStringLiteral("guid"), message.guid},
                      {QStringLiteral("sender"), message.isFromMe ? QString() : message.sender},
                      {QStringLiteral("isFromMe"), message.isFromMe},
                      {QStringLiteral("reactionType"), message.reactionType ? message.reactionType->name() : QString()},
                      {QStringLiteral("reactionEmoji"), message.reactionType ? message.reactionType->emoji() : QString()},
                      {QStringLiteral("isAdd"), message.isReactionAdd.value_or(true)},
                      {QStringLiteral("reactedToGUID"), message.reactedToGUID.value_or(QString())},
                      {QStringLiteral("sent_at"), milliseconds(message.date)},
                      {QStringLiteral("chatGuid"), chat.guid}};
    if (participants.size() > 1) {
        event.insert(QStringLiteral("isGroupChat"), true);
        event.insert(QStringLiteral("groupId"), chat.identifier);
    }
    co_return onReactionEvent ? onReactionEvent(event) : false;
}

QCoro::Task<std::optional<QJsonArray>> TolkaWatcher::uploadAttachments(qint64 rowId)
{
    const QPointer<AttachmentUploader> uploader = attachmentUploader;
    if (!uploader) {
        m_logger.error(QStringLiteral("No attachment uploader configured"));
        co_return std::nullopt;
    }
    const Guard<TolkaWatcher> guard(this);
    const auto metas = co_await m_store->attachmentsAsync(rowId);
    if (!guard.alive() || !uploader)
        co_return std::nullopt;
    if (!metas) {
        m_logger.error(QStringLiteral("Failed to query attachments for message %1: %2").arg(rowId).arg(metas.error().description()));
        co_return std::nullopt;
    }
    if (metas.value().isEmpty())
        co_return QJsonArray();

    m_logger.info(QStringLiteral("Uploading %1 attachment(s) for message %2").arg(metas.value().size()).arg(rowId));
    const QString uploadId = QUuid::createUuid().toString(QUuid::WithoutBraces);
    QList<MessageAttachment> inputs;
    for (const AttachmentMeta& meta : metas.value()) {
        MessageAttachment a;
        a.filename = meta.originalPath;
        a.transferName = meta.transferName;
        a.mimeType = meta.mimeType;
        a.uti = meta.uti;
        a.totalBytes = quint64(std::max<qint64>(0, meta.totalBytes));
        a.isSticker = meta.isSticker;
        inputs.append(a);
    }
    const QList<ReceivedAttachment> results = co_await uploader->uploadAttachments(inputs, uploadId);
    if (!guard.alive())
        co_return std::nullopt;
    const auto uploaded = std::count_if(results.begin(), results.end(), [](const auto& r) { return !r.missing; });
    if (uploaded > 0)
        m_logger.info(QStringLiteral("Uploaded %1/%2 attachment(s)").arg(uploaded).arg(results.size()));
    QJsonArray list;
    for (const ReceivedAttachment& r : results)
        list.append(attachmentObject(r));
    co_return list;
}

} // namespace velto
