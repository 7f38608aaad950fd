#include "messagestore.h"

#include "attachmentresolver.h"
#include "messagesdate.h"
#include "reactionaggregator.h"
#include "typedstreamparser.h"

#include <attributedstringdecoder.h>
#include <platform.h>

#include <QCoroFuture>
#include <QDir>
#include <QSet>
#include <QtConcurrent>

#include <plist/plist.h>

namespace velto {

namespace {

const QString urlBalloonProvider = QStringLiteral("com.apple.messages.URLBalloonProvider");

TolkaError dbFailure(const db::Error& error)
{
    return TolkaError::database(error);
}

// Prepares `sql` and binds `values` to its parameters in order.
template <typename... Values>
Result<db::Statement, TolkaError> prepareBound(db::Connection& connection, const QString& sql, const Values&... values)
{
    auto statement = connection.prepare(sql);
    if (!statement)
        return fail(dbFailure(statement.error()));
    if (auto bound = statement->bindAll(values...); !bound)
        return fail(dbFailure(bound.error()));
    return std::move(*statement);
}

// Steps through every row of `statement`, calling `onRow` with the statement on each.
template <typename OnRow>
Result<void, TolkaError> forEachRow(db::Statement& statement, OnRow&& onRow)
{
    while (true) {
        auto step = statement.step();
        if (!step)
            return fail(dbFailure(step.error()));
        if (!*step)
            return {};
        onRow(statement);
    }
}

// Starts one blocking call of the store on the thread pool; `work` holds a shared_ptr to the
// store, so the store outlives the call. Callers keep the future in a named variable before
// awaiting it: GCC 12 destroys a temporary lambda inside a co_await expression twice.
template <typename Work>
QFuture<std::invoke_result_t<Work>> onPool(Work work)
{
    return QtConcurrent::run(std::move(work));
}

} // namespace

// The fields of one message row, decoded once and shared by both message queries.
struct MessageStore::DecodedMessageRow {
    qint64 rowID = 0;
    qint64 chatID = 0;
    std::optional<qint64> handleID;
    QString sender;
    QString text;
    QDateTime date;
    bool isFromMe = false;
    QString service;
    QString destinationCallerID;
    QString guid;
    QString associatedGUID;
    std::optional<int> associatedType;
    int attachments = 0;
    QString threadOriginatorGUID;
    bool isSent = false;
    int sendError = 0;
};

// Positions of the fields in a result row; -1 where the query does not select it.
struct MessageStore::MessageRowColumns {
    int rowID = -1;
    int chatID = -1;
    int handleID = -1;
    int sender = -1;
    int text = -1;
    int date = -1;
    int fromMe = -1;
    int service = -1;
    int audio = -1;
    int destination = -1;
    int guid = -1;
    int associatedGUID = -1;
    int associatedType = -1;
    int attachments = -1;
    int body = -1;
    int thread = -1;
    int isSent = -1;
    int error = -1;
};

QString MessageStore::defaultPath()
{
    return QDir(Platform::homeDirectory()).filePath(QStringLiteral("Library/Messages/chat.db"));
}

MessageStore::MessageStore(db::Connection connection, QString path, MessageStoreSchema schema)
    : m_path(std::move(path))
    , m_connection(std::move(connection))
    , m_schema(schema)
{
}

MessageStore::~MessageStore() = default;

Result<std::shared_ptr<MessageStore>, TolkaError> MessageStore::open(const QString& path)
{
    const QString expanded = AttachmentResolver::expandTilde(path);
    auto connection = db::Connection::openReadOnly(expanded, std::chrono::milliseconds(busyTimeoutMilliseconds));
    if (!connection) {
        const QString description = connection.error().description().toLower();
        for (const char* hint : {"out of memory (14)", "authorization denied", "unable to open database", "cannot open"}) {
            if (description.contains(QLatin1String(hint)))
                return fail(TolkaError::permissionDenied(expanded, connection.error()));
        }
        return fail(TolkaError::database(connection.error()));
    }
    return open(std::move(connection).value(), expanded, MessageStoreSchemaOverrides{});
}

std::shared_ptr<MessageStore> MessageStore::open(db::Connection connection, const QString& path,
                                                 const MessageStoreSchemaOverrides& overrides)
{
    const MessageStoreSchema schema = probe(connection, overrides);
    return std::shared_ptr<MessageStore>(new MessageStore(std::move(connection), path, schema));
}

MessageStoreSchema MessageStore::probe(db::Connection& connection, const MessageStoreSchemaOverrides& overrides)
{
    auto columnsOf = [&connection](const QString& table) {
        QSet<QString> names;
        auto statement = connection.prepare(QStringLiteral("PRAGMA table_info(") + table + QLatin1Char(')'));
        if (!statement)
            return names;
        while (true) {
            auto step = statement->step();
            if (!step || !*step)
                break;
            names.insert(statement->text(1).toLower());
        }
        return names;
    };
    const QSet<QString> message = columnsOf(QStringLiteral("message"));
    const QSet<QString> attachment = columnsOf(QStringLiteral("attachment"));
    auto has = [](const QSet<QString>& set, const char* name) { return set.contains(QLatin1String(name)); };

    MessageStoreSchema schema;
    schema.hasAttributedBody = overrides.hasAttributedBody.value_or(has(message, "attributedbody"));
    schema.hasReactionColumns = overrides.hasReactionColumns.value_or(
        has(message, "guid") && has(message, "associated_message_guid") && has(message, "associated_message_type"));
    schema.hasThreadOriginatorGUIDColumn
        = overrides.hasThreadOriginatorGUIDColumn.value_or(has(message, "thread_originator_guid"));
    schema.hasDestinationCallerID = overrides.hasDestinationCallerID.value_or(has(message, "destination_caller_id"));
    schema.hasAudioMessageColumn = overrides.hasAudioMessageColumn.value_or(has(message, "is_audio_message"));
    schema.hasAttachmentUserInfo = overrides.hasAttachmentUserInfo.value_or(has(attachment, "user_info"));
    schema.hasBalloonBundleIDColumn = overrides.hasBalloonBundleIDColumn.value_or(has(message, "balloon_bundle_id"));
    schema.hasAssociatedMessageEmoji
        = overrides.hasAssociatedMessageEmoji.value_or(has(message, "associated_message_emoji"));
    return schema;
}

QString MessageStore::normalizeGUID(const QString& guid)
{
    const qsizetype slash = guid.lastIndexOf(QLatin1Char('/'));
    if (slash >= 0 && slash != guid.size() - 1)
        return guid.mid(slash + 1);
    return guid;
}

QString MessageStore::fragment(bool flag, const char* column) const
{
    return flag ? QLatin1String(column) : QStringLiteral("NULL");
}

QString MessageStore::customEmojiFragment(const char* table) const
{
    return m_schema.hasAssociatedMessageEmoji
        ? QLatin1String(table) + QStringLiteral(".associated_message_emoji")
        : QStringLiteral("NULL");
}

QString MessageStore::bodyText(const QString& text, const std::optional<QByteArray>& body) const
{
    if (!text.isEmpty())
        return text;
    return body ? TypedStreamParser::parseAttributedBody(*body) : QString();
}

std::optional<QString> MessageStore::customEmoji(const QString& text, const db::Statement& row, int emojiColumn) const
{
    // Newer systems store the emoji of a custom tapback in its own column; the text is only a
    // description then.
    if (emojiColumn >= 0) {
        const QString stored = row.text(emojiColumn);
        if (!stored.isEmpty())
            return stored;
    }
    return ReactionType::extractCustomEmoji(text);
}

std::optional<QString> MessageStore::audioTranscription(qint64 messageID)
{
    auto statement = m_connection.prepare(QStringLiteral(
        "SELECT a.user_info\n"
        "FROM message_attachment_join maj\n"
        "JOIN attachment a ON a.ROWID = maj.attachment_id\n"
        "WHERE maj.message_id = ?\n"
        "LIMIT 1"));
    if (!statement || !statement->bind(1, messageID))
        return std::nullopt;
    auto step = statement->step();
    if (!step || !*step)
        return std::nullopt;
    const std::optional<QByteArray> blob = statement->blob(0);
    if (!blob || blob->isEmpty())
        return std::nullopt;

    plist_t root = nullptr;
    plist_from_memory(blob->constData(), uint32_t(blob->size()), &root);
    if (!root)
        return std::nullopt;
    std::optional<QString> transcription;
    if (plist_get_node_type(root) == PLIST_DICT) {
        plist_t entry = plist_dict_get_item(root, "audio-transcription");
        if (entry && plist_get_node_type(entry) == PLIST_STRING) {
            uint64_t length = 0;
            const char* value = plist_get_string_ptr(entry, &length);
            if (value && length > 0)
                transcription = QString::fromUtf8(value, qsizetype(length));
        }
    }
    plist_free(root);
    return transcription;
}

MessageStore::DecodedMessageRow MessageStore::decodeMessageRow(const db::Statement& row,
                                                               const MessageRowColumns& columns,
                                                               qint64 fallbackChatID)
{
    DecodedMessageRow decoded;
    decoded.rowID = row.int64(columns.rowID).value_or(0);
    decoded.chatID = columns.chatID >= 0 ? row.int64(columns.chatID).value_or(fallbackChatID) : fallbackChatID;
    decoded.handleID = row.int64(columns.handleID);
    const QString handle = row.text(columns.sender);
    decoded.date = MessagesDate::toDateTime(row.int64(columns.date));
    decoded.isFromMe = row.boolean(columns.fromMe);
    decoded.service = row.text(columns.service);
    decoded.destinationCallerID = row.text(columns.destination);
    decoded.guid = row.text(columns.guid);
    decoded.associatedGUID = row.text(columns.associatedGUID);
    if (const auto type = row.int64(columns.associatedType))
        decoded.associatedType = int(*type);
    decoded.attachments = int(row.int64(columns.attachments).value_or(0));
    decoded.threadOriginatorGUID = row.text(columns.thread);
    decoded.isSent = columns.isSent >= 0 && row.boolean(columns.isSent);
    decoded.sendError = columns.error >= 0 ? int(row.int64(columns.error).value_or(0)) : 0;

    const std::optional<QByteArray> body = row.blob(columns.body);
    decoded.text = bodyText(row.text(columns.text), body);
    if (row.boolean(columns.audio)) {
        std::optional<QString> transcription;
        if (m_schema.hasAttachmentUserInfo)
            transcription = audioTranscription(decoded.rowID);
        // Newer systems keep the transcription in the body's attributes instead.
        if (!transcription && body && !body->isEmpty()) {
            transcription = stringAttribute(*body, QStringLiteral("IMAudioTranscription"));
            if (transcription && transcription->isEmpty())
                transcription.reset();
        }
        if (transcription)
            decoded.text = *transcription;
    }

    if (!handle.isEmpty())
        decoded.sender = handle;
    else if (!decoded.destinationCallerID.isEmpty())
        decoded.sender = decoded.destinationCallerID;
    return decoded;
}

Message MessageStore::toMessage(DecodedMessageRow row, ReactionMetadata reaction)
{
    RoutingMetadata routing;
    const bool replies = !row.associatedGUID.isEmpty()
        && (!row.associatedType || !ReactionType::isReaction(*row.associatedType));
    if (replies)
        routing.replyToGUID = normalizeGUID(row.associatedGUID);
    if (!row.threadOriginatorGUID.isEmpty())
        routing.threadOriginatorGUID = row.threadOriginatorGUID;
    if (!row.destinationCallerID.isEmpty())
        routing.destinationCallerID = row.destinationCallerID;
    return Message(row.rowID, row.chatID, std::move(row.guid), std::move(row.sender), std::move(row.text),
                   std::move(row.date), row.isFromMe, std::move(row.service), row.handleID, row.attachments,
                   row.isSent, row.sendError, std::move(routing), std::move(reaction));
}

ReactionMetadata MessageStore::decodeReaction(const DecodedMessageRow& row, const db::Statement& statement,
                                              int emojiColumn) const
{
    if (!row.associatedType || !ReactionType::isReaction(*row.associatedType))
        return ReactionMetadata{};
    const int code = *row.associatedType;
    ReactionMetadata reaction;
    reaction.isReaction = true;
    reaction.isReactionAdd = code < 2007;
    const int base = code < 2007 ? code : code - 1000;
    std::optional<QString> emoji;
    if (base == 2006)
        emoji = customEmoji(row.text, statement, emojiColumn);
    reaction.reactionType = ReactionType::fromCode(base, emoji);
    reaction.reactedToGUID = normalizeGUID(row.associatedGUID);
    return reaction;
}

Result<QList<Message>, TolkaError> MessageStore::messages(qint64 chatID, int limit,
                                                          const std::optional<MessageFilter>& filter)
{
    const QString destination = fragment(m_schema.hasDestinationCallerID, "m.destination_caller_id");
    QString sql = QStringLiteral("SELECT m.ROWID, m.handle_id, h.id, IFNULL(m.text, '') AS text, m.date, m.is_from_me, m.service,\n       ")
        + fragment(m_schema.hasAudioMessageColumn, "m.is_audio_message") + QStringLiteral(" AS is_audio_message, ")
        + destination + QStringLiteral(" AS destination_caller_id,\n       ")
        + fragment(m_schema.hasReactionColumns, "m.guid") + QStringLiteral(" AS guid, ")
        + fragment(m_schema.hasReactionColumns, "m.associated_message_guid") + QStringLiteral(" AS associated_guid, ")
        + fragment(m_schema.hasReactionColumns, "m.associated_message_type") + QStringLiteral(" AS associated_type,\n"
          "       (SELECT COUNT(*) FROM message_attachment_join maj WHERE maj.message_id = m.ROWID) AS attachments,\n       ")
        + fragment(m_schema.hasAttributedBody, "m.attributedBody") + QStringLiteral(" AS body,\n       ")
        + fragment(m_schema.hasThreadOriginatorGUIDColumn, "m.thread_originator_guid")
        + QStringLiteral(" AS thread_originator_guid\n"
                         "FROM message m\n"
                         "JOIN chat_message_join cmj ON m.ROWID = cmj.message_id\n"
                         "LEFT JOIN handle h ON m.handle_id = h.ROWID\n"
                         "WHERE cmj.chat_id = ?");
    if (m_schema.hasReactionColumns)
        sql += QStringLiteral(" AND (m.associated_message_type IS NULL OR m.associated_message_type < 2000 OR m.associated_message_type > 3006)");
    if (filter) {
        if (filter->startDate)
            sql += QStringLiteral(" AND m.date >= ?");
        if (filter->endDate)
            sql += QStringLiteral(" AND m.date < ?");
        if (!filter->participants.isEmpty()) {
            QStringList marks;
            for (qsizetype i = 0; i < filter->participants.size(); ++i)
                marks << QStringLiteral("?");
            sql += QStringLiteral(" AND COALESCE(NULLIF(h.id,''), ") + destination
                + QStringLiteral(") COLLATE NOCASE IN (") + marks.join(QLatin1Char(',')) + QLatin1Char(')');
        }
    }
    sql += QStringLiteral(" ORDER BY m.date DESC LIMIT ?");

    std::lock_guard lock(m_mutex);
    auto statement = m_connection.prepare(sql);
    if (!statement)
        return fail(dbFailure(statement.error()));
    int position = 0;
    auto bound = statement->bind(++position, chatID);
    if (bound && filter) {
        if (bound && filter->startDate)
            bound = statement->bind(++position, MessagesDate::fromDateTime(*filter->startDate));
        if (bound && filter->endDate)
            bound = statement->bind(++position, MessagesDate::fromDateTime(*filter->endDate));
        for (const QString& participant : filter->participants) {
            if (bound)
                bound = statement->bind(++position, participant);
        }
    }
    if (bound)
        bound = statement->bind(++position, limit);
    if (!bound)
        return fail(dbFailure(bound.error()));

    MessageRowColumns columns;
    columns.rowID = 0;
    columns.handleID = 1;
    columns.sender = 2;
    columns.text = 3;
    columns.date = 4;
    columns.fromMe = 5;
    columns.service = 6;
    columns.audio = 7;
    columns.destination = 8;
    columns.guid = 9;
    columns.associatedGUID = 10;
    columns.associatedType = 11;
    columns.attachments = 12;
    columns.body = 13;
    columns.thread = 14;

    QList<Message> result;
    const auto rows = forEachRow(*statement, [&](const db::Statement& current) {
        result.append(toMessage(decodeMessageRow(current, columns, chatID), ReactionMetadata{}));
    });
    if (!rows)
        return fail(rows.error());
    return result;
}

Result<QList<Message>, TolkaError> MessageStore::messagesAfter(qint64 afterRowID, std::optional<qint64> chatID,
                                                               int limit, bool includeReactions)
{
    QString sql = QStringLiteral("SELECT m.ROWID, cmj.chat_id, m.handle_id, h.id, IFNULL(m.text, '') AS text, m.date, m.is_from_me, m.service,\n       ")
        + fragment(m_schema.hasAudioMessageColumn, "m.is_audio_message") + QStringLiteral(" AS is_audio_message, ")
        + fragment(m_schema.hasDestinationCallerID, "m.destination_caller_id") + QStringLiteral(" AS destination_caller_id,\n       ")
        + fragment(m_schema.hasReactionColumns, "m.guid") + QStringLiteral(" AS guid, ")
        + fragment(m_schema.hasReactionColumns, "m.associated_message_guid") + QStringLiteral(" AS associated_guid, ")
        + fragment(m_schema.hasReactionColumns, "m.associated_message_type") + QStringLiteral(" AS associated_type,\n"
          "       (SELECT COUNT(*) FROM message_attachment_join maj WHERE maj.message_id = m.ROWID) AS attachments,\n       ")
        + fragment(m_schema.hasAttributedBody, "m.attributedBody") + QStringLiteral(" AS body,\n       ")
        + fragment(m_schema.hasThreadOriginatorGUIDColumn, "m.thread_originator_guid") + QStringLiteral(" AS thread_originator_guid,\n       ")
        + fragment(m_schema.hasBalloonBundleIDColumn, "m.balloon_bundle_id") + QStringLiteral(" AS balloon_bundle_id,\n"
          "       m.is_sent, m.error, ")
        + customEmojiFragment("m") + QStringLiteral(" AS associated_emoji\n"
          "FROM message m\n"
          "LEFT JOIN chat_message_join cmj ON m.ROWID = cmj.message_id\n"
          "LEFT JOIN handle h ON m.handle_id = h.ROWID\n"
          "WHERE m.ROWID > ?");
    if (m_schema.hasReactionColumns && !includeReactions)
        sql += QStringLiteral(" AND (m.associated_message_type IS NULL OR m.associated_message_type < 2000 OR m.associated_message_type > 3006)");
    if (chatID)
        sql += QStringLiteral(" AND cmj.chat_id = ?");
    sql += QStringLiteral(" ORDER BY m.ROWID ASC LIMIT ?");

    MessageRowColumns columns;
    columns.rowID = 0;
    columns.chatID = 1;
    columns.handleID = 2;
    columns.sender = 3;
    columns.text = 4;
    columns.date = 5;
    columns.fromMe = 6;
    columns.service = 7;
    columns.audio = 8;
    columns.destination = 9;
    columns.guid = 10;
    columns.associatedGUID = 11;
    columns.associatedType = 12;
    columns.attachments = 13;
    columns.body = 14;
    columns.thread = 15;
    constexpr int balloonColumn = 16;
    columns.isSent = 17;
    columns.error = 18;
    constexpr int emojiColumn = 19;

    std::lock_guard lock(m_mutex);
    QList<Message> result;
    qint64 cursor = afterRowID;
    // Skipped duplicates do not use up the limit: read on until `limit` messages are found or
    // the rows run out. Without this a page made only of duplicates would stop a reader that
    // advances over delivered rows for good.
    while (limit <= 0 || result.size() < limit) {
        const int wanted = limit <= 0 ? limit : int(limit - result.size());
        auto statement = m_connection.prepare(sql);
        if (!statement)
            return fail(dbFailure(statement.error()));
        auto bound = statement->bind(1, cursor);
        int position = 1;
        if (bound && chatID)
            bound = statement->bind(++position, *chatID);
        if (bound)
            bound = statement->bind(++position, wanted);
        if (!bound)
            return fail(dbFailure(bound.error()));

        int read = 0;
        bool skippedAny = false;
        const auto rows = forEachRow(*statement, [&](const db::Statement& current) {
            ++read;
            DecodedMessageRow row = decodeMessageRow(current, columns, chatID.value_or(0));
            cursor = std::max(cursor, row.rowID);
            if (current.text(balloonColumn) == urlBalloonProvider
                && m_urlBalloonDedupe.shouldSkip(row.chatID, row.isFromMe, row.sender, row.text, row.rowID, row.date)) {
                skippedAny = true;
                return;
            }
            ReactionMetadata reaction = decodeReaction(row, current, m_schema.hasAssociatedMessageEmoji ? emojiColumn : -1);
            result.append(toMessage(std::move(row), std::move(reaction)));
        });
        if (!rows)
            return fail(rows.error());
        if (!skippedAny || limit <= 0 || read < wanted)
            break;
    }
    return result;
}

Result<QList<ReactionEvent>, TolkaError> MessageStore::reactionEventsAfter(qint64 afterRowID,
                                                                           std::optional<qint64> chatID, int limit)
{
    if (!m_schema.hasReactionColumns)
        return QList<ReactionEvent>();
    QString sql = QStringLiteral("SELECT m.ROWID, cmj.chat_id, m.associated_message_type, m.associated_message_guid,\n"
                                 "       m.handle_id, h.id, m.is_from_me, m.date, IFNULL(m.text, '') AS text,\n       ")
        + fragment(m_schema.hasDestinationCallerID, "m.destination_caller_id") + QStringLiteral(" AS destination_caller_id,\n       ")
        + fragment(m_schema.hasAttributedBody, "m.attributedBody") + QStringLiteral(" AS body,\n"
          "       orig.ROWID AS orig_rowid, ")
        + customEmojiFragment("m") + QStringLiteral(" AS associated_emoji\n"
          "FROM message m\n"
          "LEFT JOIN chat_message_join cmj ON m.ROWID = cmj.message_id\n"
          "LEFT JOIN handle h ON m.handle_id = h.ROWID\n"
          "LEFT JOIN message orig ON (orig.guid = m.associated_message_guid\n"
          "  OR m.associated_message_guid LIKE '%/' || orig.guid)\n"
          "WHERE m.ROWID > ?\n"
          "  AND m.associated_message_type >= 2000\n"
          "  AND m.associated_message_type <= 3006");
    if (chatID)
        sql += QStringLiteral(" AND cmj.chat_id = ?");
    sql += QStringLiteral(" ORDER BY m.ROWID ASC LIMIT ?");

    std::lock_guard lock(m_mutex);
    auto statement = m_connection.prepare(sql);
    if (!statement)
        return fail(dbFailure(statement.error()));
    int position = 1;
    auto bound = statement->bind(position, afterRowID);
    if (bound && chatID)
        bound = statement->bind(++position, *chatID);
    if (bound)
        bound = statement->bind(++position, limit);
    if (!bound)
        return fail(dbFailure(bound.error()));

    QList<ReactionEvent> result;
    const auto rows = forEachRow(*statement, [&](const db::Statement& current) {
        const int code = int(current.int64(2).value_or(0));
        if (!ReactionType::isReaction(code))
            return;
        const bool isAdd = code < 2007;
        const QString text = bodyText(current.text(8), current.blob(10));
        std::optional<QString> emoji;
        const int base = isAdd ? code : code - 1000;
        if (base == 2006)
            emoji = customEmoji(text, current, m_schema.hasAssociatedMessageEmoji ? 12 : -1);
        const std::optional<ReactionType> type = ReactionType::fromCode(base, emoji);
        if (!type)
            return;
        ReactionEvent event;
        event.rowID = current.int64(0).value_or(0);
        event.chatID = current.int64(1).value_or(chatID.value_or(0));
        event.reactionType = *type;
        event.isAdd = isAdd;
        const QString handle = current.text(5);
        const QString destination = current.text(9);
        event.sender = !handle.isEmpty() ? handle : destination;
        event.isFromMe = current.boolean(6);
        event.date = MessagesDate::toDateTime(current.int64(7));
        event.reactedToGUID = normalizeGUID(current.text(3));
        event.reactedToID = current.int64(11);
        event.text = text;
        result.append(std::move(event));
    });
    if (!rows)
        return fail(rows.error());
    return result;
}

Result<QList<Chat>, TolkaError> MessageStore::listChats(int limit)
{
    std::lock_guard lock(m_mutex);
    auto statement = prepareBound(m_connection, QStringLiteral(
        "SELECT c.ROWID, IFNULL(c.display_name, c.chat_identifier) AS name, c.chat_identifier, c.service_name,\n"
        "       MAX(m.date) AS last_date\n"
        "FROM chat c\n"
        "JOIN chat_message_join cmj ON c.ROWID = cmj.chat_id\n"
        "JOIN message m ON m.ROWID = cmj.message_id\n"
        "GROUP BY c.ROWID\n"
        "ORDER BY last_date DESC\n"
        "LIMIT ?"), limit);
    if (!statement)
        return fail(statement.error());
    QList<Chat> result;
    const auto rows = forEachRow(*statement, [&](const db::Statement& current) {
        result.append(Chat{current.int64(0).value_or(0), current.text(2), current.text(1),
                           current.text(3), MessagesDate::toDateTime(current.int64(4))});
    });
    if (!rows)
        return fail(rows.error());
    return result;
}

Result<std::optional<ChatInfo>, TolkaError> MessageStore::chatInfo(qint64 chatID)
{
    std::lock_guard lock(m_mutex);
    auto statement = prepareBound(m_connection, QStringLiteral(
        "SELECT c.ROWID, IFNULL(c.chat_identifier, '') AS identifier, IFNULL(c.guid, '') AS guid,\n"
        "       IFNULL(c.display_name, '') AS name, IFNULL(c.service_name, '') AS service\n"
        "FROM chat c\n"
        "WHERE c.ROWID = ?\n"
        "LIMIT 1"), chatID);
    if (!statement)
        return fail(statement.error());
    auto step = statement->step();
    if (!step)
        return fail(dbFailure(step.error()));
    if (!*step)
        return std::optional<ChatInfo>();
    return std::optional<ChatInfo>(ChatInfo{statement->int64(0).value_or(0), statement->text(1), statement->text(2),
                                            statement->text(3), statement->text(4)});
}

Result<QStringList, TolkaError> MessageStore::participants(qint64 chatID)
{
    std::lock_guard lock(m_mutex);
    auto statement = prepareBound(m_connection, QStringLiteral(
        "SELECT h.id\n"
        "FROM chat_handle_join chj\n"
        "JOIN handle h ON h.ROWID = chj.handle_id\n"
        "WHERE chj.chat_id = ?\n"
        "ORDER BY h.id ASC"), chatID);
    if (!statement)
        return fail(statement.error());
    QStringList result;
    QSet<QString> seen;
    const auto rows = forEachRow(*statement, [&](const db::Statement& current) {
        QString handle = current.text(0);
        if (handle.isEmpty() || seen.contains(handle))
            return;
        seen.insert(handle);
        result.append(std::move(handle));
    });
    if (!rows)
        return fail(rows.error());
    return result;
}

Result<QList<AttachmentMeta>, TolkaError> MessageStore::attachments(qint64 messageID)
{
    std::lock_guard lock(m_mutex);
    auto statement = prepareBound(m_connection, QStringLiteral(
        "SELECT a.filename, a.transfer_name, a.uti, a.mime_type, a.total_bytes, a.is_sticker\n"
        "FROM message_attachment_join maj\n"
        "JOIN attachment a ON a.ROWID = maj.attachment_id\n"
        "WHERE maj.message_id = ?"), messageID);
    if (!statement)
        return fail(statement.error());
    QList<AttachmentMeta> result;
    const auto rows = forEachRow(*statement, [&](const db::Statement& current) {
        AttachmentMeta meta;
        meta.filename = current.text(0);
        meta.transferName = current.text(1);
        meta.uti = current.text(2);
        meta.mimeType = current.text(3);
        meta.totalBytes = current.int64(4).value_or(0);
        meta.isSticker = current.boolean(5);
        const AttachmentResolver::Resolved resolved = AttachmentResolver::resolve(meta.filename);
        meta.originalPath = resolved.path;
        meta.missing = resolved.missing;
        result.append(std::move(meta));
    });
    if (!rows)
        return fail(rows.error());
    return result;
}

Result<QList<Reaction>, TolkaError> MessageStore::reactions(qint64 messageID)
{
    if (!m_schema.hasReactionColumns)
        return QList<Reaction>();
    std::lock_guard lock(m_mutex);
    auto statement = prepareBound(m_connection, 
        QStringLiteral("SELECT r.ROWID, r.associated_message_type, h.id, r.is_from_me, r.date, IFNULL(r.text, '') as text,\n       ")
        + fragment(m_schema.hasAttributedBody, "r.attributedBody") + QStringLiteral(" AS body, ")
        + customEmojiFragment("r") + QStringLiteral(" AS associated_emoji\n"
          "FROM message m\n"
          "JOIN message r ON r.associated_message_guid = m.guid\n"
          "  OR r.associated_message_guid LIKE '%/' || m.guid\n"
          "LEFT JOIN handle h ON r.handle_id = h.ROWID\n"
          "WHERE m.ROWID = ?\n"
          "  AND m.guid IS NOT NULL\n"
          "  AND m.guid != ''\n"
          "  AND r.associated_message_type >= 2000\n"
          "  AND r.associated_message_type <= 3006\n"
          "ORDER BY r.date ASC"), messageID);
    if (!statement)
        return fail(statement.error());
    ReactionAggregator aggregator(messageID);
    const auto rows = forEachRow(*statement, [&](const db::Statement& current) {
        ReactionAggregator::Row row;
        row.rowID = current.int64(0).value_or(0);
        row.code = int(current.int64(1).value_or(0));
        row.sender = current.text(2);
        row.isFromMe = current.boolean(3);
        row.date = MessagesDate::toDateTime(current.int64(4));
        if (row.code == 2006 || row.code == 3006) {
            const QString text = bodyText(current.text(5), current.blob(6));
            row.customEmoji = customEmoji(text, current, m_schema.hasAssociatedMessageEmoji ? 7 : -1);
        }
        aggregator.add(row);
    });
    if (!rows)
        return fail(rows.error());
    return aggregator.reactions();
}

Result<qint64, TolkaError> MessageStore::maxRowID()
{
    std::lock_guard lock(m_mutex);
    auto statement = m_connection.prepare(QStringLiteral("SELECT MAX(ROWID) FROM message"));
    if (!statement)
        return fail(dbFailure(statement.error()));
    auto step = statement->step();
    if (!step)
        return fail(dbFailure(step.error()));
    return *step ? statement->int64(0).value_or(0) : qint64(0);
}

QCoro::Task<Result<QList<Message>, TolkaError>> MessageStore::messagesAsync(qint64 chatID, int limit,
                                                                            std::optional<MessageFilter> filter)
{
    auto future = onPool([self = shared_from_this(), chatID, limit, filter] {
        return self->messages(chatID, limit, filter);
    });
    co_return co_await future;
}

QCoro::Task<Result<QList<Message>, TolkaError>> MessageStore::messagesAfterAsync(qint64 afterRowID,
                                                                                 std::optional<qint64> chatID,
                                                                                 int limit, bool includeReactions)
{
    auto future = onPool([self = shared_from_this(), afterRowID, chatID, limit, includeReactions] {
        return self->messagesAfter(afterRowID, chatID, limit, includeReactions);
    });
    co_return co_await future;
}

QCoro::Task<Result<QList<ReactionEvent>, TolkaError>> MessageStore::reactionEventsAfterAsync(
    qint64 afterRowID, std::optional<qint64> chatID, int limit)
{
    auto future = onPool([self = shared_from_this(), afterRowID, chatID, limit] {
        return self->reactionEventsAfter(afterRowID, chatID, limit);
    });
    co_return co_await future;
}

QCoro::Task<Result<QList<Chat>, TolkaError>> MessageStore::listChatsAsync(int limit)
{
    auto future = onPool([self = shared_from_this(), limit] { return self->listChats(limit); });
    co_return co_await future;
}

QCoro::Task<Result<std::optional<ChatInfo>, TolkaError>> MessageStore::chatInfoAsync(qint64 chatID)
{
    auto future = onPool([self = shared_from_this(), chatID] { return self->chatInfo(chatID); });
    co_return co_await future;
}

QCoro::Task<Result<QStringList, TolkaError>> MessageStore::participantsAsync(qint64 chatID)
{
    auto future = onPool([self = shared_from_this(), chatID] { return self->participants(chatID); });
    co_return co_await future;
}

QCoro::Task<Result<QList<AttachmentMeta>, TolkaError>> MessageStore::attachmentsAsync(qint64 messageID)
{
    auto future = onPool([self = shared_from_this(), messageID] { return self->attachments(messageID); });
    co_return co_await future;
}

QCoro::Task<Result<QList<Reaction>, TolkaError>> MessageStore::reactionsAsync(qint64 messageID)
{
    auto future = onPool([self = shared_from_this(), messageID] { return self->reactions(messageID); });
    co_return co_await future;
}

QCoro::Task<Result<qint64, TolkaError>> MessageStore::maxRowIDAsync()
{
    auto future = onPool([self = shared_from_this()] { return self->maxRowID(); });
    co_return co_await future;
}

} // namespace velto
