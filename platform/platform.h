#pragma once

#include <QString>

namespace velto::Platform {

// The user's home directory from the password database (not $HOME); VELTO_HOME overrides it
// so that tests and the demo never touch the real user's files.
QString homeDirectory();

// The user's full name from the password database (GECOS field), empty when unknown.
QString userFullName();

} // namespace velto::Platform
