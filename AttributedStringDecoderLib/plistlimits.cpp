#include "plistlimits.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace velto::PlistLimits {

namespace {

constexpr size_t kMaxNesting = 256;
constexpr quint64 kMaxNodes = 1 << 18;
constexpr qsizetype kTrailerSize = 32;

quint64 readBigEndian(const uchar* p, int bytes)
{
    quint64 value = 0;
    for (int i = 0; i < bytes; ++i)
        value = (value << 8) | p[i];
    return value;
}

// XML: count open <array> and <dict> elements. Text that merely looks like a tag (in a comment)
// only makes the count err on the safe side.
Verdict checkXml(const QByteArray& data)
{
    size_t depth = 0;
    const char* p = data.constData();
    const char* end = p + data.size();
    while ((p = static_cast<const char*>(std::memchr(p, '<', size_t(end - p))))) {
        ++p;
        const bool closing = p < end && *p == '/';
        const char* name = closing ? p + 1 : p;
        qsizetype length = 0;
        if (end - name >= 5 && std::memcmp(name, "array", 5) == 0)
            length = 5;
        else if (end - name >= 4 && std::memcmp(name, "dict", 4) == 0)
            length = 4;
        if (length == 0)
            continue;
        const char* after = name + length;
        if (after < end && *after != '>' && *after != '/' && *after != ' ' && *after != '\t' && *after != '\r' && *after != '\n')
            continue; // another element whose name starts the same way
        const char* close = static_cast<const char*>(std::memchr(after, '>', size_t(end - after)));
        const bool selfClosing = close && close > after && close[-1] == '/';
        if (closing) {
            depth = depth > 0 ? depth - 1 : 0;
        } else if (!selfClosing && ++depth > kMaxNesting) {
            return Verdict::tooComplex;
        }
    }
    return Verdict::acceptable;
}

Verdict checkBinary(const QByteArray& data)
{
    const auto* b = reinterpret_cast<const uchar*>(data.constData());
    const qsizetype size = data.size();
    if (size < 8 + kTrailerSize)
        return Verdict::malformed;
    const uchar* trailer = b + size - kTrailerSize;
    const int offsetSize = trailer[6];
    const int refSize = trailer[7];
    const quint64 count = readBigEndian(trailer + 8, 8);
    const quint64 top = readBigEndian(trailer + 16, 8);
    const quint64 tableStart = readBigEndian(trailer + 24, 8);
    const quint64 bodyEnd = quint64(size - kTrailerSize);
    if (offsetSize < 1 || offsetSize > 8 || refSize < 1 || refSize > 8 || count == 0 || count > quint64(size)
        || top >= count || tableStart < 8 || tableStart > bodyEnd || (bodyEnd - tableStart) / quint64(offsetSize) < count)
        return Verdict::malformed;

    auto offsetOf = [&](quint64 object) { return readBigEndian(b + tableStart + object * quint64(offsetSize), offsetSize); };

    // The references an object holds: where they start and how many (none for scalars).
    auto childrenOf = [&](quint64 object, quint64& refsAt, quint64& refs) {
        const quint64 at = offsetOf(object);
        refs = 0;
        if (at < 8 || at >= tableStart)
            return false;
        const uchar marker = b[at];
        const int type = marker >> 4;
        if (type != 0xA && type != 0xC && type != 0xD)
            return true;
        quint64 entries = marker & 0x0F;
        refsAt = at + 1;
        if (entries == 0x0F) {
            if (refsAt >= tableStart || (b[refsAt] & 0xF0) != 0x10 || (b[refsAt] & 0x0F) > 3)
                return false;
            const int width = 1 << (b[refsAt] & 0x0F);
            if (refsAt + 1 + quint64(width) > tableStart)
                return false;
            entries = readBigEndian(b + refsAt + 1, width);
            refsAt += 1 + quint64(width);
        }
        refs = type == 0xD ? entries * 2 : entries;
        return refs <= (tableStart - refsAt) / quint64(refSize);
    };

    struct Frame {
        quint64 object;
        quint64 refsAt;
        quint64 refs;
        quint64 next;
        quint64 nodes;
    };
    enum : uchar { unseen, open, done };
    std::vector<uchar> state(count, unseen);
    std::vector<quint64> nodes(count, 0);
    const quint64 maxNodes = std::min<quint64>(kMaxNodes, quint64(size) * 4 + 1024);

    std::vector<Frame> stack;
    auto enter = [&](quint64 object) {
        Frame frame{object, 0, 0, 0, 1};
        if (!childrenOf(object, frame.refsAt, frame.refs))
            return Verdict::malformed;
        state[object] = open;
        stack.push_back(frame);
        return stack.size() <= kMaxNesting ? Verdict::acceptable : Verdict::tooComplex;
    };
    if (const Verdict verdict = enter(top); verdict != Verdict::acceptable)
        return verdict;
    while (!stack.empty()) {
        Frame& frame = stack.back();
        if (frame.next < frame.refs) {
            const quint64 child = readBigEndian(b + frame.refsAt + frame.next * quint64(refSize), refSize);
            ++frame.next;
            if (child >= count || state[child] == open)
                return Verdict::malformed; // outside the table, or a container inside itself
            if (state[child] == done) {
                frame.nodes += nodes[child];
                if (frame.nodes > maxNodes)
                    return Verdict::tooComplex;
            } else if (const Verdict verdict = enter(child); verdict != Verdict::acceptable) {
                return verdict;
            }
            continue;
        }
        const Frame finished = frame;
        stack.pop_back();
        state[finished.object] = done;
        nodes[finished.object] = finished.nodes;
        if (!stack.empty()) {
            stack.back().nodes += finished.nodes;
            if (stack.back().nodes > maxNodes)
                return Verdict::tooComplex;
        }
    }
    return Verdict::acceptable;
}

} // namespace

Verdict check(const QByteArray& data)
{
    return data.startsWith("bplist00") ? checkBinary(data) : checkXml(data);
}

} // namespace velto::PlistLimits
