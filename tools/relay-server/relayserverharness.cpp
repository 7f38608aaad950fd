#include "relayserverharness.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <limits>

namespace velto {

namespace {

const QLatin1String executableName("velto-relay-server");

QString query(const QString& name, const QString& value)
{
    return name + QLatin1Char('=') + QString::fromLatin1(QUrl::toPercentEncoding(value));
}

} // namespace

RelayServerHarness::RelayServerHarness(QObject* parent)
    : QObject(parent)
    , m_network(new QNetworkAccessManager(this))
{
    // The server is on loopback; a proxy from the environment must not get in between.
    m_network->setProxy(QNetworkProxy::NoProxy);
}

RelayServerHarness::~RelayServerHarness()
{
    stop();
}

void RelayServerHarness::setExecutable(const QString& path)
{
    m_executable = path;
}

QString RelayServerHarness::executable() const
{
    if (!m_executable.isEmpty())
        return m_executable;
    const QString binDir = qEnvironmentVariable("VELTO_BIN_DIR");
    if (!binDir.isEmpty())
        return QDir(binDir).filePath(executableName);
    return QStringLiteral(VELTO_RELAY_SERVER_BUILD_PATH);
}

QString RelayServerHarness::workDir() const
{
    return m_workDir ? m_workDir->path() : QString();
}

QUrl RelayServerHarness::wsUrl() const
{
    return QUrl(QStringLiteral("ws://127.0.0.1:%1/relay").arg(m_port));
}

QUrl RelayServerHarness::httpBase() const
{
    return QUrl(QStringLiteral("http://127.0.0.1:%1").arg(m_port));
}

bool RelayServerHarness::isRunning() const
{
    return m_process && m_process->state() == QProcess::Running;
}

bool RelayServerHarness::start(const QStringList& arguments, quint16 port, int timeoutMs)
{
    stop();
    if (!m_workDir) {
        m_workDir = std::make_unique<QTemporaryDir>();
        if (!m_workDir->isValid()) {
            m_error = QStringLiteral("cannot create a temporary folder");
            return false;
        }
    }
    m_arguments = arguments;
    const auto addUnlessGiven = [this](const QString& option, const QString& name) {
        if (!m_arguments.contains(option))
            m_arguments << option << QDir(m_workDir->path()).filePath(name);
    };
    addUnlessGiven(QStringLiteral("--events-file"), QStringLiteral("events.jsonl"));
    addUnlessGiven(QStringLiteral("--storage-dir"), QStringLiteral("storage"));
    addUnlessGiven(QStringLiteral("--data-dir"), QStringLiteral("data"));
    m_port = port;
    return launch(timeoutMs);
}

bool RelayServerHarness::restart(int timeoutMs)
{
    if (m_port == 0) {
        m_error = QStringLiteral("restart before a successful start");
        return false;
    }
    stop();
    // The old socket may linger briefly; try again until the time-out.
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        if (launch(int(std::max<qint64>(1000, timeoutMs - clock.elapsed()))))
            return true;
        if (clock.elapsed() >= timeoutMs)
            return false;
        QThread::msleep(100);
    }
}

bool RelayServerHarness::launch(int timeoutMs)
{
    const QString program = executable();
    if (!QFileInfo(program).isExecutable()) {
        m_error = QStringLiteral("relay server executable not found: %1").arg(program);
        return false;
    }
    m_process = std::make_unique<QProcess>();
    m_process->setProgram(program);
    m_process->setArguments(QStringList(m_arguments) << QStringLiteral("--port") << QString::number(m_port));
    m_process->setProcessChannelMode(QProcess::ForwardedErrorChannel); // its log shows in the test's output

    QEventLoop loop;
    QByteArray output;
    std::optional<quint16> listening;
    static const QRegularExpression line(QStringLiteral("^LISTENING (\\d+)$"), QRegularExpression::MultilineOption);
    connect(m_process.get(), &QProcess::readyReadStandardOutput, &loop, [&] {
        output += m_process->readAllStandardOutput();
        const auto match = line.match(QString::fromUtf8(output));
        if (match.hasMatch()) {
            listening = quint16(match.captured(1).toUInt());
            loop.quit();
        }
    });
    connect(m_process.get(), &QProcess::errorOccurred, &loop, [&] { loop.quit(); });
    connect(m_process.get(), &QProcess::finished, &loop, [&] { loop.quit(); });
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    m_process->start();
    loop.exec();

    if (!listening) {
        m_error = m_process->state() == QProcess::Running
            ? QStringLiteral("relay server did not report LISTENING within %1 ms").arg(timeoutMs)
            : QStringLiteral("relay server ended before listening (%1, exit code %2)")
                  .arg(m_process->errorString())
                  .arg(m_process->exitCode());
        stop();
        return false;
    }
    m_port = *listening;
    m_error.clear();
    return true;
}

