#pragma once

#include <QList>
#include <QString>

#include <cstdint>

namespace velto::sim {

// A small random source whose sequence depends only on its seed (xoshiro256** seeded through
// splitmix64), so the same seed gives the same database on every machine and library version;
// the standard distributions do not promise that.
class SeededRandom {
public:
    explicit SeededRandom(std::uint64_t seed);

    std::uint64_t next();
    // Uniform in [0, bound); 0 when bound is 0.
    std::uint64_t below(std::uint64_t bound);
    // Uniform in [low, high].
    qint64 between(qint64 low, qint64 high);
    // True with the given probability in parts per thousand.
    bool perMille(int chance);
    // An upper-case UUID text (version 4 layout).
    QString uuid();

    template <typename T>
    const T &pick(const QList<T> &items)
    {
        return items.at(qsizetype(below(std::uint64_t(items.size()))));
    }

private:
    std::uint64_t m_state[4];
};

} // namespace velto::sim
