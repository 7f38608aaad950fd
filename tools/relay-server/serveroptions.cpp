#include "serveroptions.h"

#include <QHostAddress>

#include <limits>
#include <optional>

namespace velto::relayserver {

namespace {

// Reads a whole non-negative number no larger than `max`.
std::optional<qint64> readCount(const QString& text, qint64 max)
{
    bool ok = false;
    const qint64 value = text.toLongLong(&ok);
    if (!ok || value < 0 || value > max)
        return std::nullopt;
    return value;
}

} // namespace

QString ServerOptions::usage()
{
    return QStringLiteral(
        "usage: velto-relay-server [--host ADDR] [--port N] [--api-key K ...] [--ping-interval-ms N]\n"
        "       [--heartbeat-interval-ms N] [--events-file PATH] [--storage-dir DIR] [--data-dir DIR]\n"
        "       [--max-upload-bytes N] [--token-ttl-seconds N] [--tenant-id ID] [--tenant-name NAME]\n"
        "       [--no-batch-ack] [--reject-reregistration] [--max-events N]");
}

Result<ServerOptions, QString> ServerOptions::parse(const QStringList& arguments)
{
    ServerOptions options;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString& name = arguments.at(i);
        if (name == QLatin1String("--no-batch-ack")) {
            options.batchAck = false;
            continue;
        }
        if (name == QLatin1String("--reject-reregistration")) {
            options.rejectReregistration = true;
            continue;
        }
        if (name == QLatin1String("--help") || name == QLatin1String("-h"))
            return fail(usage());
        if (i + 1 >= arguments.size())
            return fail(QStringLiteral("%1 needs a value or is unknown\n%2").arg(name, usage()));
        const QString value = arguments.at(++i);
        const auto badValue = [&] { return fail(QStringLiteral("bad value for %1: %2").arg(name, value)); };

        if (name == QLatin1String("--host")) {
            if (QHostAddress(value).isNull())
                return badValue();
            options.host = value;
        } else if (name == QLatin1String("--port")) {
            const auto port = readCount(value, 65535);
            if (!port)
                return badValue();
            options.port = quint16(*port);
        } else if (name == QLatin1String("--api-key")) {
            if (value.isEmpty())
                return badValue();
            options.apiKeys.append(value);
        } else if (name == QLatin1String("--ping-interval-ms") || name == QLatin1String("--heartbeat-interval-ms")) {
            const auto interval = readCount(value, std::numeric_limits<int>::max());
            if (!interval)
                return badValue();
            (name == QLatin1String("--ping-interval-ms") ? options.pingIntervalMs : options.heartbeatIntervalMs)
                = int(*interval);
        } else if (name == QLatin1String("--events-file")) {
            options.eventsFile = value;
        } else if (name == QLatin1String("--storage-dir")) {
            options.storageDir = value;
        } else if (name == QLatin1String("--data-dir")) {
            options.dataDir = value;
        } else if (name == QLatin1String("--max-upload-bytes")) {
            const auto bytes = readCount(value, qint64(1) << 40);
            if (!bytes || *bytes == 0)
                return badValue();
            options.maxUploadBytes = *bytes;
        } else if (name == QLatin1String("--token-ttl-seconds")) {
            const auto seconds = readCount(value, 10 * 365 * 86400);
            if (!seconds)
                return badValue();
            options.tokenTtlSeconds = int(*seconds);
        } else if (name == QLatin1String("--tenant-id")) {
            if (value.isEmpty())
                return badValue();
            options.tenantId = value;
        } else if (name == QLatin1String("--tenant-name")) {
            options.tenantName = value;
        } else if (name == QLatin1String("--max-events")) {
            const auto count = readCount(value, std::numeric_limits<int>::max());
            if (!count || *count == 0)
                return badValue();
            options.maxEventsInMemory = int(*count);
        } else {
            return fail(QStringLiteral("unknown option %1\n%2").arg(name, usage()));
        }
    }
    return options;
}

} // namespace velto::relayserver
