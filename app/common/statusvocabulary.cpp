#include "statusvocabulary.h"

#include <array>
#include <utility>

namespace velto {

namespace {
constexpr std::array<std::pair<ConnectionStage, const char*>, 6> kStages{{
    {ConnectionStage::awaitingSetup, "awaiting-setup"},
    {ConnectionStage::idle, "idle"},
    {ConnectionStage::ready, "ready"},
    {ConnectionStage::connecting, "connecting"},
    {ConnectionStage::connected, "connected"},
    {ConnectionStage::error, "error"},
}};

constexpr std::array<std::pair<LogLevel, const char*>, 6> kLevels{{
    {LogLevel::info, "info"},
    {LogLevel::warn, "warn"},
    {LogLevel::error, "error"},
    {LogLevel::debug, "debug"},
    {LogLevel::trace, "trace"},
    {LogLevel::fatal, "fatal"},
}};

template <typename Enum, std::size_t N>
QString rawOf(const std::array<std::pair<Enum, const char*>, N>& table, Enum value)
{
    for (const auto& [e, raw] : table)
        if (e == value)
            return QLatin1String(raw);
    return {};
}

template <typename Enum, std::size_t N>
std::optional<Enum> parse(const std::array<std::pair<Enum, const char*>, N>& table, const QString& raw)
{
    for (const auto& [e, name] : table)
        if (raw == QLatin1String(name))
            return e;
    return std::nullopt;
}
} // namespace

QString rawValue(ConnectionStage stage) { return rawOf(kStages, stage); }
std::optional<ConnectionStage> connectionStageFromString(const QString& raw) { return parse(kStages, raw); }
QString rawValue(LogLevel level) { return rawOf(kLevels, level); }
std::optional<LogLevel> logLevelFromString(const QString& raw) { return parse(kLevels, raw); }

} // namespace velto
