#include "permissionsservice.h"

#include "codablepermissionsnapshot.h"

#include <configuration.h>
#include <filestore.h>
#include <logger.h>
#include <messagesender.h>
#include <platform.h>
#include <processrunner.h>
#include <task.h>

#include <QCoroFuture>
#include <QCoroSignal>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStringDecoder>
#include <QtConcurrent>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace velto {

namespace {

const Logger& logger()
{
    static const Logger instance("Permissions");
    return instance;
}

// Not a secret: the last verdicts, read back at start-up.
constexpr int cacheFileMode = 0644;

const QLatin1String deniedAutomationDetail(
    "Velto is not allowed to control Messages. Grant access in System Settings > Privacy & Security > Automation.");
const QLatin1String deniedContactsDetail("Contacts access denied. Grant access in System Settings.");

PermissionDetail verdict(PermissionState state, std::optional<QString> detail = std::nullopt)
{
    return {state, std::move(detail), QDateTime::currentDateTimeUtc()};
}

QString decodeUtf8(const QByteArray& bytes)
{
    QStringDecoder decoder(QStringDecoder::Utf8);
    QString text = decoder(bytes);
    return decoder.hasError() ? QString() : text;
}

QString readmePath()
{
    return QStringLiteral(VELTO_README_PATH);
}

} // namespace

PermissionsService::PermissionsService(QObject* parent)
    : PermissionsService(Options{}, parent)
{
}

PermissionsService::PermissionsService(Options options, QObject* parent)
    : QObject(parent)
    , m_options(std::move(options))
    , m_cacheExpiry(0) // the distant past: the first call probes
{
}

PermissionsService::~PermissionsService() = default;

QString PermissionsService::chatDatabasePath() const
{
    if (!m_options.chatDatabasePath.isEmpty())
        return m_options.chatDatabasePath;
    return QDir(Platform::homeDirectory()).filePath(QStringLiteral("Library/Messages/chat.db"));
}

QString PermissionsService::contactsDirectory() const
{
    return m_options.contactsDirectory.isEmpty() ? ContactStore::defaultDirectory() : m_options.contactsDirectory;
}

QString PermissionsService::cacheFilePath() const
{
    return m_options.cacheFile.isEmpty() ? Configuration::permissionCacheFile() : m_options.cacheFile;
}

QCoro::Task<PermissionSnapshot> PermissionsService::getSnapshot(bool forceRefresh)
{
    if (!forceRefresh && m_cachedSnapshot && !m_cacheExpiry.hasExpired())
        co_return *m_cachedSnapshot;

    const Guard<PermissionsService> guard(this);
    PermissionSnapshot snapshot;
    auto automationCheck = checkAutomationAccess();
    snapshot.automation = co_await std::move(automationCheck);
    if (!guard.alive())
        co_return snapshot;

    // Both checks start before either is awaited, so they run side by side.
    auto fullDiskCheck = checkFullDiskAccess();
    auto contactsCheck = checkContactsAccess();
    snapshot.fullDisk = co_await std::move(fullDiskCheck);
    snapshot.contacts = co_await std::move(contactsCheck);
    if (!guard.alive())
        co_return snapshot;

    m_cachedSnapshot = snapshot;
    m_cacheExpiry = QDeadlineTimer(m_options.cacheTTL);
    co_return snapshot;
}

void PermissionsService::persistCache(const PermissionSnapshot& snapshot) const
{
    const QByteArray data = CodablePermissionSnapshot::from(snapshot).toJson();
    // The configuration directory is not created here: it exists once setup has run.
    if (auto written = FileStore::writeAtomically(cacheFilePath(), data, cacheFileMode); !written)
        logger().error(QStringLiteral("Failed to persist permission cache: ") + written.error());
}

QCoro::Task<PermissionDetail> PermissionsService::checkFullDiskAccess()
{
    // Copied before the first wait: the service may be gone when the tool ends.
    const QString path = chatDatabasePath();
    // Read-only, so that probing a missing database does not create an empty one.
    auto spawning = spawnCommand(m_options.sqlite3Program,
                                 {QStringLiteral("-readonly"), path, QStringLiteral("SELECT 1;")},
                                 m_options.sqlite3TimeLimit);
    const Result<SpawnResult, QString> spawned = co_await std::move(spawning);
    if (spawned)
        co_return fullDiskVerdict(spawned.value());

    logger().info(QStringLiteral("sqlite3 spawn failed, falling back to file access check"));
    auto fileCheck = QtConcurrent::run([path] { return checkFullDiskAccessFallback(path); });
    const PermissionDetail detail = co_await fileCheck;
    co_return detail;
}

