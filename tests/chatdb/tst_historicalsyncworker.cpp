#include "awaittask.h"
#include "chatdbfixture.h"
#include "chatdbreader.h"
#include "historicalsyncworker.h"
#include "syncfilter.h"
#include "testsupport.h"

#include <messagessimulator.h>

#include <dbconnection.h>

#include <QDir>
#include <QEventLoop>
#include <QRegularExpression>
#include <QTest>

#include <cmath>
#include <memory>
#include <optional>

using namespace velto;
using test::ChatDbFixture;
using test::messagesTime;
using SyncRequest = HistoricalSyncWorker::SyncRequest;
using SyncState = HistoricalSyncWorker::SyncState;
using SyncError = HistoricalSyncWorker::SyncError;
using SyncResult = Result<void, SyncError>;

namespace {

constexpr qint64 base = 700000000; // seconds since 2001: a day in 2023
constexpr qint64 nanosPerSecond = 1000000000;

using velto::test::await;

QVariantMap row(std::initializer_list<std::pair<const char*, QVariant>> values)
{
    QVariantMap map;
    for (const auto& [key, value] : values)
        map.insert(QLatin1String(key), value);
    return map;
}

// Everything a sync handed to its owner.
struct Recording {
    QList<QList<ChatMessage>> pages;
    QList<SyncState> batchStates;
    QList<SyncState> completions;
    QStringList logLines;
    // Called inside onBatch with the 1-based page number.
    std::function<void(int)> duringBatch;

    QList<qint64> rowIds() const
    {
        QList<qint64> ids;
        for (const auto& page : pages) {
            for (const ChatMessage& message : page)
                ids << message.rowid;
        }
        return ids;
    }
    QList<qsizetype> pageSizes() const
    {
        QList<qsizetype> sizes;
        for (const auto& page : pages)
            sizes << page.size();
        return sizes;
    }
};

std::shared_ptr<Recording> record(HistoricalSyncWorker& worker)
{
    auto recording = std::make_shared<Recording>();
    worker.setOnBatch([recording](QList<ChatMessage> messages, SyncState state) -> QCoro::Task<> {
        recording->pages << messages;
        recording->batchStates << state;
        if (recording->duringBatch)
            recording->duringBatch(int(recording->pages.size()));
        co_return;
    });
    worker.setOnComplete([recording](SyncState state) -> QCoro::Task<> {
        recording->completions << state;
        co_return;
    });
    worker.setOnLog([recording](const QString& line) { recording->logLines << line; });
    return recording;
}

std::shared_ptr<ChatDBReader> openReader(const QString& path)
{
    auto reader = std::make_shared<ChatDBReader>(path);
    QTest::ignoreMessage(QtInfoMsg, "Connected to chat.db in read-only mode");
    return await(reader->init()) ? reader : nullptr;
}

// The non-reaction rows of a window, straight from SQLite, as an independent account of what
// the pages must hold.
QList<qint64> rowsInWindow(const QString& path, qint64 start, qint64 end, const QString& chatIdentifier = QString())
{
    QList<qint64> ids;
    auto connection = db::Connection::openReadOnly(path);
    if (!connection)
        return ids;
    QString sql = QStringLiteral(
        "SELECT m.ROWID FROM message m LEFT JOIN chat_message_join j ON j.message_id = m.ROWID "
        "LEFT JOIN chat c ON c.ROWID = j.chat_id WHERE m.date BETWEEN ? AND ? "
        "AND NOT (IFNULL(m.associated_message_type, 0) BETWEEN 2000 AND 3006)");
    if (!chatIdentifier.isEmpty())
        sql += QStringLiteral(" AND c.chat_identifier = ?");
    sql += QStringLiteral(" ORDER BY m.ROWID");
    auto statement = connection->prepare(sql);
    if (!statement)
        return ids;
    (void)statement->bind(1, start);
    (void)statement->bind(2, end);
    if (!chatIdentifier.isEmpty())
        (void)statement->bind(3, chatIdentifier);
    while (true) {
        auto step = statement->step();
        if (!step || !*step)
            break;
        ids << statement->int64(0).value_or(-1);
    }
    return ids;
}

} // namespace

class TestHistoricalSyncWorker : public QObject {
    Q_OBJECT

private:
    test::TemporaryHome m_home;
    QString m_simulatorDb;
    sim::FillSummary m_filled;
    int m_databases = 0;

