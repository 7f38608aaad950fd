// MessageStore on real SQLite files: databases built from real macOS schema dumps (and one
// without the optional columns) filled by the test, and a real macOS 15 database.

#include "chatdbfixture.h"

#include <messagestore.h>
#include <testsupport.h>

#include <QCoroTask>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QtConcurrent>

#include <plist/plist.h>

using namespace velto;
using velto::test::ChatDbFixture;
using velto::test::archivedBody;
using velto::test::messagesTime;

namespace {

const QString schemaExporter = QStringLiteral("schema-imessage-exporter-testdb.sql");
const QString schemaKch = QStringLiteral("schema-kch-imsg-grep.sql");
const QString schemaSavquinn = QStringLiteral("schema-savquinn-savs_ai.sql");
const QString noOptionalColumns = QStringLiteral("no optional columns");

constexpr qint64 base = 700000000; // seconds since 2001

QByteArray binaryPlist(const QVariantMap& entries)
{
    plist_t dict = plist_new_dict();
    for (auto it = entries.cbegin(); it != entries.cend(); ++it)
        plist_dict_set_item(dict, it.key().toUtf8().constData(), plist_new_string(it.value().toString().toUtf8().constData()));
    char* data = nullptr;
    uint32_t length = 0;
    plist_to_bin(dict, &data, &length);
    QByteArray bytes(data, qsizetype(length));
    plist_to_bin_free(data);
    plist_free(dict);
    return bytes;
}

QByteArray fixtureBytes(const QString& relativePath)
{
    QFile file(QDir(velto::test::fixturesDir()).filePath(relativePath));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The scenario every schema variant gets, with the row ids it was given.
struct Scenario {
    qint64 chat = 0, group = 0;
    qint64 hello = 0, fromBody = 0, reply = 0, like = 0, groupHi = 0, orphan = 0;
    QString helloGUID;
};

} // namespace

class TestMessageStore : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<velto::test::TemporaryHome> m_home;
    int m_databases = 0;

    // A fresh database of the given variant in the temporary home; nullopt after a QSKIP/QFAIL.
    std::optional<ChatDbFixture> makeDatabase(const QString& variant)
    {
        const QString path = QDir(m_home->path()).filePath(QStringLiteral("chat-%1.db").arg(++m_databases));
        QString error;
        std::optional<ChatDbFixture> fixture;
        if (variant == noOptionalColumns) {
            fixture = ChatDbFixture::withoutOptionalColumns(path, &error);
        } else {
            const QString fixtures = velto::test::fixturesDir();
            if (fixtures.isEmpty())
                return std::nullopt;
            const QString dir = QDir(fixtures).filePath(QStringLiteral("chatdb-schema"));
            // The macOS 14 dump holds only message, chat and handle: the other tables come from
            // a full dump of the same era.
            const QString extra = variant == schemaSavquinn ? QDir(dir).filePath(schemaExporter) : QString();
            fixture = ChatDbFixture::fromSchemaFile(path, QDir(dir).filePath(variant), extra, &error);
        }
        if (!fixture)
            qWarning() << "could not build" << variant << ":" << error;
        return fixture;
    }

