#include "velta/source/task/Condition.h"

#include <cerrno>
#include <sys/time.h>

Condition::Condition()
{
    pthread_mutex_init(&m_mutex, nullptr);
    pthread_cond_init(&m_cond, nullptr);
}

Condition::~Condition()
{
    pthread_cond_destroy(&m_cond);
    pthread_mutex_destroy(&m_mutex);
}

void Condition::signal()
{
    pthread_mutex_lock(&m_mutex);
    m_signalled = true;
    pthread_cond_signal(&m_cond);
    pthread_mutex_unlock(&m_mutex);
}

void Condition::reset()
{
    pthread_mutex_lock(&m_mutex);
    m_signalled = false;
    pthread_mutex_unlock(&m_mutex);
}

int Condition::wait(unsigned ms)
{
    // The condition variable waits on the wall clock (its default).
    timeval now;
    gettimeofday(&now, nullptr);
    timespec deadline;
    deadline.tv_sec = now.tv_sec + ms / 1000;
    long usec = now.tv_usec + static_cast<long>(ms % 1000) * 1000;
    if (usec >= 1000000) {
        usec -= 1000000;
        ++deadline.tv_sec;
    }
    deadline.tv_nsec = usec * 1000;

    int result = 0;
    pthread_mutex_lock(&m_mutex);
    while (!m_signalled) {
        if (pthread_cond_timedwait(&m_cond, &m_mutex, &deadline) == ETIMEDOUT) {
            result = m_signalled ? 0 : 1;
            break;
        }
    }
    pthread_mutex_unlock(&m_mutex);
    return result;
}
