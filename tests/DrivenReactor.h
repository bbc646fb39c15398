// Test helper: a reactor whose timers are driven by hand. Its wheel reads a
// clock that never moves, so a timer armed during the test counts its delay
// from the wheel alone: with the real clock, a jiffy passing between two
// steps of the test would move every expiry by one. Its thread never runs.
#pragma once

#include <cstdint>

#include "velta/source/task/SelectReactor.h"
#include "velta/source/task/WheelDelayTaskManager.h"

class DrivenReactor : public SelectReactor {
public:
    DrivenReactor()
    {
        delete m_delay_manager;
        m_delay_manager = new WheelDelayTaskManager(this, frozen_clock);
    }
    WheelDelayTaskManager* manager()
    {
        return static_cast<WheelDelayTaskManager*>(m_delay_manager);
    }
    uint32_t current_jiffy() { return manager()->wheel().current_jiffy(); }
    // Fires the timers due up to the jiffy and runs the tasks they made ready.
    void advance_to(uint32_t jiffy)
    {
        manager()->run_timers_until(jiffy);
        m_ready_queue.emit_all();
    }
    // Moves the timers on by ms (whole jiffies); the wheel's jiffy is one
    // ahead of the last one it was run to.
    void advance_timers(unsigned ms)
    {
        advance_to(current_jiffy() - 1 + (ms >> WheelDelayTaskManager::JIFFY_SHIFT));
    }

private:
    static uint64_t frozen_clock() { return 1000000; }
};
