#include "chatdbfixture.h"

#include <QFile>
#include <QRegularExpression>
#include <QStringList>
#include <QtDebug>

namespace velto::test {

namespace {

QString readFile(const QString& path, QString* error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        if (error)
            *error = path + QStringLiteral(": ") + file.errorString();
        return QString();
    }
    return QString::fromUtf8(file.readAll());
}

const char* const minimalSchema = R"(
CREATE TABLE message (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, text TEXT, handle_id INTEGER DEFAULT 0,
  service TEXT, date INTEGER, date_read INTEGER, is_from_me INTEGER DEFAULT 0, is_sent INTEGER DEFAULT 0,
  error INTEGER DEFAULT 0);
CREATE TABLE handle (ROWID INTEGER PRIMARY KEY AUTOINCREMENT UNIQUE, id TEXT NOT NULL, service TEXT NOT NULL);
CREATE TABLE chat (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, guid TEXT UNIQUE NOT NULL, style INTEGER,
  chat_identifier TEXT, service_name TEXT, display_name TEXT, group_id TEXT);
CREATE TABLE chat_message_join (chat_id INTEGER, message_id INTEGER, PRIMARY KEY (chat_id, message_id));
CREATE TABLE chat_handle_join (chat_id INTEGER, handle_id INTEGER, UNIQUE(chat_id, handle_id));
CREATE TABLE message_attachment_join (message_id INTEGER, attachment_id INTEGER, UNIQUE(message_id, attachment_id));
CREATE TABLE attachment (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, guid TEXT UNIQUE NOT NULL, filename TEXT,
  uti TEXT, mime_type TEXT, transfer_name TEXT, total_bytes INTEGER DEFAULT 0, is_sticker INTEGER DEFAULT 0);
)";

} // namespace

ChatDbFixture::ChatDbFixture(QString path, db::Connection connection)
    : m_path(std::move(path))
    , m_connection(std::move(connection))
{
}

std::optional<ChatDbFixture> ChatDbFixture::fromSchemaFile(const QString& databasePath, const QString& schemaPath,
                                                           const QString& extraSchemaPath, QString* error)
{
    const QString schema = readFile(schemaPath, error);
    if (schema.isEmpty())
        return std::nullopt;
    auto connection = db::Connection::openReadWrite(databasePath);
    if (!connection) {
        if (error)
            *error = connection.error().description();
        return std::nullopt;
    }
    ChatDbFixture fixture(databasePath, std::move(connection).value());
    // A test database needs no durability; without syncs each insert is not a disk flush.
    (void)fixture.m_connection.execute(QStringLiteral("PRAGMA synchronous = OFF"));
    if (auto done = fixture.m_connection.execute(schema); !done) {
        if (error)
            *error = done.error().description();
        return std::nullopt;
    }
    if (!extraSchemaPath.isEmpty()) {
        // Only the missing tables' CREATE TABLE lines of the other dump.
        const QString extra = readFile(extraSchemaPath, error);
        static const QRegularExpression createTable(QStringLiteral("^CREATE TABLE (\\w+) .*;$"),
                                                    QRegularExpression::MultilineOption);
        fixture.loadColumns();
        auto it = createTable.globalMatch(extra);
        while (it.hasNext()) {
            const auto match = it.next();
            if (fixture.m_columns.contains(match.captured(1)))
                continue;
            if (auto done = fixture.m_connection.execute(match.captured(0)); !done) {
                if (error)
                    *error = done.error().description();
                return std::nullopt;
            }
        }
    }
    QStringList triggers;
    {
        auto statement = fixture.m_connection.prepare(QStringLiteral("SELECT name FROM sqlite_master WHERE type = 'trigger'"));
        while (statement && statement->step().value())
            triggers << statement->text(0);
    }
    for (const QString& trigger : triggers)
        fixture.m_connection.execute(QStringLiteral("DROP TRIGGER \"") + trigger + QLatin1Char('"'));
    fixture.loadColumns();
    return fixture;
}

std::optional<ChatDbFixture> ChatDbFixture::withoutOptionalColumns(const QString& databasePath, QString* error)
{
    auto connection = db::Connection::openReadWrite(databasePath);
    if (!connection) {
        if (error)
            *error = connection.error().description();
        return std::nullopt;
    }
    ChatDbFixture fixture(databasePath, std::move(connection).value());
    // A test database needs no durability; without syncs each insert is not a disk flush.
    (void)fixture.m_connection.execute(QStringLiteral("PRAGMA synchronous = OFF"));
    if (auto done = fixture.m_connection.execute(QString::fromUtf8(minimalSchema)); !done) {
        if (error)
            *error = done.error().description();
        return std::nullopt;
    }
    fixture.loadColumns();
    return fixture;
}

void ChatDbFixture::loadColumns()
{
    m_columns.clear();
    QStringList tables;
    {
        auto statement = m_connection.prepare(QStringLiteral("SELECT name FROM sqlite_master WHERE type = 'table'"));
        while (statement && statement->step().value())
            tables << statement->text(0);
    }
    for (const QString& table : tables) {
        auto statement = m_connection.prepare(QStringLiteral("PRAGMA table_info(\"") + table + QStringLiteral("\")"));
        QSet<QString>& columns = m_columns[table];
        while (statement && statement->step().value())
            columns.insert(statement->text(1).toLower());
    }
}

