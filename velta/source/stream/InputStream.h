// Internal: a source of records read one at a time, which parks a reader's
// task until there is something to read.
#pragma once

#include "velta/source/task/TaskScheduler.h"

template <class T>
class InputStream : public TaskScheduler {
public:
    int schedule(Task* task) override = 0;
    ~InputStream() override = default;
    virtual long seek(long offset, int whence) = 0;
    virtual long tell() = 0;
    virtual int read(T& out) = 0;
    virtual int close() = 0;
};
