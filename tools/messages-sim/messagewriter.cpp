#include "messagewriter.h"

#include "simdatabase.h"

#include <QStringList>

#include <plist/plist.h>

namespace velto::sim {

enum class MessageWriter::Column {
    Guid,
    Text,
    HandleId,
    Service,
    Account,
    AccountGuid,
    Error,
    Date,
    DateRead,
    DateDelivered,
    IsDelivered,
    IsFinished,
    IsFromMe,
    IsRead,
    IsSent,
    CacheHasAttachments,
    CacheRoomnames,
    AttributedBody,
    IsAudioMessage,
    AssociatedGuid,
    AssociatedType,
    AssociatedRangeLength,
    AssociatedEmoji,
    BalloonBundleId,
    DestinationCallerId,
    ThreadOriginatorGuid,
    ThreadOriginatorPart,
    PartCount,
};

namespace {


// Column names in the order of MessageWriter::Column.
constexpr const char *kMessageColumnNames[] = {
    "guid", "text", "handle_id", "service", "account", "account_guid", "error", "date", "date_read",
    "date_delivered", "is_delivered", "is_finished", "is_from_me", "is_read", "is_sent",
    "cache_has_attachments", "cache_roomnames", "attributedBody", "is_audio_message",
    "associated_message_guid", "associated_message_type", "associated_message_range_length",
    "associated_message_emoji", "balloon_bundle_id", "destination_caller_id", "thread_originator_guid",
    "thread_originator_part", "part_count",
};

SqlValue textOrNull(const QString &text)
{
    return text.isEmpty() ? SqlValue() : SqlValue(text);
}

QString placeholders(qsizetype count)
{
    QStringList marks;
    for (qsizetype i = 0; i < count; ++i)
        marks.append(QStringLiteral("?"));
    return marks.join(QLatin1Char(','));
}

} // namespace

MessageWriter::MessageWriter(SimDatabase &db)
    : m_db(db)
{
}

Result<void, SimulatorError> MessageWriter::prepare()
{
    const QSet<QString> message = m_db.columns(QStringLiteral("message"));
    const QSet<QString> attachment = m_db.columns(QStringLiteral("attachment"));
    if (message.isEmpty() || attachment.isEmpty())
        return fail(SimulatorError{SimulatorError::Kind::Database, QStringLiteral("not a Messages database")});

    m_hasAttributedBody = message.contains(QStringLiteral("attributedbody"));
    m_hasReactions = message.contains(QStringLiteral("associated_message_guid"))
                  && message.contains(QStringLiteral("associated_message_type"));
    m_hasEmoji = message.contains(QStringLiteral("associated_message_emoji"));
    m_hasThreadOriginator = message.contains(QStringLiteral("thread_originator_guid"));
    m_hasAudio = message.contains(QStringLiteral("is_audio_message"));
    m_hasBalloon = message.contains(QStringLiteral("balloon_bundle_id"));
    m_hasDestination = message.contains(QStringLiteral("destination_caller_id"));
    m_hasUserInfo = attachment.contains(QStringLiteral("user_info"));

    m_messageColumns.clear();
    QStringList names;
    for (int i = 0; i < int(std::size(kMessageColumnNames)); ++i) {
        const QString name = QString::fromLatin1(kMessageColumnNames[i]);
        if (message.contains(name.toLower())) {
            m_messageColumns.append(Column(i));
            names.append(name);
        }
    }

    const auto prepareInto = [this](SimStatement &target, const QString &sql) -> Result<void, SimulatorError> {
        auto statement = m_db.prepare(sql);
        if (!statement)
            return fail(statement.error());
        target = std::move(*statement);
        return {};
    };

    QString attachmentColumns = QStringLiteral(
        "guid, created_date, start_date, filename, uti, mime_type, transfer_state, is_outgoing, transfer_name, "
        "total_bytes, is_sticker, original_guid, hide_attachment");
    if (m_hasUserInfo)
        attachmentColumns += QStringLiteral(", user_info");

    const QList<std::pair<SimStatement *, QString>> statements{
        {&m_handle, QStringLiteral("INSERT INTO handle (id, country, service) VALUES (?, ?, ?)")},
        {&m_chat, QStringLiteral("INSERT INTO chat (guid, style, state, account_id, chat_identifier, service_name, "
                                 "room_name, account_login, is_archived, last_addressed_handle, display_name, "
                                 "group_id, is_filtered, successful_query) "
                                 "VALUES (?, ?, 3, ?, ?, ?, ?, ?, 0, ?, ?, ?, 0, 1)")},
        {&m_chatHandle, QStringLiteral("INSERT OR IGNORE INTO chat_handle_join (chat_id, handle_id) VALUES (?, ?)")},
        {&m_message, QStringLiteral("INSERT INTO message (") + names.join(QStringLiteral(", "))
                         + QStringLiteral(") VALUES (") + placeholders(names.size()) + QStringLiteral(")")},
        {&m_chatMessage,
         QStringLiteral("INSERT INTO chat_message_join (chat_id, message_id, message_date) VALUES (?, ?, ?)")},
        {&m_attachment, QStringLiteral("INSERT INTO attachment (") + attachmentColumns + QStringLiteral(") VALUES (")
                            + placeholders(attachmentColumns.count(QLatin1Char(',')) + 1) + QStringLiteral(")")},
        {&m_messageAttachment,
         QStringLiteral("INSERT INTO message_attachment_join (message_id, attachment_id) VALUES (?, ?)")},
    };
    for (const auto &[target, sql] : statements) {
        if (auto prepared = prepareInto(*target, sql); !prepared)
            return prepared;
    }
    return {};
}

Result<void, SimulatorError> MessageWriter::run(SimStatement &statement, const char *what)
{
    const SimStatement::Step step = statement.step();
    if (step == SimStatement::Step::Error) {
        const SimulatorError error = m_db.lastError(QString::fromLatin1(what));
        statement.reset();
        return fail(error);
    }
    statement.reset();
    return {};
}

Result<qint64, SimulatorError> MessageWriter::insertHandle(const QString &id, const QString &service)
{
    m_handle.bindText(1, id);
    m_handle.bindText(2, id.startsWith(QLatin1String("+44")) ? QStringLiteral("gb") : QStringLiteral("us"));
    m_handle.bindText(3, service);
    if (auto done = run(m_handle, "insert handle"); !done)
        return fail(done.error());
    return m_db.lastInsertRowId();
}

Result<qint64, SimulatorError> MessageWriter::insertChat(const ChatRecord &chat)
{
    m_chat.bindText(1, chat.guid);
    m_chat.bindInt(2, chat.style);
    m_chat.bind(3, textOrNull(chat.accountId));
    m_chat.bindText(4, chat.chatIdentifier);
    m_chat.bindText(5, chat.serviceName);
    m_chat.bind(6, textOrNull(chat.roomName));
    m_chat.bind(7, textOrNull(chat.accountLogin));
    m_chat.bind(8, textOrNull(chat.lastAddressedHandle));
    m_chat.bindText(9, chat.displayName); // Messages keeps '' rather than NULL for unnamed chats
    m_chat.bind(10, textOrNull(chat.groupId));
    if (auto done = run(m_chat, "insert chat"); !done)
        return fail(done.error());
    return m_db.lastInsertRowId();
}

Result<void, SimulatorError> MessageWriter::joinChatHandle(qint64 chatId, qint64 handleId)
{
    m_chatHandle.bindInt(1, chatId);
    m_chatHandle.bindInt(2, handleId);
    return run(m_chatHandle, "insert chat_handle_join");
}

SqlValue MessageWriter::messageValue(Column column, const MessageRecord &m) const
{
    switch (column) {
    case Column::Guid:
        return m.guid;
    case Column::Text:
        // With an attributedBody column the text lives only there, as on current macOS.
        return m_hasAttributedBody ? SqlValue() : SqlValue(m.text);
    case Column::HandleId:
        return m.handleId;
    case Column::Service:
        return m.service;
    case Column::Account:
        return textOrNull(m.account);
    case Column::AccountGuid:
        return textOrNull(m.accountGuid);
    case Column::Error:
        return m.error;
    case Column::Date:
        return m.date;
    case Column::DateRead:
        return m.dateRead;
    case Column::DateDelivered:
        return m.dateDelivered;
    case Column::IsDelivered:
        return qint64(m.isDelivered);
    case Column::IsFinished:
        return qint64(m.isFinished);
    case Column::IsFromMe:
        return qint64(m.isFromMe);
    case Column::IsRead:
        return qint64(m.isRead);
    case Column::IsSent:
        return qint64(m.isSent);
    case Column::CacheHasAttachments:
        return qint64(m.hasAttachments);
    case Column::CacheRoomnames:
        return textOrNull(m.cacheRoomnames);
    case Column::AttributedBody:
        return m.body.isNull() ? SqlValue() : SqlValue(m.body);
    case Column::IsAudioMessage:
        return qint64(m.isAudioMessage);
    case Column::AssociatedGuid:
        return textOrNull(m.associatedGuid);
    case Column::AssociatedType:
        return m.associatedType;
    case Column::AssociatedRangeLength:
        return m.associatedRangeLength;
    case Column::AssociatedEmoji:
        return textOrNull(m.associatedEmoji);
    case Column::BalloonBundleId:
        return textOrNull(m.balloonBundleId);
    case Column::DestinationCallerId:
        return textOrNull(m.destinationCallerId);
    case Column::ThreadOriginatorGuid:
        return textOrNull(m.threadOriginatorGuid);
    case Column::ThreadOriginatorPart:
        return textOrNull(m.threadOriginatorPart);
    case Column::PartCount:
        return m.partCount;
    }
    return {};
}

Result<qint64, SimulatorError> MessageWriter::insertMessage(const MessageRecord &message, qint64 chatId)
{
    for (qsizetype i = 0; i < m_messageColumns.size(); ++i)
        m_message.bind(int(i + 1), messageValue(m_messageColumns.at(i), message));
    if (auto done = run(m_message, "insert message"); !done)
        return fail(done.error());
    const qint64 rowId = m_db.lastInsertRowId();
    if (chatId > 0) {
        m_chatMessage.bindInt(1, chatId);
        m_chatMessage.bindInt(2, rowId);
        m_chatMessage.bindInt(3, message.date);
        if (auto done = run(m_chatMessage, "insert chat_message_join"); !done)
            return fail(done.error());
    }
    return rowId;
}

Result<qint64, SimulatorError> MessageWriter::insertAttachment(const AttachmentRecord &a, qint64 messageId)
{
    m_attachment.bindText(1, a.guid);
    m_attachment.bindInt(2, a.createdDate);
    m_attachment.bindInt(3, a.createdDate);
    m_attachment.bindText(4, a.filename);
    m_attachment.bindText(5, a.uti);
    m_attachment.bindText(6, a.mimeType);
    m_attachment.bindInt(7, 5); // transfer finished
    m_attachment.bindInt(8, a.isOutgoing);
    m_attachment.bindText(9, a.transferName);
    m_attachment.bindInt(10, a.totalBytes);
    m_attachment.bindInt(11, a.isSticker);
    m_attachment.bindText(12, a.guid);
    m_attachment.bindInt(13, 0);
    if (m_hasUserInfo)
        m_attachment.bind(14, a.userInfo.isEmpty() ? SqlValue() : SqlValue(a.userInfo));
    if (auto done = run(m_attachment, "insert attachment"); !done)
        return fail(done.error());
    const qint64 rowId = m_db.lastInsertRowId();
    m_messageAttachment.bindInt(1, messageId);
    m_messageAttachment.bindInt(2, rowId);
    if (auto done = run(m_messageAttachment, "insert message_attachment_join"); !done)
        return fail(done.error());
    return rowId;
}

QByteArray MessageWriter::audioUserInfo(const QString &transcription)
{
    plist_t dict = plist_new_dict();
    plist_dict_set_item(dict, "audio-transcription", plist_new_string(transcription.toUtf8().constData()));
    char *bytes = nullptr;
    uint32_t length = 0;
    plist_to_bin(dict, &bytes, &length);
    QByteArray result(bytes, qsizetype(length));
    plist_to_bin_free(bytes);
    plist_free(dict);
    return result;
}

} // namespace velto::sim
