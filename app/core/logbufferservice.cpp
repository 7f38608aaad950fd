#include "logbufferservice.h"

#include <QJsonDocument>
#include <QJsonObject>

namespace velto {

LogBufferService::LogBufferService(QObject* parent)
    : QObject(parent)
{
    qRegisterMetaType<LogEntry>();
}

void LogBufferService::append(const LogEntry& entry)
{
    m_entries.append(entry);
    if (m_entries.size() > maxSize)
        m_entries.remove(0, m_entries.size() - maxSize);
    if (onNewEntry)
        onNewEntry(entry);
    Q_EMIT entryAppended(entry);
    Q_EMIT entriesChanged();
    mirror(entry);
}

void LogBufferService::append(LogLevel level, const QString& message, const std::optional<QString>& source,
                              const LogContext& context)
{
    append(LogEntry::make(level, message, source, context));
}

void LogBufferService::clear()
{
    m_entries.clear();
    Q_EMIT entriesChanged();
    append(LogLevel::info, QStringLiteral("Logs cleared"));
}

void LogBufferService::destroy()
{
    m_entries.clear();
    onNewEntry = nullptr;
    Q_EMIT entriesChanged();
}

LogBufferService::Stats LogBufferService::getStats() const
{
    Stats stats;
    stats.total = int(m_entries.size());
    for (const LogEntry& entry : m_entries) {
        switch (entry.level) {
        case LogLevel::error:
        case LogLevel::fatal:
            ++stats.errors;
            break;
        case LogLevel::warn:
            ++stats.warnings;
            break;
        case LogLevel::info:
            ++stats.info;
            break;
        case LogLevel::debug:
            ++stats.debug;
            break;
        case LogLevel::trace:
            break;
        }
    }
    return stats;
}

QString LogBufferService::systemLogLine(const LogEntry& entry)
{
    QString line = QLatin1Char('[') + entry.source.value_or(QStringLiteral("app")) + QLatin1String("] ") + entry.message;
    if (!entry.context.isEmpty()) {
        // QJsonObject keeps its keys sorted.
        QJsonObject context;
        for (auto it = entry.context.cbegin(); it != entry.context.cend(); ++it)
            context.insert(it.key(), it.value());
        line += QLatin1Char(' ') + QString::fromUtf8(QJsonDocument(context).toJson(QJsonDocument::Compact));
    }
    return line;
}

void LogBufferService::mirror(const LogEntry& entry) const
{
    const bool isPublic = entry.context.value(QStringLiteral("tag")) == QLatin1String("dupe-images");
    const QString line = systemLogLine(entry);
    const QString argument = isPublic ? line : Logger::priv(line);
    switch (entry.level) {
    case LogLevel::info:
        m_systemLogger.info(argument);
        break;
    case LogLevel::debug:
    case LogLevel::trace:
        m_systemLogger.debug(argument);
        break;
    case LogLevel::warn:
    case LogLevel::error:
    case LogLevel::fatal:
        m_systemLogger.error(argument);
        break;
    }
}

} // namespace velto
