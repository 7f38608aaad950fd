// MessageStore on databases written by the Messages simulator: a filled history read back
// whole, and rows appended the way Messages writes them, in both database layouts.

#include <messagessimulator.h>
#include <messagestore.h>
#include <testsupport.h>

#include <QDir>
#include <QFile>
#include <QTest>

using namespace velto;

Q_DECLARE_METATYPE(velto::sim::SchemaVersion)

class TestMessageStoreSim : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void filledHistoryReadsBack_data()
    {
        QTest::addColumn<sim::SchemaVersion>("version");
        QTest::newRow("macOS 15") << sim::SchemaVersion::MacOS15;
        QTest::newRow("legacy") << sim::SchemaVersion::Legacy;
    }

    void filledHistoryReadsBack()
    {
        QFETCH(sim::SchemaVersion, version);
        velto::test::TemporaryHome home;
        sim::MessagesSimulator simulator(home.path());
        QVERIFY(simulator.init(version));
        sim::FillOptions options;
        options.messages = 1500;
        options.writeAttachmentFiles = false;
        auto filled = simulator.fill(options);
        QVERIFY2(filled, qPrintable(filled.ok() ? QString() : filled.error().description()));
        const sim::FillSummary summary = filled.value();
        simulator.close();

        auto opened = MessageStore::open(simulator.databasePath());
        QVERIFY2(opened, qPrintable(opened.ok() ? QString() : opened.error().description()));
        auto store = opened.value();
        const bool modern = version == sim::SchemaVersion::MacOS15;
        QCOMPARE(store->schema().hasReactionColumns, modern);
        QCOMPARE(store->schema().hasAssociatedMessageEmoji, modern);

        qint64 cursor = 0;
        qint64 rows = 0, reactions = 0, customs = 0, kindless = 0, emptyText = 0;
        for (;;) {
            auto page = store->messagesAfter(cursor, std::nullopt, 100, true);
            QVERIFY2(page, qPrintable(page.ok() ? QString() : page.error().description()));
            if (page->isEmpty())
                break;
            for (const Message& message : page.value()) {
                QVERIFY(message.rowID > cursor);
                cursor = message.rowID;
                ++rows;
                QVERIFY(message.chatID > 0);
                if (message.isReaction) {
                    ++reactions;
                    QVERIFY(message.reactedToGUID && !message.reactedToGUID->isEmpty());
                    QVERIFY(!message.reactedToGUID->contains(QLatin1Char('/')));
                    if (!message.reactionType)
                        ++kindless;
                    else if (message.reactionType->isCustom())
                        ++customs;
                    continue;
                }
                if (message.text.isEmpty() && message.attachmentsCount == 0)
                    ++emptyText;
            }
        }
        QCOMPARE(cursor, store->maxRowID().value());
        // Every row comes back but link-preview duplicates.
        QVERIFY(rows <= summary.messages);
        QVERIFY(rows >= summary.messages - summary.linkPreviewBalloons);
        if (modern) {
            QCOMPARE(reactions, summary.tapbackAdds + summary.tapbackRemovals);
            // Custom additions carry their emoji in its own column; removals may name none.
            QVERIFY2(customs >= summary.customTapbacks, qPrintable(QStringLiteral("%1 < %2").arg(customs).arg(summary.customTapbacks)));
            QVERIFY(kindless <= summary.tapbackRemovals);
        } else {
            QCOMPARE(reactions, qint64(0));
        }
        QCOMPARE(emptyText, summary.emptyTexts);
    }

    void appendedRowsAreDecoded_data()
    {
        QTest::addColumn<sim::SchemaVersion>("version");
        QTest::newRow("macOS 15") << sim::SchemaVersion::MacOS15;
        QTest::newRow("legacy") << sim::SchemaVersion::Legacy;
    }

    void appendedRowsAreDecoded()
    {
        QFETCH(sim::SchemaVersion, version);
        const bool modern = version == sim::SchemaVersion::MacOS15;
        velto::test::TemporaryHome home;
        sim::MessagesSimulator simulator(home.path());
        QVERIFY(simulator.init(version));
        auto store = MessageStore::open(simulator.databasePath()).value();
        QCOMPARE(store->maxRowID().value(), qint64(0));

        const QString from = QStringLiteral("+15550001234");
        const QString text = QStringLiteral("Caf\u00e9 at 5? \U0001F600 \u2184 and a long tail ") + QString(200, QLatin1Char('x'));
        auto incoming = simulator.addIncoming({from, text, QString(), QString(), QString(), QString()});
        QVERIFY2(incoming, qPrintable(incoming.ok() ? QString() : incoming.error().description()));

        const QString audioFile = QDir(home.path()).filePath(QStringLiteral("memo.caf"));
        QFile file(audioFile);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(QByteArray(512, '\0'));
        file.close();
        auto voice = simulator.addIncoming({from, QString(), QString(), audioFile, QString(), QStringLiteral("See you at five")});
        QVERIFY2(voice, qPrintable(voice.ok() ? QString() : voice.error().description()));

        std::optional<sim::AppendResult> tapback;
        if (modern) {
            auto added = simulator.addTapback({incoming->guid, 2006, QStringLiteral("\U0001FAE0"), from});
            QVERIFY2(added, qPrintable(added.ok() ? QString() : added.error().description()));
            tapback = added.value();
        }

        auto rows = store->messagesAfter(0, std::nullopt, 10, true);
        QVERIFY2(rows, qPrintable(rows.ok() ? QString() : rows.error().description()));
        QCOMPARE(rows->size(), modern ? 3 : 2);
        const Message& first = rows->at(0);
        QCOMPARE(first.rowID, incoming->rowId);
        QCOMPARE(first.guid, modern ? incoming->guid : QString());
        QCOMPARE(first.chatID, incoming->chatId);
        QCOMPARE(first.sender, from);
        QCOMPARE(first.text, text);
        QVERIFY(!first.isFromMe);

        const Message& memo = rows->at(1);
        QCOMPARE(memo.attachmentsCount, 1);
        if (modern)
            QCOMPARE(memo.text, QStringLiteral("See you at five"));
        auto attachments = store->attachments(memo.rowID);
        QVERIFY(attachments);
        QCOMPARE(attachments->size(), 1);
        QVERIFY2(!attachments->at(0).missing, qPrintable(attachments->at(0).originalPath));

        if (modern) {
            const Message& reaction = rows->at(2);
            QVERIFY(reaction.isReaction);
            QCOMPARE(reaction.reactionType, std::optional<ReactionType>(ReactionType::custom(QStringLiteral("\U0001FAE0"))));
            QCOMPARE(reaction.reactedToGUID, std::optional<QString>(incoming->guid));
            auto standing = store->reactions(incoming->rowId);
            QVERIFY(standing);
            QCOMPARE(standing->size(), 1);
            QCOMPARE(standing->at(0).sender, from);
        }

        auto info = store->chatInfo(incoming->chatId);
        QVERIFY(info && info->has_value());
        QCOMPARE(info.value()->guid, incoming->chatGuid);
        QCOMPARE(store->participants(incoming->chatId).value(), QStringList{from});
    }
};

QTEST_GUILESS_MAIN(TestMessageStoreSim)
#include "tst_messagestoresim.moc"
