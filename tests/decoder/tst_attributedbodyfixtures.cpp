// Real message bodies from the shared fixtures, read in place, through both decoders.
#include "attributedstringdecoder.h"
#include "testsupport.h"
#include "typedstreamparser.h"

#include <plist/plist.h>

#include <QDir>
#include <QFile>
#include <QtTest>

#include <memory>

namespace {

const QString kError = QStringLiteral("#ERROR");

// INDEX.tsv writes line breaks, tabs and backslashes as escapes.
QString unescape(const QString& text)
{
    QString result;
    result.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c != u'\\' || i + 1 == text.size()) {
            result.append(c);
            continue;
        }
        const QChar next = text.at(++i);
        if (next == u'n')
            result.append(u'\n');
        else if (next == u'r')
            result.append(u'\r');
        else if (next == u't')
            result.append(u'\t');
        else
            result.append(next);
    }
    return result;
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QString bodiesDir()
{
    const QString fixtures = velto::test::fixturesDir();
    return fixtures.isEmpty() ? QString() : QDir(fixtures).filePath(QStringLiteral("attributed-bodies"));
}

struct PlistFree {
    void operator()(plist_t node) const { plist_free(node); }
};

} // namespace

class TestAttributedBodyFixtures : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void decodesEveryBody_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("expected");
        QTest::addColumn<QString>("file");

        const QString dir = bodiesDir();
        if (dir.isEmpty())
            QSKIP("shared fixtures folder absent (VELTO_SHARED_DIR/fixtures)");
        const QStringList lines = QString::fromUtf8(readFile(QDir(dir).filePath(QStringLiteral("INDEX.tsv")))).split(u'\n');
        QVERIFY2(lines.size() > 40, "INDEX.tsv unreadable or short");
        for (qsizetype i = 1; i < lines.size(); ++i) {
            if (lines[i].isEmpty())
                continue;
            const QStringList columns = lines[i].split(u'\t');
            QVERIFY2(columns.size() >= 2, qPrintable(lines[i]));
            const QByteArray body = readFile(QDir(dir).filePath(columns[0]));
            QVERIFY2(!body.isEmpty(), qPrintable(columns[0]));
            QTest::newRow(qPrintable(columns[0])) << body << unescape(columns[1]) << columns[0];
        }
    }

    void decodesEveryBody()
    {
        QFETCH(QByteArray, body);
        QFETCH(QString, expected);
        QFETCH(QString, file);

        const auto decoded = velto::decodeAttributedBody(body);
        if (expected == kError) {
            QVERIFY(!decoded);
            QCOMPARE(decoded.error().kind(), velto::DecoderError::Kind::decodingFailed);
            QCOMPARE(decoded.error().text(), QStringLiteral("NSUnarchiver returned nil"));
            return;
        }
        QVERIFY2(decoded, qPrintable(decoded ? QString() : decoded.error().description()));
        QCOMPARE(decoded->plainText.value_or(QString()), expected);
        // Only the blank body and the plain archive (an empty dictionary) have nothing at index 0.
        const bool bare = file == QLatin1String("crabstep_Blank.bin") || file == QLatin1String("crabstep_foundation_NSAttributedString.bin");
        QCOMPARE(decoded->metadata->hasAttributes, !bare);

        QCOMPARE(velto::TypedStreamParser::parseAttributedBody(body), expected);
    }

    // The scanner never fails: the malformed body still yields its readable words.
    void scannerReadsMalformedBody()
    {
        const QString dir = bodiesDir();
        if (dir.isEmpty())
            QSKIP("shared fixtures folder absent (VELTO_SHARED_DIR/fixtures)");
        const QString text = velto::TypedStreamParser::parseAttributedBody(readFile(QDir(dir).filePath(QStringLiteral("crabstep_ExtraData.bin"))));
        QVERIFY2(text.contains(QStringLiteral("This is parsing")), qPrintable(text));
    }

    // Every cut-off copy of a real body is rejected, never read past its end.
    void rejectsEveryTruncation()
    {
        const QString dir = bodiesDir();
        if (dir.isEmpty())
            QSKIP("shared fixtures folder absent (VELTO_SHARED_DIR/fixtures)");
        for (const char* name : {"crabstep_Transcription.bin", "crabstep_URL.bin", "crabstep_LongMessage.bin"}) {
            const QByteArray body = readFile(QDir(dir).filePath(QLatin1String(name)));
            QVERIFY(!body.isEmpty());
            for (qsizetype length = 1; length < body.size(); ++length) {
                const auto decoded = velto::decodeAttributedBody(body.left(length));
                QVERIFY2(!decoded, qPrintable(QStringLiteral("%1 cut to %2 bytes").arg(QLatin1String(name)).arg(length)));
                QCOMPARE(decoded.error().text(), QStringLiteral("NSUnarchiver returned nil"));
            }
        }
    }

    void readsAudioTranscription_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QString>("transcription");
        QTest::newRow("crabstep") << QStringLiteral("crabstep_Transcription.bin") << QStringLiteral("This is a test");
        QTest::newRow("bagoup") << QStringLiteral("bagoup_audio.bin")
                                << QStringLiteral("I don't think it's correct that I have the option to buy whatever number shares at "
                                                  "the same price as the other doesn't make any sense How am I winning here? Am I "
                                                  "getting those chairs?");
        QTest::newRow("plain message has none") << QStringLiteral("crabstep_TextStyles.bin") << QString();
    }

    void readsAudioTranscription()
    {
        QFETCH(QString, file);
        QFETCH(QString, transcription);
        const QString dir = bodiesDir();
        if (dir.isEmpty())
            QSKIP("shared fixtures folder absent (VELTO_SHARED_DIR/fixtures)");
        const auto found = velto::stringAttribute(readFile(QDir(dir).filePath(file)), QStringLiteral("IMAudioTranscription"));
        QCOMPARE(found.value_or(QString()), transcription);
        QCOMPARE(found.has_value(), !transcription.isEmpty());
    }

    // Runs that reuse an earlier dictionary by number: 🅱️ (3 units) message part, "Bold" bold,
    // "_" the first dictionary again, "Underline" underlined.
    void reusedAttributeDictionaries()
    {
        const QString dir = bodiesDir();
        if (dir.isEmpty())
            QSKIP("shared fixtures folder absent (VELTO_SHARED_DIR/fixtures)");
        const auto string = velto::decodeAttributedString(readFile(QDir(dir).filePath(QStringLiteral("crabstep_EmojiBoldUnderline.bin"))));
        QVERIFY(string);
        const QString bold = QStringLiteral("__kIMTextBoldAttributeName");
        const QString underline = QStringLiteral("__kIMTextUnderlineAttributeName");
        QVERIFY(!string->attributesAt(0).contains(bold));
        QVERIFY(string->attributesAt(3).contains(bold));
        QVERIFY(string->attributesAt(6).contains(bold));
        QCOMPARE(string->attributesAt(7), string->attributesAt(0));
        QVERIFY(string->attributesAt(8).contains(underline));
        QVERIFY(string->attributesAt(16).contains(underline));
    }

    // Edit histories keep each version's text as a typedstream inside a property list.
    void decodesEditHistoryVersions()
    {
        const QString fixtures = velto::test::fixturesDir();
        if (fixtures.isEmpty())
            QSKIP("shared fixtures folder absent (VELTO_SHARED_DIR/fixtures)");
        const QDir dir(QDir(fixtures).filePath(QStringLiteral("plists")));
        const QStringList lines = QString::fromUtf8(readFile(dir.filePath(QStringLiteral("INDEX.tsv")))).split(u'\n');
        int versions = 0;
        for (const QString& line : lines) {
            const QStringList columns = line.split(u'\t');
            // decoded_versions reads "ec[<part>]: <version> | <version> | …" for histories with text.
            if (columns.size() < 2 || !columns[1].startsWith(QLatin1String("ec[")))
                continue;
            const qsizetype close = columns[1].indexOf(QLatin1String("]: "));
            const QByteArray part = columns[1].mid(3, close - 3).toUtf8();
            const QStringList expected = columns[1].mid(close + 3).split(QStringLiteral(" | "));

            const QByteArray bytes = readFile(dir.filePath(columns[0]));
            plist_t parsed = nullptr;
            plist_from_memory(bytes.constData(), uint32_t(bytes.size()), &parsed);
            const std::unique_ptr<void, PlistFree> root(parsed);
            QVERIFY2(parsed, qPrintable(columns[0]));
            const plist_t history = plist_dict_get_item(plist_dict_get_item(parsed, "ec"), part.constData());
            QVERIFY2(history && plist_array_get_size(history) == uint32_t(expected.size()), qPrintable(columns[0]));
            for (uint32_t i = 0; i < plist_array_get_size(history); ++i) {
                uint64_t length = 0;
                const char* data = plist_get_data_ptr(plist_dict_get_item(plist_array_get_item(history, i), "t"), &length);
                const QByteArray body(data, qsizetype(length));
                const auto decoded = velto::decodeAttributedBody(body);
                QVERIFY2(decoded, qPrintable(columns[0]));
                QCOMPARE(decoded->plainText.value_or(QString()), expected[i]);
                QCOMPARE(velto::TypedStreamParser::parseAttributedBody(body), expected[i]);
                ++versions;
            }
        }
        QVERIFY2(versions >= 6, "fewer edit versions than the fixtures hold");
    }

    // A real keyed archive, though not a body: its root class is outside the allowed set.
    void rejectsRichLinkKeyedArchive()
    {
        const QString fixtures = velto::test::fixturesDir();
        if (fixtures.isEmpty())
            QSKIP("shared fixtures folder absent (VELTO_SHARED_DIR/fixtures)");
        const auto decoded = velto::decodeAttributedBody(readFile(QDir(fixtures).filePath(QStringLiteral("plists/imx_payload_URL.plist"))));
        QVERIFY(!decoded);
        QCOMPARE(decoded.error().kind(), velto::DecoderError::Kind::decodingFailed);
        QCOMPARE(decoded.error().text(), QStringLiteral("The archive holds an object of class \"RichLink\", which is not allowed here"));
    }
};

QTEST_APPLESS_MAIN(TestAttributedBodyFixtures)
#include "tst_attributedbodyfixtures.moc"