    Scenario fillScenario(ChatDbFixture& db)
    {
        Scenario s;
        const qint64 phone = db.addHandle(QStringLiteral("+15550001111"));
        const qint64 friendHandle = db.addHandle(QStringLiteral("friend@example.com"));
        const qint64 phoneSms = db.addHandle(QStringLiteral("+15550001111"), QStringLiteral("SMS"));
        const qint64 blank = db.addHandle(QString(), QStringLiteral("SMS"));
        s.chat = db.addChat(QStringLiteral("+15550001111"));
        s.group = db.addChat(QStringLiteral("chat123456"), 43, QStringLiteral("Team"));
        db.addParticipant(s.chat, phone);
        for (qint64 handle : {friendHandle, phone, phoneSms, blank})
            db.addParticipant(s.group, handle);

        s.helloGUID = QStringLiteral("AAAA-HELLO");
        s.hello = db.addMessage(s.chat, {{QStringLiteral("guid"), s.helloGUID}, {QStringLiteral("handle_id"), phone},
                                         {QStringLiteral("text"), QStringLiteral("Hello")},
                                         {QStringLiteral("date"), messagesTime(base)}});
        s.fromBody = db.addMessage(s.chat, {{QStringLiteral("handle_id"), qint64(0)}, {QStringLiteral("text"), QVariant()},
                                            {QStringLiteral("attributedBody"), archivedBody(QStringLiteral("Sent from the body"))},
                                            {QStringLiteral("is_from_me"), 1}, {QStringLiteral("is_sent"), 1},
                                            {QStringLiteral("error"), qint64(0)},
                                            {QStringLiteral("destination_caller_id"), QStringLiteral("me@example.com")},
                                            {QStringLiteral("date"), messagesTime(base + 10)}});
        s.reply = db.addMessage(s.chat, {{QStringLiteral("handle_id"), phone}, {QStringLiteral("text"), QStringLiteral("Replying")},
                                         {QStringLiteral("associated_message_guid"), QString(QStringLiteral("p:0/") + s.helloGUID)},
                                         {QStringLiteral("associated_message_type"), qint64(0)},
                                         {QStringLiteral("thread_originator_guid"), s.helloGUID},
                                         {QStringLiteral("date"), messagesTime(base + 20)}});
        s.like = db.addMessage(s.chat, {{QStringLiteral("handle_id"), phone},
                                        {QStringLiteral("text"), QStringLiteral("Liked \u201CHello\u201D")},
                                        {QStringLiteral("associated_message_guid"), QString(QStringLiteral("p:0/") + s.helloGUID)},
                                        {QStringLiteral("associated_message_type"), 2001},
                                        {QStringLiteral("date"), messagesTime(base + 30)}});
        s.groupHi = db.addMessage(s.group, {{QStringLiteral("handle_id"), friendHandle},
                                            {QStringLiteral("text"), QStringLiteral("Group hi")},
                                            {QStringLiteral("is_sent"), 1}, {QStringLiteral("error"), 4},
                                            {QStringLiteral("date"), messagesTime(base + 40)}});
        db.addAttachment(s.groupHi, {{QStringLiteral("filename"), QStringLiteral("~/Library/Messages/Attachments/ab/IMG_1.jpg")},
                                     {QStringLiteral("transfer_name"), QStringLiteral("IMG_1.jpg")},
                                     {QStringLiteral("mime_type"), QStringLiteral("image/jpeg")},
                                     {QStringLiteral("uti"), QStringLiteral("public.jpeg")},
                                     {QStringLiteral("total_bytes"), 1234}});
        db.addAttachment(s.groupHi, {{QStringLiteral("filename"), QVariant()}, {QStringLiteral("total_bytes"), QVariant()},
                                     {QStringLiteral("is_sticker"), 1}});
        s.orphan = db.addMessage(0, {{QStringLiteral("handle_id"), friendHandle}, {QStringLiteral("text"), QStringLiteral("Orphan")},
                                     {QStringLiteral("date"), messagesTime(base + 50)}});
        return s;
    }

    static QStringList texts(const QList<Message>& messages)
    {
        QStringList result;
        for (const Message& message : messages)
            result << message.text;
        return result;
    }

private Q_SLOTS:
    void init()
    {
        m_home = std::make_unique<velto::test::TemporaryHome>();
        QVERIFY(m_home->isValid());
    }

    void cleanup() { m_home.reset(); }

    void everySchemaAnswersEveryQuery_data()
    {
        QTest::addColumn<QString>("variant");
        QTest::addColumn<QString>("flags"); // the eight schema flags, in declaration order
        QTest::newRow("macOS 15 (full dump)") << schemaExporter << "11111111";
        QTest::newRow("macOS 15 (tables only)") << schemaKch << "11111111";
        QTest::newRow("macOS 14") << schemaSavquinn << "11111110";
        QTest::newRow("no optional columns") << noOptionalColumns << "00000000";
    }

