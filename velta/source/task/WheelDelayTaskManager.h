// Internal: the timers of one reactor, on a timing wheel of 8 ms jiffies.
//
// The reactor calls run_timers() once per iteration; it catches the wheel
// up with the clock one jiffy at a time, hands every expired task to the
// front of the reactor's ready queue and answers 8, the longest the reactor
// may then wait for I/O. 8 ms is therefore the resolution of every timer.
// Reactor thread only; the wheel takes no lock.
#pragma once

#include <cstdint>

#include "velta/source/task/DelayTaskManager.h"
#include "velta/source/task/TickCount.h"
#include "velta/source/task/TimingWheel.h"

class Reactor;
class WheelDelayTaskScheduler;

class WheelDelayTaskManager : public DelayTaskManager {
public:
    static constexpr int JIFFY_SHIFT = 3;  // 8 ms per jiffy
    static constexpr int MAX_WAIT_MS = 8;

    // Monotonic milliseconds, not truncated.
    typedef uint64_t (*Clock)();

    // The wheel starts at the clock's jiffy. Tests pass a clock of their own
    // to put the manager anywhere in time.
    explicit WheelDelayTaskManager(Reactor* reactor, Clock clock = get_tick_count64);

    // Jiffies of the clock. Derived from the 64-bit millisecond count, so
    // that it wraps at 2^32 together with the wheel's counter: a 32-bit
    // millisecond tick shifted by 3 would wrap at 2^29 and stall every timer
    // for weeks when it did.
    uint32_t get_jiffies() const;

    TaskScheduler* open_delay_scheduler(unsigned ms) override;
    int run_timers() override;
    // run_timers() with the clock given as a jiffy, so that the wheel can be
    // driven without waiting for real time to pass.
    int run_timers_until(uint32_t now_jiffy);

    // Arms the scheduler: its delay counts from now, i.e. from the later of
    // the wheel's current jiffy and the clock's.
    void schedule(WheelDelayTaskScheduler* scheduler);
    const TimingWheel& wheel() const { return m_wheel; }

private:
    Reactor* m_reactor;
    Clock m_clock;
    TimingWheel m_wheel;
};
