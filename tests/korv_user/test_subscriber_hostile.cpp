// The subscriber against replies and packets that a faulty or hostile peer
// sends: packets a gap reply was not asked for, replies that come after
// their query gave up, copies of one packet that differ, and a snapshot
// that takes longer than the query's time-out to arrive. The late-reply
// case waits out two 3000 ms pauses, the slow snapshot about five seconds.
#include "tests/korv_user/test_subscriber_fixture.h"

#include <chrono>
#include <thread>

#include "source/mdqp_protocol/MdqpHeader.h"

using namespace subscriber_test;

namespace {

std::string gap_reply(const std::vector<uint32_t>& numbers, int volume = 1, uint16_t topic = TOPIC)
{
    std::string body;
    for (uint32_t no : numbers)
        body += field(1, mirp_packet(no, volume, false, MIRP_TYPE_MarketEvent, topic));
    return body;
}

std::vector<uint32_t> range(uint32_t begin, uint32_t end)
{
    std::vector<uint32_t> numbers;
    for (uint32_t no = begin; no < end; ++no)
        numbers.push_back(no);
    return numbers;
}

// Standard output, where the subscriber prints each packet it holds back,
// is captured from the start and thrown away.
class HostileReplyTest : public SubscriberTest {
protected:
    void SetUp() override
    {
        testing::internal::CaptureStdout();
        SubscriberTest::SetUp();
    }
    void TearDown() override
    {
        SubscriberTest::TearDown();
        testing::internal::GetCapturedStdout();
    }
    void go_live()
    {
        answer_snapshot(login(), 0);
        ASSERT_TRUE(run_until_live());
    }
    const KorvUserSubscriber::Counters& counters() const { return m_subscriber->get_counters(); }
    // The gap query the subscriber sends next, checked for its range.
    Parsed gap_query(uint32_t begin, uint32_t end)
    {
        Parsed gap = next_request();
        EXPECT_EQ(gap.trans_id, 0x33);
        EXPECT_EQ(gap.body.substr(4), le16(TOPIC) + le32(begin) + le32(end));
        return gap;
    }
};

}  // namespace

// The reply's packets beyond the range asked for once made the jump guard
// close the reply while it was being read, and the next read went through
// a null result set. They are no answer to the query: refused and counted.
TEST_F(HostileReplyTest, AGapReplyWithPacketsFarBeyondItsRangeIsReadWithoutThem)
{
    go_live();
    feed(mirp_packet(6));
    Parsed gap = gap_query(1, 6);
    std::vector<uint32_t> far = range(1000000, 1000016);
    m_peer.send(
        packet(0x34, gap.request_id, gap_reply(range(1, 6)) + gap_reply(far), MDQP_FLAG_CONTINUE));
    m_peer.send(packet(0x34, gap.request_id, gap_reply({6})));
    ASSERT_TRUE(run_until_live());
    EXPECT_EQ(m_subscriber->get_packet_no(), 6u);
    EXPECT_EQ(volume(), 106);
    EXPECT_EQ(counters().refused_reply.get(), 17u);  // the far ones, and 6 as the query ends there
    EXPECT_EQ(counters().refused_far_ahead.get(), 0u);
    EXPECT_EQ(counters().snapshot_queries.get(), 1u);
    EXPECT_EQ(m_events.count("event QryError 3 gap reply of topic 7 carries packet_no = 1000000, "
                             "asked for [1, 6)"),
              1);
    EXPECT_LE(m_events.count("QryError"), 1);
}

// Another topic's packets in a gap reply are reported like other refusals:
// the first in full, the rest counted under an event of their own.
TEST_F(HostileReplyTest, ForeignTopicPacketsOfAGapReplyAreReportedWithinBounds)
{
    go_live();
    feed(mirp_packet(3));
    Parsed gap = gap_query(1, 3);
    m_peer.send(packet(0x34, gap.request_id, gap_reply(range(1, 40), 1, 8), MDQP_FLAG_CONTINUE));
    m_peer.send(packet(0x34, gap.request_id, gap_reply({1, 2})));
    ASSERT_TRUE(run_until_live());
    EXPECT_EQ(m_subscriber->get_packet_no(), 3u);
    EXPECT_EQ(counters().refused_reply.get(), 39u);
    EXPECT_EQ(m_events.count("event QryError 3 gap reply of topic 7 carries a packet of topic 8"),
              1);
    EXPECT_EQ(m_events.count("QryError"), 1);
}

TEST_F(HostileReplyTest, TheSnapshotErrorTextIsWrittenWithEscapes)
{
    Parsed query = login();
    m_peer.send(packet(0x32, query.request_id, rsp_info(5, "no\nevent LoginRsp 5 0 ok\\")));
    ASSERT_TRUE(run_until(m_reactor, [&] { return m_events.count("QryError") > 0; }));
    EXPECT_EQ(m_events.count("event QryError 3 5 no\\x0aevent LoginRsp 5 0 ok\\\\"), 1);
}

// After a gap query's time-out gave up on the hole, its reply still came.
// It belongs to no open query: it must neither open a snapshot nor be read
// as an error answer, and the snapshot asked for then takes the book on.
TEST_F(HostileReplyTest, ALateReplyToAGapQueryThatGaveUpIsDiscarded)
{
    go_live();
    feed(mirp_packet(5));
    Parsed gap = gap_query(1, 5);
    for (uint32_t beyond = 6; beyond < 6 + KorvUserSubscriber::MAX_GAP_RETRY - 1; ++beyond) {
        m_peer.send(packet(0x34, gap.request_id, ""));
        run_iterations(m_reactor, 20);
        feed(mirp_packet(beyond));
        gap = gap_query(1, 5);
    }
    // The last query goes unanswered until its time-out gives up the hole.
    ASSERT_TRUE(run_until(m_reactor, [&] { return m_events.count("GapError") > 0; }));
    m_peer.send(packet(0x34, gap.request_id, gap_reply(range(1, 5), 1)));
    Parsed query = next_request();
    EXPECT_EQ(query.trans_id, 0x31);
    EXPECT_EQ(m_events.count("QryError"), 0);
    answer_snapshot(query, 7);
    ASSERT_TRUE(run_until_live());
    EXPECT_EQ(m_subscriber->get_packet_no(), 7u);
    EXPECT_EQ(counters().snapshot_queries.get(), 2u);
}

