// The relay server's HTTP side: attachment upload and download, the /connect page and
// registration, driven over loopback through the real executable.
#include "relayserverharness.h"
#include "relaytestclient.h"
#include "testsupport.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QJsonDocument>
#include <QTest>
#include <QUuid>

namespace {

const QString uploadKey = QStringLiteral("upload-key");
const QByteArray boundary = QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper().toLatin1();

using Headers = QList<QPair<QByteArray, QByteArray>>;

// A body in the form the relay's uploader writes.
QByteArray uploadBody(const QByteArray& fileName, const QByteArray& mimeType, const QByteArray& data,
                      const QByteArray& messageId = "msg-1")
{
    return "--" + boundary + "\r\n"
           "Content-Disposition: form-data; name=\"file\"; filename=\"" + fileName + "\"\r\n"
           "Content-Type: " + mimeType + "\r\n\r\n" + data + "\r\n"
           "--" + boundary + "\r\n"
           "Content-Disposition: form-data; name=\"messageId\"\r\n\r\n" + messageId + "\r\n"
           "--" + boundary + "--\r\n";
}

Headers uploadHeaders(const QByteArray& key)
{
    Headers headers{{"Content-Type", "multipart/form-data; boundary=" + boundary}};
    if (!key.isNull())
        headers.append({"X-API-Key", key});
    return headers;
}

QJsonObject registrationBody(const QString& token, const QString& relayId)
{
    return {{QStringLiteral("token"), token},
            {QStringLiteral("relayIdentity"), QJsonObject{{QStringLiteral("id"), relayId}}},
            {QStringLiteral("deviceInfo"), QJsonObject{{QStringLiteral("hostname"), QStringLiteral("test-mac")},
                                                       {QStringLiteral("os"), QStringLiteral("macOS")},
                                                       {QStringLiteral("version"), QStringLiteral("14.5")}}},
            {QStringLiteral("name"), QStringLiteral("Test Mac")},
            {QStringLiteral("ownerName"), QStringLiteral("Jane Appleseed")}};
}

QStringList filesUnder(const QString& dir)
{
    QStringList files;
    QDirIterator it(dir, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext())
        files.append(it.next());
    return files;
}

} // namespace

class TestRelayServerHttp : public QObject {
    Q_OBJECT
private:
    velto::RelayServerHarness::Reply registerRelay(const QJsonObject& body)
    {
        return m_server.request("POST", QStringLiteral("/api/v1/relay/register"),
                                QJsonDocument(body).toJson(QJsonDocument::Compact),
                                {{"Content-Type", "application/json"}});
    }

    // Whether the server accepts `key` on /relay.
    bool authenticates(const QString& key, const QString& relayId)
    {
        RelayTestClient client;
        if (!client.connectTo(m_server.wsUrl(), key, key))
            return false;
        client.identify(relayId);
        const auto result = client.waitFor(QStringLiteral("AUTH_RESULT"));
        return result && result->value(QLatin1String("success")).toBool();
    }

    QString storageDir() const { return QDir(m_server.workDir()).filePath(QStringLiteral("storage")); }

