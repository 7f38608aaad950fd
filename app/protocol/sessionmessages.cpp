#include "sessionmessages.h"

#include "jsonreader.h"

#include <QJsonArray>

namespace velto {

namespace {
const QString kType = QStringLiteral("type");
} // namespace

std::optional<ServerAuthResult> ServerAuthResult::decode(const QJsonObject& object)
{
    JsonReader r(object);
    r.requiredString("type");
    ServerAuthResult result;
    result.success = r.requiredBool("success");
    result.message = r.optionalString("message");
    result.timestamp = r.requiredNumber("timestamp");
    if (const auto tenant = r.optionalObject("tenant")) {
        JsonReader t(*tenant);
        TenantInfo info;
        info.id = t.requiredString("id");
        info.name = t.optionalString("name");
        info.defaultCountryCode = t.optionalString("defaultCountryCode");
        if (!t.ok())
            return std::nullopt;
        result.tenant = info;
    }
    if (!r.ok())
        return std::nullopt;
    return result;
}

std::optional<ServerRequest> ServerRequest::decode(const QJsonObject& object)
{
    JsonReader r(object);
    r.requiredString("type");
    ServerRequest request;
    request.timestamp = r.requiredNumber("timestamp");
    request.requestId = r.requiredString("requestId");
    if (!r.ok())
        return std::nullopt;
    return request;
}

std::optional<ServerValidationFailed> ServerValidationFailed::decode(const QJsonObject& object)
{
    JsonReader r(object);
    r.requiredString("type");
    ServerValidationFailed failed;
    failed.timestamp = r.requiredNumber("timestamp");
    failed.originalMessage = r.optionalString("originalMessage");
    if (const auto errors = r.optionalArray("errors")) {
        QList<ValidationError> list;
        for (const QJsonValue& value : *errors) {
            if (!value.isObject())
                return std::nullopt;
            JsonReader e(value.toObject());
            ValidationError error;
            if (const auto path = e.optionalArray("path")) {
                QStringList parts;
                for (const QJsonValue& part : *path) {
                    if (!part.isString())
                        return std::nullopt;
                    parts.append(part.toString());
                }
                error.path = parts;
            }
            error.message = e.requiredString("message");
            error.code = e.optionalString("code");
            if (!e.ok())
                return std::nullopt;
            list.append(error);
        }
        failed.errors = list;
    }
    if (!r.ok())
        return std::nullopt;
    return failed;
}

std::optional<ServerBatchAck> ServerBatchAck::decode(const QJsonObject& object)
{
    JsonReader r(object);
    r.requiredString("type");
    ServerBatchAck ack;
    ack.batchId = r.requiredString("batchId");
    ack.insertedCount = r.requiredInteger("insertedCount");
    ack.duplicatesSkipped = r.requiredInteger("duplicatesSkipped");
    ack.serverTimestamp = r.requiredNumber("serverTimestamp");
    if (!r.ok())
        return std::nullopt;
    return ack;
}

std::optional<ServerSyncStart> ServerSyncStart::decode(const QJsonObject& object)
{
    JsonReader r(object);
    r.requiredString("type");
    ServerSyncStart start;
    start.timestamp = r.requiredNumber("timestamp");
    start.reason = r.optionalString("reason");
    if (!r.ok())
        return std::nullopt;
    return start;
}

std::optional<ServerSendMessage> ServerSendMessage::decode(const QJsonObject& object)
{
    JsonReader r(object);
    r.requiredString("type");
    ServerSendMessage m;
    m.timestamp = r.requiredNumber("timestamp");
    m.messageId = r.requiredString("messageId");
    m.requestId = r.optionalString("requestId");
    m.recipient = r.requiredString("recipient");
    m.body = r.requiredString("body");
    m.priority = r.optionalString("priority");
    m.isGroupChat = r.optionalBool("isGroupChat");
    m.groupId = r.optionalString("groupId");
    m.chatGuid = r.optionalString("chatGuid");
    m.groupDisplayName = r.optionalString("groupDisplayName");
    if (const auto members = r.optionalArray("groupMembers")) {
        QStringList list;
        for (const QJsonValue& value : *members) {
            if (!value.isString())
                return std::nullopt;
            list.append(value.toString());
        }
        m.groupMembers = list;
    }
    m.chatStyle = r.optionalInteger("chatStyle");
    if (const auto attachments = r.optionalArray("attachments")) {
        QList<SendAttachment> list;
        for (const QJsonValue& value : *attachments) {
            if (!value.isObject())
                return std::nullopt;
            JsonReader a(value.toObject());
            SendAttachment attachment;
            attachment.id = a.requiredString("id");
            attachment.fileName = a.requiredString("fileName");
            attachment.originalFileName = a.optionalString("originalFileName");
            attachment.fileSize = a.optionalInteger("fileSize");
            attachment.mimeType = a.optionalString("mimeType");
            attachment.downloadUrl = a.requiredString("downloadUrl");
            if (!a.ok())
                return std::nullopt;
            list.append(attachment);
        }
        m.attachments = list;
    }
    if (!r.ok())
        return std::nullopt;
    return m;
}

QJsonObject OutboundMessageResult::toJson() const
{
    QJsonObject object{{kType, QStringLiteral("MESSAGE_RESULT")},
                       {QStringLiteral("messageId"), messageId},
                       {QStringLiteral("status"), success ? QStringLiteral("success") : QStringLiteral("failed")},
                       {QStringLiteral("timestamp"), timestamp}};
    if (recipient)
        object.insert(QStringLiteral("recipient"), *recipient);
    if (error)
        object.insert(QStringLiteral("error"), *error);
    if (guid)
        object.insert(QStringLiteral("guid"), *guid);
    return object;
}

QJsonObject OutboundSentMessageGuidUpdate::toJson() const
{
    QJsonObject object{{kType, QStringLiteral("SENT_MESSAGE_GUID_UPDATE")},
                       {QStringLiteral("messageId"), messageId},
                       {QStringLiteral("guid"), guid},
                       {QStringLiteral("timestamp"), timestamp}};
    if (isSent)
        object.insert(QStringLiteral("isSent"), *isSent);
    if (sendError)
        object.insert(QStringLiteral("sendError"), *sendError);
    return object;
}

QJsonObject OutboundPong::toJson() const
{
    return QJsonObject{{kType, QStringLiteral("PONG")}, {QStringLiteral("timestamp"), timestamp}};
}

QJsonObject OutboundStatusResponse::toJson() const
{
    QJsonObject payload;
    if (status.relayId)
        payload.insert(QStringLiteral("relayId"), *status.relayId);
    if (status.connected)
        payload.insert(QStringLiteral("connected"), *status.connected);
    if (status.relayStatus)
        payload.insert(QStringLiteral("relayStatus"), *status.relayStatus);
    if (status.messageQueue)
        payload.insert(QStringLiteral("messageQueue"),
                       QJsonObject{{QStringLiteral("queueLength"), status.messageQueue->queueLength},
                                   {QStringLiteral("isProcessing"), status.messageQueue->isProcessing}});
    return QJsonObject{{kType, QStringLiteral("STATUS_RESPONSE")},
                       {QStringLiteral("requestId"), requestId},
                       {QStringLiteral("timestamp"), timestamp},
                       {QStringLiteral("status"), payload}};
}

QJsonObject makeIdentify(const QString& relayId, const QJsonObject& systemInfo, double timestamp)
{
    return QJsonObject{{kType, QStringLiteral("IDENTIFY")},
                       {QStringLiteral("relayId"), relayId},
                       {QStringLiteral("systemInfo"), systemInfo},
                       {QStringLiteral("timestamp"), timestamp}};
}

QJsonObject makeHealthResponse(const QString& requestId, const QJsonObject& health, double timestamp)
{
    return QJsonObject{{kType, QStringLiteral("HEALTH_RESPONSE")},
                       {QStringLiteral("requestId"), requestId},
                       {QStringLiteral("timestamp"), timestamp},
                       {QStringLiteral("health"), health},
                       {QStringLiteral("status"), QStringLiteral("healthy")}};
}

} // namespace velto