// A forged copy cached ahead of the line and the line's own copy of that
// number differ: neither is applied, the query server's copy settles it.
TEST_F(HostileReplyTest, TwoMulticastCopiesThatDifferWaitForTheServersCopy)
{
    go_live();
    feed(mirp_packet(4));
    Parsed gap = gap_query(1, 4);
    feed(mirp_packet(5, 50));  // forged, cached
    feed(mirp_packet(5, 1));   // the line's own
    feed(mirp_packet(5, 50));  // forged again: the number waits for the server
    m_peer.send(packet(0x34, gap.request_id, gap_reply(range(1, 4))));
    ASSERT_TRUE(run_until(m_reactor, [&] { return m_subscriber->get_packet_no() == 4; }));
    feed(mirp_packet(6));
    gap = gap_query(5, 6);
    m_peer.send(packet(0x34, gap.request_id, gap_reply({5})));
    ASSERT_TRUE(run_until_live());
    EXPECT_EQ(m_subscriber->get_packet_no(), 6u);
    EXPECT_EQ(volume(), 106);
    EXPECT_EQ(counters().copies_differ.get(), 1u);
    EXPECT_EQ(counters().forged_applied.get(), 0u);
}

// A copy the query server sends is taken over a different one cached from
// the multicast.
TEST_F(HostileReplyTest, TheServersCopyReplacesADifferentCachedOne)
{
    go_live();
    feed(mirp_packet(4));
    Parsed gap = gap_query(1, 4);
    feed(mirp_packet(2, 50));  // forged, cached inside the hole asked for
    m_peer.send(packet(0x34, gap.request_id, gap_reply({1, 2, 3})));
    ASSERT_TRUE(run_until_live());
    EXPECT_EQ(m_subscriber->get_packet_no(), 4u);
    EXPECT_EQ(volume(), 104);
    EXPECT_EQ(counters().copies_differ.get(), 1u);
}

// A forged packet applied as next in order, while a gap query covering it
// is open: the server's copy shows it, and only a snapshot can vouch for
// the book again.
TEST_F(HostileReplyTest, AForgedPacketAppliedIsFoundByTheServersCopyAndASnapshotFollows)
{
    go_live();
    feed(mirp_packet(3));
    Parsed gap = gap_query(1, 3);
    feed(mirp_packet(1, 50));  // next in order: applied at once
    EXPECT_EQ(m_subscriber->get_packet_no(), 1u);
    m_peer.send(packet(0x34, gap.request_id, gap_reply({1, 2})));
    Parsed query = next_request();
    EXPECT_EQ(query.trans_id, 0x31);
    EXPECT_EQ(counters().forged_applied.get(), 1u);
    answer_snapshot(query, 3);
    ASSERT_TRUE(run_until_live());
    EXPECT_EQ(m_subscriber->get_packet_no(), 3u);
    EXPECT_EQ(volume(), 100);
}

// A large snapshot on a slow link takes longer than the query's time-out;
// as long as its packets keep coming it is not given up.
TEST_F(HostileReplyTest, ASnapshotThatKeepsComingGoesLiveThoughItTakesLongerThanTheTimeOut)
{
    Parsed query = login();
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 5; ++i) {
        m_peer.send(packet(0x32, query.request_id, field(0x7777, "filler"), MDQP_FLAG_CONTINUE));
        run_until(m_reactor, [&] { return elapsed_ms(start) >= 1000 * (i + 1); });
    }
    m_peer.send(packet(0x32, query.request_id, snapshot_body(10)));
    ASSERT_TRUE(run_until_live());
    EXPECT_GT(elapsed_ms(start), long(KorvUserSubscriber::ACTION_DELAY));
    EXPECT_EQ(m_subscriber->get_packet_no(), 10u);
    EXPECT_EQ(counters().snapshot_queries.get(), 1u);
}

// The line moves past a hole the server could not fill and brings its own
// copy of the packet beyond it, which differs from the forged one cached
// there: the hole is gone, and the number is asked for as soon as the line
// goes on, not after a wait.
TEST_F(HostileReplyTest, TheLineReachingAForgedPacketHasItsNumberAskedForAtOnce)
{
    go_live();
    feed(mirp_packet(1));
    feed(mirp_packet(4, 50));  // forged
    Parsed gap = gap_query(2, 4);
    m_peer.send(packet(0x34, gap.request_id, ""));
    run_iterations(m_reactor, 20);
    feed(mirp_packet(2));
    feed(mirp_packet(3));
    EXPECT_EQ(m_subscriber->get_packet_no(), 3u);
    feed(mirp_packet(4));  // the line's own
    feed(mirp_packet(5));
    run_iterations(m_reactor, 20);
    EXPECT_EQ(m_stub->open_requests(), 1u);
    gap = gap_query(4, 5);
    m_peer.send(packet(0x34, gap.request_id, gap_reply({4})));
    ASSERT_TRUE(run_until_live());
    EXPECT_EQ(m_subscriber->get_packet_no(), 5u);
    EXPECT_EQ(volume(), 105);
    EXPECT_EQ(counters().copies_differ.get(), 1u);
}
