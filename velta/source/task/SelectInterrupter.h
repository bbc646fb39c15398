// Internal: the event counter that cuts a reactor's select wait short.
//
// interrupt() may be called from any thread; the reactor thread waits on
// fd() for reading and drains the counter with reset().
#pragma once

class SelectInterrupter {
public:
    SelectInterrupter();
    SelectInterrupter(const SelectInterrupter&) = delete;
    SelectInterrupter& operator=(const SelectInterrupter&) = delete;
    ~SelectInterrupter();

    int fd() const { return m_fd; }
    void interrupt();
    void reset();

private:
    int m_fd;
};
