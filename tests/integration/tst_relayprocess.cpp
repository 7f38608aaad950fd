// The velto executable as a real process: `velto register` against the reference server, then
// `velto --headless` starts by itself, forwards rows written to a simulated Messages database,
// loses nothing when killed outright mid-burst, and shuts down cleanly on SIGTERM.
#include "messagessimulator.h"
#include "configuration.h"
#include "relayserverharness.h"
#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTest>

#include <csignal>
#include <sys/stat.h>

using namespace velto;

class TestRelayProcess : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_home.isValid());
        m_sim = std::make_unique<sim::MessagesSimulator>(m_home.path());
        QVERIFY(m_sim->init().ok());
        sim::FillOptions fill = sim::FillOptions::preset(QStringLiteral("small")).value();
        fill.messages = 50;
        QVERIFY(m_sim->fill(fill).ok());
        QVERIFY2(m_server.start({QStringLiteral("--ping-interval-ms"), QStringLiteral("0")}),
                 qPrintable(m_server.errorString()));
    }

    // Registration comes first: every later case runs the relay it set up.
    void registerFromTheCommandLine_data()
    {
        QTest::addColumn<QString>("token");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("output");
        QTest::newRow("malformed") << QStringLiteral("hello") << 1 << QStringLiteral("Token must start with 'velt_' prefix.");
        QTest::newRow("unknown") << QStringLiteral("velt_AAAAAAAAAAAA_BBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBB") << 1
                                 << QStringLiteral("Token not found or already used. Try connecting again from the dashboard.");
        QTest::newRow("expired") << QStringLiteral("expired") << 1
                                 << QStringLiteral("This token has expired. Please generate a new one from the dashboard.");
        QTest::newRow("valid") << QStringLiteral("fresh") << 0 << QStringLiteral("Registered as relay");
        QTest::newRow("reused") << QStringLiteral("reused") << 1
                                << QStringLiteral("This token has been fully used. Generate a new one.");
    }

    void registerFromTheCommandLine()
    {
        QFETCH(QString, token);
        QFETCH(int, exitCode);
        QFETCH(QString, output);
        if (token == QLatin1String("expired")) {
            token = m_server.issueRegistrationToken(1);
            QTest::qWait(1500);
        } else if (token == QLatin1String("fresh")) {
            token = m_server.issueRegistrationToken();
            m_usedToken = token;
        } else if (token == QLatin1String("reused")) {
            token = m_usedToken;
        }
        QVERIFY(!token.isEmpty());
        QProcess velto;
        velto.start(QDir(test::binDir()).filePath(QStringLiteral("velto")),
                    {QStringLiteral("register"), QStringLiteral("--token"), token, QStringLiteral("--server"),
                     m_server.wsUrl().toString()});
        QVERIFY(velto.waitForFinished(30000));
        const QString printed = QString::fromUtf8(velto.readAllStandardOutput() + velto.readAllStandardError());
        QCOMPARE(velto.exitCode(), exitCode);
        QVERIFY2(printed.contains(output), qPrintable(printed));
        if (exitCode == 0) {
            struct stat info {};
            QCOMPARE(::stat(QFile::encodeName(Configuration::relayAuthFile()).constData(), &info), 0);
            QCOMPARE(int(info.st_mode & 0777), 0600);

            QVERIFY(QFile::exists(Configuration::wizardStateFile()));
        }
    }

    // With auto-start disabled, start-up completes and the relay stays stopped.
    void autoStartCanBeDisabled()
    {
        qputenv("DISABLE_AUTO_START", "true");
        const bool started = startRelay();
        qunsetenv("DISABLE_AUTO_START");
        QVERIFY(started);
        QTRY_VERIFY_WITH_TIMEOUT(m_output.contains("Startup complete"), 15000);
        QTest::qWait(500);
        QVERIFY(!m_output.contains("Starting relay runtime"));
        QVERIFY(m_server.relays().isEmpty());
    }

    void cleanup() { stopRelay(SIGTERM); }

    // Killed with SIGKILL after row 200 of 500 and started again after row 350: every row of the
    // burst reaches the server (some may arrive twice, none may be missing).
    void killedMidBurstLosesNothing()
    {
        QVERIFY(startRelay());
        const qint64 since = m_server.lastSeq();
        // The watcher has started once the relay is authenticated and has logged it.
        QTRY_VERIFY_WITH_TIMEOUT(m_output.contains("Message watcher started from ROWID"), 15000);

        const QStringList senders{QStringLiteral("+14155550111"), QStringLiteral("+14155550112"),
                                  QStringLiteral("kill@example.com")};
        QStringList guids;
        for (int i = 0; i < 500; ++i) {
            if (i == 200)
                stopRelay(SIGKILL);
            if (i == 350)
                QVERIFY(startRelay());
            auto row = m_sim->addIncoming({senders.at(i % senders.size()), QStringLiteral("kill %1").arg(i), {}, {}, {}, {}, {}});
            QVERIFY(row.ok());
            guids << row->guid;
            QTest::qWait(i % 10 == 0 ? 10 : 0);
        }

        QHash<QString, int> seen;
        auto allArrived = [&] {
            seen.clear();
            for (const QJsonObject& e : m_server.events(since)) {
                const QJsonObject m = e.value(QLatin1String("message")).toObject();
                if (m.value(QLatin1String("type")).toString() == QLatin1String("MESSAGE_RECEIVED"))
                    ++seen[m.value(QLatin1String("guid")).toString()];
            }
            return std::all_of(guids.begin(), guids.end(), [&](const QString& g) { return seen.contains(g); });
        };
        QTRY_VERIFY_WITH_TIMEOUT(allArrived(), 90000);
        int duplicates = 0;
        for (const QString& g : guids)
            duplicates += seen.value(g) - 1;
        qInfo("SIGKILL burst: %lld rows, all arrived, %d sent twice", qlonglong(guids.size()), duplicates);
    }

    // A registration link given to a second process reaches the running one, which (being set up
    // already) asks for the switch to be confirmed; the answer reaches it the same way.
    void linkHandedToRunningInstance()
    {
        QVERIFY(startRelay());
        QTRY_VERIFY_WITH_TIMEOUT(m_output.contains("Startup complete"), 15000);
        auto velto = [](const QStringList& arguments) {
            QProcess p;
            p.start(QDir(test::binDir()).filePath(QStringLiteral("velto")), arguments);
            p.waitForFinished(10000);
            return std::make_pair(p.exitCode(), QString::fromUtf8(p.readAllStandardOutput() + p.readAllStandardError()));
        };
        const auto handed = velto({QStringLiteral("velto://register?token=velt_AAAAAAAAAAAA_CCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCC")});
        QCOMPARE(handed.first, 0);
        QVERIFY2(handed.second.contains(QLatin1String("handed to the running velto")), qPrintable(handed.second));
        QTRY_VERIFY(m_output.contains("A registration link arrived while this Mac is already a relay"));
        QTRY_VERIFY(QFile::exists(Configuration::pendingRegistrationFile()));
        QCOMPARE(velto({QStringLiteral("--cancel-switch")}).first, 0);
        QTRY_VERIFY(!QFile::exists(Configuration::pendingRegistrationFile()));
        // Not a registration link: refused without bothering the running relay.
        QCOMPARE(velto({QStringLiteral("velto://other?token=x")}).first, 2);
    }

    // SIGTERM ends the process cleanly, with "Shutdown complete" as its last line.
    void terminatesCleanly()
    {
        QVERIFY(startRelay());
        QTRY_VERIFY_WITH_TIMEOUT(m_output.contains("Message watcher started from ROWID"), 15000);
        ::kill(pid_t(m_relay->processId()), SIGTERM);
        QVERIFY(m_relay->waitForFinished(10000));
        m_output += m_relay->readAllStandardOutput();
        QCOMPARE(m_relay->exitStatus(), QProcess::NormalExit);
        QCOMPARE(m_relay->exitCode(), 0);
        const QList<QByteArray> lines = m_output.trimmed().split('\n');
        QVERIFY2(lines.last().endsWith("Shutdown complete"), lines.last().constData());
        m_relay.reset();
    }

