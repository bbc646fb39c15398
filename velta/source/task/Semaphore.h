// Internal: an unnamed, process-private counting semaphore.
#pragma once

#include <semaphore.h>

class Semaphore {
public:
    explicit Semaphore(unsigned count);
    Semaphore(const Semaphore&) = delete;
    Semaphore& operator=(const Semaphore&) = delete;
    ~Semaphore();

    // Waits until the count is positive and decrements it.
    bool lock();
    // Increments the count; stores the new count in value if given.
    bool unlock(int* value = nullptr);

private:
    sem_t m_sem;
};
