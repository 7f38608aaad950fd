// Syncs on request, end to end: the reference server asks, the relay runtime reads a simulated
// Messages database (and an address book of vCard files) and answers over the real connection.
#include "dbconnection.h"
#include "dbstatement.h"
#include "messagessimulator.h"
#include "preferencesmanager.h"
#include "relayruntimehost.h"
#include "relayserverharness.h"
#include "runtimehostcontrol.h"
#include "testsupport.h"

#include "contactsyncresult.h"

#include <QCoroTask>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QPointer>
#include <QSet>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <limits>

using namespace velto;
using namespace std::chrono_literals;

namespace {

const QString kKey = QStringLiteral("sync-test-key");
const QString kFriend = QStringLiteral("+14155550177");
const QString kOther = QStringLiteral("other@example.com");
constexpr qint64 kMaxDate = std::numeric_limits<qint64>::max();
// Message rows only: reactions are left out of every query of the relay.
const QString kNotReaction = QStringLiteral(
    "(associated_message_type IS NULL OR associated_message_type = 0 OR associated_message_type < 2000 "
    "OR associated_message_type > 3006)");

QString str(const QJsonObject& o, const char* key)
{
    return o.value(QLatin1String(key)).toString();
}

qint64 num(const QJsonObject& o, const char* key)
{
    return o.value(QLatin1String(key)).toInteger(-1);
}

QByteArray vcard(int i)
{
    const QByteArray n = QByteArray::number(i);
    return "BEGIN:VCARD\r\nVERSION:3.0\r\nUID:person-" + n + "\r\nN:Family" + n + ";Given" + n + ";;;\r\nFN:Given" + n
           + " Family" + n + "\r\nTEL;TYPE=CELL:+1415555" + QByteArray::number(1000 + i) + "\r\nEND:VCARD\r\n";
}

bool writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

// Reads the simulated database the way a test checks it: straight SQL, no relay code.
struct Sql {
    db::Connection connection;

    static std::optional<Sql> open(const QString& path)
    {
        auto opened = db::Connection::openReadOnly(path);
        if (!opened)
            return std::nullopt;
        return Sql{std::move(opened).value()};
    }

    template <typename... Values>
    QList<QStringList> rows(const QString& sql, const Values&... values)
    {
        QList<QStringList> out;
        auto statement = connection.prepare(sql);
        if (!statement || !statement->bindAll(values...))
            return out;
        while (true) {
            const auto stepped = statement->step();
            if (!stepped || !stepped.value())
                break;
            QStringList row;
            for (int c = 0; c < statement->columnCount(); ++c) {
                row << (statement->type(c) == db::Statement::Type::integer
                            ? QString::number(statement->int64(c).value_or(0))
                            : statement->text(c));
            }
            out << row;
        }
        return out;
    }

    template <typename... Values>
    QStringList column(const QString& sql, const Values&... values)
    {
        QStringList out;
        for (const QStringList& row : rows(sql, values...))
            out << row.value(0);
        return out;
    }
};

// A loopback proxy in front of the server that passes everything through, except that while it
// holds, the server's answers to attachment uploads wait in it. It counts the upload requests
// that went through, so a test sees how many uploads the relay has under way at once.
class UploadGate : public QObject {
public:
    explicit UploadGate(quint16 serverPort)
        : m_serverPort(serverPort)
    {
        QObject::connect(&m_listener, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* client = m_listener.nextPendingConnection())
                pair(client);
        });
    }

    bool listen() { return m_listener.listen(QHostAddress::LocalHost); }
    QUrl wsUrl() const { return QUrl(QStringLiteral("ws://127.0.0.1:%1/relay").arg(m_listener.serverPort())); }
    int uploadsSeen() const { return m_uploadsSeen; }
    int answersHeld() const
    {
        int held = 0;
        for (const auto& link : m_links)
            held += !link->heldAnswer.isEmpty();
        return held;
    }
    void hold(bool on)
    {
        m_holding = on;
        if (!on) {
            for (const auto& link : m_links)
                release(*link);
        }
    }
    // Lets one held answer through; later answers on its connection are not held.
    bool releaseOne()
    {
        for (const auto& link : m_links) {
            if (!link->heldAnswer.isEmpty()) {
                link->exempt = true;
                release(*link);
                return true;
            }
        }
        return false;
    }

private:
    struct Link {
        QPointer<QTcpSocket> client;
        QPointer<QTcpSocket> server;
        QByteArray request; // what the client sent, kept to count the upload requests in it
        QByteArray heldAnswer;
        QByteArray unsent; // what the client sent before the server end was connected
        int countedUploads = 0;
        bool upload = false;
        bool exempt = false;
    };

    static constexpr QByteArrayView kUploadLine = "POST /api/v1/relay/attachments/upload ";

    void pair(QTcpSocket* client)
    {
        auto link = std::make_shared<Link>();
        link->client = client;
        link->server = new QTcpSocket(client);
        m_links.push_back(link);
        QTcpSocket* server = link->server;
        server->connectToHost(QHostAddress::LocalHost, m_serverPort);
        QObject::connect(client, &QTcpSocket::readyRead, this, [this, link] {
            const QByteArray bytes = link->client->readAll();
            link->request += bytes;
            const int uploads = int(link->request.count(kUploadLine));
            if (uploads > 0)
                link->upload = true;
            m_uploadsSeen += uploads - link->countedUploads;
            link->countedUploads = uploads;
            if (link->server->state() == QAbstractSocket::ConnectedState)
                link->server->write(bytes);
            else
                link->unsent += bytes;
        });
        QObject::connect(server, &QTcpSocket::connected, this, [link] {
            link->server->write(std::exchange(link->unsent, {}));
        });
        QObject::connect(server, &QTcpSocket::readyRead, this, [this, link] {
            const QByteArray bytes = link->server->readAll();
            if (m_holding && link->upload && !link->exempt) {
                link->heldAnswer += bytes;
                return;
            }
            if (link->client)
                link->client->write(bytes);
        });
        QObject::connect(client, &QTcpSocket::disconnected, server, &QTcpSocket::disconnectFromHost);
        QObject::connect(server, &QTcpSocket::disconnected, client, &QTcpSocket::disconnectFromHost);
    }

    void release(Link& link)
    {
        if (link.client && !link.heldAnswer.isEmpty())
            link.client->write(std::exchange(link.heldAnswer, {}));
    }

    QTcpServer m_listener;
    quint16 m_serverPort;
    std::vector<std::shared_ptr<Link>> m_links;
    bool m_holding = false;
    int m_uploadsSeen = 0;
};

bool startHost(RelayRuntimeHost& host, const QUrl& url)
{
    return test::startHost(host, {url.toString(), QStringLiteral("SYNC-RELAY"), kKey});
}

QJsonObject historicalRequest(const QString& id, qint64 start, qint64 end, std::optional<int> batchSize = std::nullopt)
{
    QJsonObject request{{QStringLiteral("type"), QStringLiteral("HISTORICAL_SYNC_REQUEST")},
                        {QStringLiteral("timestamp"), 1},
                        {QStringLiteral("requestId"), id},
                        {QStringLiteral("startDate"), start},
                        {QStringLiteral("endDate"), end}};
    if (batchSize)
        request.insert(QStringLiteral("batchSize"), *batchSize);
    return request;
}

