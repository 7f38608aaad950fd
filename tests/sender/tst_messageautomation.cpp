// MessageAutomation end to end: downloads from the reference relay server into the staging
// folder, sends through the Messages simulator's osascript stand-in, retries, and reports.

#include "simulatedmessages.h"

#include <messageautomation.h>
#include <messagestore.h>
#include <readonlydb.h>
#include <relayserverharness.h>

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QJsonArray>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

using namespace velto;
using velto::test::await;
using velto::test::ReadOnlyDb;
using velto::test::SimulatedMessages;

namespace {

OutboundAttachment attachment(const QString& fileName, const QUrl& url)
{
    OutboundAttachment file;
    file.id = QStringLiteral("att-") + fileName;
    file.fileName = fileName;
    file.originalFileName = fileName;
    file.mimeType = QStringLiteral("image/png");
    file.downloadUrl = url.toString();
    return file;
}

QStringList transferNames(const QString& databasePath)
{
    QStringList names;
    ReadOnlyDb db(databasePath);
    for (const QVariantList& row : db.rows(QStringLiteral("SELECT transfer_name FROM attachment ORDER BY ROWID")))
        names.append(row.first().toString());
    return names;
}

// Every regular file under `folder`.
QStringList filesUnder(const QString& folder)
{
    QStringList files;
    QDirIterator it(folder, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext())
        files.append(it.next());
    return files;
}

} // namespace

