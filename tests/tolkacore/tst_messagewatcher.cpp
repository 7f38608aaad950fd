// MessageWatcher on real SQLite files written through WAL by the Messages simulator: rows in
// order and in batches, the debounce, companions created and databases replaced after start,
// lost file events, stop, failures, and a watcher on its own thread.

#include <dbconnection.h>
#include <messagessimulator.h>
#include <messagestore.h>
#include <messagewatcher.h>
#include <testsupport.h>

#include <QElapsedTimer>
#include <QFile>
#include <QSemaphore>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QThreadPool>
#include <QtConcurrent>

#include <atomic>
#include <filesystem>
#include <vector>

using namespace velto;
using namespace std::chrono_literals;

namespace {

const QString alice = QStringLiteral("+14155550123");
const QString bob = QStringLiteral("+14155550124");

// Short delays, so that the tests wait for behaviour rather than for the relay's values.
MessageWatcherConfiguration quick(std::chrono::milliseconds safetyCheck = 0ms, int batchLimit = 100)
{
    MessageWatcherConfiguration configuration;
    configuration.debounceInterval = 50ms;
    configuration.batchLimit = batchLimit;
    configuration.safetyCheckInterval = safetyCheck;
    return configuration;
}

// Writes one incoming row the way Messages does; a failure gives row id 0 and a warning.
sim::AppendResult write(sim::MessagesSimulator& simulator, const QString& text, const QString& from = alice)
{
    auto row = simulator.addIncoming({from, text});
    if (!row) {
        qWarning() << "simulator write failed:" << row.error().description();
        return {};
    }
    return row.value();
}

// Everything a watcher reported, in order.
struct Received {
    QList<QList<Message>> batches;
    int polls = 0;
    int reopened = 0;
    std::vector<TolkaError> failures;

    explicit Received(MessageWatcher& watcher)
    {
        QObject::connect(&watcher, &MessageWatcher::messagesArrived, &watcher,
                         [this](const QList<Message>& batch) { batches << batch; });
        QObject::connect(&watcher, &MessageWatcher::pollFinished, &watcher, [this](int) { ++polls; });
        QObject::connect(&watcher, &MessageWatcher::storeReopened, &watcher, [this] { ++reopened; });
        QObject::connect(&watcher, &MessageWatcher::failed, &watcher,
                         [this](const TolkaError& error) { failures.push_back(error); });
    }

    QList<qint64> rowIDs() const
    {
        QList<qint64> ids;
        for (const auto& batch : batches) {
            for (const Message& message : batch)
                ids << message.rowID;
        }
        return ids;
    }
};

// Holds every thread of the global pool, so that store queries started meanwhile wait in its queue.
class PoolBlocker {
public:
    PoolBlocker()
        : m_threads(QThreadPool::globalInstance()->maxThreadCount())
    {
        QSemaphore started;
        for (int i = 0; i < m_threads; ++i) {
            m_futures << QtConcurrent::run([&started, this] {
                started.release();
                m_gate.acquire();
            });
        }
        started.acquire(m_threads);
    }
    ~PoolBlocker() { release(); }

    void release()
    {
        if (m_released)
            return;
        m_released = true;
        m_gate.release(m_threads);
        for (auto& future : m_futures)
            future.waitForFinished();
    }

private:
    int m_threads;
    QSemaphore m_gate;
    QList<QFuture<void>> m_futures;
    bool m_released = false;
};

} // namespace

