#include "websocketclient.h"

#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QUrlQuery>
#include <QWebSocket>
#include <QWebSocketServer>

using namespace velto;

namespace {

// What the client did, in order, as its callbacks saw it.
struct Recorder {
    QStringList events;
    QList<QPair<QString, QByteArray>> messages;

    void attach(WebSocketClient& client)
    {
        client.onConnected = [this] { events << QStringLiteral("connected"); };
        client.onDisconnected = [this](const std::optional<QString>& reason) {
            events << QStringLiteral("disconnected:") + reason.value_or(QStringLiteral("<none>"));
        };
        client.onMessage = [this](const QString& type, const QByteArray& bytes) { messages.append({type, bytes}); };
    }
    int count(const QString& prefix) const
    {
        return int(std::count_if(events.begin(), events.end(), [&](const QString& e) { return e.startsWith(prefix); }));
    }
};

// A loopback WebSocket peer that remembers the upgrade requests it accepted.
class Peer : public QObject {
public:
    Peer() : server(QStringLiteral("peer"), QWebSocketServer::NonSecureMode)
    {
        server.listen(QHostAddress::LocalHost);
        connect(&server, &QWebSocketServer::newConnection, this, [this] {
            while (QWebSocket* s = server.nextPendingConnection()) {
                sockets.append(s);
                requests.append(s->request());
            }
        });
    }
    QUrl url(const QString& query = {}) const
    {
        QUrl u(QStringLiteral("ws://127.0.0.1:%1/relay").arg(server.serverPort()));
        if (!query.isEmpty())
            u.setQuery(query);
        return u;
    }
    QWebSocketServer server;
    QList<QWebSocket*> sockets;
    QList<QNetworkRequest> requests;
};

} // namespace

