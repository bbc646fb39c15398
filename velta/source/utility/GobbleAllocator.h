// Internal: a bump allocator for objects that die together.
//
// Memory is taken from the newest of a list of blocks (oldest first) and
// never handed back one allocation at a time: deallocate only counts the
// block's live allocations down. When the newest block is full, blocks at the
// oldest end whose allocations are all gone are recycled (or freed when too
// small for the request) before a new one is made; the search stops at the
// first block still in use. The destructor frees every block. One thread.
#pragma once

#include <cstddef>
#include <set>

#include "velta/source/base/Allocator.h"
#include "velta/source/task/ListHead.h"

class GobbleAllocator : public Allocator {
public:
    explicit GobbleAllocator(unsigned long block_size);
    GobbleAllocator(const GobbleAllocator&) = delete;
    GobbleAllocator& operator=(const GobbleAllocator&) = delete;
    ~GobbleAllocator() override;

    void* allocate(unsigned long size, void* hint = nullptr) override;
    void deallocate(void* p, unsigned long size = 0) override;

    // Blocks held now (in use or waiting for reuse).
    size_t block_count() const { return m_by_address.size(); }

private:
    struct Block {
        ListNode m_node;  // first, so a list node is its block
        unsigned long m_capacity;
        unsigned long m_remaining;
        long m_count;
        char* payload() { return reinterpret_cast<char*>(this) + HEADER_SIZE; }
    };
    static constexpr unsigned long HEADER_SIZE = (sizeof(Block) + 7) & ~7UL;

    Block* newest() const;
    Block* get_block(unsigned long n);
    void free_block(Block* block);

    unsigned long m_block_size;
    ListHead m_blocks;
    std::set<char*> m_by_address;
};