    std::optional<ChatDbFixture> makeFixture()
    {
        const QString fixtures = test::fixturesDir();
        if (fixtures.isEmpty())
            return std::nullopt;
        const QString path = QDir(m_home.path()).filePath(QStringLiteral("fixture-%1.db").arg(++m_databases));
        QString error;
        auto fixture = ChatDbFixture::fromSchemaFile(
            path, QDir(fixtures).filePath(QStringLiteral("chatdb-schema/schema-imessage-exporter-testdb.sql")), QString(),
            &error);
        if (!fixture)
            qWarning() << "could not build the fixture database:" << error;
        return fixture;
    }

#define MAKE_FIXTURE(db)                                                                                          \
    auto db = makeFixture();                                                                                      \
    if (!db && test::fixturesDir().isEmpty())                                                                     \
        QSKIP("../shared/fixtures is absent: the chat.db schema dumps are needed");                               \
    QVERIFY(db.has_value())

    // `count` one-to-one messages a second apart from `base` on.
    static void addMessages(ChatDbFixture& db, int count)
    {
        const qint64 handle = db.addHandle(QStringLiteral("+15550001111"));
        const qint64 chat = db.addChat(QStringLiteral("+15550001111"));
        QVERIFY(db.connection().execute(QStringLiteral("BEGIN")));
        for (int i = 0; i < count; ++i)
            db.addMessage(chat, row({{"handle_id", handle}, {"text", QStringLiteral("m%1").arg(i)},
                                     {"date", messagesTime(base + i)}}));
        QVERIFY(db.connection().execute(QStringLiteral("COMMIT")));
    }

private Q_SLOTS:
    void initTestCase()
    {
        // One realistic history for the paging tests: 1,000 messages over 180 days.
        sim::MessagesSimulator simulator(m_home.path());
        QVERIFY(simulator.init());
        sim::FillOptions options;
        options.writeAttachmentFiles = false;
        auto filled = simulator.fill(options);
        QVERIFY2(filled, qPrintable(filled.ok() ? QString() : filled.error().description()));
        m_filled = filled.value();
        m_simulatorDb = simulator.databasePath();
        simulator.close();
    }

    // A window in the middle of a simulated history, read in pages of several sizes.
    void pagesThroughAWindow_data()
    {
        QTest::addColumn<int>("requested");
        QTest::addColumn<int>("pageSize");
        QTest::newRow("pages of 40") << 40 << 40;
        QTest::newRow("0 means 250") << 0 << 250;
        QTest::newRow("negative means 250") << -3 << 250;
        QTest::newRow("capped at 1000") << 50000 << 1000;
    }

    void pagesThroughAWindow()
    {
        QFETCH(int, requested);
        QFETCH(int, pageSize);
        auto reader = openReader(m_simulatorDb);
        QVERIFY(reader);

        // 2025-03-01 to 2025-05-01 (the history ends on 2025-06-01).
        const qint64 start = (1740787200 - 978307200) * nanosPerSecond;
        const qint64 end = (1746057600 - 978307200) * nanosPerSecond;
        const QList<qint64> expected = rowsInWindow(m_simulatorDb, start, end);
        QVERIFY2(expected.size() > 100, "the window should hold a good part of the history");
        QVERIFY(expected.first() > 1); // and not start at the first row

        auto worker = HistoricalSyncWorker::create(reader);
        auto recording = record(*worker);
        SyncRequest request;
        request.requestId = QStringLiteral("req-window");
        request.startDate = start;
        request.endDate = end;
        request.batchSize = requested;
        const SyncResult result = await(worker->startSync(request));
        QVERIFY(result.ok());

        QCOMPARE(recording->rowIds(), expected);
        const qint64 pages = (expected.size() + pageSize - 1) / pageSize;
        QCOMPARE(recording->pages.size(), pages);
        for (qsizetype i = 0; i < recording->pages.size(); ++i) {
            QCOMPARE(recording->pages.at(i).size(), i + 1 < pages ? pageSize : expected.size() - (pages - 1) * pageSize);
            const SyncState& state = recording->batchStates.at(i);
            QCOMPARE(state.totalBatches, i + 1);
            QCOMPARE(state.lastRowId, recording->pages.at(i).constLast().rowid);
            QCOMPARE(state.batchSize, pageSize);
            for (const ChatMessage& message : recording->pages.at(i))
                QVERIFY(message.date >= start && message.date <= end);
        }

        QCOMPARE(recording->completions.size(), 1);
        const SyncState& final = recording->completions.first();
        QCOMPARE(final.requestId, QStringLiteral("req-window"));
        QCOMPARE(final.processed, qint64(expected.size()));
        QCOMPARE(final.totalBatches, pages);
        QCOMPARE(final.totalEstimate, qint64(expected.size()));
        QCOMPARE(final.estimatedTotalBatches, pages);
        QCOMPARE(final.lastRowId, expected.last());
        QVERIFY(!final.failure);
        QVERIFY(final.startTime > 1700000000000); // Unix milliseconds
        QCOMPARE(recording->logLines,
                 QStringList{QStringLiteral("Historical sync: estimated %1 messages (~%2 batches), batchSize=%3")
                                 .arg(expected.size())
                                 .arg(pages)
                                 .arg(pageSize)});
        QVERIFY(!worker->isRunning());
        QVERIFY(!worker->currentSync());
    }

