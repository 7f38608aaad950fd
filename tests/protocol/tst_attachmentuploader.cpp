// The attachment uploader against the real reference server over loopback. A tap between the
// two keeps every byte the uploader writes, so the multipart body is compared as it travels;
// a small scripted peer plays the answers the reference server never gives on purpose.
#include "attachmentuploader.h"
#include "relayserverharness.h"
#include "testsupport.h"
#include "task.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QThread>

#include <atomic>

using namespace velto;

Q_DECLARE_METATYPE(velto::UploadResult)
Q_DECLARE_METATYPE(std::optional<QString>)

namespace velto {

QString describe(const std::optional<QString>& text)
{
    return text ? QLatin1Char('"') + *text + QLatin1Char('"') : QStringLiteral("none");
}

// Readable failure messages for QCOMPARE.
char* toString(const UploadResult& result)
{
    return qstrdup(qPrintable(QStringLiteral("{success %1, path %2, url %3, error %4}")
                                  .arg(result.success ? QStringLiteral("yes") : QStringLiteral("no"),
                                       describe(result.storagePath), describe(result.storageUrl),
                                       describe(result.error))));
}

char* toString(const ReceivedAttachment& a)
{
    return qstrdup(qPrintable(QStringLiteral("{missing %1, %2, %3, %4, %5, %6 bytes, sticker %7, %8, path %9, url %10}")
                                  .arg(a.missing ? QStringLiteral("yes") : QStringLiteral("no"), a.mimeType, a.uti,
                                       a.filename, a.originalPath, QString::number(a.totalBytes),
                                       a.isSticker ? QStringLiteral("yes") : QStringLiteral("no"), a.transferName,
                                       describe(a.storagePath))
                                  .arg(describe(a.storageUrl))));
}

} // namespace velto

namespace {

const QString apiKey = QStringLiteral("uploader-key");

QByteArray randomBytes(qsizetype size, quint32 seed)
{
    QRandomGenerator random(seed);
    QByteArray bytes(size, Qt::Uninitialized);
    for (char& c : bytes)
        c = char(random.bounded(256));
    return bytes;
}

// Image-like content that also holds what a careless multipart writer or reader could trip on.
QByteArray imageBytes()
{
    return QByteArray("\x89PNG\r\n\x1a\n", 8) + randomBytes(700 * 1024, 7) + QByteArray("\r\n--\0\r\n", 7)
           + randomBytes(333 * 1024 + 5, 8);
}

bool writeFile(const QString& path, const QByteArray& bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// One HTTP request as it crossed the wire.
struct WireRequest {
    QByteArray requestLine;
    QList<QPair<QByteArray, QByteArray>> headers;
    QByteArray body;

    QByteArray header(const QByteArray& name) const
    {
        for (const auto& [key, value] : headers) {
            if (key.compare(name, Qt::CaseInsensitive) == 0)
                return value;
        }
        return {};
    }
    int headerCount(const QByteArray& name) const
    {
        return int(std::count_if(headers.begin(), headers.end(),
                                 [&](const auto& h) { return h.first.compare(name, Qt::CaseInsensitive) == 0; }));
    }
};

// The first complete request in `bytes`, if there is one yet.
std::optional<WireRequest> firstRequest(const QByteArray& bytes)
{
    const qsizetype end = bytes.indexOf("\r\n\r\n");
    if (end < 0)
        return std::nullopt;
    WireRequest request;
    const QList<QByteArray> lines = bytes.left(end).split('\n');
    request.requestLine = lines.first().trimmed();
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray line = lines.at(i).chopped(1); // the '\r'
        const qsizetype colon = line.indexOf(':');
        request.headers.append({line.left(colon), line.mid(colon + 1).trimmed()});
    }
    const qsizetype length = request.header("Content-Length").toLongLong();
    if (bytes.size() < end + 4 + length)
        return std::nullopt;
    request.body = bytes.mid(end + 4, length);
    return request;
}

// The body exactly as the server expects it, written out from the format rather than from the
// uploader's own code.
QByteArray expectedBody(const QByteArray& boundary, const QByteArray& wireName, const QByteArray& wireMime,
                        const QByteArray& content, const QByteArray& messageId)
{
    return "--" + boundary + "\r\n"
           "Content-Disposition: form-data; name=\"file\"; filename=\"" + wireName + "\"\r\n"
           "Content-Type: " + wireMime + "\r\n"
           "\r\n" + content + "\r\n"
           "--" + boundary + "\r\n"
           "Content-Disposition: form-data; name=\"messageId\"\r\n"
           "\r\n" + messageId + "\r\n"
           "--" + boundary + "--\r\n";
}

QString wsUrlFor(quint16 port)
{
    return QStringLiteral("ws://127.0.0.1:%1/relay").arg(port);
}

// A loopback hop to the reference server that keeps a copy of what each client connection sent.
class Tap : public QObject {
public:
    explicit Tap(quint16 upstreamPort)
    {
        server.listen(QHostAddress::LocalHost);
        connect(&server, &QTcpServer::newConnection, this, [this, upstreamPort] {
            while (QTcpSocket* down = server.nextPendingConnection()) {
                auto* up = new QTcpSocket(down);
                const qsizetype index = sent.size();
                sent.append(QByteArray());
                connect(down, &QTcpSocket::readyRead, this, [this, down, up, index] {
                    const QByteArray bytes = down->readAll();
                    sent[index] += bytes;
                    up->write(bytes);
                });
                connect(up, &QTcpSocket::readyRead, down, [down, up] { down->write(up->readAll()); });
                connect(up, &QTcpSocket::disconnected, down, &QTcpSocket::disconnectFromHost);
                up->connectToHost(QHostAddress::LocalHost, upstreamPort);
            }
        });
    }
    QString url() const { return wsUrlFor(server.serverPort()); }

