#include "platform.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>

#include <pwd.h>
#include <unistd.h>

namespace velto::Platform {

QString homeDirectory()
{
    const QString overridden = qEnvironmentVariable("VELTO_HOME");
    if (!overridden.isEmpty())
        return QDir::cleanPath(overridden);
    if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir)
        return QDir::cleanPath(QString::fromLocal8Bit(pw->pw_dir));
    return QDir::homePath();
}

QString userFullName()
{
    const passwd* pw = getpwuid(getuid());
    if (!pw || !pw->pw_gecos)
        return {};
    // GECOS is "Full Name,room,phone,...": the name is the first field.
    return QString::fromLocal8Bit(pw->pw_gecos).section(QLatin1Char(','), 0, 0).trimmed();
}

QString hardwareUuid()
{
    const QString ioreg = QStringLiteral("/usr/sbin/ioreg");
    if (QFile::exists(ioreg)) {
        QProcess process;
        process.start(ioreg, {QStringLiteral("-rd1"), QStringLiteral("-c"), QStringLiteral("IOPlatformExpertDevice")});
        if (process.waitForFinished(5000)) {
            static const QRegularExpression uuid(QStringLiteral("\"IOPlatformUUID\" = \"([0-9A-Fa-f-]{36})\""));
            const auto match = uuid.match(QString::fromUtf8(process.readAllStandardOutput()));
            if (match.hasMatch())
                return match.captured(1).toUpper();
        }
    }
    QFile machineId(QStringLiteral("/etc/machine-id"));
    if (!machineId.open(QIODevice::ReadOnly))
        return {};
    const QString hex = QString::fromLatin1(machineId.readAll()).trimmed();
    if (hex.size() != 32)
        return {};
    return QStringList{hex.mid(0, 8), hex.mid(8, 4), hex.mid(12, 4), hex.mid(16, 4), hex.mid(20, 12)}
        .join(QLatin1Char('-'))
        .toUpper();
}

} // namespace velto::Platform
