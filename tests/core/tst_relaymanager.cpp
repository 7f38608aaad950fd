// The relay manager against the real reference server, with a simulated Messages database in a
// temporary home: start, stop, restart, refusals, and the runtime's reports reaching the status
// service and the log buffer.
#include "configuration.h"
#include "logbufferservice.h"
#include "messagessimulator.h"
#include "permissionsservice.h"
#include "preferencesmanager.h"
#include "relaycredentials.h"
#include "relayidentityservice.h"
#include "relaymanager.h"
#include "relayserverharness.h"
#include "relaystatusservice.h"
#include "testsupport.h"

#include <QCoroTask>
#include <QDir>
#include <QFile>
#include <QPointer>
#include <QTest>

using namespace velto;
using namespace std::chrono_literals;

namespace {

const QString kKey = QStringLiteral("manager-test-key");

// Lines the manager wrote only to the system log.
QStringList g_managerLog;
QtMessageHandler g_previousHandler = nullptr;

void captureManagerLog(QtMsgType type, const QMessageLogContext& context, const QString& text)
{
    if (context.category && QByteArray(context.category) == "com.velto.relay.RelayManager")
        g_managerLog.append(text);
    g_previousHandler(type, context, text);
}

template <typename T>
QCoro::Task<> keep(QCoro::Task<T> task, std::shared_ptr<std::optional<T>> out)
{
    *out = co_await std::move(task);
}

QCoro::Task<> keepDone(QCoro::Task<> task, std::shared_ptr<bool> done)
{
    co_await std::move(task);
    *done = true;
}

// Starts an operation now; its outcome lands in the returned slot.
template <typename T>
std::shared_ptr<std::optional<T>> launch(QCoro::Task<T> task)
{
    auto out = std::make_shared<std::optional<T>>();
    keep(std::move(task), out);
    return out;
}

template <typename T>
std::optional<T> await(QCoro::Task<T> task, int timeoutMs = 20000)
{
    auto out = launch(std::move(task));
    (void)QTest::qWaitFor([&] { return out->has_value(); }, timeoutMs);
    return *out;
}

bool awaitDone(QCoro::Task<> task, int timeoutMs = 20000)
{
    auto done = std::make_shared<bool>(false);
    keepDone(std::move(task), done);
    return QTest::qWaitFor([&] { return *done; }, timeoutMs);
}

using StartResult = Result<void, RelayManagerError>;

QString errorText(const std::optional<StartResult>& result)
{
    if (!result)
        return QStringLiteral("(no answer)");
    return result->ok() ? QString() : description(result->error());
}

bool writeCredentials(const std::optional<QString>& backendUrl, const QString& apiKey = kKey)
{
    if (!Configuration::ensureConfigDir().ok())
        return false;
    RelayCredentials credentials;
    credentials.relayId = QStringLiteral("relay-from-registration");
    credentials.tenantId = QStringLiteral("tenant-dev");
    credentials.apiKey = apiKey;
    credentials.backendUrl = backendUrl;
    return credentials.save().ok();
}

} // namespace

class TestRelayManager : public QObject {
    Q_OBJECT

    // Configuration fixes its paths at first use, so the home is set before any test runs.
    test::TemporaryHome m_home;
    std::unique_ptr<sim::MessagesSimulator> m_sim;
    std::unique_ptr<RelayServerHarness> m_server;
    std::unique_ptr<RelayStatusService> m_status;
    std::unique_ptr<LogBufferService> m_logBuffer;
    std::unique_ptr<PermissionsService> m_permissions;
    std::unique_ptr<PreferencesManager> m_preferences;
    std::unique_ptr<RelayManager> m_manager;
    // The permissions service looks at a copy of the database, so a test can take access away
    // without disturbing the runtime's own reads.
    QString m_probeDatabase;
    QString m_probeContacts;

    QString home(const QString& relative) const { return QDir(m_home.path()).filePath(relative); }

