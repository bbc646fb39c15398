#include "source/korv_feed/FeedRecord.h"

#include <time.h>

#include <cstring>

#include "source/korv_user/UFDataType.h"

namespace KORV {
namespace FEED {

using namespace BRAX::KORV_USER_API;

namespace {

constexpr int LEVEL_LIMIT = TOPIC_PRICE_ENTRY_COUNT - 1;

// Copies the levels and the end mark only: most instruments show a few
// levels, and the rest of the array is undefined anyway.
int32_t copy_side(TopicPriceEntry* out, const TopicPriceEntry* side)
{
    int count = 0;
    while (count < LEVEL_LIMIT && side[count].Price != UFBaseFloatType::NULL_VALUE)
        ++count;
    memcpy(out, side, size_t(count) * sizeof(TopicPriceEntry));
    out[count].Price = UFBaseFloatType::NULL_VALUE;
    out[count].Volume = 0;
    return count;
}

}  // namespace

int64_t feed_clock_ns()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t(now.tv_sec) * 1000000000 + now.tv_nsec;
}

void copy_feed_record(FeedRecord& record, int topic_id, uint32_t packet_no,
                      const TopicSettlementSession* session, const TopicSnapTime* snap_time,
                      const TopicMarketData* market_data, const TopicPriceEntry* bids,
                      const TopicPriceEntry* asks)
{
    record.HandlerNs = feed_clock_ns();
    record.TopicID = topic_id;
    record.PacketNo = packet_no;
    record.SettlementSession = *session;
    record.SnapTime = *snap_time;
    record.MarketData = *market_data;
    record.BidCount = copy_side(record.Bids, bids);
    record.AskCount = copy_side(record.Asks, asks);
}

}  // namespace FEED
}  // namespace KORV
