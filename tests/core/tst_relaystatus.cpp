// The status service and the in-app log buffer: caps, counters, stage from the stored files,
// uptime, and the copy of each log entry that goes to the system log.
#include "codablepermissionsnapshot.h"
#include "configuration.h"
#include "logbufferservice.h"
#include "relaystatusservice.h"
#include "testsupport.h"

#include <QCoroTask>
#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTest>

Q_DECLARE_METATYPE(velto::LogLevel)
Q_DECLARE_METATYPE(velto::ConnectionStage)

using namespace velto;

namespace {

// What reached the system log under our subsystem.
struct SystemLogLine {
    QtMsgType type;
    QString category;
    QString text;
};

QList<SystemLogLine> g_systemLog;
QtMessageHandler g_previousHandler = nullptr;

void captureSystemLog(QtMsgType type, const QMessageLogContext& context, const QString& text)
{
    if (context.category && QByteArray(context.category).startsWith("com.velto.relay.")) {
        g_systemLog.append({type, QString::fromLatin1(context.category), text});
        return;
    }
    g_previousHandler(type, context, text);
}

bool writeFile(const QString& path, const QByteArray& data)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(data) == data.size();
}

// Stored file content for a table row: null leaves the file away.
void placeFile(const QString& path, const QByteArray& content)
{
    QFile::remove(path);
    if (!content.isNull())
        QVERIFY(writeFile(path, content));
}

bool initialize(RelayStatusService& service)
{
    bool done = false;
    auto run = [&]() -> QCoro::Task<> {
        co_await service.initialize();
        done = true;
    };
    run();
    return QTest::qWaitFor([&] { return done; }, 5000);
}

// A clock the test moves by hand.
struct ManualClock {
    QDateTime now = QDateTime(QDate(2024, 5, 1), QTime(12, 0), Qt::UTC);
    RelayStatusService::Clock function()
    {
        return [this] { return now; };
    }
};

QList<QPair<LogLevel, QString>> diagnosticsOf(const RelayStatusService& service)
{
    QList<QPair<LogLevel, QString>> out;
    for (const DiagnosticEntry& d : service.state().diagnostics)
        out.append({d.level, d.message});
    return out;
}

// "k=v;k=v" → context.
LogContext contextOf(const QString& spec)
{
    LogContext context;
    for (const QString& pair : spec.split(QLatin1Char(';'), Qt::SkipEmptyParts))
        context.insert(pair.section(QLatin1Char('='), 0, 0), pair.section(QLatin1Char('='), 1));
    return context;
}

} // namespace

class TestRelayStatus : public QObject {
    Q_OBJECT