    void oneChatOnly()
    {
        auto reader = openReader(m_simulatorDb);
        QVERIFY(reader);
        // The busiest group chat of the history, named by its full GUID.
        auto connection = db::Connection::openReadOnly(m_simulatorDb);
        QVERIFY(connection);
        auto statement = connection->prepare(QStringLiteral(
            "SELECT c.guid, c.chat_identifier FROM chat c JOIN chat_message_join j ON j.chat_id = c.ROWID "
            "WHERE c.style = 43 GROUP BY c.ROWID ORDER BY COUNT(*) DESC LIMIT 1"));
        QVERIFY(statement);
        QVERIFY(statement->step().value());
        const QString guid = statement->text(0);
        const QString identifier = statement->text(1);
        const qint64 end = (1748736000 - 978307200) * nanosPerSecond;
        const QList<qint64> expected = rowsInWindow(m_simulatorDb, 0, end, identifier);
        QVERIFY(expected.size() > 10);

        auto worker = HistoricalSyncWorker::create(reader);
        auto recording = record(*worker);
        SyncRequest request;
        request.requestId = QStringLiteral("req-chat");
        request.endDate = end;
        request.batchSize = 7;
        request.chatGuid = guid;
        QVERIFY(await(worker->startSync(request)).ok());
        QCOMPARE(recording->rowIds(), expected);
        for (const auto& page : recording->pages) {
            for (const ChatMessage& message : page) {
                QCOMPARE(message.chatGuid, std::optional<QString>(guid));
                QCOMPARE(message.isGroupChat, std::optional<bool>(true));
            }
        }
        QCOMPARE(recording->completions.first().totalEstimate, qint64(expected.size()));

        // A chat that does not exist: nothing to read, a normal end.
        auto none = HistoricalSyncWorker::create(reader);
        auto noneRecording = record(*none);
        request.chatGuid = QStringLiteral("iMessage;+;chat-that-does-not-exist");
        QVERIFY(await(none->startSync(request)).ok());
        QVERIFY(noneRecording->pages.isEmpty());
        QCOMPARE(noneRecording->completions.size(), 1);
        QCOMPARE(noneRecording->completions.first().totalEstimate, qint64(0));
        QCOMPARE(noneRecording->completions.first().totalBatches, qint64(0));
        QVERIFY(!noneRecording->completions.first().failure);
    }

