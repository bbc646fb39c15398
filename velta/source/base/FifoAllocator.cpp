#include "velta/source/base/FifoAllocator.h"

#include <cstddef>
#include <new>

namespace {

unsigned long round_up8(unsigned long n)
{
    return (n + 7) & ~7ul;
}

}  // namespace

FifoAllocator::FifoAllocator(unsigned long block_size) : m_block_size(block_size) {}

FifoAllocator::~FifoAllocator()
{
    while (!m_blocks.empty()) {
        Block* block = from_node(m_blocks.head());
        block->node.detach();
        block->~Block();
        ::operator delete(block);
    }
}

FifoAllocator::Block* FifoAllocator::from_node(ListNode* node)
{
    return reinterpret_cast<Block*>(reinterpret_cast<char*>(node) - offsetof(Block, node));
}

void* FifoAllocator::allocate(unsigned long size, void* hint)
{
    unsigned long n = round_up8(size);
    // Counting the new allocation first makes the atomic increment the read
    // of the live count: it sees every deallocate() made so far, and orders
    // the consumer's last use of recycled memory before its reuse here.
    long live_before = m_live.increment() - 1;
    Block* block = m_blocks.empty() ? nullptr : from_node(m_blocks.tail());
    if (block == nullptr || block->remaining < n)
        block = alloc_block(n, static_cast<unsigned long>(live_before));
    char* p = block->payload() + (block->capacity - block->remaining);
    block->remaining -= n;
    block->count += 1;
    m_total += 1;
    return p;
}

void FifoAllocator::deallocate(void* p, unsigned long size)
{
    m_live.decrement();
}

FifoAllocator::Block* FifoAllocator::alloc_block(unsigned long n, unsigned long live)
{
    unsigned long size = round_up8(n > m_block_size ? n : m_block_size);
    Block* chosen = nullptr;
    while (!m_blocks.empty()) {
        Block* oldest = from_node(m_blocks.head());
        unsigned long freed = m_total - m_recycled - live;
        if (freed < oldest->count)
            break;
        m_recycled += oldest->count;
        oldest->node.detach();
        if (oldest->capacity >= size) {
            chosen = oldest;
            break;
        }
        oldest->~Block();
        ::operator delete(oldest);
    }
    if (chosen == nullptr) {
        chosen = new (::operator new(sizeof(Block) + size)) Block;
        chosen->capacity = size;
    }
    chosen->count = 0;
    chosen->remaining = chosen->capacity;
    m_blocks.push_back(&chosen->node);
    return chosen;
}
