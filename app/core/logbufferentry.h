#pragma once

#include "statusvocabulary.h"

#include <QDateTime>
#include <QString>
#include <QUuid>

#include <optional>

namespace velto {

// One line of the in-app log.
struct LogEntry {
    QUuid id;
    LogLevel level = LogLevel::info;
    QString message;
    QDateTime timestamp;
    // "main" for the application layer, "mac-relay" for lines forwarded from the runtime.
    std::optional<QString> source;
    // Structured details; empty means none. "tag" = "dupe-images" makes the system-log copy public.
    LogContext context;

    // A fresh entry stamped now.
    static LogEntry make(LogLevel level, QString message, std::optional<QString> source = QStringLiteral("main"),
                         LogContext context = {})
    {
        return LogEntry{QUuid::createUuid(), level, std::move(message), QDateTime::currentDateTime(), std::move(source),
                        std::move(context)};
    }
};

} // namespace velto

Q_DECLARE_METATYPE(velto::LogEntry)
