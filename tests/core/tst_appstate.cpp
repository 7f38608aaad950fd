// The application state: start-up decisions, pending registrations, relay switches, registration
// through the real reference server, the midnight schedule and the set-up reset.
#include "appstate.h"
#include "awaittask.h"
#include "configuration.h"
#include "logbufferservice.h"
#include "messagessimulator.h"
#include "persistedwizardstate.h"
#include "relaycredentials.h"
#include "relaymanager.h"
#include "relayserverharness.h"
#include "relaystatusservice.h"
#include "testsupport.h"

#include <QCoroTask>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>
#include <QTimeZone>
#include <QUrl>

using namespace velto;
using velto::test::await;

namespace {

bool writePending(const QString& token, const QDateTime& receivedAt)
{
    if (!Configuration::ensureConfigDir())
        return false;
    QFile file(Configuration::pendingRegistrationFile());
    if (!file.open(QIODevice::WriteOnly))
        return false;
    const QJsonObject record{{QStringLiteral("token"), token},
                             {QStringLiteral("receivedAt"), receivedAt.toUTC().toString(Qt::ISODate)}};
    return file.write(QJsonDocument(record).toJson()) > 0;
}

bool logged(const LogBufferService& buffer, const QString& text)
{
    for (const LogEntry& entry : buffer.entries()) {
        if (entry.message == text)
            return true;
    }
    return false;
}

} // namespace

