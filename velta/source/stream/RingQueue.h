// Internal: a bounded single-producer single-consumer queue.
//
// The read and write positions are counters that only grow; an element's
// slot is its position modulo the capacity, a power of two. One slot always
// stays unused, so the ring is full at capacity - 1 elements. The producer
// stores the element before it publishes the new write position (release),
// and the consumer reads the position (acquire) before the element, so one
// producer thread and one consumer thread may use the ring at once.
#pragma once

template <class T>
class RingQueue {
public:
    RingQueue(int n, unsigned long start) : m_read(start), m_write(start)
    {
        m_capacity = 2;
        while (m_capacity < n)
            m_capacity *= 2;
        m_array = new T[m_capacity];
    }
    ~RingQueue() { delete[] m_array; }
    RingQueue(const RingQueue&) = delete;
    RingQueue& operator=(const RingQueue&) = delete;

    // Producer only; the caller checks full() first.
    void push_back(const T& value)
    {
        unsigned long write = m_write;
        m_array[write & mask()] = value;
        __atomic_store_n(&m_write, write + 1, __ATOMIC_RELEASE);
    }

    // Consumer only.
    T& front() { return m_array[m_read & mask()]; }
    void pop_front() { __atomic_store_n(&m_read, m_read + 1, __ATOMIC_RELEASE); }

    unsigned long size() const { return write_pos() - read_pos(); }
    bool empty() const { return size() == 0; }
    bool full() const { return size() == static_cast<unsigned long>(m_capacity - 1); }
    int capacity() const { return m_capacity; }
    unsigned long read_pos() const { return __atomic_load_n(&m_read, __ATOMIC_ACQUIRE); }
    unsigned long write_pos() const { return __atomic_load_n(&m_write, __ATOMIC_ACQUIRE); }

private:
    unsigned long mask() const { return static_cast<unsigned long>(m_capacity - 1); }

    int m_capacity;
    T* m_array;
    unsigned long m_read;
    unsigned long m_write;
};
