#include "typedstreamunarchiver.h"

#include <QByteArrayView>
#include <QStringDecoder>
#include <QVarLengthArray>

#include <algorithm>
#include <cstring>
#include <span>
#include <variant>

namespace velto {

namespace {

// Tags of the format. Bytes from kReferenceBase up refer to earlier entries of a table.
constexpr uchar kInt16 = 0x81;
constexpr uchar kInt32 = 0x82;
constexpr uchar kReal = 0x83;
constexpr uchar kNew = 0x84;
constexpr uchar kNil = 0x85;
constexpr uchar kEnd = 0x86;
constexpr uchar kInt64 = 0x87;
constexpr uchar kReferenceBase = 0x92;

constexpr int kMaxObjectDepth = 64;
constexpr int kMaxTypeDepth = 16;

// Room kept inline for the tables of one archive: a message body fits without a heap allocation,
// a larger archive simply grows past it.
constexpr qsizetype kInlineEntries = 48;
constexpr qsizetype kInlineValues = 96;

// Strings, class names and raw bytes are views into the archive's own bytes, which outlive the
// reader and the interpreter; a copy is made only for a value that ends up in the result.
struct Nil {};
struct Ref {
    int entry = -1;
};
using Value = std::variant<Nil, qint64, double, QByteArrayView, Ref>;

// The classes the interpreter gives a meaning to, as bits so that a class chain can be summed up
// once (a malformed archive may chain several of them together).
enum KnownClass : unsigned {
    kOtherClass = 0,
    kNSString = 1u << 0,
    kNSNumber = 1u << 1,
    kNSDictionary = 1u << 2,
    kNSArray = 1u << 3,
    kNSData = 1u << 4,
    kNSAttributedString = 1u << 5,
};

KnownClass knownClass(QByteArrayView name)
{
    static constexpr struct {
        QByteArrayView name;
        KnownClass kind;
    } kKnown[] = {
        {"NSString", kNSString},     {"NSNumber", kNSNumber}, {"NSDictionary", kNSDictionary},
        {"NSArray", kNSArray},       {"NSData", kNSData},     {"NSAttributedString", kNSAttributedString},
    };
    for (const auto& known : kKnown) {
        if (name == known.name) // the whole name: one with a NUL inside is another class
            return known.kind;
    }
    return kOtherClass;
}

// Objects, classes and C strings share one reference table; type strings and class names
// live in a second one.
enum class EntryKind { object, klass, cString };
struct Entry {
    EntryKind kind;
    int index;
};
struct ClassInfo {
    QByteArrayView name;
    KnownClass known = kOtherClass;
    int superEntry = -1;
};
// An object's values are the range [firstValue, firstValue + valueCount) of Archive::values:
// every value the object wrote, flattened in order.
struct ObjectInfo {
    int classEntry = -1;
    qsizetype firstValue = 0;
    qsizetype valueCount = 0;
};

struct Archive {
    QVarLengthArray<Entry, kInlineEntries> entries;
    QVarLengthArray<ClassInfo, kInlineEntries / 2> classes;
    QVarLengthArray<ObjectInfo, kInlineEntries / 2> objects;
    QVarLengthArray<QByteArrayView, kInlineEntries / 2> cStrings;
    QVarLengthArray<Value, kInlineValues> values;

    std::span<const Value> valuesOf(const ObjectInfo& object) const
    {
        return std::span<const Value>(values.constData() + object.firstValue, size_t(object.valueCount));
    }
};

class Reader {
public:
    explicit Reader(const QByteArray& data)
        : m_data(reinterpret_cast<const uchar*>(data.constData())), m_size(data.size()),
          m_budget(qint64(data.size()) * 16 + 4096)
    {
    }

