#include "awaittask.h"
#include "chatdbfixture.h"
#include "attributedbody.h"
#include "chatdbreader.h"
#include "reactionsummarizer.h"
#include "testsupport.h"

#include <QDir>
#include <QEventLoop>
#include <QRegularExpression>
#include <QTest>

#include <limits>
#include <optional>

using namespace velto;
using velto::test::ChatDbFixture;
using velto::test::messagesTime;

Q_DECLARE_METATYPE(std::optional<QString>)

namespace {

const QString schemaExporter = QStringLiteral("schema-imessage-exporter-testdb.sql");
const QString schemaKch = QStringLiteral("schema-kch-imsg-grep.sql");
const QString schemaSavquinn = QStringLiteral("schema-savquinn-savs_ai.sql");
const QString noOptionalColumns = QStringLiteral("no optional columns");

constexpr qint64 base = 700000000; // seconds since 2001: a day in 2023
const quint64 windowStart = quint64(messagesTime(base));
const quint64 windowEnd = quint64(messagesTime(base + 1000));

const QString aliceRaw = QStringLiteral("+1 (555) 000-1111");
const QString bobRaw = QStringLiteral("Bob@Example.com");
const QString carolRaw = QStringLiteral("carol@example.com");

QVariantMap row(std::initializer_list<std::pair<const char*, QVariant>> values)
{
    QVariantMap map;
    for (const auto& [key, value] : values)
        map.insert(QLatin1String(key), value);
    return map;
}

// Runs the event loop until the task has its result (QCoro::waitFor needs a default-constructible T).
// A body byte for byte as Messages writes it.
QByteArray archivedBody(const QString& text)
{
    return sim::AttributedBody::plainText(text).encode();
}

using velto::test::await;

QList<qint64> rowIds(const QList<ChatMessage>& messages)
{
    QList<qint64> ids;
    for (const ChatMessage& message : messages)
        ids << message.rowid;
    return ids;
}

const ChatMessage* find(const QList<ChatMessage>& messages, qint64 rowid)
{
    for (const ChatMessage& message : messages) {
        if (message.rowid == rowid)
            return &message;
    }
    return nullptr;
}

// Senders come in no promised order.
QStringList sorted(QStringList list)
{
    list.sort();
    return list;
}

} // namespace

class TestChatDBReader : public QObject {
    Q_OBJECT

private:
    test::TemporaryHome m_home;
    int m_databases = 0;

    // A fresh database of the given variant; nullopt (after QSKIP or a warning) when it cannot be had.
    std::optional<ChatDbFixture> makeDatabase(const QString& variant)
    {
        const QString path = QDir(m_home.path()).filePath(QStringLiteral("chat-%1.db").arg(++m_databases));
        QString error;
        std::optional<ChatDbFixture> fixture;
        if (variant == noOptionalColumns) {
            fixture = ChatDbFixture::withoutOptionalColumns(path, &error);
        } else {
            const QString fixtures = test::fixturesDir();
            if (fixtures.isEmpty())
                return std::nullopt;
            const QString dir = QDir(fixtures).filePath(QStringLiteral("chatdb-schema"));
            // The macOS 14 dump has only message, chat and handle; the joins come from a dump of the same era.
            const QString extra = variant == schemaSavquinn ? QDir(dir).filePath(schemaExporter) : QString();
            fixture = ChatDbFixture::fromSchemaFile(path, QDir(dir).filePath(variant), extra, &error);
        }
        if (!fixture)
            qWarning() << "could not build" << variant << ":" << error;
        return fixture;
    }

    static void addVariants()
    {
        QTest::addColumn<QString>("variant");
        QTest::newRow("macOS 15 (full dump)") << schemaExporter;
        QTest::newRow("macOS 15 (tables only)") << schemaKch;
        QTest::newRow("macOS 14") << schemaSavquinn;
        QTest::newRow("no optional columns") << noOptionalColumns;
    }

    static std::unique_ptr<ChatDBReader> openReader(const QString& path)
    {
        auto reader = std::make_unique<ChatDBReader>(path);
        QTest::ignoreMessage(QtInfoMsg, "Connected to chat.db in read-only mode");
        if (!await(reader->init()))
            return nullptr;
        return reader;
    }

#define MAKE_DATABASE(db, variant)                                                                                \
    auto db = makeDatabase(variant);                                                                              \
    if (!db && test::fixturesDir().isEmpty())                                                                     \
        QSKIP("../shared/fixtures is absent: the schema dumps are needed");                                       \
    QVERIFY(db.has_value())

private Q_SLOTS:
    void messagesInAWindow_data() { addVariants(); }

