// Internal: the simulator's market as the query side of a replay, for
// capture files of the simulator that hold no query side of their own.
//
// Each topic's market starts from the given seed, instruments and depth,
// and its snapshot claims the packet before the topic's first one in the
// file; nothing is published. A capture of the simulator from its first
// packet on, replayed against the same market options, therefore replays
// to the simulator's own end state; with other options the book is the
// made-up market's, which is why a replay uses this only when told to.
//
// Reactor thread only; it runs on the replay engine's reactor.
#pragma once

#include <string>
#include <vector>

#include "apps/korv_md_simulator/SimOptions.h"

class Reactor;
class ReplayCapture;

namespace KORV {
namespace SIM {

class SimPublisher;
class SimServer;
class SimTopic;

class SimQuerySide {
public:
    // topics: those of the capture to answer for (empty: every one).
    SimQuerySide(Reactor* reactor, const SimOptions& market, const ReplayCapture& capture,
                 const std::vector<int>& topics);
    ~SimQuerySide();
    SimQuerySide(const SimQuerySide&) = delete;
    SimQuerySide& operator=(const SimQuerySide&) = delete;

    // Listens on a free port of 127.0.0.1: 0 with its location, or -1 with
    // error set.
    int start(std::string& location, std::string& error);

private:
    Reactor* m_reactor;
    SimOptions m_market;
    SimPublisher* m_publisher;
    std::vector<SimTopic*> m_topics;
    SimServer* m_server;
};

}  // namespace SIM
}  // namespace KORV
