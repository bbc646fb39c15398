// Internal: a recursive POSIX mutex (its owner may lock it again) and the
// guard that holds it for a scope.
#pragma once

#include <pthread.h>

class Mutex {
public:
    // Constant-initialised: a Mutex of static storage is ready before any
    // static initialiser runs, so code started from one (in whatever order
    // the linker puts the files) never finds a zero-filled, non-recursive
    // mutex that deadlocks when taken again.
    constexpr Mutex() : m_mutex(PTHREAD_RECURSIVE_MUTEX_INITIALIZER_NP) {}
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;
    ~Mutex();

    void lock() { pthread_mutex_lock(&m_mutex); }
    void unlock() { pthread_mutex_unlock(&m_mutex); }

private:
    pthread_mutex_t m_mutex;
};

class MutexShield {
public:
    explicit MutexShield(Mutex* mutex) : m_mutex(mutex) { m_mutex->lock(); }
    MutexShield(const MutexShield&) = delete;
    MutexShield& operator=(const MutexShield&) = delete;
    ~MutexShield() { m_mutex->unlock(); }

private:
    Mutex* m_mutex;
};
