#include "configuration.h"
#include "relaycredentials.h"
#include "testsupport.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

#include <sys/stat.h>

using namespace velto;

class TestConfiguration : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase()
    {
        // Paths are fixed at first use, so one home serves the whole run.
        QVERIFY(m_home.isValid());
        QCOMPARE(Configuration::configDir(), m_home.path() + QStringLiteral("/.imessage-relay"));
    }

    void httpBase_data()
    {
        QTest::addColumn<QString>("ws");
        QTest::addColumn<QString>("http");
        QTest::newRow("wss with /relay") << "wss://api.example.com/relay" << "https://api.example.com";
        QTest::newRow("ws with port") << "ws://127.0.0.1:8080/relay" << "http://127.0.0.1:8080";
        QTest::newRow("no /relay keeps path") << "wss://api.example.com/socket" << "https://api.example.com/socket";
        QTest::newRow("host starting with relay kept") << "wss://relayhost.example.com/relay" << "https://relayhost.example.com";
        QTest::newRow("every /relay removed") << "ws://h/relay/x/relay" << "http://h/x";
    }
    void httpBase()
    {
        QFETCH(QString, ws);
        QFETCH(QString, http);
        QCOMPARE(Configuration::httpBaseUrl(ws), http);
    }

    void dashboard_data()
    {
        QTest::addColumn<QString>("ws");
        QTest::addColumn<QString>("dashboard");
        QTest::newRow("api. dropped") << "wss://api.velto.example/relay" << "https://velto.example";
        QTest::newRow("other host kept") << "wss://app.velto.example/relay" << "https://app.velto.example";
        QTest::newRow("port kept") << "ws://api.local:9000/relay" << "http://local:9000";
        QTest::newRow("no host: step one result") << "relay-not-a-url" << "relay-not-a-url";
    }
    void dashboard()
    {
        QFETCH(QString, ws);
        QFETCH(QString, dashboard);
        QCOMPARE(Configuration::dashboardUrlFor(ws), dashboard);
    }

    void apiServerUrl_data()
    {
        QTest::addColumn<QVariant>("info");
        QTest::addColumn<QString>("expected");
        QTest::newRow("absent") << QVariant() << Configuration::defaultApiServerUrl();
        QTest::newRow("empty") << QVariant(QString()) << Configuration::defaultApiServerUrl();
        QTest::newRow("not a string") << QVariant(42) << Configuration::defaultApiServerUrl();
        QTest::newRow("set") << QVariant(QStringLiteral("ws://h:1/relay")) << QStringLiteral("ws://h:1/relay");
    }
    void apiServerUrl()
    {
        QFETCH(QVariant, info);
        QFETCH(QString, expected);
        QCOMPARE(Configuration::resolveApiServerUrl(info), expected);
        QVERIFY(Configuration::defaultApiServerUrl().startsWith(QLatin1String("wss://")));
        QVERIFY(Configuration::defaultApiServerUrl().endsWith(QLatin1String("/relay")));
    }

    void autoStartSwitch_data()
    {
        QTest::addColumn<QByteArray>("value");
        QTest::addColumn<bool>("set");
        QTest::addColumn<bool>("disabled");
        QTest::newRow("true") << QByteArray("true") << true << true;
        QTest::newRow("TRUE") << QByteArray("TRUE") << true << false;
        QTest::newRow("1") << QByteArray("1") << true << false;
        QTest::newRow("trailing blank") << QByteArray("true ") << true << false;
        QTest::newRow("unset") << QByteArray() << false << false;
    }
    void autoStartSwitch()
    {
        QFETCH(QByteArray, value);
        QFETCH(bool, set);
        QFETCH(bool, disabled);
        if (set)
            qputenv("DISABLE_AUTO_START", value);
        else
            qunsetenv("DISABLE_AUTO_START");
        QCOMPARE(Configuration::isAutoStartDisabled(), disabled);
        qunsetenv("DISABLE_AUTO_START");
    }

    void credentialsDecoding_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<bool>("readable");
        const QByteArray required = R"("relayId":"r","tenantId":"t","apiKey":"k")";
        QTest::newRow("required only") << "{" + required + "}" << true;
        QTest::newRow("all six") << "{" + required + R"(,"tenantName":"n","backendUrl":"ws://h/relay","registeredAt":1700000000000})" << true;
        QTest::newRow("extra keys ignored") << "{" + required + R"(,"other":[1,2]})" << true;
        QTest::newRow("null optional") << "{" + required + R"(,"tenantName":null})" << true;
        QTest::newRow("no apiKey") << QByteArray(R"({"relayId":"r","tenantId":"t"})") << false;
        QTest::newRow("no relayId") << QByteArray(R"({"tenantId":"t","apiKey":"k"})") << false;
        QTest::newRow("numeric tenantId") << QByteArray(R"({"relayId":"r","tenantId":5,"apiKey":"k"})") << false;
        QTest::newRow("string registeredAt") << "{" + required + R"(,"registeredAt":"now"})" << false;
        QTest::newRow("fractional registeredAt") << "{" + required + R"(,"registeredAt":1.5})" << false;
        QTest::newRow("not json") << QByteArray("relayId=r") << false;
        QTest::newRow("array") << QByteArray("[]") << false;
    }
    void credentialsDecoding()
    {
        QFETCH(QByteArray, json);
        QFETCH(bool, readable);
        QCOMPARE(RelayCredentials::decode(json).has_value(), readable);
    }

    void credentialsFile()
    {
        QVERIFY(!RelayCredentials::load()); // nothing stored yet

        RelayCredentials c;
        c.relayId = QStringLiteral("relay-1");
        c.tenantId = QStringLiteral("tenant-1");
        c.apiKey = QStringLiteral("key/with+chars");
        c.tenantName = QStringLiteral("Acme");
        c.backendUrl = QStringLiteral("ws://127.0.0.1:1/relay");
        c.registeredAt = 1700000000123ULL;
        const auto saved = c.save();
        QVERIFY2(saved.ok(), qPrintable(saved.ok() ? QString() : saved.error()));

        struct stat st {};
        QCOMPARE(::stat(QFile::encodeName(Configuration::relayAuthFile()).constData(), &st), 0);
        QCOMPARE(int(st.st_mode & 0777), 0600);
        QCOMPARE(::stat(QFile::encodeName(Configuration::configDir()).constData(), &st), 0);
        QCOMPARE(int(st.st_mode & 0777), 0700);

        QFile file(Configuration::relayAuthFile());
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray bytes = file.readAll();
        const QStringList keyOrder = [&] {
            QStringList keys;
            for (const QByteArray& line : bytes.split('\n'))
                if (const int q = line.indexOf('"'); q >= 0)
                    keys << QString::fromUtf8(line.mid(q + 1, line.indexOf('"', q + 1) - q - 1));
            return keys;
        }();
        QCOMPARE(keyOrder, (QStringList{QStringLiteral("apiKey"), QStringLiteral("backendUrl"), QStringLiteral("registeredAt"),
                                        QStringLiteral("relayId"), QStringLiteral("tenantId"), QStringLiteral("tenantName")}));

        const auto loaded = RelayCredentials::load();
        QVERIFY(loaded);
        QCOMPARE(*loaded, c);

        // Without a tenant name the key is left out.
        c.tenantName.reset();
        QVERIFY(c.save().ok());
        QVERIFY(!QJsonDocument::fromJson(c.encode()).object().contains(QLatin1String("tenantName")));
        QCOMPARE(*RelayCredentials::load(), c);
        // No temporary files are left behind by the replacing writes.
        QCOMPARE(QDir(Configuration::configDir()).entryList(QDir::Files), QStringList{QStringLiteral("relay-auth.json")});
    }

private:
    test::TemporaryHome m_home;
};

QTEST_GUILESS_MAIN(TestConfiguration)
#include "tst_configuration.moc"
