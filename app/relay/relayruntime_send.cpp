// The runtime's handling of sends requested by the server: remember the send, let the message
// automation carry it out, answer MESSAGE_RESULT and, for attachments, find the sent row's GUID.
#include "relayruntime.h"

#include "chatdbqueries.h"
#include "chatdbreader.h"
#include "envelope.h"
#include "messageautomation.h"
#include "sessionmessages.h"
#include "task.h"

#include <phonenumbernormalizer.h>

#include <QCoroTimer>
#include <QDateTime>

namespace velto {

namespace {

const QString kTag = QStringLiteral("dupe-images");

QString yesNo(bool value)
{
    return value ? QStringLiteral("true") : QStringLiteral("false");
}

// The chat identifier the database echo of this send will carry: Messages files a person send
// under the E.164 form of the number (as the sender writes it) and a group send under the chat
// named by the GUID. Tracking that form lets a number written with punctuation still match.
QString echoRecipient(const ServerSendMessage& request)
{
    if (request.isGroupChat.value_or(false)) {
        if (request.chatGuid && !request.chatGuid->isEmpty())
            return ChatDBQueries::chatIdentifierFromGuid(*request.chatGuid);
        return request.groupId.value_or(request.recipient);
    }
    static const PhoneNumberNormalizer normalizer;
    return normalizer.normalize(request.recipient, QStringLiteral("US"));
}

} // namespace

struct RelayRuntime::PendingSend {
    QString messageId;
    QString recipient;
    QString body;
    std::optional<GroupMetadata> groupMetadata;
    std::optional<QList<OutboundAttachment>> attachments;
    // The name the first usable attachment reaches the database under; empty without one.
    QString attachmentName;
};

MessageAutomation* RelayRuntime::createMessageAutomation(QObject* parent)
{
    return new MessageAutomation(1, MessageAutomation::defaultRetryBaseDelay, MessageAutomation::defaultDownloadTimeout,
                                 parent);
}

void RelayRuntime::initializeSending()
{
    // initialize() cannot fail today; a failure would be logged here and the start would go on.
    m_messageAutomation->initialize();
    // The sync and send bookkeeping share one reader; opening it early spares the first send the wait.
    startTask(
        [](QCoro::Task<std::shared_ptr<ChatDBReader>> opening) -> QCoro::Task<> { co_await std::move(opening); }(
            openedChatDB()),
        "open the Messages database");
}

QueueStatus RelayRuntime::sendQueueStatus() const
{
    return QueueStatus{m_messageAutomation->queueLength(), m_messageAutomation->isProcessing()};
}

void RelayRuntime::onSendMessage(const QString&, const QJsonObject& message)
{
    const auto request = ServerSendMessage::decode(message);
    if (!request) {
        log(LogLevel::error, QStringLiteral("Failed to decode SEND_MESSAGE"));
        return;
    }
    handleSendMessage(*request);
}

void RelayRuntime::handleSendMessage(const ServerSendMessage& request)
{
    const bool isGroupChat = request.isGroupChat.value_or(false);
    const qsizetype attachmentCount = request.attachments ? request.attachments->size() : 0;
    log(LogLevel::info, QStringLiteral("Send request: ") + request.messageId + QStringLiteral(" to ") + request.recipient);
    log(LogLevel::debug, QStringLiteral("[dupe-images] handleSendMessage entry"),
        {{QStringLiteral("tag"), kTag},
         {QStringLiteral("messageId"), request.messageId},
         {QStringLiteral("recipient"), request.recipient},
         {QStringLiteral("bodyLength"), QString::number(request.body.size())},
         {QStringLiteral("bodyEmpty"), yesNo(request.body.isEmpty())},
         {QStringLiteral("attachmentCount"), QString::number(attachmentCount)},
         {QStringLiteral("isGroupChat"), yesNo(isGroupChat)}});

    const double now = Envelope::nowMilliseconds();
    m_sentMessagesCache.insert(request.messageId,
                               SentMessageTracking{request.messageId, echoRecipient(request), request.body, now});
    m_sentMessagesCache.removeIf([limit = now - kSentMessageTrackingMs](QHash<QString, SentMessageTracking>::iterator it) {
        return it.value().timestamp < limit;
    });

    PendingSend send;
    send.messageId = request.messageId;
    send.recipient = request.recipient;
    send.body = request.body;
    if (isGroupChat) {
        GroupMetadata group;
        group.isGroupChat = true;
        group.groupId = request.groupId;
        group.chatGuid = request.chatGuid;
        group.groupDisplayName = request.groupDisplayName;
        group.groupMembers = request.groupMembers;
        if (request.chatStyle)
            group.chatStyle = int(*request.chatStyle);
        send.groupMetadata = group;
    }
    if (request.attachments) {
        QList<OutboundAttachment> attachments;
        for (const SendAttachment& a : *request.attachments) {
            attachments.append(OutboundAttachment{a.id, a.fileName, a.originalFileName.value_or(a.fileName),
                                                  a.fileSize.value_or(0),
                                                  a.mimeType.value_or(QStringLiteral("application/octet-stream")),
                                                  a.downloadUrl});
            // The automation stores a download under the last component of its name, and the
            // database records the file under that name.
            if (send.attachmentName.isEmpty())
                send.attachmentName = MessageAutomation::safeFileName(a.fileName).value_or(QString());
        }
        send.attachments = attachments;
    }
    startTask(sendAndReport(std::move(send)), "send on request");
}

QCoro::Task<> RelayRuntime::sendAndReport(PendingSend send)
{
    const Guard<RelayRuntime> guard(this);

    // The snapshot is taken before anything is sent, so that the sent row lies beyond it.
    qint64 snapshot = 0;
    if (!send.attachmentName.isEmpty()) {
        auto opening = openedChatDB();
        const std::shared_ptr<ChatDBReader> reader = co_await std::move(opening);
        if (!guard.alive())
            co_return;
        if (reader) {
            auto latest = reader->getLatestRowId();
            const Result<qint64, db::Error> rowId = co_await std::move(latest);
            if (!guard.alive())
                co_return;
            snapshot = rowId ? rowId.value() : 0;
        }
    }

    auto sending = m_messageAutomation->sendMessage(send.recipient, send.body, send.groupMetadata, send.attachments);
    const SendResult result = co_await std::move(sending);
    if (!guard.alive())
        co_return;
    log(LogLevel::debug, QStringLiteral("[dupe-images] sendMessage returned"),
        {{QStringLiteral("tag"), kTag},
         {QStringLiteral("messageId"), send.messageId},
         {QStringLiteral("success"), yesNo(result.success)},
         {QStringLiteral("error"), result.error.value_or(QString())},
         {QStringLiteral("rowIdSnapshot"), QString::number(snapshot)},
         {QStringLiteral("attachmentName"), send.attachmentName}});

    std::optional<QString> guid;
    if (result.success && !send.attachmentName.isEmpty()) {
        auto polling = pollForGuid(send.recipient, send.attachmentName, snapshot, send.messageId);
        guid = co_await std::move(polling);
        if (!guard.alive())
            co_return;
    }

    log(LogLevel::debug, QStringLiteral("[dupe-images] sending MESSAGE_RESULT"),
        {{QStringLiteral("tag"), kTag},
         {QStringLiteral("messageId"), send.messageId},
         {QStringLiteral("status"), result.success ? QStringLiteral("success") : QStringLiteral("failed")},
         {QStringLiteral("guid"), guid.value_or(QStringLiteral("<nil>"))}});
    OutboundMessageResult reply;
    reply.messageId = send.messageId;
    reply.success = result.success;
    reply.timestamp = Envelope::nowMilliseconds();
    reply.recipient = send.recipient;
    reply.error = result.error;
    reply.guid = guid;
    sendTypedEvent(reply.toJson());

    if (result.success) {
        ++m_messagesSent;
        if (onMetrics)
            onMetrics(m_messagesSent, m_messagesReceived);
    }
}

QCoro::Task<std::optional<QString>> RelayRuntime::pollForGuid(QString recipient, QString attachmentName,
                                                              qint64 sinceRowId, QString messageId)
{
    if (sinceRowId < 1) {
        log(LogLevel::warn, QStringLiteral("[dupe-images] pollForGuid skipped — no ROWID snapshot"),
            {{QStringLiteral("tag"), kTag}, {QStringLiteral("messageId"), messageId}});
        co_return std::nullopt;
    }
    const Guard<RelayRuntime> guard(this);
    log(LogLevel::debug, QStringLiteral("[dupe-images] pollForGuid start"),
        {{QStringLiteral("tag"), kTag},
         {QStringLiteral("messageId"), messageId},
         {QStringLiteral("recipient"), recipient},
         {QStringLiteral("sinceRowId"), QString::number(sinceRowId)},
         {QStringLiteral("attachmentName"), attachmentName}});
    const std::shared_ptr<ChatDBReader> reader = chatDB();
    for (int attempt = 1; attempt <= kGuidPollAttempts; ++attempt) {
        co_await QCoro::sleepFor(kGuidPollInterval);
        if (!guard.alive())
            co_return std::nullopt;
        const QString attemptText = QString::number(attempt);
        if (!reader) {
            log(LogLevel::debug, QStringLiteral("[dupe-images] pollForGuid miss"),
                {{QStringLiteral("tag"), kTag}, {QStringLiteral("messageId"), messageId}, {QStringLiteral("attempt"), attemptText}});
            continue;
        }
        auto lookup = reader->getMostRecentSentAttachment(attachmentName, sinceRowId);
        const Result<std::optional<QString>, db::Error> found = co_await std::move(lookup);
        if (!guard.alive())
            co_return std::nullopt;
        if (!found) {
            log(LogLevel::debug, QStringLiteral("[dupe-images] pollForGuid read error"),
                {{QStringLiteral("tag"), kTag},
                 {QStringLiteral("messageId"), messageId},
                 {QStringLiteral("attempt"), attemptText},
                 {QStringLiteral("error"), found.error().description()}});
            continue;
        }
        if (found.value() && !found.value()->isEmpty()) {
            log(LogLevel::debug, QStringLiteral("[dupe-images] pollForGuid hit"),
                {{QStringLiteral("tag"), kTag},
                 {QStringLiteral("messageId"), messageId},
                 {QStringLiteral("attempt"), attemptText},
                 {QStringLiteral("guid"), *found.value()}});
            co_return found.value();
        }
        log(LogLevel::debug, QStringLiteral("[dupe-images] pollForGuid miss"),
            {{QStringLiteral("tag"), kTag}, {QStringLiteral("messageId"), messageId}, {QStringLiteral("attempt"), attemptText}});
    }
    log(LogLevel::warn, QStringLiteral("[dupe-images] GUID poll timed out"),
        {{QStringLiteral("tag"), kTag}, {QStringLiteral("messageId"), messageId}, {QStringLiteral("recipient"), recipient}});
    co_return std::nullopt;
}

} // namespace velto
