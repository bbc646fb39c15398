#include "PyReplay.h"

#include <stdexcept>

#include "apps/korv_md_simulator/SimOptions.h"
#include "apps/korv_md_simulator/SimQuerySide.h"
#include "source/korv_replay/ReplayCapture.h"
#include "source/korv_replay/ReplayEngine.h"
#include "source/korv_user/KorvUserApi.h"

namespace korv_python {

using namespace BRAX::KORV_USER_API;

namespace {

// What the library may still ask of the query side after the last datagram.
constexpr unsigned SETTLE_MS = 5000;

std::string joined(const std::vector<std::string>& reports)
{
    std::string text;
    for (const std::string& report : reports)
        text += (text.empty() ? "" : "; ") + report;
    return text;
}

}  // namespace

class PyReplay::Handler : public KorvMarketDataHandler {
public:
    void handle_market_data(const TopicSettlementSession* session, const TopicSnapTime* snap_time,
                            const TopicMarketData* market_data, const TopicPriceEntry* bids,
                            const TopicPriceEntry* asks) override
    {
        m_updates.emplace_back();
        UpdateRecord& record = m_updates.back();
        copy_update(record, m_engine->get_delivering_topic(), session, snap_time, market_data, bids,
                    asks);
        record.handler_ns = m_engine->get_time_ns();
    }

    std::deque<UpdateRecord> m_updates;
    ReplayEngine* m_engine = nullptr;
};

PyReplay::PyReplay(const std::string& path, double speed, const std::vector<int>& topics,
                   const std::vector<std::string>& lines,
                   const std::vector<std::string>& market_args)
{
    if (!(speed >= 0))
        throw std::invalid_argument("speed must be None or a positive number");
    KORV::SIM::SimOptions market;
    if (!market_args.empty()) {
        std::vector<const char*> argv{"korv.replay"};
        for (const std::string& arg : market_args)
            argv.push_back(arg.c_str());
        if (market.parse(int(argv.size()), argv.data()) != 0)
            throw std::invalid_argument(market.get_error());
    }
    m_capture = std::make_unique<ReplayCapture>();
    std::string error;
    if (m_capture->load(path, error) != 0)
        throw std::invalid_argument(error);
    ReplayEngine::Options options;
    options.topics = topics;
    options.lines = lines;
    options.speed = speed;
    m_handler = std::make_unique<Handler>();
    m_engine = std::make_unique<ReplayEngine>(*m_capture, m_handler.get(), options);
    m_handler->m_engine = m_engine.get();
    if (!market_args.empty()) {
        m_market = std::make_unique<KORV::SIM::SimQuerySide>(m_engine->get_reactor(), market,
                                                             *m_capture, topics);
        std::string location;
        if (m_market->start(location, error) != 0)
            throw std::invalid_argument(error);
        m_engine->set_query_server(location, market.m_participant_id, market.m_user_id,
                                   market.m_password);
    }
    if (m_engine->start(error) != 0)
        throw std::invalid_argument(error);
}

PyReplay::~PyReplay()
{
    // The engine's books and notifiers first, then what they refer to.
    m_engine.reset();
    m_market.reset();
}

bool PyReplay::next(UpdateRecord& record)
{
    while (m_handler->m_updates.empty()) {
        if (m_finished) {
            if (m_reported || m_engine->get_reports().empty())
                return false;
            m_reported = true;
            throw std::runtime_error(joined(m_engine->get_reports()));
        }
        if (m_engine->step() == 0) {
            // What the last datagrams left cached is delivered now.
            m_engine->finish(SETTLE_MS);
            m_finished = true;
        }
    }
    record = m_handler->m_updates.front();
    m_handler->m_updates.pop_front();
    return true;
}

}  // namespace korv_python
