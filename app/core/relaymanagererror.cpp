#include "relaymanagererror.h"

namespace velto {

QString description(RelayStartError error)
{
    switch (error) {
    case RelayStartError::fullDiskAccessRequired:
        return QStringLiteral("Full Disk Access is required but not granted");
    case RelayStartError::noCredentials:
        return QStringLiteral("No relay credentials found. Complete the setup wizard first.");
    }
    return {};
}

QString description(RelayRestartError error)
{
    switch (error) {
    case RelayRestartError::cancelled:
        return QStringLiteral("Restart cancelled");
    }
    return {};
}

QString description(const RelayManagerError& error)
{
    return std::visit([](auto e) { return description(e); }, error);
}

} // namespace velto
