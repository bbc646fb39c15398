#include "source/korv_user/KorvMdqpResultSet.h"

#include <gtest/gtest.h>

#include <string>

#include "velta/source/base/ErrorCode.h"
#include "velta/source/base/PacketBufferExt.h"

using KORV::USER::KorvMdqpResultSet;

namespace {

struct CountingTask : Task {
    void wake_up() override { ++runs; }
    int runs = 0;
};

Packet view(const std::string& s)
{
    return Packet(s.data(), static_cast<int>(s.size()));
}

}  // namespace

TEST(KorvMdqpResultSet, ReadsNothingUntilCompleteThenOneBodyPerCall)
{
    KorvMdqpResultSet set(nullptr, 3);
    std::string a(100, 'a'), b(1500, 'b'), c;
    CountingTask reader;
    EXPECT_EQ(set.schedule(&reader), EC_WOULDBLOCK);
    EXPECT_EQ(set.append(view(a)), 0);
    EXPECT_EQ(set.append(view(b)), 0);

    PacketBufferExt<1536> out;
    out.reset(0);
    EXPECT_EQ(set.read(out), EC_WOULDBLOCK);  // bodies held, reply not complete
    EXPECT_EQ(reader.runs, 0);

    EXPECT_EQ(set.append(view(c)), 0);
    set.notify();
    EXPECT_EQ(reader.runs, 1);
    EXPECT_EQ(set.schedule(&reader), 0);  // complete: not parked
    EXPECT_FALSE(reader.in_queue());

    ASSERT_EQ(set.read(out), 0);
    EXPECT_EQ(std::string(out.data(), out.length()), a);

    // Too little room for the next body: refused, nothing consumed.
    PacketBufferExt<1536> small;
    small.reset(100);
    EXPECT_EQ(set.read(small), EC_INSUF_BUFFER);
    EXPECT_EQ(small.length(), 0u);
    out.reset(0);
    ASSERT_EQ(set.read(out), 0);
    EXPECT_EQ(std::string(out.data(), out.length()), b);

    out.reset(0);
    EXPECT_EQ(set.read(out), 0);  // an empty body is a body
    EXPECT_EQ(out.length(), 0u);
    EXPECT_EQ(set.read(out), EC_CLOSED);
    EXPECT_EQ(set.read(out), EC_CLOSED);
}

TEST(KorvMdqpResultSet, ReplyOutgrowingTheLimitIsRefusedAndNeverCompletes)
{
    KorvMdqpResultSet set(nullptr, 4);
    std::string block(KorvMdqpResultSet::CACHE_BLOCK, 'x');
    EXPECT_EQ(set.append(view(block + "y")), EC_INSUF_BUFFER);
    EXPECT_EQ(set.append(view("z")), EC_DISCARD);

    KorvMdqpResultSet big(nullptr, 5);
    int appended = 0;
    while (big.append(view(block)) == 0)
        ASSERT_LE(++appended, KorvMdqpResultSet::MAX_RESULT_BYTES / KorvMdqpResultSet::CACHE_BLOCK);
    EXPECT_EQ(appended, KorvMdqpResultSet::MAX_RESULT_BYTES / KorvMdqpResultSet::CACHE_BLOCK);
    EXPECT_EQ(big.append(view("z")), EC_DISCARD);

    CountingTask reader;
    EXPECT_EQ(big.schedule(&reader), EC_WOULDBLOCK);
    big.notify();
    EXPECT_EQ(reader.runs, 0);
    PacketBufferExt<64> out;
    out.reset(0);
    EXPECT_EQ(big.read(out), EC_WOULDBLOCK);
}
