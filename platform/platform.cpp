#include "platform.h"

#include <QDir>

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

} // namespace velto::Platform
