#include "apps/korv_depth_view/DepthStore.h"

#include <algorithm>
#include <cstring>

using namespace BRAX::KORV_USER_API;

namespace {

// The levels before the end mark; a side without one is cut at the array's
// end instead of read past it.
std::vector<TopicPriceEntry> side_levels(const TopicPriceEntry* side)
{
    std::vector<TopicPriceEntry> levels;
    for (int level = 0; level < TOPIC_PRICE_ENTRY_COUNT - 1; ++level) {
        if (side[level].Price == UFBaseFloatType::NULL_VALUE)
            break;
        levels.push_back(side[level]);
    }
    return levels;
}

}  // namespace

DepthStore::DepthStore(std::vector<std::string> instrument_ids)
    : m_instrument_ids(std::move(instrument_ids))
{
}

void DepthStore::handle_market_data(const TopicSettlementSession* settlement_session,
                                    const TopicSnapTime* snap_time,
                                    const TopicMarketData* market_data,
                                    const TopicPriceEntry* bids, const TopicPriceEntry* asks)
{
    // The identifier may fill its field without a terminator.
    std::string id(market_data->InstrumentID,
                   strnlen(market_data->InstrumentID, sizeof market_data->InstrumentID));
    bool wanted = m_instrument_ids.empty() ||
                  std::find(m_instrument_ids.begin(), m_instrument_ids.end(), id) !=
                      m_instrument_ids.end();
    // The levels are gathered before the lock, so that the drawing thread
    // waits only for the copy.
    InstrumentDepth depth;
    if (wanted) {
        depth.market_data = *market_data;
        depth.bids = side_levels(bids);
        depth.asks = side_levels(asks);
    }

    std::lock_guard<std::mutex> lock(m_mutex);
    // The topic's times move for every delivery, wanted instrument or not.
    m_snapshot.settlement_session = *settlement_session;
    m_snapshot.snap_time = *snap_time;
    if (wanted)
        m_snapshot.instruments[id] = std::move(depth);
    ++m_snapshot.version;
}

bool DepthStore::refresh(DepthSnapshot& into) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (into.version == m_snapshot.version)
        return false;
    into = m_snapshot;
    return true;
}