    void stopDuringABatch()
    {
        auto reader = openReader(m_simulatorDb);
        QVERIFY(reader);
        auto worker = HistoricalSyncWorker::create(reader);
        auto recording = record(*worker);
        recording->duringBatch = [&worker](int page) {
            QVERIFY(worker->currentSync());
            QCOMPARE(worker->currentSync()->totalBatches, qint64(page));
            if (page == 2)
                worker->stop();
        };
        SyncRequest request;
        request.requestId = QStringLiteral("req-stop");
        request.endDate = std::numeric_limits<qint64>::max();
        request.batchSize = 50;
        QTest::ignoreMessage(QtInfoMsg, "[dovedud] Batch 2 complete: sent=50/50 cumulative=100");
        QVERIFY(await(worker->startSync(request)).ok());
        // The page in hand is finished, then the sync ends: onComplete still runs, without a failure.
        QCOMPARE(recording->pages.size(), 2);
        QCOMPARE(recording->completions.size(), 1);
        QCOMPARE(recording->completions.first().processed, qint64(100));
        QCOMPARE(recording->completions.first().totalBatches, qint64(2));
        QVERIFY(!recording->completions.first().failure);
        QVERIFY(m_filled.messages > 100);
        QVERIFY(!worker->isRunning());

        // Idle again: the same worker runs a new sync to its end.
        recording->duringBatch = {};
        QVERIFY(await(worker->startSync(request)).ok());
        QCOMPARE(recording->completions.size(), 2);
        QCOMPARE(recording->completions.last().processed,
                 qint64(rowsInWindow(m_simulatorDb, 0, std::numeric_limits<qint64>::max()).size()));
    }

    void refusals()
    {
        auto reader = openReader(m_simulatorDb);
        QVERIFY(reader);
        auto worker = HistoricalSyncWorker::create(reader);
        auto recording = record(*worker);

        SyncRequest request;
        request.requestId = QStringLiteral("req-negative");
        request.startDate = -1;
        request.endDate = 100;
        SyncResult refused = await(worker->startSync(request));
        QVERIFY(!refused.ok());
        QCOMPARE(refused.error(), SyncError::invalidDateWindow());
        QCOMPARE(refused.error().description(), QStringLiteral("Invalid date window"));
        request.startDate = 0;
        request.endDate = -5;
        refused = await(worker->startSync(request));
        QCOMPARE(refused.error(), SyncError::invalidDateWindow());
        QVERIFY(request.validate().has_value());
        QVERIFY(recording->completions.isEmpty());
        QVERIFY(recording->logLines.isEmpty());
        QVERIFY(!worker->isRunning());

        // A second start while the first runs is refused; the first is not disturbed.
        request.requestId = QStringLiteral("req-first");
        request.endDate = std::numeric_limits<qint64>::max();
        request.batchSize = 100;
        QCoro::Task<SyncResult> first = worker->startSync(request);
        QVERIFY(worker->isRunning());
        SyncResult second = await(worker->startSync(request));
        QCOMPARE(second.error(), SyncError::alreadyRunning());
        QCOMPARE(second.error().description(), QStringLiteral("Sync already in progress"));
        // Cleared flag, loop not yet left: still refused, so two loops never share one state.
        const qsizetype deliveredAtStop = recording->pages.size();
        worker->stop();
        second = await(worker->startSync(request));
        QCOMPARE(second.error(), SyncError::alreadyRunning());
        QVERIFY(await(std::move(first)).ok());
        QCOMPARE(recording->completions.size(), 1);
        QCOMPARE(recording->completions.first().requestId, QStringLiteral("req-first"));
        // The loop ends at its next check: after the stop at most the page already being read is
        // delivered (how many came before it depends on the machine's speed).
        const qint64 batches = recording->completions.first().totalBatches;
        QVERIFY2(batches <= deliveredAtStop + 1,
                 qPrintable(QStringLiteral("%1 pages, %2 before the stop").arg(batches).arg(deliveredAtStop)));
        QCOMPARE(qint64(recording->pages.size()), batches);
    }

    void unopenedDatabase()
    {
        auto reader = std::make_shared<ChatDBReader>(QDir(m_home.path()).filePath(QStringLiteral("missing/chat.db")));
        QTest::ignoreMessage(QtCriticalMsg, QRegularExpression(QStringLiteral("^Failed to open chat.db: ")));
        QVERIFY(!await(reader->init()));
        auto worker = HistoricalSyncWorker::create(reader);
        auto recording = record(*worker);
        SyncRequest request;
        request.endDate = std::numeric_limits<qint64>::max();
        QVERIFY(await(worker->startSync(request)).ok());
        QVERIFY(recording->pages.isEmpty());
        QCOMPARE(recording->completions.size(), 1);
        QCOMPARE(recording->completions.first().totalEstimate, qint64(0));
        QVERIFY(!recording->completions.first().failure);
    }

