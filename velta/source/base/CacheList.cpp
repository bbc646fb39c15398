#include "velta/source/base/CacheList.h"

#include <algorithm>
#include <cstring>

CacheList::CacheList(int node_size)
    : m_first(new CacheNode(node_size)), m_last(m_first), m_node_size(node_size)
{
}

CacheList::~CacheList()
{
    while (m_first != nullptr) {
        CacheNode* next = m_first->m_next;
        delete m_first;
        m_first = next;
    }
}

char* CacheList::alloc_back(int n)
{
    if (n < 0)
        return nullptr;
    char* room = m_last->alloc_back(n);
    if (room == nullptr) {
        CacheNode* node = new CacheNode(std::max(n, m_node_size));
        m_last->m_next = node;
        m_last = node;
        room = node->alloc_back(n);
        drop_empty_front();
    }
    m_length += n;
    return room;
}

char* CacheList::push_back(const void* src, int n)
{
    char* room = alloc_back(n);
    if (room != nullptr && n > 0)
        memcpy(room, src, static_cast<size_t>(n));
    return room;
}

int CacheList::pop_front(int n)
{
    int k = m_first->pop_front(n);
    m_length -= k;
    drop_empty_front();
    return k;
}

int CacheList::pop_back(int n)
{
    int k = m_last->pop_back(n);
    m_length -= k;
    return k;
}

bool CacheList::empty() const
{
    int len = 1;
    return data(len) == nullptr;
}

void CacheList::clear()
{
    while (!empty())
        pop_front(m_first->length());
}

void CacheList::drop_empty_front()
{
    while (m_first->length() == 0 && m_first->m_next != nullptr) {
        CacheNode* next = m_first->m_next;
        delete m_first;
        m_first = next;
    }
}