class TestMessageWatcher : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void deliversRowsInOrderInBatches_data()
    {
        QTest::addColumn<int>("safetyCheckMs");
        QTest::addColumn<bool>("nudge");
        // The next change of the files reads the next batch; with no change, the safety check does.
        QTest::newRow("next write") << 0 << true;
        QTest::newRow("safety check") << 250 << false;
    }

    void deliversRowsInOrderInBatches()
    {
        QFETCH(int, safetyCheckMs);
        QFETCH(bool, nudge);
        velto::test::TemporaryHome home;
        sim::MessagesSimulator simulator(home.path());
        QVERIFY(simulator.init());
        qint64 start = 0;
        for (int i = 0; i < 3; ++i)
            start = write(simulator, QStringLiteral("history %1").arg(i)).rowId;
        QList<qint64> expected;
        QStringList texts;
        for (int i = 0; i < 25; ++i) {
            texts << QStringLiteral("row %1 \U0001F600").arg(i);
            expected << write(simulator, texts.last()).rowId;
        }
        QVERIFY(!expected.contains(0));

        auto store = MessageStore::open(simulator.databasePath()).value();
        MessageWatcher watcher(store, quick(std::chrono::milliseconds(safetyCheckMs), 10));
        Received received(watcher);
        watcher.start(start);
        QTRY_COMPARE(received.batches.size(), 1);
        QCOMPARE(received.batches.at(0).size(), 10);

        if (nudge) {
            // Nothing but a change of the files reads on.
            QTest::qWait(300);
            QCOMPARE(received.batches.size(), 1);
            expected << write(simulator, QStringLiteral("nudge 1")).rowId;
            QTRY_COMPARE(received.batches.size(), 2);
            expected << write(simulator, QStringLiteral("nudge 2")).rowId;
            QTRY_COMPARE(received.batches.size(), 3);
            QCOMPARE(received.batches.at(2).size(), 7);
        } else {
            QTRY_COMPARE_WITH_TIMEOUT(received.batches.size(), 3, 5000);
            QCOMPARE(received.batches.at(2).size(), 5);
        }
        QCOMPARE(received.batches.at(1).size(), 10);
        QCOMPARE(received.rowIDs(), expected);
        for (int i = 0; i < texts.size(); ++i)
            QCOMPARE(received.batches.at(i / 10).at(i % 10).text, texts.at(i));
        QCOMPARE(watcher.cursor(), expected.last());
        QVERIFY(received.failures.empty());
    }

    void debounceCoalescesBurst()
    {
        velto::test::TemporaryHome home;
        sim::MessagesSimulator simulator(home.path());
        QVERIFY(simulator.init());
        qint64 history = 0;
        for (int i = 0; i < 5; ++i)
            history = write(simulator, QStringLiteral("before start %1").arg(i)).rowId;

        auto store = MessageStore::open(simulator.databasePath()).value();
        MessageWatcherConfiguration configuration = quick();
        configuration.debounceInterval = 500ms;
        MessageWatcher watcher(store, configuration);
        Received received(watcher);
        // Without a row id only rows written after the start arrive.
        watcher.start();
        QTRY_COMPARE(received.polls, 1);
        QVERIFY(received.batches.isEmpty());
        QCOMPARE(watcher.cursor(), history);

        QElapsedTimer burst;
        burst.start();
        QList<qint64> expected;
        for (int i = 0; i < 10; ++i)
            expected << write(simulator, QStringLiteral("burst %1").arg(i)).rowId;
        if (burst.elapsed() > 300)
            QSKIP("The ten writes took longer than the debounce delay on this machine");

        QTRY_COMPARE(received.batches.size(), 1);
        QCOMPARE(received.rowIDs(), expected);
        QTest::qWait(700);
        QCOMPARE(received.batches.size(), 1);
        QCOMPARE(received.polls, 2); // the first read and one for the whole burst
    }

    void followsWalCreatedAfterStart()
    {
        velto::test::TemporaryHome home;
        sim::MessagesSimulator simulator(home.path());
        QVERIFY(simulator.init());
        QVERIFY(write(simulator, QStringLiteral("history")).rowId);
        simulator.close();
        const QString path = simulator.databasePath();
        const QString wal = path + QStringLiteral("-wal");
        // No one has the database open in WAL mode yet: it has no companions, and a reader does
        // not create them. The simulator, like Messages, turns WAL on when it next opens the file.
        {
            auto writer = db::Connection::openReadWrite(path, false);
            QVERIFY(writer);
            QVERIFY(writer->execute(QStringLiteral("PRAGMA journal_mode=DELETE")));
        }
        QFile::remove(wal);
        QFile::remove(path + QStringLiteral("-shm"));
        auto store = MessageStore::open(path).value();
        QVERIFY(!QFile::exists(wal));

        MessageWatcher watcher(store, quick());
        Received received(watcher);
        watcher.start();
        QVERIFY(!watcher.watchedPaths().contains(wal));
        QTRY_COMPARE(received.polls, 1);

        // The first write may be read because the folder changed (WAL turned on). Once that has
        // settled, the second can only be seen through a watch on the new "-wal" file.
        QList<qint64> expected{write(simulator, QStringLiteral("turns WAL on")).rowId};
        QTRY_COMPARE(received.rowIDs(), expected);
        QTest::qWait(300);
        expected << write(simulator, QStringLiteral("through the new WAL")).rowId;
        QTRY_COMPARE(received.rowIDs(), expected);
        QVERIFY(watcher.watchedPaths().contains(wal));
        QVERIFY(received.failures.empty());
    }

    void followsReplacedDatabase_data()
    {
        QTest::addColumn<bool>("renameOver");
        QTest::newRow("rename over it") << true;
        QTest::newRow("delete and create") << false;
    }

    void followsReplacedDatabase()
    {
        QFETCH(bool, renameOver);
        velto::test::TemporaryHome home;
        sim::MessagesSimulator simulator(home.path());
        QVERIFY(simulator.init());
        const QString path = simulator.databasePath();
        auto store = MessageStore::open(path).value();
        MessageWatcher watcher(store, quick());
        store.reset();
        Received received(watcher);
        watcher.start();
        QTRY_COMPARE(received.polls, 1);
        QList<qint64> expected{write(simulator, QStringLiteral("before the replacement")).rowId};
        QTRY_COMPARE(received.rowIDs(), expected);

        // The replacement, made elsewhere, holds one row more than the original.
        QTemporaryDir elsewhere;
        sim::MessagesSimulator other(elsewhere.path());
        QVERIFY(other.init());
        write(other, QStringLiteral("replacement 1"));
        expected << write(other, QStringLiteral("replacement 2")).rowId;
        other.close();
        QCOMPARE(expected.last(), expected.first() + 1);

        // A new database never comes with the old one's companions: SQLite would replay the
        // old log into the new file.
        simulator.close();
        QVERIFY(QFile::remove(path + QStringLiteral("-wal")));
        QVERIFY(QFile::remove(path + QStringLiteral("-shm")));
        if (renameOver) {
            std::error_code error;
            std::filesystem::rename(QFile::encodeName(other.databasePath()).toStdString(),
                                    QFile::encodeName(path).toStdString(), error);
            QVERIFY2(!error, error.message().c_str());
        } else {
            QVERIFY(QFile::remove(path));
            QVERIFY(QFile::copy(other.databasePath(), path));
        }
        QTRY_COMPARE(received.rowIDs(), expected);
        QCOMPARE(received.batches.last().last().text, QStringLiteral("replacement 2"));
        QCOMPARE(received.reopened, 1);

        // Writes to the new file and its new companions keep arriving, also once the folder is quiet.
        for (int i = 0; i < 2; ++i) {
            QTest::qWait(300);
            expected << write(simulator, QStringLiteral("after the replacement %1").arg(i)).rowId;
            QTRY_COMPARE(received.rowIDs(), expected);
        }
        QVERIFY(received.failures.empty());
    }

    void safetyCheckFindsRowsWithoutEvents_data()
    {
        QTest::addColumn<int>("safetyCheckMs");
        QTest::newRow("safety check on") << 300;
        QTest::newRow("safety check off") << 0;
    }

    void safetyCheckFindsRowsWithoutEvents()
    {
        QFETCH(int, safetyCheckMs);
        velto::test::TemporaryHome home;
        sim::MessagesSimulator simulator(home.path());
        QVERIFY(simulator.init());
        write(simulator, QStringLiteral("history"));
        auto store = MessageStore::open(simulator.databasePath()).value();
        MessageWatcher watcher(store, quick(std::chrono::milliseconds(safetyCheckMs)));
        Received received(watcher);
        watcher.start();
        QTRY_COMPARE(received.polls, 1);

        watcher.setFileEventsIgnored(true);
        QList<qint64> expected{write(simulator, QStringLiteral("its events were lost")).rowId};
        if (safetyCheckMs > 0) {
            QTRY_COMPARE_WITH_TIMEOUT(received.rowIDs(), expected, 3 * safetyCheckMs);
            // With nothing waiting, the check reads no more.
            QTest::qWait(4 * safetyCheckMs);
            QCOMPARE(received.polls, 2);
        } else {
            QTest::qWait(1500);
            QVERIFY(received.batches.isEmpty());
            watcher.setFileEventsIgnored(false);
            expected << write(simulator, QStringLiteral("seen")).rowId;
            QTRY_COMPARE(received.rowIDs(), expected);
        }
    }

    void stopSilencesReadInFlight_data()
    {
        QTest::addColumn<bool>("stop");
        QTest::newRow("left running") << false;
        QTest::newRow("stopped") << true;
    }

    void stopSilencesReadInFlight()
    {
        QFETCH(bool, stop);
        velto::test::TemporaryHome home;
        sim::MessagesSimulator simulator(home.path());
        QVERIFY(simulator.init());
        const qint64 start = write(simulator, QStringLiteral("history")).rowId;
        QList<qint64> expected;
        for (int i = 0; i < 3; ++i)
            expected << write(simulator, QStringLiteral("waiting %1").arg(i)).rowId;
        auto store = MessageStore::open(simulator.databasePath()).value();
        MessageWatcher watcher(store, quick(200ms));
        Received received(watcher);

        PoolBlocker blocker;
        watcher.start(start);
        // Runs the queued first read, whose query now waits for a pool thread.
        QCoreApplication::processEvents();
        if (stop) {
            watcher.stop();
            QVERIFY(!watcher.isRunning());
            QVERIFY(watcher.watchedPaths().isEmpty());
        }
        blocker.release();

        if (!stop) {
            QTRY_COMPARE(received.rowIDs(), expected);
            return;
        }
        QTest::qWait(600);
        expected << write(simulator, QStringLiteral("written while stopped")).rowId;
        QTest::qWait(400);
        QVERIFY(received.batches.isEmpty());
        QCOMPARE(received.polls, 0);
        QVERIFY(received.failures.empty());

        // Restarted from the same row, it delivers everything after it.
        watcher.start(start);
        QTRY_COMPARE(received.rowIDs(), expected);
    }

    void storeFailureStopsAndIsReported()
    {
        velto::test::TemporaryHome home;
        sim::MessagesSimulator simulator(home.path());
        QVERIFY(simulator.init(sim::SchemaVersion::Legacy));
        write(simulator, QStringLiteral("history"));
        // A schema flag that does not match the file makes every read of new rows fail.
        auto connection = db::Connection::openReadOnly(simulator.databasePath(), 5000ms);
        QVERIFY(connection);
        MessageStoreSchemaOverrides schema;
        schema.hasAttributedBody = true;
        auto store = MessageStore::open(std::move(connection).value(), simulator.databasePath(), schema);
        MessageWatcher watcher(store, quick(200ms));
        Received received(watcher);
        watcher.start();

        QTRY_COMPARE(received.failures.size(), size_t(1));
        const TolkaError& error = received.failures.front();
        QCOMPARE(error.kind(), TolkaError::Kind::database);
        QVERIFY2(error.description().contains(QStringLiteral("attributedBody")), qPrintable(error.description()));
        QVERIFY(!watcher.isRunning());
        QVERIFY(watcher.watchedPaths().isEmpty());

        write(simulator, QStringLiteral("after the failure"));
        QTest::qWait(500);
        QCOMPARE(received.failures.size(), size_t(1));
        QCOMPARE(received.polls, 0);
        QVERIFY(received.batches.isEmpty());
    }

    void chatRestrictedWatch()
    {
        velto::test::TemporaryHome home;
        sim::MessagesSimulator simulator(home.path());
        QVERIFY(simulator.init());
        const qint64 chat = write(simulator, QStringLiteral("hello"), alice).chatId;
        QVERIFY(write(simulator, QStringLiteral("hi"), bob).chatId != chat);
        auto store = MessageStore::open(simulator.databasePath()).value();
        MessageWatcher watcher(store, quick(250ms));
        Received received(watcher);
        watcher.start(std::nullopt, chat);
        QTRY_COMPARE(received.polls, 1);

        write(simulator, QStringLiteral("other chat"), bob);
        const qint64 mine = write(simulator, QStringLiteral("this chat"), alice).rowId;
        write(simulator, QStringLiteral("other chat again"), bob);
        QTRY_COMPARE(received.rowIDs(), QList<qint64>{mine});
        QCOMPARE(received.batches.first().first().chatID, chat);
        QCOMPARE(watcher.cursor(), mine);

        // Rows of other chats stay above the cursor; the safety check reads them once, not at every check.
        const int polls = received.polls;
        QTest::qWait(1500);
        QVERIFY2(received.polls <= polls + 1, qPrintable(QString::number(received.polls - polls)));
        QCOMPARE(received.rowIDs(), QList<qint64>{mine});
    }

    void runsOnItsOwnThread()
    {
        velto::test::TemporaryHome home;
        sim::MessagesSimulator simulator(home.path());
        QVERIFY(simulator.init());
        auto store = MessageStore::open(simulator.databasePath()).value();

        QThread thread;
        thread.start();
        auto* watcher = new MessageWatcher(store, quick());
        watcher->moveToThread(&thread);
        connect(&thread, &QThread::finished, watcher, &QObject::deleteLater);
        std::atomic<QThread*> emittedOn{nullptr};
        QList<qint64> delivered;
        int polls = 0;
        connect(watcher, &MessageWatcher::messagesArrived, watcher,
                [&emittedOn](const QList<Message>&) { emittedOn = QThread::currentThread(); }, Qt::DirectConnection);
        connect(watcher, &MessageWatcher::messagesArrived, this, [&delivered](const QList<Message>& batch) {
            for (const Message& message : batch)
                delivered << message.rowID;
        });
        connect(watcher, &MessageWatcher::pollFinished, this, [&polls](int) { ++polls; });

        QMetaObject::invokeMethod(watcher, [watcher] { watcher->start(); }, Qt::BlockingQueuedConnection);
        QTRY_COMPARE(polls, 1);
        QList<qint64> expected;
        for (int i = 0; i < 2; ++i) {
            expected << write(simulator, QStringLiteral("to another thread %1").arg(i)).rowId;
            QTRY_COMPARE(delivered, expected);
        }
        QCOMPARE(emittedOn.load(), &thread);

        QMetaObject::invokeMethod(watcher, [watcher] { watcher->stop(); }, Qt::BlockingQueuedConnection);
        thread.quit();
        QVERIFY(thread.wait(5000));
    }
};

QTEST_GUILESS_MAIN(TestMessageWatcher)
#include "tst_messagewatcher.moc"
