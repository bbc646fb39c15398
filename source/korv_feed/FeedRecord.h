// Internal, shared by the front ends that hand the library's updates to
// another thread (the Python package, the message bus bridge): one handler
// call kept whole, with where it came from.
//
// The records are the handler's own, copied as it got them: the topic's
// settlement session and snap time, the instrument's market data, and both
// sides' levels up to and including the end mark (entries behind the end
// mark hold no defined values, as in the handler call).
#pragma once

#include <cstdint>

#include "source/korv_user/KorvUserApiStruct.h"

namespace KORV {
namespace FEED {

struct FeedRecord {
    // CLOCK_MONOTONIC nanoseconds of the handler call that queued this state.
    int64_t HandlerNs;
    int32_t TopicID;
    // The topic's packet number at the delivery (get_delivery_packet_no).
    uint32_t PacketNo;
    // Levels before the end mark of each side.
    int32_t BidCount;
    int32_t AskCount;
    BRAX::KORV_USER_API::TopicSettlementSession SettlementSession;
    BRAX::KORV_USER_API::TopicSnapTime SnapTime;
    BRAX::KORV_USER_API::TopicMarketData MarketData;
    BRAX::KORV_USER_API::TopicPriceEntry Bids[BRAX::KORV_USER_API::TOPIC_PRICE_ENTRY_COUNT];
    BRAX::KORV_USER_API::TopicPriceEntry Asks[BRAX::KORV_USER_API::TOPIC_PRICE_ENTRY_COUNT];
};

// Fills record from one handler call. A side without an end mark within its
// TOPIC_PRICE_ENTRY_COUNT entries is cut to MAX_LEVEL levels and given one.
void copy_feed_record(FeedRecord& record, int topic_id, uint32_t packet_no,
                      const BRAX::KORV_USER_API::TopicSettlementSession* session,
                      const BRAX::KORV_USER_API::TopicSnapTime* snap_time,
                      const BRAX::KORV_USER_API::TopicMarketData* market_data,
                      const BRAX::KORV_USER_API::TopicPriceEntry* bids,
                      const BRAX::KORV_USER_API::TopicPriceEntry* asks);

// CLOCK_MONOTONIC now, in nanoseconds: the clock of HandlerNs.
int64_t feed_clock_ns();

}  // namespace FEED
}  // namespace KORV
