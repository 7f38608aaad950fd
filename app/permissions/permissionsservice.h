#pragma once

#include "permissionsnapshot.h"
#include "settingsopenerror.h"

#include <contactstore.h>
#include <result.h>
#include <tolkaerror.h>

#include <QCoroTask>
#include <QDeadlineTimer>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <chrono>
#include <functional>
#include <optional>

namespace velto {

// What a finished tool left: its exit status (-1 when it did not exit normally, as when it was
// stopped at its time limit) and its output decoded as UTF-8 (empty when it is not UTF-8).
struct SpawnResult {
    int exitCode = -1;
    QString standardOutput;
    QString standardError;
};

// Finds out whether the system lets the relay read the Messages database (Full Disk Access),
// drive the Messages application (Automation) and read the address book (Contacts), and keeps
// the answer for a while so screens may ask often.
//
// Lives on the thread that created it; its operations run there one at a time, and while one
// waits for a probe others may run (two callers that both miss the cache both probe). The
// probes never block that thread: the tool and the script run as child processes, file work
// runs on the pool.
class PermissionsService : public QObject {
    Q_OBJECT

public:
    struct Options {
        // Empty: HOME/Library/Messages/chat.db, HOME as it is at each check.
        QString chatDatabasePath;
        QString sqlite3Program = QStringLiteral("/usr/bin/sqlite3");
        std::chrono::milliseconds sqlite3TimeLimit = std::chrono::seconds(15);
        // Empty: the address book's own folder (VELTO_CONTACTS_DIR or its default) at each check.
        QString contactsDirectory;
        // Empty: the configuration directory's "permission-cache.json".
        QString cacheFile;
        std::chrono::milliseconds cacheTTL = std::chrono::seconds(30);
    };

    // The Automation probe's recipient: a number no one has; the probe sends nothing.
    static constexpr const char* probeRecipient = "+15555555555";

    explicit PermissionsService(QObject* parent = nullptr);
    explicit PermissionsService(Options options, QObject* parent = nullptr);
    ~PermissionsService() override;

    // The cached snapshot while it is fresh (unchanged, with its old check times), else a new
    // one: Automation first, then Full Disk Access and Contacts side by side. Never fails.
    QCoro::Task<PermissionSnapshot> getSnapshot(bool forceRefresh = false);

    // Writes the snapshot to the cache file (whole, by rename). Failures are logged only. Touches
    // nothing but the file, so any thread may call it on its own instance.
    void persistCache(const PermissionSnapshot& snapshot) const;
    QString cacheFilePath() const;

    QCoro::Task<PermissionDetail> checkFullDiskAccess();
    QCoro::Task<PermissionDetail> checkContactsAccess();
    QCoro::Task<PermissionDetail> checkAutomationAccess();

    // The database path the Full Disk Access check opens.
    QString chatDatabasePath() const;

    // Opening the database file directly, for when the sqlite3 tool cannot be started.
    // Blocking, but never on a FIFO or a device that makes an open wait.
    static PermissionDetail checkFullDiskAccessFallback(const QString& chatDbPath);

    // Runs a program with a time limit; a program that cannot be started is the error (its
    // system text). A program stopped at the limit still gives a result.
    static QCoro::Task<Result<SpawnResult, QString>> spawnCommand(QString command, QStringList arguments,
                                                                  std::chrono::milliseconds timeout);

    // The verdicts on each probe's outcome, with their log lines.
    static PermissionDetail fullDiskVerdict(const SpawnResult& result);
    static PermissionDetail automationVerdict(const Result<void, TolkaError>& sendResult);
    static PermissionDetail contactsVerdict(ContactAuthorizationStatus status,
                                            const std::function<ContactStore::AccessAnswer()>& requestAccess);

    // The System Settings privacy page for "fullDisk", "contacts" or "automation" (exact case).
    static std::optional<QUrl> systemSettingsUrl(const QString& target);
    // Where a platform without those pages explains the permission: the README's section.
    static std::optional<QUrl> helpUrl(const QString& target);

    // Shows the target's settings page: the System Settings page on macOS, the README's
    // permissions section elsewhere. Any other target opens nothing. Never hangs on the program
    // that opens it: one still running after `openerWait` counts as having shown it. Needs no
    // instance; callers may ignore the outcome.
    static QCoro::Task<Result<void, SettingsOpenError>>
    openSystemPreferences(QString target, std::chrono::milliseconds openerWait = std::chrono::seconds(5));

private:
    QString contactsDirectory() const;

    Options m_options;
    std::optional<PermissionSnapshot> m_cachedSnapshot;
    QDeadlineTimer m_cacheExpiry; // expired while nothing is cached
};

} // namespace velto
