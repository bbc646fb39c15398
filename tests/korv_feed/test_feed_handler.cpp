#include "source/korv_feed/FeedHandler.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "source/korv_user/KorvUserTopic.h"
#include "source/korv_user/KorvUserTopicNotifier.h"
#include "velta/source/task/SelectReactor.h"

using namespace KORV::FEED;
using namespace BRAX::KORV;
using KORV::USER::KorvUserTopic;
using std::chrono::milliseconds;

TEST(FeedHandler, EachDeliveryIsKeptWithItsTopicAndPacketNumber)
{
    SelectReactor reactor;
    KorvUserTopic topic(5);
    for (int no = 0; no < 2; ++no) {
        MDQP_TopicInstrument instrument{};
        snprintf(instrument.InstrumentID, sizeof instrument.InstrumentID, "I%d", no);
        instrument.PriceTick = 1;
        instrument.InstrumentNo = no;
        topic.handle_instrument(&instrument);
    }
    ConflatingQueue queue(16);
    FeedHandler handler(5, queue);
    KorvUserTopicNotifier notifier(&reactor, 5, &topic, &handler);

    MIRP_TradeSlice slice{3, 1, 0, 0};
    topic.handle_trade_slice(1, &slice);
    topic.handle_trade_slice(0, &slice);
    topic.set_packet_no(41);
    topic.commit();
    topic.handle_trade_slice(1, &slice);
    topic.set_packet_no(42);
    topic.commit();

    FeedRecord out[4];
    ASSERT_EQ(queue.take(out, 4, milliseconds(0)), 2u);
    EXPECT_STREQ(out[0].MarketData.InstrumentID, "I1");
    EXPECT_EQ(out[0].MarketData.Volume, 2);
    EXPECT_EQ(out[0].PacketNo, 42u);  // conflated into the later delivery
    EXPECT_EQ(out[0].TopicID, 5);
    EXPECT_STREQ(out[1].MarketData.InstrumentID, "I0");
    EXPECT_EQ(out[1].PacketNo, 41u);
    EXPECT_EQ(queue.counts().conflated, 1u);
}
