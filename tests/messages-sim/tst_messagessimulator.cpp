// The simulator library in-process: schema, fill, appends and streaming, checked through a
// separate read-only connection as the relay would see them.

#include "attributedbody.h"
#include "messagessimulator.h"
#include "readonlydb.h"
#include "testsupport.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QImage>
#include <QRegularExpression>
#include <QtTest>

#include <plist/plist.h>
#include <sqlite3.h>

using namespace velto::sim;
using velto::test::ReadOnlyDb;

namespace {

QString bodyText(const QVariant &blob)
{
    return AttributedBody::readText(blob.toByteArray()).value_or(QStringLiteral("<unreadable>"));
}

QString transcriptionIn(const QByteArray &userInfo)
{
    plist_t root = nullptr;
    plist_from_bin(userInfo.constData(), uint32_t(userInfo.size()), &root);
    QString text;
    if (root && plist_get_node_type(root) == PLIST_DICT) {
        if (plist_t item = plist_dict_get_item(root, "audio-transcription");
            item && plist_get_node_type(item) == PLIST_STRING) {
            char *value = nullptr;
            plist_get_string_val(item, &value);
            text = QString::fromUtf8(value);
            free(value);
        }
    }
    plist_free(root);
    return text;
}

// Every table's rows in ROWID order plus every attachment file, as one digest.
QByteArray contentDigest(const QString &home)
{
    ReadOnlyDb db(MessagesSimulator::databasePath(home));
    QCryptographicHash hash(QCryptographicHash::Sha256);
    const QList<QVariantList> tables =
        db.rows(QStringLiteral("SELECT name FROM sqlite_master WHERE type = 'table' ORDER BY name"));
    for (const QVariantList &table : tables) {
        const QString name = table.first().toString();
        hash.addData(name.toUtf8());
        for (const QVariantList &row : db.rows(QStringLiteral("SELECT * FROM ") + name + QStringLiteral(" ORDER BY 1"))) {
            for (const QVariant &cell : row)
                hash.addData(cell.isNull() ? QByteArray("<null>") : QByteArray(cell.toByteArray() + '|'));
        }
    }
    QStringList files;
    QDirIterator it(home + QStringLiteral("/Library/Messages/Attachments"), QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext())
        files.append(it.next());
    files.sort();
    for (const QString &file : std::as_const(files)) {
        QFile f(file);
        if (f.open(QIODevice::ReadOnly))
            hash.addData(QByteArray(file.mid(home.size()).toUtf8() + f.readAll()));
    }
    return hash.result().toHex();
}

} // namespace

class TestMessagesSimulator : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initCreatesWalDatabase();
    void replaceLeavesForeignDatabasesAlone_data();
    void replaceLeavesForeignDatabasesAlone();
    void schemaMatchesRealDatabase();
    void legacySchemaLeavesOutOptionalColumns();
    void fillWritesEveryKind();
    void fillWritesRealMedia();
    void fillIsDeterministic();
    void fillRejects_data();
    void fillRejects();
    void appendsAreSeenByReadOnlyReader();
    void appendsWithAttachmentsAndAudio();
    void appendRejects_data();
    void appendRejects();
    void streamCarriesWriteTimes();

private:
    velto::test::TemporaryHome m_home;
};

void TestMessagesSimulator::initCreatesWalDatabase()
{
    const QString home = m_home.path() + QStringLiteral("/init");
    MessagesSimulator simulator(home);
    QVERIFY2(simulator.init(), "init");
    QVERIFY(QFileInfo(simulator.attachmentsPath()).isDir());
    QCOMPARE(simulator.databasePath(), home + QStringLiteral("/Library/Messages/chat.db"));

    {
        ReadOnlyDb reader(simulator.databasePath());
        QVERIFY2(reader.isOpen(), qPrintable(reader.errorText()));
        QCOMPARE(reader.value(QStringLiteral("PRAGMA journal_mode")).toString(), QStringLiteral("wal"));
        QCOMPARE(reader.value(QStringLiteral("SELECT COUNT(*) FROM message")).toLongLong(), 0);
        // Read-only means read-only.
        QVERIFY(reader.rows(QStringLiteral("INSERT INTO handle (id, service) VALUES ('x', 'SMS')")).isEmpty());
        QVERIFY(reader.errorText().contains(QStringLiteral("readonly")));
    }

    auto again = simulator.init();
    QVERIFY(!again);
    QCOMPARE(again.error().kind, SimulatorError::Kind::DatabaseExists);
    QVERIFY(simulator.addIncoming({QStringLiteral("+12025550100"), QStringLiteral("hi")}));
    QVERIFY(simulator.init(SchemaVersion::MacOS15, true));
    ReadOnlyDb reader(simulator.databasePath());
    QCOMPARE(reader.value(QStringLiteral("SELECT COUNT(*) FROM message")).toLongLong(), 0);
}

// Replacing is for the simulator's own databases only; anything else at that path is left alone.
void TestMessagesSimulator::replaceLeavesForeignDatabasesAlone_data()
{
    QTest::addColumn<QByteArray>("sql");
    QTest::newRow("not a database") << QByteArray();
    QTest::newRow("a database without our mark")
        << QByteArray("CREATE TABLE message (ROWID INTEGER PRIMARY KEY, text TEXT); "
                      "CREATE TABLE _SqliteDatabaseProperties (key TEXT, value TEXT, UNIQUE(key)); "
                      "INSERT INTO message (text) VALUES ('precious');");
}

