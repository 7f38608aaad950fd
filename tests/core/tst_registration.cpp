// Registration against the real reference server over loopback: credentials stored on success,
// the server's refusals (unknown, expired, reused, malformed token, relay already registered)
// turned into advice. A scripted peer plays the answers the reference server never gives on
// purpose. Also the token format check, the advice table and the hardware identifier.
#include "configuration.h"
#include "getlocaluserlib.h"
#include "relayidentityservice.h"
#include "relayregistrationservice.h"
#include "relayserverharness.h"
#include "testsupport.h"
#include "validationservice.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QSysInfo>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QUuid>

#include <QCoroTask>

#include <sys/stat.h>

using namespace velto;

Q_DECLARE_METATYPE(std::optional<QString>)

namespace {

int modeOf(const QString& path)
{
    struct stat st {};
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? int(st.st_mode & 07777) : -1;
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeFile(const QString& path, const QByteArray& bytes, QFile::Permissions permissions = {})
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        return false;
    file.close();
    return permissions == QFile::Permissions() || file.setPermissions(permissions);
}

QString newRelayId()
{
    return QStringLiteral("relay-") + QUuid::createUuid().toString(QUuid::WithoutBraces);
}

using Registration = Result<RelayCredentials, RegistrationError>;

// QCoro::waitFor needs a default-constructible result.
QCoro::Task<std::optional<Registration>> registration(RelayRegistrationService* service, QString serverUrl,
                                                      QString token, QString relayId, QString name)
{
    co_return co_await service->registerRelay(serverUrl, token, relayId, name);
}

Registration registerWith(const QString& serverUrl, const QString& token, const QString& relayId,
                          const QString& name = QStringLiteral("Front desk Mac"),
                          std::chrono::milliseconds timeout = RelayRegistrationService::defaultTimeout)
{
    RelayRegistrationService service(nullptr, timeout);
    return *QCoro::waitFor(registration(&service, serverUrl, token, relayId, name));
}

// Answers the first complete request with `answer` (or never, when it is empty) and keeps it.
class ScriptedPeer : public QObject {
public:
    explicit ScriptedPeer(QByteArray answer) : m_answer(std::move(answer))
    {
        m_server.listen(QHostAddress::LocalHost);
        connect(&m_server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* socket = m_server.nextPendingConnection()) {
                // Each connection collects its own bytes; the first complete request is kept
                // (Qt sends a request again after some broken answers).
                auto* bytes = new QByteArray;
                connect(socket, &QObject::destroyed, this, [bytes] { delete bytes; });
                connect(socket, &QTcpSocket::readyRead, this, [this, socket, bytes] {
                    bytes->append(socket->readAll());
                    const qsizetype headerEnd = bytes->indexOf("\r\n\r\n");
                    if (headerEnd < 0)
                        return;
                    static const QRegularExpression length(QStringLiteral("(?im)^content-length:\\s*(\\d+)"));
                    const auto match = length.match(QString::fromLatin1(bytes->left(headerEnd)));
                    if (bytes->size() < headerEnd + 4 + (match.hasMatch() ? match.captured(1).toLongLong() : 0))
                        return;
                    if (received.isEmpty())
                        received = *bytes;
                    if (!m_answer.isEmpty()) {
                        socket->write(m_answer);
                        socket->disconnectFromHost();
                    }
                });
            }
        });
    }
    QString url() const { return QStringLiteral("ws://127.0.0.1:%1/relay").arg(m_server.serverPort()); }

    QByteArray received; // the first complete request

private:
    QTcpServer m_server;
    QByteArray m_answer;
};

QByteArray httpAnswer(int status, const QByteArray& body)
{
    return "HTTP/1.1 " + QByteArray::number(status) + " Answer\r\nContent-Type: application/json\r\nContent-Length: "
           + QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
}

const QString expiredAdvice = QStringLiteral("This token has expired. Please generate a new one from the dashboard.");

} // namespace

