#include "keyedunarchiver.h"

#include "plistlimits.h"

#include <plist/plist.h>

#include <QHash>
#include <QSet>

#include <limits>
#include <memory>

namespace velto {

namespace {

constexpr int kMaxDepth = 64;

const QString kNotAnArchive = QStringLiteral("The data is not a keyed archive");

struct PlistDeleter {
    void operator()(plist_t node) const { plist_free(node); }
};
using PlistPtr = std::unique_ptr<void, PlistDeleter>;

bool isAllowedClass(const QString& name)
{
    static const QSet<QString> allowed{
        QStringLiteral("NSAttributedString"), QStringLiteral("NSMutableAttributedString"),
        QStringLiteral("NSString"), QStringLiteral("NSMutableString"),
        QStringLiteral("NSDictionary"), QStringLiteral("NSMutableDictionary"),
        QStringLiteral("NSArray"), QStringLiteral("NSMutableArray"),
        QStringLiteral("NSNumber")};
    return allowed.contains(name);
}

std::optional<QString> stringOf(plist_t node)
{
    if (!node || plist_get_node_type(node) != PLIST_STRING)
        return std::nullopt;
    uint64_t length = 0;
    const char* text = plist_get_string_ptr(node, &length);
    if (!text || length > uint64_t(std::numeric_limits<qsizetype>::max()))
        return std::nullopt;
    return QString::fromUtf8(text, qsizetype(length));
}

// A reference: a UID in binary archives, a one-entry dictionary {"CF$UID": n} in XML ones.
std::optional<uint64_t> uidOf(plist_t node)
{
    if (!node)
        return std::nullopt;
    uint64_t value = 0;
    if (plist_get_node_type(node) == PLIST_UID) {
        plist_get_uid_val(node, &value);
        return value;
    }
    if (plist_get_node_type(node) != PLIST_DICT || plist_dict_get_size(node) != 1)
        return std::nullopt;
    const plist_t number = plist_dict_get_item(node, "CF$UID");
    if (!number || plist_get_node_type(number) != PLIST_UINT)
        return std::nullopt;
    plist_get_uint_val(number, &value);
    return value;
}

// Unsigned LEB128, as the run table of a multi-run attributed string is written.
bool readVarint(const uchar*& p, const uchar* end, quint64& out)
{
    out = 0;
    for (int shift = 0; p < end && shift < 64; shift += 7) {
        const uchar byte = *p++;
        out |= quint64(byte & 0x7F) << shift;
        if (!(byte & 0x80))
            return true;
    }
    return false;
}

class Decoder {
public:
    explicit Decoder(plist_t objects) : m_objects(objects), m_count(plist_array_get_size(objects)) {}

    const QString& error() const { return m_error; }

    Result<ArchiveRoot, QString> root(uint64_t uid)
    {
        ArchiveRoot result;
        const plist_t node = objectNode(uid);
        if (!node)
            return fail(m_error);
        result.className = classNameOf(node);
        if (!m_error.isEmpty())
            return fail(m_error);
        if (!isAllowedClass(result.className))
            return fail(disallowed(result.className));
        if (result.className == QLatin1String("NSAttributedString") || result.className == QLatin1String("NSMutableAttributedString")) {
            m_inProgress.insert(uid);
            result.attributedString = attributedString(node);
            if (!result.attributedString)
                return fail(m_error);
        } else {
            value(uid, 0); // the whole graph must decode, as the platform's unarchiver insists
            if (!m_error.isEmpty())
                return fail(m_error);
        }
        return result;
    }

private:
    static QString disallowed(const QString& className)
    {
        return QStringLiteral("The archive holds an object of class \"%1\", which is not allowed here").arg(className);
    }

    void setError(const QString& text)
    {
        if (m_error.isEmpty())
            m_error = text;
    }

    void malformed(const QString& what)
    {
        setError(QStringLiteral("The keyed archive is malformed: ") + what);
    }

    plist_t objectNode(uint64_t uid)
    {
        if (uid >= m_count) {
            malformed(QStringLiteral("reference %1 is outside the object table").arg(uid));
            return nullptr;
        }
        return plist_array_get_item(m_objects, uint32_t(uid));
    }

    // The class an object node decodes as: plain property-list values stand for strings and
    // numbers; dictionaries name theirs through "$class".
    QString classNameOf(plist_t node)
    {
        switch (plist_get_node_type(node)) {
        case PLIST_STRING:
            return QStringLiteral("NSString");
        case PLIST_UINT:
        case PLIST_REAL:
        case PLIST_BOOLEAN:
            return QStringLiteral("NSNumber");
        case PLIST_DATA:
            return QStringLiteral("NSData");
        case PLIST_DATE:
            return QStringLiteral("NSDate");
        case PLIST_DICT:
            break;
        default:
            malformed(QStringLiteral("an object is neither a value nor a dictionary"));
            return {};
        }
        const auto classUid = uidOf(plist_dict_get_item(node, "$class"));
        if (!classUid) {
            malformed(QStringLiteral("an object has no class"));
            return {};
        }
        const plist_t classNode = objectNode(*classUid);
        if (!classNode)
            return {};
        const auto name = plist_get_node_type(classNode) == PLIST_DICT ? stringOf(plist_dict_get_item(classNode, "$classname"))
                                                                       : std::nullopt;
        if (!name || name->isEmpty()) {
            malformed(QStringLiteral("a class has no name"));
            return {};
        }
        return *name;
    }

