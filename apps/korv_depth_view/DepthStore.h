// Internal to korv_depth_view: the view's own copy of the records the library
// delivers, filled on the library's event-loop thread and read by the
// drawing thread.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "source/korv_user/KorvUserApi.h"

// One instrument as last delivered: its market data and the levels of each
// side up to the end mark, best first.
struct InstrumentDepth {
    BRAX::KORV_USER_API::TopicMarketData market_data;
    std::vector<BRAX::KORV_USER_API::TopicPriceEntry> bids;
    std::vector<BRAX::KORV_USER_API::TopicPriceEntry> asks;
};

// A consistent copy of the store. version counts the deliveries taken in, so
// 0 means that nothing has arrived yet.
struct DepthSnapshot {
    uint64_t version = 0;
    BRAX::KORV_USER_API::TopicSettlementSession settlement_session{};
    BRAX::KORV_USER_API::TopicSnapTime snap_time{};
    std::map<std::string, InstrumentDepth> instruments;
};

class DepthStore : public BRAX::KORV_USER_API::KorvMarketDataHandler {
public:
    // Keeps only the instruments named, or every instrument if none is.
    explicit DepthStore(std::vector<std::string> instrument_ids = {});

    // Event-loop thread: copies the records, nothing else, so the library's
    // network work is held up as little as possible.
    void handle_market_data(const BRAX::KORV_USER_API::TopicSettlementSession* settlement_session,
                            const BRAX::KORV_USER_API::TopicSnapTime* snap_time,
                            const BRAX::KORV_USER_API::TopicMarketData* market_data,
                            const BRAX::KORV_USER_API::TopicPriceEntry* bids,
                            const BRAX::KORV_USER_API::TopicPriceEntry* asks) override;

    // Any thread: refreshes into if the store changed since into was taken;
    // false if it had not.
    bool refresh(DepthSnapshot& into) const;

private:
    mutable std::mutex m_mutex;
    std::vector<std::string> m_instrument_ids;
    DepthSnapshot m_snapshot;
};
