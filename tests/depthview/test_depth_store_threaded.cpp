// The store filled on one thread, as the library's event loop does, while
// another takes copies to draw: every copy is one whole delivery.
#include "apps/korv_depth_view/DepthStore.h"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>

using namespace BRAX::KORV_USER_API;

TEST(DepthStoreThreaded, CopiesAreWholeDeliveries)
{
    DepthStore store;
    constexpr int deliveries = 20000;
    std::thread loop([&store] {
        TopicSettlementSession session{"20261209", "S1", 1};
        TopicSnapTime snap{"20261209", "09:30:00", 0};
        TopicMarketData data{};
        strcpy(data.InstrumentID, "A1");
        TopicPriceEntry bids[TOPIC_PRICE_ENTRY_COUNT];
        TopicPriceEntry asks[TOPIC_PRICE_ENTRY_COUNT];
        asks[0] = {UFBaseFloatType::NULL_VALUE, 0};
        for (int i = 1; i <= deliveries; ++i) {
            // The volume, the level and the snap time tell the delivery.
            data.Volume = i;
            snap.SnapMillisec = i;
            bids[0] = {double(i), i};
            bids[1] = {UFBaseFloatType::NULL_VALUE, 0};
            store.handle_market_data(&session, &snap, &data, bids, asks);
        }
    });
    DepthSnapshot snapshot;
    int last = 0;
    while (last < deliveries) {
        if (!store.refresh(snapshot))
            continue;
        const InstrumentDepth& depth = snapshot.instruments.at("A1");
        int volume = depth.market_data.Volume;
        ASSERT_GE(volume, last);
        ASSERT_EQ(depth.bids.size(), 1u);
        ASSERT_EQ(depth.bids[0].Volume, volume);
        ASSERT_EQ(snapshot.snap_time.SnapMillisec, volume);
        last = volume;
    }
    loop.join();
}
