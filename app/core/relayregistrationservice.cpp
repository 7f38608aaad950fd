#include "relayregistrationservice.h"

#include "configuration.h"
#include "getlocaluserlib.h"
#include "task.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QStringDecoder>
#include <QSysInfo>
#include <QUrl>


#include <memory>

namespace velto {

namespace {
using Code = RegistrationError::Code;

std::optional<QString> stringMember(const QJsonObject& object, const char* key)
{
    const QJsonValue value = object.value(QLatin1String(key));
    if (!value.isString())
        return std::nullopt;
    return value.toString();
}
} // namespace

RelayRegistrationService::RelayRegistrationService(QObject* parent, std::chrono::milliseconds timeout)
    : QObject(parent)
    , m_timeout(timeout)
    , m_http(new HttpExchange(this))
{
}

RelayRegistrationService::~RelayRegistrationService() = default;

QJsonObject RelayRegistrationService::requestBody(const QString& token, const QString& relayId, const QString& name,
                                                  const std::optional<QString>& ownerName)
{
    QJsonObject body{
        {QStringLiteral("token"), token},
        {QStringLiteral("relayIdentity"), QJsonObject{{QStringLiteral("id"), relayId}}},
        {QStringLiteral("deviceInfo"),
         QJsonObject{{QStringLiteral("hostname"), QSysInfo::machineHostName()},
                     {QStringLiteral("os"), QStringLiteral("macOS")},
                     {QStringLiteral("version"), QSysInfo::prettyProductName()}}},
    };
    if (!name.isEmpty())
        body.insert(QStringLiteral("name"), name);
    if (ownerName && !ownerName->isEmpty())
        body.insert(QStringLiteral("ownerName"), *ownerName);
    return body;
}


QCoro::Task<Result<RelayCredentials, RegistrationError>>
RelayRegistrationService::registerRelay(QString apiServerUrl, QString token, QString relayId, QString name)
{
    const QString address = Configuration::httpBaseUrl(apiServerUrl) + registerPath;
    const QUrl url(address, QUrl::StrictMode);
    // Only an absolute HTTP address can be sent to; anything else would fail later with a less
    // helpful text.
    if (!url.isValid() || url.host().isEmpty()
        || (url.scheme() != QLatin1String("http") && url.scheme() != QLatin1String("https")))
        co_return fail(RegistrationError(Code::invalidUrl));

    const QByteArray payload = QJsonDocument(requestBody(token, relayId, name, GetLocalUserLib::getLocalUserDisplayName()))
                                   .toJson(QJsonDocument::Compact);
    QNetworkRequest request(url);
    request.setTransferTimeout(int(m_timeout.count()));
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArray("application/json"));
    m_logger.info(QStringLiteral("Registering relay '%1' at %2").arg(name, url.toString()));

    const Guard guard(this);
    QNetworkReply* reply = m_http->network()->post(request, payload);
    QCoro::Task<HttpReplyOutcome> finishing = m_http->finish(reply);
    const HttpReplyOutcome outcome = co_await finishing;
    if (!guard.alive())
        co_return fail(RegistrationError(Code::networkFailed, QStringLiteral("Registration cancelled")));

    auto result = answer(outcome, apiServerUrl);
    if (!result)
        co_return result;
    if (auto saved = result->save(); !saved)
        co_return fail(RegistrationError(Code::storageFailed, saved.error()));
    m_logger.info(QStringLiteral("Registration successful, relayId: %1").arg(result->relayId));
    co_return result;
}

Result<RelayCredentials, RegistrationError> RelayRegistrationService::answer(const HttpReplyOutcome& outcome,
                                                                             const QString& apiServerUrl) const
{
    const bool accepted = outcome.status == 200 || outcome.status == 201;
    if (!outcome.status || (accepted && outcome.error != QNetworkReply::NoError)) {
        switch (outcome.error) {
        case QNetworkReply::NoError:
            return fail(RegistrationError(Code::invalidResponse));
        case QNetworkReply::ConnectionRefusedError:
            // The errno name lets the advice recognise an unreachable server.
            return fail(RegistrationError(Code::networkFailed, outcome.errorString + QStringLiteral(" (ECONNREFUSED)")));
        case QNetworkReply::TimeoutError:
        case QNetworkReply::OperationCanceledError:
            // Qt reports its own transfer time-out as a cancellation; only the time-out cancels here.
            return fail(RegistrationError(Code::networkFailed,
                                          QStringLiteral("Registration request timeout: no answer within %1 s")
                                              .arg(double(m_timeout.count()) / 1000.0)));
        default:
            return fail(RegistrationError(Code::networkFailed, outcome.errorString));
        }
    }

    if (!accepted) {
        QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
        QString text = decoder.decode(outcome.body);
        if (decoder.hasError())
            text = QStringLiteral("Unknown error");
        m_logger.error(QStringLiteral("Registration failed (%1): %2").arg(*outcome.status).arg(text));
        const QJsonDocument document = QJsonDocument::fromJson(outcome.body);
        if (document.isObject()) {
            const QJsonObject object = document.object();
            if (const auto error = stringMember(object, "error"))
                return fail(RegistrationError::serverError(*outcome.status, *error));
            if (const auto code = stringMember(object, "code"))
                return fail(RegistrationError::serverError(*outcome.status, *code));
        }
        return fail(RegistrationError::serverError(*outcome.status, text));
    }

    const QJsonObject object = QJsonDocument::fromJson(outcome.body).object();
    const auto relayId = stringMember(object, "relayId");
    const auto tenantId = stringMember(object, "tenantId");
    const auto apiKey = stringMember(object, "apiKey");
    if (!relayId || !tenantId || !apiKey)
        return fail(RegistrationError(Code::invalidResponseFormat));

    RelayCredentials credentials;
    credentials.relayId = *relayId;
    credentials.tenantId = *tenantId;
    credentials.apiKey = *apiKey;
    credentials.tenantName = stringMember(object, "tenantName");
    credentials.backendUrl = apiServerUrl;
    credentials.registeredAt = quint64(QDateTime::currentMSecsSinceEpoch());
    return credentials;
}

} // namespace velto
