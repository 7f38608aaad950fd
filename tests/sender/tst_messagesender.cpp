// MessageSender against the Messages simulator's osascript stand-in: the send script and its
// seven arguments as the stand-in receives them, the rows it writes for person, chat and file
// sends, attachment staging, and the failures a send reports.

#include "simulatedmessages.h"

#include <messagesender.h>
#include <messagestore.h>
#include <readonlydb.h>

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QTest>

using namespace velto;
using velto::test::await;
using velto::test::ReadOnlyDb;
using velto::test::SimulatedMessages;

Q_DECLARE_METATYPE(velto::MessageService)

namespace {

QStringList argumentsOf(const QJsonObject& call)
{
    QStringList arguments;
    for (const QJsonValue& value : call.value(QLatin1String("arguments")).toArray())
        arguments.append(value.toString());
    return arguments;
}

QString describe(const Result<void, TolkaError>& result)
{
    return result ? QStringLiteral("ok") : result.error().description();
}

// Every message row, oldest first, read back the way the relay reads them.
QList<Message> readMessages(const QString& databasePath)
{
    auto store = MessageStore::open(databasePath);
    if (!store)
        return {};
    auto page = store.value()->messagesAfter(0, std::nullopt, 100);
    return page ? page.value() : QList<Message>();
}

QString chatGuidOf(const QString& databasePath, qint64 chatID)
{
    auto store = MessageStore::open(databasePath);
    if (!store)
        return {};
    auto info = store.value()->chatInfo(chatID);
    return info && info.value() ? info.value()->guid : QString();
}

} // namespace

