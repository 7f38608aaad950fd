#pragma once

#include "httpexchange.h"
#include "logger.h"
#include "registrationerror.h"
#include "relaycredentials.h"
#include "result.h"

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>

#include <QCoroTask>

#include <chrono>
#include <optional>


namespace velto {

// Exchanges a registration token for relay credentials with the server and stores them in
// "relay-auth.json". Nothing is retried and nothing is stored unless the server's answer carried
// the relay id, the tenant id and the API key.
class RelayRegistrationService : public QObject {
    Q_OBJECT
public:
    static constexpr std::chrono::milliseconds defaultTimeout{60000};
    static constexpr QLatin1String registerPath{"/api/v1/relay/register"};

    // `timeout` ends the request after that long without progress.
    explicit RelayRegistrationService(QObject* parent = nullptr, std::chrono::milliseconds timeout = defaultTimeout);
    // Ends a request in flight; its caller gets a network failure.
    ~RelayRegistrationService() override;

    // `apiServerUrl` is the server's WebSocket URL (the request goes to its HTTP form and it
    // becomes the credentials' backendUrl); `token` is sent as given; `name` is left out of the
    // request when empty. On success the credentials are already stored.
    QCoro::Task<Result<RelayCredentials, RegistrationError>> registerRelay(QString apiServerUrl, QString token,
                                                                           QString relayId, QString name);

    // The request body: token, relay identity, device information, and the relay's and the
    // owner's names when they are not empty.
    static QJsonObject requestBody(const QString& token, const QString& relayId, const QString& name,
                                   const std::optional<QString>& ownerName);

private:
    Result<RelayCredentials, RegistrationError> answer(const HttpReplyOutcome& outcome, const QString& apiServerUrl) const;

    const Logger m_logger{"Registration"};
    std::chrono::milliseconds m_timeout;
    HttpExchange* m_http;
};

} // namespace velto
