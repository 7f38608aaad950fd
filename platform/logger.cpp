#include "logger.h"

namespace velto {

Logger::Logger(const char* category)
    : m_name(QByteArray("com.velto.relay.") + category)
    , m_category(std::make_unique<QLoggingCategory>(m_name.constData()))
{
}

Logger::~Logger() = default;

void Logger::info(const QString& text) const
{
    qCInfo((*m_category)).noquote() << text;
}

void Logger::debug(const QString& text) const
{
    qCDebug((*m_category)).noquote() << text;
}

void Logger::error(const QString& text) const
{
    qCCritical((*m_category)).noquote() << text;
}

bool Logger::privateShown()
{
    return qEnvironmentVariable("VELTO_LOG_PRIVATE") == QLatin1String("1");
}

QString Logger::priv(const QString& value)
{
    return privateShown() ? value : QStringLiteral("<private>");
}

} // namespace velto
