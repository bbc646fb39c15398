#include "velta/source/utility/GobbleAllocator.h"

#include <cstdlib>
#include <new>

#include "velta/source/base/Fatal.h"

namespace {

unsigned long round8(unsigned long n)
{
    return (n + 7) & ~7UL;
}

}  // namespace

GobbleAllocator::GobbleAllocator(unsigned long block_size) : m_block_size(block_size) {}

GobbleAllocator::~GobbleAllocator()
{
    while (!m_blocks.empty())
        free_block(reinterpret_cast<Block*>(m_blocks.head()));
}

GobbleAllocator::Block* GobbleAllocator::newest() const
{
    return m_blocks.empty() ? nullptr : reinterpret_cast<Block*>(m_blocks.tail());
}

void* GobbleAllocator::allocate(unsigned long size, void* hint)
{
    unsigned long n = round8(size);
    Block* block = newest();
    if (block == nullptr || block->m_remaining < n)
        block = get_block(n);
    char* p = block->payload() + (block->m_capacity - block->m_remaining);
    block->m_remaining -= n;
    ++block->m_count;
    return p;
}

void GobbleAllocator::deallocate(void* p, unsigned long size)
{
    if (p == nullptr)
        return;
    // The block with the highest address not above p holds it.
    auto it = m_by_address.upper_bound(static_cast<char*>(p));
    VELTA_ASSERT(it != m_by_address.begin());
    --it;
    --reinterpret_cast<Block*>(*it)->m_count;
}

GobbleAllocator::Block* GobbleAllocator::get_block(unsigned long n)
{
    unsigned long size = round8(n > m_block_size ? n : m_block_size);
    while (!m_blocks.empty()) {
        Block* oldest = reinterpret_cast<Block*>(m_blocks.head());
        if (oldest->m_count != 0)
            break;
        if (oldest->m_capacity >= size) {
            oldest->m_node.detach();
            oldest->m_remaining = oldest->m_capacity;
            m_blocks.push_back(&oldest->m_node);
            return oldest;
        }
        free_block(oldest);
    }
    void* memory = malloc(HEADER_SIZE + size);
    if (memory == nullptr)
        VELTA_EMERGENCY_EXIT("out of memory");
    Block* block = new (memory) Block;
    block->m_capacity = size;
    block->m_remaining = size;
    block->m_count = 0;
    m_blocks.push_back(&block->m_node);
    m_by_address.insert(static_cast<char*>(memory));
    return block;
}

void GobbleAllocator::free_block(Block* block)
{
    block->m_node.detach();
    m_by_address.erase(reinterpret_cast<char*>(block));
    block->~Block();
    free(block);
}
