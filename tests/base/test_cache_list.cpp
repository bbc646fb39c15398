#include "velta/source/base/CacheList.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

TEST(CacheNode, EmptiedNodeIsReusedFromItsStart)
{
    CacheNode node(8);
    char* start = node.alloc_back(6);
    ASSERT_NE(start, nullptr);
    EXPECT_EQ(node.alloc_back(3), nullptr);  // holds data, 2 bytes free
    EXPECT_EQ(node.pop_front(4), 4);
    EXPECT_EQ(node.pop_front(9), 2);
    EXPECT_EQ(node.alloc_back(8), start);
    EXPECT_EQ(node.pop_back(3), 3);
    int len = 100;
    EXPECT_EQ(node.data(len), start);
    EXPECT_EQ(len, 5);
}

TEST(CacheList, SpillsIntoSecondNodeAndDeletesTheFirstWhenDrained)
{
    CacheList list(32768);
    std::vector<char> a(20000, 'a'), b(20000, 'b');
    list.push_back(a.data(), 20000);
    char* second = list.push_back(b.data(), 20000);
    EXPECT_EQ(list.length(), 40000);

    int len = 40000;
    char* front = list.data(len);
    EXPECT_EQ(len, 20000);
    EXPECT_EQ(front[0], 'a');
    EXPECT_EQ(list.pop_front(len), 20000);

    len = 40000;
    EXPECT_EQ(list.data(len), second);
    EXPECT_EQ(len, 20000);
    EXPECT_EQ(list.pop_front(20000), 20000);
    EXPECT_TRUE(list.empty());
    EXPECT_EQ(list.length(), 0);
    // The only node stays and is reused.
    EXPECT_EQ(list.alloc_back(32768), second);
}

TEST(CacheList, OversizedRequestDoesNotOverrunItsNode)
{
    CacheList list(16);
    list.push_back("head", 4);
    std::string big(100, 'x');
    for (int i = 0; i < 100; ++i)
        big[i] = static_cast<char>('0' + i % 10);
    char* room = list.push_back(big.data(), 100);
    ASSERT_NE(room, nullptr);
    list.push_back("tail", 4);
    EXPECT_EQ(list.length(), 108);

    std::string out;
    while (!list.empty()) {
        int len = 1 << 20;
        char* p = list.data(len);
        out.append(p, len);
        list.pop_front(len);
    }
    EXPECT_EQ(out, "head" + big + "tail");
    EXPECT_EQ(list.alloc_back(-1), nullptr);
}

TEST(CacheList, OversizedRequestIntoAnEmptyListKeepsItVisible)
{
    CacheList list(16);
    list.alloc_back(64);
    EXPECT_FALSE(list.empty());
    int len = 1000;
    ASSERT_NE(list.data(len), nullptr);
    EXPECT_EQ(len, 64);
}

TEST(CacheList, LengthCountsOnlyWhatWasPoppedAndClearEmpties)
{
    CacheList list(16);
    list.push_back("abcdef", 6);
    EXPECT_EQ(list.pop_back(2), 2);
    EXPECT_EQ(list.pop_front(10), 4);
    EXPECT_EQ(list.length(), 0);

    list.push_back("0123456789", 10);
    list.push_back("0123456789", 10);
    list.clear();
    EXPECT_TRUE(list.empty());
    EXPECT_EQ(list.length(), 0);
}
