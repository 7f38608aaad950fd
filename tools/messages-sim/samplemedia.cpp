#include "samplemedia.h"

#include "seededrandom.h"

#include <QtEndian>

#include <array>
#include <cstring>

namespace velto::sim {

namespace {

quint32 crc32(const QByteArray &data)
{
    static const std::array<quint32, 256> table = [] {
        std::array<quint32, 256> t{};
        for (quint32 n = 0; n < 256; ++n) {
            quint32 c = n;
            for (int k = 0; k < 8; ++k)
                c = (c & 1) ? 0xedb88320U ^ (c >> 1) : c >> 1;
            t[n] = c;
        }
        return t;
    }();
    quint32 crc = 0xffffffffU;
    for (const char byte : data)
        crc = table[(crc ^ quint8(byte)) & 0xff] ^ (crc >> 8);
    return crc ^ 0xffffffffU;
}

void appendBigEndian32(QByteArray &out, quint32 value)
{
    char bytes[4];
    qToBigEndian(value, bytes);
    out.append(bytes, 4);
}

void appendBigEndian16(QByteArray &out, quint16 value)
{
    char bytes[2];
    qToBigEndian(value, bytes);
    out.append(bytes, 2);
}

void appendBigEndian64(QByteArray &out, quint64 value)
{
    char bytes[8];
    qToBigEndian(value, bytes);
    out.append(bytes, 8);
}

void appendPngChunk(QByteArray &out, const char *type, const QByteArray &payload)
{
    appendBigEndian32(out, quint32(payload.size()));
    const QByteArray typed = QByteArray(type, 4) + payload;
    out.append(typed);
    appendBigEndian32(out, crc32(typed));
}

// Collects the entropy-coded bits of a JPEG scan, stuffing a zero after every 0xFF byte.
class BitWriter {
public:
    void write(quint32 bits, int count)
    {
        for (int i = count - 1; i >= 0; --i) {
            m_current = quint8((m_current << 1) | ((bits >> i) & 1));
            if (++m_filled == 8)
                flushByte();
        }
    }
    QByteArray finish()
    {
        while (m_filled != 0)
            write(1, 1); // pad with one-bits
        return m_out;
    }

private:
    void flushByte()
    {
        m_out.append(char(m_current));
        if (m_current == 0xff)
            m_out.append(char(0));
        m_current = 0;
        m_filled = 0;
    }
    QByteArray m_out;
    quint8 m_current = 0;
    int m_filled = 0;
};

void appendSegment(QByteArray &out, quint8 marker, const QByteArray &payload)
{
    out.append(char(0xff));
    out.append(char(marker));
    appendBigEndian16(out, quint16(payload.size() + 2));
    out.append(payload);
}

} // namespace

QByteArray SampleMedia::png(SeededRandom &random)
{
    constexpr int side = 16;
    const auto r = char(random.below(256)), g = char(random.below(256)), b = char(random.below(256));
    QByteArray raw;
    for (int y = 0; y < side; ++y) {
        raw.append(char(0)); // filter: none
        for (int x = 0; x < side; ++x) {
            raw.append(r);
            raw.append(g);
            raw.append(char(quint8(b) ^ quint8(x * 8))); // a faint stripe pattern
        }
    }
    QByteArray header;
    appendBigEndian32(header, side);
    appendBigEndian32(header, side);
    header.append(char(8)); // bit depth
    header.append(char(2)); // colour type: RGB
    header.append(char(0)); // compression
    header.append(char(0)); // filter method
    header.append(char(0)); // no interlace

    QByteArray out("\x89PNG\r\n\x1a\n", 8);
    appendPngChunk(out, "IHDR", header);
    appendPngChunk(out, "IDAT", qCompress(raw).mid(4)); // qCompress prefixes the zlib stream with its length
    appendPngChunk(out, "IEND", QByteArray());
    return out;
}

QByteArray SampleMedia::jpeg(SeededRandom &random)
{
    // One 8×8 block of a uniform grey: only the DC coefficient is non-zero, so a one-symbol
    // Huffman table for DC (its size category) and one for AC (end of block) encode it.
    const int level = int(random.between(40, 215));
    const int dc = 8 * (level - 128);
    int category = 0;
    for (int magnitude = dc < 0 ? -dc : dc; magnitude > 0; magnitude >>= 1)
        ++category;

    QByteArray out("\xff\xd8", 2);
    appendSegment(out, 0xe0, QByteArray("JFIF\0\x01\x01\0\0\x01\0\x01\0\0", 14));
    appendSegment(out, 0xdb, QByteArray(1, char(0)) + QByteArray(64, char(1)));
    appendSegment(out, 0xc0, QByteArray("\x08\0\x08\0\x08\x01\x01\x11\0", 9));
    QByteArray counts(16, char(0));
    counts[0] = 1;
    appendSegment(out, 0xc4, QByteArray(1, char(0x00)) + counts + QByteArray(1, char(category)));
    appendSegment(out, 0xc4, QByteArray(1, char(0x10)) + counts + QByteArray(1, char(0x00)));
    appendSegment(out, 0xda, QByteArray("\x01\x01\0\0\x3f\0", 6));

    BitWriter bits;
    bits.write(0, 1); // DC code
    if (category > 0)
        bits.write(quint32(dc > 0 ? dc : dc + (1 << category) - 1), category);
    bits.write(0, 1); // AC: end of block
    out.append(bits.finish());
    out.append("\xff\xd9", 2);
    return out;
}

QByteArray SampleMedia::caf(SeededRandom &random)
{
    constexpr int sampleRate = 8000;
    const int frames = int(random.between(800, 2400)); // 0.1–0.3 s
    const int period = int(random.between(16, 40));

    QByteArray out("caff", 4);
    appendBigEndian16(out, 1); // version
    appendBigEndian16(out, 0); // flags

    out.append("desc", 4);
    appendBigEndian64(out, 32);
    const double rate = sampleRate;
    quint64 rateBits;
    std::memcpy(&rateBits, &rate, sizeof rateBits);
    appendBigEndian64(out, rateBits);
    out.append("lpcm", 4);
    appendBigEndian32(out, 2); // little-endian integer samples
    appendBigEndian32(out, 2); // bytes per packet
    appendBigEndian32(out, 1); // frames per packet
    appendBigEndian32(out, 1); // channels
    appendBigEndian32(out, 16); // bits per channel

    out.append("data", 4);
    appendBigEndian64(out, quint64(4 + frames * 2));
    appendBigEndian32(out, 0); // edit count
    for (int i = 0; i < frames; ++i) {
        // A triangle wave: integer arithmetic keeps the bytes identical everywhere.
        const int phase = i % period;
        const int half = period / 2;
        const int value = (phase < half ? phase : period - phase) * (16000 / half) - 8000;
        char sample[2];
        qToLittleEndian(qint16(value), sample);
        out.append(sample, 2);
    }
    return out;
}

} // namespace velto::sim