QJsonObject conversationsRequest(const QString& id, std::optional<int> batchSize)
{
    QJsonObject request{{QStringLiteral("type"), QStringLiteral("CONVERSATIONS_LIST_REQUEST")},
                        {QStringLiteral("timestamp"), 1},
                        {QStringLiteral("requestId"), id}};
    if (batchSize)
        request.insert(QStringLiteral("batchSize"), *batchSize);
    return request;
}

QByteArray bytesOf(const QJsonObject& message)
{
    return QJsonDocument(message).toJson(QJsonDocument::Compact);
}

// The user's contacts sync, run on the relay thread; the result is handed to the test's thread.
QCoro::Task<> runUserContactsSync(RelayRuntime* runtime, std::optional<ContactSyncResult>* out)
{
    const ContactSyncResult result = co_await runtime->syncContacts();
    QMetaObject::invokeMethod(QCoreApplication::instance(), [out, result] { *out = result; }, Qt::QueuedConnection);
}

// The known rows appended after the filled history, and what the test expects of them.
struct KnownRows {
    qint64 windowStart = 0;
    QString imageGuid;        // from kFriend, one image, liked by kFriend and loved by the owner
    QString missingFileGuid;  // from kFriend, its file deleted after the write
    QString replyGuid;        // to kFriend
    QString otherGuid;        // from kOther
    QString groupGuid;        // owner's message in a group chat
    QString groupChatGuid;
    QStringList moreImageGuids; // five more images from kFriend
    QByteArray imageBytes;
    QStringList allGuids;     // in row order
};

} // namespace

class TestSyncRequests : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void conversationsList_data();
    void conversationsList();
    void conversationsListDuplicateIgnored();

    void historicalWholeHistory_data();
    void historicalWholeHistory();
    void historicalMessageContent_data();
    void historicalMessageContent();
    void historicalRequestCases_data();
    void historicalRequestCases();
    void secondHistoricalRequestRunsIndependently();
    void historicalUploadsFiveAtATime();
    void historicalSyncCutShort_data();
    void historicalSyncCutShort();

    void contactsSyncRequests();
    void contactsChangeTriggersOneSync();

    void accountDetection();

private:
    QList<QJsonObject> relayMessages(qint64 since);
    QList<QJsonObject> forRequest(qint64 since, const QString& requestId);
    std::optional<QJsonObject> waitForRelayMessage(const QString& type, const QString& requestId, qint64 since,
                                                   int timeoutMs = 30000);
    void setBatchSync(bool enabled) { m_preferences->setBatchSyncEnabled(enabled); }
    bool startRuntime(const QUrl& url);
    int countLog(const QString& text) const { return int(m_logs.count(text)); }
    // Dispatches messages one after another inside one turn of the relay thread, so that none
    // can finish before the next arrives.
    void dispatchTogether(const QList<QJsonObject>& messages);

    test::TemporaryHome m_home;
    std::unique_ptr<sim::MessagesSimulator> m_sim;
    std::optional<Sql> m_sql;
    std::unique_ptr<PreferencesManager> m_preferences;
    std::unique_ptr<RelayServerHarness> m_server;
    std::unique_ptr<RelayRuntimeHost> m_host;
    QStringList m_logs;
    QString m_contactsDir;
    KnownRows m_known;
    QStringList m_historyGuids; // every message row of the filled history, in row order
    qint64 m_historyEnd = 0;
};

void TestSyncRequests::initTestCase()
{
    QVERIFY(m_home.isValid());
    m_contactsDir = QDir(m_home.path()).filePath(QStringLiteral("book"));
    QVERIFY(QDir().mkpath(m_contactsDir));
    for (int i = 1; i <= 26; ++i)
        QVERIFY(writeFile(QDir(m_contactsDir).filePath(QStringLiteral("p%1.vcf").arg(i, 2, 10, QLatin1Char('0'))), vcard(i)));
    qputenv("VELTO_CONTACTS_DIR", QFile::encodeName(m_contactsDir));

    m_sim = std::make_unique<sim::MessagesSimulator>(m_home.path());
    QVERIFY(m_sim->init().ok());
    sim::FillOptions fill;
    fill.seed = 7;
    fill.messages = 1500;
    fill.chats = 118; // the known rows below open two more
    fill.handles = 150;
    auto filled = m_sim->fill(fill);
    QVERIFY2(filled.ok(), filled.ok() ? "" : qPrintable(filled.error().description()));
    m_sql = Sql::open(m_sim->databasePath());
    QVERIFY(m_sql);
    m_historyGuids = m_sql->column(QStringLiteral("SELECT guid FROM message WHERE ") + kNotReaction
                                   + QStringLiteral(" ORDER BY ROWID"));
    QVERIFY(m_historyGuids.size() > 1000);
    m_historyEnd = m_sql->column(QStringLiteral("SELECT MAX(date) FROM message")).value(0).toLongLong();

    // Known rows after the history, written now (the history ends in the past).
    const QString image = QDir(m_home.path()).filePath(QStringLiteral("photo.png"));
    m_known.imageBytes = QByteArrayLiteral("\x89PNG\r\n\x1a\n");
    for (int i = 0; i < 3000; ++i)
        m_known.imageBytes += char(i * 13);
    QVERIFY(writeFile(image, m_known.imageBytes));

    auto first = m_sim->addIncoming({kFriend, QStringLiteral("Look at this"), {}, image, {}, {}, {}});
    QVERIFY(first.ok());
    m_known.windowStart = first->date;
    m_known.imageGuid = first->guid;
    QVERIFY(m_sim->addTapback({first->guid, 2001, {}, kFriend}).ok());
    QVERIFY(m_sim->addTapback({first->guid, 2000, {}, {}}).ok());
    auto missing = m_sim->addIncoming({kFriend, QStringLiteral("File gone"), {}, image, {}, {}, {}});
    QVERIFY(missing.ok());
    m_known.missingFileGuid = missing->guid;
    QString copied = missing->attachmentFilename;
    if (copied.startsWith(QLatin1String("~/")))
        copied = QDir(m_home.path()).filePath(copied.mid(2));
    QVERIFY2(QFile::remove(copied), qPrintable(copied));
    auto reply = m_sim->addOutgoing({kFriend, {}, QStringLiteral("Nice one"), {}, {}});
    QVERIFY(reply.ok());
    m_known.replyGuid = reply->guid;
    auto other = m_sim->addIncoming({kOther, QStringLiteral("Not on the list"), {}, {}, {}, {}, {}});
    QVERIFY(other.ok());
    m_known.otherGuid = other->guid;
    m_known.groupChatGuid = m_sql->column(QStringLiteral("SELECT c.guid FROM chat c JOIN chat_handle_join j ON j.chat_id = c.ROWID "
                                                         "WHERE c.style = 43 GROUP BY c.ROWID HAVING COUNT(*) >= 2 LIMIT 1"))
                                .value(0);
    QVERIFY(!m_known.groupChatGuid.isEmpty());
    auto group = m_sim->addOutgoing({{}, m_known.groupChatGuid, QStringLiteral("Hello group"), {}, {}});
    QVERIFY(group.ok());
    m_known.groupGuid = group->guid;
    for (int i = 0; i < 5; ++i) {
        auto more = m_sim->addIncoming({kFriend, QStringLiteral("Image %1").arg(i), {}, image, {}, {}, {}});
        QVERIFY(more.ok());
        m_known.moreImageGuids << more->guid;
    }
    // Every chat has messages, so the conversation list holds all 120.
    QCOMPARE(m_sql->column(QStringLiteral("SELECT COUNT(DISTINCT chat_id) FROM chat_message_join")).value(0),
             QStringLiteral("120"));
    m_known.allGuids = QStringList{m_known.imageGuid, m_known.missingFileGuid, m_known.replyGuid, m_known.otherGuid,
                                   m_known.groupGuid}
                       + m_known.moreImageGuids;
}

