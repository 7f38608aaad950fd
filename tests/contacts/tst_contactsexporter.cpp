#include "contactsexporter.h"
#include "contactssyncservice.h"
#include "contacttestutil.h"
#include "testsupport.h"

#include <QTest>

using namespace velto;

class TestContactsExporter : public QObject {
    Q_OBJECT

private:
    test::TemporaryHome m_home;
    int m_folders = 0;

    // A fresh address-book folder holding one file with `cards`.
    QString bookWith(const QByteArray& cards)
    {
        const QString path = QDir(m_home.path()).filePath(QStringLiteral("book%1").arg(++m_folders));
        if (!test::writeFile(path + QStringLiteral("/cards.vcf"), cards))
            return {};
        return path;
    }

    static QByteArray json(const QList<ContactPayload>& payloads)
    {
        QJsonArray array;
        for (const ContactPayload& payload : payloads)
            array.append(ContactsSyncService::contactObject(payload));
        return QJsonDocument(array).toJson(QJsonDocument::Compact);
    }

private Q_SLOTS:
    // 26 contacts over several files, both vCard versions: every record as defined, in order.
    void exportsEveryContactOfAGeneratedBook()
    {
        const QString path = QDir(m_home.path()).filePath(QStringLiteral("generated"));
        for (int i = 1; i <= 10; ++i) {
            const QByteArray n = QByteArray::number(i);
            QVERIFY(test::writeFile(path + QStringLiteral("/p%1.vcf").arg(i, 2, 10, QLatin1Char('0')),
                                    test::card30("id-" + n, "Family" + n + ";Given" + n + ";;;",
                                                 "TEL;TYPE=CELL:+1 (415) 555-01" + n.rightJustified(2, '0')
                                                     + "\r\nEMAIL: Person" + n + "@Example.COM \r\n")));
        }
        QByteArray many;
        for (int i = 11; i <= 26; ++i) {
            const QByteArray n = QByteArray::number(i);
            many += "BEGIN:VCARD\nVERSION:4.0\nUID:id-" + n + "\nN:Family" + n + ";Given" + n + ";Middle;;\nORG: Org" + n
                + " \nTITLE:\nTEL;VALUE=uri:tel:+44-7700-900-" + n + "\nURL;TYPE=work:https://example.com/" + n
                + "\nNOTE: note " + n + "\\n\nEND:VCARD\n";
        }
        QVERIFY(test::writeFile(path + QStringLiteral("/zz-many.vcf"), many));

        const auto exported = ContactsExporter(ContactStore(path)).exportContacts();
        QVERIFY(exported.ok());
        QCOMPARE(exported->size(), 26);
        for (int i = 1; i <= 26; ++i) {
            const ContactPayload& payload = (*exported)[i - 1];
            ContactPayload expected;
            expected.apple_contact_id = QStringLiteral("id-%1").arg(i);
            if (i <= 10) {
                expected.name = QStringLiteral("Given%1 Family%1").arg(i);
                expected.phone_numbers = QStringList{QStringLiteral("+1415555%1").arg(100 + i, 4, 10, QLatin1Char('0'))};
                expected.email_addresses = QStringList{QStringLiteral("person%1@example.com").arg(i)};
            } else {
                expected.name = QStringLiteral("Given%1 Middle Family%1").arg(i);
                expected.organization = QStringLiteral("Org%1").arg(i);
                expected.phone_numbers = QStringList{QStringLiteral("+447700900%1").arg(i)};
                expected.urls = QList<ContactURL>{{QStringLiteral("work"), QStringLiteral("https://example.com/%1").arg(i)}};
                expected.notes = QStringLiteral("note %1").arg(i);
            }
            QCOMPARE(json({payload}), json({expected}));
        }
    }

