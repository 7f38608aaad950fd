#pragma once

#include <QString>

#include <optional>

namespace velto {

// The relay's connection stage, in declaration order; encoded as its raw string.
enum class ConnectionStage { awaitingSetup, idle, ready, connecting, connected, error };

QString rawValue(ConnectionStage stage);
std::optional<ConnectionStage> connectionStageFromString(const QString& raw);

// Severities of log lines, in declaration order; encoded as its raw string.
enum class LogLevel { info, warn, error, debug, trace, fatal };

QString rawValue(LogLevel level);
std::optional<LogLevel> logLevelFromString(const QString& raw);

} // namespace velto

#include <QMap>

namespace velto {
// Structured details of a log line (string to string); empty means none.
using LogContext = QMap<QString, QString>;
} // namespace velto