void TestSyncRequests::init()
{
    m_server = std::make_unique<RelayServerHarness>();
    QVERIFY2(m_server->start({QStringLiteral("--api-key"), kKey, QStringLiteral("--ping-interval-ms"), QStringLiteral("0")}),
             qPrintable(m_server->errorString()));
    m_preferences = std::make_unique<PreferencesManager>(QDir(m_home.path()).filePath(QStringLiteral("preferences.json")));
    QVERIFY(startRuntime(m_server->wsUrl()));
    QVERIFY(m_server->waitForAuthenticatedRelay());
}

bool TestSyncRequests::startRuntime(const QUrl& url)
{
    m_host = std::make_unique<RelayRuntimeHost>();
    m_logs.clear();
    m_host->onLog = [this](LogLevel, const QString& text, const LogContext&) { m_logs << text; };
    PreferencesManager* preferences = m_preferences.get();
    m_host->configure([preferences](RelayRuntime& r) {
        r.setReconnectDelays(0.1, 0.4);
        r.setPreferencesManager(preferences);
        r.setSyncTiming(300s, 500ms);
    });
    return startHost(*m_host, url);
}

void TestSyncRequests::cleanup()
{
    if (m_host)
        QVERIFY(test::stopHost(*m_host));
    m_host.reset();
    m_server.reset();
    m_preferences.reset();
}

QList<QJsonObject> TestSyncRequests::relayMessages(qint64 since)
{
    QList<QJsonObject> out;
    for (const QJsonObject& e : m_server->events(since)) {
        if (str(e, "source") == QLatin1String("relay"))
            out << e.value(QLatin1String("message")).toObject();
    }
    return out;
}

QList<QJsonObject> TestSyncRequests::forRequest(qint64 since, const QString& requestId)
{
    QList<QJsonObject> out;
    for (const QJsonObject& m : relayMessages(since)) {
        if (str(m, "requestId") == requestId)
            out << m;
    }
    return out;
}

std::optional<QJsonObject> TestSyncRequests::waitForRelayMessage(const QString& type, const QString& requestId,
                                                                 qint64 since, int timeoutMs)
{
    const auto found = m_server->waitForEvent(
        [&](const QJsonObject& e) {
            const QJsonObject m = e.value(QLatin1String("message")).toObject();
            return str(e, "source") == QLatin1String("relay") && str(m, "type") == type
                   && (requestId.isNull() || str(m, "requestId") == requestId);
        },
        timeoutMs, since);
    if (!found)
        return std::nullopt;
    return found->value(QLatin1String("message")).toObject();
}

void TestSyncRequests::dispatchTogether(const QList<QJsonObject>& messages)
{
    m_host->configure([messages](RelayRuntime& r) {
        for (const QJsonObject& m : messages)
            r.handleServerMessage(str(m, "type"), bytesOf(m));
    });
}

// ---- Conversation list ----

void TestSyncRequests::conversationsList_data()
{
    QTest::addColumn<bool>("syncStart"); // SYNC_START_CONVERSATIONS instead of a request
    QTest::addColumn<bool>("batchSync");
    QTest::addColumn<int>("requestedBatchSize"); // -1: not in the request
    QTest::addColumn<QString>("dataType");
    QTest::addColumn<QString>("completeType");
    const QString data = QStringLiteral("CONVERSATIONS_LIST_DATA");
    const QString complete = QStringLiteral("CONVERSATIONS_LIST_COMPLETE");
    QTest::newRow("request, legacy path") << false << false << 50 << data << complete;
    QTest::newRow("request, batch path") << false << true << 50 << QStringLiteral("CONVERSATIONS_LIST_BATCH")
                                         << QStringLiteral("CONVERSATIONS_LIST_BATCH_COMPLETE");
    QTest::newRow("request without a batch size") << false << false << -1 << data << complete;
    QTest::newRow("request with batch size 0") << false << false << 0 << data << complete;
    QTest::newRow("SYNC_START_CONVERSATIONS") << true << false << -1 << data << complete;
}

void TestSyncRequests::conversationsList()
{
    QFETCH(bool, syncStart);
    QFETCH(bool, batchSync);
    QFETCH(int, requestedBatchSize);
    QFETCH(QString, dataType);
    QFETCH(QString, completeType);
    setBatchSync(batchSync);
    const qint64 since = m_server->lastSeq();

    QString requestId = QStringLiteral("conv-%1").arg(QString::fromUtf8(QTest::currentDataTag()));
    QString trigger = QStringLiteral("CONVERSATIONS_LIST_REQUEST");
    if (syncStart) {
        QCOMPARE(m_server->push({{QStringLiteral("type"), QStringLiteral("SYNC_START_CONVERSATIONS")},
                                 {QStringLiteral("timestamp"), 1}}),
                 1);
        const auto first = waitForRelayMessage(dataType, QString(), since);
        QVERIFY(first);
        requestId = str(*first, "requestId");
        QVERIFY2(QRegularExpression(QStringLiteral("^conv-list-\\d{13}$")).match(requestId).hasMatch(), qPrintable(requestId));
        trigger = QStringLiteral("SYNC_START_CONVERSATIONS(unspecified)");
    } else {
        QCOMPARE(m_server->push(conversationsRequest(
                     requestId, requestedBatchSize < 0 ? std::nullopt : std::optional<int>(requestedBatchSize))),
                 1);
    }
    const auto complete = waitForRelayMessage(completeType, requestId, since);
    QVERIFY(complete);
    QCOMPARE(num(*complete, "totalChats"), 120);
    QCOMPARE(num(*complete, "totalBatches"), 3);
    QVERIFY(num(*complete, "durationMs") >= 0);
    QCOMPARE(countLog(QStringLiteral("Starting conversation list sync (trigger=%1, batchSize=50, mode=%2)")
                          .arg(trigger, batchSync ? QStringLiteral("batch") : QStringLiteral("legacy"))),
             1);

    // Batches of 50, 50 and 20, in order, then the completion.
    const QList<QJsonObject> messages = forRequest(since, requestId);
    QCOMPARE(messages.size(), 4);
    QCOMPARE(str(messages.last(), "type"), completeType);
    QList<QJsonObject> chats;
    const QList<int> sizes{50, 50, 20};
    for (int b = 0; b < 3; ++b) {
        const QJsonObject& m = messages.at(b);
        QCOMPARE(str(m, "type"), dataType);
        QCOMPARE(num(m, "batch"), b + 1);
        QCOMPARE(num(m, "totalBatches"), 3);
        const QJsonArray batch = m.value(QLatin1String("chats")).toArray();
        QCOMPARE(batch.size(), sizes.at(b));
        for (const QJsonValue& c : batch)
            chats << c.toObject();
    }

    // Every chat once, newest activity first, each as the database has it.
    QSet<qint64> ids;
    double previous = std::numeric_limits<double>::max();
    for (const QJsonObject& c : std::as_const(chats)) {
        ids.insert(num(c, "chatId"));
        const double at = c.value(QLatin1String("lastMessageAt")).toDouble();
        QVERIFY(at <= previous);
        previous = at;
    }
    QCOMPARE(ids.size(), 120);
    for (const QJsonObject& c : {chats.first(), chats.last()}) {
        const QStringList row = m_sql->rows(QStringLiteral("SELECT guid, chat_identifier, style, COALESCE(service_name, 'iMessage') "
                                                           "FROM chat WHERE ROWID = ?"),
                                            num(c, "chatId"))
                                    .value(0);
        QCOMPARE(str(c, "guid"), row.value(0));
        QCOMPARE(str(c, "identifier"), row.value(1));
        QCOMPARE(c.value(QLatin1String("isGroup")).toBool(), row.value(2) == QLatin1String("43"));
        QCOMPARE(num(c, "chatStyle"), row.value(2).toLongLong());
        QCOMPARE(str(c, "service"), row.value(3));
        QStringList participants;
        for (const QJsonValue& p : c.value(QLatin1String("participants")).toArray())
            participants << p.toString();
        QStringList handles = m_sql->column(QStringLiteral("SELECT h.id FROM chat_handle_join j JOIN handle h ON h.ROWID = j.handle_id "
                                                           "WHERE j.chat_id = ?"),
                                            num(c, "chatId"));
        participants.sort();
        handles.sort();
        QCOMPARE(participants, handles);
    }
}