    // The objects a member refers to: one UID, or an array of UIDs.
    std::optional<QList<uint64_t>> references(plist_t owner, const char* key)
    {
        const plist_t member = plist_dict_get_item(owner, key);
        if (!member || plist_get_node_type(member) != PLIST_ARRAY) {
            malformed(QStringLiteral("\"%1\" is missing or not an array").arg(QLatin1String(key)));
            return std::nullopt;
        }
        QList<uint64_t> result;
        const uint32_t size = plist_array_get_size(member);
        for (uint32_t i = 0; i < size; ++i) {
            const auto uid = uidOf(plist_array_get_item(member, i));
            if (!uid) {
                malformed(QStringLiteral("\"%1\" holds something other than a reference").arg(QLatin1String(key)));
                return std::nullopt;
            }
            result.append(*uid);
        }
        return result;
    }

    QVariant value(uint64_t uid, int depth)
    {
        if (!m_error.isEmpty())
            return {};
        if (depth > kMaxDepth) {
            malformed(QStringLiteral("objects are nested too deeply"));
            return {};
        }
        if (const auto cached = m_converted.constFind(uid); cached != m_converted.cend())
            return *cached;
        if (m_inProgress.contains(uid)) {
            malformed(QStringLiteral("an object contains itself"));
            return {};
        }
        const plist_t node = objectNode(uid);
        if (!node)
            return {};
        if (uid == 0 && stringOf(node) == QLatin1String("$null"))
            return {};
        const QString className = classNameOf(node);
        if (!m_error.isEmpty())
            return {};
        if (!isAllowedClass(className)) {
            setError(disallowed(className));
            return {};
        }
        m_inProgress.insert(uid);
        const QVariant result = convert(node, className, depth);
        m_inProgress.remove(uid);
        m_converted.insert(uid, result);
        return result;
    }

    QVariant convert(plist_t node, const QString& className, int depth)
    {
        switch (plist_get_node_type(node)) {
        case PLIST_STRING:
            return *stringOf(node);
        case PLIST_BOOLEAN: {
            uint8_t flag = 0;
            plist_get_bool_val(node, &flag);
            return qlonglong(flag ? 1 : 0);
        }
        case PLIST_UINT: {
            // This libplist keeps every integer as 64 unsigned bits; negative ones wrap around.
            uint64_t raw = 0;
            plist_get_uint_val(node, &raw);
            return qlonglong(raw);
        }
        case PLIST_REAL: {
            double real = 0;
            plist_get_real_val(node, &real);
            return real;
        }
        default:
            break;
        }

        if (className == QLatin1String("NSString") || className == QLatin1String("NSMutableString")) {
            const plist_t inner = plist_dict_get_item(node, "NS.string");
            if (const auto text = stringOf(inner))
                return *text;
            if (const auto uid = uidOf(inner)) {
                const QVariant text = value(*uid, depth + 1);
                if (text.typeId() == QMetaType::QString)
                    return text;
            }
            malformed(QStringLiteral("a string has no characters"));
            return {};
        }
        if (className == QLatin1String("NSDictionary") || className == QLatin1String("NSMutableDictionary")) {
            const auto keys = references(node, "NS.keys");
            const auto objects = keys ? references(node, "NS.objects") : std::nullopt;
            if (!keys || !objects)
                return {};
            if (keys->size() != objects->size()) {
                malformed(QStringLiteral("a dictionary has more keys than values or the reverse"));
                return {};
            }
            QVariantMap map;
            for (qsizetype i = 0; i < keys->size(); ++i) {
                const QVariant key = value(keys->at(i), depth + 1);
                const QVariant object = value(objects->at(i), depth + 1);
                if (!m_error.isEmpty())
                    return {};
                map.insert(key.toString(), object);
            }
            return map;
        }
        if (className == QLatin1String("NSArray") || className == QLatin1String("NSMutableArray")) {
            const auto objects = references(node, "NS.objects");
            if (!objects)
                return {};
            QVariantList list;
            for (const uint64_t uid : *objects) {
                list.append(value(uid, depth + 1));
                if (!m_error.isEmpty())
                    return {};
            }
            return list;
        }
        if (className == QLatin1String("NSAttributedString") || className == QLatin1String("NSMutableAttributedString")) {
            // Nested attributed strings are kept as their text.
            const auto nested = attributedString(node, depth + 1);
            return nested ? QVariant(nested->text) : QVariant();
        }
        malformed(QStringLiteral("a number is stored as a dictionary"));
        return {};
    }