void TestMessagesSimulator::replaceLeavesForeignDatabasesAlone()
{
    QFETCH(QByteArray, sql);
    const QString home = m_home.path() + QStringLiteral("/foreign/") + QString::fromLatin1(QTest::currentDataTag());
    MessagesSimulator simulator(home);
    QVERIFY(QDir().mkpath(simulator.attachmentsPath() + QStringLiteral("/aa")));
    if (sql.isEmpty()) {
        QFile file(simulator.databasePath());
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("this is not SQLite");
    } else {
        sqlite3 *db = nullptr;
        QCOMPARE(sqlite3_open(simulator.databasePath().toUtf8().constData(), &db), SQLITE_OK);
        QCOMPARE(sqlite3_exec(db, sql.constData(), nullptr, nullptr, nullptr), SQLITE_OK);
        sqlite3_close(db);
    }
    QFile original(simulator.databasePath());
    QVERIFY(original.open(QIODevice::ReadOnly));
    const QByteArray before = original.readAll();
    original.close();

    auto replaced = simulator.init(SchemaVersion::MacOS15, true);
    QVERIFY(!replaced);
    QCOMPARE(replaced.error().kind, SimulatorError::Kind::DatabaseExists);
    QVERIFY(original.open(QIODevice::ReadOnly));
    QCOMPARE(original.readAll(), before);
    QVERIFY(QFileInfo(simulator.attachmentsPath() + QStringLiteral("/aa")).isDir());
}

// Our own statement of the schema equals the tables and indexes of a real macOS 15 database.
void TestMessagesSimulator::schemaMatchesRealDatabase()
{
    const QString fixtures = velto::test::fixturesDir();
    if (fixtures.isEmpty())
        QSKIP("shared fixtures not found; set VELTO_SHARED_DIR");
    const QString home = m_home.path() + QStringLiteral("/schema");
    MessagesSimulator simulator(home);
    QVERIFY(simulator.init());
    ReadOnlyDb ours(simulator.databasePath());
    ReadOnlyDb real(QDir(fixtures).filePath(QStringLiteral("databases/small-macos15.db")));
    QVERIFY2(real.isOpen(), qPrintable(real.errorText()));

    const QString objects = QStringLiteral(
        "SELECT type, name, tbl_name, sql FROM sqlite_master WHERE type IN ('table', 'index') AND sql IS NOT NULL "
        "ORDER BY type, name");
    const QList<QVariantList> realObjects = real.rows(objects);
    QVERIFY(realObjects.size() > 40);
    QCOMPARE(ours.rows(objects), realObjects);
    for (const QVariantList &object : realObjects) {
        if (object.at(0).toString() != QLatin1String("table"))
            continue;
        const QString info = QStringLiteral("PRAGMA table_info(") + object.at(1).toString() + QStringLiteral(")");
        QCOMPARE(ours.rows(info), real.rows(info));
    }

    // Tables the other real schema dumps name exist too.
    QDir schemas(QDir(fixtures).filePath(QStringLiteral("chatdb-schema")));
    const QRegularExpression createTable(QStringLiteral("^CREATE TABLE (\\w+)"), QRegularExpression::MultilineOption);
    for (const QString &file : schemas.entryList({QStringLiteral("*.sql")})) {
        QFile sql(schemas.filePath(file));
        QVERIFY(sql.open(QIODevice::ReadOnly));
        auto matches = createTable.globalMatch(QString::fromUtf8(sql.readAll()));
        while (matches.hasNext()) {
            const QString table = matches.next().captured(1);
            QVERIFY2(ours.value(QStringLiteral("SELECT COUNT(*) FROM sqlite_master WHERE name = ?"), {table}).toInt() == 1,
                     qPrintable(file + QStringLiteral(": ") + table));
        }
    }
}

void TestMessagesSimulator::legacySchemaLeavesOutOptionalColumns()
{
    const QString home = m_home.path() + QStringLiteral("/legacy");
    MessagesSimulator simulator(home);
    QVERIFY(simulator.init(SchemaVersion::Legacy));
    FillOptions options;
    options.messages = 300;
    auto summary = simulator.fill(options);
    QVERIFY2(summary, qPrintable(summary ? QString() : summary.error().description()));

    ReadOnlyDb db(simulator.databasePath());
    QSet<QString> columns;
    for (const QVariantList &row : db.rows(QStringLiteral("PRAGMA table_info(message)")))
        columns.insert(row.at(1).toString());
    for (const QString &optional : ChatDbSchema::legacyDroppedColumns(u"message"))
        QVERIFY2(!columns.contains(optional), qPrintable(optional));
    QVERIFY(columns.contains(QStringLiteral("text")) && columns.contains(QStringLiteral("guid")));
    QCOMPARE(db.value(QStringLiteral("SELECT COUNT(*) FROM pragma_table_info('attachment') WHERE name = 'user_info'")).toInt(), 0);

    // Bodies live in the text column; there is nothing to react, reply or preview with.
    QCOMPARE(db.value(QStringLiteral("SELECT COUNT(*) FROM message")).toLongLong(), 300);
    QCOMPARE(db.value(QStringLiteral("SELECT COUNT(*) FROM message WHERE text IS NULL")).toLongLong(), 0);
    QCOMPARE(summary->tapbackAdds + summary->replies + summary->linkPreviewTexts + summary->audioMessages, 0);
    QVERIFY(summary->imageMessages > 0);
    QCOMPARE(db.value(QStringLiteral("SELECT COUNT(*) FROM message WHERE text LIKE ?"),
                      {QString(QString(QChar(0xFFFC)) + QLatin1Char('%'))}).toLongLong(),
             summary->imageMessages + summary->stickerMessages);
    auto tapback = simulator.addTapback({QStringLiteral("whatever"), 2000});
    QVERIFY(!tapback);
    QCOMPARE(tapback.error().kind, SimulatorError::Kind::Unsupported);
    auto incoming = simulator.addIncoming({QStringLiteral("old@example.com"), QStringLiteral("plain text")});
    QVERIFY(incoming);
    QCOMPARE(db.value(QStringLiteral("SELECT text FROM message WHERE ROWID = ?"), {incoming->rowId}).toString(),
             QStringLiteral("plain text"));
}

