#include "typedstreamparser.h"

#include <QtTest>

using velto::TypedStreamParser::parseAttributedBody;

namespace {

// Archive framing around the string content; only the 01 2B marker and 86 84 matter here.
const QByteArray kHead = QByteArray::fromHex("040b73747265616d747970656481e803840140848484084e53537472696e6701948401");
const QByteArray kTail = QByteArray::fromHex("8684026949010592");

QByteArray withLength(const QByteArray& utf8)
{
    QByteArray prefix;
    const auto n = utf8.size();
    if (n < 0x80)
        prefix.append(char(n));
    else if (n < 0x8000)
        prefix.append(char(0x81)).append(char(n & 0xFF)).append(char(n >> 8));
    else
        prefix.append(char(0x82)).append(char(n & 0xFF)).append(char((n >> 8) & 0xFF)).append(char((n >> 16) & 0xFF)).append(char(n >> 24));
    return prefix + utf8;
}

// An archived string: 01 2B, length, bytes, then the object end and the next object.
QByteArray body(const QByteArray& utf8)
{
    return kHead + "+" + withLength(utf8) + kTail;
}

} // namespace

class TestTypedStreamParser : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void extractsText_data()
    {
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<QString>("expected");

        QTest::newRow("hello") << body("hello") << QStringLiteral("hello");
        QTest::newRow("empty input") << QByteArray() << QString();
        QTest::newRow("zero length is an empty text, not the blob") << body(QByteArray()) << QString();
        QTest::newRow("leading line feed and carriage return go, trailing stay")
            << body("\n\r\tok\n") << QStringLiteral("ok\n");
        QTest::newRow("leading format character goes") << body("\xE2\x80\x8Bzero width") << QStringLiteral("zero width");
        QTest::newRow("leading non-BMP format character goes")
            << body("\xF3\xA0\x80\x81tag") << QStringLiteral("tag"); // U+E0001 LANGUAGE TAG (Cf)
        QTest::newRow("inner control characters stay") << body("a\x01" "b") << QStringLiteral("a\x01" "b");

        // 128 bytes and more carry the 81 LL LL prefix; reading it as text gave leading junk.
        const QByteArray longText(300, 'x');
        QTest::newRow("two-byte length") << body(longText) << QString::fromLatin1(longText);
        const QByteArray hugeText(70000, 'y');
        QTest::newRow("four-byte length") << body(hugeText) << QString::fromLatin1(hugeText);

        // U+2184 is E2 86 84: the end marker inside the text must not cut it.
        QTest::newRow("86 84 inside the text") << body("before\xE2\x86\x84" "after")
                                               << QStringLiteral("before\u2184after");

        QTest::newRow("more grapheme clusters win") << body("short") + body("longer one") << QStringLiteral("longer one");
        QTest::newRow("tie keeps the first") << body("first") + body("later") << QStringLiteral("first");
        // Five code points but two clusters: two family emoji lose to three letters.
        QTest::newRow("clusters, not code points")
            << body("\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9\xF0\x9F\x91\xA7") + body("abc") << QStringLiteral("abc");

        // Without a usable length prefix the text runs to the next 86 84.
        QTest::newRow("wrong prefix is kept as text")
            << kHead + QByteArray("+Xhello") + kTail << QStringLiteral("Xhello");
        QTest::newRow("length that overruns the blob falls back to 86 84")
            << kHead + QByteArray("+\x40" "abc", 5) + QByteArray::fromHex("8684") << QStringLiteral("@abc");
        QTest::newRow("no marker: whole blob with leading controls removed")
            << QByteArray("\x04\n plain text", 13) << QStringLiteral(" plain text");
        QTest::newRow("invalid UTF-8 becomes replacement characters")
            << body("a\xFF" "b") << QStringLiteral("a\uFFFDb");
    }

    void extractsText()
    {
        QFETCH(QByteArray, data);
        QFETCH(QString, expected);
        QCOMPARE(parseAttributedBody(data), expected);
    }

    // A stray 01 2B in binary attribute data must not beat a short real text (an audio
    // message's single U+FFFC) just because its bytes happen to look like a length.
    void strayMarkerInBinaryDataDoesNotWin()
    {
        QByteArray data = body("\xEF\xBF\xBC");
        data += QByteArray::fromHex("84065b3230635d") + QByteArray("\x01+\x10" "0123456789abcdefXYZ", 22);
        QCOMPARE(parseAttributedBody(data), QStringLiteral("\uFFFC"));
    }
};

QTEST_APPLESS_MAIN(TestTypedStreamParser)
#include "tst_typedstreamparser.moc"