    std::optional<AttributedString> attributedString(plist_t node, int depth = 0)
    {
        AttributedString result;
        const auto stringUid = uidOf(plist_dict_get_item(node, "NSString"));
        if (!stringUid) {
            malformed(QStringLiteral("an attributed string has no characters"));
            return std::nullopt;
        }
        const QVariant text = value(*stringUid, depth + 1);
        if (!m_error.isEmpty())
            return std::nullopt;
        if (text.typeId() != QMetaType::QString) {
            malformed(QStringLiteral("an attributed string's characters are not a string"));
            return std::nullopt;
        }
        result.text = text.toString();

        const auto attributesUid = uidOf(plist_dict_get_item(node, "NSAttributes"));
        if (!attributesUid || result.text.isEmpty())
            return result;
        const QVariant attributes = value(*attributesUid, depth + 1);
        if (!m_error.isEmpty())
            return std::nullopt;
        if (attributes.typeId() == QMetaType::QVariantMap) {
            result.runs.append({result.text.size(), attributes.toMap()});
            return result;
        }
        if (attributes.typeId() != QMetaType::QVariantList) {
            malformed(QStringLiteral("an attributed string's attributes are neither a dictionary nor a list"));
            return std::nullopt;
        }

        // Several runs: NSAttributeInfo pairs each run's length with its dictionary's position.
        const QVariantList dictionaries = attributes.toList();
        const plist_t info = plist_dict_get_item(node, "NSAttributeInfo");
        const auto infoUid = uidOf(info);
        const plist_t infoNode = infoUid ? objectNode(*infoUid) : info;
        if (!infoNode || plist_get_node_type(infoNode) != PLIST_DATA) {
            malformed(QStringLiteral("an attributed string has several attribute dictionaries but no run table"));
            return std::nullopt;
        }
        uint64_t infoLength = 0;
        const auto* p = reinterpret_cast<const uchar*>(plist_get_data_ptr(infoNode, &infoLength));
        const uchar* end = p + infoLength;
        qsizetype covered = 0;
        while (p < end) {
            quint64 length = 0;
            quint64 index = 0;
            if (!readVarint(p, end, length) || !readVarint(p, end, index) || length == 0
                || length > quint64(result.text.size() - covered) || index >= quint64(dictionaries.size())
                || dictionaries.at(qsizetype(index)).typeId() != QMetaType::QVariantMap) {
                malformed(QStringLiteral("an attributed string's run table does not fit its text"));
                return std::nullopt;
            }
            result.runs.append({qsizetype(length), dictionaries.at(qsizetype(index)).toMap()});
            covered += qsizetype(length);
        }
        if (covered != result.text.size()) {
            malformed(QStringLiteral("an attributed string's runs do not cover its text"));
            return std::nullopt;
        }
        return result;
    }

    plist_t m_objects;
    uint64_t m_count;
    QHash<uint64_t, QVariant> m_converted;
    QSet<uint64_t> m_inProgress;
    QString m_error;
};

} // namespace

Result<ArchiveRoot, QString> KeyedUnarchiver::unarchive(const QByteArray& data)
{
    if (data.isEmpty() || quint64(data.size()) > std::numeric_limits<uint32_t>::max())
        return fail(kNotAnArchive);
    switch (PlistLimits::check(data)) {
    case PlistLimits::Verdict::acceptable:
        break;
    case PlistLimits::Verdict::malformed:
        return fail(kNotAnArchive);
    case PlistLimits::Verdict::tooComplex:
        return fail(QStringLiteral("The property list is nested too deeply or too large"));
    }
    plist_t parsed = nullptr;
    plist_from_memory(data.constData(), uint32_t(data.size()), &parsed);
    const PlistPtr root(parsed);
    if (!parsed || plist_get_node_type(parsed) != PLIST_DICT)
        return fail(kNotAnArchive);
    const auto archiver = stringOf(plist_dict_get_item(parsed, "$archiver"));
    const plist_t objects = plist_dict_get_item(parsed, "$objects");
    const plist_t top = plist_dict_get_item(parsed, "$top");
    if (archiver != QLatin1String("NSKeyedArchiver") || !objects || plist_get_node_type(objects) != PLIST_ARRAY || !top
        || plist_get_node_type(top) != PLIST_DICT)
        return fail(kNotAnArchive);
    const auto rootUid = uidOf(plist_dict_get_item(top, "root"));
    if (!rootUid)
        return fail(QStringLiteral("The keyed archive has no root object"));
    Decoder decoder(objects);
    return decoder.root(*rootUid);
}

} // namespace velto