    void convert_data()
    {
        QTest::addColumn<QByteArray>("cards");
        QTest::addColumn<QByteArray>("expected"); // JSON array of contact objects

        QTest::newRow("only a middle name") << test::card30("m", ";;Middle;;")
                                            << QByteArray(R"([{"apple_contact_id":"m","name":"Middle"}])");
        QTest::newRow("no name parts, nothing else")
            << test::card30("u", ";;;;") << QByteArray(R"([{"apple_contact_id":"u","name":"Unknown Contact"}])");
        QTest::newRow("name parts as stored, not trimmed")
            << test::card30("t", " Fam ; Giv ;;;") << QByteArray(R"([{"apple_contact_id":"t","name":" Giv   Fam "}])");
        QTest::newRow("phone numbers: plus and digits only; letters leave an empty string; blank skipped")
            << test::card30("p", "P;;;;",
                            "TEL:+1 (415) 555-0100\r\nTEL:415.555.0100\r\nTEL:CALLME\r\nTEL:   \r\nTEL:0049+30 ext. 12\r\n")
            << QByteArray(R"([{"apple_contact_id":"p","name":"P",
                "phone_numbers":["+14155550100","4155550100","","0049+3012"]}])");
        QTest::newRow("e-mail addresses trimmed and lower-cased, empty ones left out")
            << test::card30("e", "E;;;;", "EMAIL:  Jane.Doe@Example.COM \r\nEMAIL:   \r\nEMAIL:\r\n")
            << QByteArray(R"([{"apple_contact_id":"e","name":"E","email_addresses":["jane.doe@example.com"]}])");
        QTest::newRow("only empty e-mail addresses: no list at all")
            << test::card30("e2", "E;;;;", "EMAIL: \r\n") << QByteArray(R"([{"apple_contact_id":"e2","name":"E"}])");
        QTest::newRow("URLs: labels shown by name, website without one, empty ones left out")
            << test::card30("w", "W;;;;",
                            "URL: https://a.example \r\nURL;TYPE=HOME:http\\://b.example\r\n"
                            "item1.URL:c.example\r\nitem1.X-ABLabel:_$!<HomePage>!$_\r\nURL: \r\n"
                            "item2.URL:d.example\r\nitem2.X-ABLabel:Blog\r\n")
            << QByteArray(R"([{"apple_contact_id":"w","name":"W","urls":[{"label":"website","value":"https:\/\/a.example"},
                {"label":"home","value":"http:\/\/b.example"},{"label":"homepage","value":"c.example"},
                {"label":"Blog","value":"d.example"}]}])");
        QTest::newRow("organisation, title and note trimmed; blank ones absent")
            << test::card30("o", "O;;;;", "ORG:  Acme  ;Dept\r\nTITLE:\\n Boss \\n\r\nNOTE:  \\n  \r\n")
            << QByteArray(R"([{"apple_contact_id":"o","name":"O","organization":"Acme","job_title":"Boss"}])");
    }

    void convert()
    {
        QFETCH(QByteArray, cards);
        QFETCH(QByteArray, expected);
        const QString path = bookWith(cards);
        QVERIFY(!path.isEmpty());
        const auto exported = ContactsExporter(ContactStore(path)).exportContacts();
        QVERIFY(exported.ok());
        QCOMPARE(json(*exported), test::normalisedJson(expected));
    }

    void deniedAccessFailsWithoutContacts()
    {
        const QString path = bookWith(test::card30("a", "A;;;;"));
        QVERIFY(QFile::setPermissions(path, QFileDevice::Permissions()));
        const auto exported = ContactsExporter(ContactStore(path)).exportContacts();
        QVERIFY(QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner));
        QVERIFY(!exported.ok());
        QCOMPARE(exported.error().kind(), ContactsExporterError::Kind::permissionDenied);
        QCOMPARE(exported.error().description(),
                 QStringLiteral("Contacts access permission was denied. Please grant permission in System Preferences > "
                                "Privacy & Security > Contacts."));
    }

    void storeFailureIsAFetchFailure()
    {
        const QString path = QDir(m_home.path()).filePath(QStringLiteral("a-file"));
        QVERIFY(test::writeFile(path, "x"));
        const auto exported = ContactsExporter(ContactStore(path)).exportContacts();
        QVERIFY(!exported.ok());
        QCOMPARE(exported.error().kind(), ContactsExporterError::Kind::fetchFailed);
        QCOMPARE(exported.error().description(),
                 QStringLiteral("Failed to fetch contacts: The address book is not a folder: ") + path);
    }
};

QTEST_GUILESS_MAIN(TestContactsExporter)
#include "tst_contactsexporter.moc"