    // The root object's entry, or -1 when the archive is malformed.
    int readArchive()
    {
        static constexpr char kSignature[] = "streamtyped";
        constexpr qsizetype kSignatureLength = sizeof(kSignature) - 1;
        uchar version = 0;
        uchar signatureLength = 0;
        if (!readByte(version) || version != 4 || !readByte(signatureLength) || signatureLength != kSignatureLength
            || m_size - m_pos < kSignatureLength || std::memcmp(m_data + m_pos, kSignature, kSignatureLength) != 0)
            return -1;
        m_pos += kSignatureLength;
        qint64 systemVersion = 0;
        if (!readInteger(systemVersion))
            return -1;

        std::optional<QByteArrayView> type;
        if (!readSharedString(type) || !type || *type != QByteArrayView("@"))
            return -1;
        Value root;
        if (!readObject(root, 0) || !std::holds_alternative<Ref>(root))
            return -1;
        return std::get<Ref>(root).entry;
    }

    Archive archive;

private:
    bool readByte(uchar& out)
    {
        if (m_pos >= m_size)
            return false;
        out = m_data[m_pos++];
        return true;
    }

    bool readLittleEndian(int bytes, quint64& out)
    {
        if (m_size - m_pos < bytes)
            return false;
        out = 0;
        for (int i = bytes - 1; i >= 0; --i)
            out = (out << 8) | m_data[m_pos + i];
        m_pos += bytes;
        return true;
    }

    bool integerFromTag(uchar tag, qint64& out)
    {
        quint64 raw = 0;
        switch (tag) {
        case kInt16:
            if (!readLittleEndian(2, raw))
                return false;
            out = qint16(raw);
            return true;
        case kInt32:
            if (!readLittleEndian(4, raw))
                return false;
            out = qint32(raw);
            return true;
        case kInt64:
            if (!readLittleEndian(8, raw))
                return false;
            out = qint64(raw);
            return true;
        default:
            if (tag > kInt16 && tag < kReferenceBase)
                return false; // a tag, not a number
            out = qint8(tag);
            return true;
        }
    }

    bool readInteger(qint64& out)
    {
        uchar tag = 0;
        return readByte(tag) && integerFromTag(tag, out);
    }

    bool readReal(bool wide, double& out)
    {
        uchar tag = 0;
        if (!readByte(tag))
            return false;
        if (tag != kReal) {
            qint64 whole = 0;
            if (!integerFromTag(tag, whole))
                return false;
            out = double(whole);
            return true;
        }
        quint64 raw = 0;
        if (!readLittleEndian(wide ? 8 : 4, raw))
            return false;
        if (wide) {
            std::memcpy(&out, &raw, sizeof out);
        } else {
            const quint32 narrow = quint32(raw);
            float f = 0;
            std::memcpy(&f, &narrow, sizeof f);
            out = f;
        }
        return true;
    }

    // A back-reference: the tag itself, or a wider integer, minus the reference base.
    bool readReference(uchar tag, size_t tableSize, int& index)
    {
        qint64 value = tag;
        if (tag == kInt16 || tag == kInt32) {
            if (!integerFromTag(tag, value))
                return false;
        } else if (tag < kReferenceBase) {
            return false;
        }
        value -= kReferenceBase;
        if (value < 0 || quint64(value) >= tableSize)
            return false;
        index = int(value);
        return true;
    }

    bool readSharedString(std::optional<QByteArrayView>& out)
    {
        uchar tag = 0;
        if (!readByte(tag))
            return false;
        if (tag == kNil) {
            out.reset();
            return true;
        }
        if (tag == kNew) {
            qint64 length = 0;
            if (!readInteger(length) || length < 0 || length > m_size - m_pos)
                return false;
            out = bytesAt(qsizetype(length));
            m_strings.append(*out);
            return true;
        }
        int index = 0;
        if (!readReference(tag, size_t(m_strings.size()), index))
            return false;
        out = m_strings[index];
        return true;
    }

    bool spend()
    {
        return --m_budget >= 0;
    }

