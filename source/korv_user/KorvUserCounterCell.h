// Internal: one live counter of the library, written by the reactor thread
// alone and read by any thread.
//
// With a single writer, an increment needs no locked instruction: a relaxed
// load and store of the word costs what a plain one does, and a reader on
// another thread sees some value the counter held, never a torn one.
#pragma once

#include <time.h>

#include <atomic>
#include <cstdint>

namespace KORV {
namespace USER {

class CounterCell {
public:
    // Reactor thread.
    void add(uint64_t n = 1)
    {
        m_value.store(m_value.load(std::memory_order_relaxed) + n, std::memory_order_relaxed);
    }
    // Reactor thread.
    void set(uint64_t value) { m_value.store(value, std::memory_order_relaxed); }
    // Any thread.
    uint64_t get() const { return m_value.load(std::memory_order_relaxed); }

private:
    std::atomic<uint64_t> m_value{0};
};

// Milliseconds of the coarse monotonic clock, which the counters stamp their
// "last" values with: it reads in a few nanoseconds, where the precise one
// would cost a packet's time several percent.
inline uint64_t counter_clock_ms()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    return uint64_t(now.tv_sec) * 1000 + uint64_t(now.tv_nsec) / 1000000;
}

}  // namespace USER
}  // namespace KORV
