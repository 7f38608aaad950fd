#pragma once

#include "result.h"
#include "simstatement.h"
#include "simulatorerror.h"

#include <QByteArray>
#include <QList>
#include <QString>

namespace velto::sim {

class SimDatabase;

// One message row as Messages writes it. The body goes to attributedBody where the layout has
// that column (text then stays NULL), otherwise to text.
struct MessageRecord {
    QString guid;
    QString text;
    QByteArray body;
    qint64 handleId = 0;
    QString service;
    QString account;
    QString accountGuid;
    qint64 error = 0;
    qint64 date = 0;
    qint64 dateRead = 0;
    qint64 dateDelivered = 0;
    bool isDelivered = false;
    bool isFinished = true;
    bool isFromMe = false;
    bool isRead = false;
    bool isSent = false;
    bool hasAttachments = false;
    QString cacheRoomnames;
    bool isAudioMessage = false;
    QString associatedGuid;
    qint64 associatedType = 0;
    qint64 associatedRangeLength = 0;
    QString associatedEmoji;
    QString balloonBundleId;
    QString destinationCallerId;
    QString threadOriginatorGuid;
    QString threadOriginatorPart;
    qint64 partCount = 1;
};

struct AttachmentRecord {
    QString guid;
    qint64 createdDate = 0; // seconds since 2001
    QString filename;       // "~/Library/Messages/Attachments/…"
    QString uti;
    QString mimeType;
    QString transferName;
    qint64 totalBytes = 0;
    bool isOutgoing = false;
    bool isSticker = false;
    QByteArray userInfo; // binary property list, or empty
};

struct ChatRecord {
    QString guid;
    int style = 45;
    QString chatIdentifier;
    QString serviceName;
    QString roomName;
    QString displayName;
    QString groupId;
    QString accountId;
    QString accountLogin;
    QString lastAddressedHandle;
};

// Prepared inserts for the rows Messages writes, for whichever of the optional columns the
// database has. Used by the bulk fill (inside one transaction) and by the single appends.
class MessageWriter {
public:
    explicit MessageWriter(SimDatabase &db);

    // Probes the columns and prepares the statements.
    Result<void, SimulatorError> prepare();

    bool hasAttributedBody() const { return m_hasAttributedBody; }
    bool hasReactions() const { return m_hasReactions; }
    bool hasCustomReactionEmoji() const { return m_hasEmoji; }
    bool hasThreadOriginator() const { return m_hasThreadOriginator; }
    bool hasAudioFlag() const { return m_hasAudio; }
    bool hasBalloonBundleId() const { return m_hasBalloon; }
    bool hasUserInfo() const { return m_hasUserInfo; }
    bool hasDestinationCallerId() const { return m_hasDestination; }

    Result<qint64, SimulatorError> insertHandle(const QString &id, const QString &service);
    Result<qint64, SimulatorError> insertChat(const ChatRecord &chat);
    Result<void, SimulatorError> joinChatHandle(qint64 chatId, qint64 handleId);
    // The message row and its chat link.
    Result<qint64, SimulatorError> insertMessage(const MessageRecord &message, qint64 chatId);
    // The attachment row and its message link.
    Result<qint64, SimulatorError> insertAttachment(const AttachmentRecord &attachment, qint64 messageId);

    // An audio message attachment's user_info: a binary property list holding the transcription.
    static QByteArray audioUserInfo(const QString &transcription);

private:
    enum class Column;
    Result<void, SimulatorError> run(SimStatement &statement, const char *what);
    SqlValue messageValue(Column column, const MessageRecord &message) const;

    SimDatabase &m_db;
    QList<Column> m_messageColumns;
    bool m_hasAttributedBody = false;
    bool m_hasReactions = false;
    bool m_hasEmoji = false;
    bool m_hasThreadOriginator = false;
    bool m_hasAudio = false;
    bool m_hasBalloon = false;
    bool m_hasUserInfo = false;
    bool m_hasDestination = false;
    SimStatement m_handle;
    SimStatement m_chat;
    SimStatement m_chatHandle;
    SimStatement m_message;
    SimStatement m_chatMessage;
    SimStatement m_attachment;
    SimStatement m_messageAttachment;
};

} // namespace velto::sim
