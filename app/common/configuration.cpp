#include "configuration.h"

#include "filestore.h"
#include "infodictionary.h"
#include "platform.h"

#include <QDir>
#include <QUrl>

namespace velto::Configuration {

namespace {
QString inConfigDir(const char* name)
{
    return QDir(configDir()).filePath(QLatin1String(name));
}
} // namespace

QString configDir()
{
    static const QString dir = QDir(Platform::homeDirectory()).filePath(QStringLiteral(".imessage-relay"));
    return dir;
}

QString relayAuthFile()
{
    static const QString path = inConfigDir("relay-auth.json");
    return path;
}

QString pendingRegistrationFile()
{
    static const QString path = inConfigDir("pending-registration.json");
    return path;
}

QString wizardStateFile()
{
    static const QString path = inConfigDir("wizard-state.json");
    return path;
}

QString preferencesFile()
{
    static const QString path = inConfigDir("preferences.json");
    return path;
}

QString permissionCacheFile()
{
    static const QString path = inConfigDir("permission-cache.json");
    return path;
}

QString defaultApiServerUrl()
{
    return QStringLiteral("wss://api.staging.velto.invalid/relay");
}

QString resolveApiServerUrl(const QVariant& infoValue)
{
    if (infoValue.isValid() && infoValue.typeId() == QMetaType::QString && !infoValue.toString().isEmpty())
        return infoValue.toString();
    return defaultApiServerUrl();
}

QString apiServerUrl()
{
    static const QString url = resolveApiServerUrl(InfoDictionary::value(QStringLiteral("API_SERVER_URL")));
    return url;
}

bool isAutoStartDisabled()
{
    return qEnvironmentVariableIsSet("DISABLE_AUTO_START")
           && qgetenv("DISABLE_AUTO_START") == QByteArrayLiteral("true");
}

QString httpBaseUrl(const QString& webSocketUrl)
{
    QString url = webSocketUrl;
    url.replace(QLatin1String("ws://"), QLatin1String("http://"));
    url.replace(QLatin1String("wss://"), QLatin1String("https://"));
    // Every "/relay" after the scheme's "//" goes; the "//" itself is not part of a match, so a
    // host that happens to start with "relay" survives intact.
    const qsizetype authority = url.indexOf(QLatin1String("://"));
    const qsizetype from = authority >= 0 ? authority + 3 : 0;
    return url.left(from) + url.mid(from).remove(QLatin1String("/relay"));
}

QString dashboardUrlFor(const QString& webSocketUrl)
{
    const QString base = httpBaseUrl(webSocketUrl);
    QUrl url(base, QUrl::StrictMode);
    if (!url.isValid() || url.host().isEmpty())
        return base;
    if (url.host().startsWith(QLatin1String("api.")))
        url.setHost(url.host().mid(4));
    const QString assembled = url.toString();
    return url.isValid() && !assembled.isEmpty() ? assembled : base;
}

QString dashboardUrl()
{
    return dashboardUrlFor(apiServerUrl());
}

Result<void, QString> ensureConfigDir()
{
    return FileStore::ensureDirectory(configDir());
}

} // namespace velto::Configuration
