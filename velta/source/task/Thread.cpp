#include "velta/source/task/Thread.h"

#include <cstdlib>

#include "velta/source/task/TickCount.h"

bool Thread::create()
{
    if (thread_handle() != 0)
        return true;
    return pthread_create(&m_thread, nullptr, thread_entry, this) == 0;
}

void* Thread::thread_entry(void* param)
{
    Thread* thread = static_cast<Thread*>(param);
    srand(get_tick_count());
    if (thread->init_instance())
        thread->run();
    thread->exit_instance();
    // The handle stays until join(): clearing it here would let a joiner
    // that comes later skip pthread_join and leak the finished thread.
    return nullptr;
}

bool Thread::join()
{
    // Taking the handle atomically lets exactly one caller join.
    pthread_t thread = __atomic_exchange_n(&m_thread, 0, __ATOMIC_ACQ_REL);
    if (thread == 0)
        return true;
    return pthread_join(thread, nullptr) == 0;
}

bool Thread::is_current_thread() const
{
    if (m_thread_check == 0)
        return true;
    return pthread_equal(pthread_self(), thread_handle()) != 0;
}
