#include "velta/source/base/PacketBuffer.h"

#include <cstring>

#include "velta/source/base/ErrorCode.h"
#include "velta/source/base/Fatal.h"

void PacketBuffer::init(char* storage, unsigned long capacity, unsigned long head_offset,
                        unsigned long length)
{
    VELTA_ASSERT(head_offset <= capacity && length <= capacity - head_offset);
    m_base = storage;
    m_capacity = capacity;
    m_data = storage + head_offset;
    m_length = length;
}

void PacketBuffer::reset(unsigned long head_offset)
{
    VELTA_ASSERT(head_offset <= m_capacity);
    m_data = m_base + head_offset;
    m_length = 0;
}

char* PacketBuffer::alloc(unsigned long n)
{
    if (head_size() < n)
        return nullptr;
    m_data -= n;
    m_length += n;
    return m_data;
}

void PacketBuffer::pop(unsigned long n)
{
    VELTA_ASSERT(n <= m_length);
    Packet::pop(n);
}

void PacketBuffer::truncate(unsigned long n)
{
    VELTA_ASSERT(n <= m_capacity - head_size());
    m_length = n;
}

void PacketBuffer::extend(unsigned long n)
{
    VELTA_ASSERT(n <= tail_size());
    m_length += n;
}

int PacketBuffer::append(const void* src, unsigned long n)
{
    if (tail_size() < n)
        return EC_INSUF_BUFFER;
    if (n > 0)
        memcpy(tail(), src, n);
    m_length += n;
    return EC_NONE;
}

void PacketBuffer::move_data(unsigned long head_offset)
{
    VELTA_ASSERT(head_offset <= m_capacity && m_length <= m_capacity - head_offset);
    char* to = m_base + head_offset;
    if (m_length > 0)
        memmove(to, m_data, m_length);
    m_data = to;
}
