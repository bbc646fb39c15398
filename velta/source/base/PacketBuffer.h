// Internal: a Packet inside a fixed storage area with free room on both sides.
//
//   m_base                m_data              m_data + m_length    m_base + m_capacity
//     |<---- headroom ---->|<------ data ------>|<---- tailroom ---->|
//
// Bodies are appended at the tail; headers are prepended into the headroom
// afterwards with alloc(), so an outgoing message is built in place without
// copying. The storage is not owned. Lack of room is a result (alloc() gives
// null, append() gives -ENXIO), never an exception; operations that would
// break the invariant base <= data <= data + length <= base + capacity assert.
#pragma once

#include "velta/source/base/Packet.h"

class PacketBuffer : public Packet {
public:
    // All of the storage as headroom, no data.
    PacketBuffer(char* storage, unsigned long size) { init(storage, size, size, 0); }

    void init(char* storage, unsigned long capacity, unsigned long head_offset,
              unsigned long length);
    // Empties the buffer, leaving head_offset bytes of headroom.
    void reset(unsigned long head_offset);

    char* base() const { return m_base; }
    unsigned long capacity() const { return m_capacity; }
    unsigned long head_size() const { return static_cast<unsigned long>(m_data - m_base); }
    char* tail() const { return m_data + m_length; }
    unsigned long tail_size() const { return m_capacity - head_size() - m_length; }

    // Prepends n bytes for the caller to fill; null, and no change, when the
    // headroom is smaller than n.
    char* alloc(unsigned long n);
    // Drops n bytes at the front, as Packet::pop but asserted.
    void pop(unsigned long n);
    void truncate(unsigned long n);
    // Takes in n bytes that the caller wrote at tail().
    void extend(unsigned long n);
    // Copies n bytes to the tail; -ENXIO, and no change, without room.
    int append(const void* src, unsigned long n);
    // Moves the data (possibly overlapping) so that it starts head_offset
    // bytes into the storage.
    void move_data(unsigned long head_offset);

private:
    unsigned long m_capacity;
    char* m_base;
};
