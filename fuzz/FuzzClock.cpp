#include "fuzz/FuzzClock.h"

#include "velta/source/task/TickCount.h"

namespace {

// Far from 0, so that no timer arithmetic meets the start of the count.
uint64_t g_fuzz_ticks = uint64_t(1) << 40;

}  // namespace

void fuzz_advance_clock(uint32_t ms)
{
    g_fuzz_ticks += ms;
}

uint64_t get_tick_count64()
{
    return g_fuzz_ticks;
}

uint32_t get_tick_count()
{
    return static_cast<uint32_t>(g_fuzz_ticks);
}

int64_t get_monotonic_ns()
{
    return static_cast<int64_t>(g_fuzz_ticks) * 1000000;
}
