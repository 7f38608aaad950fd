// The permissions service: the verdicts of each probe (on their outcomes, and end to end with the
// real sqlite3 shell, real files and folders and the Messages simulator's osascript stand-in),
// the snapshot cache, the permission cache file, and opening the settings pages.

#include "simulatedmessages.h"

#include <codablepermissionsnapshot.h>
#include <permissionsservice.h>

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

using namespace velto;
using velto::test::await;
using velto::test::SimulatedMessages;

namespace {

const QString sqlite3 = QStringLiteral("/usr/bin/sqlite3");
const QString deniedAutomation = QStringLiteral(
    "Velto is not allowed to control Messages. Grant access in System Settings > Privacy & Security > Automation.");
const QString deniedContacts = QStringLiteral("Contacts access denied. Grant access in System Settings.");

// A detail column: "-" stands for none.
std::optional<QString> detailOf(const QString& text)
{
    return text == QLatin1String("-") ? std::nullopt : std::optional<QString>(text);
}

QString stateOf(const PermissionDetail& detail)
{
    return permissionStateRawValue(detail.state);
}

bool writeFile(const QString& path, const QByteArray& data, QFile::Permissions permissions = {})
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(data) != data.size())
        return false;
    file.close();
    return permissions == QFile::Permissions() || file.setPermissions(permissions);
}

// A program standing in for one that does not exist here, as a shell script.
QString writeScript(const QString& path, const QByteArray& body)
{
    const bool written = writeFile(path, "#!/bin/sh\n" + body + "\n",
                                   QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    return written ? path : QString();
}

class ScopedEnv {
public:
    ScopedEnv(const char* name, const QByteArray& value) : m_name(name), m_had(qEnvironmentVariableIsSet(name))
    {
        m_old = qgetenv(name);
        if (value.isNull())
            qunsetenv(name);
        else
            qputenv(name, value);
    }
    ~ScopedEnv()
    {
        if (m_had)
            qputenv(m_name, m_old);
        else
            qunsetenv(m_name);
    }

private:
    const char* m_name;
    bool m_had;
    QByteArray m_old;
};

} // namespace

