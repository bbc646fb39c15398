// Internal: the timers of one reactor.
#pragma once

class TaskScheduler;

class DelayTaskManager {
public:
    virtual ~DelayTaskManager() = default;
    // A scheduler whose task runs ms milliseconds after each schedule();
    // the caller owns it.
    virtual TaskScheduler* open_delay_scheduler(unsigned ms) = 0;
    // Moves every expired task to the reactor's ready queue; returns the
    // longest the reactor may wait for I/O, in milliseconds.
    virtual int run_timers() = 0;
};
