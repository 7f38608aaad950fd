#pragma once

#include <dbconnection.h>

#include <QSet>
#include <QString>
#include <QVariantMap>

#include <optional>

namespace velto::test {

// Builds a Messages database file for a test and writes rows into it. Inserts name their
// columns; columns the schema does not have are left out, so one scenario can be written into
// every schema variant.
class ChatDbFixture {
public:
    // The tables of a real schema dump, triggers dropped (they call functions only Messages has).
    // `extraSchemaPath` supplies tables the first dump lacks (CREATE TABLE statements only).
    static std::optional<ChatDbFixture> fromSchemaFile(const QString& databasePath, const QString& schemaPath,
                                                       const QString& extraSchemaPath = QString(),
                                                       QString* error = nullptr);
    // An older shape: no attributedBody, guid/associated_*, thread_originator_guid,
    // destination_caller_id, is_audio_message, balloon_bundle_id nor attachment.user_info.
    static std::optional<ChatDbFixture> withoutOptionalColumns(const QString& databasePath, QString* error = nullptr);

    QString path() const { return m_path; }
    bool hasColumn(const QString& table, const QString& column) const;

    // Inserts one row; returns its ROWID, or -1 (with a warning) when the insert failed.
    qint64 insert(const QString& table, QVariantMap values);

    qint64 addHandle(const QString& id, const QString& service = QStringLiteral("iMessage"));
    qint64 addChat(const QString& identifier, int style = 45, const QString& displayName = QString());
    void addParticipant(qint64 chatID, qint64 handleID);
    // A message row; "guid" is generated when not given. `chatID` 0 leaves it without a chat link.
    qint64 addMessage(qint64 chatID, QVariantMap values);
    qint64 addAttachment(qint64 messageID, QVariantMap values);

    db::Connection& connection() { return m_connection; }

private:
    ChatDbFixture(QString path, db::Connection connection);
    void loadColumns();

    QString m_path;
    db::Connection m_connection;
    QHash<QString, QSet<QString>> m_columns;
    int m_serial = 0;
};

// 2001-01-01 + seconds, as the database stores it.
qint64 messagesTime(qint64 secondsSince2001);

// A legacy archive of an attributed string holding `text` (the parts a reader looks at).
QByteArray archivedBody(const QString& text);

} // namespace velto::test