    velto::test::TemporaryHome m_home;
    velto::RelayServerHarness m_server;

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY2(m_server.start({QStringLiteral("--api-key"), uploadKey, QStringLiteral("--max-upload-bytes"),
                                 QStringLiteral("4096")}),
                 qPrintable(m_server.errorString()));
    }

    void uploadIsStoredAndServed_data()
    {
        QTest::addColumn<QByteArray>("sentName");
        QTest::addColumn<QString>("storedName");
        QTest::newRow("plain") << QByteArray("IMG_0042.png") << QStringLiteral("IMG_0042.png");
        QTest::newRow("escaped quote") << QByteArray("my \\\"best\\\" pic.png") << QStringLiteral("my \"best\" pic.png");
        QTest::newRow("path traversal") << QByteArray("../../../../tmp/evil.png") << QStringLiteral("evil.png");
        QTest::newRow("utf-8") << QByteArray("caf\xc3\xa9 #1.png") << QStringLiteral("café #1.png");
    }

    void uploadIsStoredAndServed()
    {
        QFETCH(QByteArray, sentName);
        QFETCH(QString, storedName);
        QByteArray data("\x89PNG\r\n\x1a\n", 8);
        data += QByteArray("\r\n--not-the-boundary\r\n\0\xff", 24);
        const qint64 since = m_server.lastSeq();

        const auto reply = m_server.request("POST", QStringLiteral("/api/v1/relay/attachments/upload"),
                                            uploadBody(sentName, "image/png", data, "msg-77"),
                                            uploadHeaders(uploadKey.toUtf8()));
        QCOMPARE(reply.status, 200);
        const QString storagePath = reply.json.value(QLatin1String("storage_path")).toString();
        const QString storageUrl = reply.json.value(QLatin1String("storage_url")).toString();
        QVERIFY(storagePath.endsWith(QLatin1Char('/') + storedName));
        QVERIFY(storageUrl.startsWith(m_server.httpBase().toString() + QStringLiteral("/storage/")));

        // The file sits inside the storage folder under its cleaned name, byte for byte.
        QFile stored(QDir(storageDir()).filePath(storagePath));
        QVERIFY2(stored.open(QIODevice::ReadOnly), qPrintable(stored.fileName()));
        QCOMPARE(stored.readAll(), data);
        QVERIFY(QFileInfo(stored).canonicalFilePath().startsWith(QFileInfo(storageDir()).canonicalFilePath() + QLatin1Char('/')));

        // Its URL serves it back.
        const auto download = m_server.request("GET", QUrl(storageUrl).toString(QUrl::RemoveScheme | QUrl::RemoveAuthority
                                                                                   | QUrl::FullyEncoded));
        QCOMPARE(download.status, 200);
        QCOMPARE(download.body, data);

        const auto event = m_server.waitForEventType(QStringLiteral("UPLOAD"), 5000, since);
        QVERIFY(event);
        QCOMPARE(event->value(QLatin1String("source")).toString(), QStringLiteral("http"));
        QCOMPARE(event->value(QLatin1String("size")).toInteger(), data.size());
        QCOMPARE(event->value(QLatin1String("messageId")).toString(), QStringLiteral("msg-77"));
        QCOMPARE(event->value(QLatin1String("mimeType")).toString(), QStringLiteral("image/png"));
        QCOMPARE(event->value(QLatin1String("storagePath")).toString(), storagePath);
        QCOMPARE(event->value(QLatin1String("storedFile")).toString(), QFileInfo(stored).canonicalFilePath());
    }

    void uploadRejected_data()
    {
        QTest::addColumn<Headers>("headers");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("error");
        const QByteArray good = uploadBody("a.txt", "text/plain", "hello");
        const QByteArray key = uploadKey.toUtf8();

        QTest::newRow("no key") << uploadHeaders(QByteArray()) << good << 401 << QStringLiteral("Missing API key");
        QTest::newRow("wrong key") << uploadHeaders("nope") << good << 401 << QStringLiteral("Invalid API key");
        QTest::newRow("not multipart") << Headers{{"Content-Type", "application/json"}, {"X-API-Key", key}} << good << 400
                                       << QStringLiteral("Expected multipart/form-data");
        QTest::newRow("truncated") << uploadHeaders(key) << good.left(good.size() / 2) << 400
                                   << QStringLiteral("Multipart body is truncated (no closing boundary)");
        QTest::newRow("no file part") << uploadHeaders(key)
                                      << QByteArray("--" + boundary + "\r\nContent-Disposition: form-data; name=\"messageId\""
                                                    "\r\n\r\nm\r\n--" + boundary + "--\r\n")
                                      << 400 << QStringLiteral("Missing file part");
        QTest::newRow("two file parts") << uploadHeaders(key) << good.left(good.lastIndexOf(QByteArray("--" + boundary + "--"))) + good
                                        << 400 << QStringLiteral("Expected exactly one file part");
        QTest::newRow("file over the limit") << uploadHeaders(key) << uploadBody("big.bin", "application/octet-stream",
                                                                                  QByteArray(4097, 'x'))
                                             << 413 << QStringLiteral("File exceeds 4096 bytes limit");
        QTest::newRow("body far over the limit") << uploadHeaders(key) << QByteArray(200 * 1024, '-') << 413
                                                 << QStringLiteral("File exceeds 4096 bytes limit");
    }

    void uploadRejected()
    {
        QFETCH(Headers, headers);
        QFETCH(QByteArray, body);
        QFETCH(int, status);
        QFETCH(QString, error);
        const QStringList filesBefore = filesUnder(storageDir());
        const auto reply = m_server.request("POST", QStringLiteral("/api/v1/relay/attachments/upload"), body, headers);
        QCOMPARE(reply.status, status);
        QCOMPARE(reply.json.value(QLatin1String("error")).toString(), error);
        QCOMPARE(filesUnder(storageDir()), filesBefore);
    }

    void storageServesOnlyStoredFiles_data()
    {
        QTest::addColumn<QString>("path");
        QTest::newRow("unknown") << QStringLiteral("/storage/00000000-0000-0000-0000-000000000000/x.png");
        QTest::newRow("encoded parent") << QStringLiteral("/storage/%2E%2E/data/registrations.json");
        QTest::newRow("encoded slash") << QStringLiteral("/storage/..%2F..%2Fevents.jsonl");
        QTest::newRow("folder") << QStringLiteral("/storage/");
    }

    void storageServesOnlyStoredFiles()
    {
        QFETCH(QString, path);
        // Something worth stealing next to the storage folder.
        QVERIFY(!m_server.issueRegistrationToken().isEmpty());
        QCOMPARE(m_server.request("GET", path).status, 404);
    }

    void storedFileIsADownloadSource()
    {
        const QUrl url = m_server.storeFile(QStringLiteral("report.pdf"), "%PDF-1.4 body");
        QVERIFY(url.isValid());
        QVERIFY(url.path().endsWith(QLatin1String("/report.pdf")));
        const auto download = m_server.request("GET", url.path(QUrl::FullyEncoded));
        QCOMPARE(download.status, 200);
        QCOMPARE(download.body, QByteArray("%PDF-1.4 body"));
    }

    void routes_data()
    {
        QTest::addColumn<QByteArray>("method");
        QTest::addColumn<QString>("path");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("bodyPart");
        QTest::newRow("live page") << QByteArray("GET") << QStringLiteral("/live") << 200 << QByteArray("/control/events");
        QTest::newRow("relay without upgrade") << QByteArray("GET") << QStringLiteral("/relay") << 426
                                               << QByteArray("WebSocket upgrade required");
        QTest::newRow("wrong method") << QByteArray("GET") << QStringLiteral("/control/send") << 405
                                      << QByteArray("Method not allowed");
        QTest::newRow("unknown path") << QByteArray("GET") << QStringLiteral("/nothing") << 404 << QByteArray("Not found");
    }

    void routes()
    {
        QFETCH(QByteArray, method);
        QFETCH(QString, path);
        QFETCH(int, status);
        QFETCH(QByteArray, bodyPart);
        const auto reply = m_server.request(method, path);
        QCOMPARE(reply.status, status);
        QVERIFY2(reply.body.contains(bodyPart), reply.body.constData());
    }

    void connectIssuesSingleUseTokens()
    {
        const qint64 before = QDateTime::currentMSecsSinceEpoch();
        const auto json = m_server.request("GET", QStringLiteral("/connect"), {}, {{"Accept", "application/json"}});
        QCOMPARE(json.status, 200);
        const QString token = json.json.value(QLatin1String("token")).toString();
        // The shape the relay's format check demands.
        QVERIFY2(token.startsWith(QLatin1String("velt_")), qPrintable(token));
        const QString rest = token.mid(5);
        QVERIFY(rest.indexOf(QLatin1Char('_')) >= 8);
        QVERIFY(!rest.section(QLatin1Char('_'), 1).isEmpty());
        QCOMPARE(json.json.value(QLatin1String("link")).toString(), QStringLiteral("velto://register?token=") + token);
        const qint64 expires = json.json.value(QLatin1String("expiresAtMs")).toInteger();
        QVERIFY(expires >= before + 600 * 1000 && expires <= QDateTime::currentMSecsSinceEpoch() + 600 * 1000);

        const auto html = m_server.request("GET", QStringLiteral("/connect"));
        QCOMPARE(html.status, 200);
        const QString page = QString::fromUtf8(html.body);
        const QString htmlToken = page.section(QStringLiteral("<code id=\"token\">"), 1).section(QLatin1Char('<'), 0, 0);
        QVERIFY(htmlToken.startsWith(QLatin1String("velt_")));
        QVERIFY(htmlToken != token);
        QVERIFY(page.contains(QStringLiteral("href=\"velto://register?token=") + htmlToken + QLatin1Char('"')));
    }

    void registrationRefused_data()
    {
        QTest::addColumn<QString>("tokenKind"); // issued, expired, used, or the literal token
        QTest::addColumn<QByteArray>("rawBody"); // sent instead of a registration body when set
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("code");
        QTest::newRow("unknown token") << QStringLiteral("velt_ABCDEFGHJK_secretpart") << QByteArray() << 404
                                       << QStringLiteral("token_not_found");
        QTest::newRow("malformed token") << QStringLiteral("velt_short") << QByteArray() << 400
                                         << QStringLiteral("invalid_token_format");
        QTest::newRow("expired token") << QStringLiteral("expired") << QByteArray() << 410
                                       << QStringLiteral("token_expired");
        QTest::newRow("reused token") << QStringLiteral("used") << QByteArray() << 410
                                      << QStringLiteral("token_exhausted");
        QTest::newRow("not json") << QString() << QByteArray("token=velt_x") << 400 << QStringLiteral("invalid_request");
        QTest::newRow("no token") << QString() << QByteArray("{\"name\":\"x\"}") << 400
                                  << QStringLiteral("invalid_request");
    }

    void registrationRefused()
    {
        QFETCH(QString, tokenKind);
        QFETCH(QByteArray, rawBody);
        QFETCH(int, status);
        QFETCH(QString, code);
        QString token = tokenKind;
        if (tokenKind == QLatin1String("expired")) {
            token = m_server.issueRegistrationToken(0);
        } else if (tokenKind == QLatin1String("used")) {
            token = m_server.issueRegistrationToken();
            QCOMPARE(registerRelay(registrationBody(token, QStringLiteral("relay-first-use"))).status, 201);
        }
        const auto reply = rawBody.isNull()
            ? registerRelay(registrationBody(token, QStringLiteral("relay-refused")))
            : m_server.request("POST", QStringLiteral("/api/v1/relay/register"), rawBody,
                               {{"Content-Type", "application/json"}});
        QCOMPARE(reply.status, status);
        QCOMPARE(reply.json.value(QLatin1String("error")).toString(), code);
        QVERIFY(!reply.json.contains(QLatin1String("apiKey")));
    }

    void reregistrationReplacesTheKey()
    {
        const auto first = registerRelay(registrationBody(m_server.issueRegistrationToken(), QStringLiteral("relay-twice")));
        const auto second = registerRelay(registrationBody(m_server.issueRegistrationToken(), QStringLiteral("relay-twice")));
        QCOMPARE(first.status, 201);
        QCOMPARE(second.status, 201);
        QVERIFY(authenticates(second.json.value(QLatin1String("apiKey")).toString(), QStringLiteral("relay-twice")));
        QVERIFY(!authenticates(first.json.value(QLatin1String("apiKey")).toString(), QStringLiteral("relay-twice")));

        velto::RelayServerHarness strict;
        QVERIFY2(strict.start({QStringLiteral("--reject-reregistration")}), qPrintable(strict.errorString()));
        const auto post = [&strict](const QString& token) {
            return strict.request("POST", QStringLiteral("/api/v1/relay/register"),
                                  QJsonDocument(registrationBody(token, QStringLiteral("relay-once")))
                                      .toJson(QJsonDocument::Compact),
                                  {{"Content-Type", "application/json"}});
        };
        QCOMPARE(post(strict.issueRegistrationToken()).status, 201);
        const auto refused = post(strict.issueRegistrationToken());
        QCOMPARE(refused.status, 409);
        QCOMPARE(refused.json.value(QLatin1String("error")).toString(), QStringLiteral("relay_already_registered"));
    }

    // Last: it restarts the server.
    void registrationIssuesKeysThatWorkAndPersist()
    {
        const QString token = m_server.issueRegistrationToken();
        const qint64 since = m_server.lastSeq();
        const auto reply = registerRelay(registrationBody(token, QStringLiteral("HW-UUID-1")));
        QCOMPARE(reply.status, 201);
        QCOMPARE(reply.json.value(QLatin1String("relayId")).toString(), QStringLiteral("HW-UUID-1"));
        QCOMPARE(reply.json.value(QLatin1String("tenantId")).toString(), QStringLiteral("tenant-dev"));
        QVERIFY(reply.json.value(QLatin1String("tenantName")).isString());
        const QString apiKey = reply.json.value(QLatin1String("apiKey")).toString();
        QVERIFY(apiKey.size() >= 32);

        const auto event = m_server.waitForEventType(QStringLiteral("REGISTERED"), 5000, since);
        QVERIFY(event);
        QCOMPARE(event->value(QLatin1String("request")).toObject().value(QLatin1String("name")).toString(),
                 QStringLiteral("Test Mac"));

        // The issued key opens /relay and the upload endpoint.
        QVERIFY(authenticates(apiKey, QStringLiteral("HW-UUID-1")));
        const auto upload = m_server.request("POST", QStringLiteral("/api/v1/relay/attachments/upload"),
                                             uploadBody("x.txt", "text/plain", "x"), uploadHeaders(apiKey.toUtf8()));
        QCOMPARE(upload.status, 200);
        const auto uploaded = m_server.waitForEventType(QStringLiteral("UPLOAD"), 5000, since);
        QVERIFY(uploaded);
        QCOMPARE(uploaded->value(QLatin1String("relayId")).toString(), QStringLiteral("HW-UUID-1"));

        // Only hashes reach the disk, in a file only the owner can read.
        QFile store(QDir(m_server.workDir()).filePath(QStringLiteral("data/registrations.json")));
        QVERIFY(store.open(QIODevice::ReadOnly));
        const QByteArray saved = store.readAll();
        QVERIFY(!saved.contains(apiKey.toUtf8()));
        QVERIFY(!saved.contains(token.toUtf8()));
        QCOMPARE(store.permissions() & (QFile::ReadGroup | QFile::ReadOther | QFile::WriteGroup | QFile::WriteOther),
                 QFile::Permissions());

        QVERIFY2(m_server.restart(), qPrintable(m_server.errorString()));
        QVERIFY(authenticates(apiKey, QStringLiteral("HW-UUID-1")));
        const auto reused = registerRelay(registrationBody(token, QStringLiteral("HW-UUID-1")));
        QCOMPARE(reused.status, 410);
        QCOMPARE(reused.json.value(QLatin1String("error")).toString(), QStringLiteral("token_exhausted"));
    }
};

QTEST_GUILESS_MAIN(TestRelayServerHttp)
#include "tst_relayserverhttp.moc"
