// Reference server → relay runtime → osascript stand-in → Messages database → watcher → server:
// sends the server asks for are carried out, answered with MESSAGE_RESULT, and their database
// echoes come back as SENT_MESSAGE_GUID_UPDATE instead of a second MESSAGE_SENT.
#include "dbconnection.h"
#include "dbstatement.h"
#include "messagessimulator.h"
#include "relayruntimehost.h"
#include "runtimehostcontrol.h"
#include "relayserverharness.h"
#include "testsupport.h"

#include <QCoroTask>
#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QSet>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

using namespace velto;
using namespace std::chrono_literals;

namespace {
const QString kKey = QStringLiteral("send-test-key");


QJsonObject sendRequest(const QString& messageId, const QString& recipient, const QString& body)
{
    return QJsonObject{{QStringLiteral("type"), QStringLiteral("SEND_MESSAGE")},
                       {QStringLiteral("timestamp"), double(QDateTime::currentMSecsSinceEpoch())},
                       {QStringLiteral("messageId"), messageId},
                       {QStringLiteral("recipient"), recipient},
                       {QStringLiteral("body"), body}};
}

QJsonObject attachment(const QString& fileName, const QString& url)
{
    return QJsonObject{{QStringLiteral("id"), QString(QStringLiteral("att-") + fileName)},
                       {QStringLiteral("fileName"), fileName},
                       {QStringLiteral("mimeType"), QStringLiteral("image/png")},
                       {QStringLiteral("downloadUrl"), url}};
}

QJsonObject messageOf(const QJsonObject& event)
{
    return event.value(QLatin1String("message")).toObject();
}

// The first row of a query on the simulator's database, as texts; empty when there is none.
QStringList firstRow(const QString& databasePath, const QString& sql, const QStringList& arguments = {})
{
    auto db = db::Connection::openReadOnly(databasePath, 5000ms);
    if (!db.ok()) {
        qWarning() << "open" << db.error().description();
        return {};
    }
    auto q = db->prepare(sql);
    if (!q.ok()) {
        qWarning() << "prepare" << q.error().description();
        return {};
    }
    for (int i = 0; i < arguments.size(); ++i) {
        if (!q->bind(i + 1, arguments.at(i)).ok())
            return {};
    }
    const auto stepped = q->step();
    if (!stepped.ok())
        qWarning() << "step" << stepped.error().description();
    if (!stepped.ok() || !stepped.value())
        return {};
    QStringList row;
    for (int c = 0; c < q->columnCount(); ++c) {
        const auto number = q->int64(c);
        row << (number ? QString::number(*number) : q->text(c));
    }
    return row;
}
} // namespace