    QTcpServer server;
    QList<QByteArray> sent; // one entry per connection
};

// Answers every complete request with `answer` (nothing at all when it is empty) and closes.
class ScriptedPeer : public QObject {
public:
    explicit ScriptedPeer(QByteArray answer) : m_answer(std::move(answer))
    {
        server.listen(QHostAddress::LocalHost);
        connect(&server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* socket = server.nextPendingConnection()) {
                auto* received = new QByteArray;
                connect(socket, &QObject::destroyed, this, [received] { delete received; });
                connect(socket, &QTcpSocket::readyRead, this, [this, socket, received] {
                    received->append(socket->readAll());
                    if (!firstRequest(*received))
                        return;
                    ++requests;
                    if (!m_answer.isEmpty()) {
                        socket->write(m_answer);
                        socket->disconnectFromHost();
                    }
                });
            }
        });
    }
    QString url() const { return wsUrlFor(server.serverPort()); }

    QTcpServer server;
    int requests = 0;

private:
    QByteArray m_answer;
};

QByteArray httpAnswer(int status, const QByteArray& reason, const QByteArray& body, const QByteArray& extra = {})
{
    return "HTTP/1.1 " + QByteArray::number(status) + ' ' + reason + "\r\n" + extra
           + "Content-Length: " + QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
}

UploadResult upload(AttachmentUploader& uploader, const MessageAttachment& attachment,
                    const QString& messageId = QStringLiteral("message-1"))
{
    return QCoro::waitFor(uploader.uploadAttachment(attachment, messageId));
}

MessageAttachment attachmentAt(const QString& filename, const QString& transferName = {},
                               const QString& mimeType = QStringLiteral("image/png"))
{
    MessageAttachment attachment;
    attachment.filename = filename;
    attachment.transferName = transferName;
    attachment.mimeType = mimeType;
    attachment.uti = QStringLiteral("public.png");
    attachment.totalBytes = 1234;
    return attachment;
}

UploadResult failed(const QString& text)
{
    UploadResult result;
    result.error = text;
    return result;
}

UploadResult succeeded(std::optional<QString> path, std::optional<QString> url)
{
    UploadResult result;
    result.success = true;
    result.storagePath = std::move(path);
    result.storageUrl = std::move(url);
    return result;
}