    // Page boundaries on an exact number of rows.
    void pageCounts_data()
    {
        QTest::addColumn<int>("messages");
        QTest::addColumn<int>("batchSize");
        QTest::addColumn<QList<qsizetype>>("pages");
        QTest::addColumn<qint64>("estimatedBatches");
        QTest::newRow("501 by 250") << 501 << 250 << QList<qsizetype>{250, 250, 1} << qint64(3);
        QTest::newRow("500 by 250, no short page") << 500 << 250 << QList<qsizetype>{250, 250} << qint64(2);
        QTest::newRow("1200 by 5000, pages capped") << 1200 << 5000 << QList<qsizetype>{1000, 200} << qint64(2);
        QTest::newRow("empty window") << 0 << 250 << QList<qsizetype>{} << qint64(0);
    }

    void pageCounts()
    {
        QFETCH(int, messages);
        QFETCH(int, batchSize);
        QFETCH(QList<qsizetype>, pages);
        QFETCH(qint64, estimatedBatches);
        MAKE_FIXTURE(db);
        addMessages(*db, messages);
        auto reader = openReader(db->path());
        QVERIFY(reader);
        auto worker = HistoricalSyncWorker::create(reader);
        auto recording = record(*worker);
        SyncRequest request;
        request.startDate = messagesTime(base);
        request.endDate = messagesTime(base + 10000);
        request.batchSize = batchSize;
        QVERIFY(await(worker->startSync(request)).ok());
        QCOMPARE(recording->pageSizes(), pages);
        QCOMPARE(recording->completions.size(), 1);
        QCOMPARE(recording->completions.first().estimatedTotalBatches, estimatedBatches);
        QCOMPARE(recording->completions.first().totalBatches, qint64(pages.size()));
        QCOMPARE(recording->completions.first().processed, qint64(messages));
    }

    // The sync filter and the allow-list on one page of every kind of sender.
    void filterAndAllowList_data()
    {
        QTest::addColumn<bool>("withFilter");
        QTest::addColumn<std::optional<QStringList>>("allowed");
        QTest::addColumn<int>("batchSize");
        QTest::addColumn<QStringList>("kept");
        QTest::addColumn<QList<qsizetype>>("pageSizes");

        const QStringList all{QStringLiteral("alice hi"), QStringLiteral("bob hello"), QStringLiteral("short code"),
                              QStringLiteral("alice code"), QStringLiteral("me to alice"),
                              QStringLiteral("me, no handle"), QStringLiteral("carol"), QStringLiteral("group bob"),
                              QStringLiteral("group alice"), QStringLiteral("unresolved")};
        const std::optional<QStringList> noList;
        const std::optional<QStringList> aliceOnly(QStringList{QStringLiteral("+1 (555) 000-1111")});
        QTest::newRow("nothing applies") << false << noList << 100 << all << QList<qsizetype>{10};
        QTest::newRow("filter")
            << true << noList << 100
            << QStringList{QStringLiteral("alice hi"), QStringLiteral("me to alice"), QStringLiteral("me, no handle"),
                           QStringLiteral("carol"), QStringLiteral("group alice"), QStringLiteral("unresolved")}
            << QList<qsizetype>{6};
        QTest::newRow("allow-list")
            << false << aliceOnly << 100
            << QStringList{QStringLiteral("alice hi"), QStringLiteral("alice code"), QStringLiteral("me to alice"),
                           QStringLiteral("me, no handle"), QStringLiteral("group bob"), QStringLiteral("group alice")}
            << QList<qsizetype>{6};
        QTest::newRow("both")
            << true << aliceOnly << 100
            << QStringList{QStringLiteral("alice hi"), QStringLiteral("me to alice"), QStringLiteral("me, no handle"),
                           QStringLiteral("group alice")}
            << QList<qsizetype>{4};
        // Pages the filters empty are still handed over.
        QTest::newRow("both, pages of 3") << true << aliceOnly << 3
                                          << QStringList{QStringLiteral("alice hi"), QStringLiteral("me to alice"),
                                                         QStringLiteral("me, no handle"), QStringLiteral("group alice")}
                                          << QList<qsizetype>{1, 2, 1, 0};
        QTest::newRow("empty allow-list") << false << std::optional<QStringList>(QStringList{}) << 4 << QStringList{}
                                          << QList<qsizetype>{0, 0, 0};
    }

