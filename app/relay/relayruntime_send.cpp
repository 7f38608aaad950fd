// The runtime's handling of sends requested by the server.
#include "relayruntime.h"

#include "sessionmessages.h"

namespace velto {

void RelayRuntime::initializeSending()
{
}

QueueStatus RelayRuntime::sendQueueStatus() const
{
    return QueueStatus{0, false};
}

void RelayRuntime::onSendMessage(const QString& type, const QJsonObject&)
{
    log(LogLevel::warn, type + QStringLiteral(" received; sending on request is not available in this build"));
}

} // namespace velto
