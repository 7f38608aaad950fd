// Phone numbers to E.164 with a default region; anything that is not a possible phone number
// stays as it was.

#include <phonenumbernormalizer.h>

#include <QTest>

using velto::PhoneNumberNormalizer;

class TestPhoneNumberNormalizer : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void normalize_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("region");
        QTest::addColumn<QString>("expected");

        QTest::newRow("US with punctuation") << "(415) 555-0123" << "US" << "+14155550123";
        QTest::newRow("US with country code and dots") << "+1 415.555.0123" << "US" << "+14155550123";
        QTest::newRow("lower-case region") << "415-555-0123" << "us" << "+14155550123";
        QTest::newRow("international wins over region") << "+44 7700 900123" << "US" << "+447700900123";
        QTest::newRow("national UK number") << "07700 900123" << "GB" << "+447700900123";
        QTest::newRow("short code") << "12345" << "US" << "12345";
        QTest::newRow("too long") << "4155550123456789" << "US" << "4155550123456789";
        QTest::newRow("garbage") << "call me maybe" << "US" << "call me maybe";
        QTest::newRow("e-mail") << "friend@example.com" << "US" << "friend@example.com";
        QTest::newRow("e-mail holding a number") << "4155550123@example.com" << "US" << "4155550123@example.com";
        QTest::newRow("empty") << "" << "US" << "";
    }

    void normalize()
    {
        QFETCH(QString, text);
        QFETCH(QString, region);
        QFETCH(QString, expected);
        const PhoneNumberNormalizer normalizer;
        QCOMPARE(normalizer.normalize(text, region), expected);
        QCOMPARE(normalizer.toE164(text, region).has_value(), expected != text);
    }
};

QTEST_GUILESS_MAIN(TestPhoneNumberNormalizer)
#include "tst_phonenumbernormalizer.moc"