    // Configuration fixes its paths at first use, so the home is set before any test runs.
    test::TemporaryHome m_home;

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_home.isValid());
        g_previousHandler = qInstallMessageHandler(captureSystemLog);
    }
    void cleanupTestCase() { qInstallMessageHandler(g_previousHandler); }
    void init()
    {
        g_systemLog.clear();
        qunsetenv("VELTO_LOG_PRIVATE");
    }

    // ---- status service ----

    void initializeFromFiles_data()
    {
        QTest::addColumn<QByteArray>("wizardState");
        QTest::addColumn<QByteArray>("credentials");
        QTest::addColumn<QByteArray>("permissionCache");
        QTest::addColumn<ConnectionStage>("stage");
        QTest::addColumn<QString>("relayName");  // null: none
        QTest::addColumn<QString>("relayId");    // null: none
        QTest::addColumn<QString>("tenantName"); // null: none
        QTest::addColumn<QString>("backendUrl"); // null: none; "default": Configuration::apiServerUrl()
        QTest::addColumn<QString>("permissions"); // null: none; else "fullDisk/contacts/automation" raw states

        const QByteArray none;
        const QByteArray creds =
            R"({"apiKey":"k1","backendUrl":"ws://127.0.0.1:9/relay","relayId":"R1","tenantId":"T1","tenantName":"Acme"})";
        const QByteArray credsNoBackend = R"({"apiKey":"k1","relayId":"R1","tenantId":"T1"})";
        const QByteArray credsNoKey = R"({"relayId":"R1","tenantId":"T1"})";
        const QByteArray wizard = R"({"relayName":"Office Mac","completedAt":"2024-05-01T12:00:00Z"})";

        QTest::newRow("nothing stored") << none << none << none << ConnectionStage::awaitingSetup << QString()
                                        << QString() << QString() << QString() << QString();
        QTest::newRow("wizard state only") << wizard << none << none << ConnectionStage::idle
                                           << QStringLiteral("Office Mac") << QString() << QString() << QString()
                                           << QString();
        QTest::newRow("empty wizard state") << QByteArray("{}") << none << none << ConnectionStage::idle << QString()
                                            << QString() << QString() << QString() << QString();
        QTest::newRow("undecodable wizard state")
            << QByteArray(R"({"permissionsAcknowledged":{"fullDisk":true,"contacts":true}})") << none << none
            << ConnectionStage::awaitingSetup << QString() << QString() << QString() << QString() << QString();
        QTest::newRow("credentials without wizard state")
            << none << creds << none << ConnectionStage::ready << QString() << QStringLiteral("R1")
            << QStringLiteral("Acme") << QStringLiteral("ws://127.0.0.1:9/relay") << QString();
        QTest::newRow("both") << wizard << creds << none << ConnectionStage::ready << QStringLiteral("Office Mac")
                              << QStringLiteral("R1") << QStringLiteral("Acme") << QStringLiteral("ws://127.0.0.1:9/relay")
                              << QString();
        QTest::newRow("credentials without backend") << wizard << credsNoBackend << none << ConnectionStage::ready
                                                     << QStringLiteral("Office Mac") << QStringLiteral("R1") << QString()
                                                     << QStringLiteral("default") << QString();
        QTest::newRow("credentials without key") << wizard << credsNoKey << none << ConnectionStage::idle
                                                 << QStringLiteral("Office Mac") << QString() << QString() << QString()
                                                 << QString();
        QTest::newRow("permission cache")
            << wizard << none << QByteArray(R"({"fullDiskState":"granted","contactsState":"maybe"})")
            << ConnectionStage::idle << QStringLiteral("Office Mac") << QString() << QString() << QString()
            << QStringLiteral("granted/unknown/unknown");
        QTest::newRow("permission cache with details")
            << wizard << none
            << QByteArray(R"({"fullDiskState":"denied","fullDiskDetail":"no","contactsState":"granted","automationState":"error"})")
            << ConnectionStage::idle << QStringLiteral("Office Mac") << QString() << QString() << QString()
            << QStringLiteral("denied/granted/error");
        QTest::newRow("permission cache without contacts")
            << wizard << none << QByteArray(R"({"fullDiskState":"granted"})") << ConnectionStage::idle
            << QStringLiteral("Office Mac") << QString() << QString() << QString() << QString();
    }

    void initializeFromFiles()
    {
        QFETCH(QByteArray, wizardState);
        QFETCH(QByteArray, credentials);
        QFETCH(QByteArray, permissionCache);
        QFETCH(ConnectionStage, stage);
        QFETCH(QString, relayName);
        QFETCH(QString, relayId);
        QFETCH(QString, tenantName);
        QFETCH(QString, backendUrl);
        QFETCH(QString, permissions);

        QVERIFY(Configuration::ensureConfigDir().ok());
        placeFile(Configuration::wizardStateFile(), wizardState);
        placeFile(Configuration::relayAuthFile(), credentials);
        placeFile(Configuration::permissionCacheFile(), permissionCache);

        auto optional = [](const QString& s) { return s.isNull() ? std::nullopt : std::optional<QString>(s); };
        ManualClock clock;
        RelayStatusService service;
        service.setClock(clock.function());
        QSignalSpy changed(&service, &RelayStatusService::stateChanged);
        QVERIFY(initialize(service));
        QVERIFY(changed.size() >= 1);

        const RelayRuntimeState& state = service.state();
        QCOMPARE(state.connectionStage, stage);
        QCOMPARE(state.relayName, optional(relayName));
        QCOMPARE(state.relayId, optional(relayId));
        QCOMPARE(state.tenantId, relayId.isNull() ? std::nullopt : std::optional<QString>(QStringLiteral("T1")));
        QCOMPARE(state.tenantName, optional(tenantName));
        QCOMPARE(state.backendUrl, backendUrl == QLatin1String("default") ? std::optional<QString>(Configuration::apiServerUrl())
                                                                            : optional(backendUrl));
        QCOMPARE(state.connected, false);
        QVERIFY(state.diagnostics.isEmpty());
        if (permissions.isNull()) {
            QVERIFY(!state.permissions);
        } else {
            QVERIFY(state.permissions);
            const QString seen = permissionStateRawValue(state.permissions->fullDisk.state) + QLatin1Char('/')
                                 + permissionStateRawValue(state.permissions->contacts.state) + QLatin1Char('/')
                                 + permissionStateRawValue(state.permissions->automation.state);
            QCOMPARE(seen, permissions);
            QCOMPARE(state.permissions->contacts.lastCheckedAt, clock.now); // the time of loading
        }
        const QString line = QStringLiteral("Relay status service initialized, stage: ") + rawValue(stage);
        QVERIFY(std::any_of(g_systemLog.begin(), g_systemLog.end(), [&](const SystemLogLine& l) {
            return l.category == QLatin1String("com.velto.relay.RelayStatus") && l.type == QtInfoMsg && l.text == line;
        }));
    }

    void initializeRereadsFiles()
    {
        QVERIFY(Configuration::ensureConfigDir().ok());
        placeFile(Configuration::wizardStateFile(), "{}");
        placeFile(Configuration::relayAuthFile(), QByteArray());
        placeFile(Configuration::permissionCacheFile(), QByteArray());
        RelayStatusService service;
        QVERIFY(initialize(service));
        QCOMPARE(service.state().connectionStage, ConnectionStage::idle);

        placeFile(Configuration::relayAuthFile(), R"({"apiKey":"k","relayId":"R2","tenantId":"T2"})");
        QVERIFY(initialize(service));
        QCOMPARE(service.state().connectionStage, ConnectionStage::ready);
        QCOMPARE(service.state().relayId, std::optional<QString>(QStringLiteral("R2")));
    }

    void connectionUpdatesAndUptime()
    {
        ManualClock clock;
        RelayStatusService service;
        service.setClock(clock.function());
        QSignalSpy uptimeChanged(&service, &RelayStatusService::uptimeStartedAtChanged);

        // Disconnected: no uptime.
        QCOMPARE(service.getStatusSnapshot().uptimeSeconds, 0.0);

        service.setConnectionState({.connectionStage = ConnectionStage::connecting, .connected = false});
        QVERIFY(diagnosticsOf(service).isEmpty());
        QVERIFY(!service.uptimeStartedAt());

        service.setConnectionState({.connectionStage = ConnectionStage::connected, .connected = true,
                                    .tenantName = QStringLiteral("Acme")});
        QCOMPARE(service.uptimeStartedAt(), std::optional<QDateTime>(clock.now));
        const QDateTime upAt = clock.now;
        clock.now = clock.now.addMSecs(90500);
        QCOMPARE(service.getStatusSnapshot().uptimeSeconds, 90.5);
        QCOMPARE(service.state().uptimeSeconds, 0.0); // only the copy carries it

        // Connected again: the uptime keeps running and no diagnostic is added.
        service.setConnectionState({.connectionStage = ConnectionStage::connected, .connected = true});
        QCOMPARE(service.uptimeStartedAt(), std::optional<QDateTime>(upAt));
        clock.now = clock.now.addSecs(10);
        QCOMPARE(service.getStatusSnapshot().uptimeSeconds, 100.5);

        // Absent fields stay as they are; an update cannot clear them.
        service.setConnectionState({.manualAccounts = QStringList{QStringLiteral("+14155550100")}});
        QCOMPARE(service.state().tenantName, std::optional<QString>(QStringLiteral("Acme")));
        QCOMPARE(service.state().connectionStage, ConnectionStage::connected);
        QCOMPARE(service.state().connected, true);

        service.setConnectionState({.connectionStage = ConnectionStage::connecting, .connected = false});
        QVERIFY(!service.uptimeStartedAt());
        QCOMPARE(service.getStatusSnapshot().uptimeSeconds, 0.0);
        QCOMPARE(service.state().manualAccounts, std::optional<QStringList>(QStringList{QStringLiteral("+14155550100")}));
        QCOMPARE(diagnosticsOf(service), (QList<QPair<LogLevel, QString>>{{LogLevel::info, QStringLiteral("Connection established")},
                                                                       {LogLevel::warn, QStringLiteral("Connection lost")}}));
        QCOMPARE(uptimeChanged.size(), 2);

        // A stage change alone (say, an error while disconnected) adds nothing.
        service.setConnectionState({.connectionStage = ConnectionStage::error});
        QCOMPARE(service.state().diagnostics.size(), 2);
        QCOMPARE(service.state().connected, false);
    }

    void diagnosticsKeepNewest50()
    {
        ManualClock clock;
        RelayStatusService service;
        service.setClock(clock.function());
        QSignalSpy appended(&service, &RelayStatusService::diagnosticAppended);
        for (int i = 0; i < 51; ++i) {
            clock.now = clock.now.addSecs(1);
            service.appendDiagnostic(i % 2 ? LogLevel::warn : LogLevel::error, QStringLiteral("d%1").arg(i));
        }
        const auto& diagnostics = service.state().diagnostics;
        QCOMPARE(diagnostics.size(), 50);
        QCOMPARE(diagnostics.first().message, QStringLiteral("d1"));
        QCOMPARE(diagnostics.first().level, LogLevel::warn);
        QCOMPARE(diagnostics.last().message, QStringLiteral("d50"));
        QCOMPARE(diagnostics.last().timestamp, clock.now);
        QCOMPARE(appended.size(), 51);
        QVERIFY(diagnostics.first().id != diagnostics.last().id);
    }

    void heartbeatAndDailyCounters()
    {
        ManualClock clock;
        RelayStatusService service;
        service.setClock(clock.function());
        service.recordHeartbeat();
        QCOMPARE(service.state().lastHeartbeat, std::optional<QDateTime>(clock.now));

        for (int i = 0; i < 3; ++i)
            service.incrementMessagesSentToday();
        service.incrementMessagesReceivedToday();
        QCOMPARE(service.state().messagesSentToday, 3);
        QCOMPARE(service.state().messagesReceivedToday, 1);

        // Observers see the sent counter zeroed first, then the received one.
        QList<QPair<qint64, qint64>> seen;
        connect(&service, &RelayStatusService::stateChanged, this, [&] {
            seen.append({service.state().messagesSentToday, service.state().messagesReceivedToday});
        });
        g_systemLog.clear();
        service.resetDailyCounters();
        QCOMPARE(seen.mid(0, 2), (QList<QPair<qint64, qint64>>{{0, 1}, {0, 0}}));
        QCOMPARE(diagnosticsOf(service), (QList<QPair<LogLevel, QString>>{{LogLevel::info, QStringLiteral("Daily counters reset")}}));
        QCOMPARE(g_systemLog.size(), 1);
        QCOMPARE(g_systemLog.first().category, QStringLiteral("com.velto.relay.RelayStatus"));
        QCOMPARE(g_systemLog.first().text, QStringLiteral("Daily message counters reset"));
        QCOMPARE(int(g_systemLog.first().type), int(QtInfoMsg));
    }

    void updatePermissionsPersists()
    {
        QVERIFY(Configuration::ensureConfigDir().ok());
        QFile::remove(Configuration::permissionCacheFile());
        PermissionSnapshot snapshot = PermissionSnapshot::empty();
        snapshot.fullDisk = {PermissionState::granted, std::nullopt, QDateTime::currentDateTimeUtc()};
        snapshot.contacts = {PermissionState::denied, QStringLiteral("Contacts access denied. Grant access in System Settings."),
                             QDateTime::currentDateTimeUtc()};

        RelayStatusService service;
        service.updatePermissions(snapshot);
        QCOMPARE(service.state().permissions, std::optional<PermissionSnapshot>(snapshot));
        service.waitForPendingWrites();

        QFile file(Configuration::permissionCacheFile());
        QVERIFY(file.open(QIODevice::ReadOnly));
        const auto stored = CodablePermissionSnapshot::fromJson(file.readAll());
        QVERIFY(stored);
        QCOMPARE(*stored, CodablePermissionSnapshot::from(snapshot));

        // A later start-up reads it back.
        RelayStatusService next;
        QVERIFY(initialize(next));
        QVERIFY(next.state().permissions);
        QCOMPARE(next.state().permissions->contacts.state, PermissionState::denied);
        QCOMPARE(next.state().permissions->contacts.detail, snapshot.contacts.detail);
        QCOMPARE(next.state().permissions->fullDisk.state, PermissionState::granted);
    }

    // ---- log buffer ----

    void logBufferKeepsNewest500()
    {
        LogBufferService buffer;
        QList<QUuid> seen;
        buffer.onNewEntry = [&](const LogEntry& e) { seen.append(e.id); };
        QList<QUuid> appended;
        for (int i = 0; i < 501; ++i) {
            const LogEntry entry = LogEntry::make(LogLevel::info, QStringLiteral("line %1").arg(i));
            appended.append(entry.id);
            buffer.append(entry);
        }
        QCOMPARE(buffer.entries().size(), 500);
        QCOMPARE(buffer.entries().first().message, QStringLiteral("line 1"));
        QCOMPARE(buffer.entries().last().message, QStringLiteral("line 500"));
        // The callback saw every entry once, in order, including the one that pushed out the first.
        QCOMPARE(seen, appended);
        QCOMPARE(g_systemLog.size(), 501);
    }

    void clearLeavesOneEntry()
    {
        LogBufferService buffer;
        buffer.append(LogLevel::error, QStringLiteral("boom"), QStringLiteral("mac-relay"));
        buffer.append(LogLevel::warn, QStringLiteral("hmm"));
        QSignalSpy appended(&buffer, &LogBufferService::entryAppended);
        buffer.clear();
        QCOMPARE(buffer.entries().size(), 1);
        const LogEntry& e = buffer.entries().first();
        QCOMPARE(e.level, LogLevel::info);
        QCOMPARE(e.message, QStringLiteral("Logs cleared"));
        QCOMPARE(e.source, std::optional<QString>(QStringLiteral("main")));
        QVERIFY(e.context.isEmpty());
        QCOMPARE(appended.size(), 1);
    }

    void destroyEmptiesSilently()
    {
        LogBufferService buffer;
        int calls = 0;
        buffer.onNewEntry = [&](const LogEntry&) { ++calls; };
        buffer.append(LogLevel::info, QStringLiteral("before"));
        buffer.destroy();
        QVERIFY(buffer.entries().isEmpty());
        QVERIFY(!buffer.onNewEntry);
        buffer.append(LogLevel::info, QStringLiteral("after"));
        QCOMPARE(calls, 1);
        QCOMPARE(buffer.entries().size(), 1);
    }

    void stats()
    {
        LogBufferService buffer;
        const QList<LogLevel> levels{LogLevel::info,  LogLevel::info, LogLevel::warn,  LogLevel::error,
                                     LogLevel::fatal, LogLevel::debug, LogLevel::trace, LogLevel::trace};
        for (LogLevel level : levels)
            buffer.append(level, QStringLiteral("x"));
        // total, error+fatal, warn, info, debug; trace only in the total.
        QCOMPARE(buffer.getStats(), (LogBufferService::Stats{8, 2, 1, 2, 1}));
        buffer.clear();
        QCOMPARE(buffer.getStats(), (LogBufferService::Stats{1, 0, 0, 1, 0}));
    }

    void mirroring_data()
    {
        QTest::addColumn<LogLevel>("level");
        QTest::addColumn<QString>("source"); // null: no source
        QTest::addColumn<QString>("context");
        QTest::addColumn<bool>("showPrivate");
        QTest::addColumn<int>("type");
        QTest::addColumn<QString>("line");

        QTest::newRow("info redacted") << LogLevel::info << QStringLiteral("main") << QString() << false
                                       << int(QtInfoMsg) << QStringLiteral("<private>");
        QTest::newRow("info shown") << LogLevel::info << QStringLiteral("main") << QString() << true << int(QtInfoMsg)
                                    << QStringLiteral("[main] Relay started");
        QTest::newRow("no source reads app") << LogLevel::info << QString() << QString() << true << int(QtInfoMsg)
                                             << QStringLiteral("[app] Relay started");
        QTest::newRow("warn as error") << LogLevel::warn << QStringLiteral("mac-relay") << QString() << true
                                       << int(QtCriticalMsg) << QStringLiteral("[mac-relay] Relay started");
        QTest::newRow("error") << LogLevel::error << QStringLiteral("main") << QString() << true << int(QtCriticalMsg)
                               << QStringLiteral("[main] Relay started");
        QTest::newRow("fatal as error") << LogLevel::fatal << QStringLiteral("main") << QString() << true
                                        << int(QtCriticalMsg) << QStringLiteral("[main] Relay started");
        QTest::newRow("debug") << LogLevel::debug << QStringLiteral("main") << QString() << true << int(QtDebugMsg)
                               << QStringLiteral("[main] Relay started");
        QTest::newRow("trace as debug") << LogLevel::trace << QStringLiteral("main") << QString() << true
                                        << int(QtDebugMsg) << QStringLiteral("[main] Relay started");
        QTest::newRow("context sorted") << LogLevel::info << QStringLiteral("mac-relay")
                                        << QStringLiteral("zeta=last;alpha=first \"q\"") << true << int(QtInfoMsg)
                                        << QStringLiteral("[mac-relay] Relay started {\"alpha\":\"first \\\"q\\\"\",\"zeta\":\"last\"}");
        QTest::newRow("context redacted") << LogLevel::debug << QStringLiteral("mac-relay")
                                          << QStringLiteral("tag=other;guid=abc") << false << int(QtDebugMsg)
                                          << QStringLiteral("<private>");
        QTest::newRow("dupe-images public") << LogLevel::debug << QStringLiteral("mac-relay")
                                            << QStringLiteral("tag=dupe-images;guid=abc") << false << int(QtDebugMsg)
                                            << QStringLiteral(R"([mac-relay] Relay started {"guid":"abc","tag":"dupe-images"})");
    }

    void mirroring()
    {
        QFETCH(LogLevel, level);
        QFETCH(QString, source);
        QFETCH(QString, context);
        QFETCH(bool, showPrivate);
        QFETCH(int, type);
        QFETCH(QString, line);
        if (showPrivate)
            qputenv("VELTO_LOG_PRIVATE", "1");

        LogBufferService buffer;
        buffer.append(LogEntry::make(level, QStringLiteral("Relay started"),
                                     source.isNull() ? std::nullopt : std::optional<QString>(source), contextOf(context)));
        QCOMPARE(g_systemLog.size(), 1);
        QCOMPARE(g_systemLog.first().category, QStringLiteral("com.velto.relay.LogBuffer"));
        QCOMPARE(int(g_systemLog.first().type), type);
        QCOMPARE(g_systemLog.first().text, line);
        // The in-app copy is never redacted.
        QCOMPARE(buffer.entries().first().message, QStringLiteral("Relay started"));
    }
};

QTEST_GUILESS_MAIN(TestRelayStatus)
#include "tst_relaystatus.moc"
