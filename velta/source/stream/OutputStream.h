// Internal: a sink of records written one at a time, which parks a writer's
// task until it has room again.
#pragma once

#include "velta/source/task/TaskScheduler.h"

template <class T>
class OutputStream : public TaskScheduler {
public:
    int schedule(Task* task) override = 0;
    ~OutputStream() override = default;
    virtual long seek(long offset, int whence) = 0;
    virtual long tell() = 0;
    virtual int write(const T& record) = 0;
    virtual int flush() { return 0; }
    virtual int close() = 0;
};
