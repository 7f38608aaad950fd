#include "chatdbqueries.h"

#include "handleresolver.h"
#include "reactionsummarizer.h"

#include <attributedstringdecoder.h>
#include <messagesdate.h>

#include <QSet>

#include <algorithm>

namespace velto {

namespace {

using DbError = db::Error;

template <typename OnRow>
Result<void, DbError> forEachRow(db::Statement& statement, OnRow&& onRow)
{
    for (;;) {
        auto step = statement.step();
        if (!step)
            return fail(step.error());
        if (!*step)
            return {};
        onRow(statement);
    }
}

template <typename... Values>
Result<db::Statement, DbError> prepared(db::Connection& connection, const QString& sql, const Values&... values)
{
    auto statement = connection.prepare(sql);
    if (!statement)
        return statement;
    if (auto bound = statement->bindAll(values...); !bound)
        return fail(bound.error());
    return statement;
}

// IN lists are padded to one of a few lengths (the spare places bound to NULL, which matches
// nothing), so a handful of statement texts serve every page and stay in each connection's
// statement cache instead of being compiled for every new count of ids.
constexpr int inListSizes[] = {1, 4, 16, 64, 256};
constexpr int maxInList = 256;

int paddedSize(qsizetype count)
{
    for (int size : inListSizes) {
        if (count <= size)
            return size;
    }
    return maxInList;
}

QString placeholders(int count)
{
    QString marks;
    marks.reserve(count * 2);
    for (int i = 0; i < count; ++i) {
        if (i > 0)
            marks += QLatin1Char(',');
        marks += QLatin1Char('?');
    }
    return marks;
}

// Runs `sqlFor(placeholders)` over the ids in chunks, each chunk's ids bound first (in the given
// order) from position `firstPosition` on, then `onRow` for each row.
template <typename SqlFor, typename OnRow>
Result<void, DbError> forEachChunk(db::Connection& connection, const QList<qint64>& ids, SqlFor&& sqlFor,
                                   OnRow&& onRow)
{
    for (qsizetype offset = 0; offset < ids.size(); offset += maxInList) {
        const qsizetype count = std::min<qsizetype>(maxInList, ids.size() - offset);
        const int size = paddedSize(count);
        auto statement = connection.prepare(sqlFor(placeholders(size)));
        if (!statement)
            return fail(statement.error());
        for (int i = 0; i < size; ++i) {
            auto bound = i < count ? statement->bind(i + 1, ids.at(offset + i)) : statement->bind(i + 1, nullptr);
            if (!bound)
                return fail(bound.error());
        }
        if (auto done = forEachRow(*statement, onRow); !done)
            return done;
    }
    return {};
}

QList<qint64> distinct(const QList<qint64>& ids)
{
    QList<qint64> unique;
    QSet<qint64> seen;
    for (qint64 id : ids) {
        if (!seen.contains(id)) {
            seen.insert(id);
            unique << id;
        }
    }
    return unique;
}

QString column(bool present, const char* expression, const char* alias)
{
    return present ? QString(QLatin1String(expression)) : QString(QStringLiteral("NULL AS ") + QLatin1String(alias));
}

constexpr int groupChatStyle = 43;

// Column positions of the message statement.
enum MessageColumn {
    colRowId,
    colGuid,
    colText,
    colBody,
    colHandleId,
    colDate,
    colDateRead,
    colIsFromMe,
    colService,
    colRecipient,
    colChatId,
    colChatIdentifier,
    colChatGuid,
    colChatStyle,
    colGroupDisplayName,
    colGroupId,
    colHandleIdentifier,
};

} // namespace

ChatDBQueries::ChatDBQueries(std::shared_ptr<db::ReadPool> pool, ChatDBColumns columns)
    : m_pool(std::move(pool))
    , m_columns(columns)
    , m_exclusion(columns.associatedMessageType
                      ? QStringLiteral("\n  AND (message.associated_message_type IS NULL OR message.associated_message_type = 0 OR message.associated_message_type < 2000 OR message.associated_message_type > 3006)")
                      : QString())
{
}

Result<std::shared_ptr<ChatDBQueries>, DbError> ChatDBQueries::open(const QString& path)
{
    db::ReadPool::Options options;
    options.label = QStringLiteral("ChatDBReader");
    // A page's reactions are found through six probes per message into the reaction index;
    // with SQLite's default 2 MiB cache most of them miss and go back to the file.
    options.cacheKiB = 8192;
    auto pool = db::ReadPool::open(path, options);
    if (!pool)
        return fail(pool.error());
    auto columns = (*pool)->read([](db::Connection& connection) { return ChatDBColumns::probe(connection); });
    // A file that opens but cannot be read (not a database, say) keeps the full column set: the
    // queries then fail with the database's own error, as they would have anyway.
    const ChatDBColumns probed = columns ? columns.value() : ChatDBColumns{};
    return std::shared_ptr<ChatDBQueries>(new ChatDBQueries(std::move(pool).value(), probed));
}

QString ChatDBQueries::chatIdentifierFromGuid(const QString& chatGuid)
{
    const qsizetype separator = chatGuid.lastIndexOf(QLatin1Char(';'));
    return separator >= 0 ? chatGuid.mid(separator + 1) : chatGuid;
}

QString ChatDBQueries::messageQuery(bool oneChat, bool afterRowId) const
{
    // The sender's handle comes with the row (one primary-key lookup in the same statement)
    // rather than from a separate query per row.
    QString sql = QStringLiteral("SELECT\n  message.ROWID, ") + column(m_columns.guid, "message.guid", "guid")
        + QStringLiteral(", message.text, ") + column(m_columns.attributedBody, "message.attributedBody", "attributedBody")
        + QStringLiteral(",\n  message.handle_id, message.date, message.date_read, message.is_from_me,\n  message.service, ")
        + (m_columns.destinationCallerId ? QStringLiteral("message.destination_caller_id") : QStringLiteral("NULL"))
        + QStringLiteral(" as recipient,\n"
                         "  cmj.chat_id, chat.chat_identifier, chat.guid as chat_guid,\n"
                         "  chat.style as chat_style, chat.display_name as group_display_name,\n"
                         "  chat.group_id as group_id,\n"
                         "  handle.id as handle_identifier\n"
                         "FROM message\n"
                         "LEFT JOIN chat_message_join cmj ON message.ROWID = cmj.message_id\n"
                         "LEFT JOIN chat ON cmj.chat_id = chat.ROWID\n"
                         "LEFT JOIN handle ON handle.ROWID = message.handle_id\n"
                         "WHERE message.date >= ? AND message.date <= ?");
    if (oneChat)
        sql += QStringLiteral(" AND chat.chat_identifier = ?");
    sql += m_exclusion;
    if (afterRowId)
        sql += QStringLiteral(" AND message.ROWID > ?");
    sql += QStringLiteral(" ORDER BY message.ROWID ASC LIMIT ?");
    return sql;
}

std::optional<QString> ChatDBQueries::decodeBody(const QByteArray& body)
{
    if (body.isEmpty())
        return std::nullopt;
    // The archive decoder on the raw bytes: the same outcome as its Base64 entry point (the
    // round trip through Base64 is lossless), without four passes and copies per row.
    auto decoded = decodeAttributedString(body);
    if (!decoded || decoded->text.isEmpty()) {
        m_decoderFailed.fetch_add(1, std::memory_order_relaxed);
        return std::nullopt;
    }
    m_decoderSuccess.fetch_add(1, std::memory_order_relaxed);
    return std::move(decoded->text);
}

std::optional<QString> ChatDBQueries::extractCustomEmoji(const QString& text, const std::optional<QByteArray>& body)
{
    std::optional<QString> source;
    if (!text.isEmpty())
        source = text;
    else if (body)
        source = decodeBody(*body);
    if (!source)
        return std::nullopt;
    return ReactionSummarizer::customEmojiFromText(*source);
}

QStringList ChatDBQueries::cachedParticipants(qint64 chatId) const
{
    std::lock_guard lock(m_participantsMutex);
    return m_groupParticipantsCache.value(chatId);
}

Result<void, DbError> ChatDBQueries::loadParticipants(db::Connection& connection, QList<qint64> chatIds)
{
    {
        std::lock_guard lock(m_participantsMutex);
        chatIds.removeIf([this](qint64 id) { return m_groupParticipantsCache.contains(id); });
    }
    chatIds = distinct(chatIds);
    if (chatIds.isEmpty())
        return {};
    QHash<qint64, QStringList> found;
    auto done = forEachChunk(
        connection, chatIds,
        [](const QString& marks) -> QString {
            return QStringLiteral("SELECT chat_handle_join.chat_id, handle.id FROM chat_handle_join\n"
                                  "JOIN handle ON chat_handle_join.handle_id = handle.ROWID\n"
                                  "WHERE chat_handle_join.chat_id IN (")
                + marks + QLatin1Char(')');
        },
        [&found](const db::Statement& row) { found[row.int64(0).value_or(0)] << row.text(1); });
    if (!done)
        return done;
    std::lock_guard lock(m_participantsMutex);
    for (qint64 id : std::as_const(chatIds))
        m_groupParticipantsCache.insert(id, found.value(id)); // a chat without handles caches an empty list
    return {};
}

Result<QList<ChatMessage>, DbError> ChatDBQueries::messages(qint64 startDate, qint64 endDate,
                                                            const std::optional<QString>& chatIdentifier, int limit,
                                                            std::optional<qint64> startRowId)
{
    return m_pool->read([&](db::Connection& connection) -> Result<QList<ChatMessage>, DbError> {
        auto statement = connection.prepare(messageQuery(chatIdentifier.has_value(), startRowId.has_value()));
        if (!statement)
            return fail(statement.error());
        int position = 0;
        Result<void, DbError> bound = statement->bind(++position, startDate);
        if (bound)
            bound = statement->bind(++position, endDate);
        if (bound && chatIdentifier)
            bound = statement->bind(++position, *chatIdentifier);
        if (bound && startRowId)
            bound = statement->bind(++position, *startRowId);
        if (bound)
            bound = statement->bind(++position, qint64(limit));
        if (!bound)
            return fail(bound.error());

        QList<ChatMessage> page;
        if (limit > 0)
            page.reserve(std::min(limit, 1000));
        QList<qint64> groupChats;
        // One sender usually writes many rows of a page: normalise each handle once.
        QHash<qint64, std::optional<QString>> senders;
        auto done = forEachRow(*statement, [&](const db::Statement& row) {
            m_totalMessages.fetch_add(1, std::memory_order_relaxed);
            ChatMessage message;
            message.rowid = row.int64(colRowId).value_or(0);
            message.guid = row.text(colGuid);
            message.attributedBody = row.blob(colBody);
            if (auto text = row.optionalText(colText)) {
                m_textFieldUsed.fetch_add(1, std::memory_order_relaxed);
                message.text = std::move(text);
            } else if (message.attributedBody) {
                message.text = decodeBody(*message.attributedBody);
            }
            message.chatStyle = row.int64(colChatStyle);
            message.chatId = row.int64(colChatId);
            message.isGroupChat = message.chatStyle && *message.chatStyle == groupChatStyle;
            if (*message.isGroupChat && message.chatId)
                groupChats << *message.chatId;
            message.handleId = row.int64(colHandleId).value_or(0);
            auto sender = senders.find(message.handleId);
            if (sender == senders.end()) {
                const std::optional<QString> raw = row.optionalText(colHandleIdentifier);
                sender = senders.insert(message.handleId, raw ? HandleResolver::normalize(*raw) : std::nullopt);
            }
            message.chatParticipantId = *sender;
            message.date = row.int64(colDate).value_or(0);
            message.dateRead = row.int64(colDateRead).value_or(0);
            message.isFromMe = row.boolean(colIsFromMe);
            message.service = row.optionalText(colService).value_or(QStringLiteral("iMessage"));
            message.recipient = row.optionalText(colRecipient);
            message.destinationCallerId = message.recipient;
            message.chatIdentifier = row.optionalText(colChatIdentifier);
            message.chatGuid = row.optionalText(colChatGuid);
            message.groupDisplayName = row.optionalText(colGroupDisplayName);
            message.groupId = message.chatIdentifier;
            page << std::move(message);
        });
        if (!done)
            return fail(done.error());
        if (groupChats.isEmpty())
            return page;
        if (auto loaded = loadParticipants(connection, groupChats); !loaded)
            return fail(loaded.error());
        QHash<qint64, QStringList> participants;
        for (ChatMessage& message : page) {
            if (!*message.isGroupChat || !message.chatId)
                continue;
            auto it = participants.find(*message.chatId);
            if (it == participants.end())
                it = participants.insert(*message.chatId, cachedParticipants(*message.chatId));
            message.allParticipants = *it;
        }
        return page;
    });
}

Result<qint64, DbError> ChatDBQueries::countMessages(qint64 startDate, qint64 endDate,
                                                     const std::optional<QString>& chatIdentifier)
{
    const QString exclusion = m_columns.associatedMessageType
        ? QStringLiteral("\n  AND (message.associated_message_type IS NULL OR message.associated_message_type = 0\n"
                         "       OR message.associated_message_type < 2000 OR message.associated_message_type > 3006)")
        : QString();
    return m_pool->read([&](db::Connection& connection) -> Result<qint64, DbError> {
        auto statement = chatIdentifier
            ? prepared(connection,
                       QStringLiteral("SELECT COUNT(*) as count FROM message\n"
                                      "LEFT JOIN chat_message_join cmj ON message.ROWID = cmj.message_id\n"
                                      "LEFT JOIN chat ON cmj.chat_id = chat.ROWID\n"
                                      "WHERE message.date >= ? AND message.date <= ? AND chat.chat_identifier = ?")
                           + exclusion,
                       startDate, endDate, *chatIdentifier)
            : prepared(connection,
                       QStringLiteral("SELECT COUNT(*) as count FROM message\n"
                                      "WHERE message.date >= ? AND message.date <= ?")
                           + exclusion,
                       startDate, endDate);
        if (!statement)
            return fail(statement.error());
        qint64 count = 0;
        auto done = forEachRow(*statement, [&count](const db::Statement& row) { count = row.int64(0).value_or(0); });
        if (!done)
            return fail(done.error());
        return count;
    });
}

Result<AttachmentsByMessage, DbError> ChatDBQueries::attachments(const QList<qint64>& messageRowIds)
{
    const QList<qint64> ids = distinct(messageRowIds);
    if (ids.isEmpty())
        return AttachmentsByMessage();
    return m_pool->read([&](db::Connection& connection) -> Result<AttachmentsByMessage, DbError> {
        AttachmentsByMessage byMessage;
        auto done = forEachChunk(
            connection, ids,
            [](const QString& marks) -> QString {
                return QStringLiteral("SELECT maj.message_id, attachment.filename, attachment.transfer_name,\n"
                                      "  attachment.mime_type, attachment.uti, attachment.total_bytes, attachment.is_sticker\n"
                                      "FROM message_attachment_join maj\n"
                                      "INNER JOIN attachment ON maj.attachment_id = attachment.ROWID\n"
                                      "WHERE maj.message_id IN (")
                    + marks + QStringLiteral(")\nORDER BY maj.message_id, attachment.ROWID");
            },
            [&byMessage](const db::Statement& row) {
                MessageAttachment attachment;
                attachment.filename = row.text(1);
                attachment.transferName = row.text(2);
                attachment.mimeType = row.optionalText(3).value_or(QStringLiteral("application/octet-stream"));
                attachment.uti = row.text(4);
                // A negative size cannot be a size: read it as unknown, like NULL.
                attachment.totalBytes = quint64(std::max<qint64>(0, row.int64(5).value_or(0)));
                attachment.isSticker = row.boolean(6);
                byMessage[row.int64(0).value_or(0)] << attachment;
            });
        if (!done)
            return fail(done.error());
        return byMessage;
    });
}

Result<ReactionsByMessage, DbError> ChatDBQueries::reactions(const QList<qint64>& messageRowIds)
{
    const QList<qint64> ids = distinct(messageRowIds);
    if (ids.isEmpty() || !m_columns.hasReactions())
        return ReactionsByMessage();
    const QString body = m_columns.attributedBody ? QStringLiteral("r.attributedBody") : QStringLiteral("NULL AS attributedBody");
    const QString emoji = m_columns.associatedMessageEmoji ? QStringLiteral("r.associated_message_emoji")
                                                           : QStringLiteral("NULL AS associated_message_emoji");
    return m_pool->read([&](db::Connection& connection) -> Result<ReactionsByMessage, DbError> {
        QHash<qint64, QList<ReactionSummarizer::ReactionRecord>> records;
        QList<qint64> parents; // in result order
        auto done = forEachChunk(
            connection, ids,
            [&](const QString& marks) -> QString {
                return QStringLiteral("SELECT m.ROWID as parent_rowid, r.associated_message_type,\n"
                                      "       h.id as sender_id, r.is_from_me, r.date,\n"
                                      "       IFNULL(r.text, '') as text, ")
                    + body + QStringLiteral(", ") + emoji
                    + QStringLiteral("\nFROM message m\n"
                                     "JOIN message r ON (r.associated_message_guid = m.guid\n"
                                     "  OR r.associated_message_guid = 'p:0/' || m.guid\n"
                                     "  OR r.associated_message_guid = 'p:1/' || m.guid\n"
                                     "  OR r.associated_message_guid = 'bp:' || m.guid\n"
                                     "  OR r.associated_message_guid = 'bp:0/' || m.guid\n"
                                     "  OR r.associated_message_guid = 'bp:1/' || m.guid)\n"
                                     "LEFT JOIN handle h ON r.handle_id = h.ROWID\n"
                                     "WHERE m.ROWID IN (")
                    + marks
                    + QStringLiteral(")\n"
                                     "  AND m.guid IS NOT NULL AND m.guid != ''\n"
                                     "  AND r.associated_message_type >= 2000\n"
                                     "  AND r.associated_message_type <= 3006\n"
                                     "ORDER BY m.ROWID, r.date ASC");
            },
            [&](const db::Statement& row) {
                const qint64 parent = row.int64(0).value_or(0);
                const qint64 type = row.int64(1).value_or(0);
                const bool isAdd = type >= 2000 && type <= 2006;
                const qint64 base = isAdd ? type : type - 1000;
                ReactionSummarizer::ReactionRecord record;
                record.sender = row.text(2);
                record.isFromMe = row.boolean(3);
                record.isAdd = isAdd;
                if (auto fixed = ReactionSummarizer::fixedKind(int(base))) {
                    record.emoji = fixed->name;
                    record.displayEmoji = fixed->display;
                } else if (base == 2006) {
                    // Newer systems store the emoji itself; the text is then only a description.
                    QString display = row.text(7);
                    if (display.isEmpty())
                        display = extractCustomEmoji(row.text(5), row.blob(6)).value_or(QString());
                    if (display.isEmpty())
                        return;
                    record.emoji = QStringLiteral("custom");
                    record.displayEmoji = display;
                } else {
                    return;
                }
                auto it = records.find(parent);
                if (it == records.end()) {
                    parents << parent;
                    it = records.insert(parent, {});
                }
                *it << record;
            });
        if (!done)
            return fail(done.error());
        ReactionsByMessage byMessage;
        for (qint64 parent : std::as_const(parents)) {
            QList<ReactionSummary> summaries = ReactionSummarizer::summarize(records.value(parent));
            if (!summaries.isEmpty())
                byMessage.insert(parent, std::move(summaries));
        }
        return byMessage;
    });
}

Result<QList<ChatListEntry>, DbError> ChatDBQueries::chats()
{
    return m_pool->read([&](db::Connection& connection) -> Result<QList<ChatListEntry>, DbError> {
        auto statement = connection.prepare(QStringLiteral(
            "SELECT c.ROWID, c.chat_identifier, c.guid, c.display_name, c.service_name,\n"
            "       c.style, MAX(m.date) AS last_date,\n"
            "       (SELECT m2.text FROM chat_message_join cmj2\n"
            "        JOIN message m2 ON m2.ROWID = cmj2.message_id\n"
            "        WHERE cmj2.chat_id = c.ROWID\n"
            "        ORDER BY m2.date DESC LIMIT 1) AS last_message_text\n"
            "FROM chat c\n"
            "JOIN chat_message_join cmj ON c.ROWID = cmj.chat_id\n"
            "JOIN message m ON m.ROWID = cmj.message_id\n"
            "GROUP BY c.ROWID\n"
            "ORDER BY last_date DESC"));
        if (!statement)
            return fail(statement.error());
        QList<ChatListEntry> entries;
        auto done = forEachRow(*statement, [&entries](const db::Statement& row) {
            ChatListEntry entry;
            entry.chatId = row.int64(0).value_or(0);
            entry.identifier = row.text(1);
            entry.guid = row.text(2);
            entry.name = row.text(3);
            entry.service = row.optionalText(4).value_or(QStringLiteral("iMessage"));
            entry.chatStyle = row.int64(5);
            entry.isGroup = entry.chatStyle && *entry.chatStyle == groupChatStyle;
            // Whole seconds since 2001 as Unix milliseconds; a date before 1970 cannot be shown
            // in the unsigned field and reads as the Unix epoch.
            const qint64 seconds = row.int64(6).value_or(0) / 1000000000LL;
            entry.lastMessageAt = quint64(std::max<qint64>(0, seconds * 1000 + MessagesDate::appleEpochOffset * 1000));
            entry.lastMessageBody = row.optionalText(7);
            entries << entry;
        });
        if (!done)
            return fail(done.error());
        QList<qint64> ids;
        for (const ChatListEntry& entry : std::as_const(entries))
            ids << entry.chatId;
        if (auto loaded = loadParticipants(connection, ids); !loaded)
            return fail(loaded.error());
        for (ChatListEntry& entry : entries)
            entry.participants = cachedParticipants(entry.chatId);
        return entries;
    });
}

Result<qint64, DbError> ChatDBQueries::latestRowId()
{
    return m_pool->read([](db::Connection& connection) -> Result<qint64, DbError> {
        auto statement = connection.prepare(QStringLiteral("SELECT MAX(message.ROWID) as maxRowId FROM message"));
        if (!statement)
            return fail(statement.error());
        qint64 latest = 0;
        auto done = forEachRow(*statement, [&latest](const db::Statement& row) { latest = row.int64(0).value_or(0); });
        if (!done)
            return fail(done.error());
        return latest;
    });
}

Result<std::optional<QString>, DbError> ChatDBQueries::sentAttachmentGuid(const QString& transferName, qint64 sinceRowId)
{
    const QString guid = column(m_columns.guid, "message.guid", "guid");
    return m_pool->read([&](db::Connection& connection) -> Result<std::optional<QString>, DbError> {
        auto statement = prepared(connection,
                                  QStringLiteral("SELECT ") + guid
                                      + QStringLiteral(" FROM message\n"
                                                       "JOIN message_attachment_join maj ON maj.message_id = message.ROWID\n"
                                                       "JOIN attachment ON attachment.ROWID = maj.attachment_id\n"
                                                       "WHERE message.ROWID > ?\n"
                                                       "  AND message.is_from_me = 1\n"
                                                       "  AND attachment.transfer_name = ?\n"
                                                       "ORDER BY message.ROWID ASC LIMIT 1"),
                                  sinceRowId, transferName);
        if (!statement)
            return fail(statement.error());
        std::optional<QString> found;
        auto done = forEachRow(*statement, [&found](const db::Statement& row) { found = row.optionalText(0); });
        if (!done)
            return fail(done.error());
        return found;
    });
}

DecoderStats ChatDBQueries::stats() const
{
    DecoderStats stats;
    stats.totalMessages = m_totalMessages.load(std::memory_order_relaxed);
    stats.textFieldUsed = m_textFieldUsed.load(std::memory_order_relaxed);
    stats.decoderSuccess = m_decoderSuccess.load(std::memory_order_relaxed);
    stats.decoderFailed = m_decoderFailed.load(std::memory_order_relaxed);
    return stats;
}

} // namespace velto