    void messagesInAWindow()
    {
        QFETCH(QString, variant);
        MAKE_DATABASE(db, variant);
        const bool hasBody = db->hasColumn(QStringLiteral("message"), QStringLiteral("attributedBody"));
        const bool hasTypes = db->hasColumn(QStringLiteral("message"), QStringLiteral("associated_message_type"));
        const bool hasCallerId = db->hasColumn(QStringLiteral("message"), QStringLiteral("destination_caller_id"));

        const qint64 alice = db->addHandle(aliceRaw);
        const qint64 bob = db->addHandle(bobRaw);
        const qint64 direct = db->addChat(QStringLiteral("+15550001111"));
        const qint64 group = db->addChat(QStringLiteral("chat123456"), 43, QStringLiteral("Team"));
        db->addParticipant(direct, alice);
        db->addParticipant(group, alice);
        db->addParticipant(group, bob);
        const qint64 noStyle = db->insert(QStringLiteral("chat"), row({{"guid", QStringLiteral("SMS;-;555")},
                                                                      {"chat_identifier", QStringLiteral("555")}}));

        const qint64 hello = db->addMessage(direct, row({{"handle_id", alice}, {"text", QStringLiteral("Hello")},
                                                         {"date", messagesTime(base)},
                                                         {"date_read", messagesTime(base + 3)}}));
        const qint64 fromBody = db->addMessage(direct, row({{"text", QVariant()},
                                                            {"attributedBody", archivedBody(QStringLiteral("From the body"))},
                                                            {"is_from_me", 1},
                                                            {"destination_caller_id", QStringLiteral("me@example.com")},
                                                            {"date", messagesTime(base + 10)}}));
        const qint64 emptyText = db->addMessage(direct, row({{"handle_id", alice}, {"text", QStringLiteral("")},
                                                             {"attributedBody", archivedBody(QStringLiteral("not read"))},
                                                             {"date", messagesTime(base + 20)}}));
        const qint64 emptyBody = db->addMessage(direct, row({{"handle_id", alice}, {"text", QVariant()},
                                                             {"attributedBody", archivedBody(QStringLiteral(""))},
                                                             {"date", messagesTime(base + 30)}}));
        const qint64 like = db->addMessage(direct, row({{"handle_id", bob}, {"text", QStringLiteral("Liked “Hello”")},
                                                        {"associated_message_type", 2001},
                                                        {"associated_message_guid", QStringLiteral("p:0/GUID-1")},
                                                        {"date", messagesTime(base + 40)}}));
        const qint64 unlike = db->addMessage(direct, row({{"handle_id", bob}, {"text", QStringLiteral("Removed a like")},
                                                          {"associated_message_type", 3006},
                                                          {"date", messagesTime(base + 50)}}));
        const qint64 inGroup = db->addMessage(group, row({{"handle_id", bob}, {"text", QStringLiteral("Group hello")},
                                                          {"is_from_me", QVariant()}, {"service", QVariant()},
                                                          {"date", messagesTime(base + 60)}}));
        const qint64 typeLow = db->addMessage(direct, row({{"handle_id", alice}, {"text", QStringLiteral("low")},
                                                           {"associated_message_type", 1999},
                                                           {"date", messagesTime(base + 70)}}));
        const qint64 typeHigh = db->addMessage(direct, row({{"handle_id", alice}, {"text", QStringLiteral("high")},
                                                            {"associated_message_type", 3007},
                                                            {"date", messagesTime(base + 80)}}));
        const qint64 outside = db->addMessage(direct, row({{"handle_id", alice}, {"text", QStringLiteral("later")},
                                                           {"date", messagesTime(base + 5000)}}));
        const qint64 noChat = db->addMessage(0, row({{"handle_id", qint64(99)}, {"text", QStringLiteral("orphan")},
                                                     {"date", messagesTime(base + 90)}}));
        const qint64 twoChats = db->addMessage(direct, row({{"handle_id", alice}, {"text", QStringLiteral("both")},
                                                            {"date", messagesTime(base + 95)}}));
        db->insert(QStringLiteral("chat_message_join"), row({{"chat_id", group}, {"message_id", twoChats}}));
        const qint64 unstyled = db->addMessage(noStyle, row({{"handle_id", alice}, {"text", QStringLiteral("sms")},
                                                             {"date", messagesTime(base + 99)}}));
        // Bounds of the window are inclusive.
        const qint64 atEnd = db->addMessage(direct, row({{"text", QStringLiteral("end")}, {"date", qint64(windowEnd)}}));

        auto reader = openReader(db->path());
        QVERIFY(reader);
        auto all = await(reader->getMessagesByDateRange(windowStart, windowEnd, 100));
        QVERIFY2(all.ok(), qPrintable(all.ok() ? QString() : all.error().description()));

        QList<qint64> expected{hello, fromBody, emptyText, emptyBody};
        if (!hasTypes)
            expected << like << unlike; // without the column nothing marks them as reactions
        expected << inGroup << typeLow << typeHigh << noChat << twoChats << twoChats << unstyled << atEnd;
        QCOMPARE(rowIds(*all), expected);
        Q_UNUSED(outside);

        const ChatMessage* m = find(*all, hello);
        QCOMPARE(m->text, std::optional<QString>(QStringLiteral("Hello")));
        QCOMPARE(m->handleId, alice);
        QCOMPARE(m->chatParticipantId, std::optional<QString>(QStringLiteral("+15550001111")));
        QCOMPARE(m->date, messagesTime(base));
        QCOMPARE(m->dateRead, messagesTime(base + 3));
        QCOMPARE(m->isFromMe, false);
        QCOMPARE(m->service, QStringLiteral("iMessage"));
        QCOMPARE(m->chatId, std::optional<qint64>(direct));
        QCOMPARE(m->chatIdentifier, std::optional<QString>(QStringLiteral("+15550001111")));
        QCOMPARE(m->groupId, m->chatIdentifier);
        QCOMPARE(m->chatGuid, std::optional<QString>(QStringLiteral("iMessage;-;+15550001111")));
        QCOMPARE(m->chatStyle, std::optional<qint64>(45));
        QCOMPARE(m->isGroupChat, std::optional<bool>(false));
        QVERIFY(!m->allParticipants);
        QVERIFY(!m->attachments);
        if (db->hasColumn(QStringLiteral("message"), QStringLiteral("guid")))
            QCOMPARE(m->guid, QStringLiteral("GUID-1"));
        else
            QCOMPARE(m->guid, QString()); // no column reads as NULL: the empty string

        m = find(*all, fromBody);
        QCOMPARE(m->isFromMe, true);
        QCOMPARE(m->handleId, qint64(0));
        QVERIFY(!m->chatParticipantId);
        QCOMPARE(m->text, hasBody ? std::optional<QString>(QStringLiteral("From the body")) : std::nullopt);
        QCOMPARE(m->attributedBody.has_value(), hasBody);
        QCOMPARE(m->recipient, hasCallerId ? std::optional<QString>(QStringLiteral("me@example.com")) : std::nullopt);
        QCOMPARE(m->destinationCallerId, m->recipient);

        // An empty text is a text: the body is not decoded.
        QCOMPARE(find(*all, emptyText)->text, std::optional<QString>(QString()));
        // A body that decodes to nothing leaves no text.
        QCOMPARE(find(*all, emptyBody)->text, std::nullopt);

        m = find(*all, inGroup);
        QCOMPARE(m->isFromMe, false); // NULL
        QCOMPARE(m->service, QStringLiteral("iMessage")); // NULL
        QCOMPARE(m->isGroupChat, std::optional<bool>(true));
        QCOMPARE(m->groupDisplayName, std::optional<QString>(QStringLiteral("Team")));
        QCOMPARE(m->chatParticipantId, std::optional<QString>(QStringLiteral("bob@example.com")));
        // Raw handle values, not normalised.
        QCOMPARE(m->allParticipants, std::optional<QStringList>(QStringList{aliceRaw, bobRaw}));

        m = find(*all, noChat);
        QVERIFY(!m->chatId && !m->chatIdentifier && !m->chatStyle && !m->allParticipants);
        QCOMPARE(m->isGroupChat, std::optional<bool>(false));
        QVERIFY(!m->chatParticipantId); // handle 99 does not exist

        m = find(*all, unstyled);
        QCOMPARE(m->chatStyle, std::nullopt);
        QCOMPARE(m->isGroupChat, std::optional<bool>(false));

        // The message in two chats comes once per chat.
        QList<std::optional<qint64>> chatsOfBoth;
        for (const ChatMessage& message : *all) {
            if (message.rowid == twoChats)
                chatsOfBoth << message.chatId;
        }
        QCOMPARE(chatsOfBoth.size(), 2);
        QVERIFY(chatsOfBoth.contains(direct) && chatsOfBoth.contains(group));

        const DecoderStats stats = reader->stats();
        QCOMPARE(stats.totalMessages, qint64(all->size()));
        QCOMPARE(stats.textFieldUsed, qint64(all->size() - 2)); // all but fromBody and emptyBody
        QCOMPARE(stats.decoderSuccess, qint64(hasBody ? 1 : 0));
        QCOMPARE(stats.decoderFailed, qint64(hasBody ? 1 : 0));
        QCOMPARE(stats.fallbackToNull, qint64(0));

        // Paging by the last row id seen gives the same rows, in order, without gaps.
        QList<qint64> paged;
        std::optional<qint64> after;
        for (int pages = 0; pages < 20; ++pages) {
            auto page = await(reader->getMessagesByDateRange(windowStart, windowEnd, 3, after));
            QVERIFY(page.ok());
            QVERIFY(page->size() <= 3);
            if (page->isEmpty())
                break;
            for (const ChatMessage& message : *page) {
                if (paged.isEmpty() || paged.last() != message.rowid)
                    paged << message.rowid;
            }
            after = page->last().rowid;
        }
        QList<qint64> unique = expected;
        unique.removeAt(unique.lastIndexOf(twoChats));
        QCOMPARE(paged, unique);

        // The count does not join chats: each non-reaction message once.
        auto count = await(reader->estimateMessageCount(windowStart, windowEnd));
        QVERIFY(count.ok());
        QCOMPARE(*count, qint64(unique.size()));

        // Dates beyond the signed range are clamped, not wrapped to negative.
        auto everything = await(reader->getMessagesByDateRange(0, std::numeric_limits<quint64>::max(), 100));
        QVERIFY(everything.ok());
        QCOMPARE(everything->size(), all->size() + 1); // plus the message outside the window
    }

