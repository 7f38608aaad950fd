#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>

#include <QCoroTask>

#include <optional>

class QNetworkAccessManager;
class QNetworkReply;

namespace velto {

// What a finished reply said, taken before the reply goes.
struct HttpReplyOutcome {
    std::optional<int> status; // absent when no HTTP answer arrived
    QByteArray body;           // read only when there was an answer
    int error = 0;             // QNetworkReply::NetworkError
    QString errorString;

    static HttpReplyOutcome of(QNetworkReply* reply);
};

// The HTTP side of the services that talk to the server outside the WebSocket: one network
// manager, replies awaited to their end, and those still running aborted when it goes, so an
// awaiting caller resumes with an outcome instead of waiting on a reply the manager deletes.
class HttpExchange : public QObject {
    Q_OBJECT
public:
    explicit HttpExchange(QObject* parent = nullptr);
    ~HttpExchange() override;

    QNetworkAccessManager* network() const { return m_network; }

    // Awaits a reply started on network(). The outcome is taken the moment the reply finishes
    // and handed over through a future the awaiting frame owns, so nothing touches a reply that
    // may already be gone. The exchange must be checked for life after the await.
    QCoro::Task<HttpReplyOutcome> finish(QNetworkReply* reply);

private:
    QNetworkAccessManager* m_network;
    QList<QPointer<QNetworkReply>> m_inFlight;
};

} // namespace velto
