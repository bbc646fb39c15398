// Internal to the bridge and its consumers: the wall clock in nanoseconds,
// the clock of the records' handler time, which a consumer on another host
// compares with its own.
#pragma once

#include <time.h>

#include <cstdint>

namespace korv_bridge {

inline int64_t wall_clock_ns()
{
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return int64_t(now.tv_sec) * 1000000000 + now.tv_nsec;
}

}  // namespace korv_bridge