    void everySchemaAnswersEveryQuery()
    {
        QFETCH(QString, variant);
        QFETCH(QString, flags);
        auto db = makeDatabase(variant);
        if (!db && variant != noOptionalColumns && velto::test::fixturesDir().isEmpty())
            QSKIP("shared fixtures folder absent: real schema dumps not available");
        QVERIFY(db);
        const Scenario s = fillScenario(*db);
        QVERIFY(s.orphan > 0);

        auto opened = MessageStore::open(db->path());
        QVERIFY2(opened, qPrintable(opened.ok() ? QString() : opened.error().description()));
        auto store = opened.value();
        const MessageStoreSchema& schema = store->schema();
        const QString probed = QString::number(schema.hasAttributedBody) + QString::number(schema.hasReactionColumns)
            + QString::number(schema.hasThreadOriginatorGUIDColumn) + QString::number(schema.hasDestinationCallerID)
            + QString::number(schema.hasAudioMessageColumn) + QString::number(schema.hasAttachmentUserInfo)
            + QString::number(schema.hasBalloonBundleIDColumn) + QString::number(schema.hasAssociatedMessageEmoji);
        QCOMPARE(probed, flags);
        const bool full = schema.hasReactionColumns;

        QCOMPARE(store->maxRowID().value(), s.orphan);

        // Rows after a row id, tapbacks left out.
        auto after = store->messagesAfter(0, std::nullopt, 100);
        QVERIFY2(after, qPrintable(after.ok() ? QString() : after.error().description()));
        QStringList expected{QStringLiteral("Hello"), full ? QStringLiteral("Sent from the body") : QString(),
                             QStringLiteral("Replying")};
        if (!full)
            expected << QStringLiteral("Liked \u201CHello\u201D");
        expected << QStringLiteral("Group hi") << QStringLiteral("Orphan");
        QCOMPARE(texts(after.value()), expected);

        const Message& hello = after->at(0);
        QCOMPARE(hello.rowID, s.hello);
        QCOMPARE(hello.chatID, s.chat);
        QCOMPARE(hello.sender, QStringLiteral("+15550001111"));
        QCOMPARE(hello.guid, full ? s.helloGUID : QString());
        QCOMPARE(hello.date, QDateTime::fromSecsSinceEpoch(978307200 + base, QTimeZone::utc()));
        QVERIFY(!hello.isFromMe);
        QCOMPARE(hello.service, QStringLiteral("iMessage"));
        QVERIFY(!hello.isReaction);

        const Message& fromBody = after->at(1);
        QVERIFY(fromBody.isFromMe);
        QVERIFY(fromBody.isSent);
        QCOMPARE(fromBody.handleID, std::optional<qint64>(0));
        // No handle: the account address stands in as the sender where the schema has it.
        QCOMPARE(fromBody.sender, full ? QStringLiteral("me@example.com") : QString());
        QCOMPARE(fromBody.destinationCallerID, full ? std::optional<QString>(QStringLiteral("me@example.com")) : std::nullopt);

        const Message& reply = after->at(2);
        QCOMPARE(reply.replyToGUID, full ? std::optional<QString>(s.helloGUID) : std::nullopt);
        QCOMPARE(reply.threadOriginatorGUID, full ? std::optional<QString>(s.helloGUID) : std::nullopt);

        const Message& groupHi = after->at(full ? 3 : 4);
        QCOMPARE(groupHi.chatID, s.group);
        QCOMPARE(groupHi.attachmentsCount, 2);
        QCOMPARE(groupHi.sendError, 4);
        QCOMPARE(after->last().chatID, qint64(0)); // no chat link, none requested

        // The same, restricted to one chat; a row without a link takes the requested id.
        auto inChat = store->messagesAfter(s.hello, s.chat, 100, true);
        QVERIFY(inChat);
        QCOMPARE(inChat->size(), 3);
        const Message& like = inChat->at(2);
        QCOMPARE(like.rowID, s.like);
        QCOMPARE(like.isReaction, full);
        if (full) {
            QCOMPARE(like.reactionType, std::optional<ReactionType>(ReactionType::like()));
            QCOMPARE(like.isReactionAdd, std::optional<bool>(true));
            QCOMPARE(like.reactedToGUID, std::optional<QString>(s.helloGUID));
            QVERIFY(!like.replyToGUID);
        }
        QCOMPARE(store->messagesAfter(s.orphan, std::nullopt, 100).value().size(), 0);
        auto limited = store->messagesAfter(0, std::nullopt, 2);
        QVERIFY(limited);
        QCOMPARE(limited->size(), 2);

        // Chat history: newest first, tapbacks out, every row in the requested chat.
        auto history = store->messages(s.chat, 10);
        QVERIFY2(history, qPrintable(history.ok() ? QString() : history.error().description()));
        expected = QStringList{QStringLiteral("Replying"), full ? QStringLiteral("Sent from the body") : QString(),
                               QStringLiteral("Hello")};
        if (!full)
            expected.prepend(QStringLiteral("Liked \u201CHello\u201D"));
        QCOMPARE(texts(history.value()), expected);
        for (const Message& message : history.value()) {
            QCOMPARE(message.chatID, s.chat);
            QVERIFY(!message.isReaction);
        }
        QCOMPARE(store->messages(s.chat, 1).value().size(), 1);

        auto filtered = store->messages(s.chat, 10,
                                        MessageFilter{{QStringLiteral("ME@example.com")},
                                                      QDateTime::fromSecsSinceEpoch(978307200 + base + 5, QTimeZone::utc()),
                                                      std::nullopt});
        QVERIFY(filtered);
        // Matched through the account address where the schema has one.
        QCOMPARE(texts(filtered.value()), full ? QStringList{QStringLiteral("Sent from the body")} : QStringList{});
        auto window = store->messages(s.chat, 10,
                                      MessageFilter{{}, QDateTime::fromSecsSinceEpoch(978307200 + base, QTimeZone::utc()),
                                                    QDateTime::fromSecsSinceEpoch(978307200 + base + 20, QTimeZone::utc())});
        QVERIFY(window);
        QCOMPARE(window->size(), 2); // start inclusive, end exclusive

        // Chats by latest activity (tapbacks count there).
        auto chats = store->listChats(10);
        QVERIFY(chats);
        QCOMPARE(chats->size(), 2);
        QCOMPARE(chats->at(0).id, s.group);
        QCOMPARE(chats->at(0).name, QStringLiteral("Team"));
        QCOMPARE(chats->at(1).name, QStringLiteral("+15550001111")); // no display name: the identifier
        QCOMPARE(chats->at(1).lastMessageAt, QDateTime::fromSecsSinceEpoch(978307200 + base + 30, QTimeZone::utc()));

        auto info = store->chatInfo(s.group);
        QVERIFY(info && info->has_value());
        QCOMPARE(info.value()->identifier, QStringLiteral("chat123456"));
        QCOMPARE(info.value()->guid, QStringLiteral("iMessage;+;chat123456"));
        QCOMPARE(info.value()->name, QStringLiteral("Team"));
        QCOMPARE(info.value()->service, QStringLiteral("iMessage"));
        QVERIFY(!store->chatInfo(999).value().has_value());

        QCOMPARE(store->participants(s.group).value(),
                 (QStringList{QStringLiteral("+15550001111"), QStringLiteral("friend@example.com")}));
        QVERIFY(store->participants(999).value().isEmpty());

        auto attachments = store->attachments(s.groupHi);
        QVERIFY(attachments);
        QCOMPARE(attachments->size(), 2);
        QCOMPARE(attachments->at(0).transferName, QStringLiteral("IMG_1.jpg"));
        QCOMPARE(attachments->at(0).totalBytes, qint64(1234));
        QCOMPARE(attachments->at(1).totalBytes, qint64(0));
        QVERIFY(attachments->at(1).isSticker);

        auto reactions = store->reactions(s.hello);
        QVERIFY(reactions);
        QCOMPARE(reactions->size(), full ? 1 : 0);
        auto events = store->reactionEventsAfter(0, std::nullopt, 100);
        QVERIFY(events);
        QCOMPARE(events->size(), full ? 1 : 0);
        if (full) {
            const ReactionEvent& event = events->at(0);
            QCOMPARE(event.rowID, s.like);
            QCOMPARE(event.chatID, s.chat);
            QCOMPARE(event.reactionType, ReactionType::like());
            QVERIFY(event.isAdd);
            QCOMPARE(event.sender, QStringLiteral("+15550001111"));
            QCOMPARE(event.reactedToGUID, s.helloGUID);
            QCOMPARE(event.reactedToID, std::optional<qint64>(s.hello));
            QCOMPARE(event.text, QStringLiteral("Liked \u201CHello\u201D"));
            QCOMPARE(reactions->at(0).associatedMessageID, s.hello);
            QCOMPARE(reactions->at(0).rowID, s.like);
        }
    }