    void messagesOfOneChat_data()
    {
        QTest::addColumn<QString>("variant");
        QTest::addColumn<QString>("chatGuid");
        QTest::addColumn<int>("expectedChat"); // 0 direct, 1 group, -1 none
        for (const QString& variant : {schemaExporter, noOptionalColumns}) {
            const QByteArray tag = variant == noOptionalColumns ? "old: " : "new: ";
            QTest::newRow(QByteArray(tag + "three parts").constData()) << variant << QStringLiteral("iMessage;+;chat123456") << 1;
            QTest::newRow(QByteArray(tag + "no separator").constData()) << variant << QStringLiteral("chat123456") << 1;
            QTest::newRow(QByteArray(tag + "phone chat").constData()) << variant << QStringLiteral("SMS;-;+15550001111") << 0;
            QTest::newRow(QByteArray(tag + "prefix only matters").constData()) << variant << QStringLiteral("anything;+15550001111") << 0;
            QTest::newRow(QByteArray(tag + "whole GUID is not an identifier").constData()) << variant << QStringLiteral("iMessage;+;chat1234") << -1;
            QTest::newRow(QByteArray(tag + "trailing separator").constData()) << variant << QStringLiteral("iMessage;+;") << -1;
        }
    }

    void messagesOfOneChat()
    {
        QFETCH(QString, variant);
        QFETCH(QString, chatGuid);
        QFETCH(int, expectedChat);
        MAKE_DATABASE(db, variant);
        const qint64 alice = db->addHandle(aliceRaw);
        const qint64 direct = db->addChat(QStringLiteral("+15550001111"));
        const qint64 group = db->addChat(QStringLiteral("chat123456"), 43, QStringLiteral("Team"));
        db->addParticipant(group, alice);
        QList<qint64> inDirect, inGroup;
        for (int i = 0; i < 3; ++i) {
            inDirect << db->addMessage(direct, row({{"handle_id", alice}, {"text", QStringLiteral("d%1").arg(i)},
                                                    {"date", messagesTime(base + i)}}));
            inGroup << db->addMessage(group, row({{"handle_id", alice}, {"text", QStringLiteral("g%1").arg(i)},
                                                  {"date", messagesTime(base + i)}}));
        }
        db->addMessage(group, row({{"handle_id", alice}, {"text", QStringLiteral("Loved “g0”")},
                                   {"associated_message_type", 2000}, {"date", messagesTime(base + 5)}}));
        const bool reactionIsMessage = !db->hasColumn(QStringLiteral("message"), QStringLiteral("associated_message_type"));

        auto reader = openReader(db->path());
        QVERIFY(reader);
        auto messages = await(reader->getMessagesByDateRangeAndChat(windowStart, windowEnd, chatGuid, 100));
        QVERIFY(messages.ok());
        QList<qint64> expected = expectedChat == 0 ? inDirect : expectedChat == 1 ? inGroup : QList<qint64>();
        if (expectedChat == 1 && reactionIsMessage)
            expected << inGroup.last() + 1;
        QCOMPARE(rowIds(*messages), expected);

        auto count = await(reader->estimateMessageCount(windowStart, windowEnd, chatGuid));
        QVERIFY(count.ok());
        QCOMPARE(*count, qint64(expected.size()));

        if (expected.size() >= 2) {
            auto rest = await(reader->getMessagesByDateRangeAndChat(windowStart, windowEnd, chatGuid, 1, expected.first()));
            QVERIFY(rest.ok());
            QCOMPARE(rowIds(*rest), QList<qint64>{expected.at(1)});
        }
    }

