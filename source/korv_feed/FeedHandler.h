// Internal, shared by the front ends that read updates on another thread:
// the handler of one subscribed topic that keeps each delivered update in a
// ConflatingQueue, with the packet number of its delivery.
#pragma once

#include "source/korv_feed/ConflatingQueue.h"
#include "source/korv_user/KorvUserApi.h"

namespace KORV {
namespace FEED {

class FeedHandler : public BRAX::KORV_USER_API::KorvMarketDataHandler {
public:
    // The queue is not owned and must outlive the handler's subscription.
    FeedHandler(int topic_id, ConflatingQueue& queue) : m_topic_id(topic_id), m_queue(queue) {}

    void handle_market_data(const BRAX::KORV_USER_API::TopicSettlementSession* session,
                            const BRAX::KORV_USER_API::TopicSnapTime* snap_time,
                            const BRAX::KORV_USER_API::TopicMarketData* market_data,
                            const BRAX::KORV_USER_API::TopicPriceEntry* bids,
                            const BRAX::KORV_USER_API::TopicPriceEntry* asks) override;

private:
    int m_topic_id;
    ConflatingQueue& m_queue;
};

}  // namespace FEED
}  // namespace KORV
