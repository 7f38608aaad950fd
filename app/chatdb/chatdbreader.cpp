#include "chatdbreader.h"

#include <platform.h>

#include <QCoroFuture>
#include <QDir>
#include <QtConcurrent>

#include <limits>

namespace velto {

namespace {

qint64 clampDate(quint64 date)
{
    return qint64(std::min<quint64>(date, quint64(std::numeric_limits<qint64>::max())));
}

// Runs blocking work on the thread pool and resumes the awaiting coroutine on its own thread.
// `work` holds the queries object by value, so it outlives the reader if need be.
template <typename Work>
QCoro::Task<std::invoke_result_t<Work>> onPool(Work work)
{
    co_return co_await QtConcurrent::run(std::move(work));
}

} // namespace

QString ChatDBReader::defaultPath()
{
    return QDir(Platform::homeDirectory()).filePath(QStringLiteral("Library/Messages/chat.db"));
}

ChatDBReader::ChatDBReader(QString databasePath)
    : m_path(std::move(databasePath))
{
}

ChatDBReader::~ChatDBReader() = default;

QCoro::Task<bool> ChatDBReader::init()
{
    auto opened = co_await onPool([path = m_path] { return ChatDBQueries::open(path); });
    if (!opened) {
        m_log.error(QStringLiteral("Failed to open chat.db: ") + opened.error().description());
        co_return false;
    }
    {
        std::lock_guard lock(m_mutex);
        m_queries = std::move(opened).value();
    }
    m_log.info(QStringLiteral("Connected to chat.db in read-only mode"));
    co_return true;
}

bool ChatDBReader::isOpen() const
{
    return queries() != nullptr;
}

std::shared_ptr<ChatDBQueries> ChatDBReader::queries() const
{
    std::lock_guard lock(m_mutex);
    return m_queries;
}

QCoro::Task<Result<QList<ChatMessage>, db::Error>> ChatDBReader::getMessagesByDateRange(quint64 startDate,
                                                                                        quint64 endDate, int limit,
                                                                                        std::optional<qint64> startRowId)
{
    auto q = queries();
    if (!q)
        co_return QList<ChatMessage>();
    co_return co_await onPool([q, start = clampDate(startDate), end = clampDate(endDate), limit, startRowId] {
        return q->messages(start, end, std::nullopt, limit, startRowId);
    });
}

QCoro::Task<Result<QList<ChatMessage>, db::Error>> ChatDBReader::getMessagesByDateRangeAndChat(
    quint64 startDate, quint64 endDate, QString chatGuid, int limit, std::optional<qint64> startRowId)
{
    auto q = queries();
    if (!q)
        co_return QList<ChatMessage>();
    co_return co_await onPool([q, start = clampDate(startDate), end = clampDate(endDate),
                               identifier = ChatDBQueries::chatIdentifierFromGuid(chatGuid), limit, startRowId] {
        return q->messages(start, end, identifier, limit, startRowId);
    });
}

QCoro::Task<Result<qint64, db::Error>> ChatDBReader::estimateMessageCount(quint64 startDate, quint64 endDate,
                                                                          std::optional<QString> chatGuid)
{
    auto q = queries();
    if (!q)
        co_return qint64(0);
    std::optional<QString> identifier;
    if (chatGuid)
        identifier = ChatDBQueries::chatIdentifierFromGuid(*chatGuid);
    co_return co_await onPool([q, start = clampDate(startDate), end = clampDate(endDate), identifier] {
        return q->countMessages(start, end, identifier);
    });
}

QCoro::Task<Result<AttachmentsByMessage, db::Error>> ChatDBReader::getAttachmentsForMessages(QList<qint64> messageRowIds)
{
    auto q = queries();
    if (!q || messageRowIds.isEmpty())
        co_return AttachmentsByMessage();
    co_return co_await onPool([q, ids = std::move(messageRowIds)] { return q->attachments(ids); });
}

QCoro::Task<Result<ReactionsByMessage, db::Error>> ChatDBReader::getReactionsForMessages(QList<qint64> messageRowIds)
{
    auto q = queries();
    if (!q || messageRowIds.isEmpty())
        co_return ReactionsByMessage();
    co_return co_await onPool([q, ids = std::move(messageRowIds)] { return q->reactions(ids); });
}

QCoro::Task<Result<QList<ChatListEntry>, db::Error>> ChatDBReader::listAllChats()
{
    auto q = queries();
    if (!q)
        co_return QList<ChatListEntry>();
    co_return co_await onPool([q] { return q->chats(); });
}

QCoro::Task<Result<qint64, db::Error>> ChatDBReader::getLatestRowId()
{
    auto q = queries();
    if (!q)
        co_return qint64(0);
    co_return co_await onPool([q] { return q->latestRowId(); });
}

QCoro::Task<Result<std::optional<QString>, db::Error>> ChatDBReader::getMostRecentSentAttachment(QString transferName,
                                                                                                 qint64 sinceRowId)
{
    auto q = queries();
    if (!q)
        co_return std::optional<QString>();
    co_return co_await onPool([q, name = std::move(transferName), sinceRowId] {
        return q->sentAttachmentGuid(name, sinceRowId);
    });
}

DecoderStats ChatDBReader::stats() const
{
    auto q = queries();
    return q ? q->stats() : DecoderStats{};
}

} // namespace velto