void TestSyncRequests::conversationsListDuplicateIgnored()
{
    const qint64 since = m_server->lastSeq();
    dispatchTogether({conversationsRequest(QStringLiteral("first"), 50), conversationsRequest(QStringLiteral("second"), 50)});
    QVERIFY(waitForRelayMessage(QStringLiteral("CONVERSATIONS_LIST_COMPLETE"), QStringLiteral("first"), since));
    QCOMPARE(countLog(QStringLiteral("Ignoring duplicate conversation list trigger: CONVERSATIONS_LIST_REQUEST")), 1);

    // Once the first is done, a new request is served again; the ignored one never was.
    QCOMPARE(m_server->push(conversationsRequest(QStringLiteral("third"), 50)), 1);
    QVERIFY(waitForRelayMessage(QStringLiteral("CONVERSATIONS_LIST_COMPLETE"), QStringLiteral("third"), since));
    QVERIFY(forRequest(since, QStringLiteral("second")).isEmpty());
}

// ---- Historical sync ----

void TestSyncRequests::historicalWholeHistory_data()
{
    QTest::addColumn<bool>("batchSync");
    QTest::newRow("individual mode") << false;
    QTest::newRow("batch mode") << true;
}

void TestSyncRequests::historicalWholeHistory()
{
    QFETCH(bool, batchSync);
    setBatchSync(batchSync);
    const qint64 since = m_server->lastSeq();
    const QString id = QStringLiteral("history");
    QCOMPARE(m_server->push(historicalRequest(id, 0, m_historyEnd, 100)), 1);
    const auto complete = waitForRelayMessage(QStringLiteral("HISTORICAL_SYNC_COMPLETE"), id, since, 120000);
    QVERIFY(complete);
    QCOMPARE(countLog(QStringLiteral("Historical sync starting (mode=%1, batchSize=100, requestId=history)")
                          .arg(batchSync ? QStringLiteral("batch") : QStringLiteral("individual"))),
             1);

    const qint64 total = m_historyGuids.size();
    const qint64 pages = (total + 99) / 100;
    QCOMPARE(num(*complete, "totalProcessed"), total);
    QCOMPARE(num(*complete, "totalEstimate"), total);
    QCOMPARE(num(*complete, "totalBatches"), pages);
    QVERIFY(num(*complete, "durationMs") >= 0);

    // Every message once and in row order, each page followed by its progress message.
    QStringList guids;
    qint64 progressSeen = 0;
    qint64 sentSoFar = 0;
    int batches = 0;
    for (const QJsonObject& m : relayMessages(since)) {
        const QString type = str(m, "type");
        if (type == QLatin1String("HISTORICAL_MESSAGES_BATCH")) {
            QVERIFY(batchSync);
            QCOMPARE(str(m, "requestId"), id);
            QVERIFY(QRegularExpression(QStringLiteral("^[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}$")).match(str(m, "batchId")).hasMatch());
            const QJsonArray page = m.value(QLatin1String("messages")).toArray();
            QCOMPARE(page.size(), qMin<qint64>(100, total - sentSoFar));
            for (const QJsonValue& v : page)
                guids << str(v.toObject(), "guid");
            const QJsonObject cursor = m.value(QLatin1String("cursor")).toObject();
            QVERIFY(num(cursor, "startRowId") < num(cursor, "endRowId"));
            sentSoFar += page.size();
            ++batches;
        } else if (type.startsWith(QLatin1String("HISTORICAL_MESSAGE_"))) {
            QVERIFY(!batchSync);
            guids << str(m, "guid");
            ++sentSoFar;
        } else if (type == QLatin1String("HISTORICAL_SYNC_PROGRESS")) {
            ++progressSeen;
            QCOMPARE(num(m, "currentBatch"), progressSeen);
            QCOMPARE(num(m, "processed"), sentSoFar);
            QCOMPARE(num(m, "total"), total);
            QCOMPARE(num(m, "totalBatches"), pages);
            QVERIFY(num(m, "lastRowId") > 0);
        }
    }
    QCOMPARE(guids, m_historyGuids);
    QCOMPARE(progressSeen, pages);

    // Every attachment of the history went to the server; batches were acknowledged.
    const qint64 attachments = m_sql->column(QStringLiteral("SELECT COUNT(*) FROM message_attachment_join j JOIN message m ON m.ROWID = j.message_id "
                                                            "WHERE m.date <= ? AND ") + kNotReaction,
                                             m_historyEnd)
                                   .value(0)
                                   .toLongLong();
    QVERIFY(attachments > 5);
    qint64 uploads = 0;
    qint64 inserted = 0;
    int acks = 0;
    for (const QJsonObject& e : m_server->events(since)) {
        uploads += str(e, "type") == QLatin1String("UPLOAD");
        if (str(e, "type") == QLatin1String("BATCH_ACK")) {
            ++acks;
            inserted += num(e.value(QLatin1String("message")).toObject(), "insertedCount");
        }
    }
    QCOMPARE(uploads, attachments);
    if (batchSync) {
        QCOMPARE(batches, int(pages));
        QCOMPARE(acks, int(pages));
        QCOMPARE(inserted, total);
        const auto acknowledged = [this] {
            return std::count_if(m_logs.begin(), m_logs.end(), [](const QString& l) {
                return l.startsWith(QLatin1String("Batch ")) && l.contains(QLatin1String(" acknowledged: "));
            });
        };
        QTRY_COMPARE(acknowledged(), pages);
    }
}

void TestSyncRequests::historicalMessageContent_data()
{
    QTest::addColumn<bool>("batchSync");
    QTest::newRow("individual mode") << false;
    QTest::newRow("batch mode") << true;
}