void TestMessagesSimulator::fillWritesEveryKind()
{
    const QString home = m_home.path() + QStringLiteral("/kinds");
    MessagesSimulator simulator(home);
    QVERIFY(simulator.init());
    FillOptions options;
    options.seed = 7;
    options.messages = 3000;
    options.chats = 25;
    options.handles = 40;
    auto result = simulator.fill(options);
    QVERIFY2(result, qPrintable(result ? QString() : result.error().description()));
    const FillSummary s = *result;
    simulator.close();

    // Every row is exactly one kind, and each kind is there.
    QCOMPARE(s.messages, 3000);
    QCOMPARE(s.texts + s.replies + s.imageMessages + s.stickerMessages + s.audioMessages + s.tapbackAdds
                 + s.tapbackRemovals + s.linkPreviewTexts + s.linkPreviewBalloons,
             s.messages);
    QCOMPARE(s.incoming + s.outgoing, s.messages);
    for (const qint64 count : {s.emojiTexts, s.nonBmpTexts, s.otherScriptTexts, s.longTexts, s.hugeTexts, s.emptyTexts,
                               s.replies, s.imageMessages, s.stickerMessages, s.audioTranscriptsInUserInfo,
                               s.audioTranscriptsInBody, s.customTapbacks, s.tapbackRemovals, s.linkPreviewBalloons,
                               s.failedOutgoing, s.smsMessages, s.groupChats, s.oneToOneChats})
        QVERIFY(count > 0);

    ReadOnlyDb db(MessagesSimulator::databasePath(home));
    const auto count = [&](const QString &sql, const QVariantList &parameters = {}) {
        return db.value(sql, parameters).toLongLong();
    };
    QCOMPARE(db.value(QStringLiteral("PRAGMA journal_mode")).toString(), QStringLiteral("wal"));
    QCOMPARE(count(QStringLiteral("SELECT COUNT(*) FROM message")), s.messages);
    QCOMPARE(count(QStringLiteral("SELECT COUNT(*) FROM handle")), 40);
    QCOMPARE(count(QStringLiteral("SELECT COUNT(*) FROM chat")), 25);
    QCOMPARE(count(QStringLiteral("SELECT COUNT(*) FROM chat WHERE style = 43")), s.groupChats);
    QCOMPARE(count(QStringLiteral("SELECT COUNT(*) FROM chat WHERE style = 45")), s.oneToOneChats);
    QCOMPARE(count(QStringLiteral("SELECT COUNT(*) FROM message WHERE is_from_me = 1")), s.outgoing);
    QCOMPARE(count(QStringLiteral("SELECT COUNT(*) FROM message WHERE error != 0 AND is_from_me = 1")), s.failedOutgoing);
    QCOMPARE(count(QStringLiteral("SELECT COUNT(*) FROM message WHERE service = 'SMS'")), s.smsMessages);

    // Chats: group members 2–8, one-to-one exactly one, every chat has messages, ids match.
    QCOMPARE(count(QStringLiteral("SELECT COUNT(*) FROM chat c WHERE style = 43 AND "
                                  "(SELECT COUNT(*) FROM chat_handle_join j WHERE j.chat_id = c.ROWID) NOT BETWEEN 2 AND 8")),
             0);
    QCOMPARE(count(QStringLiteral("SELECT COUNT(*) FROM chat c WHERE style = 45 AND "
                                  "(SELECT COUNT(*) FROM chat_handle_join j WHERE j.chat_id = c.ROWID) != 1")),
             0);
    QCOMPARE(count(QStringLiteral("SELECT COUNT(*) FROM chat c WHERE NOT EXISTS "
                                  "(SELECT 1 FROM chat_message_join j WHERE j.chat_id = c.ROWID)")),
             0);
    QCOMPARE(count(QStringLiteral("SELECT COUNT(*) FROM chat WHERE guid != service_name || CASE style WHEN 43 THEN ';+;' "
                                  "ELSE ';-;' END || chat_identifier")),
             0);
    QCOMPARE(count(QStringLiteral("SELECT COUNT(*) FROM message m LEFT JOIN chat_message_join j ON j.message_id = m.ROWID "
                                  "WHERE j.chat_id IS NULL")),
             0);
    const QRegularExpression address(QStringLiteral("^(\\+[1-9][0-9]{7,14}|[a-z.0-9]+@[a-z.]+)$"));
    for (const QVariantList &row : db.rows(QStringLiteral("SELECT id FROM handle")))
        QVERIFY2(address.match(row.first().toString()).hasMatch(), qPrintable(row.first().toString()));
    // Incoming rows name their sender; a group's outgoing rows have none.
    QCOMPARE(count(QStringLiteral("SELECT COUNT(*) FROM message WHERE is_from_me = 0 AND handle_id = 0")), 0);
    QCOMPARE(count(QStringLiteral("SELECT COUNT(*) FROM message m JOIN chat_message_join j ON j.message_id = m.ROWID "
                                  "JOIN chat c ON c.ROWID = j.chat_id WHERE c.style = 43 AND m.is_from_me = 1 "
                                  "AND m.handle_id != 0")),
             0);
    QCOMPARE(count(QStringLiteral("SELECT COUNT(*) FROM message m JOIN chat_message_join j ON j.message_id = m.ROWID "
                                  "WHERE m.is_from_me = 0 AND m.handle_id NOT IN "
                                  "(SELECT handle_id FROM chat_handle_join WHERE chat_id = j.chat_id)")),
             0);

    // Time runs forward with the row ids, within the span; reads come after the message.
    QCOMPARE(count(QStringLiteral("SELECT COUNT(*) FROM message a JOIN message b ON b.ROWID = a.ROWID + 1 "
                                  "WHERE b.date <= a.date")),
             0);
    const qint64 until = (options.untilUnixMs / 1000 - 978307200) * 1000000000LL;
    QVERIFY(count(QStringLiteral("SELECT MIN(date) FROM message")) >= until - 180LL * 86400 * 1000000000LL);
    QVERIFY(count(QStringLiteral("SELECT MAX(date) FROM message")) <= until + 60LL * 1000000000LL);
    QCOMPARE(count(QStringLiteral("SELECT COUNT(*) FROM message WHERE date_read != 0 AND date_read < date")), 0);

    // Bodies only in attributedBody, readable, in the right sizes.
    QCOMPARE(count(QStringLiteral("SELECT COUNT(*) FROM message WHERE text IS NOT NULL OR attributedBody IS NULL")), 0);
    qint64 empty = 0, huge = 0;
    for (const QVariantList &row : db.rows(QStringLiteral("SELECT attributedBody FROM message"))) {
        const QString text = bodyText(row.first());
        QVERIFY(text != QLatin1String("<unreadable>"));
        empty += text.isEmpty();
        huge += text.toUtf8().size() >= 65536;
    }
    QCOMPARE(empty, s.emptyTexts);
    QCOMPARE(huge, s.hugeTexts);

    // Tapbacks point at a message of the same chat with "p:0/"; custom ones carry their emoji;
    // every removal takes back an earlier add of the same sender.
    QCOMPARE(count(QStringLiteral("SELECT COUNT(*) FROM message WHERE associated_message_type BETWEEN 2000 AND 2006")),
             s.tapbackAdds);
    QCOMPARE(count(QStringLiteral("SELECT COUNT(*) FROM message WHERE associated_message_type BETWEEN 3000 AND 3006")),
             s.tapbackRemovals);
    QCOMPARE(count(QStringLiteral("SELECT COUNT(*) FROM message WHERE associated_message_type = 2006")), s.customTapbacks);
    QCOMPARE(count(QStringLiteral(
                 "SELECT COUNT(*) FROM message r JOIN chat_message_join rj ON rj.message_id = r.ROWID "
                 "WHERE r.associated_message_type >= 2000 AND NOT EXISTS (SELECT 1 FROM message t "
                 "JOIN chat_message_join tj ON tj.message_id = t.ROWID WHERE 'p:0/' || t.guid = r.associated_message_guid "
                 "AND tj.chat_id = rj.chat_id AND t.ROWID < r.ROWID)")),
             0);
    QCOMPARE(count(QStringLiteral("SELECT COUNT(*) FROM message r WHERE r.associated_message_type >= 3000 AND NOT EXISTS "
                                  "(SELECT 1 FROM message a WHERE a.associated_message_type = r.associated_message_type - 1000 "
                                  "AND a.associated_message_guid = r.associated_message_guid AND a.handle_id = r.handle_id "
                                  "AND a.is_from_me = r.is_from_me AND a.ROWID < r.ROWID)")),
             0);
    const QList<QVariantList> custom = db.rows(
        QStringLiteral("SELECT associated_message_emoji, attributedBody FROM message WHERE associated_message_type = 2006"));
    for (const QVariantList &row : custom) {
        QVERIFY(!row.at(0).toString().isEmpty());
        QVERIFY2(bodyText(row.at(1)).startsWith(QStringLiteral("Reacted ") + row.at(0).toString() + QStringLiteral(" to ")),
                 qPrintable(bodyText(row.at(1))));
    }
    QCOMPARE(count(QStringLiteral("SELECT COUNT(*) FROM message WHERE associated_message_type BETWEEN 2000 AND 2005 "
                                  "AND associated_message_emoji IS NOT NULL")),
             0);

    // Link previews: two preview rows with the same text, chat and sender.
    QCOMPARE(count(QStringLiteral("SELECT COUNT(*) FROM message WHERE balloon_bundle_id = "
                                  "'com.apple.messages.URLBalloonProvider'")),
             s.linkPreviewTexts + s.linkPreviewBalloons);
    const QList<QVariantList> previews = db.rows(QStringLiteral(
        "SELECT b.attributedBody, t.attributedBody, t.balloon_bundle_id FROM message b "
        "JOIN message t ON t.ROWID = b.ROWID - 1 JOIN chat_message_join bj ON bj.message_id = b.ROWID "
        "JOIN chat_message_join tj ON tj.message_id = t.ROWID "
        "WHERE b.balloon_bundle_id = 'com.apple.messages.URLBalloonProvider' AND bj.chat_id = tj.chat_id "
        "AND b.handle_id = t.handle_id AND b.is_from_me = t.is_from_me "
        "AND t.balloon_bundle_id = b.balloon_bundle_id AND t.attributedBody = b.attributedBody"));
    QCOMPARE(previews.size(), s.linkPreviewBalloons);
    for (const QVariantList &row : previews) {
        QCOMPARE(bodyText(row.at(0)), bodyText(row.at(1)));
        QVERIFY(bodyText(row.at(0)).contains(QStringLiteral("https://")));
        QCOMPARE(row.at(2).toString(), QStringLiteral("com.apple.messages.URLBalloonProvider"));
    }

    // Replies point at an earlier message of their chat.
    QCOMPARE(count(QStringLiteral("SELECT COUNT(*) FROM message WHERE thread_originator_guid IS NOT NULL")), s.replies);
    QCOMPARE(count(QStringLiteral(
                 "SELECT COUNT(*) FROM message r JOIN chat_message_join rj ON rj.message_id = r.ROWID "
                 "WHERE r.thread_originator_guid IS NOT NULL AND NOT EXISTS (SELECT 1 FROM message t JOIN chat_message_join tj "
                 "ON tj.message_id = t.ROWID WHERE t.guid = r.thread_originator_guid AND tj.chat_id = rj.chat_id "
                 "AND t.ROWID < r.ROWID)")),
             0);

    // Attachments: one row and one file each, linked from the body by transfer GUID.
    QCOMPARE(count(QStringLiteral("SELECT COUNT(*) FROM attachment")), s.attachments);
    QCOMPARE(s.attachments, s.imageMessages + s.stickerMessages + s.audioMessages);
    QCOMPARE(count(QStringLiteral("SELECT COUNT(*) FROM attachment WHERE is_sticker = 1")), s.stickerMessages);
    QCOMPARE(count(QStringLiteral("SELECT COUNT(*) FROM message WHERE cache_has_attachments = 1")), s.attachments);
    const QList<QVariantList> attachments = db.rows(QStringLiteral(
        "SELECT a.filename, a.total_bytes, a.guid, m.attributedBody, a.transfer_name, a.mime_type, m.is_audio_message, "
        "a.user_info FROM attachment a JOIN message_attachment_join j ON j.attachment_id = a.ROWID "
        "JOIN message m ON m.ROWID = j.message_id"));
    QCOMPARE(attachments.size(), s.attachments);
    qint64 inUserInfo = 0, inBody = 0;
    for (const QVariantList &row : attachments) {
        const QString filename = row.at(0).toString();
        QVERIFY2(filename.startsWith(QStringLiteral("~/Library/Messages/Attachments/")), qPrintable(filename));
        QVERIFY(filename.endsWith(QLatin1Char('/') + row.at(4).toString()));
        const QFileInfo file(home + filename.mid(1));
        QVERIFY2(file.isFile(), qPrintable(file.filePath()));
        QCOMPARE(file.size(), row.at(1).toLongLong());
        const QByteArray body = row.at(3).toByteArray();
        QVERIFY(body.contains(row.at(2).toString().toUtf8()));
        QVERIFY(bodyText(row.at(3)).startsWith(QChar(0xFFFC)));
        const bool audio = row.at(6).toInt() == 1;
        QCOMPARE(row.at(5).toString() == QLatin1String("audio/x-caf"), audio);
        if (audio && !row.at(7).isNull()) {
            QVERIFY(!transcriptionIn(row.at(7).toByteArray()).isEmpty());
            QVERIFY(!body.contains("IMAudioTranscription"));
            ++inUserInfo;
        } else if (audio) {
            QVERIFY(body.contains("IMAudioTranscription"));
            ++inBody;
        }
    }
    QCOMPARE(inUserInfo, s.audioTranscriptsInUserInfo);
    QCOMPARE(inBody, s.audioTranscriptsInBody);
}