class TestMessageSender : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void personSend_data()
    {
        QTest::addColumn<QString>("recipient");
        QTest::addColumn<QString>("chatIdentifier");
        QTest::addColumn<MessageService>("service");
        QTest::addColumn<QString>("sentTo");
        QTest::addColumn<QString>("serviceArgument");
        QTest::addColumn<QString>("chatGuid");

        QTest::newRow("US number, auto over iMessage")
            << "(415) 555-0123" << "" << MessageService::automatic << "+14155550123" << "imessage"
            << "iMessage;-;+14155550123";
        QTest::newRow("e-mail unchanged") << "friend@example.com" << "" << MessageService::automatic
                                          << "friend@example.com" << "imessage" << "iMessage;-;friend@example.com";
        QTest::newRow("SMS") << "415 555 0188" << "" << MessageService::sms << "+14155550188" << "sms"
                             << "SMS;-;+14155550188";
        QTest::newRow("handle given as chat identifier")
            << "" << " +1 (415) 555-0199\n" << MessageService::automatic << "+14155550199" << "imessage"
            << "iMessage;-;+14155550199";
    }

    void personSend()
    {
        QFETCH(QString, recipient);
        QFETCH(QString, chatIdentifier);
        QFETCH(MessageService, service);
        QFETCH(QString, sentTo);
        QFETCH(QString, serviceArgument);
        QFETCH(QString, chatGuid);
        SimulatedMessages messages;
        QVERIFY2(messages.isReady(), qPrintable(messages.error()));

        MessageSendOptions options;
        options.recipient = recipient;
        options.text = QStringLiteral("Dinner at 8? 🍝");
        options.service = service;
        options.chatIdentifier = chatIdentifier;
        const MessageSender sender;
        const auto sent = await(sender.send(options));
        QVERIFY2(sent, qPrintable(describe(sent)));

        const QList<QJsonObject> calls = messages.calls();
        QCOMPARE(calls.size(), 1);
        QCOMPARE(calls.first().value(QLatin1String("outcome")).toString(), QStringLiteral("accepted"));
        QCOMPARE(argumentsOf(calls.first()),
                 (QStringList{sentTo, options.text, serviceArgument, QString(), QStringLiteral("0"), QString(),
                              QStringLiteral("0")}));

        QTRY_COMPARE(messages.count(QStringLiteral("message")), 1);
        const QList<Message> rows = readMessages(messages.databasePath());
        QCOMPARE(rows.size(), 1);
        QCOMPARE(rows.first().text, options.text);
        QVERIFY(rows.first().isFromMe);
        QCOMPARE(chatGuidOf(messages.databasePath(), rows.first().chatID), chatGuid);
    }

    void chatSend_data()
    {
        QTest::addColumn<QString>("how");
        QTest::newRow("by GUID") << "guid";
        QTest::newRow("by chat identifier") << "identifier";
        QTest::newRow("GUID wins over identifier") << "both";
    }

    void chatSend()
    {
        QFETCH(QString, how);
        SimulatedMessages messages(true);
        QVERIFY2(messages.isReady(), qPrintable(messages.error()));
        QList<QVariantList> group;
        qint64 before = 0;
        {
            ReadOnlyDb db(messages.databasePath());
            group = db.rows(QStringLiteral("SELECT ROWID, guid, chat_identifier FROM chat WHERE style = 43 LIMIT 1"));
            before = db.value(QStringLiteral("SELECT MAX(ROWID) FROM message")).toLongLong();
        }
        QCOMPARE(group.size(), 1);
        const qint64 chatRowId = group.first().at(0).toLongLong();
        const QString guid = group.first().at(1).toString();
        const QString identifier = group.first().at(2).toString();

        MessageSendOptions options;
        options.text = QStringLiteral("Hello, group");
        options.chatGUID = how == QLatin1String("identifier") ? QString() : QStringLiteral("  ") + guid;
        options.chatIdentifier = how == QLatin1String("guid") ? QString()
                                 : how == QLatin1String("both") ? QStringLiteral("chatnowhere42")
                                                                 : identifier;
        const MessageSender sender;
        const auto sent = await(sender.send(options));
        QVERIFY2(sent, qPrintable(describe(sent)));

        const QList<QJsonObject> calls = messages.calls();
        QCOMPARE(calls.size(), 1);
        const QString target = how == QLatin1String("identifier") ? identifier : guid;
        QCOMPARE(argumentsOf(calls.first()), (QStringList{QString(), options.text, QStringLiteral("auto"), QString(),
                                                          QStringLiteral("0"), target, QStringLiteral("1")}));

        ReadOnlyDb db(messages.databasePath());
        const QString newRows = QStringLiteral(
            "SELECT m.is_from_me, j.chat_id FROM message m JOIN chat_message_join j ON j.message_id = m.ROWID "
            "WHERE m.ROWID > ?");
        QTRY_COMPARE(db.rows(newRows, {before}).size(), 1);
        const QVariantList row = db.rows(newRows, {before}).first();
        QCOMPARE(row.at(0).toLongLong(), 1);
        QCOMPARE(row.at(1).toLongLong(), chatRowId);
    }

    void fileSend_data()
    {
        QTest::addColumn<QString>("text");
        QTest::newRow("text and file") << "Look at this";
        QTest::newRow("file only") << "";
    }

    void fileSend()
    {
        QFETCH(QString, text);
        SimulatedMessages messages;
        QVERIFY2(messages.isReady(), qPrintable(messages.error()));
        const QByteArray picture = QByteArray("\xFF\xD8\xFF\xE0", 4) + QByteArray(2048, 'j');
        QVERIFY(QDir(messages.home()).mkpath(QStringLiteral("Pictures")));
        QFile original(messages.home() + QStringLiteral("/Pictures/a.jpg"));
        QVERIFY(original.open(QIODevice::WriteOnly));
        original.write(picture);
        original.close();

        MessageSendOptions options;
        options.recipient = QStringLiteral("+14155550123");
        options.text = text;
        options.attachmentPath = QStringLiteral("~/Pictures/a.jpg");
        const MessageSender sender;
        const auto sent = await(sender.send(options));
        QVERIFY2(sent, qPrintable(describe(sent)));

        // Staged under a new UUID-named folder of the staging directory, under its own name.
        const QStringList arguments = argumentsOf(messages.calls().value(0));
        QCOMPARE(arguments.size(), 7);
        const QString staged = arguments.at(3);
        const QString stagingDir = messages.home() + QStringLiteral("/Library/Messages/Attachments/tolka");
        QCOMPARE(QFileInfo(QFileInfo(staged).path()).path(), stagingDir);
        QVERIFY(!QUuid::fromString(QFileInfo(QFileInfo(staged).path()).fileName()).isNull());
        QCOMPARE(QFileInfo(staged).fileName(), QStringLiteral("a.jpg"));
        QFile stagedFile(staged);
        QVERIFY(stagedFile.open(QIODevice::ReadOnly));
        QCOMPARE(stagedFile.readAll(), picture);
        QCOMPARE(arguments.at(4), QStringLiteral("1"));
        QCOMPARE(arguments.at(6), QStringLiteral("0"));

        // The text and the file are separate rows, the text first.
        const int expectedRows = text.isEmpty() ? 1 : 2;
        QTRY_COMPARE(messages.count(QStringLiteral("message")), qint64(expectedRows));
        const QList<Message> rows = readMessages(messages.databasePath());
        QCOMPARE(rows.size(), expectedRows);
        if (!text.isEmpty()) {
            QCOMPARE(rows.first().text, text);
            QCOMPARE(rows.first().attachmentsCount, 0);
        }
        const Message& fileRow = rows.last();
        QVERIFY(fileRow.isFromMe);
        QCOMPARE(fileRow.attachmentsCount, 1);
        auto store = MessageStore::open(messages.databasePath());
        QVERIFY(store);
        const auto attachments = store.value()->attachments(fileRow.rowID);
        QVERIFY(attachments);
        QCOMPARE(attachments->size(), 1);
        QCOMPARE(attachments->first().transferName, QStringLiteral("a.jpg"));
        QVERIFY(!attachments->first().missing);
        QFile delivered(attachments->first().originalPath);
        QVERIFY(delivered.open(QIODevice::ReadOnly));
        QCOMPARE(delivered.readAll(), picture);
    }

    // Messages answers the script first and writes the row afterwards.
    void rowAppearsAfterTheScriptReturns()
    {
        SimulatedMessages messages;
        QVERIFY2(messages.isReady(), qPrintable(messages.error()));
        qputenv("VELTO_SIM_SEND_DELAY_MS", "1500");
        MessageSendOptions options;
        options.recipient = QStringLiteral("+14155550123");
        options.text = QStringLiteral("later");
        const auto sent = await(MessageSender().send(options));
        QVERIFY2(sent, qPrintable(describe(sent)));
        QCOMPARE(messages.count(QStringLiteral("message")), 0);
        QTRY_COMPARE_WITH_TIMEOUT(messages.count(QStringLiteral("message")), 1, 10000);
    }

    // With neither text nor file the script only addresses the person: no row, no error.
    void nothingToSend()
    {
        SimulatedMessages messages;
        QVERIFY2(messages.isReady(), qPrintable(messages.error()));
        MessageSendOptions options;
        options.recipient = QStringLiteral("+15555555555");
        options.service = MessageService::imessage;
        const auto sent = await(MessageSender().send(options));
        QVERIFY2(sent, qPrintable(describe(sent)));
        QCOMPARE(messages.calls().size(), 1);
        QTest::qWait(300);
        QCOMPARE(messages.count(QStringLiteral("message")), 0);
        QCOMPARE(messages.count(QStringLiteral("handle")), 0);
    }

    void failures_data()
    {
        QTest::addColumn<QString>("situation");
        QTest::addColumn<int>("kind");
        QTest::addColumn<QString>("description"); // "<home>" stands for the home folder
        QTest::addColumn<bool>("scriptRan");

        QTest::newRow("automation refused")
            << "refused" << int(TolkaError::Kind::appleScriptFailure)
            << "AppleScript failed: execution error: Not authorized to send Apple events to Messages. (-1743)" << true;
        QTest::newRow("attachment missing") << "missing file" << int(TolkaError::Kind::appleScriptFailure)
                                            << "AppleScript failed: Attachment not found at <home>/gone.jpg" << false;
        QTest::newRow("unknown chat")
            << "unknown chat" << int(TolkaError::Kind::appleScriptFailure)
            << "AppleScript failed: execution error: Messages got an error: Can’t get chat id \"iMessage;+;chat000\". "
               "(-1728)"
            << true;
        QTest::newRow("osascript missing") << "no osascript" << int(TolkaError::Kind::processLaunch)
                                           << "<home>/no-such-osascript: " << false;
    }

    void failures()
    {
        QFETCH(QString, situation);
        QFETCH(int, kind);
        QFETCH(QString, description);
        QFETCH(bool, scriptRan);
        SimulatedMessages messages;
        QVERIFY2(messages.isReady(), qPrintable(messages.error()));
        description.replace(QStringLiteral("<home>"), messages.home());

        MessageSendOptions options;
        options.recipient = QStringLiteral("+14155550123");
        options.text = QStringLiteral("hi");
        if (situation == QLatin1String("refused"))
            messages.refuseAutomation();
        else if (situation == QLatin1String("missing file"))
            options.attachmentPath = QStringLiteral("~/gone.jpg");
        else if (situation == QLatin1String("unknown chat"))
            options.chatGUID = QStringLiteral("iMessage;+;chat000");
        else if (situation == QLatin1String("no osascript"))
            qputenv("VELTO_OSASCRIPT", QFile::encodeName(messages.home() + QStringLiteral("/no-such-osascript")));

        const auto sent = await(MessageSender().send(options));
        QVERIFY(!sent);
        QCOMPARE(int(sent.error().kind()), kind);
        QVERIFY2(sent.error().description().startsWith(description), qPrintable(sent.error().description()));
        if (kind == int(TolkaError::Kind::appleScriptFailure))
            QCOMPARE(sent.error().description(), description);
        QCOMPARE(messages.calls().size(), scriptRan ? 1 : 0);
        QTest::qWait(200);
        QCOMPARE(messages.count(QStringLiteral("message")), 0);
    }

    // The stand-in runs the send script and nothing else, byte for byte.
    void standInRefusesOtherScripts_data()
    {
        QTest::addColumn<QString>("script");
        const QString send = MessageSender::sendScript();
        QTest::newRow("another script") << "tell application \"Messages\" to quit";
        QTest::newRow("trailing line break") << send + QLatin1Char('\n');
        QTest::newRow("tabs for spaces") << QString(send).replace(QStringLiteral("    "), QStringLiteral("\t"));
        QTest::newRow("empty") << "";
    }

    void standInRefusesOtherScripts()
    {
        QFETCH(QString, script);
        SimulatedMessages messages;
        QVERIFY2(messages.isReady(), qPrintable(messages.error()));
        const QStringList arguments{QStringLiteral("+14155550123"), QStringLiteral("hi"), QStringLiteral("imessage"),
                                    QString(), QStringLiteral("0"), QString(), QStringLiteral("0")};
        const auto ran = await(MessageSender::runOsascript(script, arguments));
        QVERIFY(!ran);
        QCOMPARE(ran.error().kind(), TolkaError::Kind::appleScriptFailure);
        QVERIFY2(ran.error().description().contains(QLatin1String("syntax error")), qPrintable(describe(ran)));
        QCOMPARE(messages.calls().value(0).value(QLatin1String("outcome")).toString(), QStringLiteral("failed"));

        // The same arguments with the real script go through.
        const auto sent = await(MessageSender::runOsascript(MessageSender::sendScript(), arguments));
        QVERIFY2(sent, qPrintable(describe(sent)));
        QTRY_COMPARE(messages.count(QStringLiteral("message")), 1);
    }
};

QTEST_GUILESS_MAIN(TestMessageSender)
#include "tst_messagesender.moc"
