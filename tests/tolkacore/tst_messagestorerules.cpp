// The message store's rules that need no database: link-preview dedupe, reaction aggregation,
// GUID normalisation, dates, the message filter and the error texts.

#include <messagefilter.h>
#include <messagesdate.h>
#include <messagestore.h>
#include <reactionaggregator.h>
#include <tolkaerror.h>
#include <urlballoondedupe.h>

#include <QTest>
#include <QTimeZone>

using namespace velto;

Q_DECLARE_METATYPE(std::optional<QString>)

namespace {

QDateTime at(qint64 seconds)
{
    return QDateTime::fromSecsSinceEpoch(1700000000 + seconds, QTimeZone::utc());
}

struct PreviewRow {
    qint64 chatID;
    bool isFromMe;
    QString sender;
    QString text;
    qint64 rowID;
    qint64 second;
    bool skipped;
};

struct TapbackRow {
    int code;
    QString sender;
    bool isFromMe;
    std::optional<QString> emoji;
};

} // namespace

Q_DECLARE_METATYPE(QList<PreviewRow>)
Q_DECLARE_METATYPE(QList<TapbackRow>)

class TestMessageStoreRules : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void linkPreviewDedupe_data()
    {
        QTest::addColumn<QList<PreviewRow>>("rows");
        const QString a = QStringLiteral("+15550001111");
        const QString link = QStringLiteral("https://example.com/a");
        QTest::newRow("30 s apart: one") << QList<PreviewRow>{{1, false, a, link, 10, 0, false}, {1, false, a, link, 11, 30, true}};
        QTest::newRow("90 s apart is still a duplicate")
            << QList<PreviewRow>{{1, false, a, link, 10, 0, false}, {1, false, a, link, 11, 90, true}};
        QTest::newRow("120 s apart: two") << QList<PreviewRow>{{1, false, a, link, 10, 0, false}, {1, false, a, link, 11, 120, false}};
        QTest::newRow("other chat") << QList<PreviewRow>{{1, false, a, link, 10, 0, false}, {2, false, a, link, 11, 5, false}};
        QTest::newRow("other direction") << QList<PreviewRow>{{1, false, a, link, 10, 0, false}, {1, true, a, link, 11, 5, false}};
        QTest::newRow("other sender") << QList<PreviewRow>{{1, false, a, link, 10, 0, false},
                                                           {1, false, QStringLiteral("b@example.com"), link, 11, 5, false}};
        QTest::newRow("other text") << QList<PreviewRow>{{1, false, a, link, 10, 0, false},
                                                         {1, false, a, QStringLiteral("https://example.com/b"), 11, 5, false}};
        QTest::newRow("empty text never deduped") << QList<PreviewRow>{{1, false, a, QString(), 10, 0, false},
                                                                       {1, false, a, QString(), 11, 5, false}};
        QTest::newRow("same row read again is skipped")
            << QList<PreviewRow>{{1, false, a, link, 10, 0, false}, {1, false, a, link, 10, 0, true}};
        QTest::newRow("window slides with the newest row")
            << QList<PreviewRow>{{1, false, a, link, 10, 0, false}, {1, false, a, link, 11, 80, true}, {1, false, a, link, 12, 160, true}};
        QTest::newRow("entries older than 600 s are forgotten")
            << QList<PreviewRow>{{1, false, a, link, 10, 0, false},
                                 {1, false, a, QStringLiteral("other"), 11, 700, false},
                                 {1, false, a, link, 9, 701, false}};
    }

    void linkPreviewDedupe()
    {
        QFETCH(QList<PreviewRow>, rows);
        URLBalloonDedupe dedupe;
        for (const PreviewRow& row : rows) {
            QCOMPARE(dedupe.shouldSkip(row.chatID, row.isFromMe, row.sender, row.text, row.rowID, at(row.second)),
                     row.skipped);
        }
    }

    void reactionAggregation_data()
    {
        QTest::addColumn<QList<TapbackRow>>("rows");
        QTest::addColumn<QStringList>("standing"); // "sender:name:emoji" in list order

        const QString a = QStringLiteral("a@example.com");
        const QString b = QStringLiteral("b@example.com");
        const auto none = std::optional<QString>();
        const auto party = std::optional<QString>(QStringLiteral("\U0001F389"));
        const auto fire = std::optional<QString>(QStringLiteral("\U0001F525"));
        QTest::newRow("add") << QList<TapbackRow>{{2001, a, false, none}} << QStringList{QStringLiteral("a@example.com:like:\U0001F44D")};
        QTest::newRow("add then remove") << QList<TapbackRow>{{2001, a, false, none}, {3001, a, false, none}} << QStringList{};
        QTest::newRow("removal of another sender's kind does nothing")
            << QList<TapbackRow>{{2001, a, false, none}, {3001, b, false, none}}
            << QStringList{QStringLiteral("a@example.com:like:\U0001F44D")};
        QTest::newRow("removal without addition") << QList<TapbackRow>{{3000, a, false, none}} << QStringList{};
        QTest::newRow("same kind twice replaces in place")
            << QList<TapbackRow>{{2000, a, false, none}, {2003, b, false, none}, {2000, a, false, none}}
            << QStringList{QStringLiteral("a@example.com:love:\u2764\uFE0F"), QStringLiteral("b@example.com:laugh:\U0001F602")};
        QTest::newRow("removal shifts later entries")
            << QList<TapbackRow>{{2000, a, false, none}, {2003, b, false, none}, {3000, a, false, none}, {3003, b, false, none}}
            << QStringList{};
        QTest::newRow("from me and from a handle are different reactors")
            << QList<TapbackRow>{{2001, QString(), true, none}, {2001, QString(), false, none}, {3001, QString(), true, none}}
            << QStringList{QStringLiteral(":like:\U0001F44D")};
        QTest::newRow("custom emoji kinds are distinct")
            << QList<TapbackRow>{{2006, a, false, party}, {2006, a, false, fire}, {3006, a, false, party}}
            << QStringList{QStringLiteral("a@example.com:custom:\U0001F525")};
        QTest::newRow("custom removal naming no emoji removes the sender's first custom")
            << QList<TapbackRow>{{2001, a, false, none}, {2006, a, false, party}, {2006, b, false, fire}, {3006, a, false, none}}
            << QStringList{QStringLiteral("a@example.com:like:\U0001F44D"), QStringLiteral("b@example.com:custom:\U0001F525")};
        QTest::newRow("custom add without emoji is ignored") << QList<TapbackRow>{{2006, a, false, none}} << QStringList{};
        QTest::newRow("codes outside the ranges are ignored")
            << QList<TapbackRow>{{1000, a, false, none}, {2007, a, false, none}, {0, a, false, none}} << QStringList{};
    }

    void reactionAggregation()
    {
        QFETCH(QList<TapbackRow>, rows);
        QFETCH(QStringList, standing);
        ReactionAggregator aggregator(77);
        qint64 rowID = 100;
        for (const TapbackRow& row : rows)
            aggregator.add({++rowID, row.code, row.sender, row.isFromMe, at(rowID), row.emoji});
        QStringList got;
        for (const Reaction& reaction : aggregator.reactions()) {
            got << reaction.sender + QLatin1Char(':') + reaction.reactionType.name() + QLatin1Char(':')
                    + reaction.reactionType.emoji();
            QCOMPARE(reaction.associatedMessageID, qint64(77));
        }
        QCOMPARE(got, standing);
    }

    void normalizeGUID_data()
    {
        QTest::addColumn<QString>("guid");
        QTest::addColumn<QString>("normalized");
        QTest::newRow("part prefix") << "p:0/ABC-1" << "ABC-1";
        QTest::newRow("second part") << "p:1/ABC-1" << "ABC-1";
        QTest::newRow("balloon part") << "bp:0/ABC-1" << "ABC-1";
        QTest::newRow("balloon prefix without slash stays") << "bp:ABC-1" << "bp:ABC-1";
        QTest::newRow("plain") << "ABC-1" << "ABC-1";
        QTest::newRow("trailing slash stays") << "p:0/" << "p:0/";
        QTest::newRow("last slash wins") << "a/b/c" << "c";
        QTest::newRow("empty") << "" << "";
    }

    void normalizeGUID()
    {
        QFETCH(QString, guid);
        QFETCH(QString, normalized);
        QCOMPARE(MessageStore::normalizeGUID(guid), normalized);
    }

    void dates()
    {
        QCOMPARE(MessagesDate::toDateTime(std::nullopt), QDateTime(QDate(2001, 1, 1), QTime(0, 0), QTimeZone::utc()));
        QCOMPARE(MessagesDate::toDateTime(0).toSecsSinceEpoch(), qint64(978307200));
        // A real stored value (macOS 15 fixture row) and a sub-second part.
        const QDateTime real = MessagesDate::toDateTime(760569924490443648LL);
        QCOMPARE(real.toMSecsSinceEpoch(), qint64(978307200000LL + 760569924490LL));
        QCOMPARE(MessagesDate::toDateTime(-1500000000LL).toMSecsSinceEpoch(), qint64(978307200000LL - 1500));
        const QDateTime instant = QDateTime(QDate(2024, 5, 1), QTime(12, 0, 0, 250), QTimeZone::utc());
        QCOMPARE(MessagesDate::fromDateTime(instant), (instant.toMSecsSinceEpoch() - 978307200000LL) * 1000000LL);
        QCOMPARE(MessagesDate::toDateTime(MessagesDate::fromDateTime(instant)), instant);
    }

    void filterFromISO_data()
    {
        QTest::addColumn<std::optional<QString>>("text");
        QTest::addColumn<qint64>("msecs"); // -1: invalid
        const auto s = [](const char* t) { return std::optional<QString>(QString::fromLatin1(t)); };
        QTest::newRow("utc") << s("2024-05-01T12:00:00Z") << qint64(1714564800000);
        QTest::newRow("fraction") << s("2024-05-01T12:00:00.250Z") << qint64(1714564800250);
        QTest::newRow("long fraction") << s("2024-05-01T12:00:00.123456Z") << qint64(1714564800123);
        QTest::newRow("offset") << s("2024-05-01T14:00:00+02:00") << qint64(1714564800000);
        QTest::newRow("negative offset") << s("2024-05-01T07:00:00-05:00") << qint64(1714564800000);
        QTest::newRow("no zone") << s("2024-05-01T12:00:00") << qint64(-1);
        QTest::newRow("date only") << s("2024-05-01") << qint64(-1);
        QTest::newRow("bad month") << s("2024-13-01T12:00:00Z") << qint64(-1);
        QTest::newRow("bad day") << s("2023-02-29T12:00:00Z") << qint64(-1);
        QTest::newRow("garbage") << s("yesterday") << qint64(-1);
        QTest::newRow("empty") << s("") << qint64(-1);
    }

    void filterFromISO()
    {
        QFETCH(std::optional<QString>, text);
        QFETCH(qint64, msecs);
        const auto asStart = MessageFilter::fromISO({}, text, std::nullopt);
        const auto asEnd = MessageFilter::fromISO({}, std::nullopt, text);
        QCOMPARE(asStart.ok(), msecs >= 0);
        QCOMPARE(asEnd.ok(), msecs >= 0);
        if (msecs >= 0) {
            QCOMPARE(asStart->startDate->toMSecsSinceEpoch(), msecs);
            QVERIFY(!asStart->endDate);
            QCOMPARE(asEnd->endDate->toMSecsSinceEpoch(), msecs);
        } else {
            QCOMPARE(asStart.error().kind(), TolkaError::Kind::invalidISODate);
            QCOMPARE(asStart.error().description(), QStringLiteral("Invalid ISO8601 date: ") + *text);
        }
    }

    void filterAllows_data()
    {
        QTest::addColumn<QStringList>("participants");
        QTest::addColumn<qint64>("second");
        QTest::addColumn<QString>("sender");
        QTest::addColumn<bool>("allowed");
        const QStringList none;
        const QStringList people{QStringLiteral("+15550001111"), QStringLiteral("Friend@Example.com")};
        QTest::newRow("inside window, no participants") << none << qint64(50) << "x" << true;
        QTest::newRow("at start is inside") << none << qint64(0) << "x" << true;
        QTest::newRow("before start") << none << qint64(-1) << "x" << false;
        QTest::newRow("at end is outside") << none << qint64(100) << "x" << false;
        QTest::newRow("participant matches ignoring case") << people << qint64(50) << "friend@example.COM" << true;
        QTest::newRow("phone matches") << people << qint64(50) << "+15550001111" << true;
        QTest::newRow("someone else") << people << qint64(50) << "+15550002222" << false;
        QTest::newRow("empty sender") << people << qint64(50) << "" << false;
    }

    void filterAllows()
    {
        QFETCH(QStringList, participants);
        QFETCH(qint64, second);
        QFETCH(QString, sender);
        QFETCH(bool, allowed);
        MessageFilter filter{participants, at(0), at(100)};
        Message message;
        message.date = at(second);
        message.sender = sender;
        QCOMPARE(filter.allows(message), allowed);
    }

    void errorTexts()
    {
        QCOMPARE(TolkaError::invalidService(QStringLiteral("Fax")).description(), QStringLiteral("Invalid service: Fax"));
        QCOMPARE(TolkaError::invalidChatTarget(QStringLiteral("x")).description(), QStringLiteral("Invalid chat target: x"));
        QCOMPARE(TolkaError::appleScriptFailure(QStringLiteral("boom")).description(), QStringLiteral("AppleScript failed: boom"));
        QCOMPARE(TolkaError::chatNotFound(42).description(), QStringLiteral("Chat not found: 42"));
        QCOMPARE(TolkaError::invalidReaction(QStringLiteral("meh")).description(),
                 QStringLiteral("Invalid reaction: meh\n\nValid reactions: love, like, dislike, laugh, emphasis, question\n"
                                "Or use an emoji for custom reactions (e.g., \U0001F389)"));
        const db::Error cantOpen{14, QStringLiteral("unable to open database file")};
        const QString denied = TolkaError::permissionDenied(QStringLiteral("/Users/x/Library/Messages/chat.db"), cantOpen).description();
        QVERIFY2(denied.startsWith(QStringLiteral("unable to open database file (14)\n\n\u26A0\uFE0F  Permission Error: "
                                                  "Cannot access Messages database\n\nThe Messages database at "
                                                  "/Users/x/Library/Messages/chat.db requires Full Disk Access permission.\n\n"
                                                  "To fix:\n1. Open System Settings \u2192 Privacy & Security \u2192 Full Disk Access\n")),
                 qPrintable(denied));
        QVERIFY(denied.contains(QStringLiteral("\nNote: This is required because macOS protects the Messages database.\n")));
        QCOMPARE(TolkaError::database(cantOpen).description(), QStringLiteral("unable to open database file (14)"));
    }
};

QTEST_GUILESS_MAIN(TestMessageStoreRules)
#include "tst_messagestorerules.moc"