void TestMessagesSimulator::fillWritesRealMedia()
{
    const QString home = m_home.path() + QStringLiteral("/media");
    MessagesSimulator simulator(home);
    QVERIFY(simulator.init());
    FillOptions options;
    options.messages = 800;
    QVERIFY(simulator.fill(options));
    ReadOnlyDb db(simulator.databasePath());
    QSet<QString> seen;
    for (const QVariantList &row : db.rows(QStringLiteral("SELECT filename, mime_type FROM attachment"))) {
        const QString path = home + row.at(0).toString().mid(1);
        const QString mime = row.at(1).toString();
        seen.insert(mime);
        if (mime.startsWith(QLatin1String("image/"))) {
            QImage image;
            QVERIFY2(image.load(path), qPrintable(path));
            QVERIFY(image.width() == 16 || image.width() == 8);
        } else {
            QFile file(path);
            QVERIFY(file.open(QIODevice::ReadOnly));
            const QByteArray caf = file.readAll();
            QVERIFY(caf.startsWith(QByteArray("caff\x00\x01\x00\x00" "desc", 12)));
            const qsizetype data = caf.indexOf("data");
            QVERIFY(data > 0);
            QCOMPARE(qFromBigEndian<qint64>(caf.constData() + data + 4), caf.size() - data - 12);
        }
    }
    QCOMPARE(seen, (QSet<QString>{QStringLiteral("image/png"), QStringLiteral("image/jpeg"), QStringLiteral("audio/x-caf")}));
}

