#include "contactchangeobserver.h"
#include "contactstore.h"
#include "contacttestutil.h"
#include "testsupport.h"

#include <QSignalSpy>
#include <QTest>

using namespace velto;

class TestContactStore : public QObject {
    Q_OBJECT

private:
    test::TemporaryHome m_home;

    QString folder(const QString& name) const { return QDir(m_home.path()).filePath(name); }

private Q_SLOTS:
    void defaultFolderFollowsTheEnvironment()
    {
        qunsetenv("VELTO_CONTACTS_DIR");
        QCOMPARE(ContactStore::defaultDirectory(), folder(QStringLiteral(".local/share/contacts")));
        qputenv("VELTO_CONTACTS_DIR", QFile::encodeName(folder(QStringLiteral("book/"))));
        QCOMPARE(ContactStore::defaultDirectory(), folder(QStringLiteral("book")));
        qunsetenv("VELTO_CONTACTS_DIR");
    }

    void absentFolderIsAnEmptyAuthorisedBook()
    {
        const ContactStore store(folder(QStringLiteral("absent")));
        QCOMPARE(store.authorizationStatus(), ContactAuthorizationStatus::authorized);
        QVERIFY(store.requestAccess().granted);
        const auto contacts = store.enumerateContacts(allContactKeys);
        QVERIFY(contacts.ok());
        QVERIFY(contacts->isEmpty());
    }