void TestSyncRequests::historicalMessageContent()
{
    QFETCH(bool, batchSync);
    setBatchSync(batchSync);
    const qint64 since = m_server->lastSeq();
    QCOMPARE(m_server->push(historicalRequest(QStringLiteral("known"), m_known.windowStart, kMaxDate)), 1);
    const auto complete = waitForRelayMessage(QStringLiteral("HISTORICAL_SYNC_COMPLETE"), QStringLiteral("known"), since);
    QVERIFY(complete);
    QCOMPARE(countLog(QStringLiteral("Historical sync starting (mode=%1, batchSize=250, requestId=known)")
                          .arg(batchSync ? QStringLiteral("batch") : QStringLiteral("individual"))),
             1);
    QCOMPARE(num(*complete, "totalProcessed"), m_known.allGuids.size());
    QCOMPARE(num(*complete, "totalBatches"), 1);

    QHash<QString, QJsonObject> byGuid;
    QStringList order;
    QList<double> pageTimestamps;
    for (const QJsonObject& m : relayMessages(since)) {
        const QString type = str(m, "type");
        if (type == QLatin1String("HISTORICAL_MESSAGES_BATCH")) {
            for (const QJsonValue& v : m.value(QLatin1String("messages")).toArray()) {
                byGuid.insert(str(v.toObject(), "guid"), v.toObject());
                order << str(v.toObject(), "guid");
            }
            const QJsonObject cursor = m.value(QLatin1String("cursor")).toObject();
            QCOMPARE(num(cursor, "startRowId"),
                     m_sql->column(QStringLiteral("SELECT ROWID FROM message WHERE guid = ?"), m_known.allGuids.first()).value(0).toLongLong());
            QCOMPARE(num(cursor, "endRowId"),
                     m_sql->column(QStringLiteral("SELECT ROWID FROM message WHERE guid = ?"), m_known.allGuids.last()).value(0).toLongLong());
        } else if (type.startsWith(QLatin1String("HISTORICAL_MESSAGE_"))) {
            const bool fromMe = str(m, "direction") == QLatin1String("sent");
            QCOMPARE(type, fromMe ? QStringLiteral("HISTORICAL_MESSAGE_SENT") : QStringLiteral("HISTORICAL_MESSAGE_RECEIVED"));
            pageTimestamps << m.value(QLatin1String("timestamp")).toDouble();
            byGuid.insert(str(m, "guid"), m);
            order << str(m, "guid");
        }
    }
    QCOMPARE(order, m_known.allGuids);
    if (!batchSync) {
        // One page: one start time for all of its messages.
        QCOMPARE(QSet<double>(pageTimestamps.begin(), pageTimestamps.end()).size(), 1);
    }

    // sent_at: whole seconds of the row's date, as Unix milliseconds.
    for (const QString& guid : std::as_const(m_known.allGuids)) {
        const qint64 date = m_sql->column(QStringLiteral("SELECT date FROM message WHERE guid = ?"), guid).value(0).toLongLong();
        QCOMPARE(byGuid.value(guid).value(QLatin1String("sent_at")).toDouble(), double((date / 1000000000) * 1000 + 978307200000));
    }

    // The image: sender resolved, no chat identification, the upload's record, both reactions.
    const QJsonObject image = byGuid.value(m_known.imageGuid);
    QCOMPARE(str(image, "direction"), QStringLiteral("received"));
    QCOMPARE(str(image, "sender"), kFriend);
    QCOMPARE(str(image, "recipient"), QStringLiteral("owner@example.com"));
    // The body keeps the attachment's placeholder character before the text.
    QCOMPARE(str(image, "text"), QString(QChar(0xFFFC)) + QStringLiteral("Look at this"));
    QCOMPARE(str(image, "service"), QStringLiteral("iMessage"));
    for (const char* key : {"isGroupChat", "groupId", "chatGuid", "groupDisplayName", "groupMembers"})
        QVERIFY2(!image.contains(QLatin1String(key)), key);
    const QJsonArray imageAttachments = image.value(QLatin1String("attachments")).toArray();
    QCOMPARE(imageAttachments.size(), 1);
    const QJsonObject a = imageAttachments.first().toObject();
    QCOMPARE(a.value(QLatin1String("missing")).toBool(), false);
    QCOMPARE(num(a, "total_bytes"), m_known.imageBytes.size());
    QCOMPARE(str(a, "transfer_name"), QStringLiteral("photo.png"));
    QCOMPARE(str(a, "mime_type"), QStringLiteral("image/png"));
    QCOMPARE(a.value(QLatin1String("is_sticker")).toBool(), false);
    QVERIFY(!str(a, "storage_url").isEmpty());
    const auto upload = m_server->waitForEvent(
        [&](const QJsonObject& e) {
            return str(e, "type") == QLatin1String("UPLOAD") && str(e, "storagePath") == str(a, "storage_path");
        },
        5000, since);
    QVERIFY(upload);
    QCOMPARE(str(*upload, "messageId"), QStringLiteral("historical-")
                                            + m_sql->column(QStringLiteral("SELECT ROWID FROM message WHERE guid = ?"), m_known.imageGuid).value(0));
    QFile stored(str(*upload, "storedFile"));
    QVERIFY(stored.open(QIODevice::ReadOnly));
    QCOMPARE(stored.readAll(), m_known.imageBytes);
    QHash<QString, QJsonObject> reactions;
    for (const QJsonValue& r : image.value(QLatin1String("reactions")).toArray())
        reactions.insert(str(r.toObject(), "emoji"), r.toObject());
    QCOMPARE(reactions.size(), 2);
    QCOMPARE(reactions.value(QStringLiteral("like")),
             (QJsonObject{{QStringLiteral("emoji"), QStringLiteral("like")},
                          {QStringLiteral("displayEmoji"), QStringLiteral("👍")},
                          {QStringLiteral("count"), 1},
                          {QStringLiteral("senders"), QJsonArray{kFriend}},
                          {QStringLiteral("includesMe"), false}}));
    QCOMPARE(reactions.value(QStringLiteral("love")).value(QLatin1String("includesMe")).toBool(), true);

    // An attachment whose file is gone is still described, marked missing, without storage.
    const QJsonArray gone = byGuid.value(m_known.missingFileGuid).value(QLatin1String("attachments")).toArray();
    QCOMPARE(gone.size(), 1);
    QCOMPARE(gone.first().toObject().value(QLatin1String("missing")).toBool(), true);
    QVERIFY(!gone.first().toObject().contains(QLatin1String("storage_path")));
    QVERIFY(!byGuid.value(m_known.missingFileGuid).contains(QLatin1String("reactions")));

    // Seven attachments on the page; the six whose files exist were uploaded, each exactly once.
    int uploads = 0;
    for (const QJsonObject& e : m_server->events(since))
        uploads += str(e, "type") == QLatin1String("UPLOAD");
    QCOMPARE(uploads, 6);
    for (const QString& guid : std::as_const(m_known.moreImageGuids)) {
        const QJsonArray more = byGuid.value(guid).value(QLatin1String("attachments")).toArray();
        QCOMPARE(more.size(), 1);
        QVERIFY(!str(more.first().toObject(), "storage_path").isEmpty());
    }

    // Sent messages name their recipient; the group message carries the chat and its members.
    const QJsonObject reply = byGuid.value(m_known.replyGuid);
    QCOMPARE(str(reply, "direction"), QStringLiteral("sent"));
    QCOMPARE(str(reply, "recipient"), kFriend);
    QVERIFY(!reply.contains(QLatin1String("sender")));
    const QJsonObject group = byGuid.value(m_known.groupGuid);
    QCOMPARE(group.value(QLatin1String("isGroupChat")).toBool(), true);
    QCOMPARE(str(group, "chatGuid"), m_known.groupChatGuid);
    const QStringList chatRow =
        m_sql->rows(QStringLiteral("SELECT chat_identifier, display_name FROM chat WHERE guid = ?"), m_known.groupChatGuid).value(0);
    QCOMPARE(str(group, "groupId"), chatRow.value(0));
    QCOMPARE(group.value(QLatin1String("groupDisplayName")).toString(), chatRow.value(1));
    QStringList members;
    for (const QJsonValue& v : group.value(QLatin1String("groupMembers")).toArray())
        members << v.toString();
    QStringList handles = m_sql->column(QStringLiteral("SELECT h.id FROM chat c JOIN chat_handle_join j ON j.chat_id = c.ROWID "
                                                       "JOIN handle h ON h.ROWID = j.handle_id WHERE c.guid = ?"),
                                        m_known.groupChatGuid);
    members.sort();
    handles.sort();
    QCOMPARE(members, handles);
}

