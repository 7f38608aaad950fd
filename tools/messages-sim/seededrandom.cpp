#include "seededrandom.h"

namespace velto::sim {

namespace {

std::uint64_t splitmix(std::uint64_t &x)
{
    std::uint64_t z = (x += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

std::uint64_t rotl(std::uint64_t x, int k)
{
    return (x << k) | (x >> (64 - k));
}

} // namespace

SeededRandom::SeededRandom(std::uint64_t seed)
{
    for (std::uint64_t &word : m_state)
        word = splitmix(seed);
}

std::uint64_t SeededRandom::next()
{
    const std::uint64_t result = rotl(m_state[1] * 5, 7) * 9;
    const std::uint64_t t = m_state[1] << 17;
    m_state[2] ^= m_state[0];
    m_state[3] ^= m_state[1];
    m_state[1] ^= m_state[2];
    m_state[0] ^= m_state[3];
    m_state[2] ^= t;
    m_state[3] = rotl(m_state[3], 45);
    return result;
}

std::uint64_t SeededRandom::below(std::uint64_t bound)
{
    if (bound == 0)
        return 0;
    // The modulo bias is far below anything noticeable for the small bounds used here.
    return next() % bound;
}

qint64 SeededRandom::between(qint64 low, qint64 high)
{
    return high <= low ? low : low + qint64(below(std::uint64_t(high - low) + 1));
}

bool SeededRandom::perMille(int chance)
{
    return below(1000) < std::uint64_t(chance);
}

QString SeededRandom::uuid()
{
    const std::uint64_t high = (next() & 0xffffffffffff0fffULL) | 0x0000000000004000ULL;
    const std::uint64_t low = (next() & 0x3fffffffffffffffULL) | 0x8000000000000000ULL;
    const QString hex = QStringLiteral("%1%2").arg(high, 16, 16, QLatin1Char('0')).arg(low, 16, 16, QLatin1Char('0')).toUpper();
    return hex.mid(0, 8) + QLatin1Char('-') + hex.mid(8, 4) + QLatin1Char('-') + hex.mid(12, 4) + QLatin1Char('-')
         + hex.mid(16, 4) + QLatin1Char('-') + hex.mid(20, 12);
}

} // namespace velto::sim
