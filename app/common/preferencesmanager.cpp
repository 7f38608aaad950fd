#include "preferencesmanager.h"

#include "configuration.h"
#include "filestore.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

namespace velto {

namespace {

const QLatin1String batchSyncKey("batchSyncEnabled");
const QLatin1String launchAtLoginKey("launchAtLogin");

// Not a secret: readable by the owner's other tools, like any settings file.
constexpr int fileMode = 0644;

} // namespace

QByteArray PreferencesManager::Preferences::toJson() const
{
    QJsonObject object;
    object.insert(batchSyncKey, batchSyncEnabled);
    object.insert(launchAtLoginKey, launchAtLogin);
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

std::optional<PreferencesManager::Preferences> PreferencesManager::Preferences::fromJson(const QByteArray& data)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(data, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return std::nullopt;
    const QJsonObject object = document.object();
    const QJsonValue batch = object.value(batchSyncKey);
    const QJsonValue launch = object.value(launchAtLoginKey);
    if (!batch.isBool() || !launch.isBool())
        return std::nullopt;
    return Preferences{batch.toBool(), launch.toBool()};
}

PreferencesManager::PreferencesManager(QString filePath, QObject* parent)
    : QObject(parent)
    , m_filePath(std::move(filePath))
{
    QFile file(m_filePath);
    if (file.open(QIODevice::ReadOnly)) {
        if (auto loaded = Preferences::fromJson(file.readAll()))
            m_current = *loaded;
    }
}

QString PreferencesManager::defaultFilePath()
{
    return Configuration::preferencesFile();
}

PreferencesManager::Preferences PreferencesManager::current() const
{
    std::lock_guard lock(m_mutex);
    return m_current;
}

void PreferencesManager::setBatchSyncEnabled(bool enabled)
{
    update(&Preferences::batchSyncEnabled, enabled, &PreferencesManager::batchSyncEnabledChanged);
}

void PreferencesManager::setLaunchAtLogin(bool enabled)
{
    update(&Preferences::launchAtLogin, enabled, &PreferencesManager::launchAtLoginChanged);
}

void PreferencesManager::update(bool Preferences::*field, bool value, void (PreferencesManager::*changed)(bool))
{
    Preferences updated;
    bool differs = false;
    {
        std::lock_guard lock(m_mutex);
        differs = m_current.*field != value;
        m_current.*field = value;
        updated = m_current;
    }
    if (differs) {
        Q_EMIT(this->*changed)(value);
        Q_EMIT currentChanged();
    }
    persist(updated);
}

void PreferencesManager::persist(const Preferences& preferences) const
{
    // Ignored on failure: nothing to tell the user that the switch itself does not show.
    (void)FileStore::writeAtomically(m_filePath, preferences.toJson(), fileMode);
}

} // namespace velto
