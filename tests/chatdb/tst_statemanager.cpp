#include "configuration.h"
#include "statemanager.h"
#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTest>

using namespace velto;

class TestStateManager : public QObject {
    Q_OBJECT

private:
    // Before anything asks for the configuration directory, which is fixed at first use.
    test::TemporaryHome m_home;

    static QString configDir() { return Configuration::configDir(); }

    static void writeFile(const QString& path, const QByteArray& content)
    {
        QVERIFY(QDir().mkpath(QFileInfo(path).absolutePath()));
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        QCOMPARE(file.write(content), content.size());
    }

    static QByteArray readFile(const QString& path)
    {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
    }

private Q_SLOTS:
    void init()
    {
        QVERIFY(m_home.isValid());
        QDir(configDir()).removeRecursively();
    }

    void pathsAreFixedInTheConfigDirectory()
    {
        StateManager state;
        QCOMPARE(state.stateFilePath(), QDir(configDir()).filePath(QStringLiteral("last-row-id.json")));
        QCOMPARE(state.tempFilePath(), QDir(configDir()).filePath(QStringLiteral("last-row-id.json.tmp")));
        QVERIFY(!QFileInfo::exists(configDir())); // construction touches no file
    }

    void load_data()
    {
        QTest::addColumn<bool>("present");
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<qint64>("expected");
        QTest::addColumn<int>("level");
        QTest::addColumn<QString>("log");

        const QString invalid = QStringLiteral("^Invalid lastRowId in state file\\. Starting from ROWID 0\\.$");
        const QString error = QStringLiteral("^Error loading state file: .+");
        QTest::newRow("no file") << false << QByteArray() << qint64(0) << int(QtInfoMsg)
                                 << QStringLiteral("^State file does not exist\\. Starting from ROWID 0\\.$");
        QTest::newRow("saved value") << true << QByteArray(R"({"lastRowId":48213})") << qint64(48213)
                                     << int(QtInfoMsg) << QStringLiteral("^Loaded last processed ROWID: 48213$");
        QTest::newRow("zero") << true << QByteArray(R"({"lastRowId":0})") << qint64(0) << int(QtInfoMsg)
                              << QStringLiteral("^Loaded last processed ROWID: 0$");
        QTest::newRow("beyond 32 bits") << true << QByteArray(R"({ "lastRowId" : 5000000000 })")
                                        << qint64(5000000000) << int(QtInfoMsg)
                                        << QStringLiteral("^Loaded last processed ROWID: 5000000000$");
        QTest::newRow("negative") << true << QByteArray(R"({"lastRowId":-5})") << qint64(0) << int(QtCriticalMsg) << invalid;
        QTest::newRow("string") << true << QByteArray(R"({"lastRowId":"12"})") << qint64(0) << int(QtCriticalMsg) << invalid;
        QTest::newRow("fraction") << true << QByteArray(R"({"lastRowId":12.5})") << qint64(0) << int(QtCriticalMsg) << invalid;
        QTest::newRow("array") << true << QByteArray("[]") << qint64(0) << int(QtCriticalMsg) << invalid;
        QTest::newRow("empty object") << true << QByteArray("{}") << qint64(0) << int(QtCriticalMsg) << invalid;
        QTest::newRow("not JSON") << true << QByteArray("lastRowId=12") << qint64(0) << int(QtCriticalMsg) << error;
        QTest::newRow("empty file") << true << QByteArray() << qint64(0) << int(QtCriticalMsg) << error;
    }

    void load()
    {
        QFETCH(bool, present);
        QFETCH(QByteArray, content);
        QFETCH(qint64, expected);
        QFETCH(int, level);
        QFETCH(QString, log);
        StateManager state;
        if (present)
            writeFile(state.stateFilePath(), content);
        QTest::ignoreMessage(QtMsgType(level), QRegularExpression(log));
        QCOMPARE(state.loadLastRowId(), expected);
    }

    void saveWritesCompactJsonAndRoundTrips()
    {
        StateManager state;
        QVERIFY(state.saveLastRowId(0).ok()); // creates the configuration directory too
        QCOMPARE(readFile(state.stateFilePath()), QByteArray(R"({"lastRowId":0})"));

        QVERIFY(state.saveLastRowId(48213).ok());
        QVERIFY(state.saveLastRowId(9000000000).ok());
        QCOMPARE(readFile(state.stateFilePath()), QByteArray(R"({"lastRowId":9000000000})"));
        // Only the state file is left: the temporary twin was renamed into place.
        QCOMPARE(QDir(configDir()).entryList(QDir::Files | QDir::Hidden), QStringList{QStringLiteral("last-row-id.json")});
        QTest::ignoreMessage(QtInfoMsg, "Loaded last processed ROWID: 9000000000");
        QCOMPARE(StateManager().loadLastRowId(), qint64(9000000000));
    }

    void saveRejectsNegativeRowIds()
    {
        StateManager state;
        QVERIFY(state.saveLastRowId(7).ok());
        const auto saved = state.saveLastRowId(-1);
        QVERIFY(!saved.ok());
        QCOMPARE(saved.error(), StateManagerError::invalidRowId(-1));
        QCOMPARE(saved.error().description(), QStringLiteral("Invalid ROWID: -1. Must be non-negative."));
        QCOMPARE(readFile(state.stateFilePath()), QByteArray(R"({"lastRowId":7})"));
    }

    void saveReplacesALeftoverTemporaryFile()
    {
        // A crash between writing the twin and renaming it leaves the twin behind.
        StateManager state;
        writeFile(state.tempFilePath(), QByteArray(R"({"lastRowId":99999, "junk": true})"));
        QVERIFY(state.saveLastRowId(12).ok());
        QCOMPARE(readFile(state.stateFilePath()), QByteArray(R"({"lastRowId":12})"));
        QVERIFY(!QFileInfo::exists(state.tempFilePath()));
    }

    void failedSaveKeepsThePreviousPosition_data()
    {
        QTest::addColumn<bool>("blockTemporary");
        QTest::newRow("temporary file cannot be written") << true;
        QTest::newRow("state file cannot be replaced") << false;
    }

    void failedSaveKeepsThePreviousPosition()
    {
        QFETCH(bool, blockTemporary);
        StateManager state;
        if (blockTemporary) {
            QVERIFY(state.saveLastRowId(31).ok());
            // A folder where the temporary file goes: opening it for writing fails.
            QVERIFY(QDir().mkpath(state.tempFilePath()));
        } else {
            // A non-empty folder where the state file goes: renaming over it fails.
            QVERIFY(QDir().mkpath(QDir(state.stateFilePath()).filePath(QStringLiteral("inner"))));
        }
        const auto saved = state.saveLastRowId(32);
        QVERIFY(!saved.ok());
        QCOMPARE(saved.error().kind(), StateManagerError::Kind::fileSystem);
        QVERIFY(!saved.error().description().isEmpty());
        if (blockTemporary) {
            QCOMPARE(readFile(state.stateFilePath()), QByteArray(R"({"lastRowId":31})"));
            QTest::ignoreMessage(QtInfoMsg, "Loaded last processed ROWID: 31");
            QCOMPARE(state.loadLastRowId(), qint64(31));
        } else {
            QVERIFY(QFileInfo(state.stateFilePath()).isDir());
            QVERIFY(!QFileInfo::exists(state.tempFilePath())); // the failed twin is cleaned up
        }
    }
};

QTEST_GUILESS_MAIN(TestStateManager)
#include "tst_statemanager.moc"
