// The relay runtime on its own thread against the real reference server on loopback.
#include "relayruntimehost.h"
#include "runtimehostcontrol.h"
#include "relayserverharness.h"
#include "testsupport.h"

#include <QCoroTask>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTest>

using namespace velto;

namespace {

const QString kKey = QStringLiteral("runtime-test-key");
const QString kRelayId = QStringLiteral("RELAY-UUID-1");

// Everything the runtime reported, as the owner's thread received it.
struct Reports {
    QList<QPair<LogLevel, QString>> logs;
    QList<QPair<ConnectionStage, bool>> stages;
    QList<QPair<LogLevel, QString>> diagnostics;
    int heartbeats = 0;

    void attach(RelayRuntimeHost& host)
    {
        host.onLog = [this](LogLevel l, const QString& t, const LogContext&) { logs.append({l, t}); };
        host.onStateChange = [this](ConnectionStage s, bool c) { stages.append({s, c}); };
        host.onDiagnostic = [this](LogLevel l, const QString& t) { diagnostics.append({l, t}); };
        host.onHeartbeat = [this] { ++heartbeats; };
    }
    int countLog(LogLevel level, const QString& text) const { return int(logs.count({level, text})); }
    int countStage(ConnectionStage stage) const
    {
        return int(std::count_if(stages.begin(), stages.end(), [&](const auto& s) { return s.first == stage; }));
    }
};

QJsonObject parse(const char* json)
{
    return QJsonDocument::fromJson(QByteArray(json)).object();
}

bool startHost(RelayRuntimeHost& host, const QUrl& url, std::optional<QString> key = kKey)
{
    host.configure([](RelayRuntime& r) { r.setReconnectDelays(0.1, 0.8); });
    return test::startHost(host, {url.toString(), kRelayId, std::move(key)});
}

using test::stopHost;

} // namespace

