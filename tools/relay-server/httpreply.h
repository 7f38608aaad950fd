#pragma once

#include <QHttpServerResponder>
#include <QJsonObject>
#include <QString>

namespace velto::relayserver::HttpReply {

using Status = QHttpServerResponder::StatusCode;

// Compact JSON: event lists can be long, and indentation would multiply them.
void json(QHttpServerResponder& responder, const QJsonObject& body, Status status = Status::Ok);
// {"error": message}
void error(QHttpServerResponder& responder, Status status, const QString& message);

} // namespace velto::relayserver::HttpReply
