#include "source/korv_bridge/BridgeHandler.h"

#include <algorithm>

#include "source/korv_bridge/WallClock.h"

namespace korv_bridge {

using namespace BRAX::KORV_USER_API;

BridgeHandler::BridgeHandler(unsigned topic_id, BridgePublisher& publisher)
    : m_topic_id(topic_id), m_publisher(publisher)
{
}

void BridgeHandler::handle_market_data(const TopicSettlementSession* session,
                                       const TopicSnapTime* snap_time,
                                       const TopicMarketData* market_data,
                                       const TopicPriceEntry* bids, const TopicPriceEntry* asks)
{
    const int64_t now = wall_clock_ns();
    unsigned int delivered = 0;
    get_delivery_packet_no(&delivered);
    const uint64_t packet_no = delivered;
    if (m_epoch == 0 || packet_no < m_last_packet_no)
        m_epoch = std::max(uint64_t(now / 1000), m_epoch + 1);
    m_last_packet_no = packet_no;
    RecordHeader header;
    header.topic_id = m_topic_id;
    header.epoch = m_epoch;
    header.packet_no = packet_no;
    header.handler_ns = now;
    encode_instrument(m_record, header, 0, session, snap_time, market_data, bids, asks);
    m_publisher.offer(m_record);
}

}  // namespace korv_bridge