class TestPermissions : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_scratch;

    QString scratch(const QString& name) const { return QDir(m_scratch.path()).filePath(name); }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_scratch.isValid());
        if (!QFileInfo(sqlite3).isExecutable())
            QSKIP("the sqlite3 shell is not installed (scripts/install-deps.sh installs it)");
    }

    // --- Full Disk Access -------------------------------------------------------------------

    void fullDiskVerdict_data()
    {
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("standardError");
        QTest::addColumn<QString>("state");
        QTest::addColumn<QString>("detail");

        QTest::newRow("exit 0 whatever it printed") << 0 << "Warning: something odd" << "granted" << "-";
        QTest::newRow("operation not permitted beats the open failure")
            << 1 << "Error: unable to open database \"/Users/u/Library/Messages/chat.db\": Operation not permitted\n"
            << "denied" << "Operation not permitted. Grant Full Disk Access in System Settings.";
        QTest::newRow("open failure only")
            << 1 << "Error: unable to open database \"chat.db\": unable to open database file\n"
            << "error" << "Messages database not found or inaccessible.";
        QTest::newRow("any other text, kept as it came")
            << 1 << "Error: in prepare, file is not a database (26)\n"
            << "error" << "Error: in prepare, file is not a database (26)\n";
        QTest::newRow("stopped at the time limit, nothing said") << -1 << "" << "error" << "";
    }

    void fullDiskVerdict()
    {
        QFETCH(int, exitCode);
        QFETCH(QString, standardError);
        QFETCH(QString, state);
        QFETCH(QString, detail);

        const PermissionDetail verdict =
            PermissionsService::fullDiskVerdict({exitCode, QStringLiteral("1\n"), standardError});
        QCOMPARE(stateOf(verdict), state);
        QCOMPARE(verdict.detail, detailOf(detail));
        QVERIFY(qAbs(verdict.lastCheckedAt.secsTo(QDateTime::currentDateTimeUtc())) < 60);
    }

    // The whole check with real processes and files: the shell's own messages, the file check
    // it falls back to, and its time limit.
    void fullDiskAccessProbe_data()
    {
        QTest::addColumn<QString>("program");
        QTest::addColumn<QString>("database"); // "present", "missing", "loop", "fifo"
        QTest::addColumn<QString>("state");
        QTest::addColumn<QString>("detail");

        QTest::newRow("sqlite3, database present") << sqlite3 << "present" << "granted" << "-";
        QTest::newRow("sqlite3, database missing")
            << sqlite3 << "missing" << "error" << "Messages database not found or inaccessible.";
        // Opening a FIFO waits for a writer: the shell hangs until the time limit stops it.
        QTest::newRow("sqlite3 hangs") << sqlite3 << "fifo" << "error" << "";
        QTest::newRow("no sqlite3, database present") << "/nonexistent/sqlite3" << "present" << "granted" << "-";
        QTest::newRow("no sqlite3, database missing")
            << "/nonexistent/sqlite3" << "missing" << "error" << "Messages database not found.";
        QTest::newRow("no sqlite3, unopenable path")
            << "/nonexistent/sqlite3" << "loop" << "error" << "Too many levels of symbolic links";
        // The file check must not wait for a writer either.
        QTest::newRow("no sqlite3, FIFO") << "/nonexistent/sqlite3" << "fifo" << "granted" << "-";
    }

    void fullDiskAccessProbe()
    {
        QFETCH(QString, program);
        QFETCH(QString, database);
        QFETCH(QString, state);
        QFETCH(QString, detail);

        QTemporaryDir dir;
        const QString path = QDir(dir.path()).filePath(QStringLiteral("chat.db"));
        if (database == QLatin1String("present")) {
            SimulatedMessages messages;
            QVERIFY2(messages.isReady(), qPrintable(messages.error()));
            QVERIFY(QFile::copy(messages.databasePath(), path));
        } else if (database == QLatin1String("loop")) {
            QVERIFY(QFile::link(path, path));
        } else if (database == QLatin1String("fifo")) {
            QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
        }

        PermissionsService::Options options;
        options.chatDatabasePath = path;
        options.sqlite3Program = program;
        options.sqlite3TimeLimit = std::chrono::milliseconds(500);
        PermissionsService service(options);
        const PermissionDetail verdict = await(service.checkFullDiskAccess());
        QCOMPARE(stateOf(verdict), state);
        QCOMPARE(verdict.detail, detailOf(detail));
        // The probe only reads: a missing database is not created by it.
        if (database == QLatin1String("missing"))
            QVERIFY(!QFileInfo::exists(path));
    }

    // --- Automation -------------------------------------------------------------------------

    void automationVerdict_data()
    {
        QTest::addColumn<QString>("failure"); // "-": the send went through
        QTest::addColumn<bool>("launchFailure");
        QTest::addColumn<QString>("state");
        QTest::addColumn<QString>("detail");

        QTest::newRow("send went through") << "-" << false << "granted" << "-";
        QTest::newRow("refused, as macOS says it")
            << "execution error: Not authorized to send Apple events to Messages. (-1743)" << false << "denied"
            << deniedAutomation;
        QTest::newRow("not authorized in capitals") << "NOT AUTHORIZED" << false << "denied" << deniedAutomation;
        QTest::newRow("British spelling") << "Not authorised to send Apple events" << false << "denied"
                                          << deniedAutomation;
        QTest::newRow("only the number") << "execution error: (-1743)" << false << "denied" << deniedAutomation;
        QTest::newRow("script ran and failed otherwise")
            << "execution error: Can’t get buddy id \"+15555555555\". (-1728)" << false << "granted" << "-";
        QTest::newRow("script timed out") << "osascript did not finish within 130 seconds" << false << "granted"
                                          << "-";
        QTest::newRow("osascript cannot be started")
            << "/usr/bin/osascript: execution failed" << true << "error" << "/usr/bin/osascript: execution failed";
    }

    void automationVerdict()
    {
        QFETCH(QString, failure);
        QFETCH(bool, launchFailure);
        QFETCH(QString, state);
        QFETCH(QString, detail);

        Result<void, TolkaError> sent;
        if (failure != QLatin1String("-"))
            sent = fail(launchFailure ? TolkaError::processLaunch(failure) : TolkaError::appleScriptFailure(failure));
        const PermissionDetail verdict = PermissionsService::automationVerdict(sent);
        QCOMPARE(stateOf(verdict), state);
        QCOMPARE(verdict.detail, detailOf(detail));
    }

    // Through the real sender and the simulator playing Messages: the probe reaches Messages
    // with the probe recipient and nothing to send.
    void automationProbe_data()
    {
        QTest::addColumn<bool>("refuse");
        QTest::addColumn<QString>("state");
        QTest::addColumn<QString>("detail");

        QTest::newRow("Messages accepts") << false << "granted" << "-";
        QTest::newRow("Messages refuses") << true << "denied" << deniedAutomation;
    }

    void automationProbe()
    {
        QFETCH(bool, refuse);
        QFETCH(QString, state);
        QFETCH(QString, detail);

        SimulatedMessages messages;
        QVERIFY2(messages.isReady(), qPrintable(messages.error()));
        if (refuse)
            messages.refuseAutomation();
        PermissionsService service;
        const PermissionDetail verdict = await(service.checkAutomationAccess());
        QCOMPARE(stateOf(verdict), state);
        QCOMPARE(verdict.detail, detailOf(detail));

        const QList<QJsonObject> calls = messages.calls();
        QCOMPARE(calls.size(), 1);
        QStringList arguments;
        for (const QJsonValue& value : calls.first().value(QLatin1String("arguments")).toArray())
            arguments.append(value.toString());
        // Recipient, no text, iMessage, no file, not a chat send.
        QCOMPARE(arguments, (QStringList{QStringLiteral("+15555555555"), QString(), QStringLiteral("imessage"),
                                         QString(), QStringLiteral("0"), QString(), QStringLiteral("0")}));
        QCOMPARE(calls.first().value(QLatin1String("outcome")).toString(),
                 refuse ? QStringLiteral("failed") : QStringLiteral("accepted"));
    }

    void automationProbeWithoutOsascript()
    {
        SimulatedMessages messages;
        QVERIFY2(messages.isReady(), qPrintable(messages.error()));
        const ScopedEnv osascript("VELTO_OSASCRIPT", QFile::encodeName(scratch(QStringLiteral("no-such-osascript"))));
        PermissionsService service;
        const PermissionDetail verdict = await(service.checkAutomationAccess());
        QCOMPARE(stateOf(verdict), QStringLiteral("error"));
        QVERIFY(verdict.detail && verdict.detail->contains(QLatin1String("no-such-osascript")));
    }

    // --- Contacts ---------------------------------------------------------------------------

    void contactsVerdict_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<bool>("answerGranted");
        QTest::addColumn<QString>("answerError");
        QTest::addColumn<bool>("asks");
        QTest::addColumn<QString>("state");
        QTest::addColumn<QString>("detail");

        const int notDetermined = int(ContactAuthorizationStatus::notDetermined);
        QTest::newRow("authorized") << int(ContactAuthorizationStatus::authorized) << false << "-" << false
                                    << "granted" << "-";
        QTest::newRow("undecided, then granted") << notDetermined << true << "-" << true << "granted" << "-";
        QTest::newRow("undecided, then refused") << notDetermined << false << "-" << true << "denied"
                                                 << deniedContacts;
        QTest::newRow("undecided, request fails")
            << notDetermined << false << "The address book is busy." << true << "error" << "The address book is busy.";
        QTest::newRow("restricted is denied, not an error")
            << int(ContactAuthorizationStatus::restricted) << false << "-" << false << "denied"
            << "Contacts access restricted by system policy.";
        QTest::newRow("denied") << int(ContactAuthorizationStatus::denied) << false << "-" << false << "denied"
                                << deniedContacts;
    }

    void contactsVerdict()
    {
        QFETCH(int, status);
        QFETCH(bool, answerGranted);
        QFETCH(QString, answerError);
        QFETCH(bool, asks);
        QFETCH(QString, state);
        QFETCH(QString, detail);

        bool asked = false;
        const PermissionDetail verdict =
            PermissionsService::contactsVerdict(ContactAuthorizationStatus(status), [&] {
                asked = true;
                return ContactStore::AccessAnswer{answerGranted, detailOf(answerError)};
            });
        QCOMPARE(asked, asks);
        QCOMPARE(stateOf(verdict), state);
        QCOMPARE(verdict.detail, detailOf(detail));
    }

    void contactsProbe_data()
    {
        QTest::addColumn<QString>("folder"); // "readable", "absent", "closed"
        QTest::addColumn<QString>("state");
        QTest::addColumn<QString>("detail");

        QTest::newRow("readable folder") << "readable" << "granted" << "-";
        QTest::newRow("no folder: an empty address book") << "absent" << "granted" << "-";
        QTest::newRow("folder closed to everyone") << "closed" << "denied" << deniedContacts;
    }

    void contactsProbe()
    {
        QFETCH(QString, folder);
        QFETCH(QString, state);
        QFETCH(QString, detail);

        QTemporaryDir dir;
        const QString path = QDir(dir.path()).filePath(QStringLiteral("contacts"));
        if (folder != QLatin1String("absent"))
            QVERIFY(writeFile(QDir(path).filePath(QStringLiteral("a.vcf")),
                              "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:A\r\nEND:VCARD\r\n"));
        if (folder == QLatin1String("closed"))
            QVERIFY(QFile::setPermissions(path, QFile::Permissions()));

        PermissionsService::Options options;
        options.contactsDirectory = path;
        PermissionsService service(options);
        const PermissionDetail verdict = await(service.checkContactsAccess());
        QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        QCOMPARE(stateOf(verdict), state);
        QCOMPARE(verdict.detail, detailOf(detail));
    }

    // --- Snapshot and its cache -------------------------------------------------------------

    void snapshotIsCachedForItsLifetime()
    {
        SimulatedMessages messages;
        QVERIFY2(messages.isReady(), qPrintable(messages.error()));
        PermissionsService::Options options;
        options.cacheTTL = std::chrono::seconds(2);
        PermissionsService service(options);

        const PermissionSnapshot first = await(service.getSnapshot(false));
        // The simulated home's database, the absent address book, Messages accepting.
        QCOMPARE(stateOf(first.fullDisk), QStringLiteral("granted"));
        QCOMPARE(stateOf(first.contacts), QStringLiteral("granted"));
        QCOMPARE(stateOf(first.automation), QStringLiteral("granted"));
        QVERIFY(first.automation.lastCheckedAt <= first.fullDisk.lastCheckedAt);
        QCOMPARE(messages.calls().size(), 1);

        const PermissionSnapshot cached = await(service.getSnapshot(false));
        QCOMPARE(cached, first); // check times included
        QCOMPARE(messages.calls().size(), 1);

        const PermissionSnapshot forced = await(service.getSnapshot(true));
        QCOMPARE(messages.calls().size(), 2);
        QVERIFY(forced.automation.lastCheckedAt >= first.automation.lastCheckedAt);

        // What a probe finds is cached whatever it is.
        messages.refuseAutomation();
        const PermissionSnapshot refused = await(service.getSnapshot(true));
        QCOMPARE(stateOf(refused.automation), QStringLiteral("denied"));
        QCOMPARE(await(service.getSnapshot(false)), refused);
        QCOMPARE(messages.calls().size(), 3);

        QTest::qWait(2100);
        const PermissionSnapshot expired = await(service.getSnapshot(false));
        QCOMPARE(messages.calls().size(), 4);
        QCOMPARE(stateOf(expired.automation), QStringLiteral("denied"));
    }

    // A screen may close while a snapshot is being taken.
    void serviceGoneDuringSnapshot()
    {
        SimulatedMessages messages;
        QVERIFY2(messages.isReady(), qPrintable(messages.error()));
        auto* service = new PermissionsService();
        auto snapshotting = service->getSnapshot(true);
        delete service;
        const PermissionSnapshot snapshot = await(std::move(snapshotting));
        QCOMPARE(stateOf(snapshot.automation), QStringLiteral("granted"));
        QCOMPARE(stateOf(snapshot.fullDisk), QStringLiteral("unknown"));
    }

    void cacheFileLoads_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<bool>("loads");
        QTest::addColumn<QString>("statesText");  // fullDisk, contacts, automation
        QTest::addColumn<QString>("detailsText"); // "-" for none

        QTest::newRow("unknown texts and no automation keys")
            << QByteArray(R"({"fullDiskState":"granted","contactsState":"sometimes"})") << true
            << "granted unknown unknown" << "- - -";
        QTest::newRow("every key")
            << QByteArray(R"({"fullDiskState":"denied","fullDiskDetail":"a","contactsState":"error",)"
                          R"("contactsDetail":"b","automationState":"granted","automationDetail":"c"})")
            << true << "denied error granted" << "a b c";
        QTest::newRow("null optional members count as missing")
            << QByteArray(R"({"fullDiskState":"error","contactsState":"denied","automationState":null})") << true
            << "error denied unknown" << "- - -";
        QTest::newRow("unknown members are ignored")
            << QByteArray(R"({"fullDiskState":"granted","contactsState":"granted","extra":1})") << true
            << "granted granted unknown" << "- - -";
        QTest::newRow("no contactsState") << QByteArray(R"({"fullDiskState":"granted"})") << false
                                          << "" << "";
        QTest::newRow("state not a text") << QByteArray(R"({"fullDiskState":1,"contactsState":"granted"})") << false
                                          << "" << "";
        QTest::newRow("detail not a text")
            << QByteArray(R"({"fullDiskState":"granted","contactsState":"granted","automationDetail":[]})") << false
            << "" << "";
        QTest::newRow("not an object") << QByteArray("[]") << false << "" << "";
        QTest::newRow("not JSON") << QByteArray("{\"fullDiskState\":") << false << "" << "";
    }

    void cacheFileLoads()
    {
        QFETCH(QByteArray, json);
        QFETCH(bool, loads);
        QFETCH(QString, statesText);
        QFETCH(QString, detailsText);
        const QStringList states = statesText.split(QLatin1Char(' '));
        const QStringList details = detailsText.split(QLatin1Char(' '));

        const auto codable = CodablePermissionSnapshot::fromJson(json);
        QCOMPARE(codable.has_value(), loads);
        if (!loads)
            return;
        const QDateTime loadedAt = QDateTime::currentDateTimeUtc();
        const PermissionSnapshot snapshot = codable->toSnapshot(loadedAt);
        const QList<PermissionDetail> all{snapshot.fullDisk, snapshot.contacts, snapshot.automation};
        for (int i = 0; i < 3; ++i) {
            QCOMPARE(stateOf(all[i]), states[i]);
            QCOMPARE(all[i].detail, detailOf(details[i]));
            QCOMPARE(all[i].lastCheckedAt, loadedAt);
        }
    }

    void persistCache()
    {
        const QString path = scratch(QStringLiteral("config/permission-cache.json"));
        QVERIFY(QDir().mkpath(QFileInfo(path).absolutePath()));
        PermissionsService::Options options;
        options.cacheFile = path;
        const PermissionsService service(options);

        // Without details only the three states are written.
        PermissionSnapshot snapshot = PermissionSnapshot::empty();
        snapshot.fullDisk.state = PermissionState::granted;
        snapshot.contacts.state = PermissionState::denied;
        service.persistCache(snapshot);
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QJsonObject written = QJsonDocument::fromJson(file.readAll()).object();
        file.close();
        QCOMPARE(written, (QJsonObject{{QStringLiteral("fullDiskState"), QStringLiteral("granted")},
                                       {QStringLiteral("contactsState"), QStringLiteral("denied")},
                                       {QStringLiteral("automationState"), QStringLiteral("unknown")}}));

        // Details go in and come back; the check times are the time of loading.
        snapshot.fullDisk = {PermissionState::error, QStringLiteral("Messages database not found."), {}};
        snapshot.automation = {PermissionState::denied, deniedAutomation, {}};
        service.persistCache(snapshot);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const auto reread = CodablePermissionSnapshot::fromJson(file.readAll());
        QVERIFY(reread);
        const QDateTime loadedAt = QDateTime::currentDateTimeUtc();
        PermissionSnapshot expected = snapshot;
        expected.fullDisk.lastCheckedAt = expected.contacts.lastCheckedAt = expected.automation.lastCheckedAt = loadedAt;
        QCOMPARE(reread->toSnapshot(loadedAt), expected);
        // Replaced whole: no temporary files left beside it.
        QCOMPARE(QDir(QFileInfo(path).absolutePath()).entryList(QDir::Files), QStringList{QStringLiteral("permission-cache.json")});
    }

    void persistCacheWithoutConfigurationDirectory()
    {
        PermissionsService::Options options;
        options.cacheFile = scratch(QStringLiteral("never-created/permission-cache.json"));
        const PermissionsService service(options);
        QTest::ignoreMessage(QtCriticalMsg, QRegularExpression(QStringLiteral("^Failed to persist permission cache: .+")));
        service.persistCache(PermissionSnapshot::empty());
        QVERIFY(!QFileInfo::exists(QFileInfo(options.cacheFile).absolutePath()));
    }

    // --- Settings pages ---------------------------------------------------------------------

    void settingsAddresses_data()
    {
        QTest::addColumn<QString>("target");
        QTest::addColumn<QString>("address"); // "-": none
        QTest::addColumn<QString>("section");

        QTest::newRow("fullDisk") << "fullDisk"
                                  << "x-apple.systempreferences:com.apple.preference.security?Privacy_AllFiles"
                                  << "full-disk-access";
        QTest::newRow("contacts") << "contacts"
                                  << "x-apple.systempreferences:com.apple.preference.security?Privacy_Contacts"
                                  << "contacts";
        QTest::newRow("automation") << "automation"
                                    << "x-apple.systempreferences:com.apple.preference.security?Privacy_Automation"
                                    << "automation";
        QTest::newRow("letter case differs") << "FullDisk" << "-" << "-";
        QTest::newRow("empty") << "" << "-" << "-";
    }

    void settingsAddresses()
    {
        QFETCH(QString, target);
        QFETCH(QString, address);
        QFETCH(QString, section);

        const auto settings = PermissionsService::systemSettingsUrl(target);
        const auto help = PermissionsService::helpUrl(target);
        QCOMPARE(settings.has_value(), address != QLatin1String("-"));
        QCOMPARE(help.has_value(), section != QLatin1String("-"));
        if (!settings)
            return;
        QCOMPARE(settings->toString(QUrl::FullyEncoded), address);
        QCOMPARE(help->fragment(), section);
        // The section the address points to is in the README.
        QFile readme(help->toLocalFile());
        QVERIFY2(readme.open(QIODevice::ReadOnly), qPrintable(help->toLocalFile()));
        const QString text = QString::fromUtf8(readme.readAll());
        const QString heading = section == QLatin1String("full-disk-access") ? QStringLiteral("### Full Disk Access")
                                : section == QLatin1String("contacts")       ? QStringLiteral("### Contacts")
                                                                             : QStringLiteral("### Automation");
        QVERIFY2(text.contains(QLatin1String("\n## Permissions\n")) && text.contains(QLatin1Char('\n') + heading + QLatin1Char('\n')),
                 qPrintable(heading));
    }

    void openSystemPreferences_data()
    {
        QTest::addColumn<QString>("target");
        QTest::addColumn<bool>("desktop");
        QTest::addColumn<QString>("opener"); // "exit N", "hang" or "absent"
        QTest::addColumn<int>("failure");    // -1: shown

        const int noDesktop = int(SettingsOpenError::Kind::noDesktop);
        QTest::newRow("shown") << "automation" << true << "exit 0" << -1;
        QTest::newRow("opener still running counts as shown") << "fullDisk" << true << "hang" << -1;
        QTest::newRow("opener fails") << "contacts" << true << "exit 3" << int(SettingsOpenError::Kind::openerFailed);
        QTest::newRow("no opener") << "fullDisk" << true << "absent" << int(SettingsOpenError::Kind::launchFailed);
        QTest::newRow("no desktop") << "fullDisk" << false << "exit 0" << noDesktop;
        QTest::newRow("unknown target") << "Automation" << true << "exit 0"
                                        << int(SettingsOpenError::Kind::unknownTarget);
    }

    void openSystemPreferences()
    {
        QFETCH(QString, target);
        QFETCH(bool, desktop);
        QFETCH(QString, opener);
        QFETCH(int, failure);

        QTemporaryDir bin;
        const QString record = QDir(bin.path()).filePath(QStringLiteral("opened"));
        if (opener != QLatin1String("absent")) {
            QByteArray body = "printf '%s' \"$1\" > '" + QFile::encodeName(record) + "'\n";
            body += opener == QLatin1String("hang") ? QByteArray("exec /bin/sleep 3") : opener.toUtf8();
            QVERIFY(!writeScript(QDir(bin.path()).filePath(QStringLiteral("xdg-open")), body).isEmpty());
        }
        // Only the test's own opener can be found.
        const ScopedEnv path("PATH", QFile::encodeName(bin.path()));
        const ScopedEnv display("DISPLAY", desktop ? QByteArray(":99") : QByteArray());
        const ScopedEnv wayland("WAYLAND_DISPLAY", QByteArray());

        if (failure >= 0 && failure != int(SettingsOpenError::Kind::unknownTarget))
            QTest::ignoreMessage(QtCriticalMsg, QRegularExpression(QStringLiteral("^(Could not open|No desktop session to show) ")));
        const auto opened = await(PermissionsService::openSystemPreferences(target, std::chrono::milliseconds(500)));
        QCOMPARE(opened ? -1 : int(opened.error().kind()), failure);
        if (!opened)
            QVERIFY(!opened.error().description().isEmpty());

        // What the opener was given: the README's section for the target.
        const auto help = PermissionsService::helpUrl(target);
        const bool ran = desktop && help && opener != QLatin1String("absent");
        if (opener == QLatin1String("hang"))
            QTRY_VERIFY(QFileInfo::exists(record));
        QCOMPARE(QFileInfo::exists(record), ran);
        if (ran) {
            QFile recorded(record);
            QVERIFY(recorded.open(QIODevice::ReadOnly));
            QCOMPARE(QString::fromUtf8(recorded.readAll()), help->toString(QUrl::FullyEncoded));
        }
        if (failure == int(SettingsOpenError::Kind::noDesktop))
            QVERIFY(opened.error().description().contains(QLatin1String("README.md#")));
    }
};

QTEST_GUILESS_MAIN(TestPermissions)
#include "tst_permissions.moc"
