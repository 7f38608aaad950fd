#include "contactssyncservice.h"
#include "contacttestutil.h"
#include "testsupport.h"

#include <QElapsedTimer>
#include <QTest>

#include <QCoroTask>

using namespace velto;

namespace {

struct RecordedEvent {
    QJsonObject event;
    qint64 atMs = 0;
};

// Collects what the service hands to its send function, with the time each event came.
struct EventLog {
    QList<RecordedEvent> events;
    QElapsedTimer clock;

    void attach(ContactsSyncService& service)
    {
        clock.start();
        service.sendMessage = [this](const QJsonObject& event) { events.append({event, clock.elapsed()}); };
    }
    QStringList types() const
    {
        QStringList out;
        for (const RecordedEvent& recorded : events)
            out.append(recorded.event.value(QLatin1String("type")).toString());
        return out;
    }
    QJsonObject payload(int i) const { return events.at(i).event.value(QLatin1String("payload")).toObject(); }
};

} // namespace

class TestContactsSyncService : public QObject {
    Q_OBJECT

private:
    test::TemporaryHome m_home;
    int m_folders = 0;

    QString bookOf(int contacts)
    {
        const QString path = QDir(m_home.path()).filePath(QStringLiteral("book%1").arg(++m_folders));
        QByteArray cards;
        for (int i = 1; i <= contacts; ++i)
            cards += test::card30("c" + QByteArray::number(i), "Family;Person" + QByteArray::number(i) + ";;;");
        if (!QDir().mkpath(path) || (contacts > 0 && !test::writeFile(path + QStringLiteral("/all.vcf"), cards)))
            return {};
        return path;
    }

private Q_SLOTS:
    void eventsForABook_data()
    {
        QTest::addColumn<int>("contacts");
        QTest::addColumn<QList<int>>("batchSizes");
        QTest::newRow("26 contacts: two batches, the second with one") << 26 << QList<int>{25, 1};
        QTest::newRow("25 contacts: one batch") << 25 << QList<int>{25};
        QTest::newRow("51 contacts: three batches") << 51 << QList<int>{25, 25, 1};
    }

    void eventsForABook()
    {
        QFETCH(int, contacts);
        QFETCH(QList<int>, batchSizes);
        const QString path = bookOf(contacts);
        QVERIFY(!path.isEmpty());

        ContactsSyncService service{ContactsExporter(ContactStore(path))};
        EventLog log;
        log.attach(service);
        const double before = QDateTime::currentMSecsSinceEpoch();
        const ContactSyncResult result = QCoro::waitFor(service.startSync());
        const double after = QDateTime::currentMSecsSinceEpoch();

        QCOMPARE(result, (ContactSyncResult{true, QStringLiteral("Contacts synced successfully")}));
        QVERIFY(!service.isRunning());
        const qsizetype batches = batchSizes.size();
        QStringList expectedTypes{QStringLiteral("contacts:sync:status"), QStringLiteral("contacts:sync:status")};
        for (qsizetype i = 0; i < batches; ++i)
            expectedTypes.append(QStringLiteral("contacts:sync:data"));
        expectedTypes.append(QStringLiteral("contacts:sync:complete"));
        QCOMPARE(log.types(), expectedTypes);

        for (const RecordedEvent& recorded : std::as_const(log.events)) {
            QCOMPARE(recorded.event.size(), 3); // type, timestamp, payload
            const double timestamp = recorded.event.value(QLatin1String("timestamp")).toDouble();
            QVERIFY(timestamp >= before && timestamp <= after);
        }
        QCOMPARE(log.payload(0), (QJsonObject{{QStringLiteral("phase"), QStringLiteral("preparing")}}));
        QCOMPARE(log.payload(1), (QJsonObject{{QStringLiteral("phase"), QStringLiteral("fetched")},
                                              {QStringLiteral("totalContacts"), contacts},
                                              {QStringLiteral("totalBatches"), batches}}));
        int next = 1;
        for (qsizetype b = 0; b < batches; ++b) {
            const QJsonObject payload = log.payload(int(2 + b));
            QCOMPARE(payload.size(), 3);
            QCOMPARE(payload.value(QLatin1String("batch")).toInteger(), b + 1);
            QCOMPARE(payload.value(QLatin1String("totalBatches")).toInteger(), batches);
            const QJsonArray sent = payload.value(QLatin1String("contacts")).toArray();
            QCOMPARE(sent.size(), batchSizes[b]);
            for (const QJsonValue& contact : sent) {
                QCOMPARE(contact.toObject(),
                         (QJsonObject{{QStringLiteral("apple_contact_id"), QStringLiteral("c%1").arg(next)},
                                      {QStringLiteral("name"), QStringLiteral("Person%1 Family").arg(next)}}));
                ++next;
            }
            // The pause between batches, and none after the last.
            if (b > 0)
                QVERIFY(log.events[2 + b].atMs - log.events[1 + b].atMs >= 190);
        }
        QVERIFY(log.events.last().atMs - log.events[log.events.size() - 2].atMs < 190);
        QCOMPARE(log.payload(int(log.events.size() - 1)),
                 (QJsonObject{{QStringLiteral("success"), true},
                              {QStringLiteral("message"), QStringLiteral("Synced %1 contacts").arg(contacts)},
                              {QStringLiteral("contactsProcessed"), contacts},
                              {QStringLiteral("contactsImported"), contacts}}));
    }

