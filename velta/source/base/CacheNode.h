// Internal: one chunk of a CacheList, a byte FIFO inside a fixed array.
//
//   m_buffer        m_read             m_read + m_length       m_buffer + m_capacity
//     |<-- consumed -->|<--- stored data --->|<------- free ------->|
//
// Bytes are appended behind the stored data and consumed from its front. A
// node that has become empty starts again at the beginning of its array.
#pragma once

class CacheNode {
public:
    explicit CacheNode(int capacity);
    ~CacheNode();
    CacheNode(const CacheNode&) = delete;
    CacheNode& operator=(const CacheNode&) = delete;

    // Room for n more bytes behind the stored data, or null when the node
    // holds data and they do not fit, or n exceeds the whole array.
    char* alloc_back(int n);
    // Drop up to n bytes at the front or the back; return how many went.
    int pop_front(int n);
    int pop_back(int n);
    // The stored data and, in len, its length capped at len; null if empty.
    char* data(int& len) const;

    int capacity() const { return m_capacity; }
    int length() const { return m_length; }

    CacheNode* m_next = nullptr;

private:
    int m_capacity;
    char* m_buffer;
    int m_length = 0;
    char* m_read;
};
