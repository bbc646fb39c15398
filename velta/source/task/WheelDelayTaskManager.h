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
#include "velta/source/task/TimingWheel.h"

class Reactor;
class WheelDelayTaskScheduler;

class WheelDelayTaskManager : public DelayTaskManager {
public:
    static constexpr int JIFFY_SHIFT = 3;  // 8 ms per jiffy
    static constexpr int MAX_WAIT_MS = 8;

    // The wheel starts at start_jiffy (the clock's jiffy by default).
    explicit WheelDelayTaskManager(Reactor* reactor, uint32_t start_jiffy = get_jiffies());

    // Jiffies of the monotonic clock. Derived from the 64-bit millisecond
    // count, so that it wraps at 2^32 together with the wheel's counter: a
    // 32-bit millisecond tick shifted by 3 would wrap at 2^29 and stall
    // every timer for weeks when it did.
    static uint32_t get_jiffies();

    TaskScheduler* open_delay_scheduler(unsigned ms) override;
    int run_timers() override;
    // run_timers() with the clock given as a jiffy, so that the wheel can be
    // driven without waiting for real time to pass.
    int run_timers_until(uint32_t now_jiffy);

    // Arms the scheduler: its delay counts from the wheel's current jiffy.
    void schedule(WheelDelayTaskScheduler* scheduler);
    const TimingWheel& wheel() const { return m_wheel; }

private:
    Reactor* m_reactor;
    TimingWheel m_wheel;
};
