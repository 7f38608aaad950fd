#include "envelope.h"
#include "jsonreader.h"
#include "sessionmessages.h"
#include "systemhealth.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QTest>

#include <limits>

using namespace velto;

namespace {
QJsonObject parse(const char* json)
{
    return QJsonDocument::fromJson(QByteArray(json)).object();
}
} // namespace

class TestSessionMessages : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void envelopeType_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("type"); // empty: undecodable
        QTest::newRow("plain") << QByteArray(R"({"type":"PING"})") << "PING";
        QTest::newRow("extra members") << QByteArray(R"({"type":"X","a":[1]})") << "X";
        QTest::newRow("no type") << QByteArray(R"({"kind":"PING"})") << "";
        QTest::newRow("numeric type") << QByteArray(R"({"type":5})") << "";
        QTest::newRow("not json") << QByteArray("PING") << "";
        QTest::newRow("array") << QByteArray(R"([{"type":"PING"}])") << "";
    }
    void envelopeType()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, type);
        const auto decoded = Envelope::decodeType(bytes);
        QCOMPARE(decoded.value_or(QString()), type);
    }

    // Each row: which record, the message, whether it decodes.
    void strictDecoding_data()
    {
        QTest::addColumn<QString>("record");
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<bool>("decodes");
        auto row = [](const char* name, const char* record, const char* json, bool decodes) {
            QTest::newRow(name) << QString::fromLatin1(record) << QByteArray(json) << decodes;
        };
        row("auth minimal", "auth", R"({"type":"AUTH_RESULT","success":true,"timestamp":1})", true);
        row("auth full", "auth", R"({"type":"AUTH_RESULT","success":false,"message":"m","timestamp":1.5,"tenant":{"id":"t","name":"n","defaultCountryCode":"US"}})", true);
        row("auth no timestamp", "auth", R"({"type":"AUTH_RESULT","success":true})", false);
        row("auth success as string", "auth", R"({"type":"AUTH_RESULT","success":"true","timestamp":1})", false);
        row("auth tenant without id", "auth", R"({"type":"AUTH_RESULT","success":true,"timestamp":1,"tenant":{"name":"n"}})", false);
        row("auth message as number", "auth", R"({"type":"AUTH_RESULT","success":true,"timestamp":1,"message":3})", false);
        row("status request", "request", R"({"type":"GET_STATUS","timestamp":1,"requestId":"r"})", true);
        row("status no requestId", "request", R"({"type":"GET_STATUS","timestamp":1})", false);
        row("health timestamp as string", "request", R"({"type":"HEALTH_CHECK","timestamp":"1","requestId":"r"})", false);
        row("validation empty errors", "validation", R"({"type":"VALIDATION_FAILED","timestamp":1,"errors":[]})", true);
        row("validation no errors", "validation", R"({"type":"VALIDATION_FAILED","timestamp":1})", true);
        row("validation error without message", "validation", R"({"type":"VALIDATION_FAILED","timestamp":1,"errors":[{"code":"c"}]})", false);
        row("validation path of numbers", "validation", R"({"type":"VALIDATION_FAILED","timestamp":1,"errors":[{"message":"m","path":[1]}]})", false);
        row("ack complete", "ack", R"({"type":"BATCH_ACK","batchId":"b","insertedCount":3,"duplicatesSkipped":0,"serverTimestamp":1})", true);
        row("ack no batchId", "ack", R"({"type":"BATCH_ACK","insertedCount":3,"duplicatesSkipped":0,"serverTimestamp":1})", false);
        row("ack no insertedCount", "ack", R"({"type":"BATCH_ACK","batchId":"b","duplicatesSkipped":0,"serverTimestamp":1})", false);
        row("ack no duplicatesSkipped", "ack", R"({"type":"BATCH_ACK","batchId":"b","insertedCount":3,"serverTimestamp":1})", false);
        row("ack no serverTimestamp", "ack", R"({"type":"BATCH_ACK","batchId":"b","insertedCount":3,"duplicatesSkipped":0})", false);
        row("ack no type", "ack", R"({"batchId":"b","insertedCount":3,"duplicatesSkipped":0,"serverTimestamp":1})", false);
        row("ack fractional count", "ack", R"({"type":"BATCH_ACK","batchId":"b","insertedCount":2.5,"duplicatesSkipped":0,"serverTimestamp":1})", false);
        row("sync start with reason", "syncstart", R"({"type":"SYNC_START_CONTACTS","timestamp":1,"reason":"x"})", true);
        row("sync start no timestamp", "syncstart", R"({"type":"SYNC_START_CONTACTS","reason":"x"})", false);
    }
    void strictDecoding()
    {
        QFETCH(QString, record);
        QFETCH(QByteArray, json);
        QFETCH(bool, decodes);
        const QJsonObject o = QJsonDocument::fromJson(json).object();
        bool ok = false;
        if (record == QLatin1String("auth"))
            ok = ServerAuthResult::decode(o).has_value();
        else if (record == QLatin1String("request"))
            ok = ServerRequest::decode(o).has_value();
        else if (record == QLatin1String("validation"))
            ok = ServerValidationFailed::decode(o).has_value();
        else if (record == QLatin1String("ack"))
            ok = ServerBatchAck::decode(o).has_value();
        else if (record == QLatin1String("syncstart"))
            ok = ServerSyncStart::decode(o).has_value();
        QCOMPARE(ok, decodes);
    }

    void decodedValues()
    {
        const auto ack = ServerBatchAck::decode(parse(
            R"({"type":"BATCH_ACK","batchId":"b-1","insertedCount":250,"duplicatesSkipped":7,"serverTimestamp":1})"));
        QVERIFY(ack);
        QCOMPARE(ack->batchId, QStringLiteral("b-1"));
        QCOMPARE(ack->insertedCount, 250);
        QCOMPARE(ack->duplicatesSkipped, 7);

        const auto failed = ServerValidationFailed::decode(parse(
            R"({"type":"VALIDATION_FAILED","timestamp":1,"errors":[{"message":"a","path":["x","y"]},{"message":"b","code":"c"}]})"));
        QVERIFY(failed && failed->errors);
        QCOMPARE(failed->errors->size(), 2);
        QCOMPARE(failed->errors->at(0).path.value(), (QStringList{QStringLiteral("x"), QStringLiteral("y")}));
        QCOMPARE(failed->errors->at(1).code.value(), QStringLiteral("c"));
    }

    void slashes_data()
    {
        QTest::addColumn<QJsonObject>("message");
        QTest::addColumn<QByteArray>("dictionary");
        QTest::addColumn<QByteArray>("typed");
        QTest::newRow("key and value") << QJsonObject{{QStringLiteral("type"), QStringLiteral("X")},
                                                      {QStringLiteral("path/key"), QStringLiteral("a/b")}}
                                       << QByteArray(R"({"path\/key":"a\/b","type":"X"})")
                                       << QByteArray(R"({"path/key":"a/b","type":"X"})");
        QTest::newRow("none") << QJsonObject{{QStringLiteral("n"), 1.5}, {QStringLiteral("s"), QStringLiteral("ab")}}
                              << QByteArray(R"({"n":1.5,"s":"ab"})") << QByteArray(R"({"n":1.5,"s":"ab"})");
        // Runs of slashes, one at each end of a string, next to an escaped quote and backslash,
        // and inside a nested array.
        QTest::newRow("several") << QJsonObject{{QStringLiteral("u"), QStringLiteral("//h/p/")},
                                                {QStringLiteral("q"), QStringLiteral("\"/\\/")},
                                                {QStringLiteral("a"), QJsonArray{QStringLiteral("/"), 2}}}
                                 << QByteArray("{\"a\":[\"\\/\",2],\"q\":\"\\\"\\/\\\\\\/\",\"u\":\"\\/\\/h\\/p\\/\"}")
                                 << QByteArray("{\"a\":[\"/\",2],\"q\":\"\\\"/\\\\/\",\"u\":\"//h/p/\"}");
    }

    void slashes()
    {
        QFETCH(QJsonObject, message);
        QFETCH(QByteArray, dictionary);
        QFETCH(QByteArray, typed);
        QCOMPARE(Envelope::encodeDictionary(message), dictionary);
        QCOMPARE(Envelope::encodeTyped(message), typed);
        // Both forms read back to the same message.
        QCOMPARE(QJsonDocument::fromJson(Envelope::encodeDictionary(message)).object(), message);
    }

    // The direct writer must give the very bytes encodeDictionary gives for the same value.
    void directStringMatchesDictionary_data()
    {
        QTest::addColumn<QString>("text");
        QTest::newRow("empty") << QString();
        QTest::newRow("ascii and slashes") << QStringLiteral("https://a.example/x/y?z=1");
        QTest::newRow("quote and backslash") << QStringLiteral("say \"hi\" \\ there/");
        QTest::newRow("controls") << QString::fromUtf16(u"\b\f\n\r\t\u0001\u001f\u007f end");
        QTest::newRow("two and three bytes") << QString::fromUtf16(u"caf\u00e9 \u20ac \u4e2d\u6587 \ufffc");
        QTest::newRow("emoji pair") << QString::fromUtf16(u"ok \U0001F44D\U0001F3FD!");
        QTest::newRow("lone high then text") << QString::fromUtf16(u"a\xd83d" u"b");
        QTest::newRow("lone high at end") << QString::fromUtf16(u"a\xd83d");
        QTest::newRow("lone low") << QString::fromUtf16(u"\xdc4d" u"x");
        QTest::newRow("high high low") << QString::fromUtf16(u"\xd83d\xd83d\xdc4d");
    }

    void directStringMatchesDictionary()
    {
        QFETCH(QString, text);
        QByteArray direct("[");
        Envelope::appendString(direct, text);
        direct.append(']');
        const QByteArray object = Envelope::encodeDictionary(QJsonObject{{QStringLiteral("k"), text}});
        QCOMPARE("[" + object.mid(5, object.size() - 6) + "]", direct);
    }

    void directNumberMatchesDictionary_data()
    {
        QTest::addColumn<double>("value");
        QTest::newRow("zero") << 0.0;
        QTest::newRow("negative zero") << -0.0;
        QTest::newRow("fraction") << 12.5;
        QTest::newRow("whole") << 123.0;
        QTest::newRow("milliseconds") << 1733912345000.0;
        QTest::newRow("round milliseconds") << 1734712000000.0;
        QTest::newRow("1e15") << 1e15;
        QTest::newRow("above 2^53, round") << 9.1e15;
        QTest::newRow("1e16") << -1e16;
        QTest::newRow("negative milliseconds") << -978307200000.0;
        QTest::newRow("2^53") << 9007199254740992.0;
        QTest::newRow("large") << 1e21;
        QTest::newRow("tiny") << 1e-7;
        QTest::newRow("infinity") << std::numeric_limits<double>::infinity();
        QTest::newRow("nan") << std::numeric_limits<double>::quiet_NaN();
    }

    void directNumberMatchesDictionary()
    {
        QFETCH(double, value);
        QByteArray direct("{\"k\":");
        Envelope::appendNumber(direct, value);
        direct.append('}');
        QCOMPARE(direct, Envelope::encodeDictionary(QJsonObject{{QStringLiteral("k"), value}}));
    }

    void statusResponseOmitsAbsentMembers()
    {
        OutboundStatusResponse r;
        r.requestId = QStringLiteral("req");
        r.timestamp = 12.5;
        r.status.relayId = QStringLiteral("id");
        const QJsonObject o = r.toJson();
        QCOMPARE(o.value(QLatin1String("type")).toString(), QStringLiteral("STATUS_RESPONSE"));
        QCOMPARE(o.value(QLatin1String("status")).toObject().keys(), QStringList{QStringLiteral("relayId")});
    }

    void systemHealth()
    {
        const QJsonObject s = SystemHealth::getStats();
        QCOMPARE(s.keys(), (QStringList{QStringLiteral("cpu"), QStringLiteral("disk"), QStringLiteral("memory"),
                                        QStringLiteral("network"), QStringLiteral("system"), QStringLiteral("timestamp")}));
        const QJsonObject cpu = s.value(QLatin1String("cpu")).toObject();
        QVERIFY(cpu.value(QLatin1String("cores")).toInt() >= 1);
        const double cpuUsage = cpu.value(QLatin1String("usage")).toDouble();
        QVERIFY(cpuUsage >= 0 && cpuUsage <= 100);
        QCOMPARE(cpuUsage, SystemHealth::truncate(cpuUsage, 1));

        const QJsonObject mem = s.value(QLatin1String("memory")).toObject();
        const double total = mem.value(QLatin1String("total")).toDouble();
        QVERIFY(total > 0);
        QCOMPARE(mem.value(QLatin1String("used")).toDouble() + mem.value(QLatin1String("available")).toDouble(), total);
        const double memUsage = mem.value(QLatin1String("usage")).toDouble();
        QVERIFY(memUsage > 0 && memUsage < 1); // a fraction, not a percentage

        const QJsonObject disk = s.value(QLatin1String("disk")).toObject();
        QVERIFY(disk.value(QLatin1String("total")).toDouble() > 0);
        QCOMPARE(disk.value(QLatin1String("used")).toDouble() + disk.value(QLatin1String("available")).toDouble(),
                 disk.value(QLatin1String("total")).toDouble());

        const QJsonArray interfaces = s.value(QLatin1String("network")).toObject().value(QLatin1String("interfaces")).toArray();
        QCOMPARE(interfaces.size(), 1);
        QCOMPARE(interfaces.at(0).toObject(), (QJsonObject{{QStringLiteral("name"), QStringLiteral("en0")},
                                                           {QStringLiteral("active"), true}}));
        const QJsonObject system = s.value(QLatin1String("system")).toObject();
        QCOMPARE(system.value(QLatin1String("platform")).toString(), QStringLiteral("darwin"));
        QVERIFY(system.value(QLatin1String("uptime")).toDouble() > 0);
        QVERIFY(qAbs(s.value(QLatin1String("timestamp")).toDouble() - Envelope::nowMilliseconds()) < 60000);
    }

    // Integers come back exact as written, also beyond 2^53 where a double cannot hold them.
    void integers_data()
    {
        QTest::addColumn<QByteArray>("number");
        QTest::addColumn<bool>("isInteger");
        QTest::addColumn<qint64>("value");
        QTest::newRow("small") << QByteArray("42") << true << qint64(42);
        QTest::newRow("negative") << QByteArray("-5") << true << qint64(-5);
        QTest::newRow("whole written as fraction") << QByteArray("7.0") << true << qint64(7);
        QTest::newRow("Messages time, odd, beyond 2^53") << QByteArray("757382400000000001") << true
                                                         << qint64(757382400000000001);
        QTest::newRow("largest") << QByteArray("9223372036854775807") << true << std::numeric_limits<qint64>::max();
        QTest::newRow("fraction") << QByteArray("1.5") << false << qint64(0);
        QTest::newRow("beyond 64 bits") << QByteArray("1e300") << false << qint64(0);
        QTest::newRow("string") << QByteArray("\"3\"") << false << qint64(0);
    }

    void integers()
    {
        QFETCH(QByteArray, number);
        QFETCH(bool, isInteger);
        QFETCH(qint64, value);
        const QJsonValue parsed = QJsonDocument::fromJson("{\"n\":" + number + "}").object().value(QLatin1String("n"));
        const std::optional<qint64> read = jsonInteger(parsed);
        QCOMPARE(read.has_value(), isInteger);
        if (isInteger)
            QCOMPARE(*read, value);
    }

    void truncation_data()
    {
        QTest::addColumn<double>("value");
        QTest::addColumn<int>("decimals");
        QTest::addColumn<double>("expected");
        QTest::newRow("one decimal down") << 12.59 << 1 << 12.5;
        QTest::newRow("three decimals") << 0.73499 << 3 << 0.734;
        QTest::newRow("toward zero") << -1.29 << 1 << -1.2;
    }
    void truncation()
    {
        QFETCH(double, value);
        QFETCH(int, decimals);
        QFETCH(double, expected);
        QCOMPARE(SystemHealth::truncate(value, decimals), expected);
    }
};

QTEST_GUILESS_MAIN(TestSessionMessages)
#include "tst_sessionmessages.moc"
