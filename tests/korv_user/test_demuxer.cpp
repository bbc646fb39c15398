// The demultiplexer's cutting and routing of datagrams, called directly; the
// reactor is not run, so no group is joined and every subscriber, still
// waiting for its login, caches what it is given.
#include "source/korv_user/KorvUserMirpDemuxer.h"

#include "tests/korv_user/test_subscriber_fixture.h"
#include "velta/source/base/ErrorCode.h"

using namespace subscriber_test;

namespace {

class DemuxerTest : public ::testing::Test {
protected:
    DemuxerTest() : m_stub(&m_reactor), m_demuxer(&m_reactor, "udpg://239.3.0.1:30001") {}

    int deliver(const std::string& datagram)
    {
        testing::internal::CaptureStdout();
        std::vector<char> bytes(datagram.begin(), datagram.end());
        Packet packet(bytes.data(), int(bytes.size()));
        int ret = m_demuxer.handle_packet(nullptr, nullptr, &packet);
        testing::internal::GetCapturedStdout();
        return ret;
    }

    SelectReactor m_reactor;
    KorvUserMdqpStub m_stub;
    KorvUserTopic m_topic5{5};
    KorvUserTopic m_topic_high{int16_t(40000)};
    KorvUserMirpDemuxer m_demuxer;
};

}  // namespace

TEST_F(DemuxerTest, PacketsGoToTheSubscriberOfTheirTopicInOrder)
{
    ASSERT_EQ(m_demuxer.subscribe(5, &m_topic5, &m_stub), 0);
    KorvUserSubscriber* first = m_demuxer.find_subscriber(5);
    EXPECT_EQ(m_demuxer.subscribe(5, &m_topic5, &m_stub), EC_EXIST);
    EXPECT_EQ(m_demuxer.find_subscriber(5), first);

    EXPECT_EQ(deliver(mirp_packet(1, 1, false, 1, 5) + mirp_packet(2, 1, false, 1, 9) +
                      mirp_packet(3, 1, false, 1, 5)),
              0);
    EXPECT_EQ(first->get_cached_count(), 2u);
    EXPECT_EQ(deliver(""), 0);
    EXPECT_EQ(first->get_cached_count(), 2u);
}

TEST_F(DemuxerTest, ACutShortPacketDropsTheRestOfItsDatagram)
{
    m_demuxer.subscribe(5, &m_topic5, &m_stub);
    std::string second = mirp_packet(2, 1, false, 1, 5);
    second.resize(second.size() - 1);
    EXPECT_EQ(deliver(mirp_packet(1, 1, false, 1, 5) + second), EC_FORMAT);
    EXPECT_EQ(m_demuxer.find_subscriber(5)->get_cached_count(), 1u);
    EXPECT_EQ(deliver(std::string(10, '\0')), EC_WOULDBLOCK);
}

TEST_F(DemuxerTest, TopicsFrom32768UpAreDelivered)
{
    m_demuxer.subscribe(int16_t(40000), &m_topic_high, &m_stub);
    KorvUserSubscriber* high = m_demuxer.find_subscriber(40000);
    ASSERT_NE(high, nullptr);
    EXPECT_EQ(deliver(mirp_packet(1, 1, false, 1, 40000)), 0);
    EXPECT_EQ(high->get_cached_count(), 1u);
}

TEST_F(DemuxerTest, AFloodOfRefusedDatagramsAndClosesWritesAHandfulOfLines)
{
    EventLog events;
    std::string lying = mirp_packet(1, 1, false, 1, 5);
    lying.resize(lying.size() - 1);
    testing::internal::CaptureStdout();
    for (int i = 0; i < 10000; ++i) {
        std::vector<char> bytes =
            i % 2 ? std::vector<char>(lying.begin(), lying.end()) : std::vector<char>(10, '\0');
        Packet packet(bytes.data(), int(bytes.size()));
        m_demuxer.handle_packet(nullptr, nullptr, &packet);
        m_demuxer.handle_error(nullptr, nullptr, EC_ERROR);
    }
    std::string out = testing::internal::GetCapturedStdout();
    // The first of each kind in full, at once; the rest counted.
    EXPECT_EQ(events.count("event MirpError 3 datagram refused: 10 bytes left that are no whole "
                           "packet, -1"),
              1);
    EXPECT_EQ(events.count("event MirpError 3 datagram refused: " + std::to_string(lying.size()) +
                           " bytes left that are no whole packet, -9"),
              1);
    EXPECT_EQ(events.count("event MirpError 3 multicast channel closed, error = -2, subscribe again"
                           " in 1000 ms"),
              1);
    EXPECT_LE(events.lines.size(), 9u);
    size_t closes = 0;
    for (size_t at = out.find("handle_error"); at != std::string::npos;
         at = out.find("handle_error", at + 1))
        ++closes;
    EXPECT_EQ(closes, 1u);
}