void TestSyncRequests::historicalRequestCases_data()
{
    QTest::addColumn<QJsonObject>("extra"); // members added to a request over the known rows
    QTest::addColumn<bool>("batchSync");
    QTest::addColumn<QString>("finalType");
    QTest::addColumn<QString>("error");
    QTest::addColumn<QStringList>("expectedRows"); // names of known rows, resolved by the test
    QTest::addColumn<int>("progressMessages");
    QTest::addColumn<QString>("startLine");

    const QString complete = QStringLiteral("HISTORICAL_SYNC_COMPLETE");
    const QString failed = QStringLiteral("HISTORICAL_SYNC_FAILED");
    const QString start = QStringLiteral("Historical sync starting (mode=individual, batchSize=250, requestId=case)");
    // Names of known rows, resolved in the test.
    QTest::newRow("allow-list of one contact, written loosely")
        << QJsonObject{{QStringLiteral("allowedContacts"), QJsonArray{QStringLiteral("+1 (415) 555-0177")}}} << false << complete
        << QString() << QStringList{QStringLiteral("friend"), QStringLiteral("group")} << 1 << start;
    QTest::newRow("empty allow-list, individual mode")
        << QJsonObject{{QStringLiteral("allowedContacts"), QJsonArray{}}} << false << complete << QString() << QStringList{} << 1
        << start;
    QTest::newRow("empty allow-list, batch mode: progress but no batch")
        << QJsonObject{{QStringLiteral("allowedContacts"), QJsonArray{}}} << true << complete << QString() << QStringList{} << 1
        << QStringLiteral("Historical sync starting (mode=batch, batchSize=250, requestId=case)");
    QTest::newRow("one chat") << QJsonObject{{QStringLiteral("chatGuid"), QStringLiteral("group-chat")}} << false << complete
                              << QString() << QStringList{QStringLiteral("group")} << 1 << start;
    QTest::newRow("window with no messages")
        << QJsonObject{{QStringLiteral("startDate"), 1}, {QStringLiteral("endDate"), 2}} << false << complete << QString()
        << QStringList{} << 0 << start;
    QTest::newRow("batch size 0 reads pages of 250")
        << QJsonObject{{QStringLiteral("batchSize"), 0}} << false << complete << QString()
        << QStringList{QStringLiteral("all")} << 1 << start;
    QTest::newRow("batch size 3") << QJsonObject{{QStringLiteral("batchSize"), 3}} << false << complete << QString()
                                  << QStringList{QStringLiteral("all")} << 4
                                  << QStringLiteral("Historical sync starting (mode=individual, batchSize=3, requestId=case)");
    QTest::newRow("negative start date") << QJsonObject{{QStringLiteral("startDate"), -1}} << false << failed
                                         << QStringLiteral("Invalid date window") << QStringList{} << 0 << start;
}

void TestSyncRequests::historicalRequestCases()
{
    QFETCH(QJsonObject, extra);
    QFETCH(bool, batchSync);
    QFETCH(QString, finalType);
    QFETCH(QString, error);
    QFETCH(QStringList, expectedRows);
    QFETCH(int, progressMessages);
    QFETCH(QString, startLine);
    setBatchSync(batchSync);

    QSet<QString> wanted;
    for (const QString& name : std::as_const(expectedRows)) {
        if (name == QLatin1String("all"))
            wanted += QSet<QString>(m_known.allGuids.begin(), m_known.allGuids.end());
        else if (name == QLatin1String("group"))
            wanted << m_known.groupGuid;
        else if (name == QLatin1String("friend"))
            wanted += QSet<QString>{m_known.imageGuid, m_known.missingFileGuid, m_known.replyGuid}
                      + QSet<QString>(m_known.moreImageGuids.begin(), m_known.moreImageGuids.end());
    }
    QStringList expected; // in row order
    for (const QString& guid : std::as_const(m_known.allGuids)) {
        if (wanted.contains(guid))
            expected << guid;
    }
    if (extra.value(QLatin1String("chatGuid")).toString() == QLatin1String("group-chat"))
        extra.insert(QStringLiteral("chatGuid"), m_known.groupChatGuid);

    QJsonObject request = historicalRequest(QStringLiteral("case"), m_known.windowStart, kMaxDate);
    for (auto it = extra.begin(); it != extra.end(); ++it)
        request.insert(it.key(), it.value());
    const qint64 since = m_server->lastSeq();
    QCOMPARE(m_server->push(request), 1);
    const auto last = waitForRelayMessage(finalType, QStringLiteral("case"), since);
    QVERIFY(last);
    QCOMPARE(countLog(startLine), 1);
    if (!error.isEmpty())
        QCOMPARE(str(*last, "error"), error);

    QStringList guids;
    int progress = 0;
    int batches = 0;
    for (const QJsonObject& m : relayMessages(since)) {
        const QString type = str(m, "type");
        if (type.startsWith(QLatin1String("HISTORICAL_MESSAGE_")))
            guids << str(m, "guid");
        if (type == QLatin1String("HISTORICAL_MESSAGES_BATCH")) {
            ++batches;
            for (const QJsonValue& v : m.value(QLatin1String("messages")).toArray())
                guids << str(v.toObject(), "guid");
        }
        if (type == QLatin1String("HISTORICAL_SYNC_PROGRESS")) {
            ++progress;
            QCOMPARE(num(m, "processed"), guids.size());
        }
        QVERIFY2(type != QLatin1String("HISTORICAL_SYNC_FAILED") || finalType == type, qPrintable(str(m, "error")));
    }
    QCOMPARE(guids, expected);
    QCOMPARE(progress, progressMessages);
    if (batchSync && expected.isEmpty())
        QCOMPARE(batches, 0);
    if (finalType == QLatin1String("HISTORICAL_SYNC_COMPLETE")) {
        QCOMPARE(num(*last, "totalProcessed"), expected.size());
        QCOMPARE(num(*last, "totalBatches"), progressMessages);
    }
}

void TestSyncRequests::secondHistoricalRequestRunsIndependently()
{
    setBatchSync(true);
    const qint64 since = m_server->lastSeq();
    dispatchTogether({historicalRequest(QStringLiteral("one"), 0, m_historyEnd, 50),
                      historicalRequest(QStringLiteral("two"), 0, m_historyEnd, 50)});
    const auto firstDone = waitForRelayMessage(QStringLiteral("HISTORICAL_SYNC_COMPLETE"), QStringLiteral("one"), since, 120000);
    const auto secondDone = waitForRelayMessage(QStringLiteral("HISTORICAL_SYNC_COMPLETE"), QStringLiteral("two"), since, 120000);
    QVERIFY(firstDone && secondDone);

    // Both ran at once: the second had sent pages before the first completed.
    int secondPagesBeforeFirstDone = -1;
    QHash<QString, QStringList> guids;
    for (const QJsonObject& m : relayMessages(since)) {
        const QString type = str(m, "type");
        if (type == QLatin1String("HISTORICAL_MESSAGES_BATCH")) {
            for (const QJsonValue& v : m.value(QLatin1String("messages")).toArray())
                guids[str(m, "requestId")] << str(v.toObject(), "guid");
        }
        if (type == QLatin1String("HISTORICAL_SYNC_COMPLETE") && str(m, "requestId") == QLatin1String("one"))
            secondPagesBeforeFirstDone = int(guids.value(QStringLiteral("two")).size());
    }
    QVERIFY2(secondPagesBeforeFirstDone > 0, "the second sync waited for the first");
    QCOMPARE(guids.value(QStringLiteral("one")), m_historyGuids);
    QCOMPARE(guids.value(QStringLiteral("two")), m_historyGuids);
    QCOMPARE(num(*firstDone, "totalProcessed"), m_historyGuids.size());
    QCOMPARE(num(*secondDone, "totalProcessed"), m_historyGuids.size());
}