class TestRelayRuntime : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void init()
    {
        m_server = std::make_unique<RelayServerHarness>();
        QVERIFY2(m_server->start({QStringLiteral("--api-key"), kKey, QStringLiteral("--ping-interval-ms"),
                                  QStringLiteral("0")}),
                 qPrintable(m_server->errorString()));
    }
    void cleanup() { m_server.reset(); }

    void identifiesAndAuthenticates()
    {
        RelayRuntimeHost host;
        Reports reports;
        reports.attach(host);
        QVERIFY(startHost(host, m_server->wsUrl()));
        QTRY_COMPARE(reports.countLog(LogLevel::info, QStringLiteral("Authentication successful")), 1);
        QCOMPARE(reports.logs.at(0), qMakePair(LogLevel::info, QStringLiteral("Starting relay runtime...")));
        // The contacts observer is started before the connection is opened.
        QCOMPARE(reports.logs.at(1), qMakePair(LogLevel::info, QStringLiteral("Registered Contacts change observer")));
        QCOMPARE(reports.logs.at(2), qMakePair(LogLevel::info, QStringLiteral("WebSocket connection established, sending IDENTIFY...")));
        // Stages and log lines come through separate queued calls: the last stage may follow.
        QTRY_COMPARE(reports.stages, (QList<QPair<ConnectionStage, bool>>{{ConnectionStage::connecting, false},
                                                                          {ConnectionStage::connected, true}}));

        const auto identify = m_server->waitForEventType(QStringLiteral("IDENTIFY"));
        QVERIFY(identify);
        const QJsonObject message = identify->value(QLatin1String("message")).toObject();
        QCOMPARE(message.value(QLatin1String("relayId")).toString(), kRelayId);
        QVERIFY(message.value(QLatin1String("timestamp")).toDouble() > 1.6e12);
        QCOMPARE(message.value(QLatin1String("systemInfo")).toObject().keys(),
                 (QStringList{QStringLiteral("cpu"), QStringLiteral("disk"), QStringLiteral("memory"),
                              QStringLiteral("network"), QStringLiteral("system"), QStringLiteral("timestamp")}));

        // The key went both ways: as the query item and as the header.
        const QList<QJsonObject> relays = m_server->relays();
        QCOMPARE(relays.size(), 1);
        const auto connected = m_server->waitForEventType(QStringLiteral("CONNECTED"));
        QVERIFY(connected);
        QCOMPARE(connected->value(QLatin1String("keySource")).toString(), QStringLiteral("both"));
        QVERIFY(stopHost(host));
    }

    void authenticationFailure_data()
    {
        QTest::addColumn<QString>("serverMessage"); // null: the member is left out
        QTest::addColumn<QString>("shown");
        QTest::newRow("with message") << QStringLiteral("Relay disabled") << QStringLiteral("Relay disabled");
        QTest::newRow("without message") << QString() << QStringLiteral("Authentication failed");
    }
    void authenticationFailure()
    {
        QFETCH(QString, serverMessage);
        QFETCH(QString, shown);
        QVERIFY(m_server->setAuth(false, serverMessage));
        RelayRuntimeHost host;
        Reports reports;
        reports.attach(host);
        QVERIFY(startHost(host, m_server->wsUrl()));
        QTRY_COMPARE(reports.countStage(ConnectionStage::error), 1);
        QCOMPARE(reports.countLog(LogLevel::error, QStringLiteral("Authentication failed: ") + shown), 1);
        QCOMPARE(reports.diagnostics, (QList<QPair<LogLevel, QString>>{{LogLevel::error, QStringLiteral("Auth failed: ") + shown}}));
        QCOMPARE(reports.stages.last(), qMakePair(ConnectionStage::error, false));
        QVERIFY(stopHost(host));
    }

    void heartbeats()
    {
        RelayRuntimeHost host;
        Reports reports;
        reports.attach(host);
        QVERIFY(startHost(host, m_server->wsUrl()));
        QVERIFY(m_server->waitForAuthenticatedRelay(kRelayId));
        const qint64 since = m_server->lastSeq();
        QCOMPARE(m_server->push(parse(R"({"type":"PING","timestamp":1})")), 1);
        QCOMPARE(m_server->push(parse(R"({"type":"PING","timestamp":2})")), 1);
        QCOMPARE(m_server->push(parse(R"({"type":"SERVER_HEARTBEAT","timestamp":3})")), 1);
        // A status request after them proves everything before it was handled.
        QCOMPARE(m_server->push(parse(R"({"type":"GET_STATUS","timestamp":4,"requestId":"after"})")), 1);
        QVERIFY(m_server->waitForEventType(QStringLiteral("STATUS_RESPONSE"), 5000, since));
        QTRY_COMPARE(reports.heartbeats, 3);

        int pongs = 0;
        for (const QJsonObject& e : m_server->events(since)) {
            if (e.value(QLatin1String("source")) != QLatin1String("relay"))
                continue;
            const QString type = e.value(QLatin1String("type")).toString();
            QVERIFY2(type == QLatin1String("PONG") || type == QLatin1String("STATUS_RESPONSE"), qPrintable(type));
            if (type == QLatin1String("PONG")) {
                ++pongs;
                QVERIFY(e.value(QLatin1String("message")).toObject().value(QLatin1String("timestamp")).toDouble() > 1.6e12);
            }
        }
        QCOMPARE(pongs, 2); // SERVER_HEARTBEAT is not answered
        QVERIFY(stopHost(host));
    }

    void statusBeforeAndAfterAuthentication()
    {
        QVERIFY(m_server->setAuth(false, QStringLiteral("not yet")));
        RelayRuntimeHost host;
        Reports reports;
        reports.attach(host);
        QVERIFY(startHost(host, m_server->wsUrl()));
        QTRY_COMPARE(reports.countStage(ConnectionStage::error), 1);

        auto askStatus = [&](const QString& id, bool includeUnauthenticated) -> QJsonObject {
            const qint64 since = m_server->lastSeq();
            const QJsonObject request{{QStringLiteral("type"), QStringLiteral("GET_STATUS")},
                                      {QStringLiteral("timestamp"), 1},
                                      {QStringLiteral("requestId"), id}};
            const auto reply = m_server->request("POST",
                                                 includeUnauthenticated ? QStringLiteral("/control/send?includeUnauthenticated=1")
                                                                        : QStringLiteral("/control/send"),
                                                 QJsonDocument(request).toJson(),
                                                 {{"Content-Type", "application/json"}});
            if (reply.status != 200)
                return {};
            const auto answer = m_server->waitForEventType(QStringLiteral("STATUS_RESPONSE"), 5000, since);
            return answer ? answer->value(QLatin1String("message")).toObject() : QJsonObject();
        };

        QJsonObject before = askStatus(QStringLiteral("s1"), true);
        QCOMPARE(before.value(QLatin1String("requestId")).toString(), QStringLiteral("s1"));
        QCOMPARE(before.value(QLatin1String("status")).toObject(),
                 parse(R"({"relayId":"RELAY-UUID-1","connected":false,"relayStatus":"disconnected",
                          "messageQueue":{"queueLength":0,"isProcessing":false}})"));

        // Accept keys again and drop the socket: the runtime reconnects and authenticates.
        QVERIFY(m_server->setAuth(true));
        QCOMPARE(m_server->closeRelays(), 1);
        QTRY_COMPARE_WITH_TIMEOUT(reports.countLog(LogLevel::info, QStringLiteral("Authentication successful")), 1, 10000);
        const QJsonObject after = askStatus(QStringLiteral("s2"), false);
        QCOMPARE(after.value(QLatin1String("status")).toObject().value(QLatin1String("relayStatus")).toString(),
                 QStringLiteral("connected"));
        QCOMPARE(after.value(QLatin1String("status")).toObject().value(QLatin1String("connected")).toBool(), true);
        QVERIFY(stopHost(host));
    }

    void healthCheck()
    {
        RelayRuntimeHost host;
        QVERIFY(startHost(host, m_server->wsUrl()));
        QVERIFY(m_server->waitForAuthenticatedRelay(kRelayId));
        const qint64 since = m_server->lastSeq();
        QCOMPARE(m_server->push(parse(R"({"type":"HEALTH_CHECK","timestamp":1,"requestId":"h/1"})")), 1);
        const auto answer = m_server->waitForEventType(QStringLiteral("HEALTH_RESPONSE"), 5000, since);
        QVERIFY(answer);
        const QJsonObject m = answer->value(QLatin1String("message")).toObject();
        QCOMPARE(m.value(QLatin1String("requestId")).toString(), QStringLiteral("h/1"));
        QCOMPARE(m.value(QLatin1String("status")).toString(), QStringLiteral("healthy"));
        QCOMPARE(m.value(QLatin1String("health")).toObject().size(), 6);
        QVERIFY(stopHost(host));
    }

    // Messages whose whole effect is a log line (and sometimes a diagnostic).
    void loggedMessages_data()
    {
        QTest::addColumn<QByteArray>("frame");
        QTest::addColumn<int>("level");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("diagnostic");
        auto row = [](const char* name, const char* frame, LogLevel level, const QString& text, const QString& diagnostic = {}) {
            QTest::newRow(name) << QByteArray(frame) << int(level) << text << diagnostic;
        };
        row("validation failed, two errors",
            R"({"type":"VALIDATION_FAILED","timestamp":1,"errors":[{"message":"guid missing","path":["guid"]},{"message":"bad/date","code":"x"}]})",
            LogLevel::error, QStringLiteral("Server rejected message: guid missing; bad/date"),
            QStringLiteral("Validation failed: guid missing; bad/date"));
        row("validation failed, undecodable", R"({"type":"VALIDATION_FAILED"})", LogLevel::error,
            QStringLiteral("Server rejected message: unknown"), QStringLiteral("Validation failed: unknown"));
        row("batch ack", R"({"type":"BATCH_ACK","batchId":"b1","insertedCount":3,"duplicatesSkipped":1,"serverTimestamp":5})",
            LogLevel::debug, QStringLiteral("Batch b1 acknowledged: 3 inserted, 1 duplicates skipped"));
        row("batch ack, undecodable", R"({"type":"BATCH_ACK","batchId":"b1"})", LogLevel::warn,
            QStringLiteral("Failed to decode BATCH_ACK"));
        row("auth result, undecodable", R"({"type":"AUTH_RESULT","success":true})", LogLevel::error,
            QStringLiteral("Failed to decode AUTH_RESULT"));
        row("unknown type", R"({"type":"NO_SUCH_THING"})", LogLevel::debug, QStringLiteral("Unhandled server message: NO_SUCH_THING"));
        row("sync filters updated", R"({"type":"SYNC_FILTERS_UPDATED","anything":[1]})", LogLevel::debug,
            QStringLiteral("Sync filter config update received"));
        row("sync start historical", R"({"type":"SYNC_START_HISTORICAL","timestamp":1,"reason":"first run"})", LogLevel::debug,
            QStringLiteral("SYNC_START_HISTORICAL received (reason=first run); awaiting HISTORICAL_SYNC_REQUEST"));
        row("sync start historical, undecodable", R"({"type":"SYNC_START_HISTORICAL","reason":"r"})", LogLevel::debug,
            QStringLiteral("SYNC_START_HISTORICAL received (reason=unspecified); awaiting HISTORICAL_SYNC_REQUEST"));
    }
    void loggedMessages()
    {
        QFETCH(QByteArray, frame);
        QFETCH(int, level);
        QFETCH(QString, text);
        QFETCH(QString, diagnostic);
        RelayRuntimeHost host;
        Reports reports;
        reports.attach(host);
        QVERIFY(startHost(host, m_server->wsUrl()));
        QTRY_COMPARE(reports.countStage(ConnectionStage::connected), 1);
        QCOMPARE(m_server->pushRaw(frame), 1);
        QTRY_COMPARE(reports.countLog(LogLevel(level), text), 1);
        if (!diagnostic.isEmpty())
            QCOMPARE(reports.diagnostics, (QList<QPair<LogLevel, QString>>{{LogLevel::error, diagnostic}}));
        else
            QVERIFY(reports.diagnostics.isEmpty());
        QVERIFY(stopHost(host));
    }

    // Undecodable status and health requests are dropped without a word.
    void undecodableRequestsAreDropped()
    {
        RelayRuntimeHost host;
        Reports reports;
        reports.attach(host);
        QVERIFY(startHost(host, m_server->wsUrl()));
        QVERIFY(m_server->waitForAuthenticatedRelay(kRelayId));
        const qint64 since = m_server->lastSeq();
        const int logsBefore = int(reports.logs.size());
        QCOMPARE(m_server->pushRaw(R"({"type":"GET_STATUS","timestamp":1})"), 1);
        QCOMPARE(m_server->pushRaw(R"({"type":"HEALTH_CHECK","requestId":"x"})"), 1);
        QCOMPARE(m_server->pushRaw(R"({"type":"PING"})"), 1);
        QVERIFY(m_server->waitForEventType(QStringLiteral("PONG"), 5000, since));
        for (const QJsonObject& e : m_server->events(since))
            if (e.value(QLatin1String("source")) == QLatin1String("relay"))
                QCOMPARE(e.value(QLatin1String("type")).toString(), QStringLiteral("PONG"));
        QTest::qWait(100);
        QCOMPARE(reports.logs.size(), logsBefore);
        QVERIFY(stopHost(host));
    }

    // The server goes away and comes back: the runtime reports the loss, retries with growing
    // delays, identifies again and is accepted again.
    void serverRestartReconnectsWithGrowingDelays()
    {
        RelayRuntimeHost host;
        Reports reports;
        reports.attach(host);
        QVERIFY(startHost(host, m_server->wsUrl()));
        QTRY_COMPARE(reports.countStage(ConnectionStage::connected), 1);

        // Refusing handshakes first lets the server witness every retry.
        QVERIFY(m_server->setRefuseHandshake(true));
        const qint64 since = m_server->lastSeq();
        QCOMPARE(m_server->closeRelays(), 1);
        QTRY_VERIFY_WITH_TIMEOUT(
            [&] {
                int refused = 0;
                for (const QJsonObject& e : m_server->events(since))
                    refused += e.value(QLatin1String("type")) == QLatin1String("HANDSHAKE_REFUSED");
                return refused >= 5;
            }(),
            15000);
        QList<qint64> at;
        for (const QJsonObject& e : m_server->events(since))
            if (e.value(QLatin1String("type")) == QLatin1String("HANDSHAKE_REFUSED"))
                at << qint64(e.value(QLatin1String("receivedAt")).toDouble());
        // Delays 0.1, 0.2, 0.4, 0.8 s: scheduling can only make a gap longer, so a lower bound
        // on the later gaps shows the back-off grew.
        QVERIFY2(at[3] - at[2] >= 350, qPrintable(QStringLiteral("gap %1 ms").arg(at[3] - at[2])));
        QVERIFY2(at[4] - at[3] >= 700, qPrintable(QStringLiteral("gap %1 ms").arg(at[4] - at[3])));

        // A real restart on the same port, then the server accepts again.
        QVERIFY(m_server->restart());
        QTRY_COMPARE_WITH_TIMEOUT(reports.countStage(ConnectionStage::connected), 2, 10000);
        QVERIFY(m_server->waitForEventType(QStringLiteral("IDENTIFY")));
        QVERIFY(reports.countStage(ConnectionStage::connecting) >= 2);
        QVERIFY(std::any_of(reports.logs.begin(), reports.logs.end(), [](const auto& l) {
            return l.first == LogLevel::warn && l.second.startsWith(QLatin1String("Disconnected: "));
        }));
        QVERIFY(stopHost(host));
    }

    void stopDisconnectsForGood()
    {
        RelayRuntimeHost host;
        Reports reports;
        reports.attach(host);
        QVERIFY(startHost(host, m_server->wsUrl()));
        QTRY_COMPARE(reports.countStage(ConnectionStage::connected), 1);
        QVERIFY(stopHost(host));
        QTRY_COMPARE(reports.stages.size(), 4);
        QCOMPARE(reports.stages.mid(2), (QList<QPair<ConnectionStage, bool>>{{ConnectionStage::connecting, false},
                                                                             {ConnectionStage::idle, false}}));
        QCOMPARE(reports.countLog(LogLevel::warn, QStringLiteral("Disconnected: user disconnect")), 1);
        const qint64 since = m_server->lastSeq();
        QTest::qWait(600); // longer than several retry delays
        for (const QJsonObject& e : m_server->events(since))
            QVERIFY(e.value(QLatin1String("type")) != QLatin1String("CONNECTED"));
    }

    void invalidUrlFailsStart()
    {
        RelayRuntimeHost host;
        Reports reports;
        reports.attach(host);
        std::optional<Result<void, RelayRuntimeError>> outcome;
        // Named, not a temporary inside co_await: GCC 12 destroys such temporaries twice.
        const RelayRuntimeOptions options{QStringLiteral("not a url"), kRelayId, kKey};
        auto run = [&]() -> QCoro::Task<> { outcome = co_await host.start(options); };
        run();
        QTRY_VERIFY(outcome.has_value());
        QVERIFY(!outcome->ok());
        QCOMPARE(description(outcome->error()), QStringLiteral("Invalid WebSocket server URL"));
        QVERIFY(stopHost(host)); // the runtime stays marked running; stop still ends it
        QTRY_COMPARE(reports.stages.last(), qMakePair(ConnectionStage::idle, false));
    }

private:
    test::TemporaryHome m_home; // the runtime's read position and database paths stay in here
    std::unique_ptr<RelayServerHarness> m_server;
};

QTEST_GUILESS_MAIN(TestRelayRuntime)
#include "tst_relayruntime.moc"
