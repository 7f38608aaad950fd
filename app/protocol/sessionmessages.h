#pragma once

#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

// Records of the messages that keep the session itself going. Incoming records decode
// strictly from the complete message object (none when any member is missing or mistyped);
// outgoing ones build the object that goes on the wire.
namespace velto {

struct TenantInfo {
    QString id;
    std::optional<QString> name;
    std::optional<QString> defaultCountryCode;
};

struct ServerAuthResult {
    bool success = false;
    std::optional<QString> message;
    double timestamp = 0;
    std::optional<TenantInfo> tenant;

    static std::optional<ServerAuthResult> decode(const QJsonObject& object);
};

// GET_STATUS and HEALTH_CHECK share these members.
struct ServerRequest {
    double timestamp = 0;
    QString requestId;

    static std::optional<ServerRequest> decode(const QJsonObject& object);
};
using ServerStatusRequest = ServerRequest;
using ServerHealthCheck = ServerRequest;

struct ValidationError {
    std::optional<QStringList> path;
    QString message;
    std::optional<QString> code;
};

struct ServerValidationFailed {
    double timestamp = 0;
    std::optional<QString> originalMessage;
    std::optional<QList<ValidationError>> errors;

    static std::optional<ServerValidationFailed> decode(const QJsonObject& object);
};

struct ServerBatchAck {
    QString batchId;
    qint64 insertedCount = 0;
    qint64 duplicatesSkipped = 0;
    double serverTimestamp = 0;

    static std::optional<ServerBatchAck> decode(const QJsonObject& object);
};

struct ServerSyncStart {
    double timestamp = 0;
    std::optional<QString> reason;

    static std::optional<ServerSyncStart> decode(const QJsonObject& object);
};

struct OutboundPong {
    double timestamp = 0;
    QJsonObject toJson() const;
};

struct QueueStatus {
    qint64 queueLength = 0;
    bool isProcessing = false;
};

struct StatusPayload {
    std::optional<QString> relayId;
    std::optional<bool> connected;
    std::optional<QString> relayStatus;
    std::optional<QueueStatus> messageQueue;
};

struct OutboundStatusResponse {
    QString requestId;
    double timestamp = 0;
    StatusPayload status;
    QJsonObject toJson() const;
};

// One file of a SEND_MESSAGE request.
struct SendAttachment {
    QString id;
    QString fileName;
    std::optional<QString> originalFileName;
    std::optional<qint64> fileSize;
    std::optional<QString> mimeType;
    QString downloadUrl;
};

// SEND_MESSAGE: the server asks the relay to send a message.
struct ServerSendMessage {
    double timestamp = 0;
    QString messageId;
    std::optional<QString> requestId;
    QString recipient;
    QString body;
    std::optional<QString> priority;
    std::optional<bool> isGroupChat;
    std::optional<QString> groupId;
    std::optional<QString> chatGuid;
    std::optional<QString> groupDisplayName;
    std::optional<QStringList> groupMembers;
    std::optional<qint64> chatStyle;
    std::optional<QList<SendAttachment>> attachments;

    static std::optional<ServerSendMessage> decode(const QJsonObject& object);
};

// MESSAGE_RESULT: the outcome of one SEND_MESSAGE.
struct OutboundMessageResult {
    QString messageId;
    bool success = false; // "status": "success" or "failed"
    double timestamp = 0;
    std::optional<QString> recipient;
    std::optional<QString> error;
    std::optional<QString> guid;
    QJsonObject toJson() const;
};

// SENT_MESSAGE_GUID_UPDATE: the database identity of a message sent on request.
struct OutboundSentMessageGuidUpdate {
    QString messageId;
    QString guid;
    double timestamp = 0;
    std::optional<bool> isSent;
    std::optional<qint64> sendError;
    QJsonObject toJson() const;
};

// Dictionary messages of the session.
QJsonObject makeIdentify(const QString& relayId, const QJsonObject& systemInfo, double timestamp);
QJsonObject makeHealthResponse(const QString& requestId, const QJsonObject& health, double timestamp);

} // namespace velto
