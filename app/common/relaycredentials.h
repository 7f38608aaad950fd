#pragma once

#include "result.h"

#include <QByteArray>
#include <QString>

#include <optional>

namespace velto {

// The relay's identity and secret as issued at registration ("relay-auth.json").
struct RelayCredentials {
    QString relayId;
    QString tenantId;
    QString apiKey;
    std::optional<QString> tenantName;
    std::optional<QString> backendUrl;
    std::optional<quint64> registeredAt; // milliseconds since the Unix epoch

    // Strict on the three required keys, tolerant on the optional ones; other keys ignored.
    static std::optional<RelayCredentials> decode(const QByteArray& json);
    // Pretty-printed, keys sorted, optional keys omitted when absent.
    QByteArray encode() const;

    // Reads relayAuthFile; logs "No relay credentials found at …" and returns none when the
    // file is missing or unreadable.
    static std::optional<RelayCredentials> load();
    // Writes relayAuthFile with mode 0600 from the first byte, replacing it atomically.
    Result<void, QString> save() const;

    bool operator==(const RelayCredentials&) const = default;
};

} // namespace velto
