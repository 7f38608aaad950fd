// The database-access layer on real SQLite files: read-only URIs, value conversions, statement
// reuse and errors, and the read pool under concurrent use.

#include <dbconnection.h>
#include <dbreadpool.h>
#include <testsupport.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

using namespace velto;
using namespace std::chrono_literals;

class TestDbLayer : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QString m_path;

    // One table whose cells cover every storage class, including edge values.
    void createValuesDatabase(const QString& path)
    {
        auto rw = db::Connection::openReadWrite(path);
        QVERIFY2(rw, qPrintable(rw.ok() ? QString() : rw.error().description()));
        QVERIFY(rw->execute(QStringLiteral(
            "CREATE TABLE cells (name TEXT PRIMARY KEY, value);"
            "INSERT INTO cells VALUES ('int', 42), ('negative', -7), ('big', 9223372036854775807),"
            " ('zero', 0), ('real', 3.9), ('negativeReal', -3.9), ('hugeReal', 1e300), ('text', '12'),"
            " ('emptyText', ''), ('unicode', 'caf\u00e9 \U0001F600'), ('blob', x'00FF10'), ('emptyBlob', x''),"
            " ('null', NULL);")));
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        m_path = m_dir.filePath(QStringLiteral("values.db"));
        createValuesDatabase(m_path);
    }

    void valueConversion_data()
    {
        QTest::addColumn<QString>("cell");
        QTest::addColumn<int>("type");
        QTest::addColumn<std::optional<qint64>>("integer");
        QTest::addColumn<bool>("boolean");
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("hasBlob");
        using T = db::Statement::Type;
        const auto none = std::optional<qint64>();
        QTest::newRow("integer") << "int" << int(T::integer) << std::optional<qint64>(42) << true << QString() << false;
        QTest::newRow("negative") << "negative" << int(T::integer) << std::optional<qint64>(-7) << true << QString() << false;
        QTest::newRow("largest int64") << "big" << int(T::integer)
                                       << std::optional<qint64>(std::numeric_limits<qint64>::max()) << true << QString() << false;
        QTest::newRow("zero is false") << "zero" << int(T::integer) << std::optional<qint64>(0) << false << QString() << false;
        QTest::newRow("real truncates") << "real" << int(T::real) << std::optional<qint64>(3) << true << QString() << false;
        QTest::newRow("negative real truncates toward zero")
            << "negativeReal" << int(T::real) << std::optional<qint64>(-3) << true << QString() << false;
        QTest::newRow("real out of range") << "hugeReal" << int(T::real) << none << false << QString() << false;
        QTest::newRow("numeric text is no integer") << "text" << int(T::text) << none << false << QStringLiteral("12") << false;
        QTest::newRow("empty text") << "emptyText" << int(T::text) << none << false << QString() << false;
        QTest::newRow("unicode text") << "unicode" << int(T::text) << none << false
                                      << QStringLiteral("caf\u00e9 \U0001F600") << false;
        QTest::newRow("blob") << "blob" << int(T::blob) << none << false << QString() << true;
        QTest::newRow("empty blob is still data") << "emptyBlob" << int(T::blob) << none << false << QString() << true;
        QTest::newRow("null") << "null" << int(T::null) << none << false << QString() << false;
    }

    void valueConversion()
    {
        QFETCH(QString, cell);
        QFETCH(int, type);
        QFETCH(std::optional<qint64>, integer);
        QFETCH(bool, boolean);
        QFETCH(QString, text);
        QFETCH(bool, hasBlob);

        auto connection = db::Connection::openReadOnly(m_path);
        QVERIFY(connection);
        auto statement = connection->prepare(QStringLiteral("SELECT value AS Value FROM cells WHERE name = ?"));
        QVERIFY(statement);
        QVERIFY(statement->bind(1, cell));
        auto step = statement->step();
        QVERIFY(step && *step);

        QCOMPARE(int(statement->type(0)), type);
        QCOMPARE(statement->int64(0), integer);
        QCOMPARE(statement->boolean(0), boolean);
        QCOMPARE(statement->text(0), text);
        QCOMPARE(statement->optionalText(0).has_value(), type == int(db::Statement::Type::text));
        QCOMPARE(statement->blob(0).has_value(), hasBlob);
        QCOMPARE(statement->isNull(0), type == int(db::Statement::Type::null));
        // By name, ignoring case, gives the same readings.
        QCOMPARE(statement->int64("value"), integer);
        QCOMPARE(statement->text("VALUE"), text);
        QCOMPARE(statement->blob("Value").has_value(), hasBlob);
    }

    void blobBytesAndUnknownColumns()
    {
        auto connection = db::Connection::openReadOnly(m_path);
        QVERIFY(connection);
        auto statement = connection->prepare(QStringLiteral("SELECT value, 2.5 AS half FROM cells WHERE name = 'blob'"));
        QVERIFY(statement);
        QVERIFY(statement->step().value());
        QCOMPARE(statement->blob(0).value(), QByteArray::fromHex("00FF10"));
        QCOMPARE(statement->real("half"), std::optional<double>(2.5));
        QCOMPARE(statement->columnIndex("half"), 1);
        QCOMPARE(statement->columnName(1), QStringLiteral("half"));
        // A column the statement does not select reads as absent, never as another column.
        QCOMPARE(statement->columnIndex("missing"), -1);
        QCOMPARE(statement->int64("missing"), std::optional<qint64>());
        QVERIFY(statement->text("missing").isEmpty());
        QVERIFY(!statement->boolean(7));
        QVERIFY(!statement->step().value());
    }

    void readOnlyConnectionRefusesWrites()
    {
        auto connection = db::Connection::openReadOnly(m_path);
        QVERIFY(connection);
        QVERIFY(connection->isReadOnly());
        auto written = connection->execute(QStringLiteral("INSERT INTO cells VALUES ('new', 1)"));
        QVERIFY(!written);
        QCOMPARE(written.error().code & 0xFF, 8); // SQLITE_READONLY
        QVERIFY2(written.error().message.contains(QLatin1String("readonly")), qPrintable(written.error().message));
    }

    void uriEscapesAwkwardFileNames()
    {
        // '?', '#', '%' and blanks would be URI syntax if pasted into "file:" unescaped.
        const QString path = m_dir.filePath(QStringLiteral("odd name?x=1#frag%20.db"));
        createValuesDatabase(path);
        QVERIFY(!QFile::exists(m_dir.filePath(QStringLiteral("odd name"))));
        const QByteArray uri = db::Connection::readOnlyUri(path);
        QVERIFY2(uri.startsWith("file://") && uri.endsWith("?mode=ro"), uri.constData());
        auto connection = db::Connection::openReadOnly(path);
        QVERIFY2(connection, qPrintable(connection.ok() ? QString() : connection.error().description()));
        auto statement = connection->prepare(QStringLiteral("SELECT COUNT(*) FROM cells"));
        QVERIFY(statement && statement->step().value());
        QCOMPARE(statement->int64(0), std::optional<qint64>(13));
    }

    void openFailuresCarrySqliteText()
    {
        auto missing = db::Connection::openReadOnly(m_dir.filePath(QStringLiteral("absent.db")));
        QVERIFY(!missing);
        QCOMPARE(missing.error().code & 0xFF, 14); // SQLITE_CANTOPEN
        QCOMPARE(missing.error().description(), QStringLiteral("unable to open database file (14)"));
        // Read-only never creates the file.
        QVERIFY(!QFile::exists(m_dir.filePath(QStringLiteral("absent.db"))));

        auto pool = db::ReadPool::open(m_dir.filePath(QStringLiteral("absent.db")));
        QVERIFY(!pool);
        QCOMPARE(pool.error().code & 0xFF, 14);
    }

    void statementErrors()
    {
        auto connection = db::Connection::openReadOnly(m_path);
        QVERIFY(connection);
        auto bad = connection->prepare(QStringLiteral("SELEC value FROM cells"));
        QVERIFY(!bad);
        QVERIFY2(bad.error().message.contains(QLatin1String("syntax error")), qPrintable(bad.error().message));
        auto noTable = connection->prepare(QStringLiteral("SELECT * FROM message_attachment_join"));
        QVERIFY(!noTable);
        QCOMPARE(noTable.error().message, QStringLiteral("no such table: message_attachment_join"));

        auto statement = connection->prepare(QStringLiteral("SELECT ?"));
        QVERIFY(statement);
        auto outOfRange = statement->bind(2, qint64(1));
        QVERIFY(!outOfRange);
        QCOMPARE(outOfRange.error().code & 0xFF, 25); // SQLITE_RANGE

        // A failure while stepping is reported by step(), and the statement can run again.
        auto overflow = connection->prepare(QStringLiteral("SELECT abs(?)"));
        QVERIFY(overflow);
        QVERIFY(overflow->bind(1, std::numeric_limits<qint64>::min()));
        auto step = overflow->step();
        QVERIFY(!step);
        QVERIFY2(step.error().message.contains(QLatin1String("integer overflow")), qPrintable(step.error().message));
        QVERIFY(overflow->bind(1, qint64(-5)));
        QVERIFY(overflow->step().value());
        QCOMPARE(overflow->int64(0), std::optional<qint64>(5));
    }

    void bindAllBindsInOrder()
    {
        auto connection = db::Connection::openReadOnly(m_path);
        QVERIFY(connection);
        auto statement = connection->prepare(QStringLiteral("SELECT ?, ?, ?, ?, ?, typeof(?)"));
        QVERIFY(statement);
        QVERIFY(statement->bindAll(qint64(1), QStringLiteral("two"), 3.5, QByteArray("4"), true,
                                   std::optional<QString>()));
        QVERIFY(statement->step().value());
        QCOMPARE(statement->int64(0), std::optional<qint64>(1));
        QCOMPARE(statement->text(1), QStringLiteral("two"));
        QCOMPARE(statement->real(2), std::optional<double>(3.5));
        QCOMPARE(statement->blob(3), std::optional<QByteArray>(QByteArray("4")));
        QCOMPARE(statement->int64(4), std::optional<qint64>(1));
        QCOMPARE(statement->text(5), QStringLiteral("null"));
    }

    void cachedStatementsAreIndependentWhileInUse()
    {
        // The same text prepared again while the first is mid-way must not disturb it: nested
        // queries (a lookup made while decoding a row) rely on that.
        auto connection = db::Connection::openReadOnly(m_path);
        QVERIFY(connection);
        const QString sql = QStringLiteral("SELECT name FROM cells WHERE name > ? ORDER BY name LIMIT 3");
        QStringList outer;
        {
            auto first = connection->prepare(sql);
            QVERIFY(first);
            QVERIFY(first->bind(1, QString()));
            while (first->step().value()) {
                outer << first->text(0);
                auto inner = connection->prepare(sql);
                QVERIFY(inner);
                QVERIFY(inner->bind(1, QStringLiteral("zzz")));
                QVERIFY(!inner->step().value());
            }
        }
        QCOMPARE(outer, (QStringList{QStringLiteral("big"), QStringLiteral("blob"), QStringLiteral("emptyBlob")}));

        // Taken again from the cache: reset and unbound, so a forgotten bind reads as NULL.
        auto again = connection->prepare(sql);
        QVERIFY(again);
        QVERIFY(!again->step().value()); // name > NULL matches nothing
        again->reset();
        QVERIFY(again->bind(1, QStringLiteral("t")));
        QVERIFY(again->step().value());
        QCOMPARE(again->text(0), QStringLiteral("text"));
    }

    void statementKeepsConnectionAlive()
    {
        db::Statement statement;
        {
            auto connection = db::Connection::openReadOnly(m_path);
            QVERIFY(connection);
            auto prepared = connection->prepare(QStringLiteral("SELECT value FROM cells WHERE name = 'int'"));
            QVERIFY(prepared);
            statement = std::move(prepared).value();
        }
        QVERIFY(statement.step().value());
        QCOMPARE(statement.int64(0), std::optional<qint64>(42));
    }

    void busyTimeoutWaitsForWriter()
    {
        const QString path = m_dir.filePath(QStringLiteral("locked.db"));
        auto writer = db::Connection::openReadWrite(path);
        QVERIFY(writer);
        QVERIFY(writer->execute(QStringLiteral("CREATE TABLE t (x); INSERT INTO t VALUES (1);")));
        QVERIFY(writer->execute(QStringLiteral("BEGIN EXCLUSIVE; INSERT INTO t VALUES (2);")));

        auto impatient = db::Connection::openReadOnly(path);
        QVERIFY(impatient);
        auto busy = impatient->prepare(QStringLiteral("SELECT COUNT(*) FROM t"));
        QVERIFY(!busy || !busy->step());

        auto patient = db::Connection::openReadOnly(path, 5000ms);
        QVERIFY(patient);
        std::thread releaser([&writer] {
            std::this_thread::sleep_for(100ms);
            (void)writer->execute(QStringLiteral("COMMIT"));
        });
        auto statement = patient->prepare(QStringLiteral("SELECT COUNT(*) FROM t"));
        const bool stepped = statement && statement->step().ok();
        releaser.join();
        QVERIFY(stepped);
        QCOMPARE(statement->int64(0), std::optional<qint64>(2));
    }

    void poolLendsAtMostItsSize()
    {
        auto opened = db::ReadPool::open(m_path, {QStringLiteral("test"), 2, 0ms});
        QVERIFY(opened);
        std::shared_ptr<db::ReadPool> pool = opened.value();
        QCOMPARE(pool->openConnections(), 1);
        {
            // A second borrower while the first holds its lease gets a connection of its own.
            auto first = pool->acquire();
            auto second = pool->acquire();
            QVERIFY(first && second);
            QVERIFY(&first->connection() != &second->connection());
            QCOMPARE(pool->openConnections(), 2);
        }

        std::atomic<int> inUse{0};
        std::atomic<int> mostInUse{0};
        std::atomic<int> failures{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < 6; ++t) {
            threads.emplace_back([&] {
                for (int i = 0; i < 40; ++i) {
                    auto counted = pool->read([&](db::Connection& connection) -> Result<qint64, db::Error> {
                        const int now = ++inUse;
                        int seen = mostInUse.load();
                        while (now > seen && !mostInUse.compare_exchange_weak(seen, now)) {
                        }
                        auto statement = connection.prepare(QStringLiteral("SELECT COUNT(*) FROM cells"));
                        if (!statement) {
                            --inUse;
                            return fail(statement.error());
                        }
                        auto step = statement->step();
                        --inUse;
                        if (!step)
                            return fail(step.error());
                        return statement->int64(0).value_or(-1);
                    });
                    if (!counted || counted.value() != 13)
                        ++failures;
                }
            });
        }
        for (auto& thread : threads)
            thread.join();
        QCOMPARE(failures.load(), 0);
        QVERIFY(mostInUse.load() <= 2);
        QCOMPARE(pool->openConnections(), 2); // idle connections are kept, never opened twice
    }

    // The cache size is a property of each connection: the ones opened later get it too.
    void poolSizesEveryConnectionsCache()
    {
        db::ReadPool::Options options;
        options.cacheKiB = 8192;
        auto opened = db::ReadPool::open(m_path, options);
        QVERIFY(opened);
        std::shared_ptr<db::ReadPool> pool = opened.value();
        auto first = pool->acquire();
        auto second = pool->acquire();
        QVERIFY(first && second);
        for (db::Connection* connection : {&first->connection(), &second->connection()}) {
            auto statement = connection->prepare(QStringLiteral("PRAGMA cache_size"));
            QVERIFY(statement);
            auto step = statement->step();
            QVERIFY(step && *step);
            QCOMPARE(statement->int64(0).value_or(0), qint64(-8192));
        }
    }

    void poolAcquireBlocksUntilReturned()
    {
        auto pool = db::ReadPool::open(m_path, {QStringLiteral("test"), 1, 0ms}).value();
        std::optional<db::ReadPool::Lease> held(pool->acquire().value());
        std::atomic<bool> acquired{false};
        std::thread waiter([&] {
            auto lease = pool->acquire();
            acquired = lease.ok();
        });
        std::this_thread::sleep_for(50ms);
        QVERIFY(!acquired.load());
        held.reset();
        waiter.join();
        QVERIFY(acquired.load());
    }
};

QTEST_GUILESS_MAIN(TestDbLayer)
#include "tst_dblayer.moc"