    // `entry` is -1 for the nil class that ends a class chain.
    bool readClass(int& entry, int depth)
    {
        uchar tag = 0;
        if (depth > kMaxObjectDepth || !readByte(tag))
            return false;
        if (tag == kNil) {
            entry = -1;
            return true;
        }
        if (tag == kNew) {
            std::optional<QByteArrayView> name;
            qint64 version = 0;
            if (!readSharedString(name) || !name || !readInteger(version))
                return false;
            const int classIndex = int(archive.classes.size());
            entry = int(archive.entries.size());
            archive.classes.append({*name, knownClass(*name), -1});
            archive.entries.append({EntryKind::klass, classIndex});
            int superEntry = -1;
            if (!readClass(superEntry, depth + 1))
                return false;
            archive.classes[classIndex].superEntry = superEntry;
            return true;
        }
        int index = 0;
        if (!readReference(tag, size_t(archive.entries.size()), index) || archive.entries[index].kind != EntryKind::klass)
            return false;
        entry = index;
        return true;
    }

    bool readObject(Value& out, int depth)
    {
        uchar tag = 0;
        if (depth > kMaxObjectDepth || !readByte(tag))
            return false;
        if (tag == kNil) {
            out = Nil{};
            return true;
        }
        if (tag != kNew) {
            int index = 0;
            if (!readReference(tag, size_t(archive.entries.size()), index) || archive.entries[index].kind != EntryKind::object)
                return false;
            out = Ref{index};
            return true;
        }

        // The object takes its table entry before its class and contents are read.
        const int objectIndex = int(archive.objects.size());
        const int entry = int(archive.entries.size());
        archive.objects.append(ObjectInfo{});
        archive.entries.append({EntryKind::object, objectIndex});
        int classEntry = -1;
        if (!readClass(classEntry, depth + 1) || classEntry < 0)
            return false;
        // This object's values go on top of the pending stack, above those of the objects that
        // contain it; an object read inside it takes its own values off again when it ends.
        const qsizetype firstPending = m_pending.size();
        for (;;) {
            if (m_pos >= m_size)
                return false;
            if (m_data[m_pos] == kEnd) {
                ++m_pos;
                break;
            }
            std::optional<QByteArrayView> types;
            if (!readSharedString(types) || !types || types->isEmpty())
                return false;
            const char* t = types->data();
            const char* end = t + types->size();
            while (t < end) {
                if (!readTyped(t, end, depth + 1, 0))
                    return false;
            }
        }
        ObjectInfo& object = archive.objects[objectIndex];
        object.classEntry = classEntry;
        object.firstValue = archive.values.size();
        object.valueCount = m_pending.size() - firstPending;
        archive.values.append(m_pending.constData() + firstPending, object.valueCount);
        m_pending.resize(firstPending);
        out = Ref{entry};
        return true;
    }

    bool readCString(Value& out)
    {
        uchar tag = 0;
        if (!readByte(tag))
            return false;
        if (tag == kNil) {
            out = Nil{};
            return true;
        }
        if (tag == kNew) {
            std::optional<QByteArrayView> text;
            if (!readSharedString(text) || !text)
                return false;
            archive.entries.append({EntryKind::cString, int(archive.cStrings.size())});
            archive.cStrings.append(*text);
            out = *text;
            return true;
        }
        int index = 0;
        if (!readReference(tag, size_t(archive.entries.size()), index))
            return false;
        const Entry& entry = archive.entries[index];
        if (entry.kind != EntryKind::cString)
            return false;
        out = archive.cStrings[entry.index];
        return true;
    }

    bool readRawBytes(qint64 count)
    {
        if (count < 0 || count > m_size - m_pos)
            return false;
        m_pending.append(bytesAt(qsizetype(count)));
        return true;
    }

    // The next `length` bytes, which the caller has checked are there.
    QByteArrayView bytesAt(qsizetype length)
    {
        const QByteArrayView bytes(m_data + m_pos, length);
        m_pos += length;
        return bytes;
    }

    // Finds the end of the type at `t` (one character, or a bracketed array or struct).
    static const char* typeEnd(const char* t, const char* end)
    {
        int nesting = 0;
        for (const char* p = t; p < end; ++p) {
            if (*p == '[' || *p == '{') {
                if (++nesting > kMaxTypeDepth)
                    return nullptr;
            } else if (*p == ']' || *p == '}') {
                if (--nesting < 0)
                    return nullptr;
            }
            if (nesting == 0)
                return p + 1;
        }
        return nullptr;
    }