    void attachments_data() { addVariants(); }

    void attachments()
    {
        QFETCH(QString, variant);
        MAKE_DATABASE(db, variant);
        const qint64 chat = db->addChat(QStringLiteral("+15550001111"));
        const qint64 first = db->addMessage(chat, row({{"text", QStringLiteral("two files")}, {"date", messagesTime(base)}}));
        const qint64 second = db->addMessage(chat, row({{"text", QStringLiteral("sticker")}, {"date", messagesTime(base)}}));
        const qint64 none = db->addMessage(chat, row({{"text", QStringLiteral("none")}, {"date", messagesTime(base)}}));
        // Inserted out of order: the sticker's row comes first.
        db->addAttachment(second, row({{"filename", QStringLiteral("~/Library/Messages/Attachments/s.heic")},
                                       {"transfer_name", QStringLiteral("s.heic")}, {"mime_type", QStringLiteral("image/heic")},
                                       {"uti", QStringLiteral("public.heic")}, {"total_bytes", qint64(5000000000)},
                                       {"is_sticker", 1}}));
        db->addAttachment(first, row({{"filename", QStringLiteral("/tmp/a.jpg")}, {"transfer_name", QStringLiteral("a.jpg")},
                                      {"mime_type", QStringLiteral("image/jpeg")}, {"uti", QStringLiteral("public.jpeg")},
                                      {"total_bytes", qint64(1234)}, {"is_sticker", 0}}));
        db->addAttachment(first, row({{"filename", QVariant()}, {"transfer_name", QVariant()}, {"mime_type", QVariant()},
                                      {"uti", QVariant()}, {"total_bytes", qint64(-7)}, {"is_sticker", QVariant()}}));

        auto reader = openReader(db->path());
        QVERIFY(reader);
        auto byMessage = await(reader->getAttachmentsForMessages({none, second, first, first}));
        QVERIFY(byMessage.ok());
        QCOMPARE(byMessage->size(), 2);
        QVERIFY(!byMessage->contains(none));

        MessageAttachment jpeg;
        jpeg.filename = QStringLiteral("/tmp/a.jpg");
        jpeg.transferName = QStringLiteral("a.jpg");
        jpeg.mimeType = QStringLiteral("image/jpeg");
        jpeg.uti = QStringLiteral("public.jpeg");
        jpeg.totalBytes = 1234;
        MessageAttachment blank; // every NULL with its default; a negative size reads as 0
        QCOMPARE(byMessage->value(first), (QList<MessageAttachment>{jpeg, blank}));

        const QList<MessageAttachment> sticker = byMessage->value(second);
        QCOMPARE(sticker.size(), 1);
        QCOMPARE(sticker.first().isSticker, true);
        QCOMPARE(sticker.first().totalBytes, quint64(5000000000));
        QCOMPARE(sticker.first().filename, QStringLiteral("~/Library/Messages/Attachments/s.heic"));

        auto empty = await(reader->getAttachmentsForMessages({}));
        QVERIFY(empty.ok() && empty->isEmpty());
    }

