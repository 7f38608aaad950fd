#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QPair>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <functional>
#include <memory>
#include <optional>

class QNetworkAccessManager;
class QProcess;
class QTemporaryDir;

namespace velto {

// Runs the real velto-relay-server executable for a test and talks to its control API. Every
// helper is synchronous: it spins a local event loop until the answer arrives or the time-out
// passes (then it returns the failure value and errorString() says why).
//
// Unless the arguments name them, the harness gives the server an events file, a storage folder
// and a data folder inside a temporary folder that outlives restarts and goes with the harness.
class RelayServerHarness : public QObject {
    Q_OBJECT
public:
    explicit RelayServerHarness(QObject* parent = nullptr);
    ~RelayServerHarness() override;

    // The executable: the path set here, else $VELTO_BIN_DIR/velto-relay-server, else the one
    // this build produced.
    void setExecutable(const QString& path);
    QString executable() const;

    // Starts the server with `arguments` (any option but --port) on `port` (0: a free one) and
    // waits for its "LISTENING <port>" line.
    bool start(const QStringList& arguments = {}, quint16 port = 0, int timeoutMs = 10000);
    // SIGTERM, then SIGKILL if it does not end within 5 s. Safe to call when not running.
    void stop();
    // Stops and starts again with the same arguments on the same port.
    bool restart(int timeoutMs = 10000);
    bool isRunning() const;
    QString errorString() const { return m_error; }

    quint16 port() const { return m_port; }
    QUrl wsUrl() const;    // ws://127.0.0.1:<port>/relay
    QUrl httpBase() const; // http://127.0.0.1:<port>
    QString workDir() const;

    // Events with seq > since, oldest first (all pages). Empty on failure.
    QList<QJsonObject> events(qint64 since = 0, int timeoutMs = 5000);
    // The newest seq, to use as `since` for "from now on"; -1 on failure.
    qint64 lastSeq(int timeoutMs = 5000);
    // Polls the events after `since` until one satisfies the predicate.
    std::optional<QJsonObject> waitForEvent(const std::function<bool(const QJsonObject&)>& predicate,
                                            int timeoutMs = 5000, qint64 since = 0);
    // Shorthand: the first event of `type` (any source) after `since`.
    std::optional<QJsonObject> waitForEventType(const QString& type, int timeoutMs = 5000, qint64 since = 0);

    // The current relay connections as /control/relays lists them.
    QList<QJsonObject> relays(int timeoutMs = 5000);
    // Waits until a connection is authenticated (with that relay id, when one is given).
    bool waitForAuthenticatedRelay(const QString& relayId = {}, int timeoutMs = 5000);

    // Sends `message` as one text frame to every authenticated relay (or those with `relayId`);
    // returns how many got it, -1 on failure.
    int push(const QJsonObject& message, const QString& relayId = {});
    // Sends the bytes as they are (need not be JSON) as one text frame.
    int pushRaw(const QByteArray& frame, const QString& relayId = {});
    // Closes relay sockets with a close frame, or drops them without one when `abort`;
    // returns how many, -1 on failure.
    int closeRelays(const QString& relayId = {}, bool abort = false);
    // While on, WebSocket handshakes are answered with this HTTP status instead of an upgrade.
    bool setRefuseHandshake(bool refuse, int status = 503);
    // accept false: every AUTH_RESULT fails, with `message` (a null string omits the member).
    // accept true: keys decide again.
    bool setAuth(bool accept, const QString& message = QString());
    // A fresh registration token from /connect (ttlSeconds < 0: the server's default expiry).
    QString issueRegistrationToken(int ttlSeconds = -1);
    // Puts a file into the server's storage; returns its download URL (empty on failure).
    QUrl storeFile(const QString& name, const QByteArray& data);

    struct Reply {
        int status = 0; // 0 when no HTTP answer arrived
        QByteArray body;
        QJsonObject json; // the body when it is a JSON object
    };
    // Any request to the server; `pathAndQuery` starts with "/".
    Reply request(const QByteArray& method, const QString& pathAndQuery, const QByteArray& body = {},
                  const QList<QPair<QByteArray, QByteArray>>& headers = {}, int timeoutMs = 5000);

private:
    bool launch(int timeoutMs);
    Reply postJson(const QString& pathAndQuery, const QJsonObject& body);

    QString m_executable;
    QStringList m_arguments; // as started, with the harness's additions
    quint16 m_port = 0;
    QString m_error;
    std::unique_ptr<QTemporaryDir> m_workDir;
    std::unique_ptr<QProcess> m_process;
    QNetworkAccessManager* m_network;
};

} // namespace velto