    void emptyBookCompletesWithoutCounts()
    {
        ContactsSyncService service{ContactsExporter(ContactStore(bookOf(0)))};
        EventLog log;
        log.attach(service);
        QCOMPARE(QCoro::waitFor(service.startSync()), (ContactSyncResult{true, QStringLiteral("No contacts found")}));
        QCOMPARE(log.types(), (QStringList{QStringLiteral("contacts:sync:status"), QStringLiteral("contacts:sync:complete")}));
        QCOMPARE(log.payload(1), (QJsonObject{{QStringLiteral("success"), true},
                                              {QStringLiteral("message"), QStringLiteral("No contacts found")}}));
    }

    void exportFailureCompletesUnsuccessfully()
    {
        const QString path = QDir(m_home.path()).filePath(QStringLiteral("not-a-folder"));
        QVERIFY(test::writeFile(path, "x"));
        ContactsSyncService service{ContactsExporter(ContactStore(path))};
        EventLog log;
        log.attach(service);
        const QString description = QStringLiteral("Failed to fetch contacts: The address book is not a folder: ") + path;
        QCOMPARE(QCoro::waitFor(service.startSync()), (ContactSyncResult{false, description}));
        QCOMPARE(log.types(), (QStringList{QStringLiteral("contacts:sync:status"), QStringLiteral("contacts:sync:complete")}));
        QCOMPARE(log.payload(1),
                 (QJsonObject{{QStringLiteral("success"), false}, {QStringLiteral("message"), description}}));
        QVERIFY(!service.permissionDenied());
        QVERIFY(!service.isRunning());

        // Not a permission problem: the next run tries again, and succeeds once the book is there.
        QVERIFY(QFile::remove(path));
        QVERIFY(test::writeFile(path + QStringLiteral("/a.vcf"), test::card30("a", "A;;;;")));
        QCOMPARE(QCoro::waitFor(service.startSync()).success, true);
    }

    void permissionFailureRefusesEveryLaterRun()
    {
        const QString path = bookOf(3);
        QVERIFY(QFile::setPermissions(path, QFileDevice::Permissions()));
        ContactsSyncService service{ContactsExporter(ContactStore(path))};
        EventLog log;
        log.attach(service);
        const ContactSyncResult first = QCoro::waitFor(service.startSync());
        QVERIFY(QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner));

        QVERIFY(!first.success);
        QVERIFY(first.message.startsWith(QStringLiteral("Contacts access permission was denied.")));
        QVERIFY(service.permissionDenied());
        QCOMPARE(log.events.size(), 2);
        QVERIFY(!log.payload(1).contains(QLatin1String("contactsProcessed")));

        // Access is back, but this service does not ask again.
        log.events.clear();
        QCOMPARE(QCoro::waitFor(service.startSync()),
                 (ContactSyncResult{false, QStringLiteral("Contacts access denied. Grant in System Settings.")}));
        QVERIFY(log.events.isEmpty());
    }

    void secondStartWhileRunningIsRefused()
    {
        ContactsSyncService service{ContactsExporter(ContactStore(bookOf(30)))};
        EventLog log;
        log.attach(service);
        QCoro::Task<ContactSyncResult> running = service.startSync(); // runs up to the export
        QVERIFY(service.isRunning());
        const int eventsSoFar = int(log.events.size());
        QCOMPARE(QCoro::waitFor(service.startSync()),
                 (ContactSyncResult{false, QStringLiteral("Contacts sync already running")}));
        QCOMPARE(log.events.size(), eventsSoFar);
        QCOMPARE(QCoro::waitFor(std::move(running)).success, true);
        QCOMPARE(log.types().count(QStringLiteral("contacts:sync:complete")), 1);
    }

    void eventsWithoutASendFunctionAreDropped()
    {
        ContactsSyncService service{ContactsExporter(ContactStore(bookOf(2)))};
        QCOMPARE(QCoro::waitFor(service.startSync()).success, true);
    }
};

QTEST_GUILESS_MAIN(TestContactsSyncService)
#include "tst_contactssyncservice.moc"
