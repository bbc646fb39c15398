#include "velta/source/utility/GobbleAllocator.h"

#include <gtest/gtest.h>

TEST(GobbleAllocator, BumpsWithinABlockInMultiplesOfEight)
{
    GobbleAllocator allocator(4096);
    char* a = static_cast<char*>(allocator.allocate(1));
    char* b = static_cast<char*>(allocator.allocate(13));
    char* c = static_cast<char*>(allocator.allocate(8));
    EXPECT_EQ(b - a, 8);
    EXPECT_EQ(c - b, 16);
    EXPECT_EQ(allocator.block_count(), 1u);
}

TEST(GobbleAllocator, LargeRequestsGetABlockOfTheirOwn)
{
    GobbleAllocator allocator(4096);
    allocator.allocate(100);
    char* big = static_cast<char*>(allocator.allocate(10000));
    big[9999] = 1;
    EXPECT_EQ(allocator.block_count(), 2u);
}

TEST(GobbleAllocator, OldestFreeBlockIsReusedAndBlockInUseStopsTheSearch)
{
    GobbleAllocator allocator(4096);
    void* first = allocator.allocate(4000);
    void* second = allocator.allocate(4000);
    allocator.deallocate(first);
    // The oldest block is free: it is recycled for the next block.
    void* third = allocator.allocate(4000);
    EXPECT_EQ(third, first);
    EXPECT_EQ(allocator.block_count(), 2u);
    // Now the oldest block (second) is in use: a new one is made.
    allocator.deallocate(third);
    allocator.allocate(4000);
    EXPECT_EQ(allocator.block_count(), 3u);
    allocator.deallocate(second);
}

TEST(GobbleAllocator, FreeBlocksTooSmallAreReleased)
{
    GobbleAllocator allocator(4096);
    void* small = allocator.allocate(4000);
    allocator.deallocate(small);
    allocator.allocate(9000);
    EXPECT_EQ(allocator.block_count(), 1u);
}
