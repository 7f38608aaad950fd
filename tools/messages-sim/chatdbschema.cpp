#include "chatdbschema.h"

#include <QRegularExpression>

#include <algorithm>

namespace velto::sim {

namespace {

// The macOS 15 tables, in the order Messages creates them (sqlite_sequence appears by itself).
const QStringList &macos15Tables()
{
    static const QStringList tables{
        QStringLiteral("CREATE TABLE _SqliteDatabaseProperties (key TEXT, value TEXT, UNIQUE(key))"),
        QStringLiteral("CREATE TABLE deleted_messages (ROWID INTEGER PRIMARY KEY AUTOINCREMENT UNIQUE, guid TEXT NOT NULL)"),
        QStringLiteral("CREATE TABLE chat_handle_join (chat_id INTEGER REFERENCES chat (ROWID) ON DELETE CASCADE, handle_id INTEGER REFERENCES handle (ROWID) ON DELETE CASCADE, UNIQUE(chat_id, handle_id))"),
        QStringLiteral("CREATE TABLE sync_deleted_messages (ROWID INTEGER PRIMARY KEY AUTOINCREMENT UNIQUE, guid TEXT NOT NULL, recordID TEXT )"),
        QStringLiteral("CREATE TABLE message_processing_task (ROWID INTEGER PRIMARY KEY AUTOINCREMENT UNIQUE, guid TEXT NOT NULL, task_flags INTEGER NOT NULL )"),
        QStringLiteral("CREATE TABLE handle (ROWID INTEGER PRIMARY KEY AUTOINCREMENT UNIQUE, id TEXT NOT NULL, country TEXT, service TEXT NOT NULL, uncanonicalized_id TEXT, person_centric_id TEXT, UNIQUE (id, service) )"),
        QStringLiteral("CREATE TABLE sync_deleted_chats (ROWID INTEGER PRIMARY KEY AUTOINCREMENT UNIQUE, guid TEXT NOT NULL, recordID TEXT,timestamp INTEGER)"),
        QStringLiteral("CREATE TABLE message_attachment_join (message_id INTEGER REFERENCES message (ROWID) ON DELETE CASCADE, attachment_id INTEGER REFERENCES attachment (ROWID) ON DELETE CASCADE, UNIQUE(message_id, attachment_id))"),
        QStringLiteral("CREATE TABLE sync_deleted_attachments (ROWID INTEGER PRIMARY KEY AUTOINCREMENT UNIQUE, guid TEXT NOT NULL, recordID TEXT )"),
        QStringLiteral("CREATE TABLE kvtable (ROWID INTEGER PRIMARY KEY AUTOINCREMENT UNIQUE, key TEXT UNIQUE NOT NULL, value BLOB NOT NULL)"),
        QStringLiteral("CREATE TABLE chat_message_join (chat_id INTEGER REFERENCES chat (ROWID) ON DELETE CASCADE, message_id INTEGER REFERENCES message (ROWID) ON DELETE CASCADE, message_date INTEGER DEFAULT 0, PRIMARY KEY (chat_id, message_id))"),
        QStringLiteral("CREATE TABLE message (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, guid TEXT UNIQUE NOT NULL, text TEXT, replace INTEGER DEFAULT 0, service_center TEXT, handle_id INTEGER DEFAULT 0, subject TEXT, country TEXT, attributedBody BLOB, version INTEGER DEFAULT 0, type INTEGER DEFAULT 0, service TEXT, account TEXT, account_guid TEXT, error INTEGER DEFAULT 0, date INTEGER, date_read INTEGER, date_delivered INTEGER, is_delivered INTEGER DEFAULT 0, is_finished INTEGER DEFAULT 0, is_emote INTEGER DEFAULT 0, is_from_me INTEGER DEFAULT 0, is_empty INTEGER DEFAULT 0, is_delayed INTEGER DEFAULT 0, is_auto_reply INTEGER DEFAULT 0, is_prepared INTEGER DEFAULT 0, is_read INTEGER DEFAULT 0, is_system_message INTEGER DEFAULT 0, is_sent INTEGER DEFAULT 0, has_dd_results INTEGER DEFAULT 0, is_service_message INTEGER DEFAULT 0, is_forward INTEGER DEFAULT 0, was_downgraded INTEGER DEFAULT 0, is_archive INTEGER DEFAULT 0, cache_has_attachments INTEGER DEFAULT 0, cache_roomnames TEXT, was_data_detected INTEGER DEFAULT 0, was_deduplicated INTEGER DEFAULT 0, is_audio_message INTEGER DEFAULT 0, is_played INTEGER DEFAULT 0, date_played INTEGER, item_type INTEGER DEFAULT 0, other_handle INTEGER DEFAULT 0, group_title TEXT, group_action_type INTEGER DEFAULT 0, share_status INTEGER DEFAULT 0, share_direction INTEGER DEFAULT 0, is_expirable INTEGER DEFAULT 0, expire_state INTEGER DEFAULT 0, message_action_type INTEGER DEFAULT 0, message_source INTEGER DEFAULT 0, associated_message_guid TEXT, associated_message_type INTEGER DEFAULT 0, balloon_bundle_id TEXT, payload_data BLOB, expressive_send_style_id TEXT, associated_message_range_location INTEGER DEFAULT 0, associated_message_range_length INTEGER DEFAULT 0, time_expressive_send_played INTEGER, message_summary_info BLOB, ck_sync_state INTEGER DEFAULT 0, ck_record_id TEXT, ck_record_change_tag TEXT, destination_caller_id TEXT, is_corrupt INTEGER DEFAULT 0, reply_to_guid TEXT, sort_id INTEGER, is_spam INTEGER DEFAULT 0, has_unseen_mention INTEGER DEFAULT 0, thread_originator_guid TEXT, thread_originator_part TEXT, syndication_ranges TEXT, synced_syndication_ranges TEXT, was_delivered_quietly INTEGER DEFAULT 0, did_notify_recipient INTEGER DEFAULT 0, date_retracted INTEGER DEFAULT 0, date_edited INTEGER DEFAULT 0, was_detonated INTEGER DEFAULT 0, part_count INTEGER, is_stewie INTEGER DEFAULT 0, is_kt_verified INTEGER DEFAULT 0, is_sos INTEGER DEFAULT 0, is_critical INTEGER DEFAULT 0, bia_reference_id TEXT DEFAULT NULL, fallback_hash TEXT DEFAULT NULL, associated_message_emoji TEXT DEFAULT NULL, is_pending_satellite_send INTEGER DEFAULT 0, needs_relay INTEGER DEFAULT 0, schedule_type INTEGER DEFAULT 0, schedule_state INTEGER DEFAULT 0, sent_or_received_off_grid INTEGER DEFAULT 0)"),
        QStringLiteral("CREATE TABLE chat (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, guid TEXT UNIQUE NOT NULL, style INTEGER, state INTEGER, account_id TEXT, properties BLOB, chat_identifier TEXT, service_name TEXT, room_name TEXT, account_login TEXT, is_archived INTEGER DEFAULT 0, last_addressed_handle TEXT, display_name TEXT, group_id TEXT, is_filtered INTEGER DEFAULT 0, successful_query INTEGER, engram_id TEXT, server_change_token TEXT, ck_sync_state INTEGER DEFAULT 0, original_group_id TEXT, last_read_message_timestamp INTEGER DEFAULT 0, cloudkit_record_id TEXT, last_addressed_sim_id TEXT, is_blackholed INTEGER DEFAULT 0, syndication_date INTEGER DEFAULT 0, syndication_type INTEGER DEFAULT 0, is_recovered INTEGER DEFAULT 0, is_deleting_incoming_messages INTEGER DEFAULT 0)"),
        QStringLiteral("CREATE TABLE attachment (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, guid TEXT UNIQUE NOT NULL, created_date INTEGER DEFAULT 0, start_date INTEGER DEFAULT 0, filename TEXT, uti TEXT, mime_type TEXT, transfer_state INTEGER DEFAULT 0, is_outgoing INTEGER DEFAULT 0, user_info BLOB, transfer_name TEXT, total_bytes INTEGER DEFAULT 0, is_sticker INTEGER DEFAULT 0, sticker_user_info BLOB, attribution_info BLOB, hide_attachment INTEGER DEFAULT 0, ck_sync_state INTEGER DEFAULT 0, ck_server_change_token_blob BLOB, ck_record_id TEXT, original_guid TEXT UNIQUE NOT NULL, is_commsafety_sensitive INTEGER DEFAULT 0, emoji_image_content_identifier TEXT DEFAULT NULL, emoji_image_short_description TEXT DEFAULT NULL, preview_generation_state INTEGER DEFAULT 0)"),
        QStringLiteral("CREATE TABLE chat_recoverable_message_join (chat_id INTEGER REFERENCES chat (ROWID) ON DELETE CASCADE, message_id INTEGER REFERENCES message (ROWID) ON DELETE CASCADE, delete_date INTEGER, ck_sync_state INTEGER DEFAULT 0, PRIMARY KEY (chat_id, message_id), CHECK (delete_date != 0))"),
        QStringLiteral("CREATE TABLE unsynced_removed_recoverable_messages (ROWID INTEGER PRIMARY KEY AUTOINCREMENT UNIQUE, chat_guid TEXT NOT NULL, message_guid TEXT NOT NULL, part_index INTEGER)"),
        QStringLiteral("CREATE TABLE recoverable_message_part (chat_id INTEGER REFERENCES chat (ROWID) ON DELETE CASCADE, message_id INTEGER REFERENCES message (ROWID) ON DELETE CASCADE, part_index INTEGER, delete_date INTEGER, part_text BLOB NOT NULL, ck_sync_state INTEGER DEFAULT 0, PRIMARY KEY (chat_id, message_id, part_index), CHECK (delete_date != 0))"),
        QStringLiteral("CREATE TABLE scheduled_messages_pending_cloudkit_delete (ROWID INTEGER PRIMARY KEY AUTOINCREMENT UNIQUE, guid TEXT NOT NULL, recordID TEXT )"),
    };
    return tables;
}

const QStringList &macos15Indexes()
{
    static const QStringList indexes{
        QStringLiteral("CREATE INDEX message_attachment_join_idx_message_id ON message_attachment_join(message_id)"),
        QStringLiteral("CREATE INDEX chat_idx_chat_identifier_service_name ON chat(chat_identifier, service_name)"),
        QStringLiteral("CREATE INDEX chat_handle_join_idx_handle_id ON chat_handle_join(handle_id)"),
        QStringLiteral("CREATE INDEX message_attachment_join_idx_attachment_id ON message_attachment_join(attachment_id)"),
        QStringLiteral("CREATE INDEX message_idx_date ON message(date)"),
        QStringLiteral("CREATE INDEX attachment_idx_purged_attachments_v2 ON attachment(hide_attachment,ck_sync_state,transfer_state) WHERE hide_attachment=0 AND (ck_sync_state=1 OR ck_sync_state=4) AND transfer_state=0"),
        QStringLiteral("CREATE INDEX message_idx_thread_originator_guid ON message(thread_originator_guid)"),
        QStringLiteral("CREATE INDEX message_idx_handle ON message(handle_id, date)"),
        QStringLiteral("CREATE INDEX message_idx_handle_id ON message(handle_id)"),
        QStringLiteral("CREATE INDEX message_idx_is_sent_is_from_me_error ON message(is_sent, is_from_me, error)"),
        QStringLiteral("CREATE INDEX chat_message_join_idx_message_id_only ON chat_message_join(message_id)"),
        QStringLiteral("CREATE INDEX message_idx_associated_message ON message(associated_message_guid)"),
        QStringLiteral("CREATE INDEX chat_idx_chat_identifier ON chat(chat_identifier)"),
        QStringLiteral("CREATE INDEX message_processing_task_idx_guid_task_flags ON message_processing_task(guid, task_flags)"),
        QStringLiteral("CREATE INDEX chat_message_join_idx_chat_id ON chat_message_join(chat_id)"),
        QStringLiteral("CREATE INDEX message_idx_cache_has_attachments ON message(cache_has_attachments)"),
        QStringLiteral("CREATE INDEX chat_idx_chat_room_name_service_name ON chat(room_name, service_name)"),
        QStringLiteral("CREATE INDEX message_idx_other_handle ON message(other_handle)"),
        QStringLiteral("CREATE INDEX message_idx_was_downgraded ON message(was_downgraded)"),
        QStringLiteral("CREATE INDEX chat_idx_is_archived ON chat(is_archived)"),
        QStringLiteral("CREATE INDEX chat_idx_group_id ON chat(group_id)"),
        QStringLiteral("CREATE INDEX message_idx_expire_state ON message(expire_state)"),
        QStringLiteral("CREATE INDEX chat_message_join_idx_message_date_id_chat_id ON chat_message_join(chat_id, message_date, message_id)"),
        QStringLiteral("CREATE INDEX message_idx_is_read ON message(is_read, is_from_me, is_finished)"),
        QStringLiteral("CREATE INDEX message_idx_isRead_isFromMe_itemType ON message(is_read, is_from_me, item_type)"),
        QStringLiteral("CREATE INDEX message_idx_failed ON message(is_finished, is_from_me, error)"),
        QStringLiteral("CREATE INDEX chat_recoverable_message_join_message_id_idx ON chat_recoverable_message_join(message_id)"),
        QStringLiteral("CREATE INDEX attachment_idx_is_sticker ON attachment(is_sticker)"),
        QStringLiteral("CREATE INDEX message_idx_schedule_state ON message(schedule_state)"),
        QStringLiteral("CREATE INDEX message_idx_undelivered_one_to_one_imessage ON message(cache_roomnames,service,is_sent,is_delivered,was_downgraded,item_type) where cache_roomnames IS NULL AND service IN ('iMessage','RCS') AND is_sent = 1 AND is_delivered = 0 AND was_downgraded = 0 AND item_type == 0 AND schedule_type == 0"),
        QStringLiteral("CREATE INDEX message_idx_is_pending_satellite_message ON message(is_pending_satellite_send) WHERE is_pending_satellite_send=1"),
        QStringLiteral("CREATE INDEX message_idx_is_scheduled_message ON message(schedule_type) WHERE schedule_type=2"),
    };
    return indexes;
}

// "CREATE TABLE t (a X, b Y, ...)" without the named columns; the column lists of the tables
// we thin out have no commas inside a column definition.
QString withoutColumns(const QString &statement, const QStringList &dropped)
{
    const qsizetype open = statement.indexOf(QLatin1Char('('));
    const qsizetype close = statement.lastIndexOf(QLatin1Char(')'));
    QStringList kept;
    const QStringList parts = statement.mid(open + 1, close - open - 1).split(QStringLiteral(", "));
    for (const QString &part : parts) {
        const QString name = part.section(QLatin1Char(' '), 0, 0);
        if (!dropped.contains(name, Qt::CaseInsensitive))
            kept.append(part);
    }
    return statement.left(open + 1) + kept.join(QStringLiteral(", ")) + statement.mid(close);
}

QString tableOf(const QString &createTable)
{
    return createTable.section(QLatin1Char(' '), 2, 2);
}

} // namespace

ChatDbSchema::ChatDbSchema(SchemaVersion version)
    : m_version(version)
{
}

QStringList ChatDbSchema::legacyDroppedColumns(QStringView table)
{
    if (table == QLatin1String("message")) {
        return {QStringLiteral("attributedBody"), QStringLiteral("destination_caller_id"),
                QStringLiteral("associated_message_guid"), QStringLiteral("associated_message_type"),
                QStringLiteral("associated_message_range_location"),
                QStringLiteral("associated_message_range_length"), QStringLiteral("associated_message_emoji"),
                QStringLiteral("thread_originator_guid"), QStringLiteral("thread_originator_part"),
                QStringLiteral("is_audio_message"), QStringLiteral("is_played"), QStringLiteral("date_played"),
                QStringLiteral("balloon_bundle_id"), QStringLiteral("payload_data"),
                QStringLiteral("expressive_send_style_id"), QStringLiteral("time_expressive_send_played"),
                QStringLiteral("message_summary_info"), QStringLiteral("date_edited"),
                QStringLiteral("date_retracted")};
    }
    if (table == QLatin1String("attachment"))
        return {QStringLiteral("user_info")};
    return {};
}

QStringList ChatDbSchema::tableStatements() const
{
    if (m_version == SchemaVersion::MacOS15)
        return macos15Tables();
    QStringList result;
    for (const QString &statement : macos15Tables()) {
        const QStringList dropped = legacyDroppedColumns(tableOf(statement));
        result.append(dropped.isEmpty() ? statement : withoutColumns(statement, dropped));
    }
    return result;
}

QStringList ChatDbSchema::indexStatements() const
{
    if (m_version == SchemaVersion::MacOS15)
        return macos15Indexes();
    // An index over a column the old layout lacks did not exist either.
    QStringList dropped = legacyDroppedColumns(u"message") + legacyDroppedColumns(u"attachment");
    QStringList result;
    for (const QString &statement : macos15Indexes()) {
        const bool usesDropped = std::any_of(dropped.cbegin(), dropped.cend(), [&](const QString &column) {
            return statement.contains(QRegularExpression(QStringLiteral("\\b%1\\b").arg(column)));
        });
        if (!usesDropped)
            result.append(statement);
    }
    return result;
}

QStringList ChatDbSchema::indexNames() const
{
    QStringList names;
    for (const QString &statement : indexStatements())
        names.append(statement.section(QLatin1Char(' '), 2, 2));
    return names;
}

std::optional<SchemaVersion> ChatDbSchema::parseVersion(QStringView name)
{
    if (name == QLatin1String("macos15"))
        return SchemaVersion::MacOS15;
    if (name == QLatin1String("legacy"))
        return SchemaVersion::Legacy;
    return std::nullopt;
}

QString ChatDbSchema::versionName(SchemaVersion version)
{
    return version == SchemaVersion::MacOS15 ? QStringLiteral("macos15") : QStringLiteral("legacy");
}

} // namespace velto::sim