private:
    bool startRelay()
    {
        m_relay = std::make_unique<QProcess>();
        m_output.clear();
        m_relay->setProgram(QDir(test::binDir()).filePath(QStringLiteral("velto")));
        m_relay->setArguments({QStringLiteral("--headless")});
        m_relay->setProcessChannelMode(QProcess::SeparateChannels);
        m_relay->setStandardErrorFile(QProcess::nullDevice());
        connect(m_relay.get(), &QProcess::readyReadStandardOutput, this,
                [this, p = m_relay.get()] { m_output += p->readAllStandardOutput(); });
        m_relay->start(); // VELTO_HOME is inherited from the temporary home
        return m_relay->waitForStarted(5000);
    }

    void stopRelay(int signal)
    {
        if (!m_relay || m_relay->state() == QProcess::NotRunning)
            return;
        ::kill(pid_t(m_relay->processId()), signal);
        if (!m_relay->waitForFinished(10000))
            m_relay->kill();
        m_relay->waitForFinished(2000);
    }

    test::TemporaryHome m_home;
    std::unique_ptr<sim::MessagesSimulator> m_sim;
    RelayServerHarness m_server;
    std::unique_ptr<QProcess> m_relay;
    QByteArray m_output;
    QString m_usedToken;
};

QTEST_GUILESS_MAIN(TestRelayProcess)
#include "tst_relayprocess.moc"
