#pragma once

#include "chatdbcolumns.h"
#include "chatlistentry.h"
#include "chatmessage.h"
#include "decoderstats.h"
#include "messageattachment.h"
#include "reactionsummary.h"

#include <dbreadpool.h>
#include <result.h>

#include <QHash>
#include <QList>
#include <QString>

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>

namespace velto {

using AttachmentsByMessage = QHash<qint64, QList<MessageAttachment>>;
using ReactionsByMessage = QHash<qint64, QList<ReactionSummary>>;

// The blocking queries behind ChatDBReader, on a read-only pool of the Messages database.
// Thread-safe: several calls may run at once on pool threads, each on its own connection. The
// participants cache and the decoder counters are shared by all of them.
class ChatDBQueries {
public:
    // Opens the pool (label "ChatDBReader", no busy timeout) and probes the optional columns.
    static Result<std::shared_ptr<ChatDBQueries>, db::Error> open(const QString& path);

    ChatDBQueries(const ChatDBQueries&) = delete;
    ChatDBQueries& operator=(const ChatDBQueries&) = delete;

    // Non-reaction messages with startDate ≤ date ≤ endDate (in one chat when an identifier is
    // given), after startRowId when given, by ascending row id, at most `limit`.
    Result<QList<ChatMessage>, db::Error> messages(qint64 startDate, qint64 endDate,
                                                   const std::optional<QString>& chatIdentifier, int limit,
                                                   std::optional<qint64> startRowId);
    Result<qint64, db::Error> countMessages(qint64 startDate, qint64 endDate,
                                            const std::optional<QString>& chatIdentifier);
    Result<AttachmentsByMessage, db::Error> attachments(const QList<qint64>& messageRowIds);
    Result<ReactionsByMessage, db::Error> reactions(const QList<qint64>& messageRowIds);
    Result<QList<ChatListEntry>, db::Error> chats();
    Result<qint64, db::Error> latestRowId();
    Result<std::optional<QString>, db::Error> sentAttachmentGuid(const QString& transferName, qint64 sinceRowId);

    DecoderStats stats() const;
    const ChatDBColumns& columns() const { return m_columns; }
    std::shared_ptr<db::ReadPool> pool() const { return m_pool; }

    // The message statement as run, for comparing against other tools on the same rows.
    QString messageQuery(bool oneChat, bool afterRowId) const;

    // "iMessage;+;chat123" → "chat123": the part after the last ";", or the whole text.
    static QString chatIdentifierFromGuid(const QString& chatGuid);

private:
    ChatDBQueries(std::shared_ptr<db::ReadPool> pool, ChatDBColumns columns);

    // Makes sure the cache holds every listed chat's participants: one query for all missing.
    Result<void, db::Error> loadParticipants(db::Connection& connection, QList<qint64> chatIds);
    QStringList cachedParticipants(qint64 chatId) const;
    // Archived body → text through the archive decoder; counts the outcome.
    std::optional<QString> decodeBody(const QByteArray& body);
    std::optional<QString> extractCustomEmoji(const QString& text, const std::optional<QByteArray>& body);

    const std::shared_ptr<db::ReadPool> m_pool;
    const ChatDBColumns m_columns;
    const QString m_exclusion;

    mutable std::mutex m_participantsMutex;
    QHash<qint64, QStringList> m_groupParticipantsCache;

    std::atomic<qint64> m_totalMessages{0};
    std::atomic<qint64> m_textFieldUsed{0};
    std::atomic<qint64> m_decoderSuccess{0};
    std::atomic<qint64> m_decoderFailed{0};
};

} // namespace velto
