// Internal to the bridge: the handler one topic is subscribed with. It turns
// each delivery into the instrument's record and hands it to the publisher;
// it never waits on the network.
//
// The epoch: the wall-clock microseconds when this handler took up the
// topic's packet numbering, taken again whenever the numbering goes back
// (the platform restarted the topic, or the 32-bit number wrapped), so that a consumer orders states by
// (epoch, packet number) across restarts of either side.
#pragma once

#include <cstdint>

#include "source/korv_bridge/BridgePublisher.h"
#include "source/korv_bridge/BridgeRecord.h"
#include "source/korv_user/KorvUserApi.h"

namespace korv_bridge {

class BridgeHandler : public BRAX::KORV_USER_API::KorvMarketDataHandler {
public:
    BridgeHandler(unsigned topic_id, BridgePublisher& publisher);

    // The library's thread.
    void handle_market_data(const BRAX::KORV_USER_API::TopicSettlementSession* session,
                            const BRAX::KORV_USER_API::TopicSnapTime* snap_time,
                            const BRAX::KORV_USER_API::TopicMarketData* market_data,
                            const BRAX::KORV_USER_API::TopicPriceEntry* bids,
                            const BRAX::KORV_USER_API::TopicPriceEntry* asks) override;

private:
    const unsigned m_topic_id;
    BridgePublisher& m_publisher;
    uint64_t m_epoch = 0;
    uint64_t m_last_packet_no = 0;
    uint8_t m_record[INSTRUMENT_RECORD_SIZE];
};

}  // namespace korv_bridge