QCoro::Task<> uploadInto(AttachmentUploader* uploader, MessageAttachment attachment, UploadResult* result,
                         std::atomic_bool* done)
{
    *result = co_await uploader->uploadAttachment(attachment, QStringLiteral("message-1"));
    *done = true;
}

} // namespace

class TestAttachmentUploader : public QObject {
    Q_OBJECT
private:
    test::TemporaryHome m_home;
    QTemporaryDir m_storage;
    RelayServerHarness m_server;
    RelayServerHarness m_smallServer; // accepts at most 1024 bytes

    QString homePath(const QString& relative) const { return m_home.path() + QLatin1Char('/') + relative; }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_home.isValid());
        QVERIFY(m_storage.isValid());
        QVERIFY2(m_server.start({QStringLiteral("--api-key"), apiKey, QStringLiteral("--storage-dir"), m_storage.path()}),
                 qPrintable(m_server.errorString()));
        QVERIFY2(m_smallServer.start({QStringLiteral("--api-key"), apiKey, QStringLiteral("--max-upload-bytes"),
                                      QStringLiteral("1024")}),
                 qPrintable(m_smallServer.errorString()));
    }

    void sendsTheBodyOnTheWire_data()
    {
        QTest::addColumn<QString>("transferName");
        QTest::addColumn<QString>("mimeType");
        QTest::addColumn<QByteArray>("wireName");
        QTest::addColumn<QByteArray>("wireMime");
        QTest::addColumn<QString>("nameServerRead");

        const QString png = QStringLiteral("image/png");
        const QByteArray pngWire = "image/png";
        QTest::newRow("image") << QStringLiteral("photo.png") << png << QByteArray("photo.png") << pngWire
                               << QStringLiteral("photo.png");
        QTest::newRow("no transfer name: the file's own name")
            << QString() << png << QByteArray("IMG_0001.png") << pngWire << QStringLiteral("IMG_0001.png");
        QTest::newRow("line breaks and quotes")
            << QStringLiteral("Invoice\"\r\nContent-Type: text/html\r\n\r\n<b>.png") << png
            << QByteArray("Invoice\\\"Content-Type: text/html<b>.png") << pngWire
            << QStringLiteral("Invoice\"Content-Type: text/html<b>.png");
        QTest::newRow("backslash before a quote")
            << QStringLiteral("a\\\"; name=\"messageId") << png << QByteArray("a\\\\\\\"; name=\\\"messageId")
            << pngWire << QStringLiteral("a\\\"; name=\"messageId");
        QTest::newRow("other control characters")
            << QStringLiteral("a\tb") + QChar(0) + QChar(1) + QStringLiteral("c") + QChar(0x7f) + QStringLiteral(".txt")
            << png << QByteArray("a\tbc.txt") << pngWire << QStringLiteral("a\tbc.txt");
        QTest::newRow("path in the name") << QStringLiteral("../../../etc/passwd") << png
                                          << QByteArray("../../../etc/passwd") << pngWire
                                          << QStringLiteral("../../../etc/passwd");
        QTest::newRow("non-ASCII name") << QStringLiteral("Résumé 😀.pdf") << QStringLiteral("application/pdf")
                                        << QStringLiteral("Résumé 😀.pdf").toUtf8() << QByteArray("application/pdf")
                                        << QStringLiteral("Résumé 😀.pdf");
        QTest::newRow("structured subtype") << QStringLiteral("a.svg") << QStringLiteral("image/svg+xml")
                                            << QByteArray("a.svg") << QByteArray("image/svg+xml")
                                            << QStringLiteral("a.svg");
        const QByteArray octets = "application/octet-stream";
        QTest::newRow("MIME type with a line break")
            << QStringLiteral("a.png") << QStringLiteral("image/png\r\nX-Injected: 1") << QByteArray("a.png") << octets
            << QStringLiteral("a.png");
        QTest::newRow("empty MIME type") << QStringLiteral("a.png") << QString() << QByteArray("a.png") << octets
                                         << QStringLiteral("a.png");
        QTest::newRow("MIME type without subtype") << QStringLiteral("a.png") << QStringLiteral("image")
                                                   << QByteArray("a.png") << octets << QStringLiteral("a.png");
        QTest::newRow("MIME type with a space") << QStringLiteral("a.png") << QStringLiteral("image/p ng")
                                                << QByteArray("a.png") << octets << QStringLiteral("a.png");
    }
    void sendsTheBodyOnTheWire()
    {
        QFETCH(QString, transferName);
        QFETCH(QString, mimeType);
        QFETCH(QByteArray, wireName);
        QFETCH(QByteArray, wireMime);
        QFETCH(QString, nameServerRead);

        const QByteArray content = imageBytes();
        QVERIFY(writeFile(homePath(QStringLiteral("Library/Messages/Attachments/ab/IMG_0001.png")), content));
        Tap tap(m_server.port());
        AttachmentUploader uploader;
        uploader.initialize(tap.url(), apiKey);
        const qint64 since = m_server.lastSeq();

        const UploadResult result = upload(uploader,
                                           attachmentAt(QStringLiteral("~/Library/Messages/Attachments/ab/IMG_0001.png"),
                                                        transferName, mimeType),
                                           QStringLiteral("9B0C0E4E-1111-4222-8333-444455556666"));
        QVERIFY2(result.success, qPrintable(result.error.value_or(QString())));

        QCOMPARE(tap.sent.size(), 1);
        const std::optional<WireRequest> request = firstRequest(tap.sent.first());
        QVERIFY(request);
        QCOMPARE(request->requestLine, QByteArray("POST /api/v1/relay/attachments/upload HTTP/1.1"));
        QCOMPARE(request->header("X-API-Key"), apiKey.toUtf8());
        QCOMPARE(request->headerCount("Content-Type"), 1);
        const QByteArray contentType = request->header("Content-Type");
        const QRegularExpression form(QStringLiteral(
            "^multipart/form-data; boundary=([0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12})$"));
        const QRegularExpressionMatch match = form.match(QString::fromLatin1(contentType));
        QVERIFY2(match.hasMatch(), contentType.constData());
        const QByteArray boundary = match.captured(1).toLatin1();
        QCOMPARE(request->body, expectedBody(boundary, wireName, wireMime, content,
                                             "9B0C0E4E-1111-4222-8333-444455556666"));

        // The server read the same name and type back, and stored the bytes unchanged.
        const auto stored = m_server.waitForEventType(QStringLiteral("UPLOAD"), 5000, since);
        QVERIFY(stored);
        QCOMPARE(stored->value(QStringLiteral("fileName")).toString(), nameServerRead);
        QCOMPARE(stored->value(QStringLiteral("mimeType")).toString(), QString::fromUtf8(wireMime));
        QCOMPARE(stored->value(QStringLiteral("messageId")).toString(),
                 QStringLiteral("9B0C0E4E-1111-4222-8333-444455556666"));
        const QString storedFile = stored->value(QStringLiteral("storedFile")).toString();
        QVERIFY(QFileInfo(storedFile).canonicalFilePath().startsWith(QDir(m_storage.path()).canonicalPath() + QLatin1Char('/')));
        QCOMPARE(readFile(storedFile), content);
        QCOMPARE(result, succeeded(stored->value(QStringLiteral("storagePath")).toString(),
                                   stored->value(QStringLiteral("storageUrl")).toString()));
    }

    // Records keep the row's metadata in input order, carry the server's answer, and a failure
    // in the middle neither stops the rest nor makes a request.
    void answersBecomeRecords()
    {
        const QByteArray first = imageBytes();
        const QByteArray second = randomBytes(4096, 3);
        QVERIFY(writeFile(homePath(QStringLiteral("Library/Messages/Attachments/01/one.jpg")), first));
        QVERIFY(writeFile(homePath(QStringLiteral("elsewhere/two.mov")), second));

        MessageAttachment one = attachmentAt(QStringLiteral("~/Library/Messages/Attachments/01/one.jpg"),
                                             QStringLiteral("Holiday.jpg"), QStringLiteral("image/jpeg"));
        one.uti = QStringLiteral("public.jpeg");
        one.totalBytes = quint64(first.size());
        MessageAttachment gone = attachmentAt(QStringLiteral("~/Library/Messages/Attachments/02/gone.heic"),
                                              QStringLiteral("gone.heic"), QStringLiteral("image/heic"));
        gone.isSticker = true;
        MessageAttachment two = attachmentAt(homePath(QStringLiteral("elsewhere/two.mov")), QString(),
                                             QStringLiteral("video/quicktime"));
        two.uti = QStringLiteral("com.apple.quicktime-movie");
        two.totalBytes = 1; // the row's figure travels as it is, whatever the file's size

        Tap tap(m_server.port());
        AttachmentUploader uploader;
        uploader.initialize(tap.url(), apiKey);
        const qint64 since = m_server.lastSeq();
        const QList<ReceivedAttachment> records =
            QCoro::waitFor(uploader.uploadAttachments({one, gone, two}, QStringLiteral("historical-42")));

        const QList<QJsonObject> uploads = [&] {
            QList<QJsonObject> found;
            for (const QJsonObject& event : m_server.events(since)) {
                if (event.value(QStringLiteral("type")).toString() == QLatin1String("UPLOAD"))
                    found.append(event);
            }
            return found;
        }();
        QCOMPARE(uploads.size(), 2);
        QCOMPARE(readFile(uploads.at(0).value(QStringLiteral("storedFile")).toString()), first);
        QCOMPARE(readFile(uploads.at(1).value(QStringLiteral("storedFile")).toString()), second);
        QCOMPARE(uploads.at(1).value(QStringLiteral("fileName")).toString(), QStringLiteral("two.mov"));
        for (const QJsonObject& event : uploads)
            QCOMPARE(event.value(QStringLiteral("messageId")).toString(), QStringLiteral("historical-42"));
        int requests = 0;
        for (const QByteArray& connection : tap.sent)
            requests += int(connection.count("POST /api/v1/relay/attachments/upload"));
        QCOMPARE(requests, 2);

        ReceivedAttachment expectedOne{false,
                                       QStringLiteral("image/jpeg"),
                                       QStringLiteral("public.jpeg"),
                                       one.filename,
                                       homePath(QStringLiteral("Library/Messages/Attachments/01/one.jpg")),
                                       quint64(first.size()),
                                       false,
                                       QStringLiteral("Holiday.jpg"),
                                       uploads.at(0).value(QStringLiteral("storagePath")).toString(),
                                       uploads.at(0).value(QStringLiteral("storageUrl")).toString()};
        ReceivedAttachment expectedGone{true,
                                        QStringLiteral("image/heic"),
                                        QStringLiteral("public.png"),
                                        gone.filename,
                                        homePath(QStringLiteral("Library/Messages/Attachments/02/gone.heic")),
                                        1234,
                                        true,
                                        QStringLiteral("gone.heic"),
                                        std::nullopt,
                                        std::nullopt};
        ReceivedAttachment expectedTwo{false,
                                       QStringLiteral("video/quicktime"),
                                       QStringLiteral("com.apple.quicktime-movie"),
                                       two.filename,
                                       two.filename,
                                       1,
                                       false,
                                       QString(),
                                       uploads.at(1).value(QStringLiteral("storagePath")).toString(),
                                       uploads.at(1).value(QStringLiteral("storageUrl")).toString()};
        QCOMPARE(records.size(), 3);
        QCOMPARE(records.at(0), expectedOne);
        QCOMPARE(records.at(1), expectedGone);
        QCOMPARE(records.at(2), expectedTwo);
    }

    void failsBeforeSending_data()
    {
        QTest::addColumn<bool>("initialized");
        QTest::addColumn<QString>("filename"); // relative to the home folder unless it starts with "~"
        QTest::addColumn<qint64>("sparseSize"); // -1: no file is made
        QTest::addColumn<QString>("expected");  // "{home}" stands for the home folder

        QTest::newRow("not initialised") << false << QStringLiteral("a.png") << qint64(10)
                                         << QStringLiteral("Attachment uploader not initialized");
        QTest::newRow("missing file") << true << QStringLiteral("none.png") << qint64(-1)
                                      << QStringLiteral("File not found: {home}/none.png");
        QTest::newRow("missing file under ~") << true << QStringLiteral("~/Library/none.png") << qint64(-1)
                                              << QStringLiteral("File not found: {home}/Library/none.png");
        QTest::newRow("one byte over 100 MiB") << true << QStringLiteral("big.mov") << qint64(104857601)
                                               << QStringLiteral("File exceeds 100MB limit");
    }
    void failsBeforeSending()
    {
        QFETCH(bool, initialized);
        QFETCH(QString, filename);
        QFETCH(qint64, sparseSize);
        QFETCH(QString, expected);

        const QString path = filename.startsWith(QLatin1Char('~')) ? filename : homePath(filename);
        if (sparseSize >= 0) {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly) && file.resize(sparseSize)); // sparse: no disk used
        }
        Tap tap(m_server.port());
        AttachmentUploader uploader;
        if (initialized)
            uploader.initialize(tap.url(), apiKey);

        const QList<ReceivedAttachment> records =
            QCoro::waitFor(uploader.uploadAttachments({attachmentAt(path)}, QStringLiteral("m")));
        QCOMPARE(upload(uploader, attachmentAt(path)), failed(QString(expected).replace(QStringLiteral("{home}"), m_home.path())));
        QCOMPARE(records.size(), 1);
        QVERIFY(records.first().missing);
        QVERIFY(!records.first().storagePath && !records.first().storageUrl);
        QTest::qWait(50);
        QCOMPARE(tap.server.hasPendingConnections() || !tap.sent.isEmpty(), false);
    }

    void serverRefusals_data()
    {
        QTest::addColumn<bool>("small"); // the server that takes at most 1024 bytes
        QTest::addColumn<std::optional<QString>>("key");
        QTest::addColumn<QString>("expected");

        QTest::newRow("wrong key") << false << std::optional(QStringLiteral("not-the-key"))
                                   << QStringLiteral("Upload failed: {\"error\":\"Invalid API key\"}");
        QTest::newRow("no key") << false << std::optional<QString>()
                                << QStringLiteral("Upload failed: {\"error\":\"Missing API key\"}");
        QTest::newRow("too large for the server") << true << std::optional(apiKey)
                                                  << QStringLiteral(
                                                         "Upload failed: {\"error\":\"File exceeds 1024 bytes limit\"}");
    }
    void serverRefusals()
    {
        QFETCH(bool, small);
        QFETCH(std::optional<QString>, key);
        QFETCH(QString, expected);

        const QString path = homePath(QStringLiteral("refused.png"));
        QVERIFY(writeFile(path, randomBytes(2048, 5)));
        RelayServerHarness& server = small ? m_smallServer : m_server;
        AttachmentUploader uploader;
        uploader.initialize(server.wsUrl().toString(), key);
        const qint64 since = server.lastSeq();

        QCOMPARE(upload(uploader, attachmentAt(path)), failed(expected));
        const QList<ReceivedAttachment> records =
            QCoro::waitFor(uploader.uploadAttachments({attachmentAt(path)}, QStringLiteral("m")));
        QCOMPARE(records.size(), 1);
        QVERIFY(records.first().missing);
        QVERIFY(!records.first().storagePath);
        QVERIFY(!server.waitForEventType(QStringLiteral("UPLOAD"), 200, since));
    }

    // Answers the reference server does not give on purpose.
    void otherAnswers_data()
    {
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<UploadResult>("expected");

        QTest::newRow("200 with both members")
            << httpAnswer(200, "OK", "{\"storage_path\":\"a/b.png\",\"storage_url\":\"http://x/a/b.png\"}")
            << succeeded(QStringLiteral("a/b.png"), QStringLiteral("http://x/a/b.png"));
        QTest::newRow("200 with an empty body") << httpAnswer(200, "OK", {}) << succeeded(std::nullopt, std::nullopt);
        QTest::newRow("200 with members that are not text")
            << httpAnswer(200, "OK", "{\"storage_path\":5,\"storage_url\":null}") << succeeded(std::nullopt, std::nullopt);
        QTest::newRow("200 with an array") << httpAnswer(200, "OK", "[\"a\",\"b\"]") << succeeded(std::nullopt, std::nullopt);
        QTest::newRow("413 with plain text") << httpAnswer(413, "Payload Too Large", "Too big")
                                             << failed(QStringLiteral("Upload failed: Too big"));
        QTest::newRow("503 with an empty body") << httpAnswer(503, "Service Unavailable", {})
                                                << failed(QStringLiteral("Upload failed: "));
        QTest::newRow("500 that is not UTF-8") << httpAnswer(500, "Internal Server Error", "bad \xff\xfe")
                                               << failed(QStringLiteral("Upload failed: Unknown error"));
        QTest::newRow("redirect not followed")
            << httpAnswer(307, "Temporary Redirect", "moved", "Location: http://127.0.0.1:9/elsewhere\r\n")
            << failed(QStringLiteral("Upload failed: moved"));
    }
    void otherAnswers()
    {
        QFETCH(QByteArray, answer);
        QFETCH(UploadResult, expected);

        const QString path = homePath(QStringLiteral("answered.png"));
        QVERIFY(writeFile(path, randomBytes(3000, 9)));
        ScriptedPeer peer(answer);
        AttachmentUploader uploader;
        uploader.initialize(peer.url(), apiKey);
        QCOMPARE(upload(uploader, attachmentAt(path)), expected);
        QCOMPARE(peer.requests, 1);
    }

    void transportFailures_data()
    {
        QTest::addColumn<QString>("peerKind");
        QTest::addColumn<QString>("expected");
        QTest::newRow("nobody listening") << QStringLiteral("closed") << QStringLiteral("Connection refused");
        QTest::newRow("closed without an answer") << QStringLiteral("hang up") << QStringLiteral("Connection closed");
        QTest::newRow("no progress within the time-out") << QStringLiteral("silent") << QStringLiteral("Operation canceled");
    }
    void transportFailures()
    {
        QFETCH(QString, peerKind);
        QFETCH(QString, expected);

        const QString path = homePath(QStringLiteral("lost.png"));
        QVERIFY(writeFile(path, randomBytes(3000, 11)));
        QString url;
        std::unique_ptr<ScriptedPeer> peer;
        QTcpServer hangUp;
        if (peerKind == QLatin1String("closed")) {
            QTcpServer closed;
            QVERIFY(closed.listen(QHostAddress::LocalHost));
            url = wsUrlFor(closed.serverPort());
        } else if (peerKind == QLatin1String("hang up")) {
            QVERIFY(hangUp.listen(QHostAddress::LocalHost));
            connect(&hangUp, &QTcpServer::newConnection, this, [&hangUp] {
                while (QTcpSocket* socket = hangUp.nextPendingConnection()) {
                    connect(socket, &QTcpSocket::readyRead, socket, [socket] { socket->abort(); });
                }
            });
            url = wsUrlFor(hangUp.serverPort());
        } else {
            peer = std::make_unique<ScriptedPeer>(QByteArray());
            url = peer->url();
        }
        AttachmentUploader uploader(nullptr, std::chrono::milliseconds(300));
        uploader.initialize(url, apiKey);
        QCOMPARE(upload(uploader, attachmentAt(path)), failed(expected));
    }

    void unusableServerAddress_data()
    {
        QTest::addColumn<QString>("serverUrl");
        QTest::addColumn<QString>("expected");
        QTest::newRow("space in the host") << QStringLiteral("ws://exa mple.com/relay")
                                           << QStringLiteral("Invalid upload URL: http://exa mple.com/api/v1/relay/attachments/upload");
        QTest::newRow("nothing left but the path") << QStringLiteral("/relay")
                                                   << QStringLiteral("Invalid upload URL: /api/v1/relay/attachments/upload");
        QTest::newRow("not an HTTP scheme") << QStringLiteral("ftp://127.0.0.1/relay")
                                            << QStringLiteral("Invalid upload URL: ftp://127.0.0.1/api/v1/relay/attachments/upload");
    }
    void unusableServerAddress()
    {
        QFETCH(QString, serverUrl);
        QFETCH(QString, expected);
        const QString path = homePath(QStringLiteral("nowhere.png"));
        QVERIFY(writeFile(path, "x"));
        AttachmentUploader uploader;
        uploader.initialize(serverUrl, apiKey);
        QCOMPARE(upload(uploader, attachmentAt(path)), failed(expected));
    }

    void initializeTakesTheHttpForm()
    {
        AttachmentUploader uploader;
        QCOMPARE(uploader.maxFileSize(), quint64(104857600));
        QVERIFY(!uploader.apiServerUrl() && !uploader.apiKey());
        uploader.initialize(QStringLiteral("wss://api.example.com/relay"), QStringLiteral("k"));
        QCOMPARE(uploader.apiServerUrl(), std::optional(QStringLiteral("https://api.example.com")));
        QCOMPARE(uploader.apiKey(), std::optional(QStringLiteral("k")));
        uploader.initialize(QStringLiteral("ws://127.0.0.1:8080/relay"), std::nullopt);
        QCOMPARE(uploader.apiServerUrl(), std::optional(QStringLiteral("http://127.0.0.1:8080")));
        QVERIFY(!uploader.apiKey());
    }

    // The uploader as the relay runs it: on a thread of its own with its network manager.
    void uploadsFromItsOwnThread()
    {
        const QByteArray content = imageBytes();
        const QString path = homePath(QStringLiteral("threaded.png"));
        QVERIFY(writeFile(path, content));
        QThread relayThread;
        auto* uploader = new AttachmentUploader;
        uploader->initialize(m_server.wsUrl().toString(), apiKey);
        uploader->moveToThread(&relayThread);
        relayThread.start();
        const qint64 since = m_server.lastSeq();

        UploadResult result;
        std::atomic_bool done = false;
        QMetaObject::invokeMethod(uploader, [&] {
            startTask(uploadInto(uploader, attachmentAt(path), &result, &done), "test upload");
        });
        QTRY_VERIFY_WITH_TIMEOUT(done, 10000);
        QMetaObject::invokeMethod(uploader, [uploader] { delete uploader; }, Qt::BlockingQueuedConnection);
        relayThread.quit();
        QVERIFY(relayThread.wait(5000));

        QVERIFY2(result.success, qPrintable(result.error.value_or(QString())));
        const auto stored = m_server.waitForEventType(QStringLiteral("UPLOAD"), 5000, since);
        QVERIFY(stored);
        QCOMPARE(result.storagePath, std::optional(stored->value(QStringLiteral("storagePath")).toString()));
        QCOMPARE(readFile(stored->value(QStringLiteral("storedFile")).toString()), content);
    }

    // An upload in flight when the uploader goes ends with a failure instead of never ending.
    void destroyingTheUploaderEndsItsUploads()
    {
        const QString path = homePath(QStringLiteral("pending.png"));
        QVERIFY(writeFile(path, randomBytes(5000, 13)));
        ScriptedPeer silent{QByteArray()};
        auto* uploader = new AttachmentUploader;
        uploader->initialize(silent.url(), apiKey);

        UploadResult result;
        std::atomic_bool done = false;
        startTask(uploadInto(uploader, attachmentAt(path), &result, &done), "test upload");
        QTRY_COMPARE(silent.requests, 1);
        QVERIFY(!done);
        delete uploader;
        QTRY_VERIFY(done);
        QCOMPARE(result, failed(QStringLiteral("Upload cancelled")));
    }

    void cleanupTestCase()
    {
        m_server.stop();
        m_smallServer.stop();
    }
};

QTEST_GUILESS_MAIN(TestAttachmentUploader)
#include "tst_attachmentuploader.moc"
