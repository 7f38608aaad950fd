// The wizard state file: its record's JSON form, what decodes and what does not, and the file's
// mode and atomic replacement.
#include "configuration.h"
#include "persistedwizardstate.h"
#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTest>
#include <QTimeZone>

#include <sys/stat.h>

using namespace velto;

namespace {

int modeOf(const QString& path)
{
    struct stat st {};
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? int(st.st_mode & 07777) : -1;
}

PersistedWizardState fullState()
{
    PersistedWizardState state;
    state.token = QStringLiteral("velt_ABCDEFGHIJKL_secret");
    state.relayName = QStringLiteral("Front desk Mac");
    PermissionsAcknowledged acknowledged;
    acknowledged.fullDisk = true;
    acknowledged.contacts = true;
    acknowledged.override = true;
    acknowledged.overrideTimestamp = 736257600.5;
    acknowledged.overriddenPermissions = QStringList{QStringLiteral("fullDisk"), QStringLiteral("contacts")};
    acknowledged.lastCheckedStates = PersistedPermissionStates{QStringLiteral("denied"), QStringLiteral("unknown")};
    state.permissionsAcknowledged = acknowledged;
    state.manualAccounts = QList<ManualAccount>{
        {QUuid(QStringLiteral("8f0c5a86-3c1e-4d61-9d0e-2a8c4b1e7f10")), AccountType::phone, QStringLiteral("+14155550100")},
        {QUuid(QStringLiteral("0b7e1d2c-5a4f-4e3b-8c9d-1f2e3a4b5c6d")), AccountType::email, QStringLiteral("me@example.com")}};
    state.completedAt = QStringLiteral("2024-05-01T12:00:00Z");
    return state;
}

} // namespace

class TestWizardState : public QObject {
    Q_OBJECT
private:
    test::TemporaryHome m_home; // before any path is computed: paths are fixed at first use

private Q_SLOTS:
    void init() { QDir(Configuration::configDir()).removeRecursively(); }

    void encodesEveryKeyCompactly()
    {
        // Written out from the format: compact, every value in its JSON type, the timestamp a
        // plain number, UUIDs upper case.
        const QByteArray expected =
            R"({"completedAt":"2024-05-01T12:00:00Z","manualAccounts":[)"
            R"({"id":"8F0C5A86-3C1E-4D61-9D0E-2A8C4B1E7F10","type":"phone","value":"+14155550100"},)"
            R"({"id":"0B7E1D2C-5A4F-4E3B-8C9D-1F2E3A4B5C6D","type":"email","value":"me@example.com"}],)"
            R"("permissionsAcknowledged":{"contacts":true,"fullDisk":true,"lastCheckedStates":)"
            R"({"contacts":"unknown","fullDisk":"denied"},"overriddenPermissions":["fullDisk","contacts"],)"
            R"("override":true,"overrideTimestamp":736257600.5},"relayName":"Front desk Mac",)"
            R"("token":"velt_ABCDEFGHIJKL_secret"})";
        QCOMPARE(fullState().encode(), expected);
        QCOMPARE(PersistedWizardState::decode(expected), std::optional<PersistedWizardState>(fullState()));
    }

    void leavesOutKeysWithoutValue()
    {
        QCOMPARE(PersistedWizardState().encode(), QByteArray("{}"));
        PersistedWizardState state;
        state.permissionsAcknowledged = PermissionsAcknowledged{true, false, false, {}, {}, {}};
        QCOMPARE(state.encode(), QByteArray(R"({"permissionsAcknowledged":{"contacts":false,"fullDisk":true,"override":false}})"));
    }

