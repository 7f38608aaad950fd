// The relay server's WebSocket side, driven over loopback through the real executable.
#include "relayserverharness.h"
#include "relaytestclient.h"
#include "testsupport.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTest>

namespace {

const QString goodKey = QStringLiteral("good-key");
const QString otherKey = QStringLiteral("second-key");

QJsonObject relayNamed(const QList<QJsonObject>& relays, const QString& relayId)
{
    for (const QJsonObject& relay : relays) {
        if (relay.value(QLatin1String("relayId")).toString() == relayId)
            return relay;
    }
    return {};
}

QJsonObject historicalBatch(const QString& batchId, const QStringList& guids)
{
    QJsonArray messages;
    for (const QString& guid : guids)
        messages.append(QJsonObject{{QStringLiteral("guid"), guid}, {QStringLiteral("text"), QStringLiteral("hi")}});
    return {{QStringLiteral("type"), QStringLiteral("HISTORICAL_MESSAGES_BATCH")},
            {QStringLiteral("batchId"), batchId},
            {QStringLiteral("requestId"), QStringLiteral("req-1")},
            {QStringLiteral("timestamp"), 1.0},
            {QStringLiteral("messages"), messages}};
}

} // namespace

class TestRelayServerWebSocket : public QObject {
    Q_OBJECT
private:
    // Connects, identifies and waits for a successful AUTH_RESULT.
    bool authenticate(RelayTestClient& client, const QString& relayId)
    {
        if (!client.connectTo(m_server.wsUrl(), goodKey, goodKey))
            return false;
        client.identify(relayId);
        const auto result = client.waitFor(QStringLiteral("AUTH_RESULT"));
        return result && result->value(QLatin1String("success")).toBool();
    }

