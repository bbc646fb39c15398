// Internal: a readiness source that another object feeds on the same thread.
//
// The feeding object notify()s with list nodes of its own (for example the
// nodes of arrived items); tasks waiting on the poller then run at once, on
// the notifying thread, and collect the nodes with poll().
#pragma once

#include "velta/source/task/ListHead.h"
#include "velta/source/task/TaskQueue.h"
#include "velta/source/task/TaskScheduler.h"

class Poller : public TaskScheduler {
public:
    // 0 without queuing while notified nodes wait to be polled, else -1.
    int schedule(Task* task) override;
    // The node must be unlinked; wakes every waiting task.
    void notify(ListNode& list_node);
    // Moves the notified nodes to the front of out.
    int poll(ListHead& out);

private:
    ListHead m_notified;
    TaskQueue m_waiting;
};