PermissionDetail PermissionsService::fullDiskVerdict(const SpawnResult& result)
{
    if (result.exitCode == 0) {
        logger().info(QStringLiteral("Full Disk Access: granted (sqlite3 query succeeded)"));
        return verdict(PermissionState::granted);
    }
    const QString lowered = result.standardError.toLower();
    if (lowered.contains(QLatin1String("operation not permitted"))) {
        logger().error(QStringLiteral("Full Disk Access: denied"));
        return verdict(PermissionState::denied,
                       QStringLiteral("Operation not permitted. Grant Full Disk Access in System Settings."));
    }
    if (lowered.contains(QLatin1String("unable to open database"))) {
        logger().error(QStringLiteral("Full Disk Access: error - database not found"));
        return verdict(PermissionState::error, QStringLiteral("Messages database not found or inaccessible."));
    }
    logger().error(QStringLiteral("Full Disk Access: error - ") + result.standardError);
    return verdict(PermissionState::error, result.standardError);
}

PermissionDetail PermissionsService::checkFullDiskAccessFallback(const QString& chatDbPath)
{
    // Non-blocking, so that a FIFO in the database's place cannot hold the check forever; it
    // changes nothing for a regular file.
    const int fd = ::open(QFile::encodeName(chatDbPath).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) {
        ::close(fd);
        return verdict(PermissionState::granted);
    }
    const int error = errno;
    switch (error) {
    case EPERM:
    case EACCES:
        return verdict(PermissionState::denied,
                       QStringLiteral("Permission denied. Grant Full Disk Access in System Settings."));
    case ENOENT:
        return verdict(PermissionState::error, QStringLiteral("Messages database not found."));
    default:
        return verdict(PermissionState::error, QString::fromLocal8Bit(std::strerror(error)));
    }
}

QCoro::Task<Result<SpawnResult, QString>> PermissionsService::spawnCommand(QString command, QStringList arguments,
                                                                           std::chrono::milliseconds timeout)
{
    auto running = runProcess(std::move(command), std::move(arguments), QByteArray(), timeout);
    const ProcessResult process = co_await std::move(running);
    if (process.outcome == ProcessResult::Outcome::failedToStart)
        co_return fail(process.errorText);
    SpawnResult result;
    result.exitCode = process.outcome == ProcessResult::Outcome::finished ? process.exitCode : -1;
    result.standardOutput = decodeUtf8(process.standardOutput);
    result.standardError = decodeUtf8(process.standardError);
    co_return result;
}

QCoro::Task<PermissionDetail> PermissionsService::checkAutomationAccess()
{
    // With no text and no file the script only addresses the recipient: nothing is sent.
    MessageSendOptions options;
    options.recipient = QLatin1String(probeRecipient);
    options.service = MessageService::imessage;
    options.region = QStringLiteral("US");
    const MessageSender sender;
    auto sending = sender.send(options);
    const Result<void, TolkaError> sent = co_await std::move(sending);
    co_return automationVerdict(sent);
}

PermissionDetail PermissionsService::automationVerdict(const Result<void, TolkaError>& sendResult)
{
    if (sendResult) {
        logger().info(QStringLiteral("Automation (Messages): granted"));
        return verdict(PermissionState::granted);
    }
    const QString description = sendResult.error().description();
    // The script never ran, so nothing is known about the permission.
    if (sendResult.error().kind() == TolkaError::Kind::processLaunch) {
        logger().error(QStringLiteral("Automation (Messages): error - ") + description);
        return verdict(PermissionState::error, description);
    }
    const QString lowered = description.toLower();
    if (lowered.contains(QLatin1String("not authorized")) || lowered.contains(QLatin1String("not authorised"))
        || lowered.contains(QLatin1String("-1743"))) {
        logger().error(QStringLiteral("Automation (Messages): denied"));
        return verdict(PermissionState::denied, deniedAutomationDetail);
    }
    logger().info(QStringLiteral("Automation (Messages): granted (script ran, error: %1)").arg(description));
    return verdict(PermissionState::granted);
}

QCoro::Task<PermissionDetail> PermissionsService::checkContactsAccess()
{
    const QString directory = contactsDirectory();
    auto checking = QtConcurrent::run([directory] {
        const ContactStore store(directory);
        return contactsVerdict(store.authorizationStatus(), [&store] { return store.requestAccess(); });
    });
    const PermissionDetail detail = co_await checking;
    co_return detail;
}