void TestMessagesSimulator::fillIsDeterministic()
{
    FillOptions options;
    options.seed = 42;
    options.messages = 600;
    options.chats = 12;
    options.handles = 15;
    QByteArray digests[3];
    for (int i = 0; i < 3; ++i) {
        const QString home = m_home.path() + QStringLiteral("/determinism%1").arg(i);
        MessagesSimulator simulator(home);
        QVERIFY(simulator.init());
        FillOptions these = options;
        if (i == 2)
            these.seed = 43;
        QVERIFY(simulator.fill(these));
        simulator.close();
        digests[i] = contentDigest(home);
    }
    QCOMPARE(digests[1], digests[0]);
    QVERIFY(digests[2] != digests[0]);
}

void TestMessagesSimulator::fillRejects_data()
{
    QTest::addColumn<int>("messages");
    QTest::addColumn<int>("chats");
    QTest::addColumn<int>("handles");
    QTest::addColumn<bool>("prefill");
    QTest::newRow("messages without chats") << 10 << 0 << 5 << false;
    QTest::newRow("messages without handles") << 10 << 3 << 0 << false;
    QTest::newRow("more chats than one handle allows") << 10 << 3 << 1 << false;
    QTest::newRow("negative count") << -1 << 3 << 3 << false;
    QTest::newRow("database already filled") << 10 << 2 << 2 << true;
}

