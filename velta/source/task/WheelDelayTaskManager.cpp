#include "velta/source/task/WheelDelayTaskManager.h"

#include "velta/source/base/Fatal.h"
#include "velta/source/task/Reactor.h"
#include "velta/source/task/TickCount.h"
#include "velta/source/task/WheelDelayTaskScheduler.h"

WheelDelayTaskManager::WheelDelayTaskManager(Reactor* reactor, Clock clock)
    : m_reactor(reactor), m_clock(clock), m_wheel(get_jiffies())
{
}

uint32_t WheelDelayTaskManager::get_jiffies() const
{
    return static_cast<uint32_t>(m_clock() >> JIFFY_SHIFT);
}

// The wheel's jiffy lags the clock while the loop is busy: it advanced
// before this turn's tasks ran, and a slow task may have taken many jiffies
// since. Counting from it would shorten the delay by that much, so the
// delay counts from the clock when the clock is ahead. The wheel is ahead
// by one right after it advanced (see run_timers_until).
//
// A delay below one jiffy would have delta 0, and the wheel has already
// emptied the current jiffy's slot (see TimingWheel.h), so it would wait a
// whole turn of 2048 ms; it is given the next jiffy instead.
void WheelDelayTaskManager::schedule(WheelDelayTaskScheduler* scheduler)
{
    VELTA_ASSERT(m_reactor->is_current_thread());
    TimingWheelNode& node = scheduler->node();
    uint32_t delta = scheduler->delay_ms() >> JIFFY_SHIFT;
    uint32_t lag = get_jiffies() - m_wheel.current_jiffy();
    // Signed difference: the counters wrap together at 2^32.
    if (static_cast<int32_t>(lag) > 0)
        delta += lag;
    node.m_expires = m_wheel.calc_expires(delta == 0 ? 1 : delta, 1);
    m_wheel.add_timer(&node);
}

TaskScheduler* WheelDelayTaskManager::open_delay_scheduler(unsigned ms)
{
    return new WheelDelayTaskScheduler(this, ms);
}

int WheelDelayTaskManager::run_timers()
{
    return run_timers_until(get_jiffies());
}

int WheelDelayTaskManager::run_timers_until(uint32_t now_jiffy)
{
    // After a pause the wheel catches up jiffy by jiffy. The expired tasks
    // are collected first and handed over as one batch, so that they run
    // in expiry order, before the tasks that were already ready.
    ListHead batch;
    // Signed difference: the counters wrap together at 2^32.
    while (static_cast<int32_t>(now_jiffy - m_wheel.current_jiffy()) >= 0) {
        ListHead expired;
        m_wheel.run_timers(expired);
        while (!expired.empty()) {
            ListNode* node = expired.head();
            node->detach();
            ListHead& tasks = WheelDelayTaskScheduler::from_node(node)->task_queue().list();
            while (!tasks.empty()) {
                ListNode* task = tasks.head();
                task->detach();
                batch.push_back(task);
            }
        }
    }
    m_reactor->schedule_batch(&batch);
    return MAX_WAIT_MS;
}
