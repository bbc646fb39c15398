// Internal: a one-method unit of work, queued by an intrusive node.
//
// A task sits in at most one queue (ready queue, I/O wait, timer, notify
// slot); every queueing operation first unlinks it, and destroying a task
// silently removes it from whatever queue holds it.
#pragma once

#include <cstddef>

#include "velta/source/task/ListNode.h"

class Task {
public:
    Task() = default;
    Task(const Task&) = delete;
    Task& operator=(const Task&) = delete;
    virtual void wake_up() = 0;
    virtual ~Task() { cancel(); }

    void cancel()
    {
        if (!m_node.empty())
            m_node.detach();
    }
    bool in_queue() const { return !m_node.empty(); }

    // The task whose m_node this is.
    static Task* from_node(ListNode* node);

    ListNode m_node;
};

// Task is polymorphic, so offsetof is only conditionally supported; GCC and
// Clang give the plain single-inheritance offset, which is all we need.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
inline Task* Task::from_node(ListNode* node)
{
    return reinterpret_cast<Task*>(reinterpret_cast<char*>(node) - offsetof(Task, m_node));
}
#pragma GCC diagnostic pop