bool ChatDbFixture::hasColumn(const QString& table, const QString& column) const
{
    return m_columns.value(table).contains(column.toLower());
}

qint64 ChatDbFixture::insert(const QString& table, QVariantMap values)
{
    QStringList names;
    QVariantList bound;
    for (auto it = values.cbegin(); it != values.cend(); ++it) {
        if (!hasColumn(table, it.key()))
            continue;
        names << it.key();
        bound << it.value();
    }
    QStringList marks;
    for (qsizetype i = 0; i < names.size(); ++i)
        marks << QStringLiteral("?");
    QString sql = QStringLiteral("INSERT INTO ") + table;
    if (names.isEmpty())
        sql += QStringLiteral(" DEFAULT VALUES");
    else
        sql += QStringLiteral(" (") + names.join(QLatin1Char(',')) + QStringLiteral(") VALUES (")
            + marks.join(QLatin1Char(',')) + QLatin1Char(')');
    auto statement = m_connection.prepare(sql);
    if (!statement) {
        qWarning() << "prepare failed:" << statement.error().description() << sql;
        return -1;
    }
    for (qsizetype i = 0; i < bound.size(); ++i) {
        const QVariant& value = bound.at(i);
        const int position = int(i + 1);
        Result<void, db::Error> done;
        if (value.isNull())
            done = statement->bind(position, nullptr);
        else if (value.typeId() == QMetaType::QByteArray)
            done = statement->bind(position, value.toByteArray());
        else if (value.typeId() == QMetaType::QString)
            done = statement->bind(position, value.toString());
        else if (value.typeId() == QMetaType::Double)
            done = statement->bind(position, value.toDouble());
        else
            done = statement->bind(position, value.toLongLong());
        if (!done) {
            qWarning() << "bind failed:" << done.error().description();
            return -1;
        }
    }
    auto step = statement->step();
    if (!step) {
        qWarning() << "insert failed:" << step.error().description() << sql;
        return -1;
    }
    return m_connection.lastInsertRowId();
}

qint64 ChatDbFixture::addHandle(const QString& id, const QString& service)
{
    return insert(QStringLiteral("handle"), {{QStringLiteral("id"), id}, {QStringLiteral("service"), service}});
}

qint64 ChatDbFixture::addChat(const QString& identifier, int style, const QString& displayName)
{
    const QString guid = QStringLiteral("iMessage;") + (style == 43 ? QStringLiteral("+;") : QStringLiteral("-;")) + identifier;
    QVariantMap values{{QStringLiteral("guid"), guid},
                       {QStringLiteral("chat_identifier"), identifier},
                       {QStringLiteral("style"), style},
                       {QStringLiteral("service_name"), QStringLiteral("iMessage")}};
    if (!displayName.isNull())
        values.insert(QStringLiteral("display_name"), displayName);
    return insert(QStringLiteral("chat"), values);
}

void ChatDbFixture::addParticipant(qint64 chatID, qint64 handleID)
{
    insert(QStringLiteral("chat_handle_join"), {{QStringLiteral("chat_id"), chatID}, {QStringLiteral("handle_id"), handleID}});
}

qint64 ChatDbFixture::addMessage(qint64 chatID, QVariantMap values)
{
    if (!values.contains(QStringLiteral("guid")))
        values.insert(QStringLiteral("guid"), QStringLiteral("GUID-%1").arg(++m_serial));
    if (!values.contains(QStringLiteral("service")))
        values.insert(QStringLiteral("service"), QStringLiteral("iMessage"));
    const qint64 rowID = insert(QStringLiteral("message"), values);
    if (rowID > 0 && chatID > 0)
        insert(QStringLiteral("chat_message_join"), {{QStringLiteral("chat_id"), chatID}, {QStringLiteral("message_id"), rowID}});
    return rowID;
}

qint64 ChatDbFixture::addAttachment(qint64 messageID, QVariantMap values)
{
    const QString guid = QStringLiteral("ATT-%1").arg(++m_serial);
    values.insert(QStringLiteral("guid"), guid);
    values.insert(QStringLiteral("original_guid"), guid);
    const qint64 rowID = insert(QStringLiteral("attachment"), values);
    if (rowID > 0)
        insert(QStringLiteral("message_attachment_join"),
               {{QStringLiteral("message_id"), messageID}, {QStringLiteral("attachment_id"), rowID}});
    return rowID;
}

qint64 messagesTime(qint64 secondsSince2001)
{
    return secondsSince2001 * 1000000000LL;
}

QByteArray archivedBody(const QString& text)
{
    // Header, the NSString content group "+" with its length prefix, the text, the object end,
    // then a little of what follows in real bodies.
    const QByteArray utf8 = text.toUtf8();
    QByteArray body = QByteArray::fromHex("040B73747265616D747970656481E803840140848484124E5341747472696275746564537472696E6700"
                                          "8484084E534F626A656374008592848484084E53537472696E67019484012B");
    if (utf8.size() < 128) {
        body.append(char(utf8.size()));
    } else {
        body.append(char(0x81));
        body.append(char(utf8.size() & 0xFF));
        body.append(char((utf8.size() >> 8) & 0xFF));
    }
    body.append(utf8);
    body.append(QByteArray::fromHex("8684026949013F92848484"));
    return body;
}

} // namespace velto::test