class TestSendRequests : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_home.isValid());
        const QString standIn = QDir(test::binDir()).filePath(QStringLiteral("osascript"));
        QVERIFY2(QFileInfo(standIn).isExecutable(), qPrintable(standIn + QStringLiteral(" is missing")));
        qputenv("VELTO_OSASCRIPT", QFile::encodeName(standIn));
        m_sim = std::make_unique<sim::MessagesSimulator>(m_home.path());
        QVERIFY(m_sim->init().ok());
        sim::FillOptions fill = sim::FillOptions::preset(QStringLiteral("small")).value();
        fill.messages = 200;
        auto filled = m_sim->fill(fill);
        QVERIFY2(filled.ok(), filled.ok() ? "" : qPrintable(filled.error().description()));
        m_sim->close();
        const QStringList group = firstRow(m_sim->databasePath(),
                                           QStringLiteral("SELECT guid, chat_identifier FROM chat WHERE style = 43 LIMIT 1"));
        QCOMPARE(group.size(), 2);
        m_groupChatGuid = group.at(0);
        m_groupChatIdentifier = group.at(1);
    }

    void init()
    {
        m_server = std::make_unique<RelayServerHarness>();
        QVERIFY2(m_server->start({QStringLiteral("--api-key"), kKey, QStringLiteral("--ping-interval-ms"), QStringLiteral("0")}),
                 qPrintable(m_server->errorString()));
        m_host = std::make_unique<RelayRuntimeHost>();
        m_logs.clear();
        m_host->onLog = [this](LogLevel, const QString& text, const LogContext&) { m_logs << text; };
        QVERIFY(test::startQuickHost(*m_host, m_server->wsUrl(), QStringLiteral("SEND-RELAY"), kKey));
        QVERIFY(m_server->waitForAuthenticatedRelay());
        QTRY_VERIFY(std::any_of(m_logs.begin(), m_logs.end(), [](const QString& l) {
            return l.startsWith(QLatin1String("Message watcher started from ROWID"));
        }));
    }

    void cleanup()
    {
        QFile::remove(refusalFlag());
        if (m_host)
            QVERIFY(test::stopHost(*m_host));
        m_host.reset();
        m_server.reset();
    }

    void textSendIsReconciled_data()
    {
        QTest::addColumn<QString>("recipient");
        QTest::addColumn<bool>("group");
        QTest::addColumn<QString>("chatIdentifier"); // empty: the group chat's

        QTest::newRow("US number with punctuation") << QStringLiteral("(415) 555-0142") << false << QStringLiteral("+14155550142");
        QTest::newRow("US number, digits only") << QStringLiteral("4155550143") << false << QStringLiteral("+14155550143");
        QTest::newRow("e-mail address") << QStringLiteral("friend@example.com") << false << QStringLiteral("friend@example.com");
        QTest::newRow("group chat by GUID") << QStringLiteral("group recipient") << true << QString();
    }

    void textSendIsReconciled()
    {
        QFETCH(QString, recipient);
        QFETCH(bool, group);
        QFETCH(QString, chatIdentifier);
        if (chatIdentifier.isEmpty())
            chatIdentifier = m_groupChatIdentifier;

        const QString messageId = QStringLiteral("text-") + QString::fromLatin1(QTest::currentDataTag());
        const QString body = QStringLiteral("Sent on request: ") + QString::fromLatin1(QTest::currentDataTag());
        QJsonObject request = sendRequest(messageId, recipient, body);
        if (group) {
            request.insert(QStringLiteral("isGroupChat"), true);
            request.insert(QStringLiteral("chatGuid"), m_groupChatGuid);
            request.insert(QStringLiteral("groupId"), m_groupChatIdentifier);
            request.insert(QStringLiteral("groupDisplayName"), QStringLiteral("Test group"));
        }
        const qint64 sentBefore = messagesSent();
        const qint64 since = m_server->lastSeq();
        QCOMPARE(m_server->push(request), 1);

        const auto result = waitFor(QStringLiteral("MESSAGE_RESULT"), messageId, since);
        QVERIFY(result);
        QCOMPARE(result->value(QLatin1String("status")).toString(), QStringLiteral("success"));
        QCOMPARE(result->value(QLatin1String("recipient")).toString(), recipient);
        QVERIFY(!result->contains(QLatin1String("error")));
        QVERIFY(!result->contains(QLatin1String("guid"))); // a text alone is not looked up

        const auto update = waitFor(QStringLiteral("SENT_MESSAGE_GUID_UPDATE"), messageId, since);
        QVERIFY(update);
        const QString guid = update->value(QLatin1String("guid")).toString();
        QVERIFY(!guid.isEmpty());
        QCOMPARE(update->value(QLatin1String("isSent")).toBool(), true);

        // The row is the owner's, in the chat the request named, with the number in E.164 form.
        const QStringList row = firstRow(m_sim->databasePath(),
                                         QStringLiteral("SELECT m.is_from_me, c.chat_identifier, c.guid FROM message m "
                                                        "JOIN chat_message_join j ON j.message_id = m.ROWID "
                                                        "JOIN chat c ON c.ROWID = j.chat_id WHERE m.guid = ?"),
                                         {guid});
        QCOMPARE(row.value(0), QStringLiteral("1"));
        QCOMPARE(row.value(1), chatIdentifier);
        if (group)
            QCOMPARE(row.value(2), m_groupChatGuid);

        // The echo replaced MESSAGE_SENT; a row written afterwards proves the watcher moved on.
        QVERIFY(passMarker(since));
        for (const QJsonObject& e : m_server->events(since)) {
            if (e.value(QLatin1String("type")).toString() == QLatin1String("MESSAGE_SENT"))
                QVERIFY2(messageOf(e).value(QLatin1String("guid")).toString() != guid, "the echo also went out as MESSAGE_SENT");
        }
        // One for the send, one for its echo.
        QTRY_COMPARE(messagesSent(), sentBefore + 2);
    }

    void attachmentSendAnswersWithGuid_data()
    {
        QTest::addColumn<QString>("fileName");
        QTest::addColumn<QString>("storedAs");
        QTest::addColumn<QString>("body");

        QTest::newRow("image with a text") << QStringLiteral("photo.png") << QStringLiteral("photo.png") << QStringLiteral("Here it is");
        QTest::newRow("image alone") << QStringLiteral("alone.png") << QStringLiteral("alone.png") << QString();
        QTest::newRow("name climbing out of the staging folder") << QStringLiteral("../../x") << QStringLiteral("x") << QString();
        QTest::newRow("name with folders") << QStringLiteral("a/b/inner.png") << QStringLiteral("inner.png") << QString();
    }

    void attachmentSendAnswersWithGuid()
    {
        QFETCH(QString, fileName);
        QFETCH(QString, storedAs);
        QFETCH(QString, body);

        QByteArray bytes = QByteArrayLiteral("\x89PNG\r\n\x1a\n");
        for (int i = 0; i < 3000; ++i)
            bytes += char(i * 13);
        const QUrl url = m_server->storeFile(QStringLiteral("source.png"), bytes);
        QVERIFY(url.isValid());

        const QString messageId = QStringLiteral("file-") + QString::fromLatin1(QTest::currentDataTag());
        QJsonObject request = sendRequest(messageId, QStringLiteral("+1 415 555 0150"), body);
        request.insert(QStringLiteral("attachments"), QJsonArray{attachment(fileName, url.toString())});
        const qint64 since = m_server->lastSeq();
        QCOMPARE(m_server->push(request), 1);

        const auto result = waitFor(QStringLiteral("MESSAGE_RESULT"), messageId, since, 15000);
        QVERIFY(result);
        QCOMPARE(result->value(QLatin1String("status")).toString(), QStringLiteral("success"));
        const QString guid = result->value(QLatin1String("guid")).toString();
        QVERIFY2(!guid.isEmpty(), "no guid in MESSAGE_RESULT");

        // The guid is the outgoing row carrying the file, under its last name component.
        const QStringList row = firstRow(m_sim->databasePath(),
                                         QStringLiteral("SELECT m.is_from_me, a.transfer_name, a.filename, a.total_bytes "
                                                        "FROM message m JOIN message_attachment_join j ON j.message_id = m.ROWID "
                                                        "JOIN attachment a ON a.ROWID = j.attachment_id WHERE m.guid = ?"),
                                         {guid});
        QCOMPARE(row.value(0), QStringLiteral("1"));
        QCOMPARE(row.value(1), storedAs);
        QCOMPARE(row.value(3).toLongLong(), qint64(bytes.size()));

        // Nothing named like the download exists outside the staging folders of the relay and
        // the sender, except the copy the database itself points at.
        const QString home = m_home.path();
        QString recorded = row.value(2);
        if (recorded.startsWith(QLatin1String("~/")))
            recorded = QDir(home).filePath(recorded.mid(2));
        const QString attachments = QDir(home).filePath(QStringLiteral("Library/Messages/Attachments/"));
        QDirIterator it(home, {storedAs}, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString path = QDir::cleanPath(it.next());
            const bool staged = path.startsWith(attachments + QStringLiteral("tolka-relay/"))
                                || path.startsWith(attachments + QStringLiteral("tolka/"));
            QVERIFY2(staged || path == QDir::cleanPath(recorded), qPrintable(QStringLiteral("written outside: ") + path));
        }
        // A successful send leaves no download behind.
        QDirIterator staging(attachments + QStringLiteral("tolka-relay"), QDir::Files, QDirIterator::Subdirectories);
        QVERIFY2(!staging.hasNext(), "a staged download was left behind");
    }

    void failedSend_data()
    {
        QTest::addColumn<QString>("recipient");
        QTest::addColumn<QJsonObject>("extra");
        QTest::addColumn<bool>("refuseAutomation");
        QTest::addColumn<QString>("error");

        QTest::newRow("address without a dot") << QStringLiteral("someone@example") << QJsonObject() << false
                                               << QStringLiteral("Invalid recipient format: someone@example");
        QTest::newRow("letters for a number") << QStringLiteral("call me") << QJsonObject() << false
                                              << QStringLiteral("Invalid recipient format: call me");
        QTest::newRow("group without chat GUID")
            << QStringLiteral("Family") << QJsonObject{{QStringLiteral("isGroupChat"), true}, {QStringLiteral("groupId"), QStringLiteral("chat1")}}
            << false << QStringLiteral("Send failed: Group chat send requires chatGuid");
        QTest::newRow("automation refused")
            << QStringLiteral("+14155550160") << QJsonObject() << true
            << QStringLiteral("Send failed: AppleScript failed: execution error: Not authorized to send Apple events to Messages. (-1743)");
    }

    void failedSend()
    {
        QFETCH(QString, recipient);
        QFETCH(QJsonObject, extra);
        QFETCH(bool, refuseAutomation);
        QFETCH(QString, error);
        if (refuseAutomation) {
            QFile flag(refusalFlag());
            QVERIFY(flag.open(QIODevice::WriteOnly));
        }

        const QString messageId = QStringLiteral("fail-") + QString::fromLatin1(QTest::currentDataTag());
        QJsonObject request = sendRequest(messageId, recipient, QStringLiteral("will not go"));
        for (auto it = extra.begin(); it != extra.end(); ++it)
            request.insert(it.key(), it.value());
        const QString rowsBefore = latestRowId();
        const qint64 sentBefore = messagesSent();
        const qint64 since = m_server->lastSeq();
        QCOMPARE(m_server->push(request), 1);

        const auto result = waitFor(QStringLiteral("MESSAGE_RESULT"), messageId, since);
        QVERIFY(result);
        QCOMPARE(result->value(QLatin1String("status")).toString(), QStringLiteral("failed"));
        QCOMPARE(result->value(QLatin1String("error")).toString(), error);
        QCOMPARE(result->value(QLatin1String("recipient")).toString(), recipient);
        QVERIFY(!result->contains(QLatin1String("guid")));
        // Nothing was written (Messages would have written within a quarter second) and no
        // counter moved.
        QVERIFY(passMarker(since));
        QCOMPARE(messagesSent(), sentBefore);
        QCOMPARE(latestRowId().toLongLong(), rowsBefore.toLongLong() + 1); // the marker alone
    }

    void missingDownloadStillSendsText()
    {
        const QString messageId = QStringLiteral("missing-download");
        QJsonObject request = sendRequest(messageId, QStringLiteral("+14155550170"), QStringLiteral("The file went missing"));
        const QString url = m_server->httpBase().toString() + QStringLiteral("/storage/nothing/gone.png");
        request.insert(QStringLiteral("attachments"), QJsonArray{attachment(QStringLiteral("gone.png"), url)});
        const qint64 since = m_server->lastSeq();
        QCOMPARE(m_server->push(request), 1);

        // The text's echo arrives while the relay still looks for the file's row.
        const auto update = waitFor(QStringLiteral("SENT_MESSAGE_GUID_UPDATE"), messageId, since, 10000);
        QVERIFY(update);
        const auto result = waitFor(QStringLiteral("MESSAGE_RESULT"), messageId, since, 15000);
        QVERIFY(result);
        QCOMPARE(result->value(QLatin1String("status")).toString(), QStringLiteral("success"));
        QVERIFY(!result->contains(QLatin1String("guid")));
        QVERIFY(m_logs.contains(QStringLiteral("[dupe-images] GUID poll timed out")));
        QVERIFY(firstRow(m_sim->databasePath(), QStringLiteral("SELECT ROWID FROM attachment WHERE transfer_name = ?"),
                         {QStringLiteral("gone.png")})
                    .isEmpty());
    }

    void statusShowsSendInFlight()
    {
        // A download source that accepts the request and never answers holds the send open.
        QTcpServer stalled;
        QVERIFY(stalled.listen(QHostAddress::LocalHost));
        const QString url = QStringLiteral("http://127.0.0.1:%1/slow.png").arg(stalled.serverPort());
        QJsonObject request = sendRequest(QStringLiteral("in-flight"), QStringLiteral("+14155550180"), QStringLiteral("waiting"));
        request.insert(QStringLiteral("attachments"), QJsonArray{attachment(QStringLiteral("slow.png"), url)});
        const qint64 since = m_server->lastSeq();
        QCOMPARE(m_server->push(request), 1);
        QTRY_VERIFY(stalled.hasPendingConnections());
        QTcpSocket* connection = stalled.nextPendingConnection();

        auto status = [&](const QString& requestId) -> std::optional<QJsonObject> {
            const qint64 from = m_server->lastSeq();
            if (m_server->push(QJsonObject{{QStringLiteral("type"), QStringLiteral("GET_STATUS")},
                                           {QStringLiteral("timestamp"), double(QDateTime::currentMSecsSinceEpoch())},
                                           {QStringLiteral("requestId"), requestId}})
                != 1)
                return std::nullopt;
            const auto got = m_server->waitForEvent(
                [&](const QJsonObject& e) {
                    return e.value(QLatin1String("type")).toString() == QLatin1String("STATUS_RESPONSE")
                           && messageOf(e).value(QLatin1String("requestId")).toString() == requestId;
                },
                5000, from);
            if (!got)
                return std::nullopt;
            return messageOf(*got).value(QLatin1String("status")).toObject().value(QLatin1String("messageQueue")).toObject();
        };
        const auto busy = status(QStringLiteral("status-busy"));
        QVERIFY(busy);
        QCOMPARE(busy->value(QLatin1String("queueLength")).toInt(), 1);
        QCOMPARE(busy->value(QLatin1String("isProcessing")).toBool(), true);

        // The source hangs up and goes away (the client would retry a dropped GET): a transport
        // error ends the one attempt.
        stalled.close();
        connection->abort();
        const auto result = waitFor(QStringLiteral("MESSAGE_RESULT"), QStringLiteral("in-flight"), since);
        QVERIFY(result);
        QCOMPARE(result->value(QLatin1String("status")).toString(), QStringLiteral("failed"));
        QVERIFY(!result->value(QLatin1String("error")).toString().isEmpty());
        const auto idle = status(QStringLiteral("status-idle"));
        QVERIFY(idle);
        QCOMPARE(idle->value(QLatin1String("queueLength")).toInt(), 0);
        QCOMPARE(idle->value(QLatin1String("isProcessing")).toBool(), false);
    }

    void undecodableRequestIsLoggedNotAnswered()
    {
        const qint64 since = m_server->lastSeq();
        QJsonObject request = sendRequest(QStringLiteral("bad"), QStringLiteral("+14155550190"), QStringLiteral("x"));
        request.remove(QStringLiteral("recipient"));
        QCOMPARE(m_server->push(request), 1);
        QTRY_VERIFY(m_logs.contains(QStringLiteral("Failed to decode SEND_MESSAGE")));
        QVERIFY(passMarker(since));
        QVERIFY(!waitFor(QStringLiteral("MESSAGE_RESULT"), QStringLiteral("bad"), since, 0));
    }

    void tenRequestsInOneSecond()
    {
        const qint64 since = m_server->lastSeq();
        QSet<QString> ids;
        for (int i = 0; i < 10; ++i) {
            const QString id = QStringLiteral("burst-%1").arg(i);
            ids.insert(id);
            QCOMPARE(m_server->push(sendRequest(id, QStringLiteral("+1415555%1").arg(2000 + i), QStringLiteral("Burst message %1").arg(i))), 1);
            QTest::qWait(90);
        }
        // messageId → the member that tells them apart ("status" of a result, "guid" of an update).
        auto collect = [&](const QString& type, const char* member) {
            QHash<QString, QString> seen;
            m_server->waitForEvent(
                [&](const QJsonObject& e) {
                    const QJsonObject m = messageOf(e);
                    if (e.value(QLatin1String("type")).toString() == type)
                        seen.insert(m.value(QLatin1String("messageId")).toString(), m.value(QLatin1String(member)).toString());
                    return seen.size() == 10;
                },
                30000, since);
            return seen;
        };
        const QHash<QString, QString> answered = collect(QStringLiteral("MESSAGE_RESULT"), "status");
        QCOMPARE(QSet<QString>(answered.keyBegin(), answered.keyEnd()), ids);
        for (const QString& status : answered)
            QCOMPARE(status, QStringLiteral("success"));
        // Every echo found its own send.
        const QHash<QString, QString> updated = collect(QStringLiteral("SENT_MESSAGE_GUID_UPDATE"), "guid");
        QCOMPARE(QSet<QString>(updated.keyBegin(), updated.keyEnd()), ids);
        const QList<QString> guids = updated.values();
        QCOMPARE(QSet<QString>(guids.begin(), guids.end()).size(), 10);
    }

