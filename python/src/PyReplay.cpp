#include "PyReplay.h"

#include <stdexcept>

#include "apps/korv_md_replay/ReplaySession.h"
#include "apps/korv_md_simulator/SimOptions.h"
#include "source/korv_user/KorvUserApi.h"

namespace korv_python {

using namespace BRAX::KORV_USER_API;

class PyReplay::Handler : public KorvMarketDataHandler {
public:
    explicit Handler(int topic_id) : m_topic_id(topic_id) {}

    void handle_market_data(const TopicSettlementSession* session, const TopicSnapTime* snap_time,
                            const TopicMarketData* market_data, const TopicPriceEntry* bids,
                            const TopicPriceEntry* asks) override
    {
        m_updates.emplace_back();
        copy_update(m_updates.back(), m_topic_id, session, snap_time, market_data, bids, asks);
    }

    std::deque<UpdateRecord> m_updates;

private:
    int m_topic_id;
};

PyReplay::PyReplay(const std::string& path, double speed,
                   const std::vector<std::string>& market_args)
{
    if (!(speed >= 0))
        throw std::invalid_argument("speed must be None or a positive number");
    std::vector<const char*> argv{"korv.replay"};
    for (const std::string& arg : market_args)
        argv.push_back(arg.c_str());
    KORV::SIM::SimOptions market;
    if (market.parse(int(argv.size()), argv.data()) != 0)
        throw std::invalid_argument(market.get_error());
    if (market.m_topics.size() != 1)
        throw std::invalid_argument("give one topic to replay");
    m_handler = std::make_unique<Handler>(market.m_topics[0]);
    m_session = std::make_unique<ReplaySession>(market, m_handler.get(), speed);
    if (m_session->open(path) != 0)
        throw std::invalid_argument(m_session->get_error());
}

PyReplay::~PyReplay() = default;

bool PyReplay::next(UpdateRecord& record)
{
    while (m_handler->m_updates.empty()) {
        if (m_finished)
            return false;
        int result = m_session->step();
        if (result < 0)
            throw std::runtime_error(m_session->get_error());
        if (result == 0) {
            // What the last datagrams left cached is delivered now.
            m_session->finish(2000);
            m_finished = true;
        }
    }
    record = m_handler->m_updates.front();
    m_handler->m_updates.pop_front();
    return true;
}

}  // namespace korv_python
