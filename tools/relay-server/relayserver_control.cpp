// The control API: what tests, benchmarks and the demo use to watch and steer the server.
#include "relayserver.h"

#include "httpreply.h"
#include "webpages.h"

#include <QHttpServerResponder>
#include <QJsonArray>
#include <QJsonDocument>
#include <QUrlQuery>

namespace velto::relayserver {

namespace {

using HttpReply::Status;
using HttpReply::json;
using HttpReply::error;

// The request body as a JSON object; an empty body counts as {} when `emptyAllowed`.
std::optional<QJsonObject> bodyObject(const QHttpServerRequest& request, bool emptyAllowed)
{
    const QByteArray body = request.body();
    if (body.trimmed().isEmpty())
        return emptyAllowed ? std::optional<QJsonObject>(QJsonObject()) : std::nullopt;
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(body, &parseError);
    if (parseError.error != QJsonParseError::NoError || !document.isObject())
        return std::nullopt;
    return document.object();
}

bool queryFlag(const QHttpServerRequest& request, const QString& name)
{
    const QString value = request.query().queryItemValue(name);
    return value == QLatin1String("1") || value == QLatin1String("true");
}

} // namespace

void RelayServer::getEvents(const QHttpServerRequest& request, QHttpServerResponder& responder)
{
    const QUrlQuery query = request.query();
    bool ok = true;
    const qint64 since = query.hasQueryItem(QStringLiteral("since"))
        ? query.queryItemValue(QStringLiteral("since")).toLongLong(&ok)
        : 0;
    bool limitOk = true;
    const int limit = query.hasQueryItem(QStringLiteral("limit"))
        ? query.queryItemValue(QStringLiteral("limit")).toInt(&limitOk)
        : 10000;
    if (!ok || !limitOk || limit <= 0)
        return error(responder, Status::BadRequest, QStringLiteral("since and limit must be numbers"));

    const QList<QJsonObject> events = m_events.since(since, std::min(limit, 100000));
    QJsonArray list;
    for (const QJsonObject& event : events)
        list.append(event);
    const qint64 lastReturned = events.isEmpty() ? std::max(since, m_events.lastSeq())
                                                 : events.constLast().value(QLatin1String("seq")).toInteger();
    json(responder, {{QStringLiteral("events"), list},
                          {QStringLiteral("lastSeq"), m_events.lastSeq()},
                          {QStringLiteral("nextSeq"), m_events.lastSeq() + 1},
                          {QStringLiteral("firstRetainedSeq"), m_events.firstRetainedSeq()},
                          {QStringLiteral("more"), lastReturned < m_events.lastSeq()}});
}

void RelayServer::getRelays(const QHttpServerRequest&, QHttpServerResponder& responder)
{
    QJsonArray relays;
    for (const RelaySession* session : std::as_const(m_sessions)) {
        const HandshakeKeys& keys = session->keys();
        relays.append(QJsonObject{
            {QStringLiteral("connectionId"), session->connectionId()},
            {QStringLiteral("relayId"), session->relayId()},
            {QStringLiteral("authenticated"), session->isAuthenticated()},
            {QStringLiteral("apiKey"), keys.effectiveKey()},
            {QStringLiteral("keySource"), keys.source()},
            {QStringLiteral("queryApiKey"), keys.hasQuery ? QJsonValue(keys.queryKey) : QJsonValue()},
            {QStringLiteral("headerApiKey"), keys.hasHeader ? QJsonValue(keys.headerKey) : QJsonValue()},
            {QStringLiteral("peer"), session->peer()},
            {QStringLiteral("connectedAt"), session->connectedAt()},
        });
    }
    json(responder, {{QStringLiteral("relays"), relays}});
}

void RelayServer::getRegistrations(const QHttpServerRequest&, QHttpServerResponder& responder)
{
    QJsonArray list;
    for (const RegisteredRelay& relay : m_credentials.registrations())
        list.append(relay.toJson());
    json(responder, {{QStringLiteral("registrations"), list}});
}

void RelayServer::postSend(const QHttpServerRequest& request, QHttpServerResponder& responder)
{
    if (!bodyObject(request, false))
        return error(responder, Status::BadRequest, QStringLiteral("Body must be a JSON object"));
    // The body goes out exactly as written, so a test can push any spelling of a message.
    const QByteArray frame = request.body();
    const bool binary = queryFlag(request, QStringLiteral("binary"));
    const auto targets = selectSessions(request, !queryFlag(request, QStringLiteral("includeUnauthenticated")));
    for (RelaySession* session : targets)
        session->sendFrame(frame, binary);
    json(responder, {{QStringLiteral("sent"), int(targets.size())}});
}

void RelayServer::postSendRaw(const QHttpServerRequest& request, QHttpServerResponder& responder)
{
    const bool binary = queryFlag(request, QStringLiteral("binary"));
    const auto targets = selectSessions(request, !queryFlag(request, QStringLiteral("includeUnauthenticated")));
    for (RelaySession* session : targets)
        session->sendFrame(request.body(), binary);
    json(responder, {{QStringLiteral("sent"), int(targets.size())}});
}

void RelayServer::postClose(const QHttpServerRequest& request, QHttpServerResponder& responder)
{
    const auto body = bodyObject(request, true);
    if (!body)
        return error(responder, Status::BadRequest, QStringLiteral("Body must be a JSON object or empty"));
    const int code = body->value(QLatin1String("code")).toInt(1000);
    const QString reason = body->value(QLatin1String("reason")).toString(QStringLiteral("closed by control"));
    const bool abort = body->value(QLatin1String("abort")).toBool(false);
    const auto targets = selectSessions(request, false);
    for (RelaySession* session : targets) {
        if (abort)
            session->abort();
        else
            session->close(code, reason);
    }
    json(responder, {{QStringLiteral("closed"), int(targets.size())}});
}

void RelayServer::postRefuseHandshake(const QHttpServerRequest& request, QHttpServerResponder& responder)
{
    const auto body = bodyObject(request, false);
    if (!body || !body->value(QLatin1String("refuse")).isBool())
        return error(responder, Status::BadRequest, QStringLiteral("Expected {\"refuse\": true|false}"));
    const int status = body->value(QLatin1String("status")).toInt(503);
    if (status < 400 || status > 599)
        return error(responder, Status::BadRequest, QStringLiteral("status must be 400-599"));
    m_refuseHandshake = body->value(QLatin1String("refuse")).toBool();
    m_refuseStatus = status;
    json(responder, {{QStringLiteral("refuse"), m_refuseHandshake}, {QStringLiteral("status"), m_refuseStatus}});
}

void RelayServer::postAuth(const QHttpServerRequest& request, QHttpServerResponder& responder)
{
    const auto body = bodyObject(request, false);
    if (!body || !body->value(QLatin1String("accept")).isBool())
        return error(responder, Status::BadRequest,
                          QStringLiteral("Expected {\"accept\": bool, \"message\": string|null, \"respond\": bool}"));
    const QJsonValue message = body->value(QLatin1String("message"));
    if (!message.isString() && !message.isNull() && !message.isUndefined())
        return error(responder, Status::BadRequest, QStringLiteral("message must be a string or null"));
    m_forceAuthFailure = !body->value(QLatin1String("accept")).toBool();
    m_forcedAuthMessage = message.isString() ? std::optional<QString>(message.toString()) : std::nullopt;
    m_answerIdentify = body->value(QLatin1String("respond")).toBool(true);
    json(responder, {{QStringLiteral("accept"), !m_forceAuthFailure},
                          {QStringLiteral("message"), m_forcedAuthMessage ? QJsonValue(*m_forcedAuthMessage)
                                                                          : QJsonValue()},
                          {QStringLiteral("respond"), m_answerIdentify}});
}

void RelayServer::postFiles(const QHttpServerRequest& request, QHttpServerResponder& responder)
{
    const QString name = request.query().queryItemValue(QStringLiteral("name"), QUrl::FullyDecoded);
    const auto stored = m_uploads.store(name, request.body());
    if (!stored)
        return error(responder, Status::InternalServerError, stored.error());
    json(responder, {{QStringLiteral("storage_path"), stored->storagePath},
                          {QStringLiteral("storage_url"), storageUrl(stored->storagePath)},
                          {QStringLiteral("size"), stored->size}});
}

void RelayServer::getLive(const QHttpServerRequest&, QHttpServerResponder& responder)
{
    responder.write(WebPages::live(), "text/html; charset=utf-8");
}

} // namespace velto::relayserver
