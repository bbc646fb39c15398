// Internal: one fixed-delay timer of a reactor, holding at most one task.
//
// schedule() (reactor thread) drops the task that was waiting, if any, and
// restarts the delay from the current jiffy for the new task. Deleting the
// scheduler disarms it; its task never runs.
#pragma once

#include <cstdint>

#include "velta/source/task/TaskQueue.h"
#include "velta/source/task/TaskScheduler.h"
#include "velta/source/task/TimingWheel.h"

class WheelDelayTaskManager;

class WheelDelayTaskScheduler : public TaskScheduler {
public:
    WheelDelayTaskScheduler(WheelDelayTaskManager* manager, uint32_t delay_ms);
    ~WheelDelayTaskScheduler() override;

    // Always -1: the task runs when the delay has passed.
    int schedule(Task* task) override;

    uint32_t delay_ms() const { return m_delay_ms; }
    TimingWheelNode& node() { return m_node; }
    TaskQueue& task_queue() { return m_task_queue; }
    static WheelDelayTaskScheduler* from_node(ListNode* node);

private:
    WheelDelayTaskManager* m_manager;
    TaskQueue m_task_queue;
    uint32_t m_delay_ms;
    TimingWheelNode m_node;
};
