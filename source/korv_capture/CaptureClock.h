// Internal to the capture: the two clocks it reads. Records carry the wall
// clock in nanoseconds (what capture files hold); timers run on the
// monotonic clock in milliseconds, which no clock adjustment moves.
#pragma once

#include <time.h>

#include <cstdint>

inline int64_t capture_realtime_ns()
{
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return int64_t(now.tv_sec) * 1000000000 + now.tv_nsec;
}

inline int64_t capture_monotonic_ms()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}