    void filterAndAllowList()
    {
        QFETCH(bool, withFilter);
        QFETCH(std::optional<QStringList>, allowed);
        QFETCH(int, batchSize);
        QFETCH(QStringList, kept);
        QFETCH(QList<qsizetype>, pageSizes);
        MAKE_FIXTURE(db);
        const qint64 alice = db->addHandle(QStringLiteral("+1 (555) 000-1111"));
        const qint64 bob = db->addHandle(QStringLiteral("Bob@Example.com"));
        const qint64 shortCode = db->addHandle(QStringLiteral("22000"), QStringLiteral("SMS"));
        const qint64 carol = db->addHandle(QStringLiteral("carol@example.com"));
        const qint64 aliceChat = db->addChat(QStringLiteral("+15550001111"));
        const qint64 bobChat = db->addChat(QStringLiteral("bob@example.com"));
        const qint64 shortChat = db->addChat(QStringLiteral("22000"));
        const qint64 carolChat = db->addChat(QStringLiteral("carol@example.com"));
        const qint64 group = db->addChat(QStringLiteral("chat0001"), 43, QStringLiteral("Friends"));
        db->addParticipant(group, alice);
        db->addParticipant(group, bob);
        qint64 second = base;
        auto add = [&](qint64 chat, qint64 handle, const QString& text, bool fromMe = false,
                       const QVariant& callerId = QVariant()) {
            db->addMessage(chat, row({{"handle_id", handle}, {"text", text}, {"is_from_me", fromMe ? 1 : 0},
                                      {"destination_caller_id", callerId}, {"date", messagesTime(++second)}}));
        };
        // The texts name the rows; the two verification-code rows carry their code after the name.
        add(aliceChat, alice, QStringLiteral("alice hi"));
        add(bobChat, bob, QStringLiteral("bob hello"));
        add(shortChat, shortCode, QStringLiteral("short code"));
        add(aliceChat, alice, QStringLiteral("alice code"));
        add(aliceChat, alice, QStringLiteral("me to alice"), true, QStringLiteral("owner@example.com"));
        add(aliceChat, 0, QStringLiteral("me, no handle"), true, QStringLiteral("+1 555 000 1111"));
        add(carolChat, carol, QStringLiteral("carol"));
        add(group, bob, QStringLiteral("group bob"));
        add(group, alice, QStringLiteral("group alice"));
        add(aliceChat, 999, QStringLiteral("unresolved"));
        // "alice code" reads as a verification code: give it one.
        QVERIFY(db->connection().execute(QStringLiteral(
            "UPDATE message SET text = 'alice code: Your code is 482913' WHERE text = 'alice code'")));

        auto reader = openReader(db->path());
        QVERIFY(reader);
        auto filter = std::make_shared<SyncFilter>();
        if (withFilter) {
            SyncFilter::Config config;
            config.isEnabled = true;
            config.blockedContacts = {QStringLiteral("BOB@example.com")};
            config.builtInFilters.twoFactorCodes = true;
            filter->installConfig(config);
        }
        auto worker = HistoricalSyncWorker::create(reader, filter);
        auto recording = record(*worker);
        SyncRequest request;
        request.requestId = QStringLiteral("req-filter");
        request.startDate = messagesTime(base);
        request.endDate = messagesTime(base + 100);
        request.batchSize = batchSize;
        request.allowedContacts = allowed;
        if (batchSize == 100 && withFilter && allowed)
            QTest::ignoreMessage(QtInfoMsg,
                                 "[dovedud] Batch 1: queried=10 syncFilterDropped=4 allowlistDropped=2 sending=4");
        QVERIFY(await(worker->startSync(request)).ok());

        QStringList texts;
        for (const auto& page : recording->pages) {
            for (const ChatMessage& message : page)
                texts << message.text.value_or(QString()).section(QLatin1Char(':'), 0, 0);
        }
        QCOMPARE(texts, kept);
        QCOMPARE(recording->pageSizes(), pageSizes);
        // Progress counts what was handed over; the position follows the unfiltered pages.
        QCOMPARE(recording->completions.first().processed, qint64(kept.size()));
        QCOMPARE(recording->completions.first().lastRowId, recording->batchStates.last().lastRowId);
        QCOMPARE(recording->completions.first().totalEstimate, qint64(10));
    }

