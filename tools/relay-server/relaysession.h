#pragma once

#include <QJsonObject>
#include <QObject>
#include <QString>

#include <memory>

class QTimer;
class QWebSocket;

namespace velto::relayserver {

// The API key a relay presented in its handshake, and where it came from.
struct HandshakeKeys {
    QString queryKey;   // query item "apiKey"
    QString headerKey;  // header "X-API-Key"
    bool hasQuery = false;
    bool hasHeader = false;

    // "query", "header", "both" (same key twice), "conflict" (two different keys) or "none".
    QString source() const;
    // The key to check: the one given, or nothing when none or two different ones were given.
    QString effectiveKey() const;
};

// One relay's WebSocket connection: hands every text or binary frame to the server, sends
// frames, and runs the PING and SERVER_HEARTBEAT schedules once the relay is authenticated.
class RelaySession : public QObject {
    Q_OBJECT
public:
    RelaySession(int connectionId, std::unique_ptr<QWebSocket> socket, HandshakeKeys keys, QObject* parent);
    ~RelaySession() override;

    int connectionId() const { return m_connectionId; }
    const HandshakeKeys& keys() const { return m_keys; }
    QString relayId() const { return m_relayId; }
    void setRelayId(const QString& relayId) { m_relayId = relayId; }
    bool isAuthenticated() const { return m_authenticated; }
    qint64 connectedAt() const { return m_connectedAt; }
    QString peer() const;

    // Starts (or stops, when false) the timers; intervals of 0 send nothing.
    void setAuthenticated(bool authenticated, int pingIntervalMs, int heartbeatIntervalMs);

    void send(const QJsonObject& message);
    // Sends bytes as they are, as one text frame (UTF-8) or one binary frame.
    void sendFrame(const QByteArray& frame, bool binary);
    void close(int code, const QString& reason);
    // Drops the TCP connection without a close frame, as a network failure would.
    void abort();

Q_SIGNALS:
    void frameReceived(velto::relayserver::RelaySession* session, const QByteArray& frame);
    void closed(velto::relayserver::RelaySession* session, int closeCode, const QString& closeReason);

private:
    void sendTimed(const QString& type);

    int m_connectionId;
    std::unique_ptr<QWebSocket> m_socket;
    HandshakeKeys m_keys;
    QString m_relayId;
    bool m_authenticated = false;
    qint64 m_connectedAt;
    QTimer* m_pingTimer;
    QTimer* m_heartbeatTimer;
};

} // namespace velto::relayserver
