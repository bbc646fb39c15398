// The subscriber against a real stub and a small MDQP peer on 127.0.0.1.
// The QryError and gap retry cases each wait out one 3000 ms pause on the
// real clock, the logged-out case the stub's 5000 ms pause after its last
// server.
#include "tests/korv_user/test_subscriber_fixture.h"

#include <cstdio>

using namespace subscriber_test;

namespace {

std::string gap_reply(const std::vector<uint32_t>& numbers)
{
    std::string body;
    for (uint32_t no : numbers)
        body += field(1, mirp_packet(no));
    return body;
}

}  // namespace

TEST_F(SubscriberTest, SnapshotAtTenReplaysTheCacheAppliesEachPacketOnceAndFillsAGap)
{
    Parsed query = login();
    EXPECT_EQ(m_subscriber->get_state(), KorvUserSubscriber::SID_QrySnap);
    testing::internal::CaptureStdout();
    for (uint32_t no = 8; no <= 14; ++no)
        feed(mirp_packet(no));
    feed(mirp_packet(9));  // a second copy is not cached twice
    EXPECT_EQ(m_subscriber->get_cached_count(), 7u);

    answer_snapshot(query, 10);
    ASSERT_TRUE(run_until_live());
    EXPECT_EQ(m_subscriber->get_packet_no(), 14u);
    EXPECT_EQ(volume(), 104);  // 8 to 10 are in the snapshot already
    feed(mirp_packet(12));
    EXPECT_EQ(volume(), 104);

    feed(mirp_packet(17, 5));
    Parsed gap = next_request();
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("rsp qry topic packet no = 10\n"), std::string::npos);
    EXPECT_NE(out.find("qry_topic_gap [15, 17)\n"), std::string::npos);
    EXPECT_EQ(gap.trans_id, 0x33);
    EXPECT_EQ(gap.body.substr(4), le16(TOPIC) + le32(15) + le32(17));
    EXPECT_EQ(m_subscriber->get_cached_count(), 1u);

    m_peer.send(packet(0x34, gap.request_id, gap_reply({15, 16})));
    ASSERT_TRUE(run_until_live());
    EXPECT_EQ(m_subscriber->get_packet_no(), 17u);
    EXPECT_EQ(volume(), 111);
}

TEST_F(SubscriberTest, ContinuedBatchIsCommittedOnceAndHeartbeatChangesNothing)
{
    answer_snapshot(login(), 0);
    ASSERT_TRUE(run_until_live());
    int snap_no = m_subscriber->get_snap_no();
    int calls = m_handler.calls;

    feed(mirp_packet(1, 1, true));
    feed(mirp_packet(2, 1, true));
    EXPECT_EQ(m_handler.calls, calls);
    feed(mirp_packet(3, 1, false));
    EXPECT_EQ(m_handler.calls, calls + 1);
    EXPECT_EQ(m_handler.last_volume, 103);
    EXPECT_EQ(m_subscriber->get_snap_no(), snap_no + 1);

    testing::internal::CaptureStdout();
    feed(mirp_packet(4, 0, false, MIRP_TYPE_Heartbeat));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(m_subscriber->get_packet_no(), 3u);
    EXPECT_EQ(m_subscriber->get_state(), KorvUserSubscriber::SID_Live);
    EXPECT_EQ(m_subscriber->get_cached_count(), 0u);
}

TEST_F(SubscriberTest, BacklogIsReplayedInRunsOfAHundredAndALivePacketWaitsBehindIt)
{
    Parsed query = login();
    testing::internal::CaptureStdout();
    for (uint32_t no = 1; no <= 250; ++no)
        feed(mirp_packet(no));
    answer_snapshot(query, 0);
    ASSERT_TRUE(run_until(
        m_reactor, [&] { return m_subscriber->get_state() == KorvUserSubscriber::SID_Live; }));

    std::vector<size_t> seen;
    bool injected = false;
    while (m_subscriber->get_state() == KorvUserSubscriber::SID_Live && seen.size() < 20) {
        m_reactor.wake_up();
        size_t cached = m_subscriber->get_cached_count();
        if (seen.empty() || seen.back() != cached)
            seen.push_back(cached);
        // A live packet beyond the backlog between two runs: it is cached
        // behind the backlog, and its gap is queried only when reached.
        if (!injected && cached == 150) {
            feed(mirp_packet(252));
            injected = true;
        }
    }
    EXPECT_EQ(seen, (std::vector<size_t>{150, 51, 1}));
    Parsed gap = next_request();
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(gap.body.substr(4), le16(TOPIC) + le32(251) + le32(252));
    m_peer.send(packet(0x34, gap.request_id, gap_reply({251})));
    ASSERT_TRUE(run_until_live());
    EXPECT_EQ(m_subscriber->get_packet_no(), 252u);
    EXPECT_EQ(volume(), 352);
}