    void closedFolderIsDenied()
    {
        const QString path = folder(QStringLiteral("closed"));
        QVERIFY(test::writeFile(path + QStringLiteral("/a.vcf"), test::card30("a", "A;;;;")));
        QVERIFY(QFile::setPermissions(path, QFileDevice::Permissions()));
        const ContactStore store(path);
        const auto status = store.authorizationStatus();
        const auto access = store.requestAccess();
        const auto contacts = store.enumerateContacts(allContactKeys);
        QVERIFY(QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner));
        QCOMPARE(status, ContactAuthorizationStatus::denied);
        QVERIFY(!access.granted);
        QVERIFY(!access.error);
        QVERIFY(!contacts.ok());
        QCOMPARE(contacts.error().kind(), ContactStoreError::Kind::accessDenied);
    }

    void fileInPlaceOfTheFolderFailsToEnumerate()
    {
        const QString path = folder(QStringLiteral("plain-file"));
        QVERIFY(test::writeFile(path, "not a folder"));
        const auto contacts = ContactStore(path).enumerateContacts(allContactKeys);
        QVERIFY(!contacts.ok());
        QCOMPARE(contacts.error().description(), QStringLiteral("The address book is not a folder: ") + path);
    }

    void filesInNameOrderSubfoldersAfterIdentifiersOnce()
    {
        const QString path = folder(QStringLiteral("ordered"));
        QVERIFY(test::writeFile(path + QStringLiteral("/b.vcf"), test::card30("b", "B;;;;") + test::card30("a", "Dup;;;;")));
        QVERIFY(test::writeFile(path + QStringLiteral("/a.VCF"), test::card30("a", "A;;;;")));
        QVERIFY(test::writeFile(path + QStringLiteral("/c.vcard"), test::card30("c", "C;;;;")));
        QVERIFY(test::writeFile(path + QStringLiteral("/notes.txt"), test::card30("txt", "Txt;;;;")));
        QVERIFY(test::writeFile(path + QStringLiteral("/.hidden.vcf"), test::card30("h", "Hidden;;;;")));
        QVERIFY(test::writeFile(path + QStringLiteral("/work/d.vcf"), test::card30("d", "D;;;;")));
        QVERIFY(test::writeFile(path + QStringLiteral("/work/deeper/e.vcf"), test::card30("e", "E;;;;")));

        const auto contacts = ContactStore(path).enumerateContacts(allContactKeys);
        QVERIFY(contacts.ok());
        QStringList families;
        for (const StoredContact& contact : *contacts)
            families.append(contact.familyName);
        QCOMPARE(families, (QStringList{QStringLiteral("A"), QStringLiteral("B"), QStringLiteral("C"), QStringLiteral("D")}));
    }

    void keysNotAskedForAreEmptyAndUnavailable()
    {
        const QString path = folder(QStringLiteral("keys"));
        QVERIFY(test::writeFile(path + QStringLiteral("/k.vcf"),
                                test::card30("k", "Family;Given;;;", "NOTE:secret\r\nTEL:+1 555\r\n")));
        const auto contacts = ContactStore(path).enumerateContacts(ContactKey::identifier | ContactKey::givenName);
        QVERIFY(contacts.ok());
        QCOMPARE(contacts->size(), 1);
        const StoredContact& contact = contacts->first();
        QCOMPARE(contact.givenName, QStringLiteral("Given"));
        QVERIFY(contact.familyName.isEmpty());
        QVERIFY(contact.note.isEmpty());
        QVERIFY(contact.phoneNumbers.isEmpty());
        QVERIFY(contact.isKeyAvailable(ContactKey::givenName));
        QVERIFY(!contact.isKeyAvailable(ContactKey::note));
    }

    void oversizeFileFailsTheEnumeration()
    {
        const QString path = folder(QStringLiteral("large"));
        QVERIFY(test::writeFile(path + QStringLiteral("/big.vcf"),
                                test::card30("x", "X;;;;") + QByteArray(ContactStore::maxFileBytes, '\n')));
        const auto contacts = ContactStore(path).enumerateContacts(allContactKeys);
        QVERIFY(!contacts.ok());
        QCOMPARE(contacts.error().kind(), ContactStoreError::Kind::tooLarge);
    }

    void labelsAreShownByName_data()
    {
        QTest::addColumn<QString>("label");
        QTest::addColumn<QString>("shown");
        QTest::newRow("home") << QStringLiteral("_$!<Home>!$_") << QStringLiteral("home");
        QTest::newRow("home page") << QStringLiteral("_$!<HomePage>!$_") << QStringLiteral("homepage");
        QTest::newRow("work fax") << QStringLiteral("_$!<WorkFAX>!$_") << QStringLiteral("work fax");
        QTest::newRow("other constant") << QStringLiteral("_$!<Anniversary>!$_") << QStringLiteral("anniversary");
        QTest::newRow("user's own") << QStringLiteral("Gaming") << QStringLiteral("Gaming");
        QTest::newRow("website") << QStringLiteral("website") << QStringLiteral("website");
        QTest::newRow("bare marker") << QStringLiteral("_$!<>!$_") << QStringLiteral("_$!<>!$_");
    }

    void labelsAreShownByName()
    {
        QFETCH(QString, label);
        QFETCH(QString, shown);
        QCOMPARE(ContactStore::localizedStringForLabel(label), shown);
    }

    void observerSeesTheFolderAppearAndItsFilesChange()
    {
        const QString parent = folder(QStringLiteral("watched"));
        QVERIFY(QDir().mkpath(parent));
        const QString path = parent + QStringLiteral("/book");
        ContactChangeObserver observer(path);
        QSignalSpy changes(&observer, &ContactChangeObserver::contactStoreDidChange);
        QVERIFY(observer.start());
        QVERIFY(observer.start()); // a second start changes nothing

        // While the folder is missing, other things changing beside it are not its business.
        QVERIFY(test::writeFile(parent + QStringLiteral("/unrelated.txt"), "x"));
        QTest::qWait(300);
        QCOMPARE(changes.count(), 0);

        QVERIFY(QDir().mkpath(path));
        QTRY_VERIFY(changes.count() >= 1);

        changes.clear();
        QVERIFY(test::writeFile(path + QStringLiteral("/a.vcf"), test::card30("a", "A;;;;")));
        QTRY_VERIFY(changes.count() >= 1);

        // Written in place (no rename): seen through the file's own watch.
        QTest::qWait(100);
        changes.clear();
        {
            QFile file(path + QStringLiteral("/a.vcf"));
            QVERIFY(file.open(QIODevice::Append));
            QVERIFY(file.write(test::card30("b", "B;;;;")) > 0);
        }
        QTRY_VERIFY(changes.count() >= 1);

        QTest::qWait(100);
        changes.clear();
        QVERIFY(QDir().mkpath(path + QStringLiteral("/sub")));
        QTRY_VERIFY(changes.count() >= 1);
        QTest::qWait(100);
        changes.clear();
        QVERIFY(test::writeFile(path + QStringLiteral("/sub/c.vcf"), test::card30("c", "C;;;;")));
        QTRY_VERIFY(changes.count() >= 1);

        QTest::qWait(100);
        changes.clear();
        QVERIFY(QDir(path).removeRecursively());
        QTRY_VERIFY(changes.count() >= 1);

        observer.stop();
        QVERIFY(!observer.isObserving());
        QTest::qWait(100);
        changes.clear();
        QVERIFY(QDir().mkpath(path));
        QTest::qWait(300);
        QCOMPARE(changes.count(), 0);
    }
};

QTEST_GUILESS_MAIN(TestContactStore)
#include "tst_contactstore.moc"