void TestMessagesSimulator::fillRejects()
{
    QFETCH(int, messages);
    QFETCH(int, chats);
    QFETCH(int, handles);
    QFETCH(bool, prefill);
    const QString home = m_home.path() + QStringLiteral("/rejects/") + QString::fromLatin1(QTest::currentDataTag());
    MessagesSimulator simulator(home);
    QVERIFY(simulator.init());
    FillOptions options;
    options.messages = messages;
    options.chats = chats;
    options.handles = handles;
    if (prefill)
        QVERIFY(simulator.fill(options));
    auto result = simulator.fill(options);
    QVERIFY(!result);
    QCOMPARE(result.error().kind, SimulatorError::Kind::InvalidArgument);
    // A rejected fill leaves a usable WAL database with its indexes.
    ReadOnlyDb db(simulator.databasePath());
    QCOMPARE(db.value(QStringLiteral("PRAGMA journal_mode")).toString(), QStringLiteral("wal"));
    QVERIFY(db.value(QStringLiteral("SELECT COUNT(*) FROM sqlite_master WHERE type = 'index' AND sql IS NOT NULL")).toInt()
            > 25);
    QCOMPARE(db.value(QStringLiteral("SELECT COUNT(*) FROM message")).toInt(), prefill ? messages : 0);
}

// A reader that stays open, as the relay's watcher does, sees each append right after it returns.
void TestMessagesSimulator::appendsAreSeenByReadOnlyReader()
{
    const QString home = m_home.path() + QStringLiteral("/appends");
    MessagesSimulator simulator(home);
    QVERIFY(simulator.init());
    FillOptions options;
    options.messages = 200;
    options.chats = 6;
    options.handles = 8;
    QVERIFY(simulator.fill(options));
    ReadOnlyDb reader(simulator.databasePath());
    const qint64 before = reader.value(QStringLiteral("SELECT MAX(ROWID) FROM message")).toLongLong();
    const QString group = reader.value(QStringLiteral("SELECT guid FROM chat WHERE style = 43 LIMIT 1")).toString();
    QVERIFY(!group.isEmpty());

    auto incoming = simulator.addIncoming({QStringLiteral("+447700900123"), QStringLiteral("New person 👋")});
    QVERIFY2(incoming, qPrintable(incoming ? QString() : incoming.error().description()));
    QCOMPARE(incoming->rowId, before + 1);
    QCOMPARE(incoming->chatGuid, QStringLiteral("iMessage;-;+447700900123"));
    QVERIFY(QFileInfo::exists(simulator.databasePath() + QStringLiteral("-wal")));
    QCOMPARE(reader.value(QStringLiteral("SELECT MAX(ROWID) FROM message")).toLongLong(), incoming->rowId);
    QList<QVariantList> row = reader.rows(
        QStringLiteral("SELECT m.guid, m.is_from_me, h.id, j.chat_id, m.text, m.attributedBody, m.date FROM message m "
                       "JOIN handle h ON h.ROWID = m.handle_id JOIN chat_message_join j ON j.message_id = m.ROWID "
                       "WHERE m.ROWID = ?"),
        {incoming->rowId});
    QCOMPARE(row.size(), 1);
    QCOMPARE(row[0].at(0).toString(), incoming->guid);
    QCOMPARE(row[0].at(1).toInt(), 0);
    QCOMPARE(row[0].at(2).toString(), QStringLiteral("+447700900123"));
    QCOMPARE(row[0].at(3).toLongLong(), incoming->chatId);
    QVERIFY(row[0].at(4).isNull());
    QCOMPARE(bodyText(row[0].at(5)), QStringLiteral("New person 👋"));
    const qint64 nowNs = (QDateTime::currentMSecsSinceEpoch() - 978307200000LL) * 1000000;
    QVERIFY(qAbs(row[0].at(6).toLongLong() - nowNs) < 60LL * 1000000000);

    // A second message from the same person goes to the same chat.
    auto again = simulator.addIncoming({QStringLiteral("+447700900123"), QStringLiteral("Still me")});
    QVERIFY(again);
    QCOMPARE(again->chatId, incoming->chatId);

    auto intoGroup = simulator.addIncoming({QStringLiteral("guest@example.com"), QStringLiteral("hi all"), group});
    QVERIFY(intoGroup);
    QCOMPARE(intoGroup->chatGuid, group);
    QCOMPARE(reader.value(QStringLiteral("SELECT COUNT(*) FROM chat_handle_join j JOIN handle h ON h.ROWID = j.handle_id "
                                         "WHERE j.chat_id = ? AND h.id = 'guest@example.com'"),
                          {intoGroup->chatId})
                 .toInt(),
             1);

    auto outgoing = simulator.addOutgoing({QString(), group, QStringLiteral("Hello group")});
    QVERIFY(outgoing);
    row = reader.rows(QStringLiteral("SELECT is_from_me, handle_id, is_sent, destination_caller_id, cache_roomnames "
                                     "FROM message WHERE ROWID = ?"),
                      {outgoing->rowId});
    QCOMPARE(row[0].at(0).toInt(), 1);
    QCOMPARE(row[0].at(1).toInt(), 0);
    QCOMPARE(row[0].at(2).toInt(), 1);
    QVERIFY(!row[0].at(3).toString().isEmpty());
    QVERIFY(group.endsWith(row[0].at(4).toString()) || group.startsWith(QLatin1String("SMS")));

    auto direct = simulator.addOutgoing({QStringLiteral("+447700900123"), QString(), QStringLiteral("Reply")});
    QVERIFY(direct);
    QCOMPARE(direct->chatId, incoming->chatId);

    auto love = simulator.addTapback({QStringLiteral("p:0/") + incoming->guid, 2000});
    QVERIFY(love);
    auto custom = simulator.addTapback({incoming->guid, 2006, QStringLiteral("🎉"), QStringLiteral("+447700900123")});
    QVERIFY(custom);
    auto removed = simulator.addTapback({incoming->guid, 3006, QString(), QStringLiteral("+447700900123")});
    QVERIFY(removed);
    const QList<QVariantList> tapbacks = reader.rows(
        QStringLiteral("SELECT associated_message_guid, associated_message_type, associated_message_emoji, is_from_me, "
                       "attributedBody, associated_message_range_length, j.chat_id FROM message m "
                       "JOIN chat_message_join j ON j.message_id = m.ROWID WHERE m.ROWID IN (?, ?, ?) ORDER BY m.ROWID"),
        {love->rowId, custom->rowId, removed->rowId});
    QCOMPARE(tapbacks.size(), 3);
    for (const QVariantList &t : tapbacks) {
        QCOMPARE(t.at(0).toString(), QStringLiteral("p:0/") + incoming->guid);
        QCOMPARE(t.at(5).toInt(), QStringLiteral("New person 👋").size());
        QCOMPARE(t.at(6).toLongLong(), incoming->chatId);
    }
    QCOMPARE(tapbacks[0].at(1).toInt(), 2000);
    QCOMPARE(tapbacks[0].at(3).toInt(), 1);
    QCOMPARE(bodyText(tapbacks[0].at(4)), QStringLiteral("Loved “New person 👋”"));
    QCOMPARE(tapbacks[1].at(2).toString(), QStringLiteral("🎉"));
    QCOMPARE(tapbacks[1].at(3).toInt(), 0);
    QCOMPARE(bodyText(tapbacks[1].at(4)), QStringLiteral("Reacted 🎉 to “New person 👋”"));
    QCOMPARE(tapbacks[2].at(1).toInt(), 3006);
    QVERIFY(tapbacks[2].at(2).isNull());
    QCOMPARE(reader.value(QStringLiteral("SELECT MAX(ROWID) FROM message")).toLongLong(), removed->rowId);
}

