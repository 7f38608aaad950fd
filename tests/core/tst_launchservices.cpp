// Launch at login (the autostart entry, its states, and how the service keeps the preference and
// the system in step) and updates (the updater service against an appcast served on loopback).

#include <autolaunchservice.h>
#include <preferencesmanager.h>
#include <testsupport.h>
#include <updaterservice.h>

#include <QDir>
#include <QFile>
#include <QHttpServer>
#include <QHttpServerResponse>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTest>

#include <memory>

using namespace velto;

namespace {

bool writeFile(const QString& path, const QByteArray& data)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(data) == data.size();
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// A home with a configuration directory and a program to start at login.
class LaunchHome {
public:
    explicit LaunchHome(const QString& programName = QStringLiteral("velto"))
    {
        QDir().mkpath(configDir());
        program = QDir(home.path()).filePath(QStringLiteral("apps/") + programName);
        writeFile(program, "#!/bin/sh\n");
        QFile::setPermissions(program, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }

    QString configDir() const { return QDir(home.path()).filePath(QStringLiteral(".imessage-relay")); }
    QString preferencesFile() const { return QDir(configDir()).filePath(QStringLiteral("preferences.json")); }
    LoginItem loginItem() const { return LoginItem(home.path(), program); }
    QString entryPath() const { return loginItem().entryPath(); }

    void setPreference(bool launchAtLogin) const
    {
        writeFile(preferencesFile(), launchAtLogin ? R"({"batchSyncEnabled":false,"launchAtLogin":true})"
                                                   : R"({"batchSyncEnabled":false,"launchAtLogin":false})");
    }
    std::optional<bool> storedPreference() const
    {
        const auto stored = PreferencesManager::Preferences::fromJson(readFile(preferencesFile()));
        return stored ? std::optional<bool>(stored->launchAtLogin) : std::nullopt;
    }

    // The entry as the session would find it: "none", "ours", "switched off", "hidden", "stale".
    void setEntry(const QString& kind) const
    {
        if (kind == QLatin1String("none"))
            return;
        if (kind == QLatin1String("ours")) {
            loginItem().registerItem();
            return;
        }
        QByteArray text = "[Desktop Entry]\nType=Application\nName=Velto\nExec=" + QFile::encodeName(program) + "\n";
        if (kind == QLatin1String("switched off"))
            text += "X-GNOME-Autostart-enabled=false\n";
        else if (kind == QLatin1String("hidden"))
            text += "Hidden=true\n";
        else if (kind == QLatin1String("stale"))
            text.replace(QFile::encodeName(program), "/nonexistent/velto");
        writeFile(entryPath(), text);
    }

    test::TemporaryHome home;
    QString program;
};

const char* const feedPath = "/appcast.xml";

QByteArray appcast(const QList<QByteArray>& items)
{
    QByteArray feed = R"(<?xml version="1.0" encoding="utf-8"?>
<rss version="2.0" xmlns:velto="https://velto.invalid/xmlns/appcast"><channel><title>Velto</title>)";
    for (const QByteArray& item : items)
        feed += item;
    return feed + "</channel></rss>\n";
}

QByteArray item(const QByteArray& version, const QByteArray& file)
{
    QByteArray text = "<item><title>Velto " + version + "</title><link>notes/" + version + ".html</link>"
                      + "<velto:version>" + version + "</velto:version>";
    if (!file.isEmpty())
        text += R"(<enclosure url=")" + file + R"(" length="1024" type="application/gzip"/>)";
    return text + "</item>";
}

} // namespace

Q_DECLARE_METATYPE(velto::LoginItemStatus)

