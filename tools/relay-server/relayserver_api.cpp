// The endpoints a relay uses over plain HTTP: attachment upload and download, registration, and
// the "/connect" page a user opens to get a registration token.
#include "relayserver.h"

#include "httpreply.h"
#include "multipartparser.h"
#include "webpages.h"

#include <QFile>
#include <QHttpServerResponder>
#include <QJsonArray>
#include <QJsonDocument>
#include <QMimeDatabase>
#include <QUrlQuery>

namespace velto::relayserver {

namespace {

using HttpReply::Status;
using HttpReply::json;
using HttpReply::error;

// The registration body is a few hundred bytes; anything far bigger is not a relay.
constexpr qsizetype maxRegistrationBody = 64 * 1024;
// Room for the multipart framing and the message id around the file itself.
constexpr qint64 multipartOverhead = 64 * 1024;

QString headerValue(const QHttpServerRequest& request, QByteArrayView name, bool* present = nullptr)
{
    for (const auto& [key, value] : request.headers()) {
        if (QByteArrayView(key).compare(name, Qt::CaseInsensitive) == 0) {
            if (present)
                *present = true;
            return QString::fromUtf8(value);
        }
    }
    if (present)
        *present = false;
    return {};
}

} // namespace

QString RelayServer::storageUrl(const QString& storagePath) const
{
    QString encoded;
    for (const QString& part : storagePath.split(QLatin1Char('/'))) {
        if (!encoded.isEmpty())
            encoded.append(QLatin1Char('/'));
        encoded.append(QString::fromLatin1(QUrl::toPercentEncoding(part)));
    }
    return httpBase() + QStringLiteral("/storage/") + encoded;
}

void RelayServer::getRelayWithoutUpgrade(const QHttpServerRequest&, QHttpServerResponder& responder)
{
    error(responder, Status::UpgradeRequired, QStringLiteral("WebSocket upgrade required"));
}

void RelayServer::postUpload(const QHttpServerRequest& request, QHttpServerResponder& responder)
{
    bool keyPresent = false;
    const QString key = headerValue(request, "x-api-key", &keyPresent);
    const std::optional<KeyOwner> owner = m_credentials.ownerOf(key);
    if (!owner)
        return error(responder, Status::Unauthorized,
                          keyPresent ? QStringLiteral("Invalid API key") : QStringLiteral("Missing API key"));

    const QByteArray body = request.body();
    const QString limitText = QStringLiteral("File exceeds %1 bytes limit").arg(m_options.maxUploadBytes);
    if (body.size() > m_options.maxUploadBytes + multipartOverhead)
        return error(responder, Status::PayloadTooLarge, limitText);

    const auto parts = MultipartParser::parse(headerValue(request, "content-type").toUtf8(), body);
    if (!parts)
        return error(responder, Status::BadRequest, parts.error().description());

    const MultipartPart* file = nullptr;
    QString messageId;
    for (const MultipartPart& part : *parts) {
        if (part.name == QLatin1String("file")) {
            if (file)
                return error(responder, Status::BadRequest, QStringLiteral("Expected exactly one file part"));
            file = &part;
        } else if (part.name == QLatin1String("messageId")) {
            messageId = QString::fromUtf8(part.data);
        }
    }
    if (!file)
        return error(responder, Status::BadRequest, QStringLiteral("Missing file part"));
    if (file->data.size() > m_options.maxUploadBytes)
        return error(responder, Status::PayloadTooLarge, limitText);

    const QString sentName = file->fileName.value_or(QString());
    const auto stored = m_uploads.store(sentName, file->data);
    if (!stored)
        return error(responder, Status::InternalServerError, stored.error());

    const QString url = storageUrl(stored->storagePath);
    record({{QStringLiteral("source"), QStringLiteral("http")},
            {QStringLiteral("type"), QStringLiteral("UPLOAD")},
            {QStringLiteral("relayId"), owner->relayId},
            {QStringLiteral("messageId"), messageId},
            {QStringLiteral("fileName"), sentName},
            {QStringLiteral("mimeType"), QString::fromUtf8(file->contentType)},
            {QStringLiteral("size"), stored->size},
            {QStringLiteral("storagePath"), stored->storagePath},
            {QStringLiteral("storedFile"), m_uploads.resolve(stored->storagePath)},
            {QStringLiteral("storageUrl"), url}});
    json(responder, {{QStringLiteral("storage_path"), stored->storagePath},
                          {QStringLiteral("storage_url"), url},
                          {QStringLiteral("size"), stored->size}});
}

void RelayServer::getStorage(const QHttpServerRequest& request, QHttpServerResponder& responder)
{
    const QString path = request.url().path(QUrl::FullyDecoded).mid(QLatin1String("/storage/").size());
    const QString file = m_uploads.resolve(path);
    QFile input(file);
    if (file.isEmpty() || !input.open(QIODevice::ReadOnly))
        return error(responder, Status::NotFound, QStringLiteral("No such file"));
    const QByteArray mime = QMimeDatabase().mimeTypeForFile(file, QMimeDatabase::MatchExtension).name().toUtf8();
    responder.write(input.readAll(), mime);
}

void RelayServer::getConnect(const QHttpServerRequest& request, QHttpServerResponder& responder)
{
    const QUrlQuery query = request.query();
    qint64 ttl = m_options.tokenTtlSeconds;
    if (query.hasQueryItem(QStringLiteral("ttlSeconds"))) {
        bool ok = false;
        ttl = query.queryItemValue(QStringLiteral("ttlSeconds")).toLongLong(&ok);
        if (!ok || ttl < 0 || ttl > 10LL * 365 * 86400)
            return error(responder, Status::BadRequest, QStringLiteral("ttlSeconds must be a whole number"));
    }
    const IssuedToken issued = m_credentials.issueToken(ttl);
    QUrl link;
    link.setScheme(QStringLiteral("velto"));
    link.setHost(QStringLiteral("register"));
    link.setQuery(QUrlQuery{{QStringLiteral("token"), issued.token}});
    const QString linkText = link.toString(QUrl::FullyEncoded);
    record({{QStringLiteral("source"), QStringLiteral("http")},
            {QStringLiteral("type"), QStringLiteral("TOKEN_ISSUED")},
            {QStringLiteral("expiresAt"), issued.expiresAt.toMSecsSinceEpoch()}});

    const bool wantsJson = query.queryItemValue(QStringLiteral("format")) == QLatin1String("json")
        || headerValue(request, "accept").contains(QLatin1String("application/json"));
    if (wantsJson) {
        return json(responder, {{QStringLiteral("token"), issued.token},
                                {QStringLiteral("link"), linkText},
                                {QStringLiteral("expiresAt"), issued.expiresAt.toString(Qt::ISODateWithMs)},
                                {QStringLiteral("expiresAtMs"), issued.expiresAt.toMSecsSinceEpoch()}});
    }
    responder.write(WebPages::connect(issued.token, linkText, issued.expiresAt), "text/html; charset=utf-8");
}

void RelayServer::postRegister(const QHttpServerRequest& request, QHttpServerResponder& responder)
{
    const auto refuse = [&](const RegistrationFailure& failure) {
        record({{QStringLiteral("source"), QStringLiteral("http")},
                {QStringLiteral("type"), QStringLiteral("REGISTRATION_FAILED")},
                {QStringLiteral("error"), failure.code()},
                {QStringLiteral("status"), failure.httpStatus()}});
        json(responder, {{QStringLiteral("error"), failure.code()}, {QStringLiteral("message"), failure.description()}},
                  Status(failure.httpStatus()));
    };
    using Code = RegistrationFailure::Code;

    if (request.body().size() > maxRegistrationBody)
        return error(responder, Status::PayloadTooLarge, QStringLiteral("Request too large"));
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(request.body(), &parseError);
    if (parseError.error != QJsonParseError::NoError || !document.isObject())
        return refuse(RegistrationFailure(Code::invalidRequest, QStringLiteral("body is not a JSON object")));
    const QJsonObject body = document.object();
    if (!body.value(QLatin1String("token")).isString())
        return refuse(RegistrationFailure(Code::invalidRequest, QStringLiteral("token is required")));
    const QJsonValue identity = body.value(QLatin1String("relayIdentity"));
    if (!identity.isUndefined() && !identity.toObject().value(QLatin1String("id")).isString())
        return refuse(RegistrationFailure(Code::invalidRequest, QStringLiteral("relayIdentity.id must be a string")));

    RegistrationRequest registration;
    registration.token = body.value(QLatin1String("token")).toString();
    registration.relayId = identity.toObject().value(QLatin1String("id")).toString();
    registration.name = body.value(QLatin1String("name")).toString();
    registration.ownerName = body.value(QLatin1String("ownerName")).toString();
    registration.deviceInfo = body.value(QLatin1String("deviceInfo")).toObject();
    const auto registered = m_credentials.redeem(registration);
    if (!registered)
        return refuse(registered.error());

    record({{QStringLiteral("source"), QStringLiteral("http")},
            {QStringLiteral("type"), QStringLiteral("REGISTERED")},
            {QStringLiteral("relayId"), registered->relayId},
            {QStringLiteral("request"), body}});
    json(responder, {{QStringLiteral("relayId"), registered->relayId},
                          {QStringLiteral("tenantId"), registered->tenant.id},
                          {QStringLiteral("tenantName"), registered->tenant.name},
                          {QStringLiteral("apiKey"), registered->apiKey}},
              Status::Created);
}

} // namespace velto::relayserver