private:
    // The message of the first event of `type` for `messageId` after `since`.
    std::optional<QJsonObject> waitFor(const QString& type, const QString& messageId, qint64 since, int timeoutMs = 10000)
    {
        const auto got = m_server->waitForEvent(
            [&](const QJsonObject& e) {
                return e.value(QLatin1String("type")).toString() == type
                       && messageOf(e).value(QLatin1String("messageId")).toString() == messageId;
            },
            timeoutMs, since);
        if (!got)
            return std::nullopt;
        return messageOf(*got);
    }

    // Writes an incoming row and waits for its event: every row written before it has been
    // handled by then.
    bool passMarker(qint64 since)
    {
        auto marker = m_sim->addIncoming({QStringLiteral("+14155550199"), QStringLiteral("marker"), {}, {}, {}, {}, {}});
        m_sim->close();
        if (!marker.ok())
            return false;
        const QString guid = marker->guid;
        return m_server
            ->waitForEvent([&](const QJsonObject& e) { return messageOf(e).value(QLatin1String("guid")).toString() == guid; },
                           10000, since)
            .has_value();
    }

    QString latestRowId() const
    {
        return firstRow(m_sim->databasePath(), QStringLiteral("SELECT MAX(ROWID) FROM message")).value(0);
    }

    qint64 messagesSent() const
    {
        return m_host->readOnRelayThread<qint64>([](const RelayRuntime& r) { return r.messagesSent(); });
    }

    QString refusalFlag() const { return QDir(m_home.path()).filePath(QStringLiteral("Library/Messages/sim-refuse-automation")); }

    test::TemporaryHome m_home;
    std::unique_ptr<sim::MessagesSimulator> m_sim;
    std::unique_ptr<RelayServerHarness> m_server;
    std::unique_ptr<RelayRuntimeHost> m_host;
    QStringList m_logs;
    QString m_groupChatGuid;
    QString m_groupChatIdentifier;
};

QTEST_GUILESS_MAIN(TestSendRequests)
#include "tst_sendrequests.moc"
