#include "httpreply.h"

#include <QJsonDocument>

namespace velto::relayserver::HttpReply {

void json(QHttpServerResponder& responder, const QJsonObject& body, Status status)
{
    responder.write(QJsonDocument(body).toJson(QJsonDocument::Compact), "application/json", status);
}

void error(QHttpServerResponder& responder, Status status, const QString& message)
{
    json(responder, {{QStringLiteral("error"), message}}, status);
}

} // namespace velto::relayserver::HttpReply