    void attachmentsOfALargePage()
    {
        // More ids than one IN list holds: split into several statements, nothing lost.
        MAKE_DATABASE(db, noOptionalColumns);
        const qint64 chat = db->addChat(QStringLiteral("x"));
        QList<qint64> ids;
        QVERIFY(db->connection().execute(QStringLiteral("BEGIN")).ok());
        for (int i = 0; i < 600; ++i) {
            const qint64 id = db->addMessage(chat, row({{"text", QStringLiteral("m")}, {"date", messagesTime(base)}}));
            ids << id;
            if (i % 7 == 0)
                db->addAttachment(id, row({{"transfer_name", QStringLiteral("f%1").arg(i)}}));
        }
        QVERIFY(db->connection().execute(QStringLiteral("COMMIT")).ok());
        auto reader = openReader(db->path());
        QVERIFY(reader);
        auto byMessage = await(reader->getAttachmentsForMessages(ids));
        QVERIFY(byMessage.ok());
        QCOMPARE(byMessage->size(), 86); // 0, 7, …, 595
        QCOMPARE(byMessage->value(ids.at(595)).first().transferName, QStringLiteral("f595"));
    }

    void reactions_data() { addVariants(); }

    void reactions()
    {
        QFETCH(QString, variant);
        MAKE_DATABASE(db, variant);
        const bool supported = db->hasColumn(QStringLiteral("message"), QStringLiteral("associated_message_type"));
        const bool hasBody = db->hasColumn(QStringLiteral("message"), QStringLiteral("attributedBody"));
        const bool hasEmojiColumn = db->hasColumn(QStringLiteral("message"), QStringLiteral("associated_message_emoji"));
        const qint64 alice = db->addHandle(aliceRaw);
        const qint64 bob = db->addHandle(bobRaw);
        const qint64 carol = db->addHandle(carolRaw);
        const qint64 chat = db->addChat(QStringLiteral("chat1"), 43);
        qint64 t = base;
        auto parent = [&](const QString& guid) {
            return db->addMessage(chat, row({{"guid", guid}, {"text", QStringLiteral("parent")}, {"date", messagesTime(++t)}}));
        };
        auto react = [&](qint64 handle, bool fromMe, int type, const QString& target, QVariant text,
                         QVariant body = QVariant(), QVariant emoji = QVariant(), qint64 when = 0) {
            db->addMessage(chat, row({{"handle_id", handle}, {"is_from_me", fromMe ? 1 : 0}, {"associated_message_type", type},
                                      {"associated_message_guid", target}, {"text", text}, {"attributedBody", body},
                                      {"associated_message_emoji", emoji}, {"date", messagesTime(when ? when : ++t)}}));
        };

        const qint64 p1 = parent(QStringLiteral("G-P1"));
        react(bob, false, 2001, QStringLiteral("p:0/G-P1"), QStringLiteral("Liked “parent”"));
        react(bob, false, 3001, QStringLiteral("p:0/G-P1"), QStringLiteral("Removed a like"));
        react(alice, false, 2001, QStringLiteral("G-P1"), QStringLiteral("Liked “parent”"));
        react(0, true, 2001, QStringLiteral("bp:G-P1"), QStringLiteral("Liked “parent”"));

        const qint64 p2 = parent(QStringLiteral("G-P2"));
        react(bob, false, 2006, QStringLiteral("p:1/G-P2"), QStringLiteral("Reacted 🎉 to “parent”"));
        react(alice, false, 2000, QStringLiteral("bp:0/G-P2"), QStringLiteral("Loved “parent”"));
        react(alice, false, 2006, QStringLiteral("bp:1/G-P2"), QStringLiteral("")); // nothing to show: skipped
        react(carol, false, 2006, QStringLiteral("G-P2"), QVariant(), archivedBody(QStringLiteral("Reacted 🥳 to “parent”")));

        // The stored emoji wins over the description where the column exists.
        const qint64 p3 = parent(QStringLiteral("G-P3"));
        react(alice, false, 2006, QStringLiteral("G-P3"), QStringLiteral("Reacted 🎉 to “parent”"), QVariant(), QStringLiteral("🔥"));
        react(carol, false, 2006, QStringLiteral("G-P3"), QStringLiteral("Reacted 🎉 to “parent”"), QVariant(), QStringLiteral("🔥"));
        react(alice, false, 3006, QStringLiteral("G-P3"), QStringLiteral("Removed 🎉 from “parent”"), QVariant(), QStringLiteral("🔥"));

        // An empty GUID matches nothing, even a reaction naming the empty GUID.
        const qint64 p4 = parent(QStringLiteral(""));
        react(bob, false, 2001, QStringLiteral(""), QStringLiteral("Liked"));

        // Replayed by date, not by row: the removal dated before the like does not cancel it.
        const qint64 p5 = parent(QStringLiteral("G-P5"));
        react(bob, false, 2001, QStringLiteral("G-P5"), QStringLiteral("Liked"), QVariant(), QVariant(), messagesTime(base + 500));
        react(bob, false, 3001, QStringLiteral("G-P5"), QStringLiteral("Removed"), QVariant(), QVariant(), messagesTime(base + 400));
        // Unknown kinds are ignored.
        react(bob, false, 2007, QStringLiteral("G-P5"), QStringLiteral("?"));

        auto reader = openReader(db->path());
        QVERIFY(reader);
        auto byMessage = await(reader->getReactionsForMessages({p1, p2, p3, p4, p5}));
        QVERIFY(byMessage.ok());
        if (!supported) {
            QVERIFY(byMessage->isEmpty());
            return;
        }
        QCOMPARE(QSet<qint64>(byMessage->keyBegin(), byMessage->keyEnd()), (QSet<qint64>{p1, p2, p3, p5}));

        const QList<ReactionSummary> onP1 = byMessage->value(p1);
        QCOMPARE(onP1.size(), 1);
        QCOMPARE(onP1.first().emoji, QStringLiteral("like"));
        QCOMPARE(onP1.first().displayEmoji, QStringLiteral("👍"));
        QCOMPARE(onP1.first().count, 2);
        QCOMPARE(sorted(onP1.first().senders), sorted({aliceRaw, QStringLiteral("me")}));
        QCOMPARE(onP1.first().includesMe, true);

        QHash<QString, ReactionSummary> onP2;
        for (const ReactionSummary& summary : byMessage->value(p2))
            onP2.insert(summary.displayEmoji, summary);
        QSet<QString> displays{QStringLiteral("🎉"), QStringLiteral("❤️")};
        if (hasBody)
            displays << QStringLiteral("🥳");
        QCOMPARE(QSet<QString>(onP2.keyBegin(), onP2.keyEnd()), displays);
        QCOMPARE(onP2.value(QStringLiteral("🎉")).emoji, QStringLiteral("custom"));
        QCOMPARE(onP2.value(QStringLiteral("🎉")).senders, QStringList{bobRaw});
        QCOMPARE(onP2.value(QStringLiteral("❤️")).emoji, QStringLiteral("love"));
        QCOMPARE(onP2.value(QStringLiteral("❤️")).includesMe, false);
        if (hasBody)
            QCOMPARE(onP2.value(QStringLiteral("🥳")).senders, QStringList{carolRaw});

        const QList<ReactionSummary> onP3 = byMessage->value(p3);
        QCOMPARE(onP3.size(), 1);
        QCOMPARE(onP3.first().emoji, QStringLiteral("custom"));
        if (hasEmojiColumn) {
            QCOMPARE(onP3.first().displayEmoji, QStringLiteral("🔥"));
            QCOMPARE(onP3.first().senders, QStringList{carolRaw});
        } else {
            // Without the column the descriptions decide: the removal's first emoji is 🎉 too.
            QCOMPARE(onP3.first().displayEmoji, QStringLiteral("🎉"));
            QCOMPARE(onP3.first().senders, QStringList{carolRaw});
        }

        const QList<ReactionSummary> onP5 = byMessage->value(p5);
        QCOMPARE(onP5.size(), 1);
        QCOMPARE(onP5.first().senders, QStringList{bobRaw});

        auto empty = await(reader->getReactionsForMessages({}));
        QVERIFY(empty.ok() && empty->isEmpty());
    }