class TestLaunchServices : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // --- The login item ---------------------------------------------------------------------

    void entryContent()
    {
        // A path that needs the Exec line's quoting, escapes and doubled percent sign.
        const LaunchHome home(QStringLiteral("My Apps/velto 100%$`x\\"));
        const LoginItem item = home.loginItem();
        QCOMPARE(item.entryPath(), QDir(home.home.path()).filePath(QStringLiteral(".config/autostart/velto.desktop")));
        QCOMPARE(item.status(), LoginItemStatus::notRegistered);

        QVERIFY(item.registerItem().ok());
        const QByteArray expected = "[Desktop Entry]\n"
                                    "Type=Application\n"
                                    "Name=Velto\n"
                                    "Comment=Starts the Velto relay at login\n"
                                    "Exec=\""
                                    + QFile::encodeName(home.home.path())
                                    + "/apps/My Apps/velto 100%%\\\\$\\\\`x\\\\\\\\\"\n"
                                      "Terminal=false\n"
                                      "X-GNOME-Autostart-enabled=true\n";
        QCOMPARE(readFile(item.entryPath()), expected);
        QCOMPARE(LoginItem::programOfExecLine(QString::fromUtf8(expected.split('\n').at(4).mid(5))), home.program);
        QCOMPARE(item.status(), LoginItemStatus::enabled);
        QCOMPARE(QFileInfo(item.entryPath()).permissions() & (QFile::WriteGroup | QFile::WriteOther), QFile::Permissions());

        QVERIFY(item.unregisterItem().ok());
        QVERIFY(!QFileInfo::exists(item.entryPath()));
        QCOMPARE(item.status(), LoginItemStatus::notRegistered);
        // Nothing to remove is not a failure.
        QVERIFY(item.unregisterItem().ok());
    }

    void entryStatus_data()
    {
        QTest::addColumn<QString>("entry");
        QTest::addColumn<LoginItemStatus>("status");

        QTest::newRow("no entry") << "none" << LoginItemStatus::notRegistered;
        QTest::newRow("ours") << "ours" << LoginItemStatus::enabled;
        QTest::newRow("plain Exec line") << "plain" << LoginItemStatus::enabled;
        QTest::newRow("switched off in the session settings") << "switched off" << LoginItemStatus::requiresApproval;
        QTest::newRow("hidden: deleted the autostart way") << "hidden" << LoginItemStatus::notRegistered;
        QTest::newRow("program gone") << "stale" << LoginItemStatus::notFound;
    }

    void entryStatus()
    {
        QFETCH(QString, entry);
        QFETCH(LoginItemStatus, status);
        const LaunchHome home;
        home.setEntry(entry);
        QCOMPARE(home.loginItem().status(), status);
    }

    void unreadableEntryIsNotFound()
    {
        const LaunchHome home;
        QVERIFY(writeFile(home.entryPath(), "no group here\n"));
        QCOMPARE(home.loginItem().status(), LoginItemStatus::notFound);
        QVERIFY(QFile::remove(home.entryPath()));
        QVERIFY(QDir().mkpath(home.entryPath()));
        QCOMPARE(home.loginItem().status(), LoginItemStatus::notFound);
    }

    // --- AutoLaunchService ------------------------------------------------------------------

    void initialize_data()
    {
        QTest::addColumn<bool>("preference");
        QTest::addColumn<QString>("entry");
        QTest::addColumn<bool>("reapplies");
        QTest::addColumn<LoginItemStatus>("after");

        QTest::newRow("wanted, requires approval") << true << "switched off" << true << LoginItemStatus::enabled;
        QTest::newRow("wanted, lost") << true << "none" << true << LoginItemStatus::enabled;
        QTest::newRow("wanted, program moved") << true << "stale" << true << LoginItemStatus::enabled;
        QTest::newRow("wanted, in place") << true << "plain" << false << LoginItemStatus::enabled;
        // A stray registration is never removed.
        QTest::newRow("not wanted, registered") << false << "plain" << false << LoginItemStatus::enabled;
        QTest::newRow("not wanted, absent") << false << "none" << false << LoginItemStatus::notRegistered;
    }

    void initialize()
    {
        QFETCH(bool, preference);
        QFETCH(QString, entry);
        QFETCH(bool, reapplies);
        QFETCH(LoginItemStatus, after);

        const LaunchHome home;
        home.setPreference(preference);
        home.setEntry(entry);
        const QByteArray before = readFile(home.entryPath());
        PreferencesManager preferences(home.preferencesFile());
        AutoLaunchService service(preferences, home.loginItem());
        if (reapplies)
            QTest::ignoreMessage(QtInfoMsg, "Reapplying launch-at-login preference");
        service.initialize();
        QCOMPARE(home.loginItem().status(), after);
        if (!reapplies)
            QCOMPARE(readFile(home.entryPath()), before); // left exactly as it was
        QCOMPARE(home.storedPreference(), std::optional<bool>(preference));
    }

    void initializeIgnoresRefusal()
    {
        const LaunchHome home;
        home.setPreference(true);
        // A file where the autostart folder should be: the entry cannot be written.
        QVERIFY(writeFile(QDir(home.home.path()).filePath(QStringLiteral(".config/autostart")), "in the way"));
        PreferencesManager preferences(home.preferencesFile());
        AutoLaunchService service(preferences, home.loginItem());
        QTest::ignoreMessage(QtInfoMsg, "Reapplying launch-at-login preference");
        service.initialize();
        QCOMPARE(home.loginItem().status(), LoginItemStatus::notRegistered);
        QCOMPARE(home.storedPreference(), std::optional<bool>(true));
        QTest::ignoreMessage(QtCriticalMsg, "Launch-at-login drift: prefs=true, system=false");
        QVERIFY(!service.getLaunchAtLogin());
    }

    void getLaunchAtLogin_data()
    {
        QTest::addColumn<bool>("preference");
        QTest::addColumn<QString>("entry");
        QTest::addColumn<bool>("system");
        QTest::addColumn<QString>("drift"); // empty: none logged

        QTest::newRow("both on") << true << "ours" << true << "";
        QTest::newRow("both off") << false << "none" << false << "";
        QTest::newRow("stray registration") << false << "ours" << true << "Launch-at-login drift: prefs=false, system=true";
        QTest::newRow("requires approval counts as off")
            << true << "switched off" << false << "Launch-at-login drift: prefs=true, system=false";
        QTest::newRow("not found counts as off") << true << "stale" << false
                                                 << "Launch-at-login drift: prefs=true, system=false";
    }

    void getLaunchAtLogin()
    {
        QFETCH(bool, preference);
        QFETCH(QString, entry);
        QFETCH(bool, system);
        QFETCH(QString, drift);

        const LaunchHome home;
        home.setPreference(preference);
        home.setEntry(entry);
        PreferencesManager preferences(home.preferencesFile());
        AutoLaunchService service(preferences, home.loginItem());
        if (!drift.isEmpty())
            QTest::ignoreMessage(QtCriticalMsg, qPrintable(drift));
        QCOMPARE(service.getLaunchAtLogin(), system);
        // The preference is not corrected.
        QCOMPARE(preferences.launchAtLogin(), preference);
        QCOMPARE(home.storedPreference(), std::optional<bool>(preference));
    }

    void setLaunchAtLogin()
    {
        const LaunchHome home;
        PreferencesManager preferences(home.preferencesFile());
        AutoLaunchService service(preferences, home.loginItem());
        QSignalSpy changes(&preferences, &PreferencesManager::launchAtLoginChanged);

        QTest::ignoreMessage(QtInfoMsg, "Launch at login enabled");
        QVERIFY(service.setLaunchAtLogin(true).ok());
        QCOMPARE(home.loginItem().status(), LoginItemStatus::enabled);
        QCOMPARE(home.storedPreference(), std::optional<bool>(true));
        QVERIFY(service.getLaunchAtLogin());

        QTest::ignoreMessage(QtInfoMsg, "Launch at login disabled");
        QVERIFY(service.setLaunchAtLogin(false).ok());
        QVERIFY(!QFileInfo::exists(home.entryPath()));
        QCOMPARE(home.storedPreference(), std::optional<bool>(false));
        QCOMPARE(changes.size(), 2);
    }

    void setLaunchAtLoginRefused_data()
    {
        QTest::addColumn<bool>("enable");
        QTest::addColumn<int>("errorKind");

        QTest::newRow("register refused") << true << int(LoginItemError::Kind::cannotWrite);
        QTest::newRow("unregister refused") << false << int(LoginItemError::Kind::cannotRemove);
    }

    void setLaunchAtLoginRefused()
    {
        QFETCH(bool, enable);
        QFETCH(int, errorKind);

        const LaunchHome home;
        home.setPreference(!enable);
        if (enable) // a file where the autostart folder should be
            QVERIFY(writeFile(QDir(home.home.path()).filePath(QStringLiteral(".config/autostart")), "in the way"));
        else // a folder holding something where the entry should be: it cannot be removed
            QVERIFY(writeFile(home.entryPath() + QStringLiteral("/inside"), "x"));
        const QByteArray storedBefore = readFile(home.preferencesFile());
        PreferencesManager preferences(home.preferencesFile());
        AutoLaunchService service(preferences, home.loginItem());

        const auto changed = service.setLaunchAtLogin(enable);
        QVERIFY(!changed.ok());
        QCOMPARE(int(changed.error().kind()), errorKind);
        QVERIFY(changed.error().description().startsWith(QLatin1String("Could not ")));
        QCOMPARE(preferences.launchAtLogin(), !enable);
        QCOMPARE(readFile(home.preferencesFile()), storedBefore);
    }

    // --- UpdaterService ---------------------------------------------------------------------

    void noFeedMeansNoChecks_data()
    {
        QTest::addColumn<QString>("feed");
        QTest::newRow("none") << "";
        QTest::newRow("not http") << "file:///etc/velto/appcast.xml";
        QTest::newRow("no host") << "https:///appcast.xml";
    }

    void noFeedMeansNoChecks()
    {
        QFETCH(QString, feed);
        UpdaterService service(std::make_unique<Updater>(QUrl(feed), QStringLiteral("1.0.0")));
        QSignalSpy finished(&service, &UpdaterService::checkFinished);
        QVERIFY(service.updaterController().isStarted());
        QVERIFY(!service.canCheckForUpdates());
        QVERIFY(!service.checkForUpdates());
        QTest::qWait(50);
        QCOMPARE(finished.size(), 0);
    }

    void sharedInstance()
    {
        UpdaterService& shared = UpdaterService::shared();
        QCOMPARE(&UpdaterService::shared(), &shared);
        QCOMPARE(shared.updaterController().feedUrl(), Updater::defaultFeedUrl());
        QCOMPARE(shared.canCheckForUpdates(), shared.updaterController().hasUsableFeed());
    }

    void check_data()
    {
        QTest::addColumn<int>("httpStatus");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<int>("outcome");
        QTest::addColumn<QString>("latest");
        QTest::addColumn<QString>("download"); // relative to the server; "" for none
        QTest::addColumn<QString>("error");    // start of the error text

        const int upToDate = int(UpdateCheckResult::Outcome::upToDate);
        const int available = int(UpdateCheckResult::Outcome::updateAvailable);
        const int failed = int(UpdateCheckResult::Outcome::failed);

        // Versions compare as numbers: 1.10.0 is newer than 1.9.0 and 1.2.0.
        QTest::newRow("newer release")
            << 200
            << appcast({item("1.9.0", "files/velto-1.9.0.tar.gz"), item("1.10.0", "files/velto-1.10.0.tar.gz"),
                        item("0.9.0", "files/velto-0.9.0.tar.gz")})
            << available << "1.10.0" << "/files/velto-1.10.0.tar.gz" << "";
        QTest::newRow("absolute file address")
            << 200 << appcast({item("2.0", "https://downloads.velto.invalid/velto-2.0.tar.gz")}) << available << "2.0"
            << "https://downloads.velto.invalid/velto-2.0.tar.gz" << "";
        QTest::newRow("same version") << 200 << appcast({item("1.2.0", "files/velto-1.2.0.tar.gz")}) << upToDate
                                      << "1.2.0" << "" << "";
        QTest::newRow("older only") << 200 << appcast({item("1.1.9", "files/a.tar.gz")}) << upToDate << "1.1.9" << ""
                                    << "";
        QTest::newRow("newer item without a file is no release")
            << 200 << appcast({item("1.0.0", "files/a.tar.gz"), item("3.0.0", "")}) << upToDate << "1.0.0" << "" << "";
        QTest::newRow("empty channel") << 200 << appcast({}) << upToDate << "" << "" << "";
        QTest::newRow("not found") << 404 << QByteArray("nope") << failed << "" << ""
                                   << "The update feed answered HTTP 404";
        QTest::newRow("not XML") << 200 << QByteArray("<rss><channel>") << failed << "" << ""
                                 << "The update feed is not valid XML";
        QTest::newRow("not an appcast") << 200 << QByteArray("<html><body>hi</body></html>") << failed << "" << ""
                                        << "The update feed is not an appcast";
    }

    void check()
    {
        QFETCH(int, httpStatus);
        QFETCH(QByteArray, body);
        QFETCH(int, outcome);
        QFETCH(QString, latest);
        QFETCH(QString, download);
        QFETCH(QString, error);

        QHttpServer server;
        int requests = 0;
        server.route(QString::fromLatin1(feedPath), [&](const QHttpServerRequest&) {
            ++requests;
            return QHttpServerResponse(QByteArrayLiteral("application/rss+xml"), body,
                                       QHttpServerResponse::StatusCode(httpStatus));
        });
        const quint16 port = server.listen(QHostAddress::LocalHost);
        QVERIFY(port != 0);
        const QUrl feed(QStringLiteral("http://127.0.0.1:%1%2").arg(port).arg(QLatin1String(feedPath)));

        UpdaterService service(std::make_unique<Updater>(feed, QStringLiteral("1.2.0")));
        QVERIFY(service.canCheckForUpdates());
        QSignalSpy canCheck(&service, &UpdaterService::canCheckForUpdatesChanged);
        QSignalSpy finished(&service, &UpdaterService::checkFinished);

        QVERIFY(service.checkForUpdates());
        // One check at a time.
        QVERIFY(!service.canCheckForUpdates());
        QVERIFY(!service.checkForUpdates());
        QTRY_COMPARE(finished.size(), 1);
        QCOMPARE(requests, 1);
        QVERIFY(service.canCheckForUpdates());
        QCOMPARE(canCheck.size(), 2);
        QCOMPARE(canCheck.at(0).at(0).toBool(), false);
        QCOMPARE(canCheck.at(1).at(0).toBool(), true);

        const auto result = finished.at(0).at(0).value<UpdateCheckResult>();
        QCOMPARE(int(result.outcome), outcome);
        QCOMPARE(result.latestVersion, latest);
        const QUrl expectedDownload = download.startsWith(QLatin1Char('/')) ? feed.resolved(QUrl(download)) : QUrl(download);
        QCOMPARE(result.downloadUrl, expectedDownload);
        if (outcome == int(UpdateCheckResult::Outcome::updateAvailable))
            QCOMPARE(result.releaseNotesUrl, feed.resolved(QUrl(QStringLiteral("notes/") + latest + QStringLiteral(".html"))));
        QCOMPARE(result.error.isEmpty(), error.isEmpty());
        QVERIFY2(error.isEmpty() || result.error.startsWith(error), qPrintable(result.error));
    }

    void unreachableFeed()
    {
        // A port nobody listens on any more.
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost));
        const quint16 port = probe.serverPort();
        probe.close();

        UpdaterService service(std::make_unique<Updater>(QUrl(QStringLiteral("http://127.0.0.1:%1/appcast.xml").arg(port)),
                                                         QStringLiteral("1.0.0")));
        QSignalSpy finished(&service, &UpdaterService::checkFinished);
        QVERIFY(service.checkForUpdates());
        QTRY_COMPARE(finished.size(), 1);
        const auto result = finished.at(0).at(0).value<UpdateCheckResult>();
        QCOMPARE(result.outcome, UpdateCheckResult::Outcome::failed);
        QVERIFY2(result.error.startsWith(QLatin1String("Could not reach the update feed: ")), qPrintable(result.error));
        QVERIFY(service.canCheckForUpdates());
    }

    void automaticChecks()
    {
        QHttpServer server;
        int requests = 0;
        server.route(QString::fromLatin1(feedPath), [&](const QHttpServerRequest&) {
            ++requests;
            return QHttpServerResponse(QByteArrayLiteral("application/rss+xml"), appcast({}));
        });
        const quint16 port = server.listen(QHostAddress::LocalHost);
        QVERIFY(port != 0);
        const QUrl feed(QStringLiteral("http://127.0.0.1:%1%2").arg(port).arg(QLatin1String(feedPath)));

        UpdaterService service(std::make_unique<Updater>(feed, QStringLiteral("1.0.0")), std::chrono::milliseconds(100));
        QSignalSpy finished(&service, &UpdaterService::checkFinished);
        QCOMPARE(requests, 0); // nothing at start-up itself
        QTRY_VERIFY(finished.size() >= 2);
        QVERIFY(requests >= 2);
    }
};

QTEST_GUILESS_MAIN(TestLaunchServices)
#include "tst_launchservices.moc"
