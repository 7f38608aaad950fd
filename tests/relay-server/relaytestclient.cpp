#include "relaytestclient.h"

#include <QDateTime>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QJsonDocument>
#include <QNetworkProxy>
#include <QNetworkRequest>
#include <QTimer>
#include <QUrlQuery>

namespace {

// Runs the event loop in small steps until `done` holds or the time-out passes.
template <typename Predicate>
bool spinUntil(Predicate done, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QEventLoop loop;
        QTimer::singleShot(10, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return true;
}

} // namespace

RelayTestClient::RelayTestClient(QObject* parent)
    : QObject(parent)
{
    m_socket.setProxy(QNetworkProxy::NoProxy);
    connect(&m_socket, &QWebSocket::connected, this, [this] { m_connected = true; });
    connect(&m_socket, &QWebSocket::disconnected, this, [this] { m_closed = true; });
    connect(&m_socket, &QWebSocket::textMessageReceived, this,
            [this](const QString& text) {
                m_texts.append(text);
                m_received.append(QJsonDocument::fromJson(text.toUtf8()).object());
            });
}

void RelayTestClient::open(const QUrl& relayUrl, const QString& queryKey, const QString& headerKey)
{
    QUrl url = relayUrl;
    if (!queryKey.isNull()) {
        QUrlQuery query(url);
        query.addQueryItem(QStringLiteral("apiKey"), queryKey);
        url.setQuery(query);
    }
    QNetworkRequest request(url);
    if (!headerKey.isNull())
        request.setRawHeader("X-API-Key", headerKey.toUtf8());
    m_socket.open(request);
}

bool RelayTestClient::connectTo(const QUrl& relayUrl, const QString& queryKey, const QString& headerKey, int timeoutMs)
{
    open(relayUrl, queryKey, headerKey);
    return spinUntil([this] { return m_connected || m_closed; }, timeoutMs) && m_connected;
}

void RelayTestClient::send(const QJsonObject& message)
{
    m_socket.sendTextMessage(QString::fromUtf8(QJsonDocument(message).toJson(QJsonDocument::Compact)));
}

void RelayTestClient::identify(const QString& relayId)
{
    send({{QStringLiteral("type"), QStringLiteral("IDENTIFY")},
          {QStringLiteral("relayId"), relayId},
          {QStringLiteral("systemInfo"), QJsonObject{{QStringLiteral("cpu"), QJsonObject{}}}},
          {QStringLiteral("timestamp"), double(QDateTime::currentMSecsSinceEpoch())}});
}

std::optional<QJsonObject> RelayTestClient::waitFor(const QString& type, int timeoutMs, qsizetype from)
{
    std::optional<QJsonObject> found;
    spinUntil(
        [&] {
            for (qsizetype i = from; i < m_received.size(); ++i) {
                if (m_received.at(i).value(QLatin1String("type")).toString() == type) {
                    found = m_received.at(i);
                    return true;
                }
            }
            return false;
        },
        timeoutMs);
    return found;
}

QList<QJsonObject> RelayTestClient::receivedOfType(const QString& type) const
{
    QList<QJsonObject> list;
    for (const QJsonObject& message : m_received) {
        if (message.value(QLatin1String("type")).toString() == type)
            list.append(message);
    }
    return list;
}

bool RelayTestClient::waitForClosed(int timeoutMs)
{
    return spinUntil([this] { return m_closed; }, timeoutMs);
}