class TestAppState : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_home.isValid());
        sim::MessagesSimulator simulator(m_home.path());
        QVERIFY(simulator.init().ok());
        QVERIFY2(m_server.start(), qPrintable(m_server.errorString()));
    }

    void init()
    {
        QDir(Configuration::configDir()).removeRecursively();
        qunsetenv("DISABLE_AUTO_START");
    }

    void registrationLinks_data()
    {
        QTest::addColumn<QString>("url");
        QTest::addColumn<QString>("token");
        QTest::newRow("link") << QStringLiteral("velto://register?token=velt_abc_def") << QStringLiteral("velt_abc_def");
        QTest::newRow("first token item wins") << QStringLiteral("velto://register?x=1&token=a&token=b") << QStringLiteral("a");
        QTest::newRow("escaped") << QStringLiteral("velto://register?token=a%2Bb") << QStringLiteral("a+b");
        QTest::newRow("empty token") << QStringLiteral("velto://register?token=") << QString();
        QTest::newRow("other host") << QStringLiteral("velto://connect?token=abc") << QString();
        QTest::newRow("other scheme") << QStringLiteral("https://register?token=abc") << QString();
        QTest::newRow("no token") << QStringLiteral("velto://register?name=abc") << QString();
    }

    void registrationLinks()
    {
        QFETCH(QString, url);
        QFETCH(QString, token);
        QCOMPARE(AppState::registrationToken(QUrl(url)).value_or(QString()), token);
    }

    void nextMidnight_data()
    {
        QTest::addColumn<QDateTime>("now");
        QTest::addColumn<QDateTime>("expected");
        const QTimeZone paris("Europe/Paris");
        QTest::newRow("half a minute before") << QDateTime(QDate(2026, 3, 10), QTime(23, 59, 30), paris)
                                              << QDateTime(QDate(2026, 3, 11), QTime(0, 0), paris);
        QTest::newRow("just after midnight") << QDateTime(QDate(2026, 3, 10), QTime(0, 0, 1), paris)
                                             << QDateTime(QDate(2026, 3, 11), QTime(0, 0), paris);
        QTest::newRow("end of year") << QDateTime(QDate(2026, 12, 31), QTime(12, 0), paris)
                                     << QDateTime(QDate(2027, 1, 1), QTime(0, 0), paris);
        // Clocks went from 00:00 straight to 01:00 there that night.
        const QTimeZone saoPaulo("America/Sao_Paulo");
        QTest::newRow("midnight missing") << QDateTime(QDate(2018, 11, 3), QTime(23, 59, 30), saoPaulo)
                                          << QDateTime(QDate(2018, 11, 4), QTime(1, 0), saoPaulo);
    }

    void nextMidnight()
    {
        QFETCH(QDateTime, now);
        QFETCH(QDateTime, expected);
        const auto due = AppState::nextMidnight(now);
        QVERIFY(due.has_value());
        QCOMPARE(due->toMSecsSinceEpoch(), expected.toMSecsSinceEpoch());
    }

    void midnightScheduledFromNow()
    {
        AppState state;
        await(state.initialize());
        QVERIFY(state.midnightResetDue().has_value());
        const qint64 seconds = QDateTime::currentDateTime().secsTo(*state.midnightResetDue());
        QVERIFY(seconds > 0 && seconds <= 25 * 3600);
        QCOMPARE(state.midnightResetDue()->time(), QTime(0, 0));
    }

    // Set up and auto-start disabled: start-up completes, nothing starts, midnight is scheduled.
    void autoStartDisabled()
    {
        setUpAsRelay();
        qputenv("DISABLE_AUTO_START", "true");
        AppState state;
        await(state.initialize());
        QVERIFY(state.wizardComplete());
        QVERIFY(!state.isCheckingWizard());
        QVERIFY(logged(state.logBuffer(), QStringLiteral("Startup complete")));
        QVERIFY(state.relayManager()->runtime() == nullptr);
        QVERIFY(state.midnightResetDue().has_value());
        QCOMPARE(state.statusService().state().connectionStage, ConnectionStage::ready);
    }

    // Set up and auto-start on: the relay starts and connects by itself.
    void autoStartConnects()
    {
        setUpAsRelay();
        AppState state;
        await(state.initialize());
        QVERIFY(state.relayManager()->runtime() != nullptr);
        QTRY_COMPARE_WITH_TIMEOUT(state.statusService().state().connectionStage, ConnectionStage::connected, 10000);
        await(state.shutdown());
        QVERIFY(state.relayManager()->runtime() == nullptr);
        QVERIFY(!state.midnightResetDue().has_value());
    }

    void pendingRegistrationAtStartUp_data()
    {
        QTest::addColumn<int>("ageMinutes");
        QTest::addColumn<bool>("setUp");
        QTest::addColumn<bool>("kept");
        QTest::addColumn<bool>("confirm");
        QTest::newRow("stale, 26 minutes") << 26 << true << false << false;
        QTest::newRow("fresh, set up") << 10 << true << true << true;
        QTest::newRow("fresh, not set up") << 10 << false << true << false;
    }

    void pendingRegistrationAtStartUp()
    {
        QFETCH(int, ageMinutes);
        QFETCH(bool, setUp);
        QFETCH(bool, kept);
        QFETCH(bool, confirm);
        if (setUp)
            setUpAsRelay();
        qputenv("DISABLE_AUTO_START", "true");
        QVERIFY(writePending(QStringLiteral("velt_pending_token"), QDateTime::currentDateTimeUtc().addSecs(-60 * ageMinutes)));
        AppState state;
        await(state.initialize());
        QCOMPARE(state.pendingRegistrationToken().has_value(), kept);
        QCOMPARE(QFile::exists(Configuration::pendingRegistrationFile()), kept);
        QCOMPARE(state.showRelaySwitchConfirm(), confirm);
    }

    void unreadablePendingRegistrationIsRemoved()
    {
        QVERIFY(Configuration::ensureConfigDir());
        QFile file(Configuration::pendingRegistrationFile());
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("{not json");
        file.close();
        AppState state;
        await(state.initialize());
        QVERIFY(!state.pendingRegistrationToken().has_value());
        QVERIFY(!QFile::exists(Configuration::pendingRegistrationFile()));
        QVERIFY(logged(state.logBuffer(), QStringLiteral("Startup complete")));
    }

    // A second token while set up: the switch is offered, the newer token waits, the file holds it.
    void tokensWhileSetUp()
    {
        setUpAsRelay();
        qputenv("DISABLE_AUTO_START", "true");
        AppState state;
        await(state.initialize());
        state.handleRegistrationToken(QStringLiteral("velt_first_token"));
        state.handleRegistrationToken(QStringLiteral("velt_second_token"));
        QVERIFY(state.showRelaySwitchConfirm());
        QCOMPARE(state.pendingRegistrationToken().value_or(QString()), QStringLiteral("velt_second_token"));
        QFile file(Configuration::pendingRegistrationFile());
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(QJsonDocument::fromJson(file.readAll()).object().value(QLatin1String("token")).toString(),
                 QStringLiteral("velt_second_token"));
        file.close();

        state.cancelRelaySwitch();
        QVERIFY(!state.showRelaySwitchConfirm());
        QVERIFY(!state.pendingRegistrationToken().has_value());
        QVERIFY(!QFile::exists(Configuration::pendingRegistrationFile()));
    }

    // A switch whose registration the server refuses leaves the relay stopped and says why.
    void failedSwitchLeavesRelayStopped()
    {
        setUpAsRelay();
        AppState state;
        await(state.initialize());
        QTRY_COMPARE_WITH_TIMEOUT(state.statusService().state().connectionStage, ConnectionStage::connected, 10000);
        state.handleRegistrationToken(QStringLiteral("velt_AAAAAAAAAAAA_DDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDD"));
        QVERIFY(state.showRelaySwitchConfirm());
        await(state.confirmRelaySwitch());
        const QString expected = QStringLiteral("Relay switch failed: Token not found or already used. "
                                                "Try connecting again from the dashboard.");
        QVERIFY(logged(state.logBuffer(), expected));
        const auto& diagnostics = state.statusService().state().diagnostics;
        QVERIFY(std::any_of(diagnostics.begin(), diagnostics.end(),
                            [&](const DiagnosticEntry& d) { return d.message == expected; }));
        QCOMPARE(state.statusService().state().connectionStage, ConnectionStage::idle);
        QVERIFY(!state.showRelaySwitchSuccess());
        await(state.shutdown());
    }

    // A switch with a good token re-registers and starts the relay again.
    void switchToNewToken()
    {
        setUpAsRelay();
        AppState state;
        await(state.initialize());
        QTRY_COMPARE_WITH_TIMEOUT(state.statusService().state().connectionStage, ConnectionStage::connected, 10000);
        const QString token = m_server.issueRegistrationToken();
        state.handleRegistrationToken(token);
        await(state.confirmRelaySwitch());
        QVERIFY(state.showRelaySwitchSuccess());
        QCOMPARE(PersistedWizardState::load().value_or(PersistedWizardState{}).token.value_or(QString()), token);
        QTRY_COMPARE_WITH_TIMEOUT(state.statusService().state().connectionStage, ConnectionStage::connected, 10000);
        await(state.shutdown());
    }

    void registrationWithoutServerUrl()
    {
        AppState state;
        const RegistrationResult result =
            await(state.registerRelay(QStringLiteral("velt_x"), QStringLiteral("Mac"), {}, false, QString()));
        QVERIFY(!result.success);
        QCOMPARE(result.error.value_or(QString()), QStringLiteral("API_SERVER_URL not configured"));
        QVERIFY(!QFile::exists(Configuration::relayAuthFile()));
    }

    // Registration records the set-up: credentials, the wizard state with what was acknowledged, ready.
    void registrationRecordsSetUp()
    {
        AppState state;
        QVERIFY(writePending(QStringLiteral("velt_waiting"), QDateTime::currentDateTimeUtc()));
        const QString token = m_server.issueRegistrationToken();
        const QList<ManualAccount> accounts{ManualAccount::create(AccountType::email, QStringLiteral("me@example.com"))};
        const RegistrationResult result =
            await(state.registerRelay(token, QStringLiteral("Kitchen Mac"), accounts, true, m_server.wsUrl().toString()));
        QVERIFY2(result.success, qPrintable(result.error.value_or(QString())));
        const auto wizard = PersistedWizardState::load();
        QVERIFY(wizard.has_value());
        QCOMPARE(wizard->token.value_or(QString()), token);
        QCOMPARE(wizard->relayName.value_or(QString()), QStringLiteral("Kitchen Mac"));
        QVERIFY(wizard->permissionsAcknowledged && wizard->permissionsAcknowledged->override);
        QVERIFY(wizard->permissionsAcknowledged->overrideTimestamp.has_value());
        QVERIFY(wizard->permissionsAcknowledged->lastCheckedStates.has_value());
        QCOMPARE(wizard->manualAccounts.value_or(QList<ManualAccount>{}), accounts);
        QVERIFY(!QFile::exists(Configuration::pendingRegistrationFile()));
        const RelayRuntimeState status = state.statusService().state();
        QCOMPARE(status.connectionStage, ConnectionStage::ready);
        QCOMPARE(status.manualAccounts.value_or(QStringList{}), QStringList{QStringLiteral("me@example.com")});
        QCOMPARE(status.backendUrl.value_or(QString()), m_server.wsUrl().toString());
        QVERIFY(logged(state.logBuffer(), QStringLiteral("Registration complete")));
    }

    void resetWipesConfiguration()
    {
        setUpAsRelay();
        AppState state;
        QVERIFY(state.clearWizardState().ok());
        QVERIFY(!QDir(Configuration::configDir()).exists());
        QVERIFY(logged(state.logBuffer(), QStringLiteral("All config files cleared")));
    }

private:
    // Credentials and a wizard state for the reference server, as a registration leaves them.
    void setUpAsRelay()
    {
        AppState registrar;
        const RegistrationResult result = await(registrar.registerRelay(
            m_server.issueRegistrationToken(), QStringLiteral("Test Mac"), {}, true, m_server.wsUrl().toString()));
        QVERIFY2(result.success, qPrintable(result.error.value_or(QString())));
    }

    test::TemporaryHome m_home;
    RelayServerHarness m_server;
};

QTEST_GUILESS_MAIN(TestAppState)
#include "tst_appstate.moc"
