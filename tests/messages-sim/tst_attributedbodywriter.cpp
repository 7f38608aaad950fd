// The simulator's attributedBody writer against the bodies real Messages databases hold.

#include "attributedbody.h"
#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QHash>
#include <QtTest>

using velto::sim::AttributedBody;

namespace {

// INDEX.tsv: file → expected text (with \n \r \t \\ escaped).
QHash<QString, QString> readIndex(const QString &dir)
{
    QHash<QString, QString> texts;
    QFile index(QDir(dir).filePath(QStringLiteral("INDEX.tsv")));
    if (!index.open(QIODevice::ReadOnly))
        return texts;
    index.readLine(); // header
    while (!index.atEnd()) {
        const QList<QByteArray> fields = index.readLine().split('\t');
        if (fields.size() < 2)
            continue;
        QString text;
        const QString raw = QString::fromUtf8(fields.at(1));
        for (qsizetype i = 0; i < raw.size(); ++i) {
            if (raw.at(i) == QLatin1Char('\\') && i + 1 < raw.size()) {
                const QChar next = raw.at(++i);
                text += next == QLatin1Char('n') ? QLatin1Char('\n')
                      : next == QLatin1Char('r') ? QLatin1Char('\r')
                      : next == QLatin1Char('t') ? QLatin1Char('\t')
                                                 : next;
            } else {
                text += raw.at(i);
            }
        }
        texts.insert(QString::fromUtf8(fields.at(0)), text);
    }
    return texts;
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The compact integer form the archive uses for lengths.
QByteArray encodedLength(qint64 value)
{
    if (value <= 127)
        return QByteArray(1, char(value));
    if (value <= 32767)
        return QByteArray("\x81", 1) + char(value & 0xff) + char(value >> 8);
    QByteArray bytes("\x82", 1);
    for (int i = 0; i < 4; ++i)
        bytes += char((value >> (8 * i)) & 0xff);
    return bytes;
}

} // namespace

class TestAttributedBodyWriter : public QObject {
    Q_OBJECT

private:
    QString m_bodies;
    QHash<QString, QString> m_texts;

    QByteArray fixture(const QString &name) { return readFile(QDir(m_bodies).filePath(name)); }

private Q_SLOTS:
    void initTestCase()
    {
        const QString fixtures = velto::test::fixturesDir();
        if (!fixtures.isEmpty())
            m_bodies = QDir(fixtures).filePath(QStringLiteral("attributed-bodies"));
        if (!m_bodies.isEmpty())
            m_texts = readIndex(m_bodies);
    }

    // Bodies with nothing beyond the attributes Messages writes for every text are reproduced
    // byte for byte.
    void equalsRealBody_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<bool>("mutableRoot");
        QTest::newRow("ascii, mutable root") << QStringLiteral("crabstep_AttributedBodyTextOnly.bin") << true;
        QTest::newRow("ascii, plain root") << QStringLiteral("bagoup_nsstring.bin") << false;
        QTest::newRow("arabic") << QStringLiteral("crabstep_Arabic.bin") << false;
        QTest::newRow("non-BMP letters") << QStringLiteral("crabstep_WeirdText.bin") << true;
        QTest::newRow("curly apostrophe") << QStringLiteral("imx_testdb_message_452567.bin") << false;
        QTest::newRow("2,359 bytes (81 LL LL)") << QStringLiteral("crabstep_LongMessage.bin") << true;
        QTest::newRow("empty") << QStringLiteral("crabstep_Blank.bin") << false;
    }

    void equalsRealBody()
    {
        if (m_bodies.isEmpty())
            QSKIP("shared fixtures (attributed-bodies) not found; set VELTO_SHARED_DIR");
        QFETCH(QString, file);
        QFETCH(bool, mutableRoot);
        QVERIFY2(m_texts.contains(file), qPrintable(file));
        const QByteArray real = fixture(file);
        QVERIFY(!real.isEmpty());
        const auto root = mutableRoot ? AttributedBody::Root::Mutable : AttributedBody::Root::Immutable;
        QCOMPARE(AttributedBody::plainText(m_texts.value(file), root).encode().toHex(' '), real.toHex(' '));
    }

    // Two NSNumber kinds and shared objects: the writing-direction run and an audio message
    // whose transcription sits in the body.
    void equalsRealBodyWithNumbersAndStrings()
    {
        if (m_bodies.isEmpty())
            QSKIP("shared fixtures (attributed-bodies) not found; set VELTO_SHARED_DIR");
        const AttributedBody withDirection(
            QStringLiteral("Test 3"),
            {{6,
              {{AttributedBody::writingDirectionKey, AttributedBody::Number{"q", -1}},
               {AttributedBody::messagePartKey, AttributedBody::Number{"q", 0}}}}},
            AttributedBody::Root::Immutable);
        QCOMPARE(withDirection.encode().toHex(' '), fixture(QStringLiteral("crabstep_AttributedBodyTextOnly2.bin")).toHex(' '));

        const QByteArray audio = AttributedBody::audioMessage(QStringLiteral("4C339597-EBBB-4978-9B87-521C0471A848"),
                                                              QStringLiteral("This is a test"))
                                     .encode();
        QCOMPARE(audio.toHex(' '), fixture(QStringLiteral("crabstep_Transcription.bin")).toHex(' '));
    }

