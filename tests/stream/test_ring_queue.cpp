#include "velta/source/stream/RingQueue.h"

#include <gtest/gtest.h>

TEST(RingQueue, CapacityIsAPowerOfTwoWithOneSlotUnused)
{
    RingQueue<int> ring(5, 0);
    EXPECT_EQ(ring.capacity(), 8);
    for (int i = 0; i < 7; ++i) {
        EXPECT_FALSE(ring.full());
        ring.push_back(i);
    }
    EXPECT_TRUE(ring.full());
    EXPECT_EQ(ring.size(), 7u);
    EXPECT_EQ(RingQueue<int>(1, 0).capacity(), 2);
    EXPECT_EQ(RingQueue<int>(8, 0).capacity(), 8);
}

TEST(RingQueue, KeepsOrderAcrossCounterWrap)
{
    RingQueue<int> ring(4, ~0ul - 2);
    EXPECT_TRUE(ring.empty());
    for (int round = 0; round < 3; ++round) {
        for (int i = 0; i < 3; ++i)
            ring.push_back(round * 10 + i);
        EXPECT_TRUE(ring.full());
        for (int i = 0; i < 3; ++i) {
            EXPECT_EQ(ring.front(), round * 10 + i);
            ring.pop_front();
        }
        EXPECT_TRUE(ring.empty());
    }
    EXPECT_EQ(ring.read_pos(), ring.write_pos());
    EXPECT_EQ(ring.write_pos(), 6u);  // wrapped past zero
}
