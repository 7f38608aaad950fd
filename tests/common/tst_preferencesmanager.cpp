#include "configuration.h"
#include "preferencesmanager.h"
#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTest>

using namespace velto;
using Preferences = PreferencesManager::Preferences;

namespace {

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeFile(const QString& path, const QByteArray& data)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(data) == data.size();
}

} // namespace

class TestPreferencesManager : public QObject {
    Q_OBJECT

private:
    test::TemporaryHome m_home;
    int m_files = 0;

    // A fresh folder standing in for the configuration directory.
    QString freshDir()
    {
        const QString dir = QDir(m_home.path()).filePath(QStringLiteral("config-%1").arg(++m_files));
        QDir().mkpath(dir);
        return dir;
    }

private Q_SLOTS:
    void defaultFileIsInConfigDir()
    {
        PreferencesManager manager;
        QCOMPARE(manager.fileURL(), Configuration::configDir() + QStringLiteral("/preferences.json"));
        QCOMPARE(manager.fileURL(), Configuration::preferencesFile());
        // Nothing on disk yet: the defaults.
        QCOMPARE(manager.current(), (Preferences{false, false}));
    }

    void load_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<bool>("batch");
        QTest::addColumn<bool>("launch");
        QTest::newRow("both true") << QByteArray(R"({"batchSyncEnabled":true,"launchAtLogin":true})") << true << true;
        QTest::newRow("mixed, spaced, any order")
            << QByteArray("{ \"launchAtLogin\" : true,\n \"batchSyncEnabled\": false }") << false << true;
        QTest::newRow("unknown keys ignored")
            << QByteArray(R"({"batchSyncEnabled":true,"launchAtLogin":false,"theme":"dark"})") << true << false;
        // Strict decoding: one bad member makes the whole file unreadable.
        QTest::newRow("only one key") << QByteArray(R"({"batchSyncEnabled":true})") << false << false;
        QTest::newRow("string instead of bool")
            << QByteArray(R"({"batchSyncEnabled":"true","launchAtLogin":true})") << false << false;
        QTest::newRow("number instead of bool")
            << QByteArray(R"({"batchSyncEnabled":1,"launchAtLogin":true})") << false << false;
        QTest::newRow("null member") << QByteArray(R"({"batchSyncEnabled":true,"launchAtLogin":null})") << false << false;
        QTest::newRow("array") << QByteArray(R"([true,true])") << false << false;
        QTest::newRow("not JSON") << QByteArray("batchSyncEnabled=true") << false << false;
        QTest::newRow("truncated") << QByteArray(R"({"batchSyncEnabled":true,"launchAtLogin":tr)") << false << false;
        QTest::newRow("empty file") << QByteArray() << false << false;
    }

    void load()
    {
        QFETCH(QByteArray, content);
        QFETCH(bool, batch);
        QFETCH(bool, launch);
        const QString path = QDir(freshDir()).filePath(QStringLiteral("preferences.json"));
        QVERIFY(writeFile(path, content));

        PreferencesManager manager(path);
        QCOMPARE(manager.batchSyncEnabled(), batch);
        QCOMPARE(manager.launchAtLogin(), launch);
        QCOMPARE(manager.property("batchSyncEnabled").toBool(), batch);
        // Loading never rewrites the file, readable or not.
        QCOMPARE(readAll(path), content);
    }

    void settersNotifyAndPersist()
    {
        const QString dir = freshDir();
        const QString path = QDir(dir).filePath(QStringLiteral("preferences.json"));
        PreferencesManager manager(path);
        QSignalSpy batchSpy(&manager, &PreferencesManager::batchSyncEnabledChanged);
        QSignalSpy launchSpy(&manager, &PreferencesManager::launchAtLoginChanged);
        QSignalSpy currentSpy(&manager, &PreferencesManager::currentChanged);

        manager.setBatchSyncEnabled(true);
        QCOMPARE(batchSpy.count(), 1);
        QCOMPARE(batchSpy.at(0).at(0).toBool(), true);
        QCOMPARE(launchSpy.count(), 0);
        QCOMPARE(currentSpy.count(), 1);
        // Compact, both keys, Booleans.
        const QByteArray written = readAll(path);
        QVERIFY2(!written.contains(' ') && !written.contains('\n'), written.constData());
        const QJsonObject object = QJsonDocument::fromJson(written).object();
        QCOMPARE(object.size(), 2);
        QCOMPARE(object.value(QStringLiteral("batchSyncEnabled")), QJsonValue(true));
        QCOMPARE(object.value(QStringLiteral("launchAtLogin")), QJsonValue(false));

        // Through the property system, as a screen would.
        QVERIFY(manager.setProperty("launchAtLogin", true));
        QCOMPARE(launchSpy.count(), 1);
        QCOMPARE(currentSpy.count(), 2);

        // The same value again notifies nobody.
        manager.setBatchSyncEnabled(true);
        QCOMPARE(batchSpy.count(), 1);
        QCOMPARE(currentSpy.count(), 2);

        // Written whole and renamed into place: no temporary file is left behind.
        QCOMPARE(QDir(dir).entryList(QDir::Files), QStringList{QStringLiteral("preferences.json")});

        // A new manager (the next launch) reads what was written.
        PreferencesManager next(path);
        QCOMPARE(next.current(), (Preferences{true, true}));
        next.setBatchSyncEnabled(false);
        QCOMPARE(PreferencesManager(path).current(), (Preferences{false, true}));
    }

    void writeFailureKeepsValueInMemory()
    {
        // The configuration directory does not exist yet: nothing is written and nothing created.
        const QString dir = QDir(m_home.path()).filePath(QStringLiteral("not-yet-set-up"));
        const QString path = QDir(dir).filePath(QStringLiteral("preferences.json"));
        PreferencesManager manager(path);
        QSignalSpy spy(&manager, &PreferencesManager::batchSyncEnabledChanged);
        manager.setBatchSyncEnabled(true);
        QCOMPARE(spy.count(), 1);
        QCOMPARE(manager.batchSyncEnabled(), true);
        QVERIFY(!QFileInfo::exists(dir));
    }

    void unreadableFileIsReplacedOnlyByASetter()
    {
        const QString path = QDir(freshDir()).filePath(QStringLiteral("preferences.json"));
        const QByteArray partial(R"({"batchSyncEnabled":true})");
        QVERIFY(writeFile(path, partial));
        PreferencesManager manager(path);
        QCOMPARE(manager.current(), (Preferences{false, false}));
        manager.setLaunchAtLogin(true);
        // The defaults, not the unreadable file's half, are what the setter writes back.
        QCOMPARE(Preferences::fromJson(readAll(path)), std::optional<Preferences>(Preferences{false, true}));
    }
};

QTEST_GUILESS_MAIN(TestPreferencesManager)
#include "tst_preferencesmanager.moc"
