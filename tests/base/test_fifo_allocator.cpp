#include "velta/source/base/FifoAllocator.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

TEST(FifoAllocator, BumpAllocatesRoundedToEightBytes)
{
    FifoAllocator alloc(64);
    char* a = static_cast<char*>(alloc.allocate(3, nullptr));
    char* b = static_cast<char*>(alloc.allocate(8, nullptr));
    EXPECT_EQ(b - a, 8);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(a) % 8, 0u);
    EXPECT_EQ(alloc.live_count(), 2);
    alloc.deallocate(a, 3);
    EXPECT_EQ(alloc.live_count(), 1);
    EXPECT_EQ(alloc.total_count(), 2u);
}

TEST(FifoAllocator, OldestBlockIsReusedOnceAllItsAllocationsAreFreed)
{
    FifoAllocator alloc(64);
    std::vector<void*> first;
    for (int i = 0; i < 4; ++i)
        first.push_back(alloc.allocate(16, nullptr));  // fills block 1
    void* second = alloc.allocate(16, nullptr);        // block 2
    for (void* p : first)
        alloc.deallocate(p, 16);
    // Block 2 has room left: bump allocation goes on there.
    for (int i = 0; i < 3; ++i)
        alloc.allocate(16, nullptr);
    EXPECT_EQ(alloc.allocate(16, nullptr), first[0]);  // block 1 recycled
    (void)second;
}

TEST(FifoAllocator, BlockWithOneLiveAllocationIsNeverReused)
{
    FifoAllocator alloc(64);
    std::vector<void*> block1;
    for (int i = 0; i < 4; ++i)
        block1.push_back(alloc.allocate(16, nullptr));
    for (int i = 0; i < 3; ++i)
        alloc.deallocate(block1[i], 16);  // the last one stays live
    std::vector<void*> later;
    for (int i = 0; i < 12; ++i)
        later.push_back(alloc.allocate(16, nullptr));
    for (void* p : later)
        EXPECT_NE(p, block1[0]);
    for (void* p : later)
        EXPECT_TRUE(p < block1[0] || p > block1[3]);
}

TEST(FifoAllocator, TooSmallFreedBlockMakesWayForALargerOne)
{
    FifoAllocator alloc(32);
    void* small = alloc.allocate(32, nullptr);
    alloc.deallocate(small, 32);
    char* big = static_cast<char*>(alloc.allocate(200, nullptr));
    ASSERT_NE(big, nullptr);
    for (int i = 0; i < 200; ++i)
        big[i] = 1;  // the whole request is addressable
    EXPECT_EQ(alloc.live_count(), 1);
}