    void filterInstalledMidwayAppliesFromTheNextPage()
    {
        MAKE_FIXTURE(db);
        addMessages(*db, 6); // all from +15550001111
        auto reader = openReader(db->path());
        QVERIFY(reader);
        auto filter = std::make_shared<SyncFilter>();
        auto worker = HistoricalSyncWorker::create(reader, filter);
        auto recording = record(*worker);
        recording->duringBatch = [&filter](int page) {
            if (page == 1) {
                SyncFilter::Config config;
                config.isEnabled = true;
                config.blockedContacts = {QStringLiteral("+1 555 000 1111")};
                filter->installConfig(config);
            }
        };
        SyncRequest request;
        request.startDate = messagesTime(base);
        request.endDate = messagesTime(base + 100);
        request.batchSize = 2;
        QVERIFY(await(worker->startSync(request)).ok());
        QCOMPARE(recording->pageSizes(), (QList<qsizetype>{2, 0, 0}));
    }

    void queryFailureEndsTheSync()
    {
        MAKE_FIXTURE(db);
        addMessages(*db, 5);
        auto reader = openReader(db->path());
        QVERIFY(reader);
        auto worker = HistoricalSyncWorker::create(reader);
        auto recording = record(*worker);
        // The table disappears under the reader after the first page. The second page is already
        // being read by then (each page is asked for as soon as the one before is in): it may still
        // come in, or fail on the rename's lock, so the failure is on page 2 or 3.
        QVERIFY(db->connection().setBusyTimeout(std::chrono::milliseconds(5000)));
        recording->duringBatch = [&db](int page) {
            if (page == 1)
                QVERIFY(db->connection().execute(QStringLiteral("ALTER TABLE message RENAME TO message_gone")));
        };
        SyncRequest request;
        request.requestId = QStringLiteral("req-fail");
        request.startDate = messagesTime(base);
        request.endDate = messagesTime(base + 100);
        request.batchSize = 2;
        QTest::ignoreMessage(QtCriticalMsg,
                             QRegularExpression(QStringLiteral("^Batch [23] query failed requestId=req-fail chatGuid=nil "
                                                               "lastRowId=\\d+ error=.*(no such table|locked)")));
        QVERIFY(await(worker->startSync(request)).ok());
        QVERIFY2(recording->pages.size() == 1 || recording->pages.size() == 2,
                 qPrintable(QString::number(recording->pages.size())));
        QCOMPARE(recording->completions.size(), 1);
        const SyncState& final = recording->completions.first();
        QVERIFY(final.failure);
        QCOMPARE(final.failure->kind(), SyncError::Kind::queryFailed);
        QVERIFY2(final.failure->description().contains(QStringLiteral("no such table"))
                     || final.failure->description().contains(QStringLiteral("locked")),
                 qPrintable(final.failure->description()));
        // Only the pages handed on count.
        QCOMPARE(final.processed, qint64(2 * recording->pages.size()));
        QCOMPARE(final.totalBatches, qint64(recording->pages.size()));
        QVERIFY(!worker->isRunning());
    }

    void safetyCap()
    {
        MAKE_FIXTURE(db);
        addMessages(*db, 10);
        auto reader = openReader(db->path());
        QVERIFY(reader);
        auto worker = HistoricalSyncWorker::create(reader);
        worker->setSafetyCap(3);
        auto recording = record(*worker);
        SyncRequest request;
        request.requestId = QStringLiteral("req-cap");
        request.startDate = messagesTime(base);
        request.endDate = messagesTime(base + 100);
        request.batchSize = 2;
        QTest::ignoreMessage(QtCriticalMsg, QRegularExpression(QStringLiteral(
                                                "^Historical sync hit safety cap requestId=req-cap chatGuid=nil "
                                                "processed=6 lastRowId=\\d+ batches=3$")));
        QVERIFY(await(worker->startSync(request)).ok());
        QCOMPARE(recording->pageSizes(), (QList<qsizetype>{2, 2, 2}));
        QCOMPARE(recording->completions.size(), 1);
        QCOMPARE(recording->completions.first().failure, std::optional<SyncError>(SyncError::safetyCapHit(3)));
        QCOMPARE(recording->completions.first().failure->description(),
                 QStringLiteral("Historical sync hit safety cap after 3 batches (possible truncation)"));
    }
};

QTEST_GUILESS_MAIN(TestHistoricalSyncWorker)
#include "tst_historicalsyncworker.moc"
