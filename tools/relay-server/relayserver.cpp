#include "relayserver.h"

#include "httpreply.h"

#include <QDateTime>
#include <QHttpServerResponder>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTcpSocket>
#include <QUrlQuery>
#include <QWebSocket>

namespace velto::relayserver {

namespace {

using Method = QHttpServerRequest::Method;

double nowMs()
{
    return double(QDateTime::currentMSecsSinceEpoch());
}

bool isWebSocketUpgrade(const QHttpServerRequest& request)
{
    return request.value("upgrade").compare("websocket", Qt::CaseInsensitive) == 0;
}

QString peerOf(const QHostAddress& address, quint16 port)
{
    return address.toString() + QLatin1Char(':') + QString::number(port);
}

HandshakeKeys keysOf(const QHttpServerRequest& request)
{
    HandshakeKeys keys;
    const QUrlQuery query = request.query();
    if (query.hasQueryItem(QStringLiteral("apiKey"))) {
        keys.hasQuery = true;
        keys.queryKey = query.queryItemValue(QStringLiteral("apiKey"), QUrl::FullyDecoded);
    }
    for (const auto& [name, value] : request.headers()) {
        if (name.compare("x-api-key", Qt::CaseInsensitive) == 0) {
            keys.hasHeader = true;
            keys.headerKey = QString::fromUtf8(value);
        }
    }
    return keys;
}

} // namespace

const std::vector<RelayServer::Route>& RelayServer::routes()
{
    static const std::vector<Route> table{
        {Method::Get, QLatin1String("/relay"), false, &RelayServer::getRelayWithoutUpgrade},
        {Method::Post, QLatin1String("/api/v1/relay/attachments/upload"), false, &RelayServer::postUpload},
        {Method::Post, QLatin1String("/api/v1/relay/register"), false, &RelayServer::postRegister},
        {Method::Get, QLatin1String("/connect"), false, &RelayServer::getConnect},
        {Method::Get, QLatin1String("/storage/"), true, &RelayServer::getStorage},
        {Method::Get, QLatin1String("/live"), false, &RelayServer::getLive},
        {Method::Get, QLatin1String("/control/events"), false, &RelayServer::getEvents},
        {Method::Get, QLatin1String("/control/relays"), false, &RelayServer::getRelays},
        {Method::Get, QLatin1String("/control/registrations"), false, &RelayServer::getRegistrations},
        {Method::Post, QLatin1String("/control/send"), false, &RelayServer::postSend},
        {Method::Post, QLatin1String("/control/send-raw"), false, &RelayServer::postSendRaw},
        {Method::Post, QLatin1String("/control/close"), false, &RelayServer::postClose},
        {Method::Post, QLatin1String("/control/refuse-handshake"), false, &RelayServer::postRefuseHandshake},
        {Method::Post, QLatin1String("/control/auth"), false, &RelayServer::postAuth},
        {Method::Post, QLatin1String("/control/files"), false, &RelayServer::postFiles},
    };
    return table;
}

RelayServer::RelayServer(ServerOptions options, QObject* parent)
    : QAbstractHttpServer(parent)
    , m_options(std::move(options))
    , m_events(m_options.maxEventsInMemory)
    , m_uploads(m_options.storageDir)
    , m_credentials(m_options.dataDir, Tenant{m_options.tenantId, m_options.tenantName}, m_options.apiKeys,
                    m_options.rejectReregistration)
{
    connect(this, &QAbstractHttpServer::newWebSocketConnection, this, &RelayServer::acceptWebSockets);
}

RelayServer::~RelayServer() = default;

Result<quint16, QString> RelayServer::start()
{
    if (!m_options.eventsFile.isEmpty()) {
        if (auto opened = m_events.openFile(m_options.eventsFile); !opened)
            return fail(opened.error());
    }
    if (auto opened = m_uploads.open(); !opened)
        return fail(opened.error());
    if (auto loaded = m_credentials.load(); !loaded)
        return fail(loaded.error());
    m_port = listen(QHostAddress(m_options.host), m_options.port);
    if (m_port == 0)
        return fail(QStringLiteral("Cannot listen on %1:%2").arg(m_options.host).arg(m_options.port));
    m_log.info(QStringLiteral("Listening on %1, storage in %2").arg(httpBase(), m_uploads.directory()));
    return m_port;
}

QString RelayServer::httpBase() const
{
    const QHostAddress host(m_options.host);
    const bool any = host == QHostAddress::Any || host == QHostAddress::AnyIPv4 || host == QHostAddress::AnyIPv6;
    QString name = any ? QStringLiteral("127.0.0.1") : m_options.host;
    if (name.contains(QLatin1Char(':')))
        name = QLatin1Char('[') + name + QLatin1Char(']');
    return QStringLiteral("http://%1:%2").arg(name).arg(m_port);
}

bool RelayServer::handleRequest(const QHttpServerRequest& request, QTcpSocket* socket)
{
    const QString path = request.url().path();
    if (isWebSocketUpgrade(request)) {
        // Handled without writing anything: the server then passes the socket on to the
        // WebSocket handshake. Declining sends it to missingHandler, which answers in HTTP.
        if (path != QLatin1String("/relay") || m_refuseHandshake)
            return false;
        if (m_pendingHandshakes.size() > 1000)
            m_pendingHandshakes.clear(); // handshakes that never completed
        m_pendingHandshakes.insert(peerOf(socket->peerAddress(), socket->peerPort()), keysOf(request));
        return true;
    }

    bool pathKnown = false;
    for (const Route& route : routes()) {
        const bool matches = route.prefix ? path.startsWith(route.path) : path == route.path;
        if (!matches)
            continue;
        pathKnown = true;
        if (route.method != request.method())
            continue;
        QHttpServerResponder responder = makeResponder(request, socket);
        (this->*route.handler)(request, responder);
        return true;
    }
    if (pathKnown) {
        QHttpServerResponder responder = makeResponder(request, socket);
        HttpReply::error(responder, HttpReply::Status::MethodNotAllowed, QStringLiteral("Method not allowed"));
        return true;
    }
    return false;
}

void RelayServer::missingHandler(const QHttpServerRequest& request, QTcpSocket* socket)
{
    QHttpServerResponder responder = makeResponder(request, socket);
    if (isWebSocketUpgrade(request) && request.url().path() == QLatin1String("/relay")) {
        record({{QStringLiteral("source"), QStringLiteral("server")},
                {QStringLiteral("type"), QStringLiteral("HANDSHAKE_REFUSED")},
                {QStringLiteral("status"), m_refuseStatus},
                {QStringLiteral("peer"), peerOf(socket->peerAddress(), socket->peerPort())}});
        HttpReply::error(responder, HttpReply::Status(m_refuseStatus), QStringLiteral("Handshake refused"));
        return;
    }
    HttpReply::error(responder, HttpReply::Status::NotFound, QStringLiteral("Not found"));
}

void RelayServer::record(QJsonObject event)
{
    m_events.append(std::move(event));
}

void RelayServer::acceptWebSockets()
{
    while (hasPendingWebSocketConnections()) {
        std::unique_ptr<QWebSocket> socket = nextPendingWebSocketConnection();
        if (!socket)
            continue;
        const QString peer = peerOf(socket->peerAddress(), socket->peerPort());
        const HandshakeKeys keys = m_pendingHandshakes.take(peer);
        const int id = ++m_nextConnectionId;
        auto* session = new RelaySession(id, std::move(socket), keys, this);
        connect(session, &RelaySession::frameReceived, this, &RelayServer::handleFrame);
        connect(session, &RelaySession::closed, this, &RelayServer::handleClosed);
        m_sessions.insert(id, session);
        m_log.info(QStringLiteral("Relay connection %1 from %2 (key via %3)").arg(id).arg(peer, keys.source()));
        record({{QStringLiteral("source"), QStringLiteral("server")},
                {QStringLiteral("type"), QStringLiteral("CONNECTED")},
                {QStringLiteral("connectionId"), id},
                {QStringLiteral("keySource"), keys.source()},
                {QStringLiteral("peer"), peer}});
    }
}

void RelayServer::handleFrame(RelaySession* session, const QByteArray& frame)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(frame, &error);
    const QJsonObject message = document.object();
    const QJsonValue type = message.value(QLatin1String("type"));
    if (error.error != QJsonParseError::NoError || !document.isObject() || !type.isString()) {
        record({{QStringLiteral("source"), QStringLiteral("relay")},
                {QStringLiteral("type"), QStringLiteral("INVALID_FRAME")},
                {QStringLiteral("connectionId"), session->connectionId()},
                {QStringLiteral("relayId"), session->relayId()},
                {QStringLiteral("raw"), QString::fromUtf8(frame.left(4096))}});
        return;
    }