    velto::test::TemporaryHome m_home;
    velto::RelayServerHarness m_server;

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY2(m_server.start({QStringLiteral("--api-key"), goodKey, QStringLiteral("--api-key"), otherKey,
                                 QStringLiteral("--ping-interval-ms"), QStringLiteral("100"),
                                 QStringLiteral("--heartbeat-interval-ms"), QStringLiteral("150")}),
                 qPrintable(m_server.errorString()));
        QVERIFY(m_server.port() != 0);
        QCOMPARE(m_server.wsUrl().toString(), QStringLiteral("ws://127.0.0.1:%1/relay").arg(m_server.port()));
    }

    void init()
    {
        QVERIFY(m_server.setAuth(true));
        QVERIFY(m_server.setRefuseHandshake(false));
        QVERIFY(m_server.closeRelays() >= 0);
    }

    void keyAccepted_data()
    {
        QTest::addColumn<QString>("queryKey");
        QTest::addColumn<QString>("headerKey");
        QTest::addColumn<QString>("source");
        QTest::newRow("query") << goodKey << QString() << QStringLiteral("query");
        QTest::newRow("header") << QString() << otherKey << QStringLiteral("header");
        QTest::newRow("both") << goodKey << goodKey << QStringLiteral("both");
    }

    void keyAccepted()
    {
        QFETCH(QString, queryKey);
        QFETCH(QString, headerKey);
        QFETCH(QString, source);
        const QString relayId = QStringLiteral("relay-") + QString::fromLatin1(QTest::currentDataTag());
        const qint64 since = m_server.lastSeq();
        QVERIFY(since >= 0);
        const qint64 before = QDateTime::currentMSecsSinceEpoch();

        RelayTestClient client;
        QVERIFY(client.connectTo(m_server.wsUrl(), queryKey, headerKey));
        client.identify(relayId);
        const auto result = client.waitFor(QStringLiteral("AUTH_RESULT"));
        QVERIFY(result);
        QCOMPARE(result->value(QLatin1String("success")).toBool(), true);
        QVERIFY(result->value(QLatin1String("timestamp")).toDouble() >= double(before));
        QCOMPARE(result->value(QLatin1String("tenant")).toObject().value(QLatin1String("id")).toString(),
                 QStringLiteral("tenant-dev"));
        QVERIFY(result->value(QLatin1String("tenant")).toObject().value(QLatin1String("name")).isString());
        QVERIFY(!result->contains(QLatin1String("message")));

        const QJsonObject relay = relayNamed(m_server.relays(), relayId);
        QCOMPARE(relay.value(QLatin1String("authenticated")).toBool(), true);
        QCOMPARE(relay.value(QLatin1String("keySource")).toString(), source);
        QCOMPARE(relay.value(QLatin1String("apiKey")).toString(), queryKey.isNull() ? headerKey : queryKey);

        // IDENTIFY is recorded whole, stamped with the relay id, a new seq and the receipt time.
        const auto identify = m_server.waitForEvent(
            [&](const QJsonObject& event) {
                return event.value(QLatin1String("type")).toString() == QLatin1String("IDENTIFY")
                    && event.value(QLatin1String("relayId")).toString() == relayId;
            },
            5000, since);
        QVERIFY(identify);
        QCOMPARE(identify->value(QLatin1String("source")).toString(), QStringLiteral("relay"));
        QVERIFY(identify->value(QLatin1String("seq")).toInteger() > since);
        const qint64 receivedAt = identify->value(QLatin1String("receivedAt")).toInteger();
        QVERIFY(receivedAt >= before && receivedAt <= QDateTime::currentMSecsSinceEpoch());
        QCOMPARE(identify->value(QLatin1String("message")).toObject().value(QLatin1String("relayId")).toString(), relayId);
        QVERIFY(identify->value(QLatin1String("message")).toObject().contains(QLatin1String("systemInfo")));
    }

    void authRejected_data()
    {
        QTest::addColumn<QString>("queryKey");
        QTest::addColumn<QString>("headerKey");
        QTest::addColumn<bool>("force");
        QTest::addColumn<QString>("forcedMessage");
        QTest::addColumn<QString>("expected"); // null: no "message" member

        QTest::newRow("wrong key") << QStringLiteral("bad") << QStringLiteral("bad") << false << QString()
                                   << QStringLiteral("Invalid API key");
        QTest::newRow("no key") << QString() << QString() << false << QString() << QStringLiteral("Missing API key");
        QTest::newRow("query and header differ") << goodKey << otherKey << false << QString()
                                                 << QStringLiteral("Conflicting API keys in query and header");
        QTest::newRow("forced with message") << goodKey << goodKey << true << QStringLiteral("Relay disabled")
                                             << QStringLiteral("Relay disabled");
        QTest::newRow("forced without message") << goodKey << goodKey << true << QString() << QString();
    }

    void authRejected()
    {
        QFETCH(QString, queryKey);
        QFETCH(QString, headerKey);
        QFETCH(bool, force);
        QFETCH(QString, forcedMessage);
        QFETCH(QString, expected);
        if (force)
            QVERIFY(m_server.setAuth(false, forcedMessage));

        RelayTestClient client;
        QVERIFY(client.connectTo(m_server.wsUrl(), queryKey, headerKey));
        client.identify(QStringLiteral("relay-rejected"));
        const auto result = client.waitFor(QStringLiteral("AUTH_RESULT"));
        QVERIFY(result);
        QCOMPARE(result->value(QLatin1String("success")).toBool(true), false);
        QVERIFY(result->value(QLatin1String("timestamp")).isDouble());
        QVERIFY(!result->contains(QLatin1String("tenant")));
        if (expected.isNull())
            QVERIFY(!result->contains(QLatin1String("message")));
        else
            QCOMPARE(result->value(QLatin1String("message")).toString(), expected);

        // An unauthenticated relay gets no PINGs and no pushes; the socket stays open.
        QVERIFY(!client.waitFor(QStringLiteral("PING"), 400));
        QVERIFY(!client.isClosed());
        QVERIFY(!relayNamed(m_server.relays(), QStringLiteral("relay-rejected"))
                     .value(QLatin1String("authenticated"))
                     .toBool(true));
    }

    void pingsAndHeartbeatsFollowAuthentication()
    {
        RelayTestClient client;
        QVERIFY(client.connectTo(m_server.wsUrl(), goodKey, goodKey));
        QVERIFY(!client.waitFor(QStringLiteral("PING"), 350)); // nothing before IDENTIFY
        const qint64 since = m_server.lastSeq();
        client.identify(QStringLiteral("relay-ping"));

        QTRY_VERIFY_WITH_TIMEOUT(client.receivedOfType(QStringLiteral("PING")).size() >= 3, 5000);
        QTRY_VERIFY_WITH_TIMEOUT(client.receivedOfType(QStringLiteral("SERVER_HEARTBEAT")).size() >= 2, 5000);
        for (const QJsonObject& ping : client.receivedOfType(QStringLiteral("PING")))
            QVERIFY(ping.value(QLatin1String("timestamp")).toDouble() > 0);

        client.send({{QStringLiteral("type"), QStringLiteral("PONG")}, {QStringLiteral("timestamp"), 12.5}});
        const auto pong = m_server.waitForEvent(
            [](const QJsonObject& event) { return event.value(QLatin1String("type")).toString() == QLatin1String("PONG"); },
            5000, since);
        QVERIFY(pong);
        QCOMPARE(pong->value(QLatin1String("relayId")).toString(), QStringLiteral("relay-ping"));
        QCOMPARE(pong->value(QLatin1String("message")).toObject().value(QLatin1String("timestamp")).toDouble(), 12.5);
    }

    void pushReachesAuthenticatedRelays()
    {
        RelayTestClient a;
        RelayTestClient b;
        RelayTestClient stranger;
        QVERIFY(authenticate(a, QStringLiteral("relay-a")));
        QVERIFY(authenticate(b, QStringLiteral("relay-b")));
        QVERIFY(stranger.connectTo(m_server.wsUrl(), QStringLiteral("bad"), QString()));
        stranger.identify(QStringLiteral("relay-stranger"));
        QVERIFY(stranger.waitFor(QStringLiteral("AUTH_RESULT")));

        const QJsonObject request{{QStringLiteral("type"), QStringLiteral("SEND_MESSAGE")},
                                  {QStringLiteral("id"), QStringLiteral("m1")},
                                  {QStringLiteral("recipient"), QStringLiteral("+15551234567")},
                                  {QStringLiteral("text"), QStringLiteral("hello / \"world\"")},
                                  {QStringLiteral("timestamp"), 1.0}};
        QCOMPARE(m_server.push(request), 2);
        const auto atA = a.waitFor(QStringLiteral("SEND_MESSAGE"));
        QVERIFY(atA);
        QCOMPARE(*atA, request);
        QVERIFY(b.waitFor(QStringLiteral("SEND_MESSAGE")));

        const QJsonObject status{{QStringLiteral("type"), QStringLiteral("GET_STATUS")},
                                 {QStringLiteral("requestId"), QStringLiteral("s1")},
                                 {QStringLiteral("timestamp"), 2.0}};
        QCOMPARE(m_server.push(status, QStringLiteral("relay-b")), 1);
        QCOMPARE(m_server.push(status, QStringLiteral("nobody")), 0);
        QVERIFY(b.waitFor(QStringLiteral("GET_STATUS")));
        QVERIFY(!a.waitFor(QStringLiteral("GET_STATUS"), 300));
        QVERIFY(stranger.receivedOfType(QStringLiteral("SEND_MESSAGE")).isEmpty());

        // Raw frames go out byte for byte, even when they are not JSON.
        QCOMPARE(m_server.pushRaw("{not json", QStringLiteral("relay-a")), 1);
        QTRY_VERIFY(a.receivedTexts().contains(QStringLiteral("{not json")));

        // The control API refuses a body that is not a JSON object.
        QCOMPARE(m_server.request("POST", QStringLiteral("/control/send"), "[1,2]").status, 400);
    }

    void closeDropsRelays_data()
    {
        QTest::addColumn<bool>("abort");
        QTest::newRow("close frame") << false;
        QTest::newRow("abort") << true;
    }

    void closeDropsRelays()
    {
        QFETCH(bool, abort);
        RelayTestClient a;
        RelayTestClient b;
        QVERIFY(authenticate(a, QStringLiteral("relay-close-a")));
        QVERIFY(authenticate(b, QStringLiteral("relay-close-b")));
        const qint64 since = m_server.lastSeq();

        QCOMPARE(m_server.closeRelays(QStringLiteral("relay-close-a"), abort), 1);
        QVERIFY(a.waitForClosed());
        if (!abort)
            QCOMPARE(int(a.socket().closeCode()), 1000);
        QVERIFY(!b.waitForClosed(200));

        QCOMPARE(m_server.closeRelays({}, abort), 1);
        QVERIFY(b.waitForClosed());
        const auto gone = m_server.waitForEvent(
            [](const QJsonObject& event) {
                return event.value(QLatin1String("type")).toString() == QLatin1String("DISCONNECTED")
                    && event.value(QLatin1String("relayId")).toString() == QLatin1String("relay-close-b");
            },
            5000, since);
        QVERIFY(gone);
        QTRY_VERIFY(m_server.relays().isEmpty());
    }

    void refusedHandshakeFailsUntilSwitchedOff()
    {
        QVERIFY(m_server.setRefuseHandshake(true, 503));
        const qint64 since = m_server.lastSeq();
        RelayTestClient refused;
        QVERIFY(!refused.connectTo(m_server.wsUrl(), goodKey, goodKey));
        QVERIFY(!refused.wasConnected());
        QVERIFY2(refused.socket().errorString().contains(QLatin1String("503")), qPrintable(refused.socket().errorString()));
        const auto event = m_server.waitForEventType(QStringLiteral("HANDSHAKE_REFUSED"), 5000, since);
        QVERIFY(event);
        QCOMPARE(event->value(QLatin1String("status")).toInt(), 503);
        QVERIFY(m_server.relays().isEmpty());

        QVERIFY(m_server.setRefuseHandshake(false));
        RelayTestClient accepted;
        QVERIFY(authenticate(accepted, QStringLiteral("relay-after-refusal")));
    }

    void historicalBatchesAreAcknowledged()
    {
        RelayTestClient client;
        QVERIFY(authenticate(client, QStringLiteral("relay-batch")));
        client.send(historicalBatch(QStringLiteral("B1"), {QStringLiteral("g1"), QStringLiteral("g2")}));
        auto ack = client.waitFor(QStringLiteral("BATCH_ACK"));
        QVERIFY(ack);
        QCOMPARE(ack->value(QLatin1String("batchId")).toString(), QStringLiteral("B1"));
        QCOMPARE(ack->value(QLatin1String("insertedCount")).toInt(), 2);
        QCOMPARE(ack->value(QLatin1String("duplicatesSkipped")).toInt(), 0);
        QVERIFY(ack->value(QLatin1String("serverTimestamp")).isDouble());

        const qsizetype seen = client.received().size();
        client.send(historicalBatch(QStringLiteral("B2"), {QStringLiteral("g2"), QStringLiteral("g3"), QStringLiteral("g1")}));
        ack = client.waitFor(QStringLiteral("BATCH_ACK"), 5000, seen);
        QVERIFY(ack);
        QCOMPARE(ack->value(QLatin1String("batchId")).toString(), QStringLiteral("B2"));
        QCOMPARE(ack->value(QLatin1String("insertedCount")).toInt(), 1);
        QCOMPARE(ack->value(QLatin1String("duplicatesSkipped")).toInt(), 2);
    }

    // Last: it restarts the server.
    void eventsGoToTheFileAndSurviveRestart()
    {
        RelayTestClient client;
        QVERIFY(authenticate(client, QStringLiteral("relay-file")));
        client.socket().sendTextMessage(QStringLiteral("not json at all"));
        const auto invalid = m_server.waitForEventType(QStringLiteral("INVALID_FRAME"));
        QVERIFY(invalid);
        QCOMPARE(invalid->value(QLatin1String("raw")).toString(), QStringLiteral("not json at all"));
        QCOMPARE(invalid->value(QLatin1String("relayId")).toString(), QStringLiteral("relay-file"));

        // The file holds the same events as the control API, one JSON object per line.
        const QList<QJsonObject> events = m_server.events();
        QVERIFY(!events.isEmpty());
        QFile file(QDir(m_server.workDir()).filePath(QStringLiteral("events.jsonl")));
        QVERIFY(file.open(QIODevice::ReadOnly));
        QList<QJsonObject> lines;
        for (const QByteArray& line : file.readAll().split('\n')) {
            if (!line.isEmpty())
                lines.append(QJsonDocument::fromJson(line).object());
        }
        QVERIFY(lines.size() >= events.size());
        QCOMPARE(lines.mid(0, events.size()), events);

        const quint16 port = m_server.port();
        const qint64 lastBefore = m_server.lastSeq();
        QVERIFY2(m_server.restart(), qPrintable(m_server.errorString()));
        QCOMPARE(m_server.port(), port);
        QVERIFY(client.waitForClosed());
        QCOMPARE(m_server.lastSeq(), lastBefore); // numbering continues; memory starts empty

        RelayTestClient again;
        QVERIFY(authenticate(again, QStringLiteral("relay-file")));
        const auto reconnected = m_server.waitForEventType(QStringLiteral("IDENTIFY"), 5000, lastBefore);
        QVERIFY(reconnected);
        QVERIFY(reconnected->value(QLatin1String("seq")).toInteger() > lastBefore);
    }
};

QTEST_GUILESS_MAIN(TestRelayServerWebSocket)
#include "tst_relayserverwebsocket.moc"
