// `velto --headless` as a real process: it forwards rows written to a simulated Messages database,
// and a relay killed outright mid-burst loses nothing once it is started again.
#include "messagessimulator.h"
#include "relaycredentials.h"
#include "relayserverharness.h"
#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTest>

#include <csignal>

using namespace velto;

namespace {
const QString kKey = QStringLiteral("process-test-key");
}

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
        QVERIFY2(m_server.start({QStringLiteral("--api-key"), kKey, QStringLiteral("--ping-interval-ms"), QStringLiteral("0")}),
                 qPrintable(m_server.errorString()));
        RelayCredentials credentials;
        credentials.relayId = QStringLiteral("process-relay");
        credentials.tenantId = QStringLiteral("tenant-dev");
        credentials.apiKey = kKey;
        credentials.backendUrl = m_server.wsUrl().toString();
        QVERIFY(credentials.save().ok());
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
};

QTEST_GUILESS_MAIN(TestRelayProcess)
#include "tst_relayprocess.moc"
