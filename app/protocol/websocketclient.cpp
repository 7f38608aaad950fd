#include "websocketclient.h"

#include "envelope.h"

#include <QNetworkRequest>
#include <QTimer>
#include <QUrlQuery>
#include <QWebSocket>

#include <cmath>

namespace velto {

QString WebSocketError::description() const
{
    switch (m_code) {
    case Code::notConnected:
        return QStringLiteral("WebSocket is not connected");
    case Code::encodingFailed:
        return QStringLiteral("Failed to encode message");
    case Code::sendFailed:
        return m_detail;
    }
    return {};
}

WebSocketClient::WebSocketClient(QUrl url, std::optional<QString> apiKey, double reconnectBaseDelaySeconds,
                                 double reconnectMaxDelaySeconds, QObject* parent)
    : QObject(parent)
    , m_url(std::move(url))
    , m_apiKey(std::move(apiKey))
    , m_reconnectTimer(new QTimer(this))
    , m_handshakeTimer(new QTimer(this))
    , m_reconnectBaseDelay(reconnectBaseDelaySeconds)
    , m_reconnectMaxDelay(reconnectMaxDelaySeconds)
{
    m_reconnectTimer->setSingleShot(true);
    m_reconnectTimer->setTimerType(Qt::PreciseTimer);
    connect(m_reconnectTimer, &QTimer::timeout, this, [this] {
        ++m_reconnectAttempt;
        open();
    });
    m_handshakeTimer->setSingleShot(true);
    m_handshakeTimer->setInterval(requestTimeoutMs);
    connect(m_handshakeTimer, &QTimer::timeout, this, [this] {
        if (m_socket && m_isConnecting)
            handleLoss(m_socket, QStringLiteral("The request timed out."));
    });
}

WebSocketClient::~WebSocketClient()
{
    // Releasing the client releases the socket without reporting anything.
    if (m_socket) {
        m_socket->disconnect(this);
        m_socket->abort();
    }
}

QUrl WebSocketClient::connectionUrl() const
{
    if (!m_apiKey)
        return m_url;
    QUrl url = m_url;
    QUrlQuery query(url);
    query.addQueryItem(QStringLiteral("apiKey"), QString::fromLatin1(QUrl::toPercentEncoding(*m_apiKey)));
    url.setQuery(query.query(QUrl::FullyEncoded), QUrl::StrictMode);
    return url.isValid() ? url : m_url;
}

double WebSocketClient::reconnectDelay(int attempt) const
{
    return std::min(m_reconnectBaseDelay * std::pow(2.0, attempt), m_reconnectMaxDelay);
}

QCoro::Task<> WebSocketClient::connectToServer()
{
    if (m_isConnecting || m_isConnected)
        co_return;
    m_isConnecting = true;
    m_shouldReconnect = true;
    m_reconnectAttempt = 0;
    open();
    co_return;
}

QCoro::Task<> WebSocketClient::disconnectFromServer()
{
    m_shouldReconnect = false;
    cleanUp(QStringLiteral("user disconnect"), false);
    co_return;
}

void WebSocketClient::open()
{
    m_logger.info(QStringLiteral("Connecting to %1").arg(m_url.toString(QUrl::RemoveUserInfo)));
    QNetworkRequest request(connectionUrl());
    request.setTransferTimeout(requestTimeoutMs);
    if (m_apiKey) {
        request.setRawHeader(QByteArrayLiteral("X-API-Key"), m_apiKey->toUtf8());
        m_logger.info(QStringLiteral("Using relay API key for authentication"));
    }

    auto* socket = new QWebSocket(QString(), QWebSocketProtocol::VersionLatest, this);
    socket->setMaxAllowedIncomingMessageSize(maxIncomingMessageBytes);
    m_socket = socket;
    m_isConnecting = true;

    connect(socket, &QWebSocket::connected, this, [this, socket] { handleConnected(socket); });
    connect(socket, &QWebSocket::disconnected, this, [this, socket] {
        const QString reason = socket->closeCode() != QWebSocketProtocol::CloseCodeNormal
                                       || !socket->closeReason().isEmpty()
                                   ? QStringLiteral("Connection closed (code %1%2)")
                                         .arg(int(socket->closeCode()))
                                         .arg(socket->closeReason().isEmpty() ? QString()
                                                                               : QStringLiteral(": ") + socket->closeReason())
                                   : QStringLiteral("Connection closed");
        handleLoss(socket, socket->error() != QAbstractSocket::UnknownSocketError ? socket->errorString() : reason);
    });
    connect(socket, qOverload<QAbstractSocket::SocketError>(&QWebSocket::error), this,
            [this, socket](QAbstractSocket::SocketError) { handleLoss(socket, socket->errorString()); });
    connect(socket, &QWebSocket::textMessageReceived, this,
            [this](const QString& text) { deliver(text.toUtf8()); });
    connect(socket, &QWebSocket::binaryMessageReceived, this, [this](const QByteArray& data) { deliver(data); });
    connect(socket, &QWebSocket::pong, this, [this, socket](quint64, const QByteArray& payload) {
        if (socket == m_socket)
            handlePong(payload);
    });

    m_handshakeTimer->start();
    socket->open(request);
}

void WebSocketClient::handleConnected(QWebSocket* socket)
{
    if (socket != m_socket)
        return;
    m_handshakeTimer->stop();
    m_isConnecting = false;
    m_isConnected = true;
    m_framesSent = 0;
    m_pingOutstanding = false;
    m_confirmationWanted = false;
    if (onConnected)
        onConnected();
}

void WebSocketClient::deliver(const QByteArray& bytes)
{
    const auto type = Envelope::decodeType(bytes);
    if (!type) {
        m_logger.error(QStringLiteral("Failed to decode message type from WebSocket data"));
        return;
    }
    if (onMessage)
        onMessage(*type, bytes);
}

void WebSocketClient::handleLoss(QWebSocket* socket, const QString& reason)
{
    // A socket reports a failure through more than one signal; only the current one counts.
    if (socket != m_socket)
        return;
    m_logger.error(QStringLiteral("WebSocket connection lost: %1").arg(reason));
    cleanUp(reason, true);
    if (m_shouldReconnect)
        scheduleReconnect();
}

void WebSocketClient::cleanUp(const std::optional<QString>& reason, bool reportHandshakeFailure)
{
    m_reconnectTimer->stop();
    m_handshakeTimer->stop();
    if (QWebSocket* socket = m_socket) {
        m_socket = nullptr;
        socket->disconnect(this);
        socket->close(QWebSocketProtocol::CloseCodeGoingAway);
        socket->deleteLater();
    }
    const bool wasConnected = m_isConnected;
    const bool wasHandshaking = m_isConnecting;
    m_isConnected = false;
    m_isConnecting = false;
    // A failed handshake is reported too, so the owner learns why it is not connected.
    if (wasConnected || (reportHandshakeFailure && wasHandshaking)) {
        if (onDisconnected)
            onDisconnected(reason);
    }
}

void WebSocketClient::scheduleReconnect()
{
    const double delay = reconnectDelay(m_reconnectAttempt);
    m_logger.info(QStringLiteral("Reconnecting in %1s (attempt %2)")
                      .arg(QString::number(delay, 'f', 6))
                      .arg(m_reconnectAttempt + 1));
    m_reconnectTimer->start(int(std::lround(delay * 1000)));
}

Result<quint64, WebSocketError> WebSocketClient::sendText(const QString& text)
{
    if (!m_socket || !m_isConnected)
        return fail(WebSocketError(WebSocketError::Code::notConnected));
    // The socket reports how many payload bytes it queued; nothing queued for a non-empty
    // text means the frame was refused.
    const qint64 queued = m_socket->sendTextMessage(text);
    if (queued < 0 || (queued == 0 && !text.isEmpty()))
        return fail(WebSocketError(WebSocketError::Code::sendFailed, m_socket->errorString()));
    return ++m_framesSent;
}

void WebSocketClient::requestDeliveryConfirmation()
{
    if (!m_socket || !m_isConnected)
        return;
    if (m_pingOutstanding) {
        m_confirmationWanted = true;
        return;
    }
    m_pingOutstanding = true;
    m_confirmationWanted = false;
    QByteArray payload;
    payload.setNum(m_framesSent);
    m_socket->ping(payload);
}

void WebSocketClient::handlePong(const QByteArray& payload)
{
    if (!m_pingOutstanding)
        return;
    bool ok = false;
    const quint64 confirmed = payload.toULongLong(&ok);
    m_pingOutstanding = false;
    if (ok && onFramesConfirmed)
        onFramesConfirmed(confirmed);
    if (m_confirmationWanted)
        requestDeliveryConfirmation();
}

Result<quint64, WebSocketError> WebSocketClient::sendTyped(const QJsonObject& message)
{
    if (!m_socket || !m_isConnected)
        return fail(WebSocketError(WebSocketError::Code::notConnected));
    const QByteArray bytes = Envelope::encodeTyped(message);
    const QString text = QString::fromUtf8(bytes);
    if (text.toUtf8() != bytes)
        return fail(WebSocketError(WebSocketError::Code::encodingFailed));
    return sendText(text);
}

} // namespace velto
