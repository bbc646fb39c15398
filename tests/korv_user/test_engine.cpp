// The engine's wiring of locations and topics, before any thread runs.
#include "source/korv_user/UserApiImpl.h"

#include <gtest/gtest.h>

#include "source/korv_user/KorvUserMirpDemuxer.h"
#include "source/korv_user/KorvUserSubscriber.h"
#include "source/korv_user/KorvUserTopic.h"
#include "velta/source/base/ErrorCode.h"

using namespace KORV::USER;
using namespace BRAX::KORV_USER_API;

namespace {

struct NoHandler : KorvMarketDataHandler {
    void handle_market_data(const TopicSettlementSession*, const TopicSnapTime*,
                            const TopicMarketData*, const TopicPriceEntry*,
                            const TopicPriceEntry*) override
    {
        ADD_FAILURE() << "no thread runs, so nothing is delivered";
    }
};

}  // namespace

TEST(Engine, EveryPairOfLocationAndTopicGetsExactlyOneSubscriber)
{
    NoHandler handler;
    UserApiImpl api;
    EXPECT_EQ(api.subscribe_topic(7, &handler), 0);
    EXPECT_EQ(api.subscribe_topic(3, &handler), 0);
    EXPECT_EQ(api.reg_mirp_location("udpg://239.3.0.1:30001"), 0);
    EXPECT_EQ(api.reg_mirp_location("udpg://239.3.0.2:30001"), 0);
    EXPECT_EQ(api.subscribe_topic(7, &handler), EC_EXIST);
    EXPECT_EQ(api.subscribe_topic(40000, &handler), 0);
    // Other numbers of the same topics on the wire, which carries 16 bits.
    EXPECT_EQ(api.subscribe_topic(7 + 65536, &handler), EC_EXIST);
    EXPECT_EQ(api.subscribe_topic(40000 - 65536, &handler), EC_EXIST);
    EXPECT_EQ(api.reg_fens_location(nullptr), 0);
    EXPECT_EQ(api.reg_fens_location(""), 0);

    ASSERT_EQ(api.get_demuxers().size(), 2u);
    KorvUserTopic* books[3] = {};
    for (KorvUserMirpDemuxer* demuxer : api.get_demuxers()) {
        int i = 0;
        for (int topic : {3, 7, 40000}) {
            KorvUserSubscriber* subscriber = demuxer->find_subscriber(uint16_t(topic));
            ASSERT_NE(subscriber, nullptr) << topic;
            // One book per topic, shared by the subscribers of all locations.
            if (books[i] == nullptr)
                books[i] = subscriber->get_user_topic();
            EXPECT_EQ(subscriber->get_user_topic(), books[i]);
            EXPECT_EQ(uint16_t(books[i]->get_topic_id()), topic);
            // A repeated subscription is refused, so there is no second one.
            EXPECT_EQ(demuxer->subscribe(short(topic), books[i], nullptr), EC_EXIST);
            ++i;
        }
    }
    EXPECT_TRUE(api.join());  // no thread was started
}