void TestMessagesSimulator::appendsWithAttachmentsAndAudio()
{
    const QString home = m_home.path() + QStringLiteral("/attachments");
    MessagesSimulator simulator(home);
    QVERIFY(simulator.init());
    const QString source = m_home.path() + QStringLiteral("/photo.jpg");
    const QString sound = m_home.path() + QStringLiteral("/memo.caf");
    for (const QString &path : {source, sound}) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(QByteArray(1234, 'x'));
    }
    auto photo = simulator.addIncoming({QStringLiteral("a@example.com"), QStringLiteral("Look"), QString(), source});
    QVERIFY2(photo, qPrintable(photo ? QString() : photo.error().description()));
    QVERIFY(photo->attachmentRowId > 0);
    auto voice = simulator.addIncoming({QStringLiteral("a@example.com"), QString(), QString(), sound, QString(),
                                        QStringLiteral("Call me back")});
    QVERIFY(voice);
    auto sent = simulator.addOutgoing({QStringLiteral("a@example.com"), QString(), QString(), source});
    QVERIFY(sent);

    ReadOnlyDb reader(simulator.databasePath());
    const QList<QVariantList> rows = reader.rows(QStringLiteral(
        "SELECT a.filename, a.transfer_name, a.mime_type, a.uti, a.total_bytes, a.is_outgoing, a.user_info, "
        "m.is_audio_message, m.attributedBody, a.guid FROM attachment a JOIN message_attachment_join j "
        "ON j.attachment_id = a.ROWID JOIN message m ON m.ROWID = j.message_id ORDER BY m.ROWID"));
    QCOMPARE(rows.size(), 3);
    QCOMPARE(rows[0].at(0).toString(), photo->attachmentFilename);
    QCOMPARE(rows[0].at(1).toString(), QStringLiteral("photo.jpg"));
    QCOMPARE(rows[0].at(2).toString(), QStringLiteral("image/jpeg"));
    QCOMPARE(rows[0].at(3).toString(), QStringLiteral("public.jpeg"));
    QCOMPARE(rows[0].at(4).toLongLong(), 1234);
    QCOMPARE(bodyText(rows[0].at(8)), QString(QChar(0xFFFC)) + QStringLiteral("Look"));
    QVERIFY(rows[0].at(8).toByteArray().contains(rows[0].at(9).toString().toUtf8()));
    QVERIFY(QFileInfo(home + photo->attachmentFilename.mid(1)).isFile());
    QCOMPARE(rows[1].at(2).toString(), QStringLiteral("audio/x-caf"));
    QCOMPARE(rows[1].at(7).toInt(), 1);
    QCOMPARE(transcriptionIn(rows[1].at(6).toByteArray()), QStringLiteral("Call me back"));
    QCOMPARE(rows[2].at(5).toInt(), 1);
    QVERIFY(rows[2].at(0).toString() != rows[0].at(0).toString());
}