    void decode_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<bool>("decodes");
        const auto row = [](const char* name, const char* json, bool decodes) {
            QTest::newRow(name) << QByteArray(json) << decodes;
        };
        row("empty object", "{}", true);
        row("unknown keys ignored", R"({"future":1,"relayName":"Mac"})", true);
        row("null counts as absent", R"({"relayName":null,"manualAccounts":null})", true);
        row("acknowledgements with the three Booleans", R"({"permissionsAcknowledged":{"fullDisk":true,"contacts":false,"override":false}})", true);
        row("acknowledgements without override", R"({"permissionsAcknowledged":{"fullDisk":true,"contacts":true}})", false);
        row("override as a number", R"({"permissionsAcknowledged":{"fullDisk":true,"contacts":true,"override":1}})", false);
        row("override timestamp as a string",
            R"({"permissionsAcknowledged":{"fullDisk":true,"contacts":true,"override":true,"overrideTimestamp":"2024-05-01T12:00:00Z"}})", false);
        row("overridden permissions holding a number",
            R"({"permissionsAcknowledged":{"fullDisk":true,"contacts":true,"override":true,"overriddenPermissions":["fullDisk",2]}})", false);
        row("last checked states without contacts",
            R"({"permissionsAcknowledged":{"fullDisk":true,"contacts":true,"override":false,"lastCheckedStates":{"fullDisk":"granted"}}})", false);
        row("relay name as a number", R"({"relayName":42})", false);
        row("completion time as a number", R"({"completedAt":736257600})", false);
        row("account with an unknown type",
            R"({"manualAccounts":[{"id":"8F0C5A86-3C1E-4D61-9D0E-2A8C4B1E7F10","type":"fax","value":"1"}]})", false);
        row("account without an id", R"({"manualAccounts":[{"type":"phone","value":"+1"}]})", false);
        row("accounts as an object", R"({"manualAccounts":{}})", false);
        row("array at the top", "[]", false);
        row("not JSON", "wizard done", false);
        row("empty file", "", false);
    }

    void decode()
    {
        QFETCH(QByteArray, json);
        QFETCH(bool, decodes);
        QCOMPARE(PersistedWizardState::decode(json).has_value(), decodes);
    }

    void emptyObjectIsCompletedSetupWithoutName()
    {
        QVERIFY(!PersistedWizardState::exists());
        QVERIFY(PersistedWizardState().save());
        QVERIFY(PersistedWizardState::exists());
        const auto loaded = PersistedWizardState::load();
        QVERIFY(loaded);
        QVERIFY(!loaded->relayName);
    }

    void undecodableFileStillExists()
    {
        QVERIFY(Configuration::ensureConfigDir());
        QFile file(Configuration::wizardStateFile());
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(R"({"permissionsAcknowledged":{"fullDisk":true,"contacts":true}})");
        file.close();
        QVERIFY(PersistedWizardState::exists());
        QVERIFY(!PersistedWizardState::load());
    }

    void savesPrivatelyAndReplacesWhole()
    {
        QVERIFY(!QFileInfo::exists(Configuration::configDir()));
        QVERIFY(PersistedWizardState().save());
        QCOMPARE(modeOf(Configuration::configDir()), 0700);

        // A much shorter record replaces a longer one without leftovers of the old bytes.
        QVERIFY(fullState().save());
        PersistedWizardState small;
        small.relayName = QStringLiteral("Mac");
        QVERIFY(small.save());
        QFile file(Configuration::wizardStateFile());
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), QByteArray(R"({"relayName":"Mac"})"));
        QCOMPARE(modeOf(Configuration::wizardStateFile()), 0600);
        QCOMPARE(QDir(Configuration::configDir()).entryList(QDir::Files | QDir::Hidden),
                 QStringList{QStringLiteral("wizard-state.json")});
    }

    void saveFailsWhenTheDirectoryCannotBeMade()
    {
        QFile blocker(Configuration::configDir());
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        const auto saved = fullState().save();
        QVERIFY(!saved);
        QVERIFY(!saved.error().isEmpty());
        QVERIFY(QFile::remove(Configuration::configDir()));
    }

    void timeForms()
    {
        const QDateTime noonUtc(QDate(2024, 5, 1), QTime(12, 0, 0, 789), QTimeZone::utc());
        QCOMPARE(PersistedWizardState::timestamp(noonUtc), QStringLiteral("2024-05-01T12:00:00Z"));
        // The same moment given in another zone gives the same UTC text.
        QCOMPARE(PersistedWizardState::timestamp(noonUtc.toTimeZone(QTimeZone(QByteArrayLiteral("Asia/Tokyo")))),
                 QStringLiteral("2024-05-01T12:00:00Z"));
        const QDateTime reference(QDate(2001, 1, 1), QTime(0, 0, 10, 500), QTimeZone::utc());
        QCOMPARE(PersistedWizardState::secondsSinceReferenceDate(reference), 10.5);
        QCOMPARE(PersistedWizardState::secondsSinceReferenceDate(QDateTime::fromSecsSinceEpoch(0, QTimeZone::utc())),
                 -978307200.0);
    }
};

QTEST_GUILESS_MAIN(TestWizardState)
#include "tst_wizardstate.moc"
