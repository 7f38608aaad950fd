// The bytes a batch frame carries for one message must be exactly what the object form gives
// through the JSON writer: the server sees one message, whichever way it was written.
#include "chatmessage.h"
#include "envelope.h"
#include "historicalmessage.h"
#include "reactionsummary.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QTest>

using namespace velto;

Q_DECLARE_METATYPE(velto::ChatMessage)
Q_DECLARE_METATYPE(QList<velto::ReactionSummary>)

namespace {

ChatMessage oneToOne(bool fromMe)
{
    ChatMessage message;
    message.rowid = 7;
    message.guid = QStringLiteral("4A1F-77/B");
    message.text = QStringLiteral("see https://a.example/x \"quoted\"\n\U0001F600");
    message.date = 700000000123456789; // 2023, with a fraction of a second
    message.isFromMe = fromMe;
    message.service = QStringLiteral("iMessage");
    message.recipient = QStringLiteral("me@example.com");
    message.chatParticipantId = QStringLiteral("+15551230000");
    message.isGroupChat = false;
    return message;
}

ChatMessage group()
{
    ChatMessage message = oneToOne(false);
    message.isGroupChat = true;
    message.chatGuid = QStringLiteral("iMessage;+;chat0042");
    message.groupId = QStringLiteral("chat0042");
    message.allParticipants = QStringList{QStringLiteral("+15551230000"), QStringLiteral("b/c@example.com")};
    return message;
}

QList<ReactionSummary> reactions()
{
    return {{QStringLiteral("love"), QString::fromUtf16(u"\u2764\ufe0f"), 2,
             {QStringLiteral("+15551230000"), QStringLiteral("me")}, true},
            {QStringLiteral("custom"), QString::fromUtf16(u"\U0001F44D\U0001F3FD"), 1, {QStringLiteral("x/y@example.com")}, false}};
}

} // namespace

class TestHistoricalMessage : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void directBytesMatchObjectForm_data()
    {
        QTest::addColumn<ChatMessage>("message");
        QTest::addColumn<QList<ReactionSummary>>("reactionList");
        QTest::newRow("received") << oneToOne(false) << QList<ReactionSummary>();
        QTest::newRow("sent") << oneToOne(true) << QList<ReactionSummary>();
        ChatMessage bare = oneToOne(true);
        bare.text.reset();
        bare.recipient.reset();
        bare.chatParticipantId.reset();
        bare.date = -1; // before 2001, floored to its second
        QTest::newRow("no text, no addresses") << bare << QList<ReactionSummary>();
        ChatMessage unknownSender = oneToOne(false);
        unknownSender.recipient.reset();
        unknownSender.chatParticipantId.reset();
        QTest::newRow("received from nobody known") << unknownSender << QList<ReactionSummary>();
        QTest::newRow("group") << group() << QList<ReactionSummary>();
        ChatMessage unnamed = group();
        unnamed.chatGuid.reset();
        unnamed.groupId.reset();
        unnamed.allParticipants.reset();
        QTest::newRow("group without chat details") << unnamed << QList<ReactionSummary>();
        QTest::newRow("reactions") << oneToOne(false) << reactions();
        ChatMessage named = group();
        named.groupDisplayName = QStringLiteral("Team \\ plans");
        QTest::newRow("group with reactions") << named << reactions();
        QTest::newRow("reaction with no senders") << oneToOne(true)
                                                  << QList<ReactionSummary>{{QStringLiteral("like"), QString(), 0, {}, false}};
    }

    void directBytesMatchObjectForm()
    {
        QFETCH(ChatMessage, message);
        QFETCH(QList<ReactionSummary>, reactionList);
        const QJsonObject object = historicalMessageObject(message, {}, reactionList);
        QByteArray direct("x");
        appendHistoricalMessage(direct, message, {}, reactionList);
        QCOMPARE(direct.mid(1), Envelope::encodeDictionary(object));
        QCOMPARE(object.value(QLatin1String("reactions")).toArray().size(), reactionList.size());
    }

    // A message with attachments goes through the object form; its reactions come along.
    void attachmentsKeepReactions()
    {
        const QJsonObject attachment{{QStringLiteral("filename"), QStringLiteral("a/b.png")}};
        QByteArray direct;
        appendHistoricalMessage(direct, group(), {attachment}, reactions());
        const QJsonObject parsed = QJsonDocument::fromJson(direct).object();
        QCOMPARE(parsed, historicalMessageObject(group(), {attachment}, reactions()));
        QCOMPARE(parsed.value(QLatin1String("attachments")).toArray().size(), 1);
        QCOMPARE(parsed.value(QLatin1String("reactions")).toArray().size(), 2);
    }
};

QTEST_GUILESS_MAIN(TestHistoricalMessage)
#include "tst_historicalmessage.moc"
