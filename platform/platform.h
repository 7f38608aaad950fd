#pragma once

#include <QString>

namespace velto::Platform {

// The user's home directory from the password database (not $HOME); VELTO_HOME overrides it
// so that tests and the demo never touch the real user's files.
QString homeDirectory();

// The user's full name from the password database (GECOS field), empty when unknown.
QString userFullName();

// The machine's hardware identifier as an upper-case UUID: ioreg's IOPlatformUUID where that
// tool exists, else /etc/machine-id (stable across launches). Empty when neither is readable.
// Blocks while ioreg runs: only the interim headless start uses it. Everything else asks
// RelayIdentityService::getHardwareUUID(), which does not block; this goes once that start does.
QString hardwareUuid();

} // namespace velto::Platform