class TestWebSocketClient : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void apiKeyTravelsInQueryAndHeader_data()
    {
        QTest::addColumn<bool>("withKey");
        QTest::newRow("with key") << true;
        QTest::newRow("without key") << false;
    }
    void apiKeyTravelsInQueryAndHeader()
    {
        QFETCH(bool, withKey);
        Peer peer;
        const QString key = QStringLiteral("k&y=1/2");
        WebSocketClient client(peer.url(QStringLiteral("a=1")), withKey ? std::optional(key) : std::nullopt, 0.05, 0.4);
        Recorder rec;
        rec.attach(client);
        client.connectToServer();
        client.connectToServer(); // a second connect while connecting opens nothing more
        QTRY_COMPARE(rec.events, QStringList{QStringLiteral("connected")});
        QTest::qWait(50);
        QCOMPARE(peer.requests.size(), 1);

        const QNetworkRequest& request = peer.requests.first();
        const QUrlQuery query(request.url());
        const auto items = query.queryItems(QUrl::FullyDecoded);
        if (withKey) {
            QCOMPARE(items.size(), 2);
            QCOMPARE(items.first().first, QStringLiteral("a"));
            QCOMPARE(items.last(), qMakePair(QStringLiteral("apiKey"), key)); // last item, decoded back intact
            QCOMPARE(request.rawHeader("X-API-Key"), key.toUtf8());
        } else {
            QCOMPARE(items.size(), 1);
            QVERIFY(!request.hasRawHeader("X-API-Key"));
        }
    }

    void deliversFramesInOrderAndDropsUntyped()
    {
        Peer peer;
        WebSocketClient client(peer.url(), std::nullopt, 0.05, 0.4);
        Recorder rec;
        rec.attach(client);
        client.connectToServer();
        QTRY_COMPARE(peer.sockets.size(), 1);
        QTRY_COMPARE(rec.count(QStringLiteral("connected")), 1);
        QWebSocket* s = peer.sockets.first();
        s->sendTextMessage(QStringLiteral(R"({"type":"A","n":1})"));
        s->sendTextMessage(QStringLiteral(R"({"no":"type"})"));
        s->sendTextMessage(QStringLiteral("not json"));
        s->sendBinaryMessage(QByteArrayLiteral(R"({"type":"B"})"));
        s->sendTextMessage(QStringLiteral(R"({"type":"C"})"));
        QTRY_COMPARE(rec.messages.size(), 3);
        QCOMPARE(rec.messages.at(0).first, QStringLiteral("A"));
        QCOMPARE(rec.messages.at(0).second, QByteArray(R"({"type":"A","n":1})"));
        QCOMPARE(rec.messages.at(1).first, QStringLiteral("B"));
        QCOMPARE(rec.messages.at(2).first, QStringLiteral("C"));
    }

    void reconnectsAfterServerCloseAndSendFailsMeanwhile()
    {
        Peer peer;
        WebSocketClient client(peer.url(), std::nullopt, 0.3, 1.0);
        Recorder rec;
        rec.attach(client);
        client.connectToServer();
        QTRY_COMPARE(peer.sockets.size(), 1);
        QTRY_VERIFY(client.isConnected());
        QVERIFY(client.sendText(QStringLiteral(R"({"type":"X"})")).ok());

        peer.sockets.first()->close();
        QTRY_COMPARE(rec.count(QStringLiteral("disconnected:")), 1);
        const auto refused = client.sendText(QStringLiteral(R"({"type":"X"})"));
        QVERIFY(!refused.ok());
        QCOMPARE(refused.error().description(), QStringLiteral("WebSocket is not connected"));

        QTRY_COMPARE(peer.sockets.size(), 2);
        QTRY_COMPARE(rec.count(QStringLiteral("connected")), 2);
    }

    // A server that answers the upgrade with an HTTP error: the client must not claim to be
    // connected, must report why, and must back off longer with each failure.
    void refusedHandshakeBacksOffAndNeverConnects()
    {
        QTcpServer refuser;
        QVERIFY(refuser.listen(QHostAddress::LocalHost));
        int attempts = 0;
        connect(&refuser, &QTcpServer::newConnection, this, [&] {
            while (QTcpSocket* s = refuser.nextPendingConnection()) {
                ++attempts;
                connect(s, &QTcpSocket::readyRead, s, [s] {
                    s->readAll();
                    s->write("HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
                    s->disconnectFromHost();
                });
            }
        });
        WebSocketClient client(QUrl(QStringLiteral("ws://127.0.0.1:%1/relay").arg(refuser.serverPort())), std::nullopt,
                               0.02, 0.16);
        Recorder rec;
        rec.attach(client);
        client.connectToServer();
        QTRY_VERIFY_WITH_TIMEOUT(attempts >= 5, 10000);
        QCOMPARE(rec.count(QStringLiteral("connected")), 0);
        QVERIFY(rec.count(QStringLiteral("disconnected:")) >= 4);
        QVERIFY(client.reconnectAttempt() >= 4);
        // The delays double up to the cap.
        QCOMPARE(client.reconnectDelay(0), 0.02);
        QCOMPARE(client.reconnectDelay(2), 0.08);
        QCOMPARE(client.reconnectDelay(6), 0.16);

        client.disconnectFromServer();
        const int attemptsAtStop = attempts;
        QTest::qWait(500);
        QCOMPARE(attempts, attemptsAtStop);
    }

    // A confirmation reports only frames the peer has already read, and requests made while a
    // ping is outstanding are answered by a later one.
    void deliveryConfirmationFollowsThePeer()
    {
        Peer peer;
        WebSocketClient client(peer.url(), std::nullopt, 0.05, 0.4);
        Recorder rec;
        rec.attach(client);
        QList<QPair<quint64, int>> confirmations; // (confirmed frames, frames the peer had read then)
        int received = 0;
        client.onFramesConfirmed = [&](quint64 n) { confirmations.append({n, received}); };
        client.connectToServer();
        QTRY_COMPARE(peer.sockets.size(), 1);
        QTRY_VERIFY(client.isConnected());
        connect(peer.sockets.first(), &QWebSocket::textMessageReceived, this, [&] { ++received; });

        for (int i = 1; i <= 50; ++i) {
            const auto sent = client.sendText(QStringLiteral(R"({"type":"E","n":%1})").arg(i));
            QVERIFY(sent.ok());
            QCOMPARE(sent.value(), quint64(i));
            if (i == 10 || i == 20 || i == 50)
                client.requestDeliveryConfirmation();
        }
        QTRY_VERIFY(!confirmations.isEmpty() && confirmations.last().first == 50);
        QVERIFY(confirmations.size() <= 3);
        for (const auto& [confirmed, readByPeer] : confirmations)
            QVERIFY2(quint64(readByPeer) >= confirmed, qPrintable(QStringLiteral("%1 > %2").arg(confirmed).arg(readByPeer)));
    }

    void disconnectStopsReconnecting()
    {
        Peer peer;
        WebSocketClient client(peer.url(), std::nullopt, 0.05, 0.1);
        Recorder rec;
        rec.attach(client);
        client.connectToServer();
        QTRY_VERIFY(client.isConnected());
        client.disconnectFromServer();
        QCOMPARE(rec.events, (QStringList{QStringLiteral("connected"), QStringLiteral("disconnected:user disconnect")}));
        QTest::qWait(400);
        QCOMPARE(peer.requests.size(), 1);
        QCOMPARE(rec.events.size(), 2);
        // Disconnecting again reports nothing.
        client.disconnectFromServer();
        QCOMPARE(rec.events.size(), 2);
    }
};

QTEST_GUILESS_MAIN(TestWebSocketClient)
#include "tst_websocketclient.moc"