    void makeManager(PermissionsService::Options options)
    {
        options.cacheTTL = 0ms; // every question probes, so a test may change the answers
        m_status = std::make_unique<RelayStatusService>();
        m_logBuffer = std::make_unique<LogBufferService>();
        m_permissions = std::make_unique<PermissionsService>(options);
        m_preferences = std::make_unique<PreferencesManager>();
        m_manager = std::make_unique<RelayManager>(m_status.get(), m_logBuffer.get(), m_permissions.get(), m_preferences.get());
        m_manager->runtimeSetUp = [](RelayRuntime& runtime) {
            runtime.setReconnectDelays(0.1, 0.8);
            runtime.setWatchTiming(50ms, 1000ms);
        };
    }

    PermissionsService::Options grantedOptions() const
    {
        PermissionsService::Options options;
        options.chatDatabasePath = m_probeDatabase;
        options.contactsDirectory = m_probeContacts;
        return options;
    }

    QStringList logTexts(const std::optional<QString>& source = std::nullopt) const
    {
        QStringList out;
        for (const LogEntry& e : m_logBuffer->entries())
            if (!source || e.source == source)
                out.append(e.message);
        return out;
    }

    int logCount(LogLevel level, const QString& text, const QString& source) const
    {
        return int(std::count_if(m_logBuffer->entries().begin(), m_logBuffer->entries().end(), [&](const LogEntry& e) {
            return e.level == level && e.message == text && e.source == std::optional<QString>(source);
        }));
    }

    QList<QPair<LogLevel, QString>> diagnostics() const
    {
        QList<QPair<LogLevel, QString>> out;
        for (const DiagnosticEntry& d : m_status->state().diagnostics)
            out.append({d.level, d.message});
        return out;
    }