void RelayServerHarness::stop()
{
    if (!m_process)
        return;
    if (m_process->state() != QProcess::NotRunning) {
        m_process->terminate();
        if (!m_process->waitForFinished(5000)) {
            m_process->kill();
            m_process->waitForFinished(5000);
        }
    }
    m_process.reset();
}

RelayServerHarness::Reply RelayServerHarness::request(const QByteArray& method, const QString& pathAndQuery,
                                                      const QByteArray& body,
                                                      const QList<QPair<QByteArray, QByteArray>>& headers,
                                                      int timeoutMs)
{
    Reply result;
    QNetworkRequest request(QUrl(httpBase().toString() + pathAndQuery));
    for (const auto& [name, value] : headers)
        request.setRawHeader(name, value);
    QNetworkReply* reply = m_network->sendCustomRequest(request, method, body);
    QEventLoop loop;
    connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    if (!reply->isFinished())
        loop.exec();
    if (!reply->isFinished()) {
        reply->abort();
        m_error = QStringLiteral("%1 %2 timed out").arg(QString::fromLatin1(method), pathAndQuery);
    } else {
        result.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        result.body = reply->readAll();
        result.json = QJsonDocument::fromJson(result.body).object();
        if (result.status == 0)
            m_error = reply->errorString();
    }
    reply->deleteLater();
    return result;
}

RelayServerHarness::Reply RelayServerHarness::postJson(const QString& pathAndQuery, const QJsonObject& body)
{
    return request("POST", pathAndQuery, QJsonDocument(body).toJson(QJsonDocument::Compact),
                   {{"Content-Type", "application/json"}});
}

QList<QJsonObject> RelayServerHarness::events(qint64 since, int timeoutMs)
{
    QList<QJsonObject> all;
    for (;;) {
        const Reply reply = request("GET", QStringLiteral("/control/events?since=%1").arg(since), {}, {}, timeoutMs);
        if (reply.status != 200)
            return {};
        for (const QJsonValue& event : reply.json.value(QLatin1String("events")).toArray()) {
            all.append(event.toObject());
            since = event.toObject().value(QLatin1String("seq")).toInteger();
        }
        if (!reply.json.value(QLatin1String("more")).toBool())
            return all;
    }
}

qint64 RelayServerHarness::lastSeq(int timeoutMs)
{
    const Reply reply = request("GET", QStringLiteral("/control/events?since=%1&limit=1").arg(
                                           std::numeric_limits<qint64>::max() / 2),
                                {}, {}, timeoutMs);
    return reply.status == 200 ? reply.json.value(QLatin1String("lastSeq")).toInteger() : -1;
}

std::optional<QJsonObject> RelayServerHarness::waitForEvent(const std::function<bool(const QJsonObject&)>& predicate,
                                                            int timeoutMs, qint64 since)
{
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        const Reply reply = request("GET", QStringLiteral("/control/events?since=%1").arg(since), {}, {},
                                    int(std::max<qint64>(500, timeoutMs - clock.elapsed())));
        if (reply.status == 200) {
            for (const QJsonValue& value : reply.json.value(QLatin1String("events")).toArray()) {
                const QJsonObject event = value.toObject();
                since = event.value(QLatin1String("seq")).toInteger();
                if (predicate(event))
                    return event;
            }
            if (reply.json.value(QLatin1String("more")).toBool())
                continue;
        }
        if (clock.elapsed() >= timeoutMs) {
            m_error = QStringLiteral("no matching event within %1 ms").arg(timeoutMs);
            return std::nullopt;
        }
        QEventLoop pause;
        QTimer::singleShot(20, &pause, &QEventLoop::quit);
        pause.exec();
    }
}

