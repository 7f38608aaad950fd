#pragma once

#include "chatdbqueries.h"

#include <dberror.h>
#include <result.h>

#include <QCoroTask>
#include <QList>
#include <QString>

#include <memory>
#include <mutex>
#include <optional>

namespace velto {

// The relay's read-only window on the Messages database for historical sync, the conversation
// list and send bookkeeping. Every query runs on the thread pool and is awaited; several may run
// at once, each on a connection of the reader's own small pool. Dates are Messages-database
// times; unsigned inputs above the signed 64-bit range are clamped to it.
// Until init() has opened the database, and for good when opening failed, every query gives
// its empty result without touching the database. Query failures come back as the access
// layer's error, unchanged. The reader may be destroyed while init() or queries run: they hold
// what they use.
class ChatDBReader {
public:
    // "Library/Messages/chat.db" in the user's home directory.
    static QString defaultPath();

    explicit ChatDBReader(QString databasePath = defaultPath());
    ~ChatDBReader();
    ChatDBReader(const ChatDBReader&) = delete;
    ChatDBReader& operator=(const ChatDBReader&) = delete;

    // Opens the read-only pool (and learns which optional columns exist); logs the outcome.
    // Never fails the reader: true when the database is open.
    QCoro::Task<bool> init();
    bool isOpen() const;

    QCoro::Task<Result<QList<ChatMessage>, db::Error>> getMessagesByDateRange(quint64 startDate, quint64 endDate,
                                                                              int limit,
                                                                              std::optional<qint64> startRowId = std::nullopt);
    // The same in one chat, named by its chat GUID (only the part after the last ";" counts).
    QCoro::Task<Result<QList<ChatMessage>, db::Error>> getMessagesByDateRangeAndChat(
        quint64 startDate, quint64 endDate, QString chatGuid, int limit, std::optional<qint64> startRowId = std::nullopt);
    QCoro::Task<Result<qint64, db::Error>> estimateMessageCount(quint64 startDate, quint64 endDate,
                                                                std::optional<QString> chatGuid = std::nullopt);
    // Messages without attachments (or reactions) have no key.
    QCoro::Task<Result<AttachmentsByMessage, db::Error>> getAttachmentsForMessages(QList<qint64> messageRowIds);
    QCoro::Task<Result<ReactionsByMessage, db::Error>> getReactionsForMessages(QList<qint64> messageRowIds);
    // Every chat with at least one message row, newest activity first.
    QCoro::Task<Result<QList<ChatListEntry>, db::Error>> listAllChats();
    QCoro::Task<Result<qint64, db::Error>> getLatestRowId();
    // The GUID of the first outgoing message after `sinceRowId` carrying an attachment of exactly
    // this transfer name.
    QCoro::Task<Result<std::optional<QString>, db::Error>> getMostRecentSentAttachment(QString transferName,
                                                                                       qint64 sinceRowId);

    DecoderStats stats() const;
    QString databasePath() const { return m_path; }

private:
    // What init() fills in; shared with it so that it may finish after the reader is gone.
    struct State {
        std::mutex mutex;
        std::shared_ptr<ChatDBQueries> queries;
    };

    std::shared_ptr<ChatDBQueries> queries() const;

    const QString m_path;
    const std::shared_ptr<State> m_state = std::make_shared<State>();
};

} // namespace velto
