// The velto-messages-sim program as the integration tests and the demo run it.

#include "readonlydb.h"
#include "testsupport.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QUuid>
#include <QtTest>

using velto::test::ReadOnlyDb;

namespace {

struct Run {
    int exitCode = -1;
    QString out;
    QString err;

    // The single JSON line a command prints.
    QJsonObject json() const
    {
        const QStringList lines = out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        return lines.size() == 1 ? QJsonDocument::fromJson(lines.first().toUtf8()).object() : QJsonObject();
    }
};

Run simulator(const QStringList &arguments, const QString &veltoHome = QString())
{
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    if (veltoHome.isEmpty())
        environment.remove(QStringLiteral("VELTO_HOME"));
    else
        environment.insert(QStringLiteral("VELTO_HOME"), veltoHome);
    process.setProcessEnvironment(environment);
    process.start(velto::test::binDir() + QStringLiteral("/velto-messages-sim"), arguments);
    Run run;
    if (!process.waitForFinished(60000))
        return run;
    run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.out = QString::fromUtf8(process.readAllStandardOutput());
    run.err = QString::fromUtf8(process.readAllStandardError());
    return run;
}

} // namespace

class TestMessagesSimCli : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void commandsPrintOneJsonLine()
    {
        const QString home = m_home.path() + QStringLiteral("/flow");
        const QString homeArg = QStringLiteral("--home=") + home;
        Run run = simulator({QStringLiteral("init"), homeArg});
        QCOMPARE(run.exitCode, 0);
        QCOMPARE(run.json().value(QStringLiteral("schema")).toString(), QStringLiteral("macos15"));

        run = simulator({QStringLiteral("fill"), homeArg, QStringLiteral("--messages=300"), QStringLiteral("--chats=5"),
                         QStringLiteral("--handles=8"), QStringLiteral("--seed=3")});
        QCOMPARE(run.exitCode, 0);
        QCOMPARE(run.json().value(QStringLiteral("messages")).toInt(), 300);
        QCOMPARE(run.json().value(QStringLiteral("chats")).toInt(), 5);

        run = simulator({QStringLiteral("add-incoming"), homeArg, QStringLiteral("--from=+12025550199"),
                         QStringLiteral("--text=Hello from the CLI")});
        QCOMPARE(run.exitCode, 0);
        const QJsonObject incoming = run.json();
        QCOMPARE(incoming.value(QStringLiteral("rowid")).toInteger(), 301);
        const QString guid = incoming.value(QStringLiteral("guid")).toString();
        QVERIFY(QUuid::fromString(guid).isNull() == false);

        run = simulator({QStringLiteral("add-tapback"), homeArg, QStringLiteral("--target=") + guid,
                         QStringLiteral("--type=2006"), QStringLiteral("--emoji=🔥"),
                         QStringLiteral("--from=+12025550199")});
        QCOMPARE(run.exitCode, 0);
        QCOMPARE(run.json().value(QStringLiteral("rowid")).toInteger(), 302);

        run = simulator({QStringLiteral("add-outgoing"), homeArg,
                         QStringLiteral("--chat=") + incoming.value(QStringLiteral("chatGuid")).toString(),
                         QStringLiteral("--text=Back at you")});
        QCOMPARE(run.exitCode, 0);
        QCOMPARE(run.json().value(QStringLiteral("chatId")), incoming.value(QStringLiteral("chatId")));

        // The home comes from VELTO_HOME when --home is not given.
        run = simulator({QStringLiteral("stream"), QStringLiteral("--rate=20"), QStringLiteral("--duration=0.25")}, home);
        QCOMPARE(run.exitCode, 0);
        QCOMPARE(run.json().value(QStringLiteral("rows")).toInt(), 5);
        QCOMPARE(run.json().value(QStringLiteral("lastRowid")).toInteger(), 308);

        ReadOnlyDb db(home + QStringLiteral("/Library/Messages/chat.db"));
        QCOMPARE(db.value(QStringLiteral("SELECT MAX(ROWID) FROM message")).toLongLong(), 308);
        QCOMPARE(db.value(QStringLiteral("SELECT associated_message_emoji FROM message WHERE ROWID = 302")).toString(),
                 QStringLiteral("🔥"));
        QCOMPARE(db.value(QStringLiteral("SELECT is_from_me FROM message WHERE ROWID = 303")).toInt(), 1);
    }

    void errorsExitNonZero_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("message");
        const QString missingHome = QStringLiteral("--home=/nonexistent/velto-sim-test");
        QTest::newRow("no command") << QStringList() << 2 << QString();
        QTest::newRow("unknown command") << QStringList{QStringLiteral("bogus")} << 2 << QStringLiteral("unknown command");
        QTest::newRow("unknown option") << QStringList{QStringLiteral("init"), QStringLiteral("--bogus")} << 2
                                        << QStringLiteral("bogus");
        QTest::newRow("unknown schema") << QStringList{QStringLiteral("init"), QStringLiteral("--schema=old")} << 2
                                        << QStringLiteral("unknown schema");
        QTest::newRow("unknown preset") << QStringList{QStringLiteral("fill"), QStringLiteral("--preset=huge")} << 2
                                        << QStringLiteral("unknown preset");
        QTest::newRow("count not a number") << QStringList{QStringLiteral("fill"), QStringLiteral("--messages=lots")} << 2
                                            << QStringLiteral("--messages");
        QTest::newRow("tapback type not a number")
            << QStringList{QStringLiteral("add-tapback"), QStringLiteral("--target=X"), QStringLiteral("--type=like")} << 2
            << QStringLiteral("--type");
        QTest::newRow("no home anywhere") << QStringList{QStringLiteral("init")} << 2 << QStringLiteral("VELTO_HOME");
        QTest::newRow("no database")
            << QStringList{QStringLiteral("add-incoming"), missingHome, QStringLiteral("--from=a@example.com"),
                           QStringLiteral("--text=x")}
            << 1 << QStringLiteral("No Messages database");
    }

    void errorsExitNonZero()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        QFETCH(QString, message);
        const bool noHome = QByteArray(QTest::currentDataTag()) == "no home anywhere";
        const Run run = simulator(arguments, noHome ? QString() : m_home.path() + QStringLiteral("/errors"));
        QCOMPARE(run.exitCode, exitCode);
        QVERIFY2(run.err.contains(message), qPrintable(run.err));
    }

private:
    velto::test::TemporaryHome m_home;
};

QTEST_GUILESS_MAIN(TestMessagesSimCli)
#include "tst_messagessimcli.moc"
