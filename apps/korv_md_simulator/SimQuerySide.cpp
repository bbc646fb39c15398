#include "apps/korv_md_simulator/SimQuerySide.h"

#include <cstdio>

#include "apps/korv_md_simulator/SimPublisher.h"
#include "apps/korv_md_simulator/SimServer.h"
#include "apps/korv_md_simulator/SimTopic.h"
#include "source/korv_replay/ReplayCapture.h"
#include "source/korv_replay/ReplayEngine.h"

namespace KORV {
namespace SIM {

SimQuerySide::SimQuerySide(Reactor* reactor, const SimOptions& market, const ReplayCapture& capture,
                           const std::vector<int>& topics)
    : m_reactor(reactor), m_market(market), m_publisher(nullptr), m_server(nullptr)
{
    std::vector<int> ids = topics;
    if (ids.empty())
        for (const auto& topic : capture.get_topics())
            ids.push_back(topic.first);
    // The market's clock starts at the capture's first record, so that
    // every replay of the file agrees.
    int64_t first_ns = capture.get_first_ns();
    unsigned seconds = unsigned(first_ns / 1000000000);
    unsigned millisec = unsigned(first_ns / 1000000 % 1000);
    // Never publishes: the publisher has no session.
    m_publisher = new SimPublisher(nullptr, m_market.m_datagram_size, SimFaults(), 0);
    m_market.m_topics.clear();
    for (int topic_id : ids) {
        ReplayTopicPlan plan = capture.plan(topic_id);
        SimTopic* topic =
            new SimTopic(topic_id, m_market.m_instruments, m_market.m_depth, m_market.m_seed,
                         m_market.m_history, m_publisher, seconds, millisec);
        topic->seek(long(plan.first_packet_no) - 1, SEEK_SET);
        m_topics.push_back(topic);
        m_market.m_topics.push_back(topic_id);
    }
}

SimQuerySide::~SimQuerySide()
{
    delete m_server;
    for (SimTopic* topic : m_topics)
        delete topic;
    delete m_publisher;
}

int SimQuerySide::start(std::string& location, std::string& error)
{
    location = ReplayEngine::free_local_location();
    m_market.m_listen_locations = {location};
    m_market.m_login_error_location.clear();
    m_market.m_stop_location.clear();
    m_server = new SimServer(m_reactor, m_market, m_topics);
    std::string failed;
    if (m_server->start(failed) != 0) {
        error = "the simulator's query side cannot listen on " + failed;
        return -1;
    }
    return 0;
}

}  // namespace SIM
}  // namespace KORV
