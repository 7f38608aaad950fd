#pragma once

#include "logbufferentry.h"
#include "logger.h"

#include <QList>
#include <QObject>

#include <functional>

namespace velto {

// The in-app log: the newest 500 entries, oldest first. Every appended entry is mirrored to the
// system log, redacted unless it carries the public tag. Main thread only.
class LogBufferService : public QObject {
    Q_OBJECT
public:
    static constexpr int maxSize = 500;

    struct Stats {
        int total = 0;
        int errors = 0; // error and fatal
        int warnings = 0;
        int info = 0;
        int debug = 0; // trace counts only in the total

        bool operator==(const Stats&) const = default;
    };

    explicit LogBufferService(QObject* parent = nullptr);

    const QList<LogEntry>& entries() const { return m_entries; }

    void append(const LogEntry& entry);
    // Shorthand for append(LogEntry::make(...)).
    void append(LogLevel level, const QString& message, const std::optional<QString>& source = QStringLiteral("main"),
                const LogContext& context = {});
    // Empties the log, then records that it was cleared, so it is never empty afterwards.
    void clear();
    // Empties the log silently and drops onNewEntry; for shutdown.
    void destroy();
    Stats getStats() const;

    // Called once per appended entry, synchronously, before the system-log copy is written.
    std::function<void(const LogEntry&)> onNewEntry;

    // The line written to the system log for an entry: "[source] message" plus its context as
    // compact JSON with sorted keys.
    static QString systemLogLine(const LogEntry& entry);

Q_SIGNALS:
    void entryAppended(const velto::LogEntry& entry);
    void entriesChanged();

private:
    void mirror(const LogEntry& entry) const;

    Logger m_systemLogger{"LogBuffer"};
    QList<LogEntry> m_entries;
};

} // namespace velto