    // Reads the value of the type at `t` onto the pending values and advances `t` past that type.
    bool readTyped(const char*& t, const char* end, int depth, int typeDepth)
    {
        if (!spend() || typeDepth > kMaxTypeDepth)
            return false;
        const char* next = typeEnd(t, end);
        if (!next)
            return false;
        const char type = *t;
        const char* inner = t + 1;
        t = next;
        switch (type) {
        case '@': {
            Value object;
            if (!readObject(object, depth))
                return false;
            m_pending.append(object);
            return true;
        }
        case '#': {
            int entry = -1;
            if (!readClass(entry, depth))
                return false;
            m_pending.append(entry < 0 ? Value(Nil{}) : Value(Ref{entry}));
            return true;
        }
        case '*': {
            Value text;
            if (!readCString(text))
                return false;
            m_pending.append(text);
            return true;
        }
        case '%':
        case ':': {
            std::optional<QByteArrayView> text;
            if (!readSharedString(text))
                return false;
            m_pending.append(text ? Value(*text) : Value(Nil{}));
            return true;
        }
        case '+': {
            qint64 length = 0;
            return readInteger(length) && readRawBytes(length);
        }
        case 'c':
        case 'C':
        case 'B': {
            uchar byte = 0;
            if (!readByte(byte))
                return false;
            m_pending.append(type == 'c' ? qint64(qint8(byte)) : qint64(byte));
            return true;
        }
        case 's':
        case 'S':
        case 'i':
        case 'I':
        case 'l':
        case 'L':
        case 'q':
        case 'Q': {
            qint64 value = 0;
            if (!readInteger(value))
                return false;
            m_pending.append(value);
            return true;
        }
        case 'f':
        case 'd': {
            double value = 0;
            if (!readReal(type == 'd', value))
                return false;
            m_pending.append(value);
            return true;
        }
        case '[': {
            qint64 count = 0;
            const char* p = inner;
            while (p < next && *p >= '0' && *p <= '9') {
                count = count * 10 + (*p - '0');
                if (count > m_size)
                    return false; // more elements than bytes left to hold them
                ++p;
            }
            const char* elementEnd = next - 1; // the closing bracket
            if (p == inner || p >= elementEnd)
                return false;
            if (elementEnd - p == 1 && (*p == 'c' || *p == 'C'))
                return readRawBytes(count);
            for (qint64 i = 0; i < count; ++i) {
                const char* element = p;
                if (!readTyped(element, elementEnd, depth, typeDepth + 1) || element != elementEnd)
                    return false;
            }
            return true;
        }
        case '{': {
            const char* fieldsEnd = next - 1;
            const char* p = inner;
            while (p < fieldsEnd && *p != '=')
                ++p;
            p = p < fieldsEnd ? p + 1 : inner;
            while (p < fieldsEnd) {
                if (!readTyped(p, fieldsEnd, depth, typeDepth + 1))
                    return false;
            }
            return true;
        }
        default:
            return false;
        }
    }

    const uchar* m_data;
    qsizetype m_size;
    qsizetype m_pos = 0;
    qint64 m_budget; // bounds the work on values that occupy no bytes (empty structs)
    QVarLengthArray<QByteArrayView, kInlineEntries> m_strings;
    QVarLengthArray<Value, kInlineValues / 2> m_pending; // values of the objects still being read
};

// Turns the object table into plain values; each object is converted once.
class Interpreter {
public:
    explicit Interpreter(const Archive& archive)
        : m_archive(archive), m_converted(archive.entries.size()), m_state(archive.entries.size(), Unconverted)
    {
    }

    bool failed() const { return m_failed; }

    QString className(int entry) const
    {
        const ObjectInfo* object = objectAt(entry);
        if (!object)
            return {};
        return QString::fromUtf8(m_archive.classes[m_archive.entries[object->classEntry].index].name);
    }

    bool inherits(int entry, KnownClass known) const { return (classChain(entry) & known) != 0; }