void TestMessagesSimulator::appendRejects_data()
{
    QTest::addColumn<int>("call");
    QTest::addColumn<int>("kind");
    const int invalid = int(SimulatorError::Kind::InvalidArgument);
    const int notFound = int(SimulatorError::Kind::NotFound);
    QTest::newRow("incoming without sender") << 0 << invalid;
    QTest::newRow("incoming into unknown chat") << 1 << notFound;
    QTest::newRow("incoming with missing file") << 2 << int(SimulatorError::Kind::File);
    QTest::newRow("outgoing with both address and chat") << 3 << invalid;
    QTest::newRow("tapback type out of range") << 4 << invalid;
    QTest::newRow("custom tapback without emoji") << 5 << invalid;
    QTest::newRow("emoji on a fixed tapback") << 6 << invalid;
    QTest::newRow("tapback on unknown message") << 7 << notFound;
    QTest::newRow("no database yet") << 8 << int(SimulatorError::Kind::DatabaseMissing);
}

void TestMessagesSimulator::appendRejects()
{
    QFETCH(int, call);
    QFETCH(int, kind);
    const QString home = m_home.path() + QStringLiteral("/appendrejects");
    MessagesSimulator simulator(call == 8 ? home + QStringLiteral("/none") : home);
    if (!QFileInfo::exists(simulator.databasePath()) && call != 8)
        QVERIFY(simulator.init());
    const QString missing = home + QStringLiteral("/missing.png");
    const QString sender = QStringLiteral("+12025550100");
    std::optional<SimulatorError> error;
    const auto check = [&](const auto &result) {
        if (!result)
            error = result.error();
    };
    switch (call) {
    case 0: check(simulator.addIncoming({QStringLiteral("  "), QStringLiteral("x")})); break;
    case 1: check(simulator.addIncoming({sender, QStringLiteral("x"), QStringLiteral("iMessage;+;chat0")})); break;
    case 2: check(simulator.addIncoming({sender, QStringLiteral("x"), QString(), missing})); break;
    case 3: check(simulator.addOutgoing({sender, QStringLiteral("iMessage;-;") + sender, QStringLiteral("x")})); break;
    case 4: check(simulator.addTapback({QStringLiteral("G"), 2007})); break;
    case 5: check(simulator.addTapback({QStringLiteral("G"), 2006})); break;
    case 6: check(simulator.addTapback({QStringLiteral("G"), 2001, QStringLiteral("🎉")})); break;
    case 7: check(simulator.addTapback({QStringLiteral("NO-SUCH-GUID"), 2001})); break;
    case 8: check(simulator.addIncoming({sender, QStringLiteral("x")})); break;
    }
    QVERIFY(error.has_value());
    QCOMPARE(int(error->kind), kind);
    QVERIFY(!error->description().isEmpty());
    if (call != 8) {
        // Nothing half-written.
        ReadOnlyDb reader(simulator.databasePath());
        QCOMPARE(reader.value(QStringLiteral("SELECT COUNT(*) FROM message")).toInt(), 0);
        QCOMPARE(reader.value(QStringLiteral("SELECT COUNT(*) FROM chat")).toInt(), 0);
    }
}

void TestMessagesSimulator::streamCarriesWriteTimes()
{
    const QString home = m_home.path() + QStringLiteral("/stream");
    MessagesSimulator simulator(home);
    QVERIFY(simulator.init());
    ReadOnlyDb reader(simulator.databasePath());
    QList<AppendResult> seen;
    StreamOptions options;
    options.rate = 50;
    options.durationSeconds = 0.4;
    options.senders = {QStringLiteral("+12025550100"), QStringLiteral("b@example.com")};
    options.onRow = [&](const AppendResult &row) { seen.append(row); };
    const qint64 startMs = QDateTime::currentMSecsSinceEpoch();
    auto summary = simulator.stream(options);
    const qint64 endMs = QDateTime::currentMSecsSinceEpoch();
    QVERIFY(summary);
    QCOMPARE(summary->rows, 20);
    QCOMPARE(seen.size(), 20);
    QCOMPARE(summary->firstRowId, seen.first().rowId);
    QCOMPARE(summary->lastRowId, seen.last().rowId);
    QVERIFY(summary->elapsedMs >= 370);

    const QList<QVariantList> rows = reader.rows(QStringLiteral(
        "SELECT m.attributedBody, h.id FROM message m JOIN handle h ON h.ROWID = m.handle_id ORDER BY m.ROWID"));
    QCOMPARE(rows.size(), 20);
    qint64 previous = 0;
    for (int i = 0; i < rows.size(); ++i) {
        const auto marker = MessagesSimulator::parseStreamMarker(bodyText(rows[i].at(0)));
        QVERIFY(marker.has_value());
        QCOMPARE(marker->first, i + 1);
        QVERIFY(marker->second >= startMs && marker->second <= endMs);
        QVERIFY(marker->second >= previous);
        previous = marker->second;
        QCOMPARE(rows[i].at(1).toString(), options.senders.at(i % 2));
    }
    QVERIFY(!MessagesSimulator::parseStreamMarker(u"no marker").has_value());
    QVERIFY(!simulator.stream({0, 1}));
}

QTEST_MAIN(TestMessagesSimulator)
#include "tst_messagessimulator.moc"
