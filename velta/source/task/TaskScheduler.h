// Internal: anything that accepts a task to wake later.
//
// schedule() answers -1 when the task was queued and will be woken, and 0
// when the awaited condition already holds, so the caller may go on at once.
#pragma once

class Task;

class TaskScheduler {
public:
    virtual int schedule(Task* task) = 0;
    virtual ~TaskScheduler() = default;
};
