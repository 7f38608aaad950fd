#pragma once

#include <QJsonObject>

namespace velto::SystemHealth {

// The system-health object sent in IDENTIFY ("systemInfo") and HEALTH_RESPONSE ("health"):
// cpu, memory, disk (of the home directory's file system), network, system and timestamp.
QJsonObject getStats();

// Keeps `decimals` decimals, truncating toward zero.
double truncate(double value, int decimals);

} // namespace velto::SystemHealth
