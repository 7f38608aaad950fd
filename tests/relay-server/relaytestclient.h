#pragma once

#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <QWebSocket>

#include <optional>

// A bare WebSocket peer standing in for a relay: it connects the way the relay does (key in the
// query and/or the header) and keeps every message the server sends.
class RelayTestClient : public QObject {
    Q_OBJECT
public:
    explicit RelayTestClient(QObject* parent = nullptr);

    // A null key leaves that channel out.
    void open(const QUrl& relayUrl, const QString& queryKey, const QString& headerKey);
    // Opens and waits for the handshake; false when it failed.
    bool connectTo(const QUrl& relayUrl, const QString& queryKey, const QString& headerKey, int timeoutMs = 5000);
    void send(const QJsonObject& message);
    void identify(const QString& relayId);

    // The first received message of `type` at index >= from, waiting up to the time-out.
    std::optional<QJsonObject> waitFor(const QString& type, int timeoutMs = 5000, qsizetype from = 0);
    QList<QJsonObject> receivedOfType(const QString& type) const;
    // Waits until the socket is closed; false on time-out.
    bool waitForClosed(int timeoutMs = 5000);

    QWebSocket& socket() { return m_socket; }
    const QList<QJsonObject>& received() const { return m_received; }
    const QStringList& receivedTexts() const { return m_texts; }
    bool wasConnected() const { return m_connected; }
    bool isClosed() const { return m_closed; }

private:
    QWebSocket m_socket;
    QList<QJsonObject> m_received;
    QStringList m_texts;
    bool m_connected = false;
    bool m_closed = false;
};
