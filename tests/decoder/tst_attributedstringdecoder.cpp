#include "attributedstringdecoder.h"

#include <plist/plist.h>

#include <QJsonDocument>
#include <QtTest>

#include <vector>

using velto::DecoderError;

namespace {

// Builds keyed archives laid out as the platform's keyed archiver writes them: object 0 is
// "$null", class descriptions are objects of their own, references are UIDs.
class KeyedArchiveBuilder {
public:
    KeyedArchiveBuilder() { add(plist_new_string("$null")); }
    ~KeyedArchiveBuilder()
    {
        for (plist_t object : m_objects)
            plist_free(object);
    }
    KeyedArchiveBuilder(const KeyedArchiveBuilder&) = delete;
    KeyedArchiveBuilder& operator=(const KeyedArchiveBuilder&) = delete;

    uint64_t add(plist_t object)
    {
        m_objects.push_back(object);
        return m_objects.size() - 1;
    }
    uint64_t string(const char* text) { return add(plist_new_string(text)); }
    uint64_t number(uint64_t value) { return add(plist_new_uint(value)); }

    // An object of a class; its members are set with set() once what they refer to exists.
    uint64_t object(const char* className)
    {
        plist_t dict = plist_new_dict();
        const uint64_t index = add(dict);
        plist_dict_set_item(dict, "$class", plist_new_uid(classUid(className)));
        return index;
    }
    void set(uint64_t object, const char* key, plist_t value) { plist_dict_set_item(m_objects[object], key, value); }
    void setUid(uint64_t object, const char* key, uint64_t uid) { set(object, key, plist_new_uid(uid)); }

    static plist_t uids(std::initializer_list<uint64_t> list)
    {
        plist_t array = plist_new_array();
        for (uint64_t uid : list)
            plist_array_append_item(array, plist_new_uid(uid));
        return array;
    }

    uint64_t dictionary(std::initializer_list<uint64_t> keys, std::initializer_list<uint64_t> values)
    {
        const uint64_t dict = object("NSDictionary");
        set(dict, "NS.keys", uids(keys));
        set(dict, "NS.objects", uids(values));
        return dict;
    }

    uint64_t attributedString(uint64_t string, std::optional<uint64_t> attributes, const char* className = "NSAttributedString")
    {
        const uint64_t root = object(className);
        setUid(root, "NSString", string);
        if (attributes)
            setUid(root, "NSAttributes", *attributes);
        return root;
    }

    // Serialises the archive with `root` as its top object; the builder is spent afterwards.
    QByteArray archive(uint64_t root, bool xml = false)
    {
        plist_t top = plist_new_dict();
        plist_dict_set_item(top, "$archiver", plist_new_string("NSKeyedArchiver"));
        plist_dict_set_item(top, "$version", plist_new_uint(100000));
        plist_t topDict = plist_new_dict();
        plist_dict_set_item(topDict, "root", plist_new_uid(root));
        plist_dict_set_item(top, "$top", topDict);
        plist_t objects = plist_new_array();
        for (plist_t object : m_objects)
            plist_array_append_item(objects, object);
        m_objects.clear();
        plist_dict_set_item(top, "$objects", objects);
        char* bytes = nullptr;
        uint32_t length = 0;
        if (xml)
            plist_to_xml(top, &bytes, &length);
        else
            plist_to_bin(top, &bytes, &length);
        QByteArray result(bytes, qsizetype(length));
        free(bytes);
        plist_free(top);
        return result;
    }

private:
    uint64_t classUid(const char* name)
    {
        const auto found = m_classes.constFind(QByteArray(name));
        if (found != m_classes.cend())
            return *found;
        plist_t description = plist_new_dict();
        plist_dict_set_item(description, "$classname", plist_new_string(name));
        plist_t chain = plist_new_array();
        plist_array_append_item(chain, plist_new_string(name));
        plist_array_append_item(chain, plist_new_string("NSObject"));
        plist_dict_set_item(description, "$classes", chain);
        const uint64_t uid = add(description);
        m_classes.insert(QByteArray(name), uid);
        return uid;
    }

