#include "velta/source/task/Semaphore.h"

#include <cerrno>

Semaphore::Semaphore(unsigned count)
{
    sem_init(&m_sem, 0, count);
}

Semaphore::~Semaphore()
{
    sem_destroy(&m_sem);
}

bool Semaphore::lock()
{
    int ret;
    do
        ret = sem_wait(&m_sem);
    while (ret != 0 && errno == EINTR);
    return ret == 0;
}

bool Semaphore::unlock(int* value)
{
    if (sem_post(&m_sem) != 0)
        return false;
    if (value != nullptr)
        sem_getvalue(&m_sem, value);
    return true;
}
