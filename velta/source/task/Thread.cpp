#include "velta/source/task/Thread.h"

#include <sched.h>

#include <cstdio>
#include <cstdlib>

#include "velta/source/base/Trace.h"
#include "velta/source/task/TickCount.h"

bool Thread::create()
{
    if (thread_handle() != 0)
        return true;
    pthread_t thread;
    if (pthread_create(&thread, nullptr, thread_entry, this) != 0)
        return false;
    __atomic_store_n(&m_thread, thread, __ATOMIC_RELEASE);
    m_started.unlock();
    return true;
}

void* Thread::thread_entry(void* param)
{
    Thread* thread = static_cast<Thread*>(param);
    thread->m_started.lock();
    if (thread->m_cpu >= 0) {
        cpu_set_t set;
        CPU_ZERO(&set);
        if (thread->m_cpu < CPU_SETSIZE)
            CPU_SET(thread->m_cpu, &set);
        if (thread->m_cpu >= CPU_SETSIZE ||
            pthread_setaffinity_np(pthread_self(), sizeof(set), &set) != 0) {
            trace_printf("Thread: cannot pin the thread to cpu %d, it runs unpinned\n",
                         thread->m_cpu);
            trace_flush();
        }
    }
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
    MutexShield shield(&m_join_mutex);
    pthread_t thread = thread_handle();
    if (thread == 0)
        return true;
    if (pthread_join(thread, nullptr) != 0)
        return false;
    __atomic_store_n(&m_thread, 0, __ATOMIC_RELEASE);
    return true;
}

bool Thread::is_current_thread() const
{
    if (m_thread_check == 0)
        return true;
    return pthread_equal(pthread_self(), thread_handle()) != 0;
}
