#pragma once

#include "credentialstore.h"
#include "eventlog.h"
#include "logger.h"
#include "relaysession.h"
#include "result.h"
#include "serveroptions.h"
#include "uploadstore.h"

#include <QAbstractHttpServer>
#include <QHttpServerRequest>
#include <QHash>
#include <QJsonObject>
#include <QMap>
#include <QSet>

#include <optional>
#include <vector>

class QHttpServerResponder;

namespace velto::relayserver {

// The reference relay server: WebSocket "/relay", registration, attachment upload and storage,
// the "/connect" page, and the control API and live page that tests and the demo drive it with,
// all on one port.
class RelayServer : public QAbstractHttpServer {
    Q_OBJECT
public:
    explicit RelayServer(ServerOptions options, QObject* parent = nullptr);
    ~RelayServer() override;

    // Opens the stores and the events file and starts listening; returns the port.
    Result<quint16, QString> start();

protected:
    bool handleRequest(const QHttpServerRequest& request, QTcpSocket* socket) override;
    void missingHandler(const QHttpServerRequest& request, QTcpSocket* socket) override;

private:
    using Handler = void (RelayServer::*)(const QHttpServerRequest&, QHttpServerResponder&);
    struct Route {
        QHttpServerRequest::Method method;
        QLatin1String path;
        bool prefix;
        Handler handler;
    };
    static const std::vector<Route>& routes();

    // Relay connections (relayserver.cpp)
    void acceptWebSockets();
    void handleFrame(RelaySession* session, const QByteArray& frame);
    void handleIdentify(RelaySession* session, const QJsonObject& message);
    void handleHistoricalBatch(RelaySession* session, const QJsonObject& message);
    void handleClosed(RelaySession* session, int closeCode, const QString& closeReason);
    QList<RelaySession*> selectSessions(const QHttpServerRequest& request, bool authenticatedOnly) const;
    void record(QJsonObject event);

    // Control API (relayserver_control.cpp)
    void getEvents(const QHttpServerRequest& request, QHttpServerResponder& responder);
    void getRelays(const QHttpServerRequest& request, QHttpServerResponder& responder);
    void getRegistrations(const QHttpServerRequest& request, QHttpServerResponder& responder);
    void postSend(const QHttpServerRequest& request, QHttpServerResponder& responder);
    void postSendRaw(const QHttpServerRequest& request, QHttpServerResponder& responder);
    void postClose(const QHttpServerRequest& request, QHttpServerResponder& responder);
    void postRefuseHandshake(const QHttpServerRequest& request, QHttpServerResponder& responder);
    void postAuth(const QHttpServerRequest& request, QHttpServerResponder& responder);
    void postFiles(const QHttpServerRequest& request, QHttpServerResponder& responder);
    void getLive(const QHttpServerRequest& request, QHttpServerResponder& responder);

    // Relay-facing HTTP endpoints (relayserver_api.cpp)
    void getRelayWithoutUpgrade(const QHttpServerRequest& request, QHttpServerResponder& responder);
    void postUpload(const QHttpServerRequest& request, QHttpServerResponder& responder);
    void getStorage(const QHttpServerRequest& request, QHttpServerResponder& responder);
    void getConnect(const QHttpServerRequest& request, QHttpServerResponder& responder);
    void postRegister(const QHttpServerRequest& request, QHttpServerResponder& responder);

    QString httpBase() const;
    QString storageUrl(const QString& storagePath) const;

    ServerOptions m_options;
    Logger m_log{"RelayServer"};
    EventLog m_events;
    UploadStore m_uploads;
    CredentialStore m_credentials;
    quint16 m_port = 0;

    int m_nextConnectionId = 0;
    QMap<int, RelaySession*> m_sessions;               // by connection id, in connection order
    QHash<QString, HandshakeKeys> m_pendingHandshakes; // by peer "address:port"
    QSet<QString> m_storedGuids;                       // for BATCH_ACK's duplicate count

    // Test switches
    bool m_refuseHandshake = false;
    int m_refuseStatus = 503;
    bool m_forceAuthFailure = false;
    std::optional<QString> m_forcedAuthMessage;
    bool m_answerIdentify = true;
};

} // namespace velto::relayserver
