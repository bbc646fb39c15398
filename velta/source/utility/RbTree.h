// Internal: the ordered tree of the JSON containers: a balanced search tree
// whose nodes come from the document's Allocator, so that dropping the
// document's memory drops the trees with it (they are never destroyed one by
// one).
#pragma once

#include <cstddef>
#include <map>

#include "velta/source/base/Allocator.h"

// Standard allocator over a framework Allocator it does not own.
template <class T>
class AllocatorAdaptor {
public:
    using value_type = T;

    explicit AllocatorAdaptor(Allocator* allocator) : m_allocator(allocator) {}
    template <class U>
    AllocatorAdaptor(const AllocatorAdaptor<U>& other) : m_allocator(other.m_allocator)
    {
    }

    T* allocate(std::size_t n)
    {
        return static_cast<T*>(m_allocator->allocate(n * sizeof(T), nullptr));
    }
    void deallocate(T* p, std::size_t n) { m_allocator->deallocate(p, n * sizeof(T)); }

    template <class U>
    bool operator==(const AllocatorAdaptor<U>& other) const
    {
        return m_allocator == other.m_allocator;
    }
    template <class U>
    bool operator!=(const AllocatorAdaptor<U>& other) const
    {
        return m_allocator != other.m_allocator;
    }

    Allocator* m_allocator;
};

template <class Key, class Value, class Less>
using RbTree = std::map<Key, Value, Less, AllocatorAdaptor<std::pair<const Key, Value>>>;
