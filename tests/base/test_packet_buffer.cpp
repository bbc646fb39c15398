#include "velta/source/base/PacketBufferExt.h"

#include <gtest/gtest.h>

#include <cstring>

#include "velta/source/base/ErrorCode.h"

TEST(Packet, ViewsAndPopsWithoutOwning)
{
    const char bytes[] = "abcdef";
    Packet p(bytes, 6);
    p.pop(2);
    EXPECT_EQ(p.data(), bytes + 2);
    EXPECT_EQ(p.length(), 4u);
    p.set_length(1);
    Packet q;
    EXPECT_EQ(q.data(), nullptr);
    q.attach(&p);
    EXPECT_EQ(q.data(), bytes + 2);
    EXPECT_EQ(q.length(), 1u);
    EXPECT_EQ(Packet(bytes, -1).length(), ~0ul);
}

TEST(PacketBuffer, FreshBufferIsAllHeadroom)
{
    PacketBufferExt<1232> buf;
    EXPECT_EQ(buf.length(), 0u);
    EXPECT_EQ(buf.tail_size(), 0u);
    EXPECT_EQ(buf.head_size(), 1232u);
    char byte = 'x';
    EXPECT_EQ(buf.append(&byte, 1), EC_INSUF_BUFFER);
    EXPECT_EQ(buf.length(), 0u);
    buf.reset(1231);
    EXPECT_EQ(buf.append(&byte, 1), EC_NONE);
    EXPECT_EQ(buf.append(&byte, 1), EC_INSUF_BUFFER);
    buf.reset(1232);
    EXPECT_NE(buf.alloc(1232), nullptr);
    EXPECT_EQ(buf.alloc(1), nullptr);
    EXPECT_EQ(buf.length(), 1232u);
}

TEST(PacketBuffer, HeaderIsPrependedBeforeAppendedBody)
{
    PacketBufferExt<64> buf;
    buf.reset(8);
    ASSERT_EQ(buf.append("body", 4), EC_NONE);
    memcpy(buf.tail(), "!!", 2);
    buf.extend(2);
    char* header = buf.alloc(3);
    ASSERT_NE(header, nullptr);
    memcpy(header, "hdr", 3);
    EXPECT_EQ(std::string(buf.data(), buf.length()), "hdrbody!!");
    EXPECT_EQ(buf.head_size(), 5u);
    EXPECT_EQ(buf.tail_size(), 64u - 5 - 9);
    buf.pop(3);
    buf.truncate(4);
    EXPECT_EQ(std::string(buf.data(), buf.length()), "body");
}

TEST(PacketBuffer, MoveDataKeepsBytesAndMovesEmptyPointerOnly)
{
    PacketBufferExt<32> buf;
    buf.reset(2);
    buf.append("0123456789", 10);
    buf.move_data(4);  // overlapping move towards the tail
    EXPECT_EQ(buf.data(), buf.base() + 4);
    EXPECT_EQ(std::string(buf.data(), buf.length()), "0123456789");
    buf.move_data(0);
    EXPECT_EQ(std::string(buf.data(), buf.length()), "0123456789");

    buf.reset(10);
    buf.move_data(20);
    EXPECT_EQ(buf.data(), buf.base() + 20);
    EXPECT_EQ(buf.length(), 0u);
    EXPECT_EQ(buf.tail_size(), 12u);
}
