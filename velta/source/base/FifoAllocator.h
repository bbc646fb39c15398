// Internal: an allocator for blocks of memory that are freed in the order
// they were allocated, such as packets queued on their way through a pipe.
//
// Allocations are bump-allocated from the newest of a list of large blocks;
// deallocate() only counts. Because frees arrive in allocation order, the
// number of allocations freed so far (total - recycled - live) tells how
// many of the oldest allocations are gone: once it covers every allocation
// of the oldest block, that block holds nothing live and is recycled as the
// new newest block (or freed, when too small for the request at hand).
//
//   oldest                                                   newest
//   [hdr| freed ... freed ] -> [hdr| freed | live | live ] -> [hdr| live | free ]
//
// The block list belongs to the allocating thread; the live count is atomic
// so that deallocate() may run on another thread.
#pragma once

#include "velta/source/base/Allocator.h"
#include "velta/source/task/AtomValue.h"
#include "velta/source/task/ListHead.h"

class FifoAllocator : public Allocator {
public:
    explicit FifoAllocator(unsigned long block_size);
    ~FifoAllocator() override;
    FifoAllocator(const FifoAllocator&) = delete;
    FifoAllocator& operator=(const FifoAllocator&) = delete;

    // size rounded up to a multiple of 8; the hint is ignored.
    void* allocate(unsigned long size, void* hint) override;
    // Must be called in the order of allocation.
    void deallocate(void* p, unsigned long size) override;

    long live_count() const { return m_live.value(); }
    unsigned long total_count() const { return m_total; }

private:
    struct Block {
        unsigned long capacity;   // payload bytes
        unsigned long remaining;  // payload bytes not yet handed out
        unsigned long count;      // allocations made from this block
        ListNode node;
        char* payload() { return reinterpret_cast<char*>(this + 1); }
    };
    static_assert(sizeof(Block) == 40, "block header");

    static Block* from_node(ListNode* node);
    // A block with room for n bytes; live is the live count before the
    // allocation it is for.
    Block* alloc_block(unsigned long n, unsigned long live);

    unsigned long m_block_size;
    ListHead m_blocks;  // oldest first
    AtomValue m_live;
    unsigned long m_recycled = 0;
    unsigned long m_total = 0;
};