class TestRegistration : public QObject {
    Q_OBJECT
private:
    test::TemporaryHome m_home; // before any path is computed: paths are fixed at first use
    RelayServerHarness m_server;

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_home.isValid());
        QVERIFY2(m_server.start({QStringLiteral("--reject-reregistration")}), qPrintable(m_server.errorString()));
    }

    void init() { QDir(Configuration::configDir()).removeRecursively(); }

    void tokenFormat_data()
    {
        QTest::addColumn<QString>("token");
        QTest::addColumn<QString>("error"); // empty: valid
        const QString prefix = QStringLiteral("Token must start with 'velt_' prefix.");
        const QString tooShort = QStringLiteral("Token is too short. Check that you copied the full token.");
        const QString shape = QStringLiteral("Invalid token format. Expected format: velt_XXXXXXXX_XXXX...");
        const QString segment = QStringLiteral("Invalid token format. First segment too short.");
        const QString secret = QStringLiteral("Invalid token format. Missing secret portion.");
        QTest::newRow("as the server issues it") << QStringLiteral("velt_AbCdEfGhIjKl_0123456789abcdef0123456789abcdef")
                                                 << QString();
        QTest::newRow("smallest valid") << QStringLiteral("velt_abcdefgh_x") << QString();
        QTest::newRow("blanks and line breaks trimmed") << QStringLiteral(" \t\r\nvelt_abcdefgh_x\r\n ") << QString();
        QTest::newRow("any characters after the prefix") << QStringLiteral("velt_ab!d e#g\u00e9_\u00fc?") << QString();
        QTest::newRow("second underscore as the secret") << QStringLiteral("velt_abcdefgh__") << QString();
        QTest::newRow("empty") << QString() << prefix;
        QTest::newRow("prefix in upper case") << QStringLiteral("VELT_abcdefgh_secret") << prefix;
        QTest::newRow("blank inside the prefix") << QStringLiteral("velt _abcdefgh_secret") << prefix;
        QTest::newRow("exactly 8 after the prefix") << QStringLiteral("velt_abcdefgh") << tooShort;
        QTest::newRow("8 after the prefix with an underscore") << QStringLiteral("velt_abcdef_h") << tooShort;
        QTest::newRow("8 emoji are 8 characters") << QStringLiteral("velt_\U0001F600\U0001F600\U0001F600\U0001F600"
                                                                    "\U0001F600\U0001F600\U0001F600\U0001F600")
                                                  << tooShort;
        QTest::newRow("no underscore") << QStringLiteral("velt_abcdefghijkl") << shape;
        QTest::newRow("first segment of 7") << QStringLiteral("velt_abcdefg_secret") << segment;
        QTest::newRow("leading underscore") << QStringLiteral("velt__abcdefghij") << segment;
        QTest::newRow("nothing after the underscore") << QStringLiteral("velt_abcdefgh_") << secret;
        QTest::newRow("trailing blank trimmed off the secret") << QStringLiteral("velt_abcdefghij_ ") << secret;
    }

    void tokenFormat()
    {
        QFETCH(QString, token);
        QFETCH(QString, error);
        const TokenValidationResult result = ValidationService::validateTokenFormat(token);
        TokenValidationResult expected;
        expected.isValid = error.isEmpty();
        if (expected.isValid) {
            expected.organizationName = QStringLiteral("Your Organization");
            expected.relayName = QStringLiteral("Mac Relay");
        } else {
            expected.error = error;
        }
        QCOMPARE(result.error, expected.error);
        QVERIFY(result == expected);
    }

    void advice_data()
    {
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("advice");
        const auto row = [](const char* name, const char* message, const QString& advice) {
            QTest::newRow(name) << QString::fromUtf8(message) << advice;
        };
        const QString notFound = QStringLiteral("Token not found or already used. Try connecting again from the dashboard.");
        const QString authFailed = QStringLiteral("Invalid or expired token. Try connecting again from the dashboard.");
        const QString unreachable = QStringLiteral("Cannot reach the backend server. Check that it's running and accessible.");
        row("format", "Server error (400): invalid_token_format", QStringLiteral("Invalid token format. Please check and try again."));
        row("format in upper case", "Server error (400): INVALID_TOKEN_FORMAT", QStringLiteral("Invalid token format. Please check and try again."));
        row("expired beats 401", "Server error (401): token_expired", expiredAdvice);
        row("expired in a 400", "Server error (400): token_expired", expiredAdvice);
        row("already registered beats 409", "Server error (409): relay_already_registered",
            QStringLiteral("This relay is already registered. Reset the wizard to re-register."));
        row("not found", "Server error (404): token_not_found", notFound);
        row("401", "Server error (401): unauthorized", authFailed);
        row("403", "Server error (403): forbidden", authFailed);
        row("409", "Server error (409): conflict", QStringLiteral("This relay is already registered. Reset the wizard to start over."));
        row("refused", "Connection refused (ECONNREFUSED)", unreachable);
        row("errno time-out", "connect ETIMEDOUT 10.0.0.1:443", unreachable);
        row("exhausted", "Server error (410): token_exhausted", QStringLiteral("This token has been fully used. Generate a new one."));
        row("fetch", "TypeError: Failed to fetch", QStringLiteral("Network error connecting to server. Check your connection."));
        row("time-out", "Registration request timeout: no answer within 60 s", QStringLiteral("Request timed out. Try again."));
        row("500 with HTML stays as it is", "Server error (500): <html>Internal Failure</html>",
            QStringLiteral("Server error (500): <html>Internal Failure</html>"));
        row("unknown text keeps its case", "Something Else Went Wrong", QStringLiteral("Something Else Went Wrong"));
        row("empty", "", QString());
    }

    void advice()
    {
        QFETCH(QString, message);
        QFETCH(QString, advice);
        QCOMPARE(ValidationService::mapRegistrationError(message), advice);
    }

    void registersAndStoresCredentials()
    {
        const QString token = m_server.issueRegistrationToken();
        QVERIFY(ValidationService::validateTokenFormat(token).isValid);
        const QString relayId = newRelayId();
        const qint64 since = m_server.lastSeq();
        const quint64 before = quint64(QDateTime::currentMSecsSinceEpoch());
        const Registration registered = registerWith(m_server.wsUrl().toString(), token, relayId);
        const quint64 after = quint64(QDateTime::currentMSecsSinceEpoch());
        QVERIFY2(registered, qPrintable(registered ? QString() : registered.error().description()));

        QCOMPARE(registered->relayId, relayId);
        QCOMPARE(registered->tenantId, QStringLiteral("tenant-dev"));
        QCOMPARE(registered->tenantName, std::optional<QString>(QStringLiteral("Velto Dev Tenant")));
        QVERIFY(!registered->apiKey.isEmpty());
        QCOMPARE(registered->backendUrl, std::optional<QString>(m_server.wsUrl().toString()));
        QVERIFY(registered->registeredAt && *registered->registeredAt >= before && *registered->registeredAt <= after);

        // Already on disk, private, and the same credentials.
        QCOMPARE(modeOf(Configuration::relayAuthFile()), 0600);
        QCOMPARE(RelayCredentials::load(), std::optional<RelayCredentials>(*registered));

        // What the server received.
        const auto event = m_server.waitForEventType(QStringLiteral("REGISTERED"), 5000, since);
        QVERIFY(event);
        const QJsonObject request = event->value(QLatin1String("request")).toObject();
        QCOMPARE(request.value(QLatin1String("token")).toString(), token);
        QCOMPARE(request.value(QLatin1String("relayIdentity")).toObject(), QJsonObject({{QStringLiteral("id"), relayId}}));
        QCOMPARE(request.value(QLatin1String("name")).toString(), QStringLiteral("Front desk Mac"));
        const QJsonObject device = request.value(QLatin1String("deviceInfo")).toObject();
        QCOMPARE(device.value(QLatin1String("os")).toString(), QStringLiteral("macOS"));
        QCOMPARE(device.value(QLatin1String("hostname")).toString(), QSysInfo::machineHostName());
        QVERIFY(!device.value(QLatin1String("version")).toString().isEmpty());
        const auto owner = GetLocalUserLib::getLocalUserDisplayName();
        if (owner && !owner->isEmpty())
            QCOMPARE(request.value(QLatin1String("ownerName")).toString(), *owner);
        else
            QVERIFY(!request.contains(QLatin1String("ownerName")));
    }

    void emptyNameIsLeftOut()
    {
        const qint64 since = m_server.lastSeq();
        QVERIFY(registerWith(m_server.wsUrl().toString(), m_server.issueRegistrationToken(), newRelayId(), QString()));
        const auto event = m_server.waitForEventType(QStringLiteral("REGISTERED"), 5000, since);
        QVERIFY(event);
        const QJsonObject request = event->value(QLatin1String("request")).toObject();
        QVERIFY(request.contains(QLatin1String("token")));
        QVERIFY(!request.contains(QLatin1String("name")));
    }

    void refusedByTheServer_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("description");
        QTest::addColumn<QString>("advice");
        QTest::newRow("unknown token") << "unknown" << "Server error (404): token_not_found"
                                       << "Token not found or already used. Try connecting again from the dashboard.";
        QTest::newRow("expired token") << "expired" << "Server error (410): token_expired" << expiredAdvice;
        QTest::newRow("reused token") << "reused" << "Server error (410): token_exhausted"
                                      << "This token has been fully used. Generate a new one.";
        QTest::newRow("malformed token") << "malformed" << "Server error (400): invalid_token_format"
                                         << "Invalid token format. Please check and try again.";
        QTest::newRow("relay already registered") << "again" << "Server error (409): relay_already_registered"
                                                  << "This relay is already registered. Reset the wizard to re-register.";
    }

    void refusedByTheServer()
    {
        QFETCH(QString, kind);
        QFETCH(QString, description);
        QFETCH(QString, advice);
        const QString url = m_server.wsUrl().toString();
        QString relayId = newRelayId();
        QString token;
        if (kind == QLatin1String("unknown")) {
            token = QStringLiteral("velt_AAAAAAAAAAAA_") + QString(32, u'B');
        } else if (kind == QLatin1String("expired")) {
            token = m_server.issueRegistrationToken(0);
        } else if (kind == QLatin1String("malformed")) {
            token = QStringLiteral("velt_short");
        } else {
            // A first registration succeeds; its credentials must survive the refusal.
            token = m_server.issueRegistrationToken();
            QVERIFY(registerWith(url, token, relayId));
            if (kind == QLatin1String("again"))
                token = m_server.issueRegistrationToken();
            else
                relayId = newRelayId();
        }
        const QByteArray stored = readFile(Configuration::relayAuthFile());

        const Registration refused = registerWith(url, token, relayId);
        QVERIFY(!refused);
        QCOMPARE(refused.error().code(), RegistrationError::Code::serverError);
        QCOMPARE(refused.error().description(), description);
        QCOMPARE(ValidationService::mapRegistrationError(refused.error().description()), advice);
        QCOMPARE(readFile(Configuration::relayAuthFile()), stored);
    }

    void answersTheServerNeverGives_data()
    {
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<QString>("description"); // empty: success
        const QByteArray complete = R"({"relayId":"r-1","tenantId":"t-1","apiKey":"k-1","extra":[1]})";
        QTest::newRow("200 is as good as 201, no tenant name") << httpAnswer(200, complete) << QString();
        QTest::newRow("200 without apiKey") << httpAnswer(200, R"({"relayId":"r-1","tenantId":"t-1"})")
                                            << "Server response missing required fields";
        QTest::newRow("201 with a numeric tenantId") << httpAnswer(201, R"({"relayId":"r-1","tenantId":7,"apiKey":"k"})")
                                                     << "Server response missing required fields";
        QTest::newRow("200 that is not JSON") << httpAnswer(200, "OK") << "Server response missing required fields";
        QTest::newRow("500 with a page") << httpAnswer(500, "<html>Internal Failure</html>")
                                         << "Server error (500): <html>Internal Failure</html>";
        QTest::newRow("401 naming the expiry") << httpAnswer(401, R"({"error":"token_expired"})")
                                               << "Server error (401): token_expired";
        QTest::newRow("code when there is no error") << httpAnswer(403, R"({"error":5,"code":"relay_disabled"})")
                                                     << "Server error (403): relay_disabled";
        QTest::newRow("JSON without error or code") << httpAnswer(422, R"({"message":"nope"})")
                                                    << R"(Server error (422): {"message":"nope"})";
        QTest::newRow("body that is not UTF-8") << httpAnswer(502, "\xff\xfe\xfd") << "Server error (502): Unknown error";
        QTest::newRow("not HTTP at all") << QByteArray("SSH-2.0-OpenSSH_9.2\r\n\r\n") << "";
    }

    void answersTheServerNeverGives()
    {
        QFETCH(QByteArray, answer);
        QFETCH(QString, description);
        ScriptedPeer peer(answer);
        const Registration result = registerWith(peer.url(), QStringLiteral("velt_abcdefgh_secret"), QStringLiteral("id-1"));

        const QByteArray request = peer.received;
        QVERIFY(request.startsWith("POST /api/v1/relay/register HTTP/1.1\r\n"));
        QVERIFY(request.contains("\r\nContent-Type: application/json\r\n"));
        const QJsonObject body = QJsonDocument::fromJson(request.mid(request.indexOf("\r\n\r\n") + 4)).object();
        QCOMPARE(body.value(QLatin1String("token")).toString(), QStringLiteral("velt_abcdefgh_secret"));

        if (QTest::currentDataTag() == QByteArrayLiteral("not HTTP at all")) {
            // No HTTP answer: a network failure with Qt's own text, nothing stored.
            QVERIFY(!result);
            QCOMPARE(result.error().code(), RegistrationError::Code::networkFailed);
            QVERIFY(!result.error().description().isEmpty());
        } else if (description.isEmpty()) {
            QVERIFY2(result, qPrintable(result ? QString() : result.error().description()));
            QCOMPARE(result->apiKey, QStringLiteral("k-1"));
            QCOMPARE(result->tenantName, std::optional<QString>());
            QVERIFY(!readFile(Configuration::relayAuthFile()).contains("tenantName"));
            QCOMPARE(RelayCredentials::load(), std::optional<RelayCredentials>(*result));
            return;
        } else {
            QVERIFY(!result);
            QCOMPARE(result.error().description(), description);
        }
        QVERIFY(!QFileInfo::exists(Configuration::relayAuthFile()));
    }

    void invalidServerUrl_data()
    {
        QTest::addColumn<QString>("url");
        QTest::newRow("empty") << QString();
        QTest::newRow("no scheme") << "not a url";
        QTest::newRow("no host") << "ws:///relay";
        QTest::newRow("not HTTP once converted") << "ftp://127.0.0.1/relay";
    }

    void invalidServerUrl()
    {
        QFETCH(QString, url);
        const Registration result = registerWith(url, m_server.issueRegistrationToken(), newRelayId());
        QVERIFY(!result);
        QCOMPARE(result.error().description(), QStringLiteral("Invalid API server URL"));
    }

    void serverNotListening()
    {
        quint16 port = 0;
        {
            QTcpServer probe;
            QVERIFY(probe.listen(QHostAddress::LocalHost));
            port = probe.serverPort();
        }
        const Registration result = registerWith(QStringLiteral("ws://127.0.0.1:%1/relay").arg(port),
                                                 QStringLiteral("velt_abcdefgh_secret"), newRelayId());
        QVERIFY(!result);
        QCOMPARE(result.error().code(), RegistrationError::Code::networkFailed);
        QCOMPARE(ValidationService::mapRegistrationError(result.error().description()),
                 QStringLiteral("Cannot reach the backend server. Check that it's running and accessible."));
    }

    void serverNeverAnswers()
    {
        ScriptedPeer silent({});
        QElapsedTimer clock;
        clock.start();
        const Registration result = registerWith(silent.url(), QStringLiteral("velt_abcdefgh_secret"), newRelayId(),
                                                 QStringLiteral("Mac"), std::chrono::milliseconds(300));
        QVERIFY(clock.elapsed() < 30000);
        QVERIFY(!result);
        QCOMPARE(result.error().code(), RegistrationError::Code::networkFailed);
        QCOMPARE(ValidationService::mapRegistrationError(result.error().description()),
                 QStringLiteral("Request timed out. Try again."));
    }

    void storingFails()
    {
        // A file where the configuration directory belongs: the server registers, storing fails.
        QVERIFY(writeFile(Configuration::configDir(), "in the way"));
        const Registration result = registerWith(m_server.wsUrl().toString(), m_server.issueRegistrationToken(), newRelayId());
        QVERIFY(QFile::remove(Configuration::configDir()));
        QVERIFY(!result);
        QCOMPARE(result.error().code(), RegistrationError::Code::storageFailed);
        QVERIFY(result.error().description().contains(Configuration::configDir()));
    }

    void ioregOutput_data()
    {
        QTest::addColumn<QByteArray>("output");
        QTest::addColumn<std::optional<QString>>("uuid");
        const QByteArray typical = "+-o J314sAP  <class IOPlatformExpertDevice, id 0x100000221>\n"
                                   "  {\n"
                                   "    \"IOPlatformSerialNumber\" = \"C02XXXXXXX\"\n"
                                   "    \"IOPlatformUUID\" = \"4C4C4544-0042-3510-8052-B4C04F4E4E32\"\n"
                                   "  }\n";
        QTest::newRow("typical") << typical << std::optional<QString>(QStringLiteral("4C4C4544-0042-3510-8052-B4C04F4E4E32"));
        QTest::newRow("value kept unchanged") << QByteArray(R"("IOPlatformUUID" = "abc-lower case")")
                                              << std::optional<QString>(QStringLiteral("abc-lower case"));
        QTest::newRow("first of two") << QByteArray(R"("IOPlatformUUID" = "one" "IOPlatformUUID" = "two")")
                                      << std::optional<QString>(QStringLiteral("one"));
        QTest::newRow("no closing quote") << QByteArray("\"IOPlatformUUID\" = \"4C4C4544-0042") << std::optional<QString>();
        QTest::newRow("other spacing") << QByteArray(R"("IOPlatformUUID"="4C4C4544")") << std::optional<QString>();
        QTest::newRow("no key") << QByteArray("nothing here") << std::optional<QString>();
        QTest::newRow("not UTF-8") << QByteArray("\xff\"IOPlatformUUID\" = \"X\"") << std::optional<QString>();
    }

    void ioregOutput()
    {
        QFETCH(QByteArray, output);
        QFETCH(std::optional<QString>, uuid);
        QCOMPARE(RelayIdentityService::platformUuidFromIoreg(output), uuid);
    }

    void hardwareUuidOnThisMachine()
    {
        if (QFileInfo::exists(QStringLiteral("/usr/sbin/ioreg")))
            QSKIP("This machine has the I/O registry tool; the machine-id route is not taken");
        const auto first = QCoro::waitFor(RelayIdentityService::getHardwareUUID());
        if (!first && !QFileInfo::exists(QStringLiteral("/etc/machine-id")))
            QSKIP("This machine has no /etc/machine-id");
        QVERIFY(first);
        static const QRegularExpression upperUuid(
            QStringLiteral("^[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}$"));
        QVERIFY2(upperUuid.match(*first).hasMatch(), qPrintable(*first));
        QCOMPARE(QString(*first).remove(u'-'), QString::fromLatin1(readFile(QStringLiteral("/etc/machine-id")).trimmed()).toUpper());
        QCOMPARE(QCoro::waitFor(RelayIdentityService::getHardwareUUID()), first);
    }

    void hardwareUuidSources()
    {
        QTemporaryDir dir;
        const QString missing = dir.filePath(QStringLiteral("missing"));
        const QString broken = dir.filePath(QStringLiteral("broken"));
        const QString good = dir.filePath(QStringLiteral("good"));
        QVERIFY(writeFile(broken, "not a machine id\n"));
        QVERIFY(writeFile(good, "0123456789abcdef0123456789ABCDEF\n"));

        RelayIdentityService::Sources sources;
        sources.ioregPath = missing;
        sources.machineIdPaths = {missing, broken, good};
        QCOMPARE(QCoro::waitFor(RelayIdentityService::getHardwareUUID(sources)),
                 std::optional<QString>(QStringLiteral("01234567-89AB-CDEF-0123-456789ABCDEF")));
        sources.machineIdPaths = {missing, broken};
        QCOMPARE(QCoro::waitFor(RelayIdentityService::getHardwareUUID(sources)), std::optional<QString>());

        // Where the tool exists it alone decides, even when it cannot be started.
        const QString notExecutable = dir.filePath(QStringLiteral("ioreg-not-executable"));
        QVERIFY(writeFile(notExecutable, "#!/bin/sh\n"));
        sources.ioregPath = notExecutable;
        sources.machineIdPaths = {good};
        QCOMPARE(QCoro::waitFor(RelayIdentityService::getHardwareUUID(sources)), std::optional<QString>());

        // A stand-in tool that answers only to the registry arguments.
        const QString tool = dir.filePath(QStringLiteral("ioreg"));
        QVERIFY(writeFile(tool,
                          "#!/bin/sh\n"
                          "[ \"$*\" = \"-rd1 -c IOPlatformExpertDevice\" ] || exit 1\n"
                          "printf '  {\\n    \"IOPlatformUUID\" = \"4C4C4544-0042-3510-8052-B4C04F4E4E32\"\\n  }\\n'\n",
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        sources.ioregPath = tool;
        QCOMPARE(QCoro::waitFor(RelayIdentityService::getHardwareUUID(sources)),
                 std::optional<QString>(QStringLiteral("4C4C4544-0042-3510-8052-B4C04F4E4E32")));
    }

    void cleanupTestCase() { m_server.stop(); }
};

QTEST_GUILESS_MAIN(TestRegistration)
#include "tst_registration.moc"
