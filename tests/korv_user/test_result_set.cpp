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

// A large reply is taken in while it still comes: each body wakes the parked
// reader and can be read at once; only after the last does read() say the
// reply ended.
TEST(KorvMdqpResultSet, EachBodyWakesTheReaderAndIsReadInOrderUntilTheLast)
{
    KorvMdqpResultSet set(nullptr, 3);
    std::string a(100, 'a'), b(1500, 'b'), c;
    CountingTask reader;
    PacketBufferExt<1536> out;
    out.reset(0);
    EXPECT_EQ(set.read(out), EC_WOULDBLOCK);  // nothing came yet
    EXPECT_EQ(set.schedule(&reader), EC_WOULDBLOCK);
    EXPECT_EQ(set.append(view(a), false), 0);
    EXPECT_EQ(reader.runs, 1);
    EXPECT_EQ(set.append(view(b), false), 0);
    EXPECT_EQ(reader.runs, 1);            // woken once; not parked again yet
    EXPECT_EQ(set.schedule(&reader), 0);  // bodies wait: not parked
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
    EXPECT_EQ(set.read(out), EC_WOULDBLOCK);  // more to come

    EXPECT_EQ(set.schedule(&reader), EC_WOULDBLOCK);
    EXPECT_EQ(set.append(view(c), true), 0);
    EXPECT_EQ(reader.runs, 2);
    EXPECT_EQ(set.schedule(&reader), 0);  // complete: not parked
    out.reset(0);
    EXPECT_EQ(set.read(out), 0);  // an empty body is a body
    EXPECT_EQ(out.length(), 0u);
    EXPECT_EQ(set.read(out), EC_CLOSED);
    EXPECT_EQ(set.read(out), EC_CLOSED);
    // A body after the last belongs to no reply.
    EXPECT_EQ(set.append(view(a), false), EC_DISCARD);
    EXPECT_EQ(set.read(out), EC_CLOSED);
}

TEST(KorvMdqpResultSet, ReplyOutgrowingTheLimitIsRefusedAndNeverCompletes)
{
    KorvMdqpResultSet set(nullptr, 4);
    std::string block(KorvMdqpResultSet::CACHE_BLOCK, 'x');
    EXPECT_EQ(set.append(view(block + "y"), false), EC_INSUF_BUFFER);
    EXPECT_EQ(set.append(view("z"), true), EC_DISCARD);

    KorvMdqpResultSet big(nullptr, 5);
    int appended = 0;
    while (big.append(view(block), false) == 0)
        ASSERT_LE(++appended, KorvMdqpResultSet::MAX_RESULT_BYTES / KorvMdqpResultSet::CACHE_BLOCK);
    EXPECT_EQ(appended, KorvMdqpResultSet::MAX_RESULT_BYTES / KorvMdqpResultSet::CACHE_BLOCK);
    CountingTask reader;
    EXPECT_EQ(big.schedule(&reader), 0);  // the bodies before the refusal wait
    EXPECT_EQ(big.append(view("z"), true), EC_DISCARD);
    EXPECT_EQ(reader.runs, 0);
    PacketBufferExt<KorvMdqpResultSet::CACHE_BLOCK> out;
    for (int i = 0; i < appended; ++i) {
        out.reset(0);
        ASSERT_EQ(big.read(out), 0);
    }
    EXPECT_EQ(big.read(out), EC_WOULDBLOCK);  // never complete
}
