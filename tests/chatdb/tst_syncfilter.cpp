#include "syncfilter.h"
#include "syncfilterpattern.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QTest>

using namespace velto;
using Config = SyncFilter::Config;
using ConfigError = SyncFilter::ConfigError;

namespace {

const QString friendSender = QStringLiteral("friend@example.com");

Config makeConfig(bool enabled, bool twoFactor, bool shortCodes, QStringList blocked = {})
{
    Config config;
    config.isEnabled = enabled;
    config.blockedContacts = std::move(blocked);
    config.builtInFilters = {twoFactor, shortCodes};
    return config;
}

// The verification-code rules written with the plain patterns, exactly as they are stated, run
// by ICU. The filter uses linear-time forms of three of them; on short texts the plain forms
// are quick, so they serve as the reference.
bool reference2FA(const QString& text, const QString& sender)
{
    static const SyncFilterPattern google(uR"(^G-\d{6}\b)");
    static const SyncFilterPattern security(uR"(\b\d{6}\b.*security code)", true);
    static const SyncFilterPattern appleOrYour(uR"(Apple.*\b\d{6}\b|Your.*code.*\b\d{6}\b)", true);
    static const SyncFilterPattern keyword(
        uR"(\b(verification\s*code|security\s*code|one-time\s*(code|password)|otp|2fa|confirm(ation)?\s*code|passcode|pin\s*code|temporary\s*(code|password)|your\s*code\s*is|enter\s*(this|the)?\s*code|authentication\s*code)\b)",
        true);
    static const SyncFilterPattern digits(uR"(\b\d{4,8}\b)");
    if (text.isEmpty())
        return false;
    if (SyncFilter::known2FAShortCodes().contains(SyncFilter::cleanSender(sender)))
        return true;
    if (google.foundIn(text) || security.foundIn(text) || appleOrYour.foundIn(text))
        return true;
    const bool hasKeyword = keyword.foundIn(text);
    const bool hasDigits = digits.foundIn(text);
    return (hasKeyword && hasDigits) || (hasDigits && SyncFilter::isShortCode(sender));
}

} // namespace

