#include "velta/source/task/TickCount.h"

#include <ctime>

uint64_t get_tick_count64()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000 + static_cast<uint64_t>(now.tv_nsec) / 1000000;
}

uint32_t get_tick_count()
{
    return static_cast<uint32_t>(get_tick_count64());
}

int64_t get_monotonic_ns()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}
