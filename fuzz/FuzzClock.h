// Internal to the fuzzers: a clock that stands still until the target moves
// it. Linked into a fuzz target, it replaces every monotonic clock of the
// runtime (all of TickCount, milliseconds and nanoseconds), so that
// time-outs, heartbeats and retries happen at input boundaries chosen by the
// target and a run does not depend on how fast the machine is.
#pragma once

#include <cstdint>

void fuzz_advance_clock(uint32_t ms);