    void missingTablesFailQueriesButNotTheStore()
    {
        const QString fixtures = velto::test::fixturesDir();
        if (fixtures.isEmpty())
            QSKIP("shared fixtures folder absent: real schema dumps not available");
        // The macOS 14 dump as it stands: message, chat, handle only.
        const QString path = QDir(m_home->path()).filePath(QStringLiteral("partial.db"));
        auto db = ChatDbFixture::fromSchemaFile(path, QDir(fixtures).filePath(QStringLiteral("chatdb-schema/") + schemaSavquinn));
        QVERIFY(db);
        db->addMessage(0, {{QStringLiteral("text"), QStringLiteral("only row")}});

        auto store = MessageStore::open(path).value();
        QVERIFY(!store->schema().hasAttachmentUserInfo);
        auto after = store->messagesAfter(0, std::nullopt, 10);
        QVERIFY(!after);
        QCOMPARE(after.error().kind(), TolkaError::Kind::database);
        QCOMPARE(after.error().description(), QStringLiteral("no such table: chat_message_join (1)"));
        QVERIFY(!store->participants(1));
        QCOMPARE(store->maxRowID().value(), qint64(1));
    }

    void openFailures()
    {
        const QString missing = QDir(m_home->path()).filePath(QStringLiteral("Library/Messages/chat.db"));
        auto denied = MessageStore::open(QStringLiteral("~/Library/Messages/chat.db"));
        QVERIFY(!denied);
        QCOMPARE(denied.error().kind(), TolkaError::Kind::permissionDenied);
        QCOMPARE(denied.error().value(), missing); // "~" expanded to the home directory
        QVERIFY(denied.error().description().startsWith(QStringLiteral("unable to open database file (14)\n\n")));
        QCOMPARE(MessageStore::defaultPath(), missing);

        // A file that is no database opens (the schema probe finds nothing) and every query
        // then fails with SQLite's own text.
        const QString junk = QDir(m_home->path()).filePath(QStringLiteral("junk.db"));
        QFile file(junk);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(QByteArray(4096, 'x'));
        file.close();
        auto store = MessageStore::open(junk);
        QVERIFY(store);
        QCOMPARE(store.value()->schema().hasReactionColumns, false);
        auto max = store.value()->maxRowID();
        QVERIFY(!max);
        QCOMPARE(max.error().description(), QStringLiteral("file is not a database (26)"));
    }

    void emptyTable()
    {
        auto db = makeDatabase(noOptionalColumns);
        QVERIFY(db);
        auto store = MessageStore::open(db->path()).value();
        QCOMPARE(store->maxRowID().value(), qint64(0));
        QVERIFY(store->messagesAfter(0, std::nullopt, 10).value().isEmpty());
        QVERIFY(store->listChats(10).value().isEmpty());
    }

