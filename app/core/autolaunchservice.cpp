#include "autolaunchservice.h"

#include <preferencesmanager.h>

namespace velto {

namespace {
QString flag(bool value)
{
    return value ? QStringLiteral("true") : QStringLiteral("false");
}
} // namespace

AutoLaunchService::AutoLaunchService(PreferencesManager& preferencesManager, LoginItem loginItem)
    : m_preferencesManager(preferencesManager)
    , m_loginItem(std::move(loginItem))
{
}

void AutoLaunchService::initialize()
{
    const LoginItemStatus status = m_loginItem.status();
    if (!m_preferencesManager.current().launchAtLogin || status == LoginItemStatus::enabled)
        return;
    m_logger.info(QStringLiteral("Reapplying launch-at-login preference"));
    // Refused again: the Settings tab shows the system's value and the drift is logged there.
    (void)m_loginItem.registerItem();
}

bool AutoLaunchService::getLaunchAtLogin() const
{
    const bool system = m_loginItem.status() == LoginItemStatus::enabled;
    const bool preference = m_preferencesManager.current().launchAtLogin;
    if (system != preference)
        m_logger.error(QStringLiteral("Launch-at-login drift: prefs=%1, system=%2").arg(flag(preference), flag(system)));
    return system;
}

Result<void, LoginItemError> AutoLaunchService::setLaunchAtLogin(bool enabled)
{
    const Result<void, LoginItemError> changed = enabled ? m_loginItem.registerItem() : m_loginItem.unregisterItem();
    if (!changed)
        return changed;
    m_preferencesManager.setLaunchAtLogin(enabled);
    m_logger.info(QStringLiteral("Launch at login %1").arg(enabled ? QStringLiteral("enabled") : QStringLiteral("disabled")));
    return {};
}

} // namespace velto
