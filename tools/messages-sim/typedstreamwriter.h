#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>

namespace velto::sim {

// Writes the legacy archiver's byte stream ("streamtyped", little-endian): integers in their
// compact forms, shared strings and objects numbered as they first appear, later mentions as
// back-references. Callers drive it in the order the archived object writes its fields.
class TypedStreamWriter {
public:
    struct ClassInfo {
        QByteArray name;
        qint64 version;
    };

    TypedStreamWriter();

    // A signed integer: one byte from -110 to 127, else 0x81 + 2 bytes, 0x82 + 4 or 0x87 + 8.
    void writeInt(qint64 value);
    // A type encoding or class name: new ones as 0x84 + length + bytes, repeats by reference.
    void writeSharedString(const QByteArray &text);
    void writeType(const char *encoding) { writeSharedString(QByteArray(encoding)); }
    // Starts a new object of the class chain (most derived first, NSObject last); classes
    // written before are referred to. Returns the object's number.
    int beginObject(const QList<ClassInfo> &classChain);
    void endObject();
    void writeObjectReference(int objectNumber);
    // A C string value ('*'): numbered in the object table, its characters a shared string.
    void writeCString(const QByteArray &text);
    // An unshared byte run ('+'): length, then the bytes.
    void writeBytes(const QByteArray &bytes);

    QByteArray data() const { return m_out; }

private:
    void writeReference(int index);
    int nextObject() { return m_objects++; }

    QByteArray m_out;
    QHash<QByteArray, int> m_strings;
    QHash<QByteArray, int> m_classes;
    QHash<QByteArray, int> m_cstrings;
    int m_objects = 0;
};

} // namespace velto::sim
