#include "velta/source/task/SelectIoScheduler.h"

#include <cstddef>

#include "velta/source/task/SelectIoTaskManager.h"

SelectIoScheduler::~SelectIoScheduler()
{
    if (!m_list_node.empty())
        m_list_node.detach();
    m_task_queue.clear();
}

void SelectIoScheduler::queue_task(Task* task)
{
    m_task_queue.clear();
    m_task_queue.push_back(task);
}

// The scheduler is polymorphic, so offsetof is only conditionally supported;
// GCC and Clang give the plain single-inheritance offset.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
SelectIoScheduler* SelectIoScheduler::from_list_node(ListNode* node)
{
    return reinterpret_cast<SelectIoScheduler*>(reinterpret_cast<char*>(node) -
                                                offsetof(SelectIoScheduler, m_list_node));
}
#pragma GCC diagnostic pop

int SelectInputScheduler::schedule(Task* task)
{
    queue_task(task);
    m_manager->schedule_input(this);
    return -1;
}

int SelectOutputScheduler::schedule(Task* task)
{
    queue_task(task);
    m_manager->schedule_output(this);
    return -1;
}
