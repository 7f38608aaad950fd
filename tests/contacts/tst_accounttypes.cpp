#include "getlocaluserlib.h"
#include "manualaccount.h"
#include "validationservice.h"

#include <QTest>

using namespace velto;

class TestAccountTypes : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void getAccountType_data()
    {
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("type");
        const QString phone = QStringLiteral("phone");
        const QString email = QStringLiteral("email");
        QTest::newRow("E.164") << QStringLiteral("+14155550100") << phone;
        QTest::newRow("plus, then anything") << QStringLiteral("+not a number") << phone;
        QTest::newRow("digits and punctuation") << QStringLiteral("(555) 010-0100") << phone;
        QTest::newRow("dotted") << QStringLiteral("555.010.0100") << phone;
        QTest::newRow("surrounding white space and line breaks") << QStringLiteral("\n\t 5550100 \r\n") << phone;
        QTest::newRow("Arabic-Indic digits") << QStringLiteral("\u0665\u0665\u0665") << phone;
        QTest::newRow("digits outside the basic plane") << QStringLiteral("\U0001D7D9\U0001D7DA") << phone;
        QTest::newRow("empty") << QString() << phone;
        QTest::newRow("only blanks") << QStringLiteral("   ") << phone;
        QTest::newRow("e-mail address") << QStringLiteral("owner@example.com") << email;
        QTest::newRow("inner tab is no phone character") << QStringLiteral("555\t0100") << email;
        QTest::newRow("letters") << QStringLiteral("CALLME") << email;
        QTest::newRow("superscript two is no decimal digit") << QStringLiteral("55\u00b2") << email;
    }

    void getAccountType()
    {
        QFETCH(QString, value);
        QFETCH(QString, type);
        QCOMPARE(toString(ValidationService::getAccountType(value)), type);
    }

    void manualAccountJson()
    {
        const ManualAccount account = ManualAccount::create(AccountType::email, QStringLiteral("owner@example.com"));
        const QJsonObject json = account.toJson();
        QCOMPARE(json.value(QLatin1String("type")).toString(), QStringLiteral("email"));
        QCOMPARE(json.value(QLatin1String("value")).toString(), QStringLiteral("owner@example.com"));
        const QString id = json.value(QLatin1String("id")).toString();
        QCOMPARE(id.size(), 36);
        QCOMPARE(id, id.toUpper());
        QCOMPARE(ManualAccount::fromJson(json), std::optional<ManualAccount>(account));
        QVERIFY(ManualAccount::create(AccountType::email, account.value).id != account.id);

        for (const char* key : {"id", "type", "value"}) {
            QJsonObject missing = json;
            missing.remove(QLatin1String(key));
            QVERIFY2(!ManualAccount::fromJson(missing), key);
        }
        QJsonObject badType = json;
        badType.insert(QStringLiteral("type"), QStringLiteral("fax"));
        QVERIFY(!ManualAccount::fromJson(badType));
        QJsonObject badId = json;
        badId.insert(QStringLiteral("id"), QStringLiteral("not-a-uuid"));
        QVERIFY(!ManualAccount::fromJson(badId));
    }

    void ownersDisplayName_data()
    {
        QTest::addColumn<QString>("given");
        QTest::addColumn<QString>("family");
        QTest::addColumn<QString>("nickname");
        QTest::addColumn<std::optional<QString>>("expected");
        QTest::newRow("nickname wins") << QStringLiteral("Jane") << QStringLiteral("Doe") << QStringLiteral(" JD ")
                                       << std::optional<QString>(QStringLiteral(" JD "));
        QTest::newRow("given and family") << QStringLiteral("Jane") << QStringLiteral("Doe") << QString()
                                          << std::optional<QString>(QStringLiteral("Jane Doe"));
        QTest::newRow("given only") << QStringLiteral("Jane") << QString() << QString()
                                    << std::optional<QString>(QStringLiteral("Jane"));
        QTest::newRow("family only") << QString() << QStringLiteral("Doe") << QString()
                                     << std::optional<QString>(QStringLiteral("Doe"));
        QTest::newRow("nothing") << QString() << QString() << QString() << std::optional<QString>();
        QTest::newRow("blanks only are no name") << QStringLiteral("  ") << QString() << QString()
                                                 << std::optional<QString>();
    }

    void ownersDisplayName()
    {
        QFETCH(QString, given);
        QFETCH(QString, family);
        QFETCH(QString, nickname);
        QFETCH(std::optional<QString>, expected);
        QCOMPARE(GetLocalUserLib::displayName({given, family, nickname}), expected);
    }
};

QTEST_GUILESS_MAIN(TestAccountTypes)
#include "tst_accounttypes.moc"
