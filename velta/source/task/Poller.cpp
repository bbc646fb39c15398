#include "velta/source/task/Poller.h"

#include "velta/source/base/Fatal.h"

// The poller only hands nodes over: it never owns what they belong to, and
// it runs its waiting tasks on the notifying thread, inside notify(), so a
// producer and its consumer share one thread and need no lock.
//
// A waiting task is woken once per notify(); it drains the notified list with
// poll() and schedules itself again when it wants the next batch. schedule()
// answers 0 while nodes are still waiting, so a consumer that was woken by
// notify() but did not poll yet simply goes on instead of parking.
//
// The node passed to notify() must not be linked anywhere: a node in two
// lists would corrupt both, which the assertion below catches before any
// list is touched.

int Poller::schedule(Task* task)
{
    if (!m_notified.empty())
        return 0;
    m_waiting.push_back(task);
    return -1;
}

int Poller::poll(ListHead& out)
{
    out.splice(&m_notified);
    m_notified.init();
    return 0;
}

// The consumer is woken after the node is in the list, so that a poll()
// called from its wake_up finds it. The assertion guards the intrusive link:
// a node that already sits in another list would be unlinked from it
// half-way and leave that list pointing at a node it no longer owns.
// Notifying from a waiting task's own wake_up is allowed: the tasks queued
// again while emit_all() runs wait for the next notify().

void Poller::notify(ListNode& list_node)
{
    VELTA_ASSERT(list_node.empty());
    m_notified.push_back(&list_node);
    m_waiting.emit_all();
}
