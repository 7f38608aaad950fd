#include "attributedbody.h"

#include "typedstreamwriter.h"

#include <QHash>

namespace velto::sim {

const QString AttributedBody::messagePartKey = QStringLiteral("__kIMMessagePartAttributeName");
const QString AttributedBody::fileTransferGuidKey = QStringLiteral("__kIMFileTransferGUIDAttributeName");
const QString AttributedBody::writingDirectionKey = QStringLiteral("__kIMBaseWritingDirectionAttributeName");
const QString AttributedBody::audioTranscriptionKey = QStringLiteral("IMAudioTranscription");
const QChar AttributedBody::attachmentPlaceholder = QChar(0xFFFC);

namespace {

using ClassChain = QList<TypedStreamWriter::ClassInfo>;

const ClassChain &mutableRootClasses()
{
    static const ClassChain chain{{"NSMutableAttributedString", 0}, {"NSAttributedString", 0}, {"NSObject", 0}};
    return chain;
}

const ClassChain &rootClasses()
{
    static const ClassChain chain{{"NSAttributedString", 0}, {"NSObject", 0}};
    return chain;
}

const ClassChain &mutableStringClasses()
{
    static const ClassChain chain{{"NSMutableString", 1}, {"NSString", 1}, {"NSObject", 0}};
    return chain;
}

const ClassChain &stringClasses()
{
    static const ClassChain chain{{"NSString", 1}, {"NSObject", 0}};
    return chain;
}

const ClassChain &dictionaryClasses()
{
    static const ClassChain chain{{"NSDictionary", 0}, {"NSObject", 0}};
    return chain;
}

const ClassChain &numberClasses()
{
    static const ClassChain chain{{"NSNumber", 0}, {"NSValue", 0}, {"NSObject", 0}};
    return chain;
}

// Writes the dictionaries' keys and values, sharing equal ones within one body the way the
// archiver shares an object it has already written.
class AttributeEncoder {
public:
    explicit AttributeEncoder(TypedStreamWriter &writer) : m_writer(writer) {}

    void writeDictionary(const QList<AttributedBody::Attribute> &attributes)
    {
        m_writer.beginObject(dictionaryClasses());
        m_writer.writeType("i");
        m_writer.writeInt(attributes.size());
        for (const AttributedBody::Attribute &attribute : attributes) {
            m_writer.writeType("@");
            writeString(attribute.key);
            m_writer.writeType("@");
            if (const auto *text = std::get_if<QString>(&attribute.value))
                writeString(*text);
            else
                writeNumber(std::get<AttributedBody::Number>(attribute.value));
        }
        m_writer.endObject();
    }

private:
    void writeString(const QString &text)
    {
        const auto known = m_strings.constFind(text);
        if (known != m_strings.cend()) {
            m_writer.writeObjectReference(*known);
            return;
        }
        m_strings.insert(text, m_writer.beginObject(stringClasses()));
        m_writer.writeType("+");
        m_writer.writeBytes(text.toUtf8());
        m_writer.endObject();
    }

    void writeNumber(const AttributedBody::Number &number)
    {
        const QByteArray key = number.type + ':' + QByteArray::number(number.value);
        const auto known = m_numbers.constFind(key);
        if (known != m_numbers.cend()) {
            m_writer.writeObjectReference(*known);
            return;
        }
        m_numbers.insert(key, m_writer.beginObject(numberClasses()));
        m_writer.writeType("*");
        m_writer.writeCString(number.type);
        m_writer.writeSharedString(number.type);
        m_writer.writeInt(number.value);
        m_writer.endObject();
    }