class TestMessageAutomation : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY2(m_server.start(), qPrintable(m_server.errorString()));
        m_photo = QByteArray("\x89PNG\r\n\x1a\n", 8) + QByteArray(4096, 'p');
        m_photoUrl = m_server.storeFile(QStringLiteral("photo.png"), m_photo);
        QVERIFY(m_photoUrl.isValid());
        m_missingUrl = QUrl(m_server.httpBase().toString() + QStringLiteral("/storage/not-stored-here.png"));
    }

    void cleanupTestCase() { m_server.stop(); }

    // A 404 is skipped and the rest still goes; only the text and the downloaded files are sent.
    void textAndAttachments_data()
    {
        QTest::addColumn<QString>("body");
        QTest::addColumn<bool>("withMissing");
        QTest::addColumn<int>("expectedCalls");
        QTest::addColumn<QStringList>("expectedTransferNames");

        QTest::newRow("text and one file") << "Here you go" << false << 2 << QStringList{QStringLiteral("photo.png")};
        QTest::newRow("file only") << "" << false << 1 << QStringList{QStringLiteral("photo.png")};
        QTest::newRow("404 skipped, text still sent") << "Here you go" << true << 2
                                                      << QStringList{QStringLiteral("photo.png")};
    }

    void textAndAttachments()
    {
        QFETCH(QString, body);
        QFETCH(bool, withMissing);
        QFETCH(int, expectedCalls);
        QFETCH(QStringList, expectedTransferNames);
        SimulatedMessages messages;
        QVERIFY2(messages.isReady(), qPrintable(messages.error()));
        MessageAutomation automation(1);
        automation.initialize();
        QVERIFY(QFileInfo(automation.stagingDir()).isDir());

        QList<OutboundAttachment> files;
        if (withMissing)
            files.append(attachment(QStringLiteral("gone.png"), m_missingUrl));
        files.append(attachment(QStringLiteral("photo.png"), m_photoUrl));
        const SendResult result = await(automation.sendMessage(QStringLiteral("+1 (415) 555-0123"), body,
                                                               std::nullopt, files));
        QVERIFY2(result.success, qPrintable(result.error.value_or(QString())));
        QVERIFY(result.messageId.startsWith(QLatin1String("msg_")));
        QVERIFY(!result.error);

        const QList<QJsonObject> calls = messages.calls();
        QCOMPARE(calls.size(), expectedCalls);
        for (const QJsonObject& call : calls) {
            QCOMPARE(call.value(QLatin1String("arguments")).toArray().at(0).toString(), QStringLiteral("+14155550123"));
            QCOMPARE(call.value(QLatin1String("outcome")).toString(), QStringLiteral("accepted"));
        }
        QTRY_COMPARE(messages.count(QStringLiteral("message")), qint64(expectedCalls));
        QTRY_COMPARE(transferNames(messages.databasePath()), expectedTransferNames);
        // The downloaded files are gone after a successful send.
        QCOMPARE(filesUnder(automation.stagingDir()), QStringList());
        QCOMPARE(automation.queueLength(), 0);
    }

    // Only the last component of the server's file name is used; names without one are skipped.
    // Nothing is ever written outside the message's staging folder.
    void serverFileNames_data()
    {
        QTest::addColumn<QString>("fileName");
        QTest::addColumn<QString>("sentAs"); // empty: skipped

        QTest::newRow("climbing out") << "../../x" << "x";
        QTest::newRow("climbing far out") << "../../../../../../../../velto-sender-escape" << "velto-sender-escape";
        QTest::newRow("absolute path") << "/tmp/velto-sender-escape" << "velto-sender-escape";
        QTest::newRow("dot dot") << ".." << "";
        QTest::newRow("dot") << "." << "";
        QTest::newRow("empty") << "" << "";
        QTest::newRow("folder only") << "pictures/" << "";
    }

    void serverFileNames()
    {
        QFETCH(QString, fileName);
        QFETCH(QString, sentAs);
        SimulatedMessages messages;
        QVERIFY2(messages.isReady(), qPrintable(messages.error()));
        MessageAutomation automation(1);
        automation.initialize();
        const QList<OutboundAttachment> files{attachment(fileName, m_photoUrl)};

        // A refused send leaves its downloads in place: everything the download wrote is on disk.
        messages.refuseAutomation();
        const QStringList filesBefore = filesUnder(messages.home());
        const SendResult refused = await(automation.sendMessage(QStringLiteral("friend@example.com"), QString(),
                                                                std::nullopt, files));
        const QString messageFolder = QDir(automation.stagingDir()).filePath(refused.messageId);
        QStringList written;
        for (const QString& file : filesUnder(messages.home())) {
            if (!filesBefore.contains(file) && !file.endsWith(QLatin1String(".jsonl"))
                && !file.contains(QLatin1String("/Library/Messages/chat.db")))
                written.append(file);
        }
        const QString naive = QDir::cleanPath(messageFolder + QLatin1Char('/') + fileName);
        // Where joining the name as given would have written (outside the home for some names).
        QVERIFY2(!QFileInfo(naive).isFile() || naive.startsWith(messageFolder + QLatin1Char('/')), qPrintable(naive));
        if (sentAs.isEmpty()) {
            // Nothing downloaded, nothing to send: the request succeeds without a script run.
            QVERIFY(refused.success);
            QCOMPARE(written, QStringList());
            QCOMPARE(messages.calls().size(), 0);
            return;
        }
        QVERIFY(!refused.success);
        const QString staged = messageFolder + QLatin1Char('/') + sentAs;
        // The sender stages its own copy for Messages in the sender's staging folder.
        QCOMPARE(written.size(), 2);
        QVERIFY2(written.contains(staged), qPrintable(written.join(QLatin1Char(' '))));
        const QString senderStaging = messages.home() + QStringLiteral("/Library/Messages/Attachments/tolka/");
        for (const QString& file : std::as_const(written))
            QVERIFY2(file == staged || (file.startsWith(senderStaging) && file.endsWith(QLatin1Char('/') + sentAs)),
                     qPrintable(file));
        QFile download(staged);
        QVERIFY(download.open(QIODevice::ReadOnly));
        QCOMPARE(download.readAll(), m_photo);

        // Allowed again, the file goes out under its last name component.
        QVERIFY(QFile::remove(QDir(messages.home()).filePath(QStringLiteral("Library/Messages/sim-refuse-automation"))));
        const SendResult sent = await(automation.sendMessage(QStringLiteral("friend@example.com"),
                                                             QStringLiteral("see attached"), std::nullopt, files));
        QVERIFY2(sent.success, qPrintable(sent.error.value_or(QString())));
        QTRY_COMPARE(transferNames(messages.databasePath()), QStringList{sentAs});
    }

    void recipients_data()
    {
        QTest::addColumn<QString>("recipient");
        QTest::addColumn<QString>("error"); // empty: accepted

        QTest::newRow("phone with punctuation") << "+1 (415) 555-0123" << "";
        QTest::newRow("e-mail") << "friend@example.com" << "";
        QTest::newRow("upper-case UUID") << "0F8FAD5B-D9CB-469F-A165-70867728950E" << "";
        QTest::newRow("at-sign without dot") << "friend@example" << "Invalid recipient format: friend@example";
        QTest::newRow("name") << "Jane Doe" << "Invalid recipient format: Jane Doe";
        QTest::newRow("empty") << "" << "Invalid recipient format: ";
    }

    void recipients()
    {
        QFETCH(QString, recipient);
        QFETCH(QString, error);
        SimulatedMessages messages;
        QVERIFY2(messages.isReady(), qPrintable(messages.error()));
        MessageAutomation automation(1);
        const SendResult result = await(automation.sendMessage(recipient, QStringLiteral("hi"), std::nullopt, std::nullopt));
        QCOMPARE(result.success, error.isEmpty());
        QCOMPARE(result.error.value_or(QString()), error);
        QCOMPARE(messages.calls().size(), error.isEmpty() ? 1 : 0);
    }

    void groupSend_data()
    {
        QTest::addColumn<bool>("withChatGuid");
        QTest::newRow("with chat GUID") << true;
        QTest::newRow("without chat GUID") << false;
    }

    void groupSend()
    {
        QFETCH(bool, withChatGuid);
        SimulatedMessages messages(true);
        QVERIFY2(messages.isReady(), qPrintable(messages.error()));
        QString guid;
        qint64 chatRowId = 0;
        qint64 before = 0;
        {
            ReadOnlyDb db(messages.databasePath());
            const auto group = db.rows(QStringLiteral("SELECT ROWID, guid FROM chat WHERE style = 43 LIMIT 1"));
            QCOMPARE(group.size(), 1);
            chatRowId = group.first().at(0).toLongLong();
            guid = group.first().at(1).toString();
            before = db.value(QStringLiteral("SELECT MAX(ROWID) FROM message")).toLongLong();
        }
        GroupMetadata metadata;
        metadata.isGroupChat = true;
        metadata.groupDisplayName = QStringLiteral("Weekend plans");
        if (withChatGuid)
            metadata.chatGuid = guid;
        MessageAutomation automation(1);
        const SendResult result = await(automation.sendMessage(QStringLiteral("group-recipient-not-checked"),
                                                               QStringLiteral("Saturday?"), metadata, std::nullopt));
        if (!withChatGuid) {
            QVERIFY(!result.success);
            QCOMPARE(result.error.value_or(QString()), QStringLiteral("Send failed: Group chat send requires chatGuid"));
            QCOMPARE(messages.calls().size(), 0);
            return;
        }
        QVERIFY2(result.success, qPrintable(result.error.value_or(QString())));
        const QJsonArray arguments = messages.calls().value(0).value(QLatin1String("arguments")).toArray();
        QCOMPARE(arguments.at(5).toString(), guid);
        QCOMPARE(arguments.at(6).toString(), QStringLiteral("1"));
        ReadOnlyDb db(messages.databasePath());
        const QString newRows = QStringLiteral(
            "SELECT j.chat_id FROM message m JOIN chat_message_join j ON j.message_id = m.ROWID WHERE m.ROWID > ?");
        QTRY_COMPARE(db.rows(newRows, {before}).size(), 1);
        QCOMPARE(db.rows(newRows, {before}).first().first().toLongLong(), chatRowId);
    }

    // A refused send is tried maxRetries times in all, the waits doubling from the base delay.
    void retries_data()
    {
        QTest::addColumn<int>("maxRetries");
        QTest::addColumn<int>("expectedCalls");
        QTest::addColumn<QString>("error");
        const QString refused = QStringLiteral(
            "Send failed: AppleScript failed: execution error: Not authorized to send Apple events to Messages. (-1743)");
        QTest::newRow("one attempt, as the runtime has it") << 1 << 1 << refused;
        QTest::newRow("three attempts") << 3 << 3 << refused;
        QTest::newRow("no attempt") << 0 << 0 << "Max retries exceeded";
    }

    void retries()
    {
        QFETCH(int, maxRetries);
        QFETCH(int, expectedCalls);
        QFETCH(QString, error);
        SimulatedMessages messages;
        QVERIFY2(messages.isReady(), qPrintable(messages.error()));
        messages.refuseAutomation();
        constexpr qint64 baseDelayMs = 150;
        MessageAutomation automation(maxRetries, std::chrono::milliseconds(baseDelayMs));
        if (maxRetries > 0) {
            QTest::ignoreMessage(QtCriticalMsg,
                                 QRegularExpression(QStringLiteral("^Message msg_\\S+ failed permanently after %1 "
                                                                   "attempts: ")
                                                        .arg(maxRetries)));
        }
        for (int attempt = 1; attempt < maxRetries; ++attempt) {
            QTest::ignoreMessage(QtCriticalMsg,
                                 QRegularExpression(QStringLiteral("^Message msg_\\S+ failed, retrying \\(attempt %1\\)")
                                                        .arg(attempt)));
        }
        const SendResult result = await(automation.sendMessage(QStringLiteral("+14155550123"), QStringLiteral("hi"),
                                                               std::nullopt, std::nullopt));
        QVERIFY(!result.success);
        QCOMPARE(result.error.value_or(QString()), error);

        const QList<QJsonObject> calls = messages.calls();
        QCOMPARE(calls.size(), expectedCalls);
        for (int i = 1; i < calls.size(); ++i) {
            const qint64 gap = calls.at(i).value(QLatin1String("timeMs")).toInteger()
                - calls.at(i - 1).value(QLatin1String("timeMs")).toInteger();
            QVERIFY2(gap >= baseDelayMs << (i - 1), qPrintable(QStringLiteral("wait %1: %2 ms").arg(i).arg(gap)));
        }
        QCOMPARE(messages.count(QStringLiteral("message")), 0);
    }

    // While a download hangs the message is in the queue; a connection that drops ends the
    // attempt with the transport error and sends nothing.
    void queueDuringDownload()
    {
        SimulatedMessages messages;
        QVERIFY2(messages.isReady(), qPrintable(messages.error()));
        QTcpServer silent;
        QVERIFY(silent.listen(QHostAddress::LocalHost));
        const QUrl url(QStringLiteral("http://127.0.0.1:%1/storage/slow.png").arg(silent.serverPort()));

        MessageAutomation automation(1);
        automation.initialize();
        std::optional<SendResult> result;
        auto running = automation
                           .sendMessage(QStringLiteral("+14155550123"), QStringLiteral("with a slow file"), std::nullopt,
                                        QList<OutboundAttachment>{attachment(QStringLiteral("slow.png"), url)})
                           .then([&result](SendResult done) { result = done; });
        QTRY_VERIFY(silent.hasPendingConnections());
        QCOMPARE(automation.queueLength(), 1);
        QVERIFY(automation.isProcessing());
        QCOMPARE(automation.messageQueue().first().body, QStringLiteral("with a slow file"));

        // The access manager tries a dropped request once more: stop listening so that it cannot.
        QTcpSocket* connection = silent.nextPendingConnection();
        QVERIFY(connection);
        silent.close();
        connection->waitForReadyRead(2000);
        connection->close();
        QTRY_VERIFY(result.has_value());
        QVERIFY(!result->success);
        QVERIFY(!result->error.value_or(QString()).isEmpty());
        QCOMPARE(automation.queueLength(), 0);
        QVERIFY(!automation.isProcessing());
        QCOMPARE(messages.calls().size(), 0);
    }

private:
    RelayServerHarness m_server;
    QByteArray m_photo;
    QUrl m_photoUrl;
    QUrl m_missingUrl;
};

QTEST_GUILESS_MAIN(TestMessageAutomation)
#include "tst_messageautomation.moc"