    if (type.toString() == QLatin1String("IDENTIFY")) {
        // The events of a connection carry the relay id from IDENTIFY on.
        session->setRelayId(message.value(QLatin1String("relayId")).toString());
    }
    record({{QStringLiteral("source"), QStringLiteral("relay")},
            {QStringLiteral("type"), type},
            {QStringLiteral("connectionId"), session->connectionId()},
            {QStringLiteral("relayId"), session->relayId()},
            {QStringLiteral("message"), message}});

    if (type.toString() == QLatin1String("IDENTIFY"))
        handleIdentify(session, message);
    else if (type.toString() == QLatin1String("HISTORICAL_MESSAGES_BATCH") && m_options.batchAck)
        handleHistoricalBatch(session, message);
}

void RelayServer::handleIdentify(RelaySession* session, const QJsonObject& message)
{
    if (!m_answerIdentify)
        return; // the relay keeps waiting, as with a server that never decides
    std::optional<QString> failure;
    std::optional<KeyOwner> owner;
    const HandshakeKeys& keys = session->keys();
    if (m_forceAuthFailure) {
        failure = m_forcedAuthMessage.value_or(QString());
    } else if (!message.value(QLatin1String("relayId")).isString()
               || message.value(QLatin1String("relayId")).toString().isEmpty()) {
        failure = QStringLiteral("Missing relayId");
    } else if (keys.source() == QLatin1String("conflict")) {
        failure = QStringLiteral("Conflicting API keys in query and header");
    } else if (keys.effectiveKey().isEmpty()) {
        failure = QStringLiteral("Missing API key");
    } else if (owner = m_credentials.ownerOf(keys.effectiveKey()); !owner) {
        failure = QStringLiteral("Invalid API key");
    }

    QJsonObject result{{QStringLiteral("type"), QStringLiteral("AUTH_RESULT")},
                       {QStringLiteral("success"), !failure.has_value()},
                       {QStringLiteral("timestamp"), nowMs()}};
    if (failure) {
        // A forced failure without a message leaves the member out, as a terse server would.
        if (!failure->isEmpty() || !m_forceAuthFailure)
            result.insert(QStringLiteral("message"), *failure);
    } else {
        result.insert(QStringLiteral("tenant"), QJsonObject{{QStringLiteral("id"), owner->tenant.id},
                                                            {QStringLiteral("name"), owner->tenant.name}});
    }
    session->setAuthenticated(!failure, m_options.pingIntervalMs, m_options.heartbeatIntervalMs);
    session->send(result);
    record({{QStringLiteral("source"), QStringLiteral("server")},
            {QStringLiteral("type"), QStringLiteral("AUTH_RESULT")},
            {QStringLiteral("connectionId"), session->connectionId()},
            {QStringLiteral("relayId"), session->relayId()},
            {QStringLiteral("message"), result}});
}

