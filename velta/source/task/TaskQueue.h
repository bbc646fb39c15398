// Internal: a FIFO of tasks linked through their own nodes; never allocates.
#pragma once

#include "velta/source/task/ListHead.h"
#include "velta/source/task/Task.h"

class TaskQueue {
public:
    TaskQueue() = default;
    TaskQueue(const TaskQueue&) = delete;
    TaskQueue& operator=(const TaskQueue&) = delete;
    ~TaskQueue() { clear(); }

    // A null task is ignored; a queued task first leaves its old queue.
    void push_back(Task* task)
    {
        if (task == nullptr)
            return;
        task->cancel();
        m_list.push_back(&task->m_node);
    }

    // Moves every task of batch to the FRONT of the queue and empties batch.
    void push_back(ListHead* batch)
    {
        m_list.splice(batch);
        batch->init();
    }

    // Runs every task queued now, in order. Tasks queued again while this
    // runs wait for the next call.
    void emit_all()
    {
        if (m_list.empty())
            return;
        ListHead local;
        local.splice(&m_list);
        m_list.init();
        while (!local.empty()) {
            ListNode* node = local.head();
            node->detach();
            Task::from_node(node)->wake_up();
        }
    }

    void clear()
    {
        while (!m_list.empty())
            m_list.head()->detach();
    }

    bool empty() const { return m_list.empty(); }
    ListHead& list() { return m_list; }

private:
    ListHead m_list;
};
