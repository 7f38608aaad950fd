#pragma once

#include "result.h"

#include <QString>
#include <QVariant>

namespace velto::Configuration {

// Paths are fixed at first use for the life of the process.
QString configDir();
QString relayAuthFile();
QString pendingRegistrationFile();
QString wizardStateFile();
QString preferencesFile();
QString permissionCacheFile();

// The API server URL in WebSocket form, fixed at first use.
QString apiServerUrl();
// The built-in default used when the information dictionary has no usable value.
QString defaultApiServerUrl();
// The rule behind apiServerUrl(), for a given dictionary value (invalid = key absent).
QString resolveApiServerUrl(const QVariant& infoValue);

// True exactly when DISABLE_AUTO_START is "true"; read afresh each time.
bool isAutoStartDisabled();

// The HTTP form of a WebSocket-form URL: textual replacements, no parsing.
QString httpBaseUrl(const QString& webSocketUrl);
// The dashboard's web address for a WebSocket-form URL ("api." dropped from the host).
QString dashboardUrlFor(const QString& webSocketUrl);
QString dashboardUrl();

// Creates configDir (mode 0700). The error is the system's text.
Result<void, QString> ensureConfigDir();

} // namespace velto::Configuration