PermissionDetail PermissionsService::contactsVerdict(ContactAuthorizationStatus status,
                                                     const std::function<ContactStore::AccessAnswer()>& requestAccess)
{
    switch (status) {
    case ContactAuthorizationStatus::authorized:
        logger().info(QStringLiteral("Contacts Access: granted"));
        return verdict(PermissionState::granted);
    case ContactAuthorizationStatus::notDetermined: {
        logger().info(QStringLiteral("Contacts Access: requesting..."));
        const ContactStore::AccessAnswer answer = requestAccess();
        if (answer.error) {
            logger().error(QStringLiteral("Contacts Access request error: ") + *answer.error);
            return verdict(PermissionState::error, *answer.error);
        }
        if (answer.granted) {
            logger().info(QStringLiteral("Contacts Access: granted after prompt"));
            return verdict(PermissionState::granted);
        }
        logger().error(QStringLiteral("Contacts Access: denied by user"));
        return verdict(PermissionState::denied, deniedContactsDetail);
    }
    case ContactAuthorizationStatus::restricted:
        logger().error(QStringLiteral("Contacts Access: restricted"));
        return verdict(PermissionState::denied, QStringLiteral("Contacts access restricted by system policy."));
    case ContactAuthorizationStatus::denied:
        logger().error(QStringLiteral("Contacts Access: denied"));
        return verdict(PermissionState::denied, deniedContactsDetail);
    }
    return verdict(PermissionState::unknown, QStringLiteral("Unknown contacts authorization status."));
}

std::optional<QUrl> PermissionsService::systemSettingsUrl(const QString& target)
{
    const char* pane = nullptr;
    if (target == QLatin1String("fullDisk"))
        pane = "Privacy_AllFiles";
    else if (target == QLatin1String("contacts"))
        pane = "Privacy_Contacts";
    else if (target == QLatin1String("automation"))
        pane = "Privacy_Automation";
    if (!pane)
        return std::nullopt;
    return QUrl(QStringLiteral("x-apple.systempreferences:com.apple.preference.security?") + QLatin1String(pane));
}

std::optional<QUrl> PermissionsService::helpUrl(const QString& target)
{
    const char* section = nullptr;
    if (target == QLatin1String("fullDisk"))
        section = "full-disk-access";
    else if (target == QLatin1String("contacts"))
        section = "contacts";
    else if (target == QLatin1String("automation"))
        section = "automation";
    if (!section)
        return std::nullopt;
    QUrl url = QUrl::fromLocalFile(readmePath());
    url.setFragment(QLatin1String(section));
    return url;
}

QCoro::Task<Result<void, SettingsOpenError>> PermissionsService::openSystemPreferences(QString target,
                                                                                     std::chrono::milliseconds openerWait)
{
#ifdef Q_OS_MACOS
    const std::optional<QUrl> address = systemSettingsUrl(target);
    const QString opener = QStringLiteral("/usr/bin/open");
#else
    const std::optional<QUrl> address = helpUrl(target);
    const QString opener = QStringLiteral("xdg-open");
#endif
    if (!address)
        co_return fail(SettingsOpenError::unknownTarget(target));
    const QString addressText = address->toString(QUrl::FullyEncoded);
#ifndef Q_OS_MACOS
    // Without a graphical session the opener would fall back to a text browser on our own
    // terminal, or fail; the user is told where to look instead.
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) {
        logger().error(QStringLiteral("No desktop session to show ") + addressText);
        co_return fail(SettingsOpenError::noDesktop(addressText));
    }
#endif

    // Not owned by this coroutine: a browser the opener starts may outlive the wait, and the
    // process object goes away when the opener ends. Output goes nowhere, so a browser that
    // inherits it never writes into a closed pipe.
    auto* process = new QProcess();
    process->setStandardInputFile(QProcess::nullDevice());
    process->setStandardOutputFile(QProcess::nullDevice());
    process->setStandardErrorFile(QProcess::nullDevice());
    process->start(opener, {addressText});
    // An opener still running at the end of the wait has handed the address to a program that
    // stays open (some openers run the browser in the foreground).
    const QDeadlineTimer deadline(openerWait);
    while (process->state() != QProcess::NotRunning) {
        const auto remaining = std::chrono::milliseconds(deadline.remainingTime());
        if (deadline.hasExpired() || !co_await qCoro(process, &QProcess::stateChanged, remaining)) {
            QObject::connect(process, &QProcess::finished, process, &QObject::deleteLater);
            co_return {};
        }
    }
    process->deleteLater();

    if (process->error() == QProcess::FailedToStart) {
        const QString detail = opener + QStringLiteral(": ") + process->errorString();
        logger().error(QStringLiteral("Could not open ") + addressText + QStringLiteral(": ") + detail);
        co_return fail(SettingsOpenError::launchFailed(detail));
    }
    if (process->exitStatus() != QProcess::NormalExit || process->exitCode() != 0) {
        const QString detail = process->exitStatus() != QProcess::NormalExit
                                   ? opener + QStringLiteral(" crashed")
                                   : opener + QStringLiteral(" exited with status %1").arg(process->exitCode());
        logger().error(QStringLiteral("Could not open ") + addressText + QStringLiteral(": ") + detail);
        co_return fail(SettingsOpenError::openerFailed(detail));
    }
    co_return {};
}

} // namespace velto
