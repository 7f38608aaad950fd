#pragma once

#include "result.h"

#include <QString>
#include <QStringList>

namespace velto::relayserver {

// What the command line sets. Intervals are milliseconds; 0 switches the timer off.
struct ServerOptions {
    QString host = QStringLiteral("127.0.0.1");
    quint16 port = 0;
    QStringList apiKeys;
    int pingIntervalMs = 30000;
    int heartbeatIntervalMs = 0;
    QString eventsFile;
    QString storageDir;
    QString dataDir;
    qint64 maxUploadBytes = 104857600;
    int tokenTtlSeconds = 600;
    QString tenantId = QStringLiteral("tenant-dev");
    QString tenantName = QStringLiteral("Velto Dev Tenant");
    bool batchAck = true;
    bool rejectReregistration = false;
    int maxEventsInMemory = 100000;

    // Parses the arguments after the program name; the error is a one-line usage text.
    static Result<ServerOptions, QString> parse(const QStringList& arguments);
    static QString usage();
};

} // namespace velto::relayserver