// A page with six attachments to upload: five go at once, the sixth once one of them is answered.
void TestSyncRequests::historicalUploadsFiveAtATime()
{
    QVERIFY(test::stopHost(*m_host));
    UploadGate gate(quint16(m_server->wsUrl().port()));
    QVERIFY(gate.listen());
    gate.hold(true);
    const qint64 connectedSince = m_server->lastSeq();
    QVERIFY(startRuntime(gate.wsUrl()));
    QVERIFY(m_server->waitForEvent(
        [](const QJsonObject& e) {
            return str(e, "type") == QLatin1String("AUTH_RESULT")
                   && e.value(QLatin1String("message")).toObject().value(QLatin1String("success")).toBool();
        },
        10000, connectedSince));
    setBatchSync(true);

    const qint64 since = m_server->lastSeq();
    QCOMPARE(m_server->push(historicalRequest(QStringLiteral("gated"), m_known.windowStart, kMaxDate)), 1);
    QTRY_COMPARE_WITH_TIMEOUT(gate.answersHeld(), 5, 10000);
    // Answers held, nothing else finishes: no sixth upload starts however long it waits.
    QTest::qWait(700);
    QCOMPARE(gate.uploadsSeen(), 5);
    QVERIFY(!waitForRelayMessage(QStringLiteral("HISTORICAL_MESSAGES_BATCH"), QStringLiteral("gated"), since, 0));

    QVERIFY(gate.releaseOne());
    QTRY_COMPARE_WITH_TIMEOUT(gate.uploadsSeen(), 6, 10000);
    gate.hold(false);
    const auto complete = waitForRelayMessage(QStringLiteral("HISTORICAL_SYNC_COMPLETE"), QStringLiteral("gated"), since);
    QVERIFY(complete);
    QCOMPARE(num(*complete, "totalProcessed"), m_known.allGuids.size());
    int uploads = 0;
    for (const QJsonObject& e : m_server->events(since))
        uploads += str(e, "type") == QLatin1String("UPLOAD");
    QCOMPARE(uploads, 6);
    QCOMPARE(gate.uploadsSeen(), 6);
    // Stopped while the gate still stands, so the connection ends as a stop and not as a loss.
    QVERIFY(test::stopHost(*m_host));
    m_host.reset();
}

void TestSyncRequests::historicalSyncCutShort_data()
{
    QTest::addColumn<bool>("stopRelay"); // else the server drops the connection
    QTest::addColumn<QString>("error");
    QTest::newRow("connection lost") << false << QStringLiteral("Connection lost during sync");
    QTest::newRow("relay stopped") << true << QStringLiteral("Relay stopped");
}

void TestSyncRequests::historicalSyncCutShort()
{
    QFETCH(bool, stopRelay);
    QFETCH(QString, error);
    const qint64 since = m_server->lastSeq();
    QCOMPARE(m_server->push(historicalRequest(QStringLiteral("cut"), 0, m_historyEnd, 5)), 1);
    QVERIFY(waitForRelayMessage(QStringLiteral("HISTORICAL_SYNC_PROGRESS"), QStringLiteral("cut"), since));
    if (stopRelay)
        QVERIFY(test::stopHost(*m_host));
    else
        QCOMPARE(m_server->closeRelays(), 1);

    // The sync does not claim to be complete; after a lost connection it says so on the next one.
    const auto failed = waitForRelayMessage(QStringLiteral("HISTORICAL_SYNC_FAILED"), QStringLiteral("cut"), since, 10000);
    QVERIFY(failed);
    QCOMPARE(str(*failed, "error"), error);
    if (!stopRelay) {
        QVERIFY(m_server->waitForAuthenticatedRelay());
        QVERIFY(QTest::qWaitFor([&] { return m_logs.count(QStringLiteral("Authentication successful")) == 2; }, 5000));
    }
    QTest::qWait(300);
    int completes = 0;
    qint64 processed = 0;
    for (const QJsonObject& m : forRequest(since, QStringLiteral("cut"))) {
        completes += str(m, "type") == QLatin1String("HISTORICAL_SYNC_COMPLETE");
        if (str(m, "type") == QLatin1String("HISTORICAL_SYNC_PROGRESS"))
            processed = num(m, "processed");
    }
    QCOMPARE(completes, 0);
    QVERIFY(processed < m_historyGuids.size());
}

// ---- Contacts ----

void TestSyncRequests::contactsSyncRequests()
{
    const qint64 since = m_server->lastSeq();
    std::optional<ContactSyncResult> refused;
    // A request, a notice and the user's sync, all while the first one runs.
    m_host->configure([&refused](RelayRuntime& r) {
        const QJsonObject request{{QStringLiteral("type"), QStringLiteral("CONTACTS_SYNC_REQUEST")}};
        const QJsonObject notice{{QStringLiteral("type"), QStringLiteral("SYNC_START_CONTACTS")}, {QStringLiteral("timestamp"), 1}};
        r.handleServerMessage(str(request, "type"), bytesOf(request));
        r.handleServerMessage(str(notice, "type"), bytesOf(notice));
        runUserContactsSync(&r, &refused);
    });
    QTRY_VERIFY(refused.has_value());
    QCOMPARE(*refused, (ContactSyncResult{false, QStringLiteral("Contacts sync already running")}));
    QTRY_COMPARE(countLog(QStringLiteral("Starting contacts sync (trigger=CONTACTS_SYNC_REQUEST)")), 1);
    QTRY_COMPARE(countLog(QStringLiteral("Ignoring duplicate contacts sync trigger: SYNC_START_CONTACTS(unspecified)")), 1);
    QVERIFY(waitForRelayMessage(QStringLiteral("contacts:sync:complete"), QString(), since, 10000));
    QTRY_COMPARE(countLog(QStringLiteral("Contacts sync: Contacts synced successfully")), 1);

    // One sync: status, status, two batches (25 + 1), complete.
    QStringList types;
    QList<QJsonObject> payloads;
    for (const QJsonObject& m : relayMessages(since)) {
        if (str(m, "type").startsWith(QLatin1String("contacts:"))) {
            types << str(m, "type");
            payloads << m.value(QLatin1String("payload")).toObject();
        }
    }
    QCOMPARE(types, (QStringList{QStringLiteral("contacts:sync:status"), QStringLiteral("contacts:sync:status"),
                                 QStringLiteral("contacts:sync:data"), QStringLiteral("contacts:sync:data"),
                                 QStringLiteral("contacts:sync:complete")}));
    QCOMPARE(num(payloads.at(1), "totalContacts"), 26);
    QCOMPARE(payloads.at(2).value(QLatin1String("contacts")).toArray().size(), 25);
    QCOMPARE(num(payloads.at(3), "batch"), 2);
    QCOMPARE(payloads.at(3).value(QLatin1String("contacts")).toArray().size(), 1);
    QSet<QString> phones;
    for (int b : {2, 3}) {
        for (const QJsonValue& c : payloads.at(b).value(QLatin1String("contacts")).toArray())
            phones.insert(c.toObject().value(QLatin1String("phone_numbers")).toArray().first().toString());
    }
    QCOMPARE(phones.size(), 26);
    QCOMPARE(str(payloads.at(4), "message"), QStringLiteral("Synced 26 contacts"));

    // Once it is over the user's sync runs, and a later request runs again.
    std::optional<ContactSyncResult> user;
    m_host->configure([&user](RelayRuntime& r) { runUserContactsSync(&r, &user); });
    QTRY_VERIFY(user.has_value());
    QCOMPARE(*user, (ContactSyncResult{true, QStringLiteral("Contacts synced successfully")}));
    QCOMPARE(m_server->push({{QStringLiteral("type"), QStringLiteral("SYNC_START_CONTACTS")},
                             {QStringLiteral("timestamp"), 1},
                             {QStringLiteral("reason"), QStringLiteral("manual")}}),
             1);
    QTRY_COMPARE(countLog(QStringLiteral("Contacts sync: Contacts synced successfully")), 2);
    QCOMPARE(countLog(QStringLiteral("Starting contacts sync (trigger=SYNC_START_CONTACTS(manual))")), 1);
}

