#include "source/korv_feed/FeedHandler.h"

namespace KORV {
namespace FEED {

using namespace BRAX::KORV_USER_API;

void FeedHandler::handle_market_data(const TopicSettlementSession* session,
                                     const TopicSnapTime* snap_time,
                                     const TopicMarketData* market_data,
                                     const TopicPriceEntry* bids, const TopicPriceEntry* asks)
{
    // Always inside a delivery here, so the number is always there.
    unsigned int packet_no = 0;
    get_delivery_packet_no(&packet_no);
    m_queue.push(m_topic_id, packet_no, session, snap_time, market_data, bids, asks);
}

}  // namespace FEED
}  // namespace KORV