    TypedStreamWriter &m_writer;
    QHash<QString, int> m_strings;
    QHash<QByteArray, int> m_numbers;
};

// Reads a compact integer at `pos`, advancing it; nothing when the bytes run out.
std::optional<qint64> readInt(const QByteArray &blob, qsizetype &pos)
{
    if (pos >= blob.size())
        return std::nullopt;
    const auto head = quint8(blob[pos++]);
    auto take = [&](int width) -> std::optional<qint64> {
        if (pos + width > blob.size())
            return std::nullopt;
        qint64 value = 0;
        for (int i = width - 1; i >= 0; --i)
            value = (value << 8) | quint8(blob[pos + i]);
        pos += width;
        // Sign-extend the little-endian value.
        const int shift = 64 - 8 * width;
        return width == 8 ? value : (value << shift) >> shift;
    };
    switch (head) {
    case 0x81:
        return take(2);
    case 0x82:
        return take(4);
    case 0x87:
        return take(8);
    default:
        return qint64(qint8(head));
    }
}

} // namespace

AttributedBody::AttributedBody(QString text, QList<Run> runs, Root root)
    : m_text(std::move(text))
    , m_runs(std::move(runs))
    , m_root(root)
{
}

QByteArray AttributedBody::encode() const
{
    TypedStreamWriter writer;
    AttributeEncoder attributes(writer);
    const bool isMutable = m_root == Root::Mutable;

    writer.writeType("@");
    writer.beginObject(isMutable ? mutableRootClasses() : rootClasses());
    writer.writeType("@");
    writer.beginObject(isMutable ? mutableStringClasses() : stringClasses());
    writer.writeType("+");
    writer.writeBytes(m_text.toUtf8());
    writer.endObject();

    // Runs with the same attributes share one dictionary number; only a new one is written out.
    QList<QList<Attribute>> dictionaries;
    for (const Run &run : m_runs) {
        qsizetype number = dictionaries.indexOf(run.attributes);
        const bool isNew = number < 0;
        if (isNew) {
            dictionaries.append(run.attributes);
            number = dictionaries.size() - 1;
        }
        writer.writeType("iI");
        writer.writeInt(number + 1);
        writer.writeInt(run.length);
        if (isNew) {
            writer.writeType("@");
            attributes.writeDictionary(run.attributes);
        }
    }
    writer.endObject();
    return writer.data();
}

AttributedBody AttributedBody::plainText(const QString &text, Root root)
{
    QList<Run> runs;
    if (!text.isEmpty())
        runs.append({text.size(), {{messagePartKey, Number{"i", 0}}}});
    return AttributedBody(text, runs, root);
}

AttributedBody AttributedBody::attachment(const QString &transferGuid, const QString &caption)
{
    QList<Run> runs{{1, {{fileTransferGuidKey, transferGuid}, {messagePartKey, Number{"i", 0}}}}};
    if (!caption.isEmpty())
        runs.append({caption.size(), {{messagePartKey, Number{"i", 1}}}});
    return AttributedBody(QString(attachmentPlaceholder) + caption, runs, Root::Mutable);
}

AttributedBody AttributedBody::audioMessage(const QString &transferGuid, const QString &transcription)
{
    QList<Attribute> attributes{{fileTransferGuidKey, transferGuid}};
    if (!transcription.isEmpty())
        attributes.append({audioTranscriptionKey, transcription});
    attributes.append({writingDirectionKey, Number{"q", -1}});
    attributes.append({messagePartKey, Number{"q", 0}});
    return AttributedBody(QString(attachmentPlaceholder), {{1, attributes}}, Root::Immutable);
}

std::optional<QString> AttributedBody::readText(const QByteArray &blob)
{
    // The string's '+' type is the first new shared string of that name in every body.
    static const QByteArray plusType("\x84\x01\x2b", 3);
    const qsizetype at = blob.indexOf(plusType);
    if (at < 0)
        return std::nullopt;
    qsizetype pos = at + plusType.size();
    const std::optional<qint64> length = readInt(blob, pos);
    if (!length || *length < 0 || *length > blob.size() - pos)
        return std::nullopt;
    return QString::fromUtf8(blob.constData() + pos, *length);
}

} // namespace velto::sim
