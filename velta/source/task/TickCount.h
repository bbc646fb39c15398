// Internal: the monotonic millisecond clock of the runtime.
#pragma once

#include <cstdint>

// Milliseconds of CLOCK_MONOTONIC, truncated to 32 bits (wraps after about
// 49.7 days). Compare two ticks only by their signed difference.
uint32_t get_tick_count();

// The same clock, not truncated; the timing wheel derives its jiffies from
// this so that the jiffy counter wraps together with the wheel's.
uint64_t get_tick_count64();

// The same clock in nanoseconds, for waits far below a millisecond.
int64_t get_monotonic_ns();
