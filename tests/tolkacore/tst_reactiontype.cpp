// Tapback kinds: codes, names, parsing of user input and the emoji of custom tapbacks.

#include <emoji.h>
#include <reactiontype.h>

#include <QTest>

using namespace velto;

Q_DECLARE_METATYPE(std::optional<QString>)

class TestReactionType : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void codes_data()
    {
        QTest::addColumn<int>("code");
        QTest::addColumn<std::optional<QString>>("emoji");
        QTest::addColumn<QString>("name");   // empty: no kind
        QTest::addColumn<QString>("display");
        QTest::addColumn<bool>("isAdd");
        QTest::addColumn<bool>("isRemove");

        const auto none = std::optional<QString>();
        QTest::newRow("love") << 2000 << none << "love" << QStringLiteral("\u2764\uFE0F") << true << false;
        QTest::newRow("like") << 2001 << none << "like" << QStringLiteral("\U0001F44D") << true << false;
        QTest::newRow("dislike") << 2002 << none << "dislike" << QStringLiteral("\U0001F44E") << true << false;
        QTest::newRow("laugh") << 2003 << none << "laugh" << QStringLiteral("\U0001F602") << true << false;
        QTest::newRow("emphasis") << 2004 << none << "emphasis" << QStringLiteral("\u203C\uFE0F") << true << false;
        QTest::newRow("question") << 2005 << none << "question" << QStringLiteral("\u2753") << true << false;
        QTest::newRow("custom with emoji") << 2006 << std::optional<QString>(QStringLiteral("\U0001F389")) << "custom"
                                           << QStringLiteral("\U0001F389") << true << false;
        QTest::newRow("custom without emoji") << 2006 << none << "" << "" << true << false;
        QTest::newRow("custom with empty emoji") << 2006 << std::optional<QString>(QString()) << "" << "" << true << false;
        QTest::newRow("fixed kind ignores emoji") << 2001 << std::optional<QString>(QStringLiteral("x")) << "like"
                                                  << QStringLiteral("\U0001F44D") << true << false;
        QTest::newRow("below range") << 1999 << none << "" << "" << false << false;
        QTest::newRow("sticker 1000") << 1000 << none << "" << "" << false << false;
        QTest::newRow("between add and remove") << 2007 << none << "" << "" << false << false;
        QTest::newRow("removal code is no add") << 3001 << none << "" << "" << false << true;
        QTest::newRow("last removal") << 3006 << none << "" << "" << false << true;
        QTest::newRow("above range") << 3007 << none << "" << "" << false << false;
    }

    void codes()
    {
        QFETCH(int, code);
        QFETCH(std::optional<QString>, emoji);
        QFETCH(QString, name);
        QFETCH(QString, display);
        QFETCH(bool, isAdd);
        QFETCH(bool, isRemove);

        const auto type = ReactionType::fromCode(code, emoji);
        QCOMPARE(type.has_value(), !name.isEmpty());
        if (type) {
            QCOMPARE(type->name(), name);
            QCOMPARE(type->emoji(), display);
            QCOMPARE(type->associatedMessageType(), code);
            QCOMPARE(type->removalAssociatedMessageType(), code + 1000);
            QCOMPARE(type->isCustom(), code == 2006);
            // The removal code leads back to the same kind.
            QCOMPARE(ReactionType::fromRemoval(code + 1000, emoji), type);
        }
        QCOMPARE(ReactionType::isReactionAdd(code), isAdd);
        QCOMPARE(ReactionType::isReactionRemove(code), isRemove);
        QCOMPARE(ReactionType::isReaction(code), isAdd || isRemove);
    }

    void parse_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("name");   // empty: nothing
        QTest::addColumn<QString>("display");

        QTest::newRow("Thumbs-Up padded") << QStringLiteral("  Thumbs-Up \n") << "like" << QStringLiteral("\U0001F44D");
        QTest::newRow("heart") << QStringLiteral("HEART") << "love" << QStringLiteral("\u2764\uFE0F");
        QTest::newRow("thumbsdown") << QStringLiteral("thumbsdown") << "dislike" << QStringLiteral("\U0001F44E");
        QTest::newRow("lol") << QStringLiteral("lol") << "laugh" << QStringLiteral("\U0001F602");
        QTest::newRow("exclamation") << QStringLiteral("Exclamation") << "emphasis" << QStringLiteral("\u203C\uFE0F");
        QTest::newRow("question-mark") << QStringLiteral("question-mark") << "question" << QStringLiteral("\u2753");
        QTest::newRow("bare heart") << QStringLiteral("\u2764") << "love" << QStringLiteral("\u2764\uFE0F");
        QTest::newRow("heart with selector") << QStringLiteral("\u2764\uFE0F") << "love" << QStringLiteral("\u2764\uFE0F");
        QTest::newRow("bare double exclamation") << QStringLiteral("\u203C") << "emphasis" << QStringLiteral("\u203C\uFE0F");
        QTest::newRow("ascii question mark") << QStringLiteral("?") << "question" << QStringLiteral("\u2753");
        QTest::newRow("thumbs up emoji") << QStringLiteral("\U0001F44D") << "like" << QStringLiteral("\U0001F44D");
        QTest::newRow("party popper") << QStringLiteral("\U0001F389") << "custom" << QStringLiteral("\U0001F389");
        QTest::newRow("custom keeps whole text") << QStringLiteral(" go \U0001F680 ") << "custom"
                                                 << QStringLiteral("go \U0001F680");
        QTest::newRow("skin tone sequence") << QStringLiteral("\U0001F44D\U0001F3FD") << "custom"
                                            << QStringLiteral("\U0001F44D\U0001F3FD");
        QTest::newRow("plain letters") << QStringLiteral("hooray") << "" << "";
        QTest::newRow("blank") << QStringLiteral(" \n\t") << "" << "";
        QTest::newRow("empty") << QString() << "" << "";
    }

    void parse()
    {
        QFETCH(QString, text);
        QFETCH(QString, name);
        QFETCH(QString, display);
        const auto type = ReactionType::parse(text);
        QCOMPARE(type.has_value(), !name.isEmpty());
        if (type) {
            QCOMPARE(type->name(), name);
            QCOMPARE(type->emoji(), display);
        }
    }

    void customEmoji_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<std::optional<QString>>("emoji");

        QTest::newRow("reacted to") << QStringLiteral("Reacted \U0001F389 to \u201CHello\u201D")
                                    << std::optional<QString>(QStringLiteral("\U0001F389"));
        QTest::newRow("reacted keeps a sequence whole")
            << QStringLiteral("Reacted \U0001F468\u200D\U0001F469\u200D\U0001F467 to \u201Ca to b\u201D")
            << std::optional<QString>(QStringLiteral("\U0001F468\u200D\U0001F469\u200D\U0001F467"));
        QTest::newRow("first emoji without the phrase") << QStringLiteral("Removed \U0001F525 from \u201Cx\u201D")
                                                        << std::optional<QString>(QStringLiteral("\U0001F525"));
        QTest::newRow("flag is one character") << QStringLiteral("nice \U0001F1EB\U0001F1F7!")
                                               << std::optional<QString>(QStringLiteral("\U0001F1EB\U0001F1F7"));
        QTest::newRow("nothing between") << QStringLiteral("Reacted  to \u201Cx\u201D \u2764\uFE0F")
                                         << std::optional<QString>(QStringLiteral("\u2764\uFE0F"));
        QTest::newRow("sticker text has no emoji")
            << QStringLiteral("Reacted with a sticker to \u201CLike I wonder\u201D\uFFFC")
            << std::optional<QString>(QStringLiteral("with a sticker"));
        QTest::newRow("no emoji at all") << QStringLiteral("Removed a reaction") << std::optional<QString>();
        QTest::newRow("empty") << QString() << std::optional<QString>();
        // Digits carry the Emoji property, so a digit is the first emoji-bearing character.
        QTest::newRow("digit counts") << QStringLiteral("Removed 1") << std::optional<QString>(QStringLiteral("1"));
    }

    void customEmoji()
    {
        QFETCH(QString, text);
        QFETCH(std::optional<QString>, emoji);
        QCOMPARE(ReactionType::extractCustomEmoji(text), emoji);
    }

    void emojiProperties()
    {
        QVERIFY(Emoji::isEmojiScalar(U'\U0001F600'));
        QVERIFY(Emoji::isEmojiScalar(U'\u2764'));   // Emoji, text presentation by default
        QVERIFY(Emoji::isEmojiScalar(U'#'));
        QVERIFY(!Emoji::isEmojiScalar(U'a'));
        QVERIFY(!Emoji::isEmojiScalar(U'\uFFFC'));
        QVERIFY(Emoji::containsEmoji(QStringLiteral("ab\U0001F600")));
        QVERIFY(!Emoji::containsEmoji(QString(QChar(0xD83D)))); // a lone surrogate is no scalar
        QCOMPARE(Emoji::firstEmojiCharacter(QStringLiteral("x \u2764\uFE0F y")), QStringLiteral("\u2764\uFE0F"));
    }
};

QTEST_GUILESS_MAIN(TestReactionType)
#include "tst_reactiontype.moc"
