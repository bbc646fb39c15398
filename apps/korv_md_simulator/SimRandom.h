// Internal: the simulator's deterministic random source.
//
// The market must replay bit for bit from a seed on every platform and
// library version, so it uses its own generator (splitmix64) and its own
// range reduction instead of the standard distributions, whose results are
// left to the implementation.
#pragma once

#include <cstdint>

namespace KORV {
namespace SIM {

class SimRandom {
public:
    explicit SimRandom(uint64_t seed) : m_state(seed) {}

    uint64_t next()
    {
        uint64_t z = (m_state += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }

    // Uniform in [0, n); 0 when n is 0. The modulo bias is far below what a
    // simulated market could show.
    uint32_t below(uint32_t n) { return n == 0 ? 0 : uint32_t(next() % n); }
    // Uniform in [low, high].
    int32_t between(int32_t low, int32_t high)
    {
        return low + int32_t(below(uint32_t(int64_t(high) - low + 1)));
    }
    // True with probability per_mille / 1000.
    bool chance(uint32_t per_mille) { return below(1000) < per_mille; }

private:
    uint64_t m_state;
};

}  // namespace SIM
}  // namespace KORV
