#include "accountdetectorservice.h"
#include "awaittask.h"
#include "messagessimulator.h"
#include "processrunner.h"
#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QSet>
#include <QTest>

#include <QCoroTask>

using namespace velto;

namespace {

using Accounts = AccountDetectorService::Accounts;

using velto::test::await;

QStringList described(const Accounts& accounts)
{
    QStringList out;
    for (const ManualAccount& account : accounts)
        out.append(toString(account.type) + u':' + account.value);
    return out;
}

} // namespace

class TestAccountDetector : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<test::TemporaryHome> m_home;

    QString databasePath() const { return sim::MessagesSimulator::databasePath(m_home->path()); }

    // Runs SQL on the test database with the real shell.
    static bool runSql(const QString& database, const QString& sql)
    {
        const ProcessResult result = QCoro::waitFor(
            runProcess(AccountDetectorService::sqlite3Path, {database, sql}, {}, std::chrono::seconds(30)));
        if (!result.succeeded())
            qWarning() << result.errorText << result.standardError;
        return result.succeeded();
    }

private Q_SLOTS:
    void init() { m_home = std::make_unique<test::TemporaryHome>(); }
    void cleanup() { m_home.reset(); }

    void chatDatabaseRouteReportsTheOwnersAddresses()
    {
        if (!QFile::exists(AccountDetectorService::sqlite3Path))
            QSKIP("the sqlite3 shell is not installed");
        sim::MessagesSimulator simulator(m_home->path());
        QVERIFY(simulator.init().ok());
        sim::FillOptions options;
        options.messages = 300;
        QVERIFY(simulator.fill(options).ok());
        QVERIFY(simulator.addOutgoing({QStringLiteral("+14155550123"), {}, QStringLiteral("by SMS"), {},
                                       QStringLiteral("SMS")}).ok());
        QVERIFY(simulator.addOutgoing({QStringLiteral("friend@example.net"), {}, QStringLiteral("by iMessage"), {},
                                       QStringLiteral("iMessage")}).ok());
        simulator.close();

        const auto detected = await(AccountDetectorService::detectAccounts());
        QVERIFY2(detected.ok(), detected.ok() ? "" : qPrintable(detected.error().description()));
        const QStringList found = described(*detected);
        QCOMPARE(QSet<QString>(found.cbegin(), found.cend()),
                 (QSet<QString>{QStringLiteral("phone:+14155550100"), QStringLiteral("email:owner@example.com")}));
        QCOMPARE(found.size(), 2);
        QVERIFY(!detected->at(0).id.isNull());
        QVERIFY(detected->at(0).id != detected->at(1).id);
    }

    void linesThatAreNoAddressesAreDropped()
    {
        if (!QFile::exists(AccountDetectorService::sqlite3Path))
            QSKIP("the sqlite3 shell is not installed");
        sim::MessagesSimulator simulator(m_home->path());
        QVERIFY(simulator.init().ok());
        simulator.close();
        // Newest first: the query orders by date.
        const QString rows = QStringLiteral(
            "INSERT INTO message (guid, is_from_me, date, destination_caller_id) VALUES "
            "('g1', 1, 9, '(555) 010-0100'), "
            "('g2', 1, 8, '0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0'), "
            "('g3', 1, 7, '  Lower@Example.org  '), "
            "('g4', 1, 6, '+1 (555) 010-0100'), "
            "('g5', 1, 5, '0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0@x'), "
            "('g6', 0, 4, '+15550000000'), "
            "('g7', 1, 3, ''), "
            "('g8', 1, 2, 'e:someone'), "
            "('g9', 1, 1, NULL);");
        QVERIFY(runSql(databasePath(), rows));

        const auto detected = await(AccountDetectorService::detectViaChatDb());
        QVERIFY(detected.ok());
        QCOMPARE(described(*detected),
                 (QStringList{QStringLiteral("email:Lower@Example.org"), QStringLiteral("phone:+1 (555) 010-0100"),
                              QStringLiteral("email:0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0@x")}));
    }

    void missingDatabaseIsNotFound()
    {
        const auto detected = await(AccountDetectorService::detectAccounts());
        QVERIFY(!detected.ok());
        QCOMPARE(detected.error(), AccountDetectorError::databaseNotFound());
        QCOMPARE(detected.error().description(), QStringLiteral("Messages database not found"));
    }

    void shellFailuresAreQueryFailures_data()
    {
        QTest::addColumn<QByteArray>("content"); // empty: a database without the column
        QTest::addColumn<QString>("errorPart");
        QTest::newRow("not a database") << QByteArray(4096, 'x') << QStringLiteral("file is not a database");
        QTest::newRow("layout without the column") << QByteArray() << QStringLiteral("destination_caller_id");
    }

    void shellFailuresAreQueryFailures()
    {
        QFETCH(QByteArray, content);
        QFETCH(QString, errorPart);
        if (!QFile::exists(AccountDetectorService::sqlite3Path))
            QSKIP("the sqlite3 shell is not installed");
        if (content.isEmpty()) {
            sim::MessagesSimulator simulator(m_home->path());
            QVERIFY(simulator.init(sim::SchemaVersion::Legacy).ok());
        } else {
            QVERIFY(QDir().mkpath(QFileInfo(databasePath()).absolutePath()));
            QFile file(databasePath());
            QVERIFY(file.open(QIODevice::WriteOnly));
            QCOMPARE(file.write(content), content.size());
        }
        const auto detected = await(AccountDetectorService::detectAccounts());
        QVERIFY(!detected.ok());
        QCOMPARE(detected.error().kind(), AccountDetectorError::Kind::queryFailed);
        QVERIFY2(detected.error().description().startsWith(QStringLiteral("Database query failed: ")),
                 qPrintable(detected.error().description()));
        QVERIFY2(detected.error().description().contains(errorPart), qPrintable(detected.error().description()));
    }

    void shellOutcomes_data()
    {
        QTest::addColumn<int>("outcome");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QByteArray>("standardOutput");
        QTest::addColumn<QByteArray>("standardError");
        QTest::addColumn<QString>("errorText");
        QTest::addColumn<QString>("expected"); // "ok:" + output, or the error's description

        using O = ProcessResult::Outcome;
        QTest::newRow("output") << int(O::finished) << 0 << QByteArray("a\nb\n") << QByteArray("ignored") << QString()
                                << QStringLiteral("ok:a\nb\n");
        QTest::newRow("output that is no UTF-8 counts as empty")
            << int(O::finished) << 0 << QByteArray("+1\xff\xfe") << QByteArray() << QString() << QStringLiteral("ok:");
        QTest::newRow("operation not permitted, any capitalisation")
            << int(O::finished) << 1 << QByteArray()
            << QByteArray("Error: unable to open database \"chat.db\": Operation NOT Permitted\n") << QString()
            << QStringLiteral("Full Disk Access required to read Messages database. Grant access in System Settings > "
                              "Privacy & Security > Full Disk Access.");
        QTest::newRow("other failing exit") << int(O::finished) << 1 << QByteArray("partial")
                                            << QByteArray("Error: in prepare, no such table: message\n") << QString()
                                            << QStringLiteral("Database query failed: Error: in prepare, no such table: message");
        QTest::newRow("could not launch") << int(O::failedToStart) << -1 << QByteArray() << QByteArray()
                                          << QStringLiteral("execve: No such file or directory")
                                          << QStringLiteral("execve: No such file or directory");
        QTest::newRow("never finished") << int(O::timedOut) << -1 << QByteArray() << QByteArray()
                                        << QStringLiteral("Timed out after 30000 ms")
                                        << QStringLiteral("Database query failed: Timed out after 30000 ms");
        QTest::newRow("crashed without a word") << int(O::crashed) << 0 << QByteArray() << QByteArray()
                                                << QStringLiteral("Process crashed")
                                                << QStringLiteral("Database query failed: Process crashed");
    }

    void shellOutcomes()
    {
        QFETCH(int, outcome);
        QFETCH(int, exitCode);
        QFETCH(QByteArray, standardOutput);
        QFETCH(QByteArray, standardError);
        QFETCH(QString, errorText);
        QFETCH(QString, expected);
        ProcessResult result;
        result.outcome = ProcessResult::Outcome(outcome);
        result.exitCode = exitCode;
        result.standardOutput = standardOutput;
        result.standardError = standardError;
        result.errorText = errorText;
        const auto interpreted = AccountDetectorService::interpretSqlite3Result(result);
        QCOMPARE(interpreted.ok() ? QStringLiteral("ok:") + interpreted.value() : interpreted.error().description(),
                 expected);
    }

    void aliases_data()
    {
        QTest::addColumn<QStringList>("aliases");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("both prefixes") << QStringList{QStringLiteral("e:me@example.com"), QStringLiteral("tel:+14155550100")}
                                       << QStringList{QStringLiteral("email:me@example.com"),
                                                      QStringLiteral("phone:+14155550100")};
        QTest::newRow("bare prefixes and unknown forms skipped")
            << QStringList{QStringLiteral("tel:"), QStringLiteral("e:"), QStringLiteral("mailto:a@b"),
                           QStringLiteral("+14155550100"), QStringLiteral("E:upper@example.com")}
            << QStringList();
    }

    void aliases()
    {
        QFETCH(QStringList, aliases);
        QFETCH(QStringList, expected);
        QCOMPARE(described(AccountDetectorService::accountsFromAliases(aliases)), expected);
    }

    void frameworkRouteIsUnavailableHere()
    {
        const auto viaFramework = AccountDetectorService::detectViaIMCore();
        QVERIFY(!viaFramework.ok());
        QCOMPARE(viaFramework.error().description(), QStringLiteral("IMCore framework not available"));
    }
};

QTEST_GUILESS_MAIN(TestAccountDetector)
#include "tst_accountdetector.moc"