TEST_F(SubscriberTest, QryErrorAppliesNothingAndTheSnapshotIsQueriedAgain)
{
    Parsed query = login();
    m_peer.send(packet(0x32, query.request_id, rsp_info(-7002, "no data") + snapshot_body(0)));
    Parsed again = next_request();
    EXPECT_EQ(again.trans_id, 0x31);
    EXPECT_NE(again.request_id, query.request_id);
    EXPECT_EQ(m_events.count("event QryError 3 -7002 no data"), 1);
    EXPECT_EQ(m_topic.get_instrument_count(), 0);
    EXPECT_EQ(m_handler.calls, 0);

    answer_snapshot(again, 0);
    ASSERT_TRUE(run_until_live());
    EXPECT_EQ(m_handler.calls, 1);
}

TEST_F(SubscriberTest, AnAnswerCutShortBeforeItsErrorIdIsNoSuccess)
{
    Parsed query = login();
    // Two bytes of an error id: read as 0 it would pass for a success, and
    // the rest of the packet, the whole snapshot, would be skipped.
    m_peer.send(packet(0x32, query.request_id, field(1, std::string(2, '\0')) + snapshot_body(0)));
    Parsed again = next_request();
    EXPECT_EQ(again.trans_id, 0x31);
    EXPECT_NE(again.request_id, query.request_id);
    EXPECT_EQ(m_events.count("event MdqpError 3 snapshot field 0x0001 refused: 2 bytes of 4"), 1);
    EXPECT_EQ(m_events.count("QryError"), 0);
    EXPECT_EQ(m_subscriber->get_state(), KorvUserSubscriber::SID_QrySnap);
    EXPECT_EQ(m_handler.calls, 0);

    answer_snapshot(again, 0);
    ASSERT_TRUE(run_until_live());
    EXPECT_EQ(m_handler.calls, 1);
}

TEST_F(SubscriberTest, WithoutACipherMarketEventsAreDroppedWithOneReport)
{
    Parsed query = login();
    m_peer.send(packet(0x32, query.request_id, snapshot_body(0, '9')));
    ASSERT_TRUE(run_until_live());
    testing::internal::CaptureStdout();
    feed(mirp_packet(1));
    feed(mirp_packet(2));
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(volume(), 100);
    EXPECT_EQ(m_subscriber->get_packet_no(), 2u);
    EXPECT_EQ(m_events.count("event MirpError 3 topic_id = 7, no cipher"), 1);
}

TEST_F(SubscriberTest, ContentLongerThanTheBufferIsNotDecoded)
{
    answer_snapshot(login(), 0);
    ASSERT_TRUE(run_until_live());
    std::string big = mirp_packet(1);
    MirpHeader header;
    memcpy(&header, big.data(), sizeof header);
    header.ContentLength = 1300;
    big.replace(0, sizeof header, std::string(reinterpret_cast<char*>(&header), sizeof header));
    big.resize(sizeof header + 1300, '\0');
    feed(big);
    EXPECT_EQ(volume(), 100);
    EXPECT_EQ(m_subscriber->get_packet_no(), 1u);
    EXPECT_EQ(m_events.count("dropped: content of 1300 bytes"), 1);
}

TEST_F(SubscriberTest, APacketNeverReachedDoesNotHoldBackTheStorageOfThoseAfterIt)
{
    Parsed query = login();
    testing::internal::CaptureStdout();
    // Ahead of anything the topic has sent, but near enough to be kept.
    feed(mirp_packet(100000));
    for (uint32_t no = 1; no <= 300; ++no)
        feed(mirp_packet(no));
    answer_snapshot(query, 0);
    ASSERT_TRUE(run_until(
        m_reactor, [&] { return m_subscriber->get_state() == KorvUserSubscriber::SID_QryGap; }));
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(m_subscriber->get_packet_no(), 300u);
    EXPECT_EQ(m_subscriber->get_cached_count(), 1u);
    // Released in arrival order, the 300 replayed packets would wait behind
    // the first one for as long as it stays cached.
    EXPECT_EQ(m_subscriber->get_held_count(), 1u);
    EXPECT_EQ(volume(), 400);
}

