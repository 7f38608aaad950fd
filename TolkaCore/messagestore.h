#pragma once

#include "attachmentmeta.h"
#include "chat.h"
#include "message.h"
#include "messagefilter.h"
#include "reaction.h"
#include "tolkaerror.h"
#include "urlballoondedupe.h"

#include <dbconnection.h>
#include <result.h>

#include <QCoroTask>
#include <QList>
#include <QString>
#include <QStringList>

#include <memory>
#include <mutex>
#include <optional>

namespace velto {

// Which optional columns the installed Messages schema has; fixed when the store opens.
struct MessageStoreSchema {
    bool hasAttributedBody = false;
    bool hasReactionColumns = false; // guid, associated_message_guid, associated_message_type
    bool hasThreadOriginatorGUIDColumn = false;
    bool hasDestinationCallerID = false;
    bool hasAudioMessageColumn = false;
    bool hasAttachmentUserInfo = false;
    bool hasBalloonBundleIDColumn = false;
    bool hasAssociatedMessageEmoji = false; // newer systems keep a custom tapback's emoji here
};

// Flags given instead of probed, for a connection opened by the caller; absent ones are probed.
struct MessageStoreSchemaOverrides {
    std::optional<bool> hasAttributedBody;
    std::optional<bool> hasReactionColumns;
    std::optional<bool> hasThreadOriginatorGUIDColumn;
    std::optional<bool> hasDestinationCallerID;
    std::optional<bool> hasAudioMessageColumn;
    std::optional<bool> hasAttachmentUserInfo;
    std::optional<bool> hasBalloonBundleIDColumn;
    std::optional<bool> hasAssociatedMessageEmoji;
};

// Read-only gateway to the Messages database: probes the schema once, answers a fixed set of
// queries and decodes rows into plain records. One connection, used by one caller at a time
// (a mutex stands for the serial "tolka.db" queue). The plain methods block and may be called
// from any thread; the …Async twins run them on the thread pool for callers on an event loop.
// Held by shared_ptr: the async twins keep the store alive until their work is done.
class MessageStore : public std::enable_shared_from_this<MessageStore> {
public:
    static constexpr int busyTimeoutMilliseconds = 5000;

    // "Library/Messages/chat.db" in the user's home directory.
    static QString defaultPath();

    // Opens read-only; a failure that looks like missing access becomes permissionDenied.
    static Result<std::shared_ptr<MessageStore>, TolkaError> open(const QString& path = defaultPath());
    static std::shared_ptr<MessageStore> open(db::Connection connection, const QString& path,
                                              const MessageStoreSchemaOverrides& overrides);

    ~MessageStore();
    MessageStore(const MessageStore&) = delete;
    MessageStore& operator=(const MessageStore&) = delete;

    QString path() const { return m_path; }
    const MessageStoreSchema& schema() const { return m_schema; }

    // The newest `limit` messages of a chat, newest first, tapbacks left out.
    Result<QList<Message>, TolkaError> messages(qint64 chatID, int limit,
                                                const std::optional<MessageFilter>& filter = std::nullopt);
    // Up to `limit` messages after a row id in row order; duplicate link-preview rows are left out
    // and do not use up the limit.
    Result<QList<Message>, TolkaError> messagesAfter(qint64 afterRowID, std::optional<qint64> chatID, int limit,
                                                     bool includeReactions = false);
    Result<QList<ReactionEvent>, TolkaError> reactionEventsAfter(qint64 afterRowID, std::optional<qint64> chatID,
                                                                 int limit);
    Result<QList<Chat>, TolkaError> listChats(int limit);
    Result<std::optional<ChatInfo>, TolkaError> chatInfo(qint64 chatID);
    Result<QStringList, TolkaError> participants(qint64 chatID);
    Result<QList<AttachmentMeta>, TolkaError> attachments(qint64 messageID);
    Result<QList<Reaction>, TolkaError> reactions(qint64 messageID);
    Result<qint64, TolkaError> maxRowID();

    QCoro::Task<Result<QList<Message>, TolkaError>> messagesAsync(qint64 chatID, int limit,
                                                                  std::optional<MessageFilter> filter = std::nullopt);
    QCoro::Task<Result<QList<Message>, TolkaError>> messagesAfterAsync(qint64 afterRowID, std::optional<qint64> chatID,
                                                                       int limit, bool includeReactions = false);
    QCoro::Task<Result<QList<ReactionEvent>, TolkaError>> reactionEventsAfterAsync(qint64 afterRowID,
                                                                                   std::optional<qint64> chatID,
                                                                                   int limit);
    QCoro::Task<Result<QList<Chat>, TolkaError>> listChatsAsync(int limit);
    QCoro::Task<Result<std::optional<ChatInfo>, TolkaError>> chatInfoAsync(qint64 chatID);
    QCoro::Task<Result<QStringList, TolkaError>> participantsAsync(qint64 chatID);
    QCoro::Task<Result<QList<AttachmentMeta>, TolkaError>> attachmentsAsync(qint64 messageID);
    QCoro::Task<Result<QList<Reaction>, TolkaError>> reactionsAsync(qint64 messageID);
    QCoro::Task<Result<qint64, TolkaError>> maxRowIDAsync();

    // "p:0/ABC" → "ABC": the part after the last slash when there is one; "bp:ABC" stays.
    static QString normalizeGUID(const QString& guid);

private:
    struct DecodedMessageRow;
    struct MessageRowColumns;

    MessageStore(db::Connection connection, QString path, MessageStoreSchema schema);
    static MessageStoreSchema probe(db::Connection& connection, const MessageStoreSchemaOverrides& overrides);

    QString fragment(bool flag, const char* column) const;
    QString customEmojiFragment(const char* table) const;
    DecodedMessageRow decodeMessageRow(const db::Statement& row, const MessageRowColumns& columns,
                                       qint64 fallbackChatID);
    static Message toMessage(DecodedMessageRow row, ReactionMetadata reaction);
    ReactionMetadata decodeReaction(const DecodedMessageRow& row, const db::Statement& statement,
                                    int emojiColumn) const;
    std::optional<QString> audioTranscription(qint64 messageID);
    QString bodyText(const QString& text, const std::optional<QByteArray>& body) const;
    std::optional<QString> customEmoji(const QString& text, const db::Statement& row, int emojiColumn) const;

    const QString m_path;
    db::Connection m_connection;
    const MessageStoreSchema m_schema;
    URLBalloonDedupe m_urlBalloonDedupe;
    std::mutex m_mutex; // the serial "tolka.db" use of m_connection and m_urlBalloonDedupe
};

} // namespace velto
