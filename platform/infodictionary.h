#pragma once

#include <QString>
#include <QVariant>

namespace velto::InfoDictionary {

// The build-time configuration embedded in the application: on macOS the bundle's
// information dictionary, here values compiled in from CMake cache variables.
// Returns an invalid QVariant when the key is absent.
QVariant value(const QString& key);

QString shortVersion();

} // namespace velto::InfoDictionary
