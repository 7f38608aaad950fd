// Simulator → relay runtime → reference server: rows written to a real Messages database
// arrive at the server as live events, and none is lost when the server goes away mid-burst.
#include "dbconnection.h"
#include "dbstatement.h"
#include "messagessimulator.h"
#include "relayruntimehost.h"
#include "runtimehostcontrol.h"
#include "statemanager.h"
#include "relayserverharness.h"
#include "testsupport.h"

#include <QCoroTask>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTest>

using namespace velto;

namespace {
const QString kKey = QStringLiteral("live-test-key");
} // namespace

class TestLiveForwarding : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_home.isValid());
        m_sim = std::make_unique<sim::MessagesSimulator>(m_home.path());
        QVERIFY(m_sim->init().ok());
        sim::FillOptions fill = sim::FillOptions::preset(QStringLiteral("small")).value();
        fill.messages = 200;
        auto filled = m_sim->fill(fill);
        QVERIFY2(filled.ok(), filled.ok() ? "" : qPrintable(filled.error().description()));
    }

    void init()
    {
        m_server = std::make_unique<RelayServerHarness>();
        QVERIFY2(m_server->start(serverArguments()),
                 qPrintable(m_server->errorString()));
        QVERIFY(startRuntime());
        QVERIFY(m_server->waitForAuthenticatedRelay());
    }

    void cleanup()
    {
        if (m_host)
            QVERIFY(test::stopHost(*m_host));
        m_host.reset();
        m_server.reset();
    }

    void incomingTextAndImage()
    {
        const qint64 since = m_server->lastSeq();
        auto text = m_sim->addIncoming({QStringLiteral("+14155550177"), QStringLiteral("Hello from the test"), {}, {}, {}, {}, {}});
        QVERIFY(text.ok());
        const auto got = m_server->waitForEvent(
            [&](const QJsonObject& e) {
                return e.value(QLatin1String("message")).toObject().value(QLatin1String("guid")).toString() == text->guid;
            },
            10000, since);
        QVERIFY(got);
        const QJsonObject m = got->value(QLatin1String("message")).toObject();
        QCOMPARE(m.value(QLatin1String("type")).toString(), QStringLiteral("MESSAGE_RECEIVED"));
        QCOMPARE(m.value(QLatin1String("text")).toString(), QStringLiteral("Hello from the test"));
        QCOMPARE(m.value(QLatin1String("sender")).toString(), QStringLiteral("+14155550177"));
        QCOMPARE(m.value(QLatin1String("recipient")).toString(), QStringLiteral("+14155550177"));
        QCOMPARE(m.value(QLatin1String("service")).toString(), QStringLiteral("iMessage"));
        QVERIFY(!m.contains(QLatin1String("isGroupChat")));
        QVERIFY(!m.contains(QLatin1String("attachments")));

        // An image: the stored file is the same bytes as the one on disk.
        const QString image = QDir(m_home.path()).filePath(QStringLiteral("photo.png"));
        QByteArray bytes = QByteArrayLiteral("\x89PNG\r\n\x1a\n");
        for (int i = 0; i < 5000; ++i)
            bytes += char(i * 7);
        QFile f(image);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(bytes);
        f.close();
        auto withImage = m_sim->addIncoming({QStringLiteral("+14155550177"), QString(), {}, image, {}, {}, {}});
        QVERIFY(withImage.ok());
        const auto imageEvent = m_server->waitForEvent(
            [&](const QJsonObject& e) {
                return e.value(QLatin1String("message")).toObject().value(QLatin1String("guid")).toString() == withImage->guid;
            },
            10000, since);
        QVERIFY(imageEvent);
        const QJsonObject im = imageEvent->value(QLatin1String("message")).toObject();
        const QJsonArray attachments = im.value(QLatin1String("attachments")).toArray();
        QCOMPARE(attachments.size(), 1);
        const QJsonObject a = attachments.first().toObject();
        QCOMPARE(a.value(QLatin1String("missing")).toBool(), false);
        QCOMPARE(a.value(QLatin1String("total_bytes")).toInt(), int(bytes.size()));
        const auto upload = m_server->waitForEventType(QStringLiteral("UPLOAD"), 5000, since);
        QVERIFY(upload);
        QFile stored(upload->value(QLatin1String("storedFile")).toString());
        QVERIFY(stored.open(QIODevice::ReadOnly));
        QCOMPARE(stored.readAll(), bytes);
        QCOMPARE(a.value(QLatin1String("storage_path")).toString(), upload->value(QLatin1String("storagePath")).toString());
    }

    void outgoingInGroupAndTapbacks()
    {
        // A chat with three members from the filled database.
        auto db = db::Connection::openReadOnly(m_sim->databasePath());
        QVERIFY(db.ok());
        auto q = db->prepare(QStringLiteral("SELECT c.guid FROM chat c JOIN chat_handle_join j ON j.chat_id = c.ROWID "
                                            "WHERE c.style = 43 GROUP BY c.ROWID HAVING COUNT(*) >= 2 LIMIT 1"));
        QVERIFY(q.ok());
        const auto stepped = q->step();
        QVERIFY(stepped.ok() && stepped.value());
        const QString chatGuid = q->text(0);
        auto members = db->prepare(QStringLiteral("SELECT h.id FROM chat_handle_join j JOIN chat c ON c.ROWID = j.chat_id "
                                                  "JOIN handle h ON h.ROWID = j.handle_id WHERE c.guid = ? ORDER BY h.id"));
        QVERIFY(members.ok() && members->bindAll(chatGuid).ok());
        QStringList memberIds;
        while (true) {
            const auto row = members->step();
            QVERIFY(row.ok());
            if (!row.value())
                break;
            memberIds << members->text(0);
        }
        QVERIFY(memberIds.size() >= 2);

        const qint64 since = m_server->lastSeq();
        auto sent = m_sim->addOutgoing({{}, chatGuid, QStringLiteral("Dinner at 8?"), {}, {}});
        QVERIFY(sent.ok());
        // From a member: a sender new to the chat would join it before the watcher reads the rows.
        auto like = m_sim->addTapback({sent->guid, 2001, {}, memberIds.first()});
        QVERIFY(like.ok());
        auto unlike = m_sim->addTapback({sent->guid, 3001, {}, {}});
        QVERIFY(unlike.ok());

        auto eventFor = [&](const QString& guid) {
            return m_server->waitForEvent(
                [&](const QJsonObject& e) {
                    return e.value(QLatin1String("message")).toObject().value(QLatin1String("guid")).toString() == guid;
                },
                10000, since);
        };
        const auto sentEvent = eventFor(sent->guid);
        QVERIFY(sentEvent);
        const QJsonObject s = sentEvent->value(QLatin1String("message")).toObject();
        QCOMPARE(s.value(QLatin1String("type")).toString(), QStringLiteral("MESSAGE_SENT"));
        QVERIFY(!s.contains(QLatin1String("sender")));
        QCOMPARE(s.value(QLatin1String("isGroupChat")).toBool(), true);
        QCOMPARE(s.value(QLatin1String("chatGuid")).toString(), chatGuid);
        QStringList groupMembers;
        for (const QJsonValue& v : s.value(QLatin1String("groupMembers")).toArray())
            groupMembers << v.toString();
        QCOMPARE(groupMembers, memberIds);
        QCOMPARE(s.value(QLatin1String("is_sent")).toBool(), true);
        QVERIFY(s.value(QLatin1String("send_error")).isDouble());

        const auto likeEvent = eventFor(like->guid);
        QVERIFY(likeEvent);
        const QJsonObject l = likeEvent->value(QLatin1String("message")).toObject();
        QCOMPARE(l.value(QLatin1String("type")).toString(), QStringLiteral("REACTION_EVENT"));
        QCOMPARE(l.value(QLatin1String("reactionType")).toString(), QStringLiteral("like"));
        QCOMPARE(l.value(QLatin1String("reactionEmoji")).toString(), QStringLiteral("👍"));
        QCOMPARE(l.value(QLatin1String("isAdd")).toBool(), true);
        QCOMPARE(l.value(QLatin1String("reactedToGUID")).toString(), sent->guid);
        QCOMPARE(l.value(QLatin1String("isGroupChat")).toBool(), true);

        const auto unlikeEvent = eventFor(unlike->guid);
        QVERIFY(unlikeEvent);
        const QJsonObject u = unlikeEvent->value(QLatin1String("message")).toObject();
        QCOMPARE(u.value(QLatin1String("isAdd")).toBool(), false);
        QCOMPARE(u.value(QLatin1String("isFromMe")).toBool(), true);
        QCOMPARE(u.value(QLatin1String("sender")).toString(), QString());
    }

    void linkPreviewPairArrivesOnce()
    {
        const qint64 since = m_server->lastSeq();
        sim::IncomingMessage link{QStringLiteral("+14155550177"), QStringLiteral("https://example.com/a"), {}, {}, {}, {}, {}};
        link.balloonBundleId = QStringLiteral("com.apple.messages.URLBalloonProvider");
        auto first = m_sim->addIncoming(link);
        auto second = m_sim->addIncoming(link);
        auto marker = m_sim->addIncoming({QStringLiteral("+14155550177"), QStringLiteral("after the link"), {}, {}, {}, {}, {}});
        QVERIFY(first.ok() && second.ok() && marker.ok());
        QVERIFY(m_server->waitForEvent(
            [&](const QJsonObject& e) {
                return e.value(QLatin1String("message")).toObject().value(QLatin1String("guid")).toString() == marker->guid;
            },
            10000, since));
        int links = 0;
        for (const QJsonObject& e : m_server->events(since))
            links += e.value(QLatin1String("message")).toObject().value(QLatin1String("text")).toString()
                     == QLatin1String("https://example.com/a");
        QCOMPARE(links, 1);
    }

    // The server goes away after row 200 of a 500-row burst and comes back after row 350: every
    // row still reaches it once the relay is connected again (a row may arrive twice, never not).
    // A relay that has not forwarded anything yet loses its connection; a row written while it
    // is away arrives once it is back (the new watcher must not start again from the newest row).
    void rowWhileAwayBeforeFirstForward()
    {
        QVERIFY(test::stopHost(*m_host));
        QFile::remove(StateManager().stateFilePath());
        QVERIFY(startRuntime());

        const quint16 port = m_server->port();
        m_server->stop();
        auto row = m_sim->addIncoming({QStringLiteral("+14155550109"), QStringLiteral("while away"), {}, {}, {}, {}, {}});
        QVERIFY(row.ok());
        QTest::qWait(300);
        QVERIFY2(m_server->start(serverArguments(), port), qPrintable(m_server->errorString()));
        const auto arrived = m_server->waitForEvent(
            [&](const QJsonObject& e) {
                const QJsonObject m = e.value(QLatin1String("message")).toObject();
                return m.value(QLatin1String("type")).toString() == QLatin1String("MESSAGE_RECEIVED")
                       && m.value(QLatin1String("guid")).toString() == row->guid;
            },
            15000);
        QVERIFY2(arrived, qPrintable(m_logs.join(QLatin1Char('\n'))));
    }

    void burstAcrossServerRestart()
    {
        const qint64 since = m_server->lastSeq();
        const quint16 port = m_server->port();
        const QStringList senders{QStringLiteral("+14155550101"), QStringLiteral("+14155550102"),
                                  QStringLiteral("burst@example.com")};
        QStringList guids;
        QElapsedTimer written;
        written.start();
        for (int i = 0; i < 500; ++i) {
            if (i == 200)
                m_server->stop();
            if (i == 350)
                QVERIFY2(m_server->start(serverArguments(), port), qPrintable(m_server->errorString()));
            auto row = m_sim->addIncoming({senders.at(i % senders.size()), QStringLiteral("burst %1").arg(i), {}, {}, {}, {}, {}});
            QVERIFY(row.ok());
            guids << row->guid;
            QTest::qWait(i % 10 == 0 ? 5 : 0);
        }

        qInfo("burst written in %lld ms", qlonglong(written.elapsed()));

        // The server keeps only its own run's events in memory; its events file has both runs.
        QHash<QString, int> seen;
        auto allArrived = [&] {
            QFile file(QDir(m_server->workDir()).filePath(QStringLiteral("events.jsonl")));
            if (!file.open(QIODevice::ReadOnly))
                return false;
            seen.clear();
            while (!file.atEnd()) {
                const QJsonObject e = QJsonDocument::fromJson(file.readLine()).object();
                const QJsonObject m = e.value(QLatin1String("message")).toObject();
                if (e.value(QLatin1String("seq")).toInteger() > since
                    && m.value(QLatin1String("type")).toString() == QLatin1String("MESSAGE_RECEIVED"))
                    ++seen[m.value(QLatin1String("guid")).toString()];
            }
            return std::all_of(guids.begin(), guids.end(), [&](const QString& g) { return seen.contains(g); });
        };
        QTRY_VERIFY_WITH_TIMEOUT(allArrived(), 60000);
        qInfo("burst delivered %lld ms after the first row", qlonglong(written.elapsed()));
        int duplicates = 0;
        for (const QString& g : guids)
            duplicates += seen.value(g) - 1;
        qInfo("burst: %lld rows, all arrived, %d sent twice", qlonglong(guids.size()), duplicates);
    }

private:
    // A runtime on the current server, once its message watcher has started.
    bool startRuntime()
    {
        m_host = std::make_unique<RelayRuntimeHost>();
        m_logs.clear();
        m_host->onLog = [this](LogLevel, const QString& text, const LogContext&) { m_logs << text; };
        if (!test::startQuickHost(*m_host, m_server->wsUrl(), QStringLiteral("LIVE-RELAY"), kKey))
            return false;
        return QTest::qWaitFor([this] { return !m_logs.filter(QStringLiteral("Message watcher started from ROWID")).isEmpty(); },
                               10000);
    }

    static QStringList serverArguments()
    {
        return {QStringLiteral("--api-key"), kKey, QStringLiteral("--ping-interval-ms"), QStringLiteral("0")};
    }

    test::TemporaryHome m_home;
    std::unique_ptr<sim::MessagesSimulator> m_sim;
    std::unique_ptr<RelayServerHarness> m_server;
    std::unique_ptr<RelayRuntimeHost> m_host;
    QStringList m_logs;
};

QTEST_GUILESS_MAIN(TestLiveForwarding)
#include "tst_liveforwarding.moc"
