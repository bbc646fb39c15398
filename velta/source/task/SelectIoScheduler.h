// Internal: the wait of one task for one descriptor to become readable
// (SelectInputScheduler) or writable (SelectOutputScheduler).
//
// Reactor thread only. A scheduler holds at most one task: schedule() drops
// the task that was waiting and queues the new one. Readiness is one-shot:
// once reported, the task goes to the reactor and the scheduler stops
// waiting until it is scheduled again. Created by SelectIoTaskManager and
// owned by the caller, who deletes it before closing the descriptor.
#pragma once

#include "velta/source/task/ListNode.h"
#include "velta/source/task/TaskQueue.h"
#include "velta/source/task/TaskScheduler.h"

class SelectIoTaskManager;

class SelectIoScheduler : public TaskScheduler {
public:
    SelectIoScheduler(SelectIoTaskManager* manager, int fd) : m_manager(manager), m_fd(fd) {}
    // Stops waiting; the queued task never runs.
    ~SelectIoScheduler() override;

    int fd() const { return m_fd; }
    TaskQueue& task_queue() { return m_task_queue; }
    ListNode& list_node() { return m_list_node; }
    static SelectIoScheduler* from_list_node(ListNode* node);

protected:
    // Replaces the waiting task; the caller then puts the scheduler in its wait list.
    void queue_task(Task* task);

    SelectIoTaskManager* m_manager;
    int m_fd;
    TaskQueue m_task_queue;
    ListNode m_list_node;
};

class SelectInputScheduler : public SelectIoScheduler {
public:
    using SelectIoScheduler::SelectIoScheduler;
    // Always -1: the task runs once the descriptor is readable.
    int schedule(Task* task) override;
};

class SelectOutputScheduler : public SelectIoScheduler {
public:
    using SelectIoScheduler::SelectIoScheduler;
    // Always -1: the task runs once the descriptor is writable.
    int schedule(Task* task) override;
};
