#include "typedstreamwriter.h"

#include <QtEndian>

#include <limits>

namespace velto::sim {

namespace {

constexpr char kNew = char(0x84);
constexpr char kNil = char(0x85);
constexpr char kEnd = char(0x86);
// Back-references count from this value upwards, written as integers.
constexpr qint64 kFirstReference = -110;

template <typename T>
void appendLittleEndian(QByteArray &out, T value)
{
    char bytes[sizeof(T)];
    qToLittleEndian(value, bytes);
    out.append(bytes, sizeof(T));
}

} // namespace

TypedStreamWriter::TypedStreamWriter()
{
    // Stream version 4, the signature, and the archiver's system version 1000.
    m_out.append(char(0x04));
    m_out.append(char(11));
    m_out.append("streamtyped");
    writeInt(1000);
}

void TypedStreamWriter::writeInt(qint64 value)
{
    if (value >= kFirstReference && value <= 127) {
        m_out.append(char(value));
    } else if (value >= std::numeric_limits<qint16>::min() && value <= std::numeric_limits<qint16>::max()) {
        m_out.append(char(0x81));
        appendLittleEndian(m_out, qint16(value));
    } else if (value >= std::numeric_limits<qint32>::min() && value <= std::numeric_limits<qint32>::max()) {
        m_out.append(char(0x82));
        appendLittleEndian(m_out, qint32(value));
    } else {
        m_out.append(char(0x87));
        appendLittleEndian(m_out, value);
    }
}

void TypedStreamWriter::writeReference(int index)
{
    writeInt(kFirstReference + index);
}

void TypedStreamWriter::writeSharedString(const QByteArray &text)
{
    const auto known = m_strings.constFind(text);
    if (known != m_strings.cend()) {
        writeReference(*known);
        return;
    }
    const int index = int(m_strings.size());
    m_strings.insert(text, index);
    m_out.append(kNew);
    writeBytes(text);
}

int TypedStreamWriter::beginObject(const QList<ClassInfo> &classChain)
{
    m_out.append(kNew);
    const int object = nextObject();
    for (const ClassInfo &info : classChain) {
        const auto known = m_classes.constFind(info.name);
        if (known != m_classes.cend()) {
            writeReference(*known);
            return object;
        }
        m_out.append(kNew);
        m_classes.insert(info.name, nextObject());
        writeSharedString(info.name);
        writeInt(info.version);
    }
    m_out.append(kNil);
    return object;
}

void TypedStreamWriter::endObject()
{
    m_out.append(kEnd);
}

void TypedStreamWriter::writeObjectReference(int objectNumber)
{
    writeReference(objectNumber);
}

void TypedStreamWriter::writeCString(const QByteArray &text)
{
    const auto known = m_cstrings.constFind(text);
    if (known != m_cstrings.cend()) {
        writeReference(*known);
        return;
    }
    m_out.append(kNew);
    m_cstrings.insert(text, nextObject());
    writeSharedString(text);
}

void TypedStreamWriter::writeBytes(const QByteArray &bytes)
{
    writeInt(bytes.size());
    m_out.append(bytes);
}

} // namespace velto::sim
