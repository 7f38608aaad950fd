#include "infodictionary.h"

namespace velto::InfoDictionary {

QVariant value(const QString& key)
{
    if (key == QLatin1String("API_SERVER_URL")) {
        // An empty cache variable means the key is not in the dictionary at all.
        const QString url = QStringLiteral(VELTO_INFO_API_SERVER_URL);
        return url.isEmpty() ? QVariant() : QVariant(url);
    }
    if (key == QLatin1String("APPCAST_URL")) {
        // The update feed; absent when none is compiled in, and update checks are then off.
        const QString url = QStringLiteral(VELTO_INFO_APPCAST_URL);
        return url.isEmpty() ? QVariant() : QVariant(url);
    }
    if (key == QLatin1String("CFBundleShortVersionString"))
        return QStringLiteral(VELTO_INFO_VERSION);
    return {};
}

QString shortVersion()
{
    return value(QStringLiteral("CFBundleShortVersionString")).toString();
}

} // namespace velto::InfoDictionary
