#include "velta/source/base/CacheNode.h"

#include <algorithm>

#include "velta/source/base/Fatal.h"

CacheNode::CacheNode(int capacity)
    : m_capacity(capacity), m_buffer(new char[capacity]), m_read(m_buffer)
{
    VELTA_ASSERT(capacity > 0);
}

CacheNode::~CacheNode()
{
    delete[] m_buffer;
}

char* CacheNode::alloc_back(int n)
{
    if (n < 0 || n > m_capacity)
        return nullptr;
    char* end = m_read + m_length;
    if (n > m_buffer + m_capacity - end) {
        if (m_length > 0)
            return nullptr;
        m_read = m_buffer;
        end = m_read;
    }
    m_length += n;
    return end;
}

int CacheNode::pop_front(int n)
{
    int k = std::max(0, std::min(m_length, n));
    m_read += k;
    m_length -= k;
    return k;
}

int CacheNode::pop_back(int n)
{
    int k = std::max(0, std::min(m_length, n));
    m_length -= k;
    return k;
}

char* CacheNode::data(int& len) const
{
    if (m_length == 0)
        return nullptr;
    len = std::min(m_length, len);
    return m_read;
}
