#include "chatdbreader.h"

#include <logger.h>
#include <platform.h>

#include <QCoroFuture>
#include <QDir>
#include <QtConcurrent>

#include <limits>

namespace velto {

namespace {

const Logger& log()
{
    static const Logger logger("ChatDBReader");
    return logger;
}

qint64 clampDate(quint64 date)
{
    return qint64(std::min<quint64>(date, quint64(std::numeric_limits<qint64>::max())));
}

// Starts blocking work on the thread pool; `work` holds the queries object by value, so it
// outlives the reader if need be. The future is awaited as a named variable on purpose: GCC 12
// destroys a capturing lambda twice when it is a temporary inside a co_await expression (the
// capture here is a shared_ptr, so that would free the queries object under a running query).
template <typename Work>
auto onPool(Work work)
{
    return QtConcurrent::run(std::move(work));
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
    const std::shared_ptr<State> state = m_state;
    auto future = onPool([path = m_path] { return ChatDBQueries::open(path); });
    auto opened = co_await future;
    if (!opened) {
        log().error(QStringLiteral("Failed to open chat.db: ") + opened.error().description());
        co_return false;
    }
    {
        std::lock_guard lock(state->mutex);
        state->queries = std::move(opened).value();
    }
    log().info(QStringLiteral("Connected to chat.db in read-only mode"));
    co_return true;
}

bool ChatDBReader::isOpen() const
{
    return queries() != nullptr;
}

std::shared_ptr<ChatDBQueries> ChatDBReader::queries() const
{
    std::lock_guard lock(m_state->mutex);
    return m_state->queries;
}

QCoro::Task<Result<QList<ChatMessage>, db::Error>> ChatDBReader::getMessagesByDateRange(quint64 startDate,
                                                                                        quint64 endDate, int limit,
                                                                                        std::optional<qint64> startRowId)
{
    auto q = queries();
    if (!q)
        co_return QList<ChatMessage>();
    auto future = onPool([q, start = clampDate(startDate), end = clampDate(endDate), limit, startRowId] {
        return q->messages(start, end, std::nullopt, limit, startRowId);
    });
    co_return co_await future;
}

QCoro::Task<Result<QList<ChatMessage>, db::Error>> ChatDBReader::getMessagesByDateRangeAndChat(
    quint64 startDate, quint64 endDate, QString chatGuid, int limit, std::optional<qint64> startRowId)
{
    auto q = queries();
    if (!q)
        co_return QList<ChatMessage>();
    auto future = onPool([q, start = clampDate(startDate), end = clampDate(endDate),
                               identifier = ChatDBQueries::chatIdentifierFromGuid(chatGuid), limit, startRowId] {
        return q->messages(start, end, identifier, limit, startRowId);
    });
    co_return co_await future;
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
    auto future = onPool([q, start = clampDate(startDate), end = clampDate(endDate), identifier] {
        return q->countMessages(start, end, identifier);
    });
    co_return co_await future;
}

QCoro::Task<Result<AttachmentsByMessage, db::Error>> ChatDBReader::getAttachmentsForMessages(QList<qint64> messageRowIds)
{
    auto q = queries();
    if (!q || messageRowIds.isEmpty())
        co_return AttachmentsByMessage();
    auto future = onPool([q, ids = std::move(messageRowIds)] { return q->attachments(ids); });
    co_return co_await future;
}

QCoro::Task<Result<ReactionsByMessage, db::Error>> ChatDBReader::getReactionsForMessages(QList<qint64> messageRowIds)
{
    auto q = queries();
    if (!q || messageRowIds.isEmpty())
        co_return ReactionsByMessage();
    auto future = onPool([q, ids = std::move(messageRowIds)] { return q->reactions(ids); });
    co_return co_await future;
}

QCoro::Task<Result<QList<ChatListEntry>, db::Error>> ChatDBReader::listAllChats()
{
    auto q = queries();
    if (!q)
        co_return QList<ChatListEntry>();
    auto future = onPool([q] { return q->chats(); });
    co_return co_await future;
}

QCoro::Task<Result<qint64, db::Error>> ChatDBReader::getLatestRowId()
{
    auto q = queries();
    if (!q)
        co_return qint64(0);
    auto future = onPool([q] { return q->latestRowId(); });
    co_return co_await future;
}

QCoro::Task<Result<std::optional<QString>, db::Error>> ChatDBReader::getMostRecentSentAttachment(QString transferName,
                                                                                                 qint64 sinceRowId)
{
    auto q = queries();
    if (!q)
        co_return std::optional<QString>();
    auto future = onPool([q, name = std::move(transferName), sinceRowId] {
        return q->sentAttachmentGuid(name, sinceRowId);
    });
    co_return co_await future;
}

DecoderStats ChatDBReader::stats() const
{
    auto q = queries();
    return q ? q->stats() : DecoderStats{};
}

} // namespace velto