    void givenFlagsOverrideTheProbe()
    {
        auto db = makeDatabase(noOptionalColumns);
        QVERIFY(db);
        db->addMessage(0, {{QStringLiteral("text"), QStringLiteral("x")}});
        auto connection = db::Connection::openReadOnly(db->path());
        QVERIFY(connection);
        MessageStoreSchemaOverrides overrides;
        overrides.hasBalloonBundleIDColumn = true; // the column is not there: queries must fail
        auto store = MessageStore::open(std::move(connection).value(), db->path(), overrides);
        QVERIFY(store->schema().hasBalloonBundleIDColumn);
        QVERIFY(!store->schema().hasAttributedBody);
        auto after = store->messagesAfter(0, std::nullopt, 10);
        QVERIFY(!after);
        QCOMPARE(after.error().description(), QStringLiteral("no such column: m.balloon_bundle_id (1)"));
    }

    void customTapbackEmoji_data()
    {
        QTest::addColumn<QString>("variant");
        QTest::addColumn<QVariant>("text");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QVariant>("storedEmoji");
        QTest::addColumn<QString>("emoji"); // empty: no kind can be built

        const QVariant reacted = QStringLiteral("Reacted \U0001F389 to \u201CHello\u201D");
        QTest::newRow("stored emoji wins") << schemaExporter << reacted << QByteArray()
                                           << QVariant(QStringLiteral("\U0001FAE0")) << QStringLiteral("\U0001FAE0");
        QTest::newRow("empty stored emoji: from the text") << schemaExporter << reacted << QByteArray()
                                                           << QVariant(QString()) << QStringLiteral("\U0001F389");
        QTest::newRow("NULL stored emoji: from the text") << schemaExporter << reacted << QByteArray() << QVariant()
                                                          << QStringLiteral("\U0001F389");
        QTest::newRow("text only in the body") << schemaExporter << QVariant() << archivedBody(QStringLiteral("Reacted \U0001F525 to \u201Cx\u201D"))
                                               << QVariant() << QStringLiteral("\U0001F525");
        QTest::newRow("older schema reads the text") << schemaSavquinn << reacted << QByteArray()
                                                     << QVariant(QStringLiteral("\U0001FAE0")) << QStringLiteral("\U0001F389");
        QTest::newRow("no emoji anywhere") << schemaExporter << QVariant(QStringLiteral("Reacted")) << QByteArray()
                                           << QVariant() << QString();
    }

    void customTapbackEmoji()
    {
        QFETCH(QString, variant);
        QFETCH(QVariant, text);
        QFETCH(QByteArray, body);
        QFETCH(QVariant, storedEmoji);
        QFETCH(QString, emoji);
        auto db = makeDatabase(variant);
        if (!db)
            QSKIP("shared fixtures folder absent: real schema dumps not available");
        const qint64 handle = db->addHandle(QStringLiteral("friend@example.com"));
        const qint64 chat = db->addChat(QStringLiteral("friend@example.com"));
        const qint64 target = db->addMessage(chat, {{QStringLiteral("guid"), QStringLiteral("TARGET")},
                                                    {QStringLiteral("text"), QStringLiteral("Hello")},
                                                    {QStringLiteral("date"), messagesTime(base)}});
        QVariantMap values{{QStringLiteral("handle_id"), handle}, {QStringLiteral("text"), text},
                           {QStringLiteral("associated_message_guid"), QStringLiteral("p:0/TARGET")},
                           {QStringLiteral("associated_message_type"), 2006},
                           {QStringLiteral("associated_message_emoji"), storedEmoji},
                           {QStringLiteral("date"), messagesTime(base + 1)}};
        if (!body.isEmpty())
            values.insert(QStringLiteral("attributedBody"), body);
        const qint64 tapback = db->addMessage(chat, values);
        auto store = MessageStore::open(db->path()).value();

        auto rows = store->messagesAfter(target, std::nullopt, 10, true);
        QVERIFY(rows);
        QCOMPARE(rows->size(), 1);
        QVERIFY(rows->at(0).isReaction);
        QCOMPARE(rows->at(0).reactionType.has_value(), !emoji.isEmpty());
        auto events = store->reactionEventsAfter(0, std::nullopt, 10);
        auto standing = store->reactions(target);
        QVERIFY(events && standing);
        QCOMPARE(events->size(), emoji.isEmpty() ? 0 : 1); // a kind that cannot be built is skipped
        QCOMPARE(standing->size(), emoji.isEmpty() ? 0 : 1);
        if (!emoji.isEmpty()) {
            QCOMPARE(rows->at(0).reactionType, ReactionType::custom(emoji));
            QCOMPARE(events->at(0).reactionType, ReactionType::custom(emoji));
            QCOMPARE(events->at(0).rowID, tapback);
            QCOMPARE(standing->at(0).reactionType, ReactionType::custom(emoji));
        }
    }

