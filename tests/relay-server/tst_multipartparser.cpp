#include "multipartparser.h"
#include "uploadstore.h"

#include <QTemporaryDir>
#include <QTest>

using namespace velto::relayserver;

namespace {

const QByteArray contentType = "multipart/form-data; boundary=B0UND-ARY";

// The body the relay's uploader writes, with the file name and data given.
QByteArray uploaderBody(const QByteArray& disposition, const QByteArray& data)
{
    return "--B0UND-ARY\r\n"
           "Content-Disposition: form-data; " + disposition + "\r\n"
           "Content-Type: image/png\r\n\r\n" + data + "\r\n"
           "--B0UND-ARY\r\n"
           "Content-Disposition: form-data; name=\"messageId\"\r\n\r\n"
           "42\r\n"
           "--B0UND-ARY--\r\n";
}

} // namespace

class TestMultipartParser : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void parsesWhatTheUploaderSends_data()
    {
        QTest::addColumn<QByteArray>("disposition");
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<QString>("fileName");

        QTest::newRow("plain") << QByteArray("name=\"file\"; filename=\"IMG_1.png\"") << QByteArray("\x89PNG\r\n\x1a\n", 8)
                               << QStringLiteral("IMG_1.png");
        QTest::newRow("escaped quote") << QByteArray("name=\"file\"; filename=\"say \\\"hi\\\".txt\"") << QByteArray("x")
                                       << QStringLiteral("say \"hi\".txt");
        QTest::newRow("utf-8 name") << QByteArray("name=\"file\"; filename=\"f\xc3\xbcr.jpg\"") << QByteArray("y")
                                    << QStringLiteral("für.jpg");
        QTest::newRow("empty file") << QByteArray("name=\"file\"; filename=\"e\"") << QByteArray() << QStringLiteral("e");
        // Bytes that look like a boundary but are not one at a line start stay part of the data.
        QTest::newRow("boundary-like data") << QByteArray("name=\"file\"; filename=\"d\"")
                                            << QByteArray("--B0UND-ARY--\r\n--B0UND-AR") << QStringLiteral("d");
    }

    void parsesWhatTheUploaderSends()
    {
        QFETCH(QByteArray, disposition);
        QFETCH(QByteArray, data);
        QFETCH(QString, fileName);
        const auto parts = MultipartParser::parse(contentType, uploaderBody(disposition, data));
        QVERIFY2(parts.ok(), parts.ok() ? "" : qPrintable(parts.error().description()));
        QCOMPARE(parts->size(), 2);
        QCOMPARE(parts->at(0).name, QStringLiteral("file"));
        QCOMPARE(parts->at(0).fileName, std::optional<QString>(fileName));
        QCOMPARE(parts->at(0).contentType, QByteArray("image/png"));
        QCOMPARE(parts->at(0).data, data);
        QCOMPARE(parts->at(1).name, QStringLiteral("messageId"));
        QVERIFY(!parts->at(1).fileName.has_value());
        QCOMPARE(parts->at(1).data, QByteArray("42"));
    }

    void toleratesPreambleQuotedBoundaryAndPadding()
    {
        const QByteArray body = "ignored preamble\r\n--a b\t \r\ncontent-disposition: form-data; name=x\r\n\r\n1\r\n--a b--";
        const auto parts = MultipartParser::parse("Multipart/Form-Data; charset=utf-8; boundary=\"a b\"", body);
        QVERIFY2(parts.ok(), parts.ok() ? "" : qPrintable(parts.error().description()));
        QCOMPARE(parts->size(), 1);
        QCOMPARE(parts->at(0).name, QStringLiteral("x"));
        QCOMPARE(parts->at(0).data, QByteArray("1"));
    }

    void refusesMalformedBodies_data()
    {
        QTest::addColumn<QByteArray>("type");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<int>("error");
        using Code = MultipartError::Code;
        const QByteArray good = uploaderBody("name=\"file\"; filename=\"a\"", "data");
        const QByteArray part = "--B0UND-ARY\r\nContent-Disposition: form-data; name=\"p\"\r\n\r\nv\r\n";

        QTest::newRow("not multipart") << QByteArray("application/json") << good << int(Code::notMultipart);
        QTest::newRow("no boundary") << QByteArray("multipart/form-data") << good << int(Code::badBoundary);
        QTest::newRow("boundary too long") << QByteArray("multipart/form-data; boundary=" + QByteArray(71, 'b')) << good
                                           << int(Code::badBoundary);
        QTest::newRow("boundary with CR") << QByteArray("multipart/form-data; boundary=\"a\rb\"") << good
                                          << int(Code::badBoundary);
        QTest::newRow("other boundary") << QByteArray("multipart/form-data; boundary=other") << good
                                        << int(Code::missingOpeningBoundary);
        QTest::newRow("empty body") << contentType << QByteArray() << int(Code::missingOpeningBoundary);
        QTest::newRow("truncated data") << contentType << good.left(good.indexOf("data") + 2)
                                        << int(Code::missingClosingBoundary);
        QTest::newRow("no closing delimiter") << contentType << part << int(Code::missingClosingBoundary);
        QTest::newRow("truncated headers") << contentType << QByteArray("--B0UND-ARY\r\nContent-Disp")
                                           << int(Code::missingClosingBoundary);
        QTest::newRow("garbage after delimiter") << contentType << QByteArray("--B0UND-ARYxx\r\n") + part
                                                 << int(Code::malformedPart);
        QTest::newRow("folded header") << contentType
                                       << QByteArray("--B0UND-ARY\r\nContent-Disposition: form-data; name=p\r\n"
                                                     " continued\r\n\r\nv\r\n--B0UND-ARY--")
                                       << int(Code::malformedPart);
        QTest::newRow("bare LF in header") << contentType
                                           << QByteArray("--B0UND-ARY\r\nX: 1\nContent-Disposition: form-data; name=p"
                                                         "\r\n\r\nv\r\n--B0UND-ARY--")
                                           << int(Code::malformedPart);
        QTest::newRow("unterminated quote") << contentType
                                            << QByteArray("--B0UND-ARY\r\nContent-Disposition: form-data; name=\"p\r\n\r\n"
                                                          "v\r\n--B0UND-ARY--")
                                            << int(Code::missingContentDisposition);
        QTest::newRow("no disposition") << contentType
                                        << QByteArray("--B0UND-ARY\r\nContent-Type: text/plain\r\n\r\nv\r\n--B0UND-ARY--")
                                        << int(Code::missingContentDisposition);
        QTest::newRow("no headers") << contentType << QByteArray("--B0UND-ARY\r\n\r\nv\r\n--B0UND-ARY--")
                                    << int(Code::missingContentDisposition);
        QTest::newRow("headers too large")
            << contentType
            << QByteArray("--B0UND-ARY\r\nContent-Disposition: form-data; name=p\r\nX: " + QByteArray(9000, 'x')
                          + "\r\n\r\nv\r\n--B0UND-ARY--")
            << int(Code::headersTooLarge);
        QTest::newRow("too many parts") << contentType << part.repeated(17) + "--B0UND-ARY--" << int(Code::tooManyParts);
    }

    void refusesMalformedBodies()
    {
        QFETCH(QByteArray, type);
        QFETCH(QByteArray, body);
        QFETCH(int, error);
        const auto parts = MultipartParser::parse(type, body);
        QVERIFY(!parts.ok());
        QCOMPARE(int(parts.error().code()), error);
    }

    void storedNamesStayInsideTheFolder_data()
    {
        QTest::addColumn<QString>("sent");
        QTest::addColumn<QString>("stored");
        QTest::newRow("ordinary") << QStringLiteral("IMG_0001.HEIC") << QStringLiteral("IMG_0001.HEIC");
        QTest::newRow("parent path") << QStringLiteral("../../etc/passwd") << QStringLiteral("passwd");
        QTest::newRow("windows path") << QStringLiteral("..\\..\\boot.ini") << QStringLiteral("boot.ini");
        QTest::newRow("dot-dot") << QStringLiteral("..") << QStringLiteral("file");
        QTest::newRow("hidden") << QStringLiteral(".bashrc") << QStringLiteral("bashrc");
        QTest::newRow("trailing slash") << QStringLiteral("dir/") << QStringLiteral("file");
        QTest::newRow("empty") << QString() << QStringLiteral("file");
        QTest::newRow("control characters") << QStringLiteral("a\r\nb\x01.txt") << QStringLiteral("a__b_.txt");
        QTest::newRow("emoji kept") << QStringLiteral("🎉 party.png") << QStringLiteral("🎉 party.png");
        QTest::newRow("long name") << QString(300, QLatin1Char('n')) << QString(200, QLatin1Char('n'));
        QTest::newRow("long emoji name") << QStringLiteral("😀").repeated(60) << QStringLiteral("😀").repeated(50);
    }

    void storedNamesStayInsideTheFolder()
    {
        QFETCH(QString, sent);
        QFETCH(QString, stored);
        QCOMPARE(UploadStore::safeFileName(sent), stored);

        QTemporaryDir dir;
        UploadStore store(dir.path());
        QVERIFY(store.open().ok());
        const auto file = store.store(sent, "payload");
        QVERIFY(file.ok());
        QCOMPARE(file->fileName, stored);
        const QString path = store.resolve(file->storagePath);
        QVERIFY2(path.startsWith(QFileInfo(dir.path()).canonicalFilePath() + QLatin1Char('/')), qPrintable(path));
        QFile written(path);
        QVERIFY(written.open(QIODevice::ReadOnly));
        QCOMPARE(written.readAll(), QByteArray("payload"));
    }

    void resolveRefusesPathsOutsideTheStore_data()
    {
        QTest::addColumn<QString>("path");
        QTest::newRow("parent") << QStringLiteral("../outside");
        QTest::newRow("nested parent") << QStringLiteral("x/../../outside");
        QTest::newRow("absolute") << QStringLiteral("/etc/passwd");
        QTest::newRow("single component") << QStringLiteral("outside");
        QTest::newRow("symlink out") << QStringLiteral("link/outside");
    }

    void resolveRefusesPathsOutsideTheStore()
    {
        QFETCH(QString, path);
        QTemporaryDir root;
        const QString storage = root.filePath(QStringLiteral("storage"));
        UploadStore store(storage);
        QVERIFY(store.open().ok());
        QFile outside(root.filePath(QStringLiteral("outside")));
        QVERIFY(outside.open(QIODevice::WriteOnly));
        outside.write("secret");
        outside.close();
        QVERIFY(QFile::link(root.path(), QDir(storage).filePath(QStringLiteral("link"))));
        QCOMPARE(store.resolve(path), QString());
    }
};

QTEST_GUILESS_MAIN(TestMultipartParser)
#include "tst_multipartparser.moc"