std::optional<QJsonObject> RelayServerHarness::waitForEventType(const QString& type, int timeoutMs, qint64 since)
{
    return waitForEvent([&type](const QJsonObject& event) { return event.value(QLatin1String("type")).toString() == type; },
                        timeoutMs, since);
}

QList<QJsonObject> RelayServerHarness::relays(int timeoutMs)
{
    QList<QJsonObject> list;
    const Reply reply = request("GET", QStringLiteral("/control/relays"), {}, {}, timeoutMs);
    for (const QJsonValue& relay : reply.json.value(QLatin1String("relays")).toArray())
        list.append(relay.toObject());
    return list;
}

bool RelayServerHarness::waitForAuthenticatedRelay(const QString& relayId, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        for (const QJsonObject& relay : relays(timeoutMs)) {
            if (relay.value(QLatin1String("authenticated")).toBool()
                && (relayId.isEmpty() || relay.value(QLatin1String("relayId")).toString() == relayId))
                return true;
        }
        if (clock.elapsed() >= timeoutMs) {
            m_error = QStringLiteral("no authenticated relay within %1 ms").arg(timeoutMs);
            return false;
        }
        QEventLoop pause;
        QTimer::singleShot(20, &pause, &QEventLoop::quit);
        pause.exec();
    }
}

int RelayServerHarness::push(const QJsonObject& message, const QString& relayId)
{
    const QString path = QStringLiteral("/control/send")
        + (relayId.isEmpty() ? QString() : QLatin1Char('?') + query(QStringLiteral("relayId"), relayId));
    const Reply reply = postJson(path, message);
    return reply.status == 200 ? reply.json.value(QLatin1String("sent")).toInt() : -1;
}

int RelayServerHarness::pushRaw(const QByteArray& frame, const QString& relayId)
{
    const QString path = QStringLiteral("/control/send-raw")
        + (relayId.isEmpty() ? QString() : QLatin1Char('?') + query(QStringLiteral("relayId"), relayId));
    const Reply reply = request("POST", path, frame, {{"Content-Type", "application/octet-stream"}});
    return reply.status == 200 ? reply.json.value(QLatin1String("sent")).toInt() : -1;
}

int RelayServerHarness::closeRelays(const QString& relayId, bool abort)
{
    const QString path = QStringLiteral("/control/close")
        + (relayId.isEmpty() ? QString() : QLatin1Char('?') + query(QStringLiteral("relayId"), relayId));
    const Reply reply = postJson(path, {{QStringLiteral("abort"), abort}});
    return reply.status == 200 ? reply.json.value(QLatin1String("closed")).toInt() : -1;
}

bool RelayServerHarness::setRefuseHandshake(bool refuse, int status)
{
    return postJson(QStringLiteral("/control/refuse-handshake"),
                    {{QStringLiteral("refuse"), refuse}, {QStringLiteral("status"), status}})
               .status
        == 200;
}

bool RelayServerHarness::setAuth(bool accept, const QString& message)
{
    return postJson(QStringLiteral("/control/auth"),
                    {{QStringLiteral("accept"), accept},
                     {QStringLiteral("message"), message.isNull() ? QJsonValue() : QJsonValue(message)}})
               .status
        == 200;
}

QString RelayServerHarness::issueRegistrationToken(int ttlSeconds)
{
    QString path = QStringLiteral("/connect?format=json");
    if (ttlSeconds >= 0)
        path += QStringLiteral("&ttlSeconds=%1").arg(ttlSeconds);
    return request("GET", path).json.value(QLatin1String("token")).toString();
}

QUrl RelayServerHarness::storeFile(const QString& name, const QByteArray& data)
{
    const Reply reply = request("POST", QStringLiteral("/control/files?") + query(QStringLiteral("name"), name), data,
                                {{"Content-Type", "application/octet-stream"}});
    return reply.status == 200 ? QUrl(reply.json.value(QLatin1String("storage_url")).toString()) : QUrl();
}

} // namespace velto
