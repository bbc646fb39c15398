// Internal: a flag that one thread raises and another waits for, with a
// time limit. The flag stays raised after a successful wait until reset().
#pragma once

#include <pthread.h>

class Condition {
public:
    Condition();
    Condition(const Condition&) = delete;
    Condition& operator=(const Condition&) = delete;
    ~Condition();

    void signal();
    void reset();
    // 0 once the flag is raised, 1 when ms milliseconds passed without it.
    int wait(unsigned ms);

private:
    pthread_mutex_t m_mutex;
    pthread_cond_t m_cond;
    bool m_signalled = false;
};
