#pragma once

#include "relayruntime.h"

#include <QString>

#include <variant>

namespace velto {

// Why the relay manager refused to start.
enum class RelayStartError { fullDiskAccessRequired, noCredentials };
QString description(RelayStartError error);

// A restart whose wait between stop and start was cut short (its manager went away).
enum class RelayRestartError { cancelled };
QString description(RelayRestartError error);

// Everything a start or restart can fail with: a refusal, or the runtime's own start error.
using RelayManagerError = std::variant<RelayStartError, RelayRuntimeError, RelayRestartError>;
QString description(const RelayManagerError& error);

} // namespace velto
