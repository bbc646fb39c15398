// Internal: one POSIX thread that runs the virtual run() of its object.
//
// create() starts the thread: it calls init_instance(), then run() if that
// succeeded, then exit_instance(). join() waits for it to end and forgets
// the handle, so the object can be started again; it is safe to call twice
// and from several threads (each returns once the thread has ended).
//
// The thread check is off: is_current_thread() answers true on every thread,
// which is what lets objects schedule their first tasks on their reactor from
// the thread that builds them. A subclass may turn it on (m_thread_check) to
// make the reactor's thread assertions and cross-thread paths real.
#pragma once

#include <pthread.h>

#include "velta/source/task/Mutex.h"
#include "velta/source/task/Semaphore.h"

class Thread {
public:
    Thread() = default;
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;
    virtual ~Thread() = default;

    // Before create(): the CPU the thread is pinned to (-1, the default:
    // wherever the system puts it). A CPU that cannot be taken is reported
    // on standard output and the thread runs unpinned.
    void set_cpu(int cpu) { m_cpu = cpu; }
    // True at once if a thread was started and not yet joined.
    virtual bool create();
    virtual bool init_instance() { return true; }
    virtual void exit_instance() {}
    virtual void run() = 0;

    void exit_thread() {}
    // True at once if no thread was started; false if joining failed.
    bool join();
    bool is_current_thread() const;
    pthread_t thread_handle() const { return __atomic_load_n(&m_thread, __ATOMIC_ACQUIRE); }

protected:
    pthread_t m_thread = 0;
    int m_thread_check = 0;
    int m_cpu = -1;

private:
    // Holds the new thread until its handle is stored, so that its own
    // is_current_thread() already knows it.
    Semaphore m_started{0};
    // The handle stays valid until the thread has ended, and concurrent
    // joiners all return only once it has.
    Mutex m_join_mutex;

    static void* thread_entry(void* param);
};