    void tapbacksOnOneMessage()
    {
        auto db = makeDatabase(schemaExporter);
        if (!db)
            QSKIP("shared fixtures folder absent: real schema dumps not available");
        const qint64 a = db->addHandle(QStringLiteral("a@example.com"));
        const qint64 b = db->addHandle(QStringLiteral("b@example.com"));
        const qint64 chat = db->addChat(QStringLiteral("chat1"), 43);
        const qint64 target = db->addMessage(chat, {{QStringLiteral("guid"), QStringLiteral("T")},
                                                    {QStringLiteral("text"), QStringLiteral("x")},
                                                    {QStringLiteral("date"), messagesTime(base)}});
        // Rows are written out of date order on purpose: aggregation follows the dates.
        struct Row { qint64 handle; int fromMe; int type; const char* guid; const char16_t* text; qint64 second; };
        const Row rows[] = {
            {a, 0, 2001, "p:0/T", u"Liked \u201Cx\u201D", 1},
            {b, 0, 2006, "T", u"Reacted \U0001F389 to \u201Cx\u201D", 2},
            {0, 1, 2000, "p:1/T", u"Loved \u201Cx\u201D", 3},
            {a, 0, 3001, "p:0/T", u"Removed a like from \u201Cx\u201D", 5},
            {b, 0, 3006, "T", u"Removed a reaction", 6}, // names no emoji: b's custom one goes
            {a, 0, 2003, "p:0/T", u"Laughed at \u201Cx\u201D", 4},
            {a, 0, 2002, "OTHER", u"Disliked \u201Cy\u201D", 7}, // another message
        };
        for (const Row& row : rows) {
            db->addMessage(chat, {{QStringLiteral("handle_id"), row.handle}, {QStringLiteral("is_from_me"), row.fromMe},
                                  {QStringLiteral("associated_message_type"), row.type},
                                  {QStringLiteral("associated_message_guid"), QString::fromLatin1(row.guid)},
                                  {QStringLiteral("text"), QString::fromUtf16(row.text)},
                                  {QStringLiteral("date"), messagesTime(base + row.second)}});
        }
        auto store = MessageStore::open(db->path()).value();
        auto standing = store->reactions(target);
        QVERIFY(standing);
        QStringList got;
        for (const Reaction& r : standing.value())
            got << (r.isFromMe ? QStringLiteral("me") : r.sender) + QLatin1Char(':') + r.reactionType.name();
        QCOMPARE(got, (QStringList{QStringLiteral("me:love"), QStringLiteral("a@example.com:laugh")}));
        QVERIFY(store->reactions(12345).value().isEmpty());

        // The events keep additions and removals in row order, with the target found where it
        // exists; the custom removal that names no emoji has no kind and is left out.
        auto events = store->reactionEventsAfter(target, chat, 100);
        QVERIFY(events);
        QStringList kinds;
        for (const ReactionEvent& e : events.value())
            kinds << (e.isAdd ? QStringLiteral("+") : QStringLiteral("-")) + e.reactionType.name();
        QCOMPARE(kinds, (QStringList{QStringLiteral("+like"), QStringLiteral("+custom"), QStringLiteral("+love"),
                                     QStringLiteral("-like"), QStringLiteral("+laugh"), QStringLiteral("+dislike")}));
        QCOMPARE(events->at(1).reactionType.emoji(), QStringLiteral("\U0001F389"));
        QVERIFY(events->at(2).isFromMe);
        QCOMPARE(events->at(2).reactedToGUID, QStringLiteral("T"));
        QCOMPARE(events->at(2).reactedToID, std::optional<qint64>(target));
        QCOMPARE(events->at(5).reactedToID, std::optional<qint64>());
        QCOMPARE(store->reactionEventsAfter(target, chat, 2).value().size(), 2);
    }

    void linkPreviewRowsAreDeduplicated()
    {
        auto db = makeDatabase(schemaExporter);
        if (!db)
            QSKIP("shared fixtures folder absent: real schema dumps not available");
        const qint64 handle = db->addHandle(QStringLiteral("friend@example.com"));
        const qint64 chat = db->addChat(QStringLiteral("friend@example.com"));
        const QString provider = QStringLiteral("com.apple.messages.URLBalloonProvider");
        auto preview = [&](const QString& url, qint64 second) {
            return db->addMessage(chat, {{QStringLiteral("handle_id"), handle}, {QStringLiteral("text"), url},
                                         {QStringLiteral("balloon_bundle_id"), provider},
                                         {QStringLiteral("date"), messagesTime(base + second)}});
        };
        const QString a = QStringLiteral("https://example.com/a");
        const QString b = QStringLiteral("https://example.com/b");
        const qint64 first = preview(a, 0);
        preview(a, 30);   // duplicate
        const qint64 late = preview(b, 100);
        const qint64 lateAgain = preview(b, 220); // 120 s later: a new message
        const qint64 plain = db->addMessage(chat, {{QStringLiteral("handle_id"), handle}, {QStringLiteral("text"), a},
                                                   {QStringLiteral("date"), messagesTime(base + 221)}});

        auto store = MessageStore::open(db->path()).value();
        auto rows = store->messagesAfter(0, std::nullopt, 100);
        QVERIFY(rows);
        QList<qint64> ids;
        for (const Message& m : rows.value())
            ids << m.rowID;
        QCOMPARE(ids, (QList<qint64>{first, late, lateAgain, plain}));

        // A reader that pages with a limit of one still gets past a skipped duplicate.
        auto paging = MessageStore::open(db->path()).value();
        QList<qint64> paged;
        qint64 cursor = 0;
        for (int i = 0; i < 10; ++i) {
            auto page = paging->messagesAfter(cursor, std::nullopt, 1);
            QVERIFY(page);
            if (page->isEmpty())
                break;
            QCOMPARE(page->size(), 1);
            paged << page->at(0).rowID;
            cursor = page->at(0).rowID;
        }
        QCOMPARE(paged, ids);
    }

