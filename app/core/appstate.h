#pragma once

#include "logger.h"
#include "manualaccount.h"
#include "result.h"

#include <QDateTime>
#include <QObject>
#include <QString>

#include <QCoroTask>

#include <memory>
#include <optional>

class QTimer;
class QUrl;

namespace velto {

class AutoLaunchService;
class LogBufferService;
class PermissionsService;
class PreferencesManager;
class RelayManager;
class RelayStatusService;

// What registerRelay ended with; `error` is the text shown to the user.
struct RegistrationResult {
    bool success = false;
    std::optional<QString> error;
};

// The application's root: owns the long-lived services, runs start-up and the automatic start,
// resets the daily counters at midnight, registers the Mac as a relay, turns a registration
// link into a relay switch, wipes the set-up on reset and shuts everything down. Main thread only.
class AppState : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool wizardComplete READ wizardComplete NOTIFY wizardCompleteChanged)
    Q_PROPERTY(bool isCheckingWizard READ isCheckingWizard NOTIFY isCheckingWizardChanged)
    Q_PROPERTY(bool showRelaySwitchConfirm READ showRelaySwitchConfirm NOTIFY showRelaySwitchConfirmChanged)
    Q_PROPERTY(bool showRelaySwitchSuccess READ showRelaySwitchSuccess NOTIFY showRelaySwitchSuccessChanged)
public:
    // A pending registration older than this is stale.
    static constexpr qint64 pendingRegistrationLifetimeSeconds = 1500;
    // The relay's name when the user gave none.
    static QString defaultRelayName() { return QStringLiteral("Mac Relay"); }

    explicit AppState(QObject* parent = nullptr);
    ~AppState() override;

    RelayStatusService& statusService() const { return *m_statusService; }
    LogBufferService& logBuffer() const { return *m_logBuffer; }
    PermissionsService& permissionsService() const { return *m_permissionsService; }
    PreferencesManager& preferencesManager() const { return *m_preferencesManager; }
    AutoLaunchService* autoLaunch() const { return m_autoLaunch.get(); }
    RelayManager* relayManager() const { return m_relayManager; }

    bool wizardComplete() const { return m_wizardComplete; }
    bool isCheckingWizard() const { return m_isCheckingWizard; }
    const std::optional<QString>& pendingRegistrationToken() const { return m_pendingRegistrationToken; }
    bool showRelaySwitchConfirm() const { return m_showRelaySwitchConfirm; }
    bool showRelaySwitchSuccess() const { return m_showRelaySwitchSuccess; }
    // When the pending midnight reset fires; none when none is scheduled.
    std::optional<QDateTime> midnightResetDue() const { return m_midnightResetDue; }

    // The start-up sequence; runs whole again on every call.
    QCoro::Task<> initialize();
    void handleRegistrationToken(const QString& token);
    QCoro::Task<> confirmRelaySwitch();
    void cancelRelaySwitch();
    QCoro::Task<RegistrationResult> registerRelay(QString token, QString name, QList<ManualAccount> manualAccounts,
                                                  bool permissionsOverride,
                                                  std::optional<QString> apiServerUrlOverride = std::nullopt);
    // Removes the configuration directory and everything in it; the error is the system's text.
    Result<void, QString> clearWizardState();
    void setWizardComplete(bool complete);
    QCoro::Task<> shutdown();

    // The token a "velto://register?token=…" link carries; none for any other URL.
    static std::optional<QString> registrationToken(const QUrl& url);
    // The next local midnight after `now` (the first existing time of the next day); none when
    // the calendar cannot say.
    static std::optional<QDateTime> nextMidnight(const QDateTime& now);

Q_SIGNALS:
    void wizardCompleteChanged(bool complete);
    void isCheckingWizardChanged(bool checking);
    void pendingRegistrationTokenChanged();
    void showRelaySwitchConfirmChanged(bool show);
    void showRelaySwitchSuccessChanged(bool show);
    void midnightResetDone();

private:
    QCoro::Task<> autoStart();
    void scheduleMidnightReset();
    void midnightReset();
    void setPendingToken(std::optional<QString> token);
    void setShowRelaySwitchConfirm(bool show);
    void setShowRelaySwitchSuccess(bool show);
    void setCheckingWizard(bool checking);

    void savePendingRegistration(const QString& token);
    std::optional<QString> readPendingRegistration();
    void clearPendingRegistration();

    Logger m_logger{"AppState"};
    RelayStatusService* m_statusService;
    LogBufferService* m_logBuffer;
    PermissionsService* m_permissionsService;
    PreferencesManager* m_preferencesManager;
    std::unique_ptr<AutoLaunchService> m_autoLaunch;
    RelayManager* m_relayManager;

    bool m_wizardComplete = false;
    bool m_isCheckingWizard = true;
    std::optional<QString> m_pendingRegistrationToken;
    bool m_showRelaySwitchConfirm = false;
    bool m_showRelaySwitchSuccess = false;
    // A Qt timer runs on the monotonic clock, so a wall-clock change does not move the reset.
    QTimer* m_midnightTimer;
    std::optional<QDateTime> m_midnightResetDue;
};

} // namespace velto
