#include "relayidentityservice.h"

#include "logger.h"
#include "processrunner.h"

#include <QFile>
#include <QFileInfo>
#include <QStringDecoder>

#include <cctype>

namespace velto {

namespace {
const Logger& log()
{
    static const Logger logger("RelayIdentity");
    return logger;
}

std::optional<QString> fromMachineIdFiles(const QStringList& paths)
{
    for (const QString& path : paths) {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            continue;
        if (auto uuid = RelayIdentityService::uuidFromMachineId(file.read(256)))
            return uuid;
    }
    log().error(QStringLiteral("Failed to get hardware UUID: no readable machine id in %1")
                    .arg(paths.join(QStringLiteral(", "))));
    return std::nullopt;
}

QCoro::Task<std::optional<QString>> lookUp(QString ioregPath, QStringList machineIdPaths,
                                           std::chrono::milliseconds timeLimit)
{
    if (!QFileInfo::exists(ioregPath))
        co_return fromMachineIdFiles(machineIdPaths);

    // Built before the await: GCC 12 cannot keep QStringLiteral's array inside a co_await expression.
    const QStringList arguments{QStringLiteral("-rd1"), QStringLiteral("-c"), QStringLiteral("IOPlatformExpertDevice")};
    const ProcessResult run = co_await runProcess(ioregPath, arguments, {}, timeLimit);
    if (run.outcome == ProcessResult::Outcome::failedToStart || run.outcome == ProcessResult::Outcome::timedOut) {
        log().error(QStringLiteral("Failed to get hardware UUID: %1").arg(run.errorText));
        co_return std::nullopt;
    }
    co_return RelayIdentityService::platformUuidFromIoreg(run.standardOutput);
}
} // namespace

QCoro::Task<std::optional<QString>> RelayIdentityService::getHardwareUUID()
{
    return getHardwareUUID(Sources{});
}

QCoro::Task<std::optional<QString>> RelayIdentityService::getHardwareUUID(Sources sources)
{
    return lookUp(sources.ioregPath, sources.machineIdPaths, sources.timeLimit);
}

std::optional<QString> RelayIdentityService::platformUuidFromIoreg(const QByteArray& output)
{
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = decoder.decode(output);
    if (decoder.hasError())
        return std::nullopt;
    static const QLatin1String key("IOPlatformUUID\" = \"");
    const qsizetype keyAt = text.indexOf(key);
    if (keyAt < 0)
        return std::nullopt;
    const qsizetype start = keyAt + key.size();
    const qsizetype end = text.indexOf(u'"', start);
    if (end < 0)
        return std::nullopt;
    return text.mid(start, end - start);
}

std::optional<QString> RelayIdentityService::uuidFromMachineId(const QByteArray& contents)
{
    const QByteArray hex = contents.trimmed();
    if (hex.size() != 32)
        return std::nullopt;
    for (const char c : hex) {
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            return std::nullopt;
    }
    const QString digits = QString::fromLatin1(hex).toUpper();
    return digits.mid(0, 8) + u'-' + digits.mid(8, 4) + u'-' + digits.mid(12, 4) + u'-' + digits.mid(16, 4) + u'-'
           + digits.mid(20, 12);
}

} // namespace velto