    void audioTranscription_data()
    {
        QTest::addColumn<int>("audio");
        QTest::addColumn<QByteArray>("userInfo");
        QTest::addColumn<QString>("bodyFixture"); // attributed-bodies/… or empty
        QTest::addColumn<QString>("text");

        const QByteArray transcribed = binaryPlist({{QStringLiteral("audio-transcription"), QStringLiteral("Call me back")}});
        const QByteArray empty = binaryPlist({{QStringLiteral("audio-transcription"), QString()}});
        const QByteArray other = binaryPlist({{QStringLiteral("pgens"), QStringLiteral("x")}});
        const QString placeholder = QStringLiteral("\uFFFC");
        QTest::newRow("from user_info") << 1 << transcribed << QString() << "Call me back";
        QTest::newRow("not an audio message") << 0 << transcribed << QString() << placeholder;
        QTest::newRow("empty transcription") << 1 << empty << QString() << placeholder;
        QTest::newRow("no such entry") << 1 << other << QString() << placeholder;
        QTest::newRow("unreadable list") << 1 << QByteArray("bplist00garbage") << QString() << placeholder;
        QTest::newRow("no user_info") << 1 << QByteArray() << QString() << placeholder;
        QTest::newRow("from the body's attributes") << 1 << QByteArray() << "crabstep_Transcription.bin" << "This is a test";
        QTest::newRow("user_info before the body") << 1 << transcribed << "crabstep_Transcription.bin" << "Call me back";
        QTest::newRow("body of an ordinary message") << 0 << QByteArray() << "crabstep_Transcription.bin" << placeholder;
    }

    void audioTranscription()
    {
        QFETCH(int, audio);
        QFETCH(QByteArray, userInfo);
        QFETCH(QString, bodyFixture);
        QFETCH(QString, text);
        auto db = makeDatabase(schemaExporter);
        if (!db)
            QSKIP("shared fixtures folder absent: real schema dumps not available");
        QVariantMap values{{QStringLiteral("is_audio_message"), audio}, {QStringLiteral("date"), messagesTime(base)}};
        if (bodyFixture.isEmpty()) {
            values.insert(QStringLiteral("text"), QStringLiteral("\uFFFC"));
        } else {
            const QByteArray body = fixtureBytes(QStringLiteral("attributed-bodies/") + bodyFixture);
            QVERIFY(!body.isEmpty());
            values.insert(QStringLiteral("attributedBody"), body);
        }
        const qint64 row = db->addMessage(0, values);
        if (!userInfo.isEmpty() || bodyFixture.isEmpty())
            db->addAttachment(row, {{QStringLiteral("filename"), QStringLiteral("~/Audio Message.caf")},
                                    {QStringLiteral("user_info"), userInfo.isEmpty() ? QVariant() : QVariant(userInfo)}});
        auto store = MessageStore::open(db->path()).value();
        auto rows = store->messagesAfter(0, std::nullopt, 10);
        QVERIFY(rows);
        QCOMPARE(rows->size(), 1);
        QCOMPARE(rows->at(0).text, text);
    }

    void attachmentFilesAreResolved()
    {
        auto db = makeDatabase(noOptionalColumns);
        QVERIFY(db);
        const QString home = m_home->path();
        QVERIFY(QDir(home).mkpath(QStringLiteral("Library/Messages/Attachments/ab/folder.jpg")));
        QFile file(QDir(home).filePath(QStringLiteral("Library/Messages/Attachments/ab/IMG_1.jpg")));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("jpeg");
        file.close();
        const qint64 message = db->addMessage(0, {{QStringLiteral("text"), QString()}});
        for (const QString& name : {QStringLiteral("~/Library/Messages/Attachments/ab/IMG_1.jpg"),
                                    QStringLiteral("~/Library/Messages/Attachments/ab/folder.jpg"),
                                    QStringLiteral("~/Library/Messages/Attachments/ab/gone.jpg"), QString()}) {
            db->addAttachment(message, {{QStringLiteral("filename"), name.isNull() ? QVariant() : QVariant(name)}});
        }
        auto store = MessageStore::open(db->path()).value();
        auto attachments = store->attachments(message);
        QVERIFY(attachments);
        QCOMPARE(attachments->size(), 4);
        QCOMPARE(attachments->at(0).filename, QStringLiteral("~/Library/Messages/Attachments/ab/IMG_1.jpg"));
        QCOMPARE(attachments->at(0).originalPath, QDir(home).filePath(QStringLiteral("Library/Messages/Attachments/ab/IMG_1.jpg")));
        QVERIFY(!attachments->at(0).missing);
        QVERIFY(attachments->at(1).missing); // a directory
        QVERIFY(attachments->at(2).missing);
        QVERIFY(attachments->at(3).originalPath.isEmpty());
        QVERIFY(attachments->at(3).missing);
    }