    void customEmojiFromText_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<std::optional<QString>>("expected");
        auto some = [](const char16_t* text) { return std::optional<QString>(QString::fromUtf16(text)); };
        QTest::newRow("description") << QStringLiteral("Reacted 🎉 to “hello”") << some(u"🎉");
        QTest::newRow("several scalars kept whole") << QStringLiteral("Reacted 👍🏽 to “x”") << some(u"👍🏽");
        QTest::newRow("first ' to ' after Reacted") << QStringLiteral("Reacted ab to cd to ef") << some(u"ab");
        QTest::newRow("nothing between: scan") << QStringLiteral("Reacted  to 😀") << some(u"😀");
        QTest::newRow("no ' to ': scan") << QStringLiteral("Reacted 🎉") << some(u"🎉");
        QTest::newRow("one scalar only") << QStringLiteral("👍🏽") << some(u"👍");
        QTest::newRow("heart without selector") << QStringLiteral("x ❤️") << some(u"❤");
        QTest::newRow("digits and symbols skipped") << QStringLiteral("1 # * © ® 😀") << some(u"😀");
        QTest::newRow("trade mark counts") << QStringLiteral("a™") << some(u"™");
        QTest::newRow("plain text") << QStringLiteral("no emoji here 123") << std::optional<QString>();
        QTest::newRow("empty") << QString() << std::optional<QString>();
    }

    void customEmojiFromText()
    {
        QFETCH(QString, text);
        QFETCH(std::optional<QString>, expected);
        QCOMPARE(ReactionSummarizer::customEmojiFromText(text), expected);
    }

    void chatList_data() { addVariants(); }

    void chatList()
    {
        QFETCH(QString, variant);
        MAKE_DATABASE(db, variant);
        const qint64 alice = db->addHandle(aliceRaw);
        const qint64 bob = db->addHandle(bobRaw);
        const qint64 a = db->insert(QStringLiteral("chat"), row({{"guid", QStringLiteral("iMessage;-;+15550001111")},
                                                                {"chat_identifier", QStringLiteral("+15550001111")},
                                                                {"style", 45}, {"service_name", QVariant()},
                                                                {"display_name", QVariant()}}));
        const qint64 b = db->addChat(QStringLiteral("chat999"), 43, QStringLiteral("Team"));
        const qint64 c = db->insert(QStringLiteral("chat"), row({{"guid", QStringLiteral("SMS;-;555")},
                                                                {"chat_identifier", QStringLiteral("555")},
                                                                {"style", 45}, {"service_name", QStringLiteral("SMS")},
                                                                {"display_name", QStringLiteral("")}}));
        db->addChat(QStringLiteral("silent")); // no messages: not listed
        db->addParticipant(a, alice);
        db->addParticipant(b, alice);
        db->addParticipant(b, bob);
        db->addMessage(a, row({{"text", QStringLiteral("older")}, {"date", messagesTime(base + 5)}}));
        // The newest of chat a has no text, and a date with a fraction of a second.
        db->addMessage(a, row({{"text", QVariant()}, {"date", messagesTime(base + 10) + 500000000}}));
        db->addMessage(b, row({{"text", QStringLiteral("newest")}, {"date", messagesTime(base + 20)}}));
        db->addMessage(c, row({{"text", QStringLiteral("at the epoch")}, {"date", qint64(0)}}));

        auto reader = openReader(db->path());
        QVERIFY(reader);
        auto chats = await(reader->listAllChats());
        QVERIFY(chats.ok());
        QCOMPARE(chats->size(), 3);
        const ChatListEntry& first = chats->at(0);
        const ChatListEntry& second = chats->at(1);
        const ChatListEntry& third = chats->at(2);
        QCOMPARE(first.chatId, b);
        QCOMPARE(first.isGroup, true);
        QCOMPARE(first.chatStyle, std::optional<qint64>(43));
        QCOMPARE(first.name, QStringLiteral("Team"));
        QCOMPARE(first.identifier, QStringLiteral("chat999"));
        QCOMPARE(first.guid, QStringLiteral("iMessage;+;chat999"));
        QCOMPARE(first.lastMessageBody, std::optional<QString>(QStringLiteral("newest")));
        QCOMPARE(first.lastMessageAt, quint64((978307200 + base + 20) * 1000));
        QCOMPARE(first.participants, (QStringList{aliceRaw, bobRaw}));

        QCOMPARE(second.chatId, a);
        QCOMPARE(second.isGroup, false);
        QCOMPARE(second.name, QString());
        QCOMPARE(second.service, QStringLiteral("iMessage"));
        QCOMPARE(second.lastMessageBody, std::nullopt);
        QCOMPARE(second.lastMessageAt, quint64((978307200 + base + 10) * 1000)); // whole seconds
        QCOMPARE(second.participants, QStringList{aliceRaw}); // one-to-one chats get theirs too

        QCOMPARE(third.chatId, c);
        QCOMPARE(third.service, QStringLiteral("SMS"));
        QCOMPARE(third.name, QString());
        QCOMPARE(third.lastMessageAt, quint64(978307200000));
        QCOMPARE(third.participants, QStringList());
    }

    void participantsAreCachedForTheReadersLife()
    {
        MAKE_DATABASE(db, noOptionalColumns);
        const qint64 alice = db->addHandle(aliceRaw);
        const qint64 group = db->addChat(QStringLiteral("g"), 43);
        db->addParticipant(group, alice);
        db->addMessage(group, row({{"text", QStringLiteral("one")}, {"date", messagesTime(base)}}));
        auto reader = openReader(db->path());
        QVERIFY(reader);
        auto before = await(reader->getMessagesByDateRange(windowStart, windowEnd, 10));
        QVERIFY(before.ok());
        QCOMPARE(before->first().allParticipants, std::optional<QStringList>(QStringList{aliceRaw}));

        db->addParticipant(group, db->addHandle(bobRaw));
        auto after = await(reader->getMessagesByDateRange(windowStart, windowEnd, 10));
        QVERIFY(after.ok());
        QCOMPARE(after->first().allParticipants, std::optional<QStringList>(QStringList{aliceRaw}));
        // A new reader sees the change.
        auto fresh = openReader(db->path());
        QVERIFY(fresh);
        auto seen = await(fresh->getMessagesByDateRange(windowStart, windowEnd, 10));
        QVERIFY(seen.ok());
        QCOMPARE(seen->first().allParticipants, std::optional<QStringList>(QStringList{aliceRaw, bobRaw}));
    }

    void latestRowIdAndSentAttachment_data() { addVariants(); }

    void latestRowIdAndSentAttachment()
    {
        QFETCH(QString, variant);
        MAKE_DATABASE(db, variant);
        const bool hasGuid = db->hasColumn(QStringLiteral("message"), QStringLiteral("guid"));
        auto reader = openReader(db->path());
        QVERIFY(reader);
        auto latest = await(reader->getLatestRowId());
        QVERIFY(latest.ok());
        QCOMPARE(*latest, qint64(0)); // empty table

        const qint64 chat = db->addChat(QStringLiteral("+15550001111"));
        auto add = [&](bool fromMe, const QString& guid, const QString& transferName) {
            const qint64 id = db->addMessage(chat, row({{"guid", guid}, {"is_from_me", fromMe ? 1 : 0},
                                                        {"date", messagesTime(base)}}));
            db->addAttachment(id, row({{"transfer_name", transferName}}));
            return id;
        };
        const qint64 incoming = add(false, QStringLiteral("G-IN"), QStringLiteral("photo.jpg"));
        add(true, QStringLiteral("G-OTHER"), QStringLiteral("other.jpg"));
        const qint64 sent1 = add(true, QStringLiteral("G-SENT-1"), QStringLiteral("photo.jpg"));
        const qint64 sent2 = add(true, QStringLiteral("G-SENT-2"), QStringLiteral("photo.jpg"));

        latest = await(reader->getLatestRowId());
        QVERIFY(latest.ok());
        QCOMPARE(*latest, sent2);

        auto lookup = [&](const QString& name, qint64 since) {
            auto found = await(reader->getMostRecentSentAttachment(name, since));
            return found.ok() ? *found : std::optional<QString>(QStringLiteral("<error>"));
        };
        const auto some = [hasGuid](const char* guid) {
            // Without a guid column the row is found but has no GUID to give.
            return hasGuid ? std::optional<QString>(QLatin1String(guid)) : std::nullopt;
        };
        QCOMPARE(lookup(QStringLiteral("photo.jpg"), 0), some("G-SENT-1")); // the lowest row first
        QCOMPARE(lookup(QStringLiteral("photo.jpg"), incoming), some("G-SENT-1"));
        QCOMPARE(lookup(QStringLiteral("photo.jpg"), sent1), some("G-SENT-2"));
        QCOMPARE(lookup(QStringLiteral("photo.jpg"), sent2), std::nullopt);
        QCOMPARE(lookup(QStringLiteral("PHOTO.jpg"), 0), std::nullopt); // exact name only
    }

    void absentDatabaseGivesEmptyResults()
    {
        ChatDBReader reader(QDir(m_home.path()).filePath(QStringLiteral("missing/chat.db")));
        QTest::ignoreMessage(QtCriticalMsg, QRegularExpression(QStringLiteral("^Failed to open chat\\.db: .+")));
        QCOMPARE(await(reader.init()), false);
        QVERIFY(!reader.isOpen());

        auto messages = await(reader.getMessagesByDateRange(0, windowEnd, 10));
        QVERIFY(messages.ok() && messages->isEmpty());
        auto inChat = await(reader.getMessagesByDateRangeAndChat(0, windowEnd, QStringLiteral("a;b"), 10));
        QVERIFY(inChat.ok() && inChat->isEmpty());
        auto count = await(reader.estimateMessageCount(0, windowEnd));
        QVERIFY(count.ok() && *count == 0);
        auto attachments = await(reader.getAttachmentsForMessages({1, 2}));
        QVERIFY(attachments.ok() && attachments->isEmpty());
        auto reactions = await(reader.getReactionsForMessages({1, 2}));
        QVERIFY(reactions.ok() && reactions->isEmpty());
        auto chats = await(reader.listAllChats());
        QVERIFY(chats.ok() && chats->isEmpty());
        auto latest = await(reader.getLatestRowId());
        QVERIFY(latest.ok() && *latest == 0);
        auto sent = await(reader.getMostRecentSentAttachment(QStringLiteral("a.jpg"), 0));
        QVERIFY(sent.ok() && !*sent);
        QCOMPARE(reader.stats().totalMessages, qint64(0));
    }

    void queryErrorsReachTheCaller()
    {
        // Opens fine, but the tables the queries join are missing.
        const QString path = QDir(m_home.path()).filePath(QStringLiteral("broken.db"));
        {
            auto connection = db::Connection::openReadWrite(path);
            QVERIFY(connection.ok());
            QVERIFY(connection->execute(QStringLiteral("CREATE TABLE message (ROWID INTEGER PRIMARY KEY, text TEXT, date INTEGER)")).ok());
        }
        auto reader = openReader(path);
        QVERIFY(reader);
        auto messages = await(reader->getMessagesByDateRange(0, windowEnd, 10));
        QVERIFY(!messages.ok());
        QVERIFY2(messages.error().message.contains(QLatin1String("no such")), qPrintable(messages.error().description()));
        auto chats = await(reader->listAllChats());
        QVERIFY(!chats.ok());
        auto latest = await(reader->getLatestRowId()); // this one needs only the message table
        QVERIFY(latest.ok());
    }

    void concurrentQueries()
    {
        MAKE_DATABASE(db, schemaExporter);
        const qint64 alice = db->addHandle(aliceRaw);
        const qint64 group = db->addChat(QStringLiteral("g"), 43);
        db->addParticipant(group, alice);
        QVERIFY(db->connection().execute(QStringLiteral("BEGIN")).ok());
        for (int i = 0; i < 500; ++i)
            db->addMessage(group, row({{"handle_id", alice}, {"text", QVariant()},
                                       {"attributedBody", archivedBody(QStringLiteral("body %1").arg(i))},
                                       {"date", messagesTime(base + i)}}));
        QVERIFY(db->connection().execute(QStringLiteral("COMMIT")).ok());
        auto reader = openReader(db->path());
        QVERIFY(reader);
        // Eager tasks: all six are under way before the first is awaited.
        std::vector<QCoro::Task<Result<QList<ChatMessage>, db::Error>>> tasks;
        for (int i = 0; i < 6; ++i)
            tasks.push_back(reader->getMessagesByDateRange(windowStart, windowEnd, 100, qint64(i * 50)));
        for (int i = 0; i < int(tasks.size()); ++i) {
            auto page = await(std::move(tasks[i]));
            QVERIFY(page.ok());
            QCOMPARE(page->size(), 100);
            QCOMPARE(page->first().text, std::optional<QString>(QStringLiteral("body %1").arg(i * 50)));
            QCOMPARE(page->first().allParticipants, std::optional<QStringList>(QStringList{aliceRaw}));
        }
        QCOMPARE(reader->stats().decoderSuccess, qint64(600));
    }
};

QTEST_GUILESS_MAIN(TestChatDBReader)
#include "tst_chatdbreader.moc"
