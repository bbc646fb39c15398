// Internal: a signed 64-bit counter with atomic increments.
//
// memory_barrier() is a compiler barrier only. The cross-thread hand-offs of
// the reactor (ring publication, notify and mutual slots) rely on x86-64
// store ordering plus this barrier; on a weaker memory model the publishing
// stores need release and the observing loads acquire ordering.
#pragma once

void memory_barrier();

class AtomValue {
public:
    explicit AtomValue(long value = 0) : m_value(value) {}

    long value() const { return __atomic_load_n(&m_value, __ATOMIC_RELAXED); }
    long increment() { return __atomic_add_fetch(&m_value, 1, __ATOMIC_SEQ_CST); }
    long decrement() { return __atomic_sub_fetch(&m_value, 1, __ATOMIC_SEQ_CST); }

    // Stores value into var if it holds expected; returns whether it did.
    static bool compare_exchange(volatile long& var, long value, long expected)
    {
        return __atomic_compare_exchange_n(&var, &expected, value, false, __ATOMIC_SEQ_CST,
                                           __ATOMIC_SEQ_CST);
    }

private:
    volatile long m_value;
};