    bool startAndConnect()
    {
        const auto result = await(m_manager->start());
        if (!result || !result->ok()) {
            qWarning("start failed: %s", qPrintable(errorText(result)));
            return false;
        }
        return QTest::qWaitFor([&] { return m_status->state().connected; }, 10000);
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_home.isValid());
        g_previousHandler = qInstallMessageHandler(captureManagerLog);
        m_sim = std::make_unique<sim::MessagesSimulator>(m_home.path());
        QVERIFY(m_sim->init().ok());
        sim::FillOptions fill = sim::FillOptions::preset(QStringLiteral("small")).value();
        fill.messages = 40;
        QVERIFY(m_sim->fill(fill).ok());
    }

    void cleanupTestCase() { qInstallMessageHandler(g_previousHandler); }

    void init()
    {
        g_managerLog.clear();
        m_probeDatabase = home(QStringLiteral("probe/chat.db"));
        m_probeContacts = home(QStringLiteral("probe/contacts"));
        QDir().mkpath(m_probeContacts);
        QFile::remove(m_probeDatabase);
        QVERIFY(QFile::copy(home(QStringLiteral("Library/Messages/chat.db")), m_probeDatabase));
        QVERIFY(QFile::setPermissions(m_probeContacts, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));

        m_server = std::make_unique<RelayServerHarness>();
        QVERIFY2(m_server->start({QStringLiteral("--api-key"), kKey, QStringLiteral("--ping-interval-ms"), QStringLiteral("0")}),
                 qPrintable(m_server->errorString()));
        QVERIFY(writeCredentials(m_server->wsUrl().toString()));
        makeManager(grantedOptions());
    }

    void cleanup()
    {
        if (m_manager && m_manager->runtime())
            QVERIFY(awaitDone(m_manager->stop(QStringLiteral("app-quit"))));
        m_manager.reset();
        m_permissions.reset();
        m_preferences.reset();
        m_logBuffer.reset();
        m_status.reset();
        m_server.reset();
    }

    void startConnectsAndStopReportsIdle()
    {
        const auto result = await(m_manager->start());
        QVERIFY2(result && result->ok(), qPrintable(errorText(result)));
        QTRY_VERIFY_WITH_TIMEOUT(m_status->state().connected, 10000);
        QCOMPARE(m_status->state().connectionStage, ConnectionStage::connected);
        QVERIFY(!m_manager->isStarting());

        // Its own lines from "main", the runtime's from "mac-relay".
        QCOMPARE(logTexts(QStringLiteral("main")),
                 (QStringList{QStringLiteral("Starting relay..."), QStringLiteral("Relay started successfully")}));
        QCOMPARE(logCount(LogLevel::info, QStringLiteral("Authentication successful"), QStringLiteral("mac-relay")), 1);
        QCOMPARE(logCount(LogLevel::info, QStringLiteral("Starting relay runtime..."), QStringLiteral("mac-relay")), 1);
        QCOMPARE(diagnostics(), (QList<QPair<LogLevel, QString>>{{LogLevel::info, QStringLiteral("Connection established")}}));
        QVERIFY(m_status->uptimeStartedAt());
        // The snapshot the start looked at is what the status shows.
        QVERIFY(m_status->state().permissions);
        QCOMPARE(m_status->state().permissions->fullDisk.state, PermissionState::granted);

        // The server saw the relay with the Mac's hardware identifier and the stored key.
        const std::optional<QString> hardwareId = await(RelayIdentityService::getHardwareUUID()).value_or(std::nullopt);
        const auto identify = m_server->waitForEventType(QStringLiteral("IDENTIFY"));
        QVERIFY(identify);
        const QString relayId = identify->value(QLatin1String("message")).toObject().value(QLatin1String("relayId")).toString();
        if (hardwareId)
            QCOMPARE(relayId, *hardwareId);
        else
            QVERIFY(!QUuid::fromString(relayId).isNull());
        QVERIFY(m_server->waitForAuthenticatedRelay(relayId));

        // A heartbeat from the server reaches the status.
        QVERIFY(!m_status->state().lastHeartbeat);
        QCOMPARE(m_server->push(QJsonObject{{QStringLiteral("type"), QStringLiteral("SERVER_HEARTBEAT")},
                                            {QStringLiteral("timestamp"), 1}}),
                 1);
        QTRY_VERIFY(m_status->state().lastHeartbeat.has_value());

        RelayRuntimeHost* runtime = m_manager->runtime();
        QVERIFY(awaitDone(m_manager->stop(QStringLiteral("user"))));
        QCOMPARE(m_status->state().connectionStage, ConnectionStage::idle);
        QCOMPARE(m_status->state().connected, false);
        QVERIFY(!m_status->uptimeStartedAt());
        QCOMPARE(diagnostics().last(), qMakePair(LogLevel::warn, QStringLiteral("Connection lost")));
        const QStringList mainLines = logTexts(QStringLiteral("main"));
        QCOMPARE(mainLines.mid(2), (QStringList{QStringLiteral("Stopping relay (reason: user)"), QStringLiteral("Relay stopped")}));
        QCOMPARE(logCount(LogLevel::warn, QStringLiteral("Disconnected: user disconnect"), QStringLiteral("mac-relay")), 1);
        // The runtime stays until the next start replaces it.
        QCOMPARE(m_manager->runtime(), runtime);
        QVERIFY(m_server->waitForEventType(QStringLiteral("DISCONNECTED")));
    }

    void refusals_data()
    {
        QTest::addColumn<bool>("fullDiskAccess");
        QTest::addColumn<QString>("credentials"); // "none", "no key", "bad url"
        QTest::addColumn<QString>("error");
        QTest::addColumn<bool>("runtimeKept");

        QTest::newRow("no full disk access") << false << QStringLiteral("ok")
                                             << QStringLiteral("Full Disk Access is required but not granted") << false;
        QTest::newRow("no credentials") << true << QStringLiteral("none")
                                        << QStringLiteral("No relay credentials found. Complete the setup wizard first.")
                                        << false;
        QTest::newRow("credentials without key") << true << QStringLiteral("no key")
                                                 << QStringLiteral("No relay credentials found. Complete the setup wizard first.")
                                                 << false;
        QTest::newRow("server URL that does not parse") << true << QStringLiteral("bad url")
                                                        << QStringLiteral("Invalid WebSocket server URL") << true;
    }

    void refusals()
    {
        QFETCH(bool, fullDiskAccess);
        QFETCH(QString, credentials);
        QFETCH(QString, error);
        QFETCH(bool, runtimeKept);

        if (!fullDiskAccess)
            QVERIFY(QFile::remove(m_probeDatabase));
        if (credentials == QLatin1String("none")) {
            QVERIFY(QFile::remove(Configuration::relayAuthFile()));
        } else if (credentials == QLatin1String("no key")) {
            QFile file(Configuration::relayAuthFile());
            QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
            file.write(R"({"relayId":"r","tenantId":"t"})");
        } else if (credentials == QLatin1String("bad url")) {
            QVERIFY(writeCredentials(QStringLiteral("not a server url")));
        }

        const auto result = await(m_manager->start());
        QVERIFY(result);
        QVERIFY(!result->ok());
        QCOMPARE(description(result->error()), error);
        QCOMPARE(m_status->state().connectionStage, ConnectionStage::error);
        QVERIFY(!m_manager->isStarting());

        QList<QPair<LogLevel, QString>> expected;
        if (!fullDiskAccess)
            expected.append({LogLevel::error, QStringLiteral("Full Disk Access required but not granted")});
        expected.append({LogLevel::error, QStringLiteral("Start failed: ") + error});
        QCOMPARE(diagnostics(), expected);
        QCOMPARE(logCount(LogLevel::error, QStringLiteral("Failed to start relay: ") + error, QStringLiteral("main")), 1);
        QVERIFY(!logTexts(QStringLiteral("main")).contains(QStringLiteral("Relay started successfully")));
        QCOMPARE(m_manager->runtime() != nullptr, runtimeKept);
        // Refused before the server was contacted, or the URL never became a connection.
        QCOMPARE(m_server->relays().size(), 0);
        // Without access the status keeps no snapshot from this start.
        QCOMPARE(m_status->state().permissions.has_value(), fullDiskAccess);

        // Once the cause is gone, the next start works (and replaces a runtime left by the failure).
        QFile::remove(m_probeDatabase);
        QVERIFY(QFile::copy(home(QStringLiteral("Library/Messages/chat.db")), m_probeDatabase));
        QVERIFY(writeCredentials(m_server->wsUrl().toString()));
        QVERIFY(startAndConnect());
    }

    void wrongApiKeyStartsButFailsAuthentication()
    {
        QVERIFY(writeCredentials(m_server->wsUrl().toString(), QStringLiteral("not-the-key")));
        const auto result = await(m_manager->start());
        QVERIFY2(result && result->ok(), qPrintable(errorText(result)));
        QCOMPARE(logTexts(QStringLiteral("main")).last(), QStringLiteral("Relay started successfully"));
        QTRY_COMPARE_WITH_TIMEOUT(m_status->state().connectionStage, ConnectionStage::error, 10000);
        QCOMPARE(m_status->state().connected, false);
        QCOMPARE(diagnostics(),
                 (QList<QPair<LogLevel, QString>>{{LogLevel::error, QStringLiteral("Auth failed: Invalid API key")}}));
        QCOMPARE(logCount(LogLevel::error, QStringLiteral("Authentication failed: Invalid API key"), QStringLiteral("mac-relay")), 1);
        QCOMPARE(m_server->relays().size(), 1);

        // Not connected, so a new start is allowed: the refused session is closed first, so the
        // server never holds two sessions of this relay.
        QVERIFY(writeCredentials(m_server->wsUrl().toString()));
        const qint64 since = m_server->lastSeq();
        QVERIFY(startAndConnect());
        QVERIFY(logTexts(QStringLiteral("main")).contains(QStringLiteral("Stopping the previous relay runtime")));
        QVERIFY(m_server->waitForEventType(QStringLiteral("DISCONNECTED"), 5000, since));
        QTRY_COMPARE(m_server->relays().size(), 1);
        QVERIFY(m_server->relays().first().value(QLatin1String("authenticated")).toBool());
        QCOMPARE(m_status->state().connectionStage, ConnectionStage::connected);
    }

    void backendUrlFallsBackToConfiguredServer()
    {
        // Credentials without a server: the configured one is used (not reachable here).
        QVERIFY(writeCredentials(std::nullopt));
        const auto result = await(m_manager->start());
        QVERIFY2(result && result->ok(), qPrintable(errorText(result)));
        QCOMPARE(m_status->state().connectionStage, ConnectionStage::connecting);
        // The override wins over both when given.
        QVERIFY(awaitDone(m_manager->stop(QStringLiteral("user"))));
        const auto overridden = await(m_manager->start({m_server->wsUrl().toString()}));
        QVERIFY2(overridden && overridden->ok(), qPrintable(errorText(overridden)));
        QTRY_VERIFY_WITH_TIMEOUT(m_status->state().connected, 10000);
        QCOMPARE(m_server->relays().size(), 1);
        QVERIFY(Configuration::apiServerUrl() != m_server->wsUrl().toString());
    }

    void duplicateStartIsIgnored()
    {
        auto first = launch(m_manager->start());
        auto second = launch(m_manager->start());
        // The second call returns at once without error.
        QVERIFY(second->has_value());
        QVERIFY((*second)->ok());
        QCOMPARE(g_managerLog, QStringList{QStringLiteral("Start already in progress, ignoring duplicate call")});
        QTRY_VERIFY_WITH_TIMEOUT(first->has_value(), 20000);
        QVERIFY((*first)->ok());
        QTRY_VERIFY_WITH_TIMEOUT(m_status->state().connected, 10000);
        QCOMPARE(logTexts(QStringLiteral("main")).count(QStringLiteral("Starting relay...")), 1);

        // Started and connected: another start is refused quietly and keeps the runtime.
        RelayRuntimeHost* runtime = m_manager->runtime();
        const auto third = await(m_manager->start());
        QVERIFY(third && third->ok());
        QCOMPARE(g_managerLog.last(), QStringLiteral("Relay already running"));
        QCOMPARE(m_manager->runtime(), runtime);
        QCOMPARE(m_server->relays().size(), 1);
    }

    void stopWithoutStartChangesNothing()
    {
        QVERIFY(awaitDone(m_manager->stop(QStringLiteral("user"))));
        QCOMPARE(g_managerLog, QStringList{QStringLiteral("Relay not running, nothing to stop")});
        QVERIFY(m_logBuffer->entries().isEmpty());
        QVERIFY(m_status->state().diagnostics.isEmpty());
        QCOMPARE(m_status->state().connectionStage, ConnectionStage::idle);
        QVERIFY(!m_manager->isStopping());
    }

    void stopDuringStartStopsWhatItStarted()
    {
        auto started = launch(m_manager->start());
        QVERIFY(m_manager->isStarting());
        QVERIFY(awaitDone(m_manager->stop(QStringLiteral("user"))));
        QVERIFY(started->has_value());
        QVERIFY((*started)->ok());
        QCOMPARE(logTexts(QStringLiteral("main")),
                 (QStringList{QStringLiteral("Starting relay..."), QStringLiteral("Relay started successfully"),
                              QStringLiteral("Stopping relay (reason: user)"), QStringLiteral("Relay stopped")}));
        QCOMPARE(m_status->state().connectionStage, ConnectionStage::idle);
        QTRY_COMPARE(m_server->relays().size(), 0);
        // Nothing comes back up afterwards.
        QTest::qWait(300);
        QCOMPARE(m_status->state().connectionStage, ConnectionStage::idle);
        QCOMPARE(m_server->relays().size(), 0);
    }

    void restartPausesAndBuildsNewRuntime()
    {
        QVERIFY(startAndConnect());
        // Guarded: the new runtime may be built where the old one was freed, so a raw address
        // would prove nothing.
        const QPointer<RelayRuntimeHost> before(m_manager->runtime());
        QVERIFY(before);
        const auto result = await(m_manager->restart());
        QVERIFY2(result && result->ok(), qPrintable(errorText(result)));
        QVERIFY(m_manager->runtime());
        QVERIFY(m_manager->runtime() != before.data());
        QTRY_VERIFY_WITH_TIMEOUT(m_status->state().connected, 10000);

        QList<LogEntry> main;
        for (const LogEntry& e : m_logBuffer->entries())
            if (e.source == std::optional<QString>(QStringLiteral("main")))
                main.append(e);
        QStringList texts;
        for (const LogEntry& e : main)
            texts.append(e.message);
        QCOMPARE(texts, (QStringList{QStringLiteral("Starting relay..."), QStringLiteral("Relay started successfully"),
                                     QStringLiteral("Restarting relay..."), QStringLiteral("Stopping relay (reason: restart)"),
                                     QStringLiteral("Relay stopped"), QStringLiteral("Starting relay..."),
                                     QStringLiteral("Relay started successfully")}));
        QVERIFY2(main.at(4).timestamp.msecsTo(main.at(5).timestamp) >= 500,
                 qPrintable(QString::number(main.at(4).timestamp.msecsTo(main.at(5).timestamp))));
        QCOMPARE(diagnostics(), (QList<QPair<LogLevel, QString>>{{LogLevel::info, QStringLiteral("Connection established")},
                                                                 {LogLevel::warn, QStringLiteral("Connection lost")},
                                                                 {LogLevel::info, QStringLiteral("Connection established")}}));
        QTRY_COMPARE(m_server->relays().size(), 1);
    }

    void countersAddAcrossRuntimes()
    {
        QVERIFY(startAndConnect());
        QTRY_VERIFY_WITH_TIMEOUT(logTexts(QStringLiteral("mac-relay")).filter(QStringLiteral("Message watcher started")).size() == 1,
                                 10000);
        auto first = m_sim->addIncoming({QStringLiteral("+14155550123"), QStringLiteral("first"), {}, {}, {}, {}, {}});
        QVERIFY(first.ok());
        QTRY_COMPARE_WITH_TIMEOUT(m_status->state().messagesReceivedToday, 1, 10000);

        // A new runtime counts from zero; its first message adds one, not zero.
        QVERIFY(awaitDone(m_manager->stop(QStringLiteral("user"))));
        QVERIFY(startAndConnect());
        QTRY_VERIFY_WITH_TIMEOUT(logTexts(QStringLiteral("mac-relay")).filter(QStringLiteral("Message watcher started")).size() == 2,
                                 10000);
        auto second = m_sim->addIncoming({QStringLiteral("+14155550123"), QStringLiteral("second"), {}, {}, {}, {}, {}});
        QVERIFY(second.ok());
        QTRY_COMPARE_WITH_TIMEOUT(m_status->state().messagesReceivedToday, 2, 10000);
        QCOMPARE(m_status->state().messagesSentToday, 0);
    }

    void syncContacts_data()
    {
        QTest::addColumn<QString>("situation");
        QTest::addColumn<bool>("success");
        QTest::addColumn<QString>("error"); // null: none

        QTest::newRow("never started") << QStringLiteral("never started") << false << QStringLiteral("Relay not running");
        QTest::newRow("stopped") << QStringLiteral("stopped") << false << QStringLiteral("Relay not running");
        QTest::newRow("no full disk access") << QStringLiteral("no full disk access") << false
                                             << QStringLiteral("Full Disk Access required");
        QTest::newRow("no contacts access") << QStringLiteral("no contacts access") << false
                                            << QStringLiteral("Contacts access required");
        QTest::newRow("running") << QStringLiteral("running") << true << QString();
    }

    void syncContacts()
    {
        QFETCH(QString, situation);
        QFETCH(bool, success);
        QFETCH(QString, error);

        if (situation != QLatin1String("never started"))
            QVERIFY(startAndConnect());
        if (situation == QLatin1String("stopped"))
            QVERIFY(awaitDone(m_manager->stop(QStringLiteral("user"))));
        if (situation == QLatin1String("no full disk access"))
            QVERIFY(QFile::remove(m_probeDatabase));
        if (situation == QLatin1String("no contacts access"))
            QVERIFY(QFile::setPermissions(m_probeContacts, QFileDevice::Permissions()));

        const qint64 since = m_server->lastSeq();
        const auto result = await(m_manager->syncContacts());
        QVERIFY(result);
        QCOMPARE(result->success, success);
        QCOMPARE(result->error, error.isNull() ? std::nullopt : std::optional<QString>(error));
        if (success) // the sync reached the server
            QVERIFY(m_server->waitForEventType(QStringLiteral("contacts:sync:complete"), 5000, since));
    }
};

QTEST_GUILESS_MAIN(TestRelayManager)
#include "tst_relaymanager.moc"
