// Internal: a byte FIFO made of a chain of CacheNode chunks, for write
// queues and result streams.
//
//   m_first -> [ data | ] -> [ data ] -> ... -> m_last [ data | free ]
//
// Bytes go in at the back of the last node, in a new node of the fixed node
// size when they do not fit; they come out at the front of the first node,
// which is deleted once emptied if another follows. The list always keeps at
// least one node, and an emptied only node is reused from its start, so a
// steady stream allocates nothing. One allocation is always contiguous: a
// request larger than the node size gets a node of its own size.
#pragma once

#include "velta/source/base/CacheNode.h"

class CacheList {
public:
    explicit CacheList(int node_size);
    virtual ~CacheList();
    CacheList(const CacheList&) = delete;
    CacheList& operator=(const CacheList&) = delete;

    // n contiguous bytes at the back for the caller to fill (null for n < 0).
    char* alloc_back(int n);
    // Appends a copy of n bytes; returns where they went.
    char* push_back(const void* src, int n);
    // The longest contiguous run at the front, at most len bytes (len is
    // updated); null when the list is empty.
    char* data(int& len) const { return m_first->data(len); }
    // Drop bytes at the front (at most what data() gave) or at the back of
    // the last node; return how many went.
    int pop_front(int n);
    int pop_back(int n);
    bool empty() const;
    void clear();

    int length() const { return m_length; }
    int node_size() const { return m_node_size; }

private:
    // Deletes leading empty nodes that have a successor, so that data()
    // always sees the oldest stored bytes.
    void drop_empty_front();

    CacheNode* m_first;
    CacheNode* m_last;
    int m_node_size;
    int m_length = 0;
};