    std::vector<plist_t> m_objects;
    QHash<QByteArray, uint64_t> m_classes;
};

QByteArray simpleAttributedString(const char* text, bool xml = false)
{
    KeyedArchiveBuilder b;
    const uint64_t key = b.string("__kIMMessagePartAttributeName");
    const uint64_t value = b.number(0);
    const uint64_t attributes = b.dictionary({key}, {value});
    return b.archive(b.attributedString(b.string(text), attributes), xml);
}

// A typedstream holding a plain NSString rather than an attributed string.
QByteArray legacyStringArchive()
{
    return QByteArray::fromHex("040b73747265616d747970656481e803840140848484084e53537472696e670184"
                               "84084e534f626a656374008584012b026869" "86");
}

// A binary property list of `levels` arrays, each holding the next one `width` times: with
// width 2 a few hundred bytes describe 2^levels nodes once shared references are expanded.
QByteArray binaryPlistOfArrays(int levels, int width)
{
    QByteArray data("bplist00");
    QList<int> offsets;
    for (int i = 0; i < levels; ++i) {
        offsets.append(int(data.size()));
        if (i == levels - 1) {
            data.append(char(0xA0));
            continue;
        }
        data.append(char(0xA0 | width));
        for (int w = 0; w < width; ++w)
            data.append(char((i + 1) >> 8)).append(char((i + 1) & 0xFF));
    }
    const int tableStart = int(data.size());
    for (int offset : offsets)
        data.append(char(offset >> 8)).append(char(offset & 0xFF));
    data.append(QByteArray(6, '\0')).append(char(2)).append(char(2));
    for (quint64 value : {quint64(levels), quint64(0), quint64(tableStart)})
        for (int shift = 56; shift >= 0; shift -= 8)
            data.append(char((value >> shift) & 0xFF));
    return data;
}

// A typedstream whose root array holds an array that holds an array… `depth` levels down.
QByteArray legacyNestedArrays(int depth)
{
    QByteArray data = QByteArray::fromHex("040b73747265616d747970656481e803840140848484074e53417272617900" "85");
    for (int i = 0; i < depth; ++i)
        data += QByteArray::fromHex("928493"); // "@", a new object of class entry 1 (NSArray)
    data += QByteArray::fromHex("9285"); // the innermost holds nil
    data += QByteArray(depth + 1, char(0x86));
    return data;
}

// A typedstream integer: one signed byte, or 0x81 and two little-endian bytes.
QByteArray legacyInteger(qsizetype value)
{
    if (value < 0x80)
        return QByteArray(1, char(value));
    return QByteArray::fromHex("81") + char(value & 0xFF) + char((value >> 8) & 0xFF);
}

// A typedstream of an attributed string whose string object (class `stringClass`, a subclass of
// NSObject) holds `utf8` as archived; one run of `runLength` units with an empty dictionary, or
// no run at all for 0.
QByteArray legacyAttributedString(const QByteArray& utf8, qsizetype runLength, const QByteArray& stringClass = "NSString")
{
    // Shared strings: 0 "@", 1 NSAttributedString, 2 NSObject, 3 the string class, 4 "+", 5 "iI",
    // 6 NSDictionary, 7 "i". Objects and classes: 0 root, 1 its class, 2 NSObject, 3 the string,
    // 4 its class, 5 the dictionary, 6 its class.
    QByteArray data = QByteArray::fromHex("040b") + "streamtyped" + QByteArray::fromHex("81e803" "840140");
    data += QByteArray::fromHex("84848412") + "NSAttributedString" + QByteArray::fromHex("00" "848408") + "NSObject"
        + QByteArray::fromHex("0085");
    data += QByteArray::fromHex("92" "848484") + legacyInteger(stringClass.size()) + stringClass + QByteArray::fromHex("01" "94");
    data += QByteArray::fromHex("84012b") + legacyInteger(utf8.size()) + utf8 + QByteArray::fromHex("86");
    if (runLength > 0) {
        data += QByteArray::fromHex("84026949" "01") + legacyInteger(runLength);
        data += QByteArray::fromHex("92" "8484840c") + "NSDictionary" + QByteArray::fromHex("00" "94" "840169" "00" "86");
    }
    return data + QByteArray::fromHex("86");
}

} // namespace

