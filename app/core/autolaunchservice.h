#pragma once

#include <loginitem.h>
#include <logger.h>
#include <result.h>

namespace velto {

class PreferencesManager;

// Starts the application at login through the system's login item, keeps the user's wish
// (the preference) and the system setting in step, and reports drift between them. The
// preference changes only after the system accepted a change. Main thread only; the login-item
// calls are synchronous.
class AutoLaunchService {
public:
    explicit AutoLaunchService(PreferencesManager& preferencesManager, LoginItem loginItem = LoginItem());

    // At start-up: registers the login item again when the preference wants it and the system
    // lost it. A stray registration is left alone. Never fails.
    void initialize();

    // The system's value: true exactly when the login item is enabled. Logs drift from the
    // preference without correcting it.
    bool getLaunchAtLogin() const;

    // Registers or unregisters the login item; on success the preference follows, on failure
    // the system's error is returned and nothing else changes.
    Result<void, LoginItemError> setLaunchAtLogin(bool enabled);

    const LoginItem& loginItem() const { return m_loginItem; }

private:
    const Logger m_logger{"AutoLaunch"};
    PreferencesManager& m_preferencesManager;
    LoginItem m_loginItem;
};

} // namespace velto
