#include "velta/source/task/WheelDelayTaskScheduler.h"

#include <cstddef>

#include "velta/source/task/WheelDelayTaskManager.h"

WheelDelayTaskScheduler::WheelDelayTaskScheduler(WheelDelayTaskManager* manager,
                                                 uint32_t delay_ms)
    : m_manager(manager), m_delay_ms(delay_ms)
{
}

WheelDelayTaskScheduler::~WheelDelayTaskScheduler()
{
    if (!m_node.empty())
        m_node.detach();
    m_task_queue.clear();
}

int WheelDelayTaskScheduler::schedule(Task* task)
{
    if (!m_node.empty())
        m_node.detach();
    m_task_queue.clear();
    m_task_queue.push_back(task);
    m_manager->schedule(this);
    return -1;
}

// The scheduler is polymorphic, so offsetof is only conditionally supported;
// GCC and Clang give the plain single-inheritance offset.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
WheelDelayTaskScheduler* WheelDelayTaskScheduler::from_node(ListNode* node)
{
    return reinterpret_cast<WheelDelayTaskScheduler*>(
        reinterpret_cast<char*>(static_cast<TimingWheelNode*>(node)) -
        offsetof(WheelDelayTaskScheduler, m_node));
}
#pragma GCC diagnostic pop
