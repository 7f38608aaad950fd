#pragma once

#include "logger.h"
#include "result.h"

#include <QJsonObject>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QUrl>

#include <QCoroTask>

#include <functional>
#include <optional>

class QTimer;
class QWebSocket;

namespace velto {

class WebSocketError {
public:
    enum class Code { notConnected, encodingFailed, sendFailed };
    WebSocketError(Code code, QString detail = {}) : m_code(code), m_detail(std::move(detail)) {}
    Code code() const { return m_code; }
    QString description() const;

private:
    Code m_code;
    QString m_detail; // the platform's text for sendFailed
};

// The relay's one connection to the server. Lives on the relay thread; every callback is
// invoked there. After an unexpected loss it reconnects by itself, waiting a delay that doubles
// with each consecutive failed attempt up to the maximum, until disconnect() is called.
class WebSocketClient : public QObject {
    Q_OBJECT
public:
    WebSocketClient(QUrl url, std::optional<QString> apiKey, double reconnectBaseDelaySeconds,
                    double reconnectMaxDelaySeconds, QObject* parent = nullptr);
    ~WebSocketClient() override;

    std::function<void(const QString& type, const QByteArray& bytes)> onMessage;
    std::function<void()> onConnected;
    std::function<void(const std::optional<QString>& reason)> onDisconnected;

    // Starts a socket unless one is starting or open. Returns once the socket is started;
    // onConnected follows when the WebSocket handshake has completed.
    QCoro::Task<> connectToServer();
    // Stops reconnecting and closes the socket; reports "user disconnect" if it was open.
    QCoro::Task<> disconnectFromServer();

    // Hands one text frame to the open socket. Never waits: a frame is either queued on an
    // open connection or refused.
    Result<quint64, WebSocketError> sendText(const QString& text);
    // relayEncoder: compact JSON, slashes as they are.
    Result<quint64, WebSocketError> sendTyped(const QJsonObject& message);

    // Delivery confirmation. Every frame handed to the open socket gets a number (1, 2, … per
    // connection; sendText's result carries it). requestDeliveryConfirmation() sends a WebSocket
    // ping behind the frames sent so far; the peer answers a ping only after it has read every
    // frame before it, so its pong confirms them: onFramesConfirmed(n) reports that frames 1…n of
    // the current connection arrived. At most one ping is outstanding; later requests ride on it.
    std::function<void(quint64 confirmedFrames)> onFramesConfirmed;
    void requestDeliveryConfirmation();
    quint64 framesSent() const { return m_framesSent; }

    // The owner calls this when the server accepted the relay, so the next loss starts the
    // back-off from the base delay again.
    void resetReconnectBackoff() { m_reconnectAttempt = 0; }

    bool isConnected() const { return m_isConnected; }
    bool isConnecting() const { return m_isConnecting; }
    int reconnectAttempt() const { return m_reconnectAttempt; }
    // The address actually opened: the configured URL with the key as last query item.
    QUrl connectionUrl() const;
    // The delay before reconnect attempt n + 1 (n counts consecutive failures).
    double reconnectDelay(int attempt) const;

    static constexpr qint64 maxIncomingMessageBytes = 16 * 1024 * 1024;
    static constexpr int requestTimeoutMs = 30000;

private:
    void open();
    void handleConnected(QWebSocket* socket);
    void handleLoss(QWebSocket* socket, const QString& reason);
    void cleanUp(const std::optional<QString>& reason, bool reportHandshakeFailure);
    void scheduleReconnect();
    void deliver(const QByteArray& bytes);
    void handlePong(const QByteArray& payload);

    const Logger m_logger{"WebSocket"};
    QPointer<QWebSocket> m_socket;
    QUrl m_url;
    std::optional<QString> m_apiKey;
    bool m_isConnected = false;
    bool m_isConnecting = false;
    bool m_shouldReconnect = true;
    int m_reconnectAttempt = 0;
    QTimer* m_reconnectTimer = nullptr;
    QTimer* m_handshakeTimer = nullptr;
    quint64 m_framesSent = 0;
    bool m_pingOutstanding = false;
    bool m_confirmationWanted = false;
    double m_reconnectBaseDelay;
    double m_reconnectMaxDelay;
};

} // namespace velto