    std::optional<AttributedString> attributedString(int entry)
    {
        const ObjectInfo* object = objectAt(entry);
        if (!object || object->valueCount == 0)
            return fail<AttributedString>();
        const std::span<const Value> values = m_archive.valuesOf(*object);
        const auto* stringRef = std::get_if<Ref>(&values.front());
        if (!stringRef || !inherits(stringRef->entry, kNSString))
            return fail<AttributedString>();
        AttributedString result;
        const QVariant text = convert(stringRef->entry, 0);
        if (m_failed)
            return std::nullopt;
        result.text = text.toString();

        // Runs: dictionary number (1-based, a new number brings its dictionary along) and length.
        QVarLengthArray<QVariantMap, 8> dictionaries;
        result.runs.reserve(qsizetype(values.size() / 2));
        qsizetype covered = 0;
        size_t i = 1;
        while (i < values.size()) {
            if (i + 1 >= values.size())
                return fail<AttributedString>();
            const auto* number = std::get_if<qint64>(&values[i]);
            const auto* length = std::get_if<qint64>(&values[i + 1]);
            i += 2;
            if (!number || !length || *length <= 0 || *length > result.text.size() - covered)
                return fail<AttributedString>();
            if (*number == dictionaries.size() + 1) {
                const Ref* dictionary = i < values.size() ? std::get_if<Ref>(&values[i]) : nullptr;
                if (!dictionary || !inherits(dictionary->entry, kNSDictionary))
                    return fail<AttributedString>();
                const QVariant converted = convert(dictionary->entry, 0);
                if (m_failed)
                    return std::nullopt;
                dictionaries.append(converted.toMap());
                ++i;
            } else if (*number < 1 || *number > dictionaries.size()) {
                return fail<AttributedString>();
            }
            result.runs.append({qsizetype(*length), dictionaries[qsizetype(*number - 1)]});
            covered += *length;
        }
        if (covered != result.text.size())
            return fail<AttributedString>();
        return result;
    }

private:
    enum State : uchar { Unconverted, InProgress, Converted };

    template <typename T>
    std::optional<T> fail()
    {
        m_failed = true;
        return std::nullopt;
    }

    const ObjectInfo* objectAt(int entry) const
    {
        if (entry < 0 || entry >= m_archive.entries.size() || m_archive.entries[entry].kind != EntryKind::object)
            return nullptr;
        const ObjectInfo& object = m_archive.objects[m_archive.entries[entry].index];
        return object.classEntry >= 0 ? &object : nullptr;
    }

    // The known classes among the object's class and its superclasses.
    unsigned classChain(int entry) const
    {
        const ObjectInfo* object = objectAt(entry);
        if (!object)
            return kOtherClass;
        unsigned known = kOtherClass;
        int classEntry = object->classEntry;
        // A malformed archive may chain a class to itself: never walk more links than classes.
        for (qsizetype steps = 0; classEntry >= 0 && steps <= m_archive.classes.size(); ++steps) {
            const ClassInfo& info = m_archive.classes[m_archive.entries[classEntry].index];
            known |= info.known;
            classEntry = info.superEntry;
        }
        return known;
    }

    QVariant failValue()
    {
        m_failed = true;
        return {};
    }

    QVariant convertValue(const Value& value, int depth)
    {
        if (const auto* ref = std::get_if<Ref>(&value))
            return convert(ref->entry, depth);
        if (const auto* number = std::get_if<qint64>(&value))
            return qlonglong(*number);
        if (const auto* real = std::get_if<double>(&value))
            return *real;
        if (const auto* bytes = std::get_if<QByteArrayView>(&value))
            return bytes->toByteArray();
        return {};
    }

    QVariant convert(int entry, int depth)
    {
        if (m_failed || depth > kMaxObjectDepth)
            return failValue();
        const ObjectInfo* object = objectAt(entry);
        if (!object)
            return failValue();
        if (m_state[entry] == Converted)
            return m_converted[entry];
        if (m_state[entry] == InProgress)
            return failValue(); // a value that contains itself
        m_state[entry] = InProgress;
        m_converted[entry] = convertObject(entry, *object, depth);
        m_state[entry] = Converted;
        return m_converted[entry];
    }

