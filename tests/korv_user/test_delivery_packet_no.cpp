// The packet number a handler reads during a delivery: the snapshot's for
// what a snapshot delivers, the last packet of a sequence for what the
// sequence's commit delivers.
#include "source/korv_user/KorvUserApi.h"

#include <gtest/gtest.h>

#include <vector>

#include "tests/korv_user/test_subscriber_fixture.h"

namespace subscriber_test {
namespace {

struct PacketNoHandler : KorvMarketDataHandler {
    void handle_market_data(const TopicSettlementSession*, const TopicSnapTime*,
                            const TopicMarketData* market_data, const TopicPriceEntry*,
                            const TopicPriceEntry*) override
    {
        unsigned int packet_no = 0;
        results.push_back(BRAX::KORV_USER_API::get_delivery_packet_no(&packet_no));
        packet_nos.push_back(packet_no);
        volumes.push_back(market_data->Volume);
    }
    std::vector<int> results;
    std::vector<unsigned int> packet_nos;
    std::vector<int> volumes;
};

class DeliveryPacketNoTest : public SubscriberTest {
protected:
    void SetUp() override
    {
        SubscriberTest::SetUp();
        m_notifier.reset(new KorvUserTopicNotifier(&m_reactor, TOPIC, &m_topic, &m_recorder));
    }
    PacketNoHandler m_recorder;
};

TEST_F(DeliveryPacketNoTest, SnapshotThenSequencesDeliverAtTheirLastPacket)
{
    unsigned int untouched = 77;
    EXPECT_EQ(BRAX::KORV_USER_API::get_delivery_packet_no(&untouched), -5);
    EXPECT_EQ(untouched, 77u);
    EXPECT_EQ(BRAX::KORV_USER_API::get_delivery_packet_no(nullptr), -13);

    Parsed query = login();
    answer_snapshot(query, 10);
    ASSERT_TRUE(run_until_live());
    ASSERT_EQ(m_recorder.packet_nos, std::vector<unsigned int>{10});

    feed(mirp_packet(11, 1, true));
    feed(mirp_packet(12, 1, true));
    EXPECT_EQ(m_recorder.packet_nos.size(), 1u);  // nothing before the sequence ends
    feed(mirp_packet(13, 1));
    feed(mirp_packet(14, 2));
    EXPECT_EQ(m_recorder.packet_nos, (std::vector<unsigned int>{10, 13, 14}));
    EXPECT_EQ(m_recorder.volumes, (std::vector<int>{100, 103, 105}));
    EXPECT_EQ(m_recorder.results, (std::vector<int>{0, 0, 0}));

    // Outside the call again.
    EXPECT_EQ(BRAX::KORV_USER_API::get_delivery_packet_no(&untouched), -5);
}

TEST_F(DeliveryPacketNoTest, PacketsCachedBeforeTheSnapshotDeliverAtTheirOwnNumbers)
{
    Parsed query = login();
    for (uint32_t no = 9; no <= 12; ++no)
        feed(mirp_packet(no));
    answer_snapshot(query, 10);
    ASSERT_TRUE(run_until_live());
    // The snapshot at 10, then the cached 11 and 12 replayed one by one.
    EXPECT_EQ(m_recorder.packet_nos, (std::vector<unsigned int>{10, 11, 12}));
    EXPECT_EQ(m_recorder.volumes, (std::vector<int>{100, 101, 102}));
}

}  // namespace
}  // namespace subscriber_test