void RelayServer::handleHistoricalBatch(RelaySession* session, const QJsonObject& message)
{
    const QJsonValue batchId = message.value(QLatin1String("batchId"));
    if (!batchId.isString())
        return;
    int inserted = 0;
    int duplicates = 0;
    for (const QJsonValue& entry : message.value(QLatin1String("messages")).toArray()) {
        const QJsonValue guid = entry.toObject().value(QLatin1String("guid"));
        if (guid.isString() && m_storedGuids.contains(guid.toString())) {
            ++duplicates;
        } else {
            ++inserted;
            if (guid.isString())
                m_storedGuids.insert(guid.toString());
        }
    }
    const QJsonObject ack{{QStringLiteral("type"), QStringLiteral("BATCH_ACK")},
                          {QStringLiteral("batchId"), batchId},
                          {QStringLiteral("insertedCount"), inserted},
                          {QStringLiteral("duplicatesSkipped"), duplicates},
                          {QStringLiteral("serverTimestamp"), nowMs()}};
    session->send(ack);
    record({{QStringLiteral("source"), QStringLiteral("server")},
            {QStringLiteral("type"), QStringLiteral("BATCH_ACK")},
            {QStringLiteral("connectionId"), session->connectionId()},
            {QStringLiteral("relayId"), session->relayId()},
            {QStringLiteral("message"), ack}});
}

void RelayServer::handleClosed(RelaySession* session, int closeCode, const QString& closeReason)
{
    m_log.info(QStringLiteral("Relay connection %1 closed (%2)").arg(session->connectionId()).arg(closeCode));
    record({{QStringLiteral("source"), QStringLiteral("server")},
            {QStringLiteral("type"), QStringLiteral("DISCONNECTED")},
            {QStringLiteral("connectionId"), session->connectionId()},
            {QStringLiteral("relayId"), session->relayId()},
            {QStringLiteral("closeCode"), closeCode},
            {QStringLiteral("closeReason"), closeReason}});
    m_sessions.remove(session->connectionId());
    session->deleteLater();
}

QList<RelaySession*> RelayServer::selectSessions(const QHttpServerRequest& request, bool authenticatedOnly) const
{
    const QUrlQuery query = request.query();
    const bool byRelay = query.hasQueryItem(QStringLiteral("relayId"));
    const QString relayId = query.queryItemValue(QStringLiteral("relayId"), QUrl::FullyDecoded);
    const bool byConnection = query.hasQueryItem(QStringLiteral("connectionId"));
    const int connectionId = query.queryItemValue(QStringLiteral("connectionId")).toInt();
    QList<RelaySession*> selected;
    for (RelaySession* session : m_sessions) {
        if (authenticatedOnly && !session->isAuthenticated())
            continue;
        if (byRelay && session->relayId() != relayId)
            continue;
        if (byConnection && session->connectionId() != connectionId)
            continue;
        selected.append(session);
    }
    return selected;
}

} // namespace velto::relayserver