    // Texts the fixtures do not cover are built like the real one-run body: the real bytes with
    // the text, its byte length and its run length (UTF-16 units) swapped in.
    void matchesRealLayout_data()
    {
        QTest::addColumn<QString>("text");
        QTest::newRow("emoji with ZWJ and variation selector") << QStringLiteral("🅱️ ok 👨‍👩‍👧‍👦 🇯🇵");
        QTest::newRow("arabic and hebrew") << QStringLiteral("مرحبا، كيف حالك؟ שלום");
        QTest::newRow("U+2184 inside") << QStringLiteral("a ↄ b");
        QTest::newRow("127 bytes") << QString(127, QLatin1Char('x'));
        QTest::newRow("128 bytes") << QString(128, QLatin1Char('x'));
        QTest::newRow("run length 128 from 4-byte characters") << QString(QStringLiteral("𝖍")).repeated(64);
        QTest::newRow("32,767 bytes") << QString(32767, QLatin1Char('y'));
        QTest::newRow("32,768 bytes") << QString(32768, QLatin1Char('y'));
        QTest::newRow("70,000 bytes") << QString(70000, QLatin1Char('z'));
        QTest::newRow("100,000 bytes of 4-byte characters") << QString(QStringLiteral("😀")).repeated(25000);
    }

    void matchesRealLayout()
    {
        if (m_bodies.isEmpty())
            QSKIP("shared fixtures (attributed-bodies) not found; set VELTO_SHARED_DIR");
        QFETCH(QString, text);
        const QByteArray real = fixture(QStringLiteral("crabstep_AttributedBodyTextOnly.bin"));
        const QByteArray realText = "Noter test";
        const qsizetype at = real.indexOf(QByteArray(QByteArray("\x84\x01\x2b\x0a") + realText));
        QVERIFY(at > 0);
        const QByteArray head = real.left(at + 3);
        const QByteArray runHeader = "\x86\x84\x02iI\x01";
        const qsizetype run = real.indexOf(QByteArray(runHeader + '\x0a'), at);
        QVERIFY(run > 0);
        const QByteArray tail = real.mid(run + runHeader.size() + 1);

        const QByteArray utf8 = text.toUtf8();
        const QByteArray expected = head + encodedLength(utf8.size()) + utf8 + runHeader
                                  + encodedLength(text.size()) + tail;
        const QByteArray written = AttributedBody::plainText(text).encode();
        QCOMPARE(written.size(), expected.size());
        QVERIFY(written == expected);
    }

    // The simulator reads bodies back when it quotes a tapback's target; every real body with
    // a text gives that text.
    void readsTextOfRealBodies()
    {
        if (m_bodies.isEmpty())
            QSKIP("shared fixtures (attributed-bodies) not found; set VELTO_SHARED_DIR");
        int checked = 0;
        for (auto it = m_texts.cbegin(); it != m_texts.cend(); ++it) {
            if (it.value() == QLatin1String("#ERROR"))
                continue;
            const std::optional<QString> text = AttributedBody::readText(fixture(it.key()));
            QVERIFY2(text.has_value(), qPrintable(it.key()));
            QCOMPARE(*text, it.value());
            ++checked;
        }
        QVERIFY(checked >= 30);
        QVERIFY(!AttributedBody::readText(QByteArray("\x84\x01\x2b\x81\xff\x7f" "short", 11)).has_value());
        QVERIFY(!AttributedBody::readText(QByteArray("no archive here")).has_value());
    }

    // An attachment with a caption: two runs, the second a new dictionary, keys shared.
    void writesAttachmentRuns()
    {
        const QString guid = QStringLiteral("at_0_F0668F79-20C2-49C9-A87F-1B007ABB0CED");
        const QByteArray body = AttributedBody::attachment(guid, QStringLiteral("caption")).encode();
        QCOMPARE(AttributedBody::readText(body), QString(QChar(0xFFFC)) + QStringLiteral("caption"));
        // Run 1: dictionary 1 over one unit; run 2: dictionary 2 over the seven caption units.
        QVERIFY(body.contains(QByteArray("\x84\x02iI\x01\x01", 6)));
        QVERIFY(body.contains(QByteArray("\x99\x02\x07", 3)));
        QCOMPARE(body.count(guid.toUtf8()), 1);
        QCOMPARE(body.count(AttributedBody::messagePartKey.toUtf8()), 1); // the second run refers to the first key
        QVERIFY(body.endsWith(QByteArray("\x86\x86\x86", 3)));
        QCOMPARE(AttributedBody::attachment(guid, QString()).encode().count("iI"), 1);
    }
};

QTEST_GUILESS_MAIN(TestAttributedBodyWriter)
#include "tst_attributedbodywriter.moc"
