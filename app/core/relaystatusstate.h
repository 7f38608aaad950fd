#pragma once

#include "permissionsnapshot.h"
#include "statusvocabulary.h"

#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>
#include <QUuid>

#include <optional>

namespace velto {

// One line of the status view's diagnostics.
struct DiagnosticEntry {
    QUuid id;
    LogLevel level = LogLevel::info;
    QString message;
    QDateTime timestamp;
};

// Everything the screens show about the relay while it runs.
struct RelayRuntimeState {
    bool connected = false;
    ConnectionStage connectionStage = ConnectionStage::idle;
    std::optional<QString> tenantId;
    std::optional<QString> tenantName;
    std::optional<QString> relayId;
    std::optional<QString> relayName;
    std::optional<QStringList> manualAccounts;
    std::optional<QString> backendUrl;
    std::optional<QDateTime> lastHeartbeat;
    qint64 messagesSentToday = 0;
    qint64 messagesReceivedToday = 0;
    // Zero in the stored state; filled only in the copy getStatusSnapshot() returns.
    double uptimeSeconds = 0;
    QList<DiagnosticEntry> diagnostics; // oldest first
    std::optional<PermissionSnapshot> permissions;
};

// A partial update: absent fields leave the state as it is. An update can set a field, never clear it.
struct ConnectionStateUpdate {
    std::optional<ConnectionStage> connectionStage;
    std::optional<bool> connected;
    std::optional<QString> relayId;
    std::optional<QString> tenantId;
    std::optional<QString> tenantName;
    std::optional<QStringList> manualAccounts;
    std::optional<QString> backendUrl;
};

} // namespace velto