void TestSyncRequests::contactsChangeTriggersOneSync()
{
    QTRY_COMPARE(countLog(QStringLiteral("Registered Contacts change observer")), 1);
    QTRY_COMPARE(countLog(QStringLiteral("Account detection will run every 300s")), 1);
    const qint64 since = m_server->lastSeq();
    const QString changing = QDir(m_contactsDir).filePath(QStringLiteral("p27.vcf"));
    // Ten changes, each within the quiet time of the one before.
    for (int i = 0; i < 10; ++i) {
        QVERIFY(writeFile(changing, vcard(27 + i)));
        QTest::qWait(100);
    }
    const QString line = QStringLiteral("macOS Contacts changed — syncing");
    QCOMPARE(countLog(line), 0);
    QTRY_COMPARE(countLog(line), 1);
    QVERIFY(waitForRelayMessage(QStringLiteral("contacts:sync:complete"), QString(), since, 10000));
    QTest::qWait(800);
    QCOMPARE(countLog(line), 1);
    int completes = 0;
    for (const QJsonObject& m : relayMessages(since))
        completes += str(m, "type") == QLatin1String("contacts:sync:complete");
    QCOMPARE(completes, 1);
    QVERIFY(QFile::remove(changing));
}

// ---- Accounts ----

void TestSyncRequests::accountDetection()
{
    // A Messages database of its own, starting with no sent message at all.
    QVERIFY(test::stopHost(*m_host));
    m_host.reset();
    test::TemporaryHome home;
    sim::MessagesSimulator sim(home.path());
    QVERIFY(sim.init().ok());

    m_logs.clear();
    QList<QStringList> callbacks;
    m_host = std::make_unique<RelayRuntimeHost>();
    m_host->onLog = [this](LogLevel, const QString& text, const LogContext&) { m_logs << text; };
    m_host->onAccountsDetected = [&callbacks](const QStringList& accounts) { callbacks << accounts; };
    m_host->configure([](RelayRuntime& r) {
        r.setReconnectDelays(0.1, 0.4);
        r.setSyncTiming(400ms, 300ms);
    });
    const qint64 since = m_server->lastSeq();
    QVERIFY(startHost(*m_host, m_server->wsUrl()));
    QTRY_VERIFY(countLog(QStringLiteral("No accounts detected. Relay may not have sent messages yet.")) >= 1);

    auto detectedEvents = [&] {
        QList<QJsonObject> out;
        for (const QJsonObject& m : relayMessages(since)) {
            if (str(m, "type") == QLatin1String("RELAY_ACCOUNTS_DETECTED"))
                out << m;
        }
        return out;
    };
    auto accountsOf = [](const QJsonObject& m) {
        QStringList out;
        for (const QJsonValue& v : m.value(QLatin1String("accounts")).toArray())
            out << v.toString();
        return out;
    };

    // A first sent message: its address is reported once, then found unchanged.
    QVERIFY(sim.addOutgoing({QStringLiteral("pal@example.com"), {}, QStringLiteral("hi"), {}, {}}).ok());
    QVERIFY(waitForRelayMessage(QStringLiteral("RELAY_ACCOUNTS_DETECTED"), QString(), since, 5000));
    QTRY_VERIFY(countLog(QStringLiteral("Accounts unchanged, skipping report")) >= 2);
    QList<QJsonObject> events = detectedEvents();
    QCOMPARE(events.size(), 1);
    QCOMPARE(accountsOf(events.first()), QStringList{QStringLiteral("owner@example.com")});
    QCOMPARE(str(events.first(), "source"), QStringLiteral("chat_db"));
    QCOMPARE(events.first().value(QLatin1String("detectedAt")).toDouble(), events.first().value(QLatin1String("timestamp")).toDouble());
    QCOMPARE(countLog(QStringLiteral("Reported 1 detected account(s) to server")), 1);
    QCOMPARE(callbacks, (QList<QStringList>{{QStringLiteral("owner@example.com")}}));

    // After a reconnect the same set is not reported again.
    QCOMPARE(m_server->closeRelays(), 1);
    QTRY_COMPARE(countLog(QStringLiteral("Authentication successful")), 2);
    const int unchanged = countLog(QStringLiteral("Accounts unchanged, skipping report"));
    QTRY_VERIFY(countLog(QStringLiteral("Accounts unchanged, skipping report")) > unchanged);
    QCOMPARE(detectedEvents().size(), 1);

    // A new address found while the server is away is reported once the relay is back.
    const qint64 beforeStop = m_server->lastSeq();
    m_server->stop();
    QVERIFY(sim.addOutgoing({QStringLiteral("+14155550199"), {}, QStringLiteral("by sms"), {}, QStringLiteral("SMS")}).ok());
    QTRY_VERIFY(countLog(QStringLiteral("Detected 2 account(s); not reported, no connection")) >= 1);
    QVERIFY2(m_server->restart(), qPrintable(m_server->errorString()));
    const auto reported = waitForRelayMessage(QStringLiteral("RELAY_ACCOUNTS_DETECTED"), QString(), beforeStop, 10000);
    QVERIFY(reported);
    QCOMPARE(accountsOf(*reported), (QStringList{QStringLiteral("+14155550100"), QStringLiteral("owner@example.com")}));

    // The same two in the other order (the newest sent message decides) are the same set.
    QVERIFY(sim.addOutgoing({QStringLiteral("pal@example.com"), {}, QStringLiteral("again"), {}, {}}).ok());
    const int before = countLog(QStringLiteral("Accounts unchanged, skipping report"));
    QTRY_VERIFY(countLog(QStringLiteral("Accounts unchanged, skipping report")) >= before + 2);
    int after = 0;
    for (const QJsonObject& m : relayMessages(beforeStop))
        after += str(m, "type") == QLatin1String("RELAY_ACCOUNTS_DETECTED");
    QCOMPARE(after, 1);
    QCOMPARE(callbacks.last(), (QStringList{QStringLiteral("+14155550100"), QStringLiteral("owner@example.com")}));

    QVERIFY(test::stopHost(*m_host));
    m_host.reset();
}

QTEST_GUILESS_MAIN(TestSyncRequests)
#include "tst_syncrequests.moc"