TEST_F(SubscriberTest, TheCacheIsBoundedInBytesAsWellAsInPackets)
{
    login();
    testing::internal::CaptureStdout();
    // Packets of the largest datagram: the packet bound alone would let them
    // hold some fifteen times the bytes it allows for ordinary ones.
    std::string big = mirp_packet(1);
    MirpHeader header;
    memcpy(&header, big.data(), sizeof header);
    header.ContentLength = 18000;
    big.resize(sizeof header + header.ContentLength, '\0');
    const size_t fit = KorvUserSubscriber::MAX_CACHED_BYTES / header.ContentLength;
    for (uint32_t no = 1; no <= fit + 10; ++no) {
        header.PacketNo = no;
        memcpy(&big[0], &header, sizeof header);
        feed(big);
    }
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(m_subscriber->get_cached_count(), fit);
    EXPECT_EQ(
        m_events.count("event MirpError 3 topic_id = 7, cache full at " + std::to_string(fit) +
                       " packets of " + std::to_string(fit * header.ContentLength) +
                       " bytes: packet_no = " + std::to_string(fit + 1) + " refused"),
        1);
}

TEST(TopicSnapshot, ASecondSnapshotReplacesTheLevelsInAnyRecordOrder)
{
    KorvUserTopic topic(1);
    MDQP_TopicInstrument instrument = MDQP_TopicInstrument();
    instrument.InstrumentNo = 0;
    MDQP_TopicMarketByPrice level = MDQP_TopicMarketByPrice();
    level.EntryType = MDET_Bid;
    for (int round = 0; round < 3; ++round) {
        topic.begin_snapshot();
        // Levels ahead of the definition in the second round.
        if (round != 1)
            topic.handle_instrument(&instrument);
        for (int i = 0; i < 15; ++i) {
            level.Price = 100 - i;
            topic.handle_market_by_price(&level);
        }
        if (round == 1)
            topic.handle_instrument(&instrument);
        EXPECT_EQ(topic.get_instrument(0)->BidTable.get_count(), 15) << round;
        EXPECT_EQ(topic.get_instrument(0)->BidTable.get_entries()[0].Price, 100) << round;
    }
    EXPECT_EQ(topic.get_rejected_count(), 0u);
}

TEST_F(SubscriberTest, AGapFoundLoggedOutIsFilledByAFreshSnapshotAfterTheNextLogin)
{
    answer_snapshot(login(), 0);
    ASSERT_TRUE(run_until_live());
    m_peer.close();
    ASSERT_TRUE(
        run_until(m_reactor, [&] { return m_stub->state() != KorvUserMdqpStub::SID_LoggedIn; }));
    testing::internal::CaptureStdout();
    feed(mirp_packet(3));
    Parsed query = login();  // the snapshot query, not a gap query
    testing::internal::GetCapturedStdout();
    answer_snapshot(query, 3);
    ASSERT_TRUE(run_until_live());
    EXPECT_EQ(m_subscriber->get_packet_no(), 3u);
}

TEST_F(SubscriberTest, GapRepliesThatKeepMissingThePacketEndInASnapshot)
{
    answer_snapshot(login(), 0);
    ASSERT_TRUE(run_until_live());
    testing::internal::CaptureStdout();
    feed(mirp_packet(5));
    for (int i = 0; i < KorvUserSubscriber::MAX_GAP_RETRY; ++i) {
        Parsed gap = next_request();
        ASSERT_EQ(gap.trans_id, 0x33) << i;
        m_peer.send(packet(0x34, gap.request_id, ""));
    }
    Parsed query = next_request();  // after the 3000 ms pause
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(query.trans_id, 0x31);
    EXPECT_EQ(m_events.count("event GapError 3 topic_id = 7, packets [1, 5) not served"), 1);
    answer_snapshot(query, 4);
    ASSERT_TRUE(run_until_live());
    EXPECT_EQ(m_subscriber->get_packet_no(), 5u);
}

// A server that does not answer the snapshot query must not make the cache
// grow with the multicast: past its bound packets are refused, with one
// report, and fetched with a gap query once the snapshot has come.
TEST_F(SubscriberTest, FullCacheRefusesPacketsOnceReportedAndTheirGapIsQueriedLater)
{
    Parsed query = login();
    const uint32_t bound = uint32_t(KorvUserSubscriber::MAX_CACHED_PACKETS);
    testing::internal::CaptureStdout();
    for (uint32_t no = 1; no <= bound + 5; ++no)
        feed(mirp_packet(no));
    EXPECT_EQ(m_subscriber->get_cached_count(), size_t(bound));
    EXPECT_EQ(m_events.count("cache full"), 1);

    answer_snapshot(query, 0);
    ASSERT_TRUE(run_until_live());
    EXPECT_EQ(m_subscriber->get_packet_no(), bound);
    EXPECT_EQ(volume(), 100 + int(bound));
    feed(mirp_packet(bound + 6));
    Parsed gap = next_request();
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(gap.trans_id, 0x33);
    EXPECT_EQ(gap.body.substr(4), le16(TOPIC) + le32(bound + 1) + le32(bound + 6));
}
