#pragma once

#include <QByteArray>
#include <QLoggingCategory>
#include <QString>

#include <memory>

namespace velto {

// A component's handle on the system log: category "com.velto.relay.<category>".
// Values that identify people or secrets go through priv(), which shows "<private>"
// unless VELTO_LOG_PRIVATE=1.
class Logger {
public:
    explicit Logger(const char* category);
    ~Logger();
    Logger(const Logger&) = delete;
    Logger& operator=(const Logger&) = delete;

    void info(const QString& text) const;
    void debug(const QString& text) const;
    void error(const QString& text) const;

    const QLoggingCategory& category() const { return *m_category; }

    static QString priv(const QString& value);
    static bool privateShown();

private:
    QByteArray m_name; // must outlive m_category, which keeps a pointer to it
    std::unique_ptr<QLoggingCategory> m_category;
};

} // namespace velto
