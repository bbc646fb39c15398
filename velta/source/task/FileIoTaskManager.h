// Internal: descriptor readiness for one reactor.
#pragma once

class TaskScheduler;

class FileIoTaskManager {
public:
    virtual ~FileIoTaskManager() = default;
    // Schedulers whose task runs once the descriptor is readable / writable;
    // the caller owns them and deletes them before closing the descriptor.
    // Null when the descriptor cannot be waited for.
    virtual TaskScheduler* open_input_scheduler(int fd) = 0;
    virtual TaskScheduler* open_output_scheduler(int fd) = 0;
    // Any thread: the current or next poll() returns at once.
    virtual void interrupt() = 0;
    // Reactor thread: waits up to timeout_ms for readiness or an interrupt
    // and hands the tasks of ready descriptors to the reactor.
    virtual int poll(unsigned timeout_ms) = 0;
};
