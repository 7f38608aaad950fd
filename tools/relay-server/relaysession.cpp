#include "relaysession.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QTimer>
#include <QWebSocket>

namespace velto::relayserver {

QString HandshakeKeys::source() const
{
    if (hasQuery && hasHeader)
        return queryKey == headerKey ? QStringLiteral("both") : QStringLiteral("conflict");
    if (hasQuery)
        return QStringLiteral("query");
    if (hasHeader)
        return QStringLiteral("header");
    return QStringLiteral("none");
}

QString HandshakeKeys::effectiveKey() const
{
    if (hasQuery && hasHeader && queryKey != headerKey)
        return {};
    return hasQuery ? queryKey : headerKey;
}

RelaySession::RelaySession(int connectionId, std::unique_ptr<QWebSocket> socket, HandshakeKeys keys,
                           QObject* parent)
    : QObject(parent)
    , m_connectionId(connectionId)
    , m_socket(std::move(socket))
    , m_keys(std::move(keys))
    , m_connectedAt(QDateTime::currentMSecsSinceEpoch())
    , m_pingTimer(new QTimer(this))
    , m_heartbeatTimer(new QTimer(this))
{
    // Historical batches can be large; anything beyond this is not a relay talking.
    m_socket->setMaxAllowedIncomingMessageSize(64 * 1024 * 1024);
    connect(m_socket.get(), &QWebSocket::textMessageReceived, this,
            [this](const QString& text) { Q_EMIT frameReceived(this, text.toUtf8()); });
    connect(m_socket.get(), &QWebSocket::binaryMessageReceived, this,
            [this](const QByteArray& data) { Q_EMIT frameReceived(this, data); });
    connect(m_socket.get(), &QWebSocket::disconnected, this, [this] {
        m_pingTimer->stop();
        m_heartbeatTimer->stop();
        Q_EMIT closed(this, int(m_socket->closeCode()), m_socket->closeReason());
    });
    connect(m_pingTimer, &QTimer::timeout, this, [this] { sendTimed(QStringLiteral("PING")); });
    connect(m_heartbeatTimer, &QTimer::timeout, this, [this] { sendTimed(QStringLiteral("SERVER_HEARTBEAT")); });
}

RelaySession::~RelaySession()
{
    if (m_socket)
        m_socket->disconnect(this);
}

QString RelaySession::peer() const
{
    return m_socket->peerAddress().toString() + QLatin1Char(':') + QString::number(m_socket->peerPort());
}

void RelaySession::setAuthenticated(bool authenticated, int pingIntervalMs, int heartbeatIntervalMs)
{
    m_authenticated = authenticated;
    m_pingTimer->stop();
    m_heartbeatTimer->stop();
    if (!authenticated)
        return;
    if (pingIntervalMs > 0)
        m_pingTimer->start(pingIntervalMs);
    if (heartbeatIntervalMs > 0)
        m_heartbeatTimer->start(heartbeatIntervalMs);
}

void RelaySession::send(const QJsonObject& message)
{
    sendFrame(QJsonDocument(message).toJson(QJsonDocument::Compact), false);
}

void RelaySession::sendFrame(const QByteArray& frame, bool binary)
{
    if (binary)
        m_socket->sendBinaryMessage(frame);
    else
        m_socket->sendTextMessage(QString::fromUtf8(frame));
}

void RelaySession::sendTimed(const QString& type)
{
    send({{QStringLiteral("type"), type}, {QStringLiteral("timestamp"), double(QDateTime::currentMSecsSinceEpoch())}});
}

void RelaySession::close(int code, const QString& reason)
{
    m_socket->close(QWebSocketProtocol::CloseCode(code), reason);
}

void RelaySession::abort()
{
    m_socket->abort();
}

} // namespace velto::relayserver
