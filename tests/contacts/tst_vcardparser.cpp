#include "contacttestutil.h"
#include "vcardparser.h"

#include <QStringEncoder>
#include <QTest>

using namespace velto;

class TestVCardParser : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void parse_data()
    {
        QTest::addColumn<QByteArray>("document");
        QTest::addColumn<QByteArray>("expected"); // JSON array of summaries
        QTest::addColumn<int>("skippedCards");
        QTest::addColumn<int>("malformedLines");

        QTest::newRow("3.0: structured values, escapes, TYPE labels")
            << QByteArray("BEGIN:VCARD\r\nVERSION:3.0\r\nUID:u1\r\nN:Doe;Jane;Q.,R.;Dr.;\r\nFN:Dr. Jane Q. Doe\r\n"
                          "NICKNAME:JJ,Janie\r\nORG:Acme\\, Inc.;Research\r\nTITLE:Chief\\; Boss\r\n"
                          "TEL;TYPE=CELL,VOICE:+1 (415) 555-0101\r\nTEL;type=WORK;type=pref:415.555.0102\r\n"
                          "TEL;TYPE=FAX,HOME:0102\r\nTEL:0103\r\nEMAIL;TYPE=INTERNET,HOME:Jane@Example.COM\r\n"
                          "NOTE:line one\\nline two\\, comma\\; semi \\\\ slash\\N\r\nEND:VCARD\r\n")
            << QByteArray(R"([{"id":"u1","given":"Jane","middle":"Q. R.","family":"Doe","nick":"JJ","org":"Acme, Inc.",
                "title":"Chief; Boss","tel":["_$!<Mobile>!$_|+1 (415) 555-0101","_$!<Work>!$_|415.555.0102",
                "_$!<HomeFAX>!$_|0102","|0103"],"email":["_$!<Home>!$_|Jane@Example.COM"],
                "note":"line one\nline two, comma; semi \\ slash\n"}])")
            << 0 << 0;
        QTest::newRow("4.0: tel URI, quoted parameter list, UTF-8 text")
            << QByteArray("BEGIN:VCARD\nVERSION:4.0\nUID:urn:uuid:4fbe8971-0bc3-424c-9c26-36c3e1eff6b1\n"
                          "KIND:individual\nN:Gonz\xc3\xa1lez;Mar\xc3\xad" "a;;;\nFN:Mar\xc3\xad" "a Gonz\xc3\xa1lez\n"
                          "TEL;VALUE=uri;TYPE=\"voice,home\":tel:+1-555-555-0100\nEMAIL;TYPE=work:maria@work.example\n"
                          "URL:https://example.com/maria\nEND:VCARD\n")
            << QByteArray(R"([{"id":"urn:uuid:4fbe8971-0bc3-424c-9c26-36c3e1eff6b1","given":"María","family":"González",
                "tel":["_$!<Home>!$_|+1-555-555-0100"],"email":["_$!<Work>!$_|maria@work.example"],
                "url":["|https:\/\/example.com\/maria"]}])")
            << 0 << 0;
        QTest::newRow("folded lines, blank and tab, lone CR endings")
            << QByteArray("BEGIN:VCARD\rVERSION:3.0\rUID:f\rN:Lo\r ng;Fol\r\tded;;;\rNOTE:a long no\r te that w\r "
                          "raps\rEND:VCARD\r")
            << QByteArray(R"([{"id":"f","given":"Folded","family":"Long","note":"a long note that wraps"}])") << 0 << 0;
        QTest::newRow("2.1: quoted-printable soft breaks, bare parameters, charset")
            << QByteArray("BEGIN:VCARD\r\nVERSION:2.1\r\nUID:qp\r\n"
                          "N;CHARSET=UTF-8;ENCODING=QUOTED-PRINTABLE:=C3=96zt=C3=BCrk;Ay=\r\n=C5=9Fe;;;\r\n"
                          "TEL;CELL;PREF:+90 555 000 0000\r\nORG;CHARSET=ISO-8859-1:Caf\xe9\r\nEND:VCARD\r\n")
            << QByteArray(R"([{"id":"qp","given":"Ayşe","family":"Öztürk","org":"Café",
                "tel":["_$!<Mobile>!$_|+90 555 000 0000"]}])")
            << 0 << 0;
        QTest::newRow("grouped X-ABLabel before and after its value, escaped colon, iPhone")
            << QByteArray("BEGIN:VCARD\r\nVERSION:3.0\r\nUID:g\r\nN:;Ann;;;\r\nitem1.URL;type=pref:http\\://ann.example\r\n"
                          "item1.X-ABLabel:_$!<HomePage>!$_\r\nITEM2.X-ABLabel:Gaming\r\nitem2.EMAIL;type=INTERNET:ann@game.example\r\n"
                          "TEL;type=IPHONE;type=CELL:+44 7700 900123\r\nEND:VCARD\r\n")
            << QByteArray(R"([{"id":"g","given":"Ann","url":["_$!<HomePage>!$_|http:\/\/ann.example"],
                "email":["Gaming|ann@game.example"],"tel":["iPhone|+44 7700 900123"]}])")
            << 0 << 0;
        QTest::newRow("several cards; group cards are not contacts")
            << (test::card30("a", "A;One;;;") + "BEGIN:VCARD\r\nVERSION:4.0\r\nUID:grp\r\nKIND:group\r\nFN:Friends\r\n"
                "END:VCARD\r\n" + test::card30("b", "B;Two;;;") + "BEGIN:VCARD\r\nVERSION:3.0\r\nUID:grp2\r\n"
                "X-ADDRESSBOOKSERVER-KIND:group\r\nEND:VCARD\r\n")
            << QByteArray(R"([{"id":"a","given":"One","family":"A"},{"id":"b","given":"Two","family":"B"}])") << 0 << 0;
        QTest::newRow("formatted name alone stands for the name; a company card has none")
            << QByteArray("BEGIN:VCARD\r\nVERSION:4.0\r\nUID:s\r\nFN: Solo Person \r\nEND:VCARD\r\n"
                          "BEGIN:VCARD\r\nVERSION:3.0\r\nUID:c\r\nN:;;;;\r\nFN:Acme\r\nORG:Acme;\r\nX-ABShowAs:COMPANY\r\n"
                          "END:VCARD\r\nBEGIN:VCARD\r\nVERSION:4.0\r\nUID:o\r\nKIND:org\r\nFN:Org Only\r\nEND:VCARD\r\n")
            << QByteArray(R"([{"id":"s","given":"Solo Person"},{"id":"c","org":"Acme"},{"id":"o"}])") << 0 << 0;
        QTest::newRow("photos: 3.0 base64 folded, 4.0 data URI, external link ignored")
            << QByteArray("BEGIN:VCARD\r\nVERSION:3.0\r\nUID:p1\r\nPHOTO;ENCODING=b;TYPE=JPEG:aGVsbG8g\r\n cGhvdG8=\r\n"
                          "END:VCARD\r\nBEGIN:VCARD\r\nVERSION:4.0\r\nUID:p2\r\nPHOTO:data:image/png;base64,AAEC/w==\r\n"
                          "END:VCARD\r\nBEGIN:VCARD\r\nVERSION:4.0\r\nUID:p3\r\nPHOTO:https://example.com/p.jpg\r\n"
                          "END:VCARD\r\n")
            << QByteArray(R"([{"id":"p1","photo":"68656c6c6f2070686f746f"},{"id":"p2","photo":"000102ff"},{"id":"p3"}])")
            << 0 << 0;
        QTest::newRow("malformed: junk outside cards, broken lines, unterminated cards")
            << QByteArray("garbage before\r\n:no name\r\nBEGIN:VCARD\r\nVERSION:3.0\r\nUID:m\r\nN:Kept;Still;;;\r\n"
                          "no colon here\r\nTEL;TYPE=\"unterminated:+1 555\r\n;:\r\nEND:VCARD\r\n"
                          "BEGIN:VCARD\r\nUID:lost\r\nN:Never;Ended;;;\r\nBEGIN:VCARD\r\nUID:n\r\nN:Next;Card;;;\r\n"
                          "END:VCARD\r\nEND:VCARD\r\nBEGIN:VCARD\r\nUID:cut\r\nN:Cut;Off;;;\r\n")
            << QByteArray(R"([{"id":"m","given":"Still","family":"Kept"},{"id":"n","given":"Card","family":"Next"}])")
            << 2 << 3;
        QTest::newRow("empty document") << QByteArray() << QByteArray("[]") << 0 << 0;
    }

    void parse()
    {
        QFETCH(QByteArray, document);
        QFETCH(QByteArray, expected);
        QFETCH(int, skippedCards);
        QFETCH(int, malformedLines);

        const VCardParser::Document parsed = VCardParser::parse(document, QStringLiteral("/book/test.vcf"));
        QCOMPARE(test::summaries(parsed.contacts), test::normalisedJson(expected));
        QCOMPARE(parsed.skippedCards, skippedCards);
        QCOMPARE(parsed.malformedLines, malformedLines);
    }

    void utf16DocumentsAreRead_data()
    {
        QTest::addColumn<int>("encoding");
        QTest::addColumn<bool>("byteOrderMark");
        QTest::newRow("UTF-16LE with BOM") << int(QStringConverter::Utf16LE) << true;
        QTest::newRow("UTF-16BE with BOM") << int(QStringConverter::Utf16BE) << true;
        QTest::newRow("UTF-16LE without BOM") << int(QStringConverter::Utf16LE) << false;
        QTest::newRow("UTF-8 with BOM") << int(QStringConverter::Utf8) << true;
    }

    void utf16DocumentsAreRead()
    {
        QFETCH(int, encoding);
        QFETCH(bool, byteOrderMark);
        const QString text = QStringLiteral("BEGIN:VCARD\r\nVERSION:3.0\r\nUID:w\r\nN:M\u00fcller;J\u00fcrgen;;;\r\n"
                                            "TEL:+49 30 1234\r\nEND:VCARD\r\n");
        QStringEncoder encoder(QStringConverter::Encoding(encoding),
                               byteOrderMark ? QStringConverter::Flag::WriteBom : QStringConverter::Flag::Default);
        const QByteArray bytes = encoder.encode(text);
        const auto parsed = VCardParser::parse(bytes, QStringLiteral("w.vcf"));
        QCOMPARE(test::summaries(parsed.contacts),
                 test::normalisedJson(R"([{"id":"w","given":"Jürgen","family":"Müller","tel":["|+49 30 1234"]}])"));
    }

    void cardsWithoutUidGetStableDistinctIdentifiers()
    {
        const QByteArray document = "BEGIN:VCARD\r\nN:A;;;;\r\nEND:VCARD\r\nBEGIN:VCARD\r\nN:B;;;;\r\nEND:VCARD\r\n";
        const auto first = VCardParser::parse(document, QStringLiteral("/book/x.vcf")).contacts;
        const auto again = VCardParser::parse(document, QStringLiteral("/book/x.vcf")).contacts;
        const auto elsewhere = VCardParser::parse(document, QStringLiteral("/book/y.vcf")).contacts;
        QCOMPARE(first.size(), 2);
        QVERIFY(!first[0].identifier.isEmpty());
        QVERIFY(first[0].identifier != first[1].identifier);
        QCOMPARE(again[0].identifier, first[0].identifier);
        QCOMPARE(again[1].identifier, first[1].identifier);
        QVERIFY(elsewhere[0].identifier != first[0].identifier);
    }

    void limitsBoundEveryPart()
    {
        VCardParser::Limits limits;
        limits.maxLineBytes = 64;
        limits.maxPropertiesPerCard = 6;
        limits.maxValuesPerField = 2;
        limits.maxImageBytes = 4;
        limits.maxCards = 2;

        QByteArray document;
        // A note longer than a line may be, folded over many lines: dropped, the card kept.
        document += "BEGIN:VCARD\r\nUID:long\r\nNOTE:" + QByteArray(40, 'x') + "\r\n " + QByteArray(40, 'y')
            + "\r\n " + QByteArray(40, 'z') + "\r\nTEL:1\r\nTEL:2\r\nTEL:3\r\nPHOTO:data:;base64,AAECAwQF\r\nEND:VCARD\r\n";
        // Too many properties: the whole card is dropped.
        document += "BEGIN:VCARD\r\nUID:many\r\n" + QByteArray("EMAIL:a@b\r\n").repeated(10) + "END:VCARD\r\n";
        document += test::card30("second", "Two;;;;");
        document += test::card30("third", "Three;;;;"); // over maxCards

        const auto parsed = VCardParser::parse(document, QStringLiteral("limits.vcf"), limits);
        QCOMPARE(test::summaries(parsed.contacts),
                 test::normalisedJson(R"([{"id":"long","tel":["|1","|2"]},{"id":"second","family":"Two"}])"));
        QCOMPARE(parsed.skippedCards, 2);
        QCOMPARE(parsed.malformedLines, 1);
    }
};

QTEST_GUILESS_MAIN(TestVCardParser)
#include "tst_vcardparser.moc"