    void realMacOS15Database()
    {
        const QString fixtures = velto::test::fixturesDir();
        if (fixtures.isEmpty())
            QSKIP("shared fixtures folder absent: small-macos15.db not available");
        const QString path = QDir(fixtures).filePath(QStringLiteral("databases/small-macos15.db"));
        auto opened = MessageStore::open(path);
        QVERIFY2(opened, qPrintable(opened.ok() ? QString() : opened.error().description()));
        auto store = opened.value();
        const MessageStoreSchema& schema = store->schema();
        QVERIFY(schema.hasAttributedBody && schema.hasReactionColumns && schema.hasThreadOriginatorGUIDColumn
                && schema.hasDestinationCallerID && schema.hasAudioMessageColumn && schema.hasAttachmentUserInfo
                && schema.hasBalloonBundleIDColumn && schema.hasAssociatedMessageEmoji);
        QCOMPARE(store->maxRowID().value(), qint64(452567));

        auto rows = store->messagesAfter(0, std::nullopt, 10, true);
        QVERIFY2(rows, qPrintable(rows.ok() ? QString() : rows.error().description()));
        QCOMPARE(rows->size(), 2);
        const Message& last = rows->at(1);
        QCOMPARE(last.rowID, qint64(452567));
        QCOMPARE(last.guid, QStringLiteral("0355C6E1-D0C8-4212-AA87-DD8AE4FD1203"));
        QCOMPARE(last.text, QStringLiteral("I\u2019m going to try to eat as quick as possible and then come over"));
        QCOMPARE(last.chatID, qint64(0));
        QCOMPARE(last.attachmentsCount, 1);
        QCOMPARE(last.date.toMSecsSinceEpoch(), qint64(978307200000LL + 760569924490LL));
        QVERIFY(!last.isReaction);
        QVERIFY(!rows->at(0).text.isEmpty());

        auto attachments = store->attachments(452567);
        QVERIFY(attachments);
        QCOMPARE(attachments->size(), 1);
        const AttachmentMeta& sticker = attachments->at(0);
        QVERIFY(sticker.isSticker);
        QCOMPARE(sticker.mimeType, QStringLiteral("image/heic"));
        QCOMPARE(sticker.uti, QStringLiteral("public.heic"));
        QVERIFY(sticker.filename.startsWith(QStringLiteral("~/Library/Messages/StickerCache/")));
        QVERIFY(sticker.originalPath.startsWith(m_home->path() + QStringLiteral("/Library/Messages/StickerCache/")));
        QVERIFY(sticker.missing);
        QVERIFY(store->listChats(10).value().isEmpty());
        QVERIFY(store->reactions(452567).value().isEmpty());
    }

    void concurrentCallers()
    {
        auto db = makeDatabase(noOptionalColumns);
        QVERIFY(db);
        for (int i = 0; i < 200; ++i)
            db->addMessage(0, {{QStringLiteral("text"), QStringLiteral("m%1").arg(i)}, {QStringLiteral("date"), messagesTime(base + i)}});
        auto store = MessageStore::open(db->path()).value();

        // Blocking calls from many pool threads share the one connection one at a time.
        QList<QFuture<int>> futures;
        for (int t = 0; t < 8; ++t) {
            futures << QtConcurrent::run([store, t] {
                int bad = 0;
                for (int i = 0; i < 25; ++i) {
                    auto rows = store->messagesAfter(t * 10, std::nullopt, 50);
                    if (!rows || rows->size() != 50 || rows->first().rowID != t * 10 + 1)
                        ++bad;
                    if (store->maxRowID().value() != 200)
                        ++bad;
                }
                return bad;
            });
        }
        for (auto& future : futures)
            QCOMPARE(future.result(), 0);

        // The awaitable twins run on the pool and resume on the caller's thread.
        std::optional<Result<QList<Message>, TolkaError>> rows;
        std::optional<Result<qint64, TolkaError>> max;
        QThread* resumedOn = nullptr;
        // QCoro 0.8's then() awaits the task it is called on by reference: keep both alive.
        auto rowsTask = store->messagesAfterAsync(190, std::nullopt, 100);
        auto maxTask = store->maxRowIDAsync();
        auto first = rowsTask.then([&](auto result) {
            resumedOn = QThread::currentThread();
            rows = std::move(result);
        });
        auto second = maxTask.then([&](auto result) { max = std::move(result); });
        QTRY_VERIFY(rows.has_value() && max.has_value());
        QCOMPARE(resumedOn, QThread::currentThread());
        QVERIFY(rows->ok());
        QCOMPARE(rows->value().size(), 10);
        QCOMPARE(max->value(), qint64(200));
    }
};

QTEST_GUILESS_MAIN(TestMessageStore)
#include "tst_messagestore.moc"