class TestAttributedStringDecoder : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void rejectsBadInput_data()
    {
        QTest::addColumn<QString>("input");
        QTest::addColumn<DecoderError>("expected");

        const auto notKeyed = DecoderError::decodingFailed(QStringLiteral("The data is not a keyed archive"));
        QTest::newRow("empty") << QString() << DecoderError::emptyInput();
        QTest::newRow("not Base64") << QStringLiteral("not base64!") << DecoderError::invalidBase64();
        QTest::newRow("missing padding") << QStringLiteral("aGVsbG8") << DecoderError::invalidBase64();
        QTest::newRow("line break") << QStringLiteral("aGVs\nbG8=") << DecoderError::invalidBase64();
        QTest::newRow("URL-safe alphabet") << QStringLiteral("aGVsbG8-") << DecoderError::invalidBase64();
        QTest::newRow("non-Latin-1") << QStringLiteral("aGVsbG\u00e4=") << DecoderError::invalidBase64();
        QTest::newRow("Base64 of plain text") << QStringLiteral("aGVsbG8=") << notKeyed;
        QTest::newRow("legacy header, garbage")
            << base64(QByteArray("\x04garbage"))
            << DecoderError::decodingFailed(QStringLiteral("NSUnarchiver returned nil"));
        QTest::newRow("legacy archive of a string") << base64(legacyStringArchive()) << DecoderError::notAttributedString();
        QTest::newRow("legacy objects nested 10 deep") << base64(legacyNestedArrays(10)) << DecoderError::notAttributedString();
        QTest::newRow("legacy objects nested 500 deep")
            << base64(legacyNestedArrays(500)) << DecoderError::decodingFailed(QStringLiteral("NSUnarchiver returned nil"));

        KeyedArchiveBuilder number;
        QTest::newRow("keyed archive of a number")
            << base64(number.archive(number.number(42))) << DecoderError::notAttributedString();
        KeyedArchiveBuilder string;
        QTest::newRow("keyed archive of a string")
            << base64(string.archive(string.string("hi"))) << DecoderError::notAttributedString();
    }

    void rejectsBadInput()
    {
        QFETCH(QString, input);
        QFETCH(DecoderError, expected);
        const auto result = velto::decodeAttributedBody(input);
        QVERIFY(!result);
        QCOMPARE(result.error().description(), expected.description());
        QCOMPARE(result.error().kind(), expected.kind());
    }

    // The string object's bytes must be valid UTF-8 (a leading byte order mark is kept as a
    // character), and only a class named exactly NSString, or one inheriting it, holds text.
    void decodesLegacyStringContents_data()
    {
        QTest::addColumn<QByteArray>("archive");
        QTest::addColumn<QString>("text"); // null: rejected

        QTest::newRow("ASCII") << legacyAttributedString("hello", 5) << QStringLiteral("hello");
        QTest::newRow("empty") << legacyAttributedString("", 0) << QStringLiteral("");
        const QByteArray longText = QByteArray("0123456789").repeated(20);
        QTest::newRow("ASCII, 200 bytes") << legacyAttributedString(longText, 200) << QString::fromLatin1(longText);
        QTest::newRow("non-ASCII") << legacyAttributedString("caf\xC3\xA9 \xE2\x86\x84 \xF0\x9F\x98\x80", 9)
                                   << QStringLiteral("caf\u00e9 \u2184 \U0001F600");
        QTest::newRow("leading byte order mark") << legacyAttributedString("\xEF\xBB\xBFhi", 3) << QStringLiteral("\uFEFFhi");
        QTest::newRow("invalid byte") << legacyAttributedString("ab\xFF", 3) << QString();
        QTest::newRow("overlong NUL") << legacyAttributedString("a\xC0\x80", 2) << QString();
        QTest::newRow("surrogate") << legacyAttributedString("a\xED\xA0\x80", 2) << QString();
        QTest::newRow("sequence cut at the end") << legacyAttributedString("ab\xE2\x82", 3) << QString();
        QTest::newRow("class NSStringX") << legacyAttributedString("hello", 5, "NSStringX") << QString();
        QTest::newRow("class NSString with a NUL") << legacyAttributedString("hello", 5, QByteArray("NSString\0", 9)) << QString();
    }

    void decodesLegacyStringContents()
    {
        QFETCH(QByteArray, archive);
        QFETCH(QString, text);
        const auto result = velto::decodeAttributedString(archive);
        if (text.isNull()) {
            QVERIFY(!result);
            QCOMPARE(result.error().kind(), DecoderError::Kind::decodingFailed);
            return;
        }
        QVERIFY2(result, qPrintable(result ? QString() : result.error().description()));
        QCOMPARE(result->text, text);
        QCOMPARE(result->runs.size(), text.isEmpty() ? 0 : 1);
    }

    void decodesKeyedArchive_data()
    {
        QTest::addColumn<QByteArray>("archive");
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("hasAttributes");

        QTest::newRow("attributed string") << simpleAttributedString("hello keyed") << QStringLiteral("hello keyed") << true;
        QTest::newRow("XML property list") << simpleAttributedString("as XML", true) << QStringLiteral("as XML") << true;
        QTest::newRow("non-ASCII") << simpleAttributedString("caf\xC3\xA9 \xF0\x9F\x98\x80") << QStringLiteral("caf\u00e9 \U0001F600") << true;

        KeyedArchiveBuilder mutableString;
        const uint64_t inner = mutableString.object("NSMutableString");
        mutableString.set(inner, "NS.string", plist_new_string("mutable"));
        QTest::newRow("mutable attributed string without attributes")
            << mutableString.archive(mutableString.attributedString(inner, std::nullopt, "NSMutableAttributedString"))
            << QStringLiteral("mutable") << false;

        KeyedArchiveBuilder zero;
        QTest::newRow("zero-length string") << zero.archive(zero.attributedString(zero.string(""), std::nullopt)) << QString() << false;

        KeyedArchiveBuilder emptyDict;
        const uint64_t empty = emptyDict.dictionary({}, {});
        QTest::newRow("empty attribute dictionary")
            << emptyDict.archive(emptyDict.attributedString(emptyDict.string("plain"), empty)) << QStringLiteral("plain") << false;
    }

    void decodesKeyedArchive()
    {
        QFETCH(QByteArray, archive);
        QFETCH(QString, text);
        QFETCH(bool, hasAttributes);
        const auto result = velto::decodeAttributedBody(archive);
        QVERIFY2(result, qPrintable(result ? QString() : result.error().description()));
        QVERIFY(result->success);
        QCOMPARE(result->plainText.value_or(QStringLiteral("<absent>")), text);
        QVERIFY(result->metadata);
        QCOMPARE(result->metadata->hasAttributes, hasAttributes);
        QVERIFY(!result->metadata->attributes);
        QVERIFY(!result->error);
    }

    void rejectsMalformedKeyedArchive_data()
    {
        QTest::addColumn<QByteArray>("archive");
        QTest::addColumn<QString>("explanation");

        KeyedArchiveBuilder url;
        const uint64_t link = url.object("NSURL");
        url.setUid(link, "NS.base", 0);
        url.setUid(link, "NS.relative", url.string("https://example.org"));
        const uint64_t linkKey = url.string("__kIMLinkAttributeName");
        QTest::newRow("attribute of a class not allowed")
            << url.archive(url.attributedString(url.string("link"), url.dictionary({linkKey}, {link})))
            << QStringLiteral("The archive holds an object of class \"NSURL\", which is not allowed here");

        KeyedArchiveBuilder data;
        const uint64_t blob = data.add(plist_new_data("\x01\x02", 2));
        QTest::newRow("raw data value")
            << data.archive(data.attributedString(data.string("x"), data.dictionary({data.string("k")}, {blob})))
            << QStringLiteral("The archive holds an object of class \"NSData\", which is not allowed here");

        KeyedArchiveBuilder outside;
        QTest::newRow("reference outside the object table")
            << outside.archive(outside.attributedString(99, std::nullopt))
            << QStringLiteral("The keyed archive is malformed: reference 99 is outside the object table");

        KeyedArchiveBuilder cycle;
        const uint64_t selfDict = cycle.object("NSDictionary");
        const uint64_t selfKey = cycle.string("me");
        cycle.set(selfDict, "NS.keys", KeyedArchiveBuilder::uids({selfKey}));
        cycle.set(selfDict, "NS.objects", KeyedArchiveBuilder::uids({selfDict}));
        QTest::newRow("dictionary that contains itself")
            << cycle.archive(cycle.attributedString(cycle.string("loop"), selfDict))
            << QStringLiteral("The keyed archive is malformed: an object contains itself");

        KeyedArchiveBuilder runs;
        const uint64_t a = runs.dictionary({}, {});
        const uint64_t b = runs.dictionary({}, {});
        const uint64_t list = runs.object("NSArray");
        runs.set(list, "NS.objects", KeyedArchiveBuilder::uids({a, b}));
        const uint64_t root = runs.attributedString(runs.string("abc"), list);
        runs.set(root, "NSAttributeInfo", plist_new_data("\x02\x00\x02\x01", 4)); // 4 units for a 3-unit text
        QTest::newRow("runs longer than the text")
            << runs.archive(root) << QStringLiteral("The keyed archive is malformed: an attributed string's run table does not fit its text");

        KeyedArchiveBuilder deep;
        uint64_t inner = deep.string("bottom");
        for (int i = 0; i < 200; ++i) {
            const uint64_t array = deep.object("NSArray");
            deep.set(array, "NS.objects", KeyedArchiveBuilder::uids({inner}));
            inner = array;
        }
        QTest::newRow("objects nested 200 deep")
            << deep.archive(deep.attributedString(deep.string("deep"), deep.dictionary({deep.string("k")}, {inner})))
            << QStringLiteral("The keyed archive is malformed: objects are nested too deeply");

        const QString tooComplex = QStringLiteral("The property list is nested too deeply or too large");
        QTest::newRow("shared references expanding to 2^40 nodes") << binaryPlistOfArrays(41, 2) << tooComplex;
        QTest::newRow("binary containers nested 300 deep") << binaryPlistOfArrays(300, 1) << tooComplex;
        QTest::newRow("XML containers nested 300 deep")
            << QByteArray("<?xml version=\"1.0\"?><plist version=\"1.0\">") + QByteArray("<array>").repeated(300)
                   + QByteArray("</array>").repeated(300) + QByteArray("</plist>")
            << tooComplex;

        QTest::newRow("not a keyed archive") << QByteArray("bplist00 but not really") << QStringLiteral("The data is not a keyed archive");
    }

    void rejectsMalformedKeyedArchive()
    {
        QFETCH(QByteArray, archive);
        QFETCH(QString, explanation);
        const auto result = velto::decodeAttributedBody(archive);
        QVERIFY(!result);
        QCOMPARE(result.error().kind(), DecoderError::Kind::decodingFailed);
        QCOMPARE(result.error().text(), explanation);
    }

    // Several runs: NSAttributes is a list and NSAttributeInfo pairs run lengths with indexes.
    void readsRunsOfKeyedArchive()
    {
        KeyedArchiveBuilder b;
        const uint64_t boldKey = b.string("__kIMTextBoldAttributeName");
        const uint64_t transcriptionKey = b.string("IMAudioTranscription");
        const uint64_t bold = b.dictionary({boldKey}, {b.number(1)});
        const uint64_t spoken = b.dictionary({transcriptionKey}, {b.string("said aloud")});
        const uint64_t list = b.object("NSMutableArray");
        b.set(list, "NS.objects", KeyedArchiveBuilder::uids({bold, spoken}));
        const uint64_t root = b.attributedString(b.string("Bold plain bold"), list, "NSMutableAttributedString");
        b.set(root, "NSAttributeInfo", plist_new_data("\x04\x00\x07\x01\x04\x00", 6));
        const QByteArray archive = b.archive(root);

        const auto string = velto::decodeAttributedString(archive);
        QVERIFY(string);
        QCOMPARE(string->text, QStringLiteral("Bold plain bold"));
        QCOMPARE(string->runs.size(), 3);
        QVERIFY(string->attributesAt(0).contains(QStringLiteral("__kIMTextBoldAttributeName")));
        QVERIFY(!string->attributesAt(4).contains(QStringLiteral("__kIMTextBoldAttributeName")));
        QVERIFY(string->attributesAt(11).contains(QStringLiteral("__kIMTextBoldAttributeName")));
        QVERIFY(string->attributesAt(15).isEmpty());
        QCOMPARE(velto::stringAttribute(archive, QStringLiteral("IMAudioTranscription")), QStringLiteral("said aloud"));
        QCOMPARE(velto::stringAttribute(archive, QStringLiteral("__kIMTextBoldAttributeName")), std::nullopt); // a number
        QCOMPARE(velto::stringAttribute(QByteArray("junk"), QStringLiteral("IMAudioTranscription")), std::nullopt);
    }

    void toJsonLeavesAbsentMembersOut()
    {
        const QByteArray archive = simpleAttributedString("hi");
        const auto fromBytes = velto::decodeAttributedBody(archive);
        const auto fromText = velto::decodeAttributedBody(base64(archive));
        QVERIFY(fromBytes && fromText);
        const QByteArray json = QJsonDocument(fromBytes->toJson()).toJson(QJsonDocument::Compact);
        QCOMPARE(json, QByteArray(R"({"metadata":{"hasAttributes":true},"plainText":"hi","success":true})"));
        QCOMPARE(QJsonDocument(fromText->toJson()).toJson(QJsonDocument::Compact), json);

        velto::DecoderOutput failed;
        failed.error = QStringLiteral("nope");
        QCOMPARE(QJsonDocument(failed.toJson()).toJson(QJsonDocument::Compact), QByteArray(R"({"error":"nope","success":false})"));
    }

private:
    static QString base64(const QByteArray& bytes) { return QString::fromLatin1(bytes.toBase64()); }
};

QTEST_APPLESS_MAIN(TestAttributedStringDecoder)
#include "tst_attributedstringdecoder.moc"