class TestSyncFilter : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void withholding_data()
    {
        QTest::addColumn<bool>("configured");
        QTest::addColumn<bool>("enabled");
        QTest::addColumn<bool>("twoFactor");
        QTest::addColumn<bool>("shortCodes");
        QTest::addColumn<QStringList>("blocked");
        QTest::addColumn<QString>("sender");
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("withheld");

        const QStringList none;
        const QString yourCode = QStringLiteral("Your code is 123456");
        QTest::newRow("no configuration") << false << true << true << true << none << friendSender << yourCode << false;
        QTest::newRow("switched off") << true << false << true << true << QStringList{friendSender} << friendSender
                                      << yourCode << false;
        QTest::newRow("2FA rule off") << true << true << false << false << none << friendSender << yourCode << false;

        // Verification codes.
        QTest::newRow("Your ... code ... six digits") << true << true << true << false << none << friendSender << yourCode << true;
        QTest::newRow("G- and six digits") << true << true << true << false << none << friendSender
                                           << QStringLiteral("G-482913 is your sign-in code.") << true;
        QTest::newRow("six digits then security code") << true << true << true << false << none << friendSender
                                                       << QStringLiteral("123456 is your security code") << true;
        QTest::newRow("keyword and digits") << true << true << true << false << none << friendSender
                                            << QStringLiteral("Use passcode 4821") << true;
        QTest::newRow("keyword, no 4-8 digit number") << true << true << true << false << none << friendSender
                                                      << QStringLiteral("Your passcode has changed") << false;
        QTest::newRow("digits, no keyword, ordinary sender") << true << true << true << false << none << friendSender
                                                             << QStringLiteral("Meet at 1830 by gate 12") << false;
        QTest::newRow("known short code, any text") << true << true << true << false << none << QStringLiteral("22000")
                                                    << QStringLiteral("hello") << true;
        QTest::newRow("known short code, empty text") << true << true << true << false << none << QStringLiteral("22000")
                                                      << QString() << false;
        // ICU's \d is any decimal digit, not only ASCII.
        QTest::newRow("Arabic-Indic digits") << true << true << true << false << none << friendSender
                                             << QStringLiteral("Your code is \u0661\u0662\u0663\u0664\u0665\u0666") << true;
        // "." stops at a line end: the code on the next line does not complete "Your.*code.*\d{6}".
        QTest::newRow("code on the next line") << true << true << true << false << none << friendSender
                                               << QStringLiteral("Your code\n123456") << false;
        QTest::newRow("code on the same line") << true << true << true << false << none << friendSender
                                               << QStringLiteral("Your code: 123456") << true;
        // Digits and a short-code sender; a North American contact is no short code.
        QTest::newRow("digits from a North American contact") << true << true << true << false << none
                                                              << QStringLiteral("+14155550123")
                                                              << QStringLiteral("Meet at 1830 by gate 12") << false;
        QTest::newRow("digits from a short code") << true << true << true << false << none << QStringLiteral("55555")
                                                  << QStringLiteral("Order 9931 shipped") << true;

        // Short codes.
        QTest::newRow("numeric short code") << true << true << false << true << none << QStringLiteral("12345")
                                            << QStringLiteral("Sale today") << true;
        QTest::newRow("alphanumeric id with digit") << true << true << false << true << none << QStringLiteral("AB12")
                                                    << QStringLiteral("Hi") << true;
        QTest::newRow("alphanumeric id without digit") << true << true << false << true << none << QStringLiteral("ALERTS")
                                                       << QStringLiteral("Hi") << false;
        QTest::newRow("+1, blank, hyphenated seven digits") << true << true << false << true << none
                                                            << QStringLiteral("+1 555-0123") << QStringLiteral("Hi") << true;
        // Digits alone beyond eight are a phone number, not a sender id.
        QTest::newRow("North American number") << true << true << false << true << none << QStringLiteral("+14155550123")
                                               << QStringLiteral("Hi") << false;
        QTest::newRow("eleven digits without plus") << true << true << false << true << none << QStringLiteral("14155550123")
                                                    << QStringLiteral("Hi") << false;
        QTest::newRow("eleven-character sender id") << true << true << false << true << none << QStringLiteral("BANK2FA1234")
                                                    << QStringLiteral("Hi") << true;
        QTest::newRow("twelve-character sender id") << true << true << false << true << none << QStringLiteral("BANK2FA12345")
                                                    << QStringLiteral("Hi") << false;
        QTest::newRow("twelve-digit number") << true << true << false << true << none << QStringLiteral("+447700900123")
                                             << QStringLiteral("Hi") << false;
        QTest::newRow("short-code rule off") << true << true << false << false << none << QStringLiteral("12345")
                                             << QStringLiteral("Sale today") << false;

        // Blocked contacts, compared with the lower-cased sender; entries normalised as handles are.
        QTest::newRow("blocked address, other capitals") << true << true << false << false
                                                         << QStringList{QStringLiteral("bob@example.com")}
                                                         << QStringLiteral("Bob@Example.COM") << QStringLiteral("Hi") << true;
        QTest::newRow("blocked entry with capitals") << true << true << false << false
                                                     << QStringList{QStringLiteral("Bob@Example.com")}
                                                     << QStringLiteral("bob@example.com") << QStringLiteral("Hi") << true;
        QTest::newRow("blocked number written loosely") << true << true << false << false
                                                        << QStringList{QStringLiteral(" +1 (415) 555-0123 ")}
                                                        << QStringLiteral("+14155550123") << QStringLiteral("Hi") << true;
        QTest::newRow("other sender not blocked") << true << true << false << false
                                                  << QStringList{QStringLiteral("bob@example.com")} << friendSender
                                                  << QStringLiteral("Hi") << false;
        QTest::newRow("unknown sender, not blocked") << true << true << false << true << QStringList{friendSender}
                                                     << QStringLiteral("unknown") << QStringLiteral("Hi") << false;
        QTest::newRow("unknown sender, blocked") << true << true << false << false
                                                 << QStringList{QStringLiteral("Unknown")} << QStringLiteral("unknown")
                                                 << QStringLiteral("Hi") << true;
    }

    void withholding()
    {
        QFETCH(bool, configured);
        QFETCH(bool, enabled);
        QFETCH(bool, twoFactor);
        QFETCH(bool, shortCodes);
        QFETCH(QStringList, blocked);
        QFETCH(QString, sender);
        QFETCH(QString, text);
        QFETCH(bool, withheld);

        SyncFilter filter;
        if (configured)
            filter.installConfig(makeConfig(enabled, twoFactor, shortCodes, blocked));
        QCOMPARE(filter.shouldWithhold(sender, text), withheld);

        // The same through a message: its resolved sender and its text.
        ChatMessage message;
        message.chatParticipantId = sender == QStringLiteral("unknown") ? std::nullopt : std::optional<QString>(sender);
        message.text = text.isEmpty() ? std::nullopt : std::optional<QString>(text);
        QCOMPARE(filter.shouldWithhold(message), withheld);
    }

    // The linear-time forms against the rules as written, on texts that probe word boundaries,
    // line ends of every kind, case folding and the order of the parts.
    void verificationCodeMatchesPlainPatterns_data()
    {
        QTest::addColumn<QString>("text");
        const char16_t* texts[] = {
            u"Your code is 123456", u"YOUR CODE IS 123456", u"your new code: 654321.", u"Your code 12345",
            u"Your code 1234567", u"Your code a123456", u"Your code 123456b", u"Your code_123456",
            u"code Your 123456", u"Your 123456 code", u"Yourcode123456", u"Your\ncode 123456", u"Your code\r123456",
            u"Your code\u2028123456", u"Your code\u0085123456", u"Your code\u000b123456", u"Your code\f123456",
            u"Your code\t123456", u"first line\nYour code 123456", u"Your code\nYour code 123456",
            u"Your code\n\nand later Your code 123456", u"Your x\ncode 123456\nYour code 1",
            u"Apple ID: 123456", u"apple\n123456", u"123456 Apple", u"Apple 123456 Apple",
            u"123456 is your security code", u"123456 is your SECURITY CODE", u"123456\nsecurity code",
            u"security code 123456", u"123456 security  code", u"\u017Fecurity code 123456 then 654321 \u017Fecurity code",
            u"\U0001D7CE\U0001D7CF\U0001D7D0\U0001D7D1\U0001D7D2\U0001D7D3 security code",
            u"G-123456 is your code", u" G-123456", u"G-1234567", u"Use passcode 4821", u"Your passcode has changed",
            u"enter the code 1234", u"enter    this    code 9876", u"enterthiscode 1234", u"enter code 1234",
            u"enter the  the code 1234", u"confirmation code 99999", u"confirmcode 1234", u"confirm ation code 1234",
            u"your code is 1234", u"your code isn't 1234", u"otp 1234", u"lotp 1234", u"2FA 12345678",
            u"one-time password 4444", u"one-time  code 4444", u"temporary password 5555", u"pin code 1111",
            u"PIN CODE 1111", u"authentication code 22222", u"verification code: 123", u"verification\ncode 4321",
            u"Code 4821", u"", u"\n", u"123456",
        };
        for (const char16_t* text : texts) {
            const QString value = QString::fromUtf16(text);
            QTest::newRow(value.toUtf8().toPercentEncoding(" :.-").constData()) << value;
        }
    }

    void verificationCodeMatchesPlainPatterns()
    {
        QFETCH(QString, text);
        for (const QString& sender : {friendSender, QStringLiteral("AB12"), QStringLiteral("22000")})
            QCOMPARE(SyncFilter::is2FACode(text, sender), reference2FA(text, sender));
    }

    void chainIsThePlainPatternOnEveryLineEnd()
    {
        // Every code unit ICU's "." refuses, and a few it accepts, between the two parts.
        const SyncFilterPattern a(u"a");
        const SyncFilterPattern b(u"b");
        const SyncFilterPattern plain(u"a.*b");
        for (char16_t between = 1; between < 0x3000; ++between) {
            const QString text = QStringLiteral("a") + QChar(between) + QStringLiteral("b");
            QVERIFY2(SyncFilterPattern::chainFoundIn(text, {&a, &b}) == plain.foundIn(text),
                     qPrintable(QString::number(between, 16)));
        }
    }

    void config_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<QString>("invalidMember"); // empty with ok, or for "not an object"

        QTest::newRow("complete") << QByteArray(R"({"isEnabled":true,"blockedContacts":["a@b.c"],)"
                                                R"("builtInFilters":{"twoFactorCodes":true,"shortCodeMessages":false},"x":1})")
                                  << true << QString();
        QTest::newRow("not an object") << QByteArray("[1]") << false << QString();
        QTest::newRow("isEnabled missing") << QByteArray(R"({"blockedContacts":[],)"
                                                         R"("builtInFilters":{"twoFactorCodes":true,"shortCodeMessages":false}})")
                                           << false << QStringLiteral("isEnabled");
        QTest::newRow("isEnabled a string") << QByteArray(R"({"isEnabled":"true","blockedContacts":[],)"
                                                          R"("builtInFilters":{"twoFactorCodes":true,"shortCodeMessages":false}})")
                                            << false << QStringLiteral("isEnabled");
        QTest::newRow("blocked entry a number") << QByteArray(R"({"isEnabled":true,"blockedContacts":["a",5],)"
                                                              R"("builtInFilters":{"twoFactorCodes":true,"shortCodeMessages":false}})")
                                                << false << QStringLiteral("blockedContacts");
        QTest::newRow("builtInFilters missing") << QByteArray(R"({"isEnabled":true,"blockedContacts":[]})") << false
                                                << QStringLiteral("builtInFilters");
        QTest::newRow("shortCodeMessages missing") << QByteArray(R"({"isEnabled":true,"blockedContacts":[],)"
                                                                 R"("builtInFilters":{"twoFactorCodes":true}})")
                                                   << false << QStringLiteral("builtInFilters.shortCodeMessages");
    }

    void config()
    {
        QFETCH(QByteArray, json);
        QFETCH(bool, ok);
        QFETCH(QString, invalidMember);
        const QJsonDocument document = QJsonDocument::fromJson(json);
        QVERIFY(!document.isNull());
        const auto decoded =
            Config::fromJson(document.isArray() ? QJsonValue(document.array()) : QJsonValue(document.object()));
        QCOMPARE(decoded.ok(), ok);
        if (ok) {
            QCOMPARE(*decoded, makeConfig(true, true, false, {QStringLiteral("a@b.c")}));
            // Encoding gives back what decodes to the same configuration.
            QCOMPARE(*Config::fromJson(decoded->toJson()), *decoded);
        } else if (invalidMember.isEmpty()) {
            QCOMPARE(decoded.error(), ConfigError::notAnObject());
            QCOMPARE(decoded.error().description(), QStringLiteral("Sync filter configuration is not a JSON object"));
        } else {
            QCOMPARE(decoded.error(), ConfigError::invalidMember(invalidMember));
            QVERIFY(decoded.error().description().contains(invalidMember));
        }
    }

    void installRebuildsBlockedSetAndCopiesAreSnapshots()
    {
        SyncFilter filter;
        QVERIFY(!filter.config());
        QVERIFY(filter.blockedContactsSet().isEmpty());
        QVERIFY(!filter.isActive());

        filter.installConfig(makeConfig(true, false, false,
                                        {QStringLiteral("Bob@Example.com"), QStringLiteral("+1 (415) 555-0123"),
                                         QStringLiteral("   "), QStringLiteral("")}));
        QCOMPARE(filter.blockedContactsSet(),
                 (QSet<QString>{QStringLiteral("bob@example.com"), QStringLiteral("+14155550123")}));
        QVERIFY(filter.isActive());

        const SyncFilter snapshot = filter;
        filter.installConfig(makeConfig(true, false, false, {QStringLiteral("carol@example.com")}));
        QCOMPARE(filter.blockedContactsSet(), QSet<QString>{QStringLiteral("carol@example.com")});
        QVERIFY(!filter.shouldWithhold(QStringLiteral("bob@example.com"), QStringLiteral("Hi")));
        // The copy still judges by the configuration it was taken with.
        QVERIFY(snapshot.shouldWithhold(QStringLiteral("bob@example.com"), QStringLiteral("Hi")));
        QVERIFY(!snapshot.shouldWithhold(QStringLiteral("carol@example.com"), QStringLiteral("Hi")));

        filter.clearConfig();
        QVERIFY(!filter.config());
        QVERIFY(filter.blockedContactsSet().isEmpty());
        QVERIFY(!filter.shouldWithhold(QStringLiteral("carol@example.com"), QStringLiteral("Hi")));
    }
};

QTEST_GUILESS_MAIN(TestSyncFilter)
#include "tst_syncfilter.moc"