    // Invalid UTF-8 makes the platform's string decoding fail, and the archive with it.
    std::optional<QString> decodeString(QByteArrayView bytes)
    {
        // Plain ASCII, the usual case, reads the same as Latin-1 and cannot be invalid.
        if (std::all_of(bytes.begin(), bytes.end(), [](char c) { return uchar(c) < 0x80; }))
            return QString::fromLatin1(bytes);
        QStringDecoder decoder(QStringConverter::Utf8, QStringConverter::Flag::Stateless | QStringConverter::Flag::ConvertInitialBom);
        QString text = decoder.decode(bytes);
        if (decoder.hasError())
            return std::nullopt;
        return text;
    }

    QVariant convertObject(int entry, const ObjectInfo& object, int depth)
    {
        const std::span<const Value> values = m_archive.valuesOf(object);
        const unsigned known = classChain(entry);
        if (known & kNSString) {
            const auto* bytes = values.empty() ? nullptr : std::get_if<QByteArrayView>(&values.front());
            if (!bytes)
                return failValue();
            std::optional<QString> text = decodeString(*bytes);
            if (!text)
                return failValue();
            return *std::move(text);
        }
        if (known & kNSNumber) {
            if (values.size() < 2 || !std::holds_alternative<QByteArrayView>(values[0])
                || !(std::holds_alternative<qint64>(values[1]) || std::holds_alternative<double>(values[1])))
                return failValue();
            return convertValue(values[1], depth);
        }
        if (known & kNSDictionary) {
            const auto* count = values.empty() ? nullptr : std::get_if<qint64>(&values.front());
            const qint64 keysAndValues = qint64(values.size()) - 1;
            if (!count || *count < 0 || keysAndValues % 2 != 0 || keysAndValues / 2 != *count)
                return failValue();
            QVariantMap map;
            for (size_t i = 1; i < values.size(); i += 2) {
                const auto* key = std::get_if<Ref>(&values[i]);
                const auto* value = std::get_if<Ref>(&values[i + 1]);
                if (!key || !value)
                    return failValue();
                const QVariant keyValue = convert(key->entry, depth + 1);
                const QVariant valueValue = convert(value->entry, depth + 1);
                if (m_failed)
                    return {};
                map.insert(keyValue.toString(), valueValue);
            }
            return map;
        }
        if (known & kNSArray) {
            const auto* count = values.empty() ? nullptr : std::get_if<qint64>(&values.front());
            if (!count || *count < 0 || qint64(values.size()) - 1 != *count)
                return failValue();
            QVariantList list;
            list.reserve(qsizetype(*count));
            for (size_t i = 1; i < values.size(); ++i) {
                const auto* element = std::get_if<Ref>(&values[i]);
                if (!element)
                    return failValue();
                list.append(convert(element->entry, depth + 1));
                if (m_failed)
                    return {};
            }
            return list;
        }
        if (known & kNSData) {
            const auto* length = values.size() == 2 ? std::get_if<qint64>(&values[0]) : nullptr;
            const auto* bytes = values.size() == 2 ? std::get_if<QByteArrayView>(&values[1]) : nullptr;
            if (!length || !bytes || *length != bytes->size())
                return failValue();
            return bytes->toByteArray();
        }
        return QVariantMap{{QStringLiteral("$class"), className(entry)}};
    }

    const Archive& m_archive;
    // Per table entry: its converted value once done, and whether it is being converted.
    QVarLengthArray<QVariant, kInlineEntries> m_converted;
    QVarLengthArray<State, kInlineEntries> m_state;
    bool m_failed = false;
};

} // namespace

std::optional<ArchiveRoot> TypedStreamUnarchiver::unarchive(const QByteArray& data)
{
    Reader reader(data);
    const int root = reader.readArchive();
    if (root < 0)
        return std::nullopt;
    Interpreter interpreter(reader.archive);
    ArchiveRoot result;
    result.className = interpreter.className(root);
    if (interpreter.inherits(root, kNSAttributedString)) {
        result.attributedString = interpreter.attributedString(root);
        if (!result.attributedString)
            return std::nullopt;
    }
    return result;
}

} // namespace velto
