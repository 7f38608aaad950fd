// The runtime's syncs on request (history, conversation list, contacts) and the contacts and
// account triggers.
#include "relayruntime.h"

namespace velto {

void RelayRuntime::startContactsObserver()
{
}

void RelayRuntime::startAccountDetection()
{
}

void RelayRuntime::stopSyncWork()
{
}

void RelayRuntime::onHistoricalSyncRequest(const QString& type, const QJsonObject&)
{
    log(LogLevel::warn, type + QStringLiteral(" received; historical sync is not available in this build"));
}

void RelayRuntime::onConversationsListRequest(const QString& type, const QJsonObject&)
{
    log(LogLevel::warn, type + QStringLiteral(" received; conversation-list sync is not available in this build"));
}

void RelayRuntime::startContactsSync(const QString& triggerLabel)
{
    log(LogLevel::warn, QStringLiteral("Contacts sync requested (") + triggerLabel
                            + QStringLiteral("); contacts sync is not available in this build"));
}

void RelayRuntime::startConversationsSync(const QString& requestId, int batchSize, const QString& triggerLabel)
{
    log(LogLevel::warn, QStringLiteral("Conversation list requested (%1, id %2, batch %3); not available in this build")
                            .arg(triggerLabel, requestId)
                            .arg(batchSize));
}

} // namespace velto
