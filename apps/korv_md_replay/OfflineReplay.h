// Internal to the replay: the library's receive path for one topic, fed with
// captured datagrams instead of a multicast socket, and the simulator's
// query server in the same process answering its login and snapshot.
//
// Everything runs on one ReplayReactor that the caller steps: the query
// server listens on 127.0.0.1 (a free port), the library's query stub logs
// in to it, the topic's subscriber takes its snapshot, and from then on
// feed() hands each datagram to the multicast demultiplexer, which cuts it
// into packets for the subscriber, the book and the notifier, whose handler
// prints the lines. The demultiplexer never joins its group.
//
// The snapshot is the simulator's market as it starts from the given seed,
// instruments and depth, claimed at the packet before the capture's first
// one: a capture of the simulator from its first packet on therefore
// replays to the simulator's own end state. A capture that starts later
// (live) applies from its first packet on without asking for the packets
// before it; until an instrument changes, the book holds its starting
// values, and events that do not fit them are refused by the book.
//
// Caller's thread only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "apps/korv_md_replay/ReplayReactor.h"
#include "apps/korv_md_simulator/SimOptions.h"
#include "source/korv_user/KorvUserTopic.h"

namespace BRAX {
namespace KORV_USER_API {
class KorvMarketDataHandler;
}  // namespace KORV_USER_API
}  // namespace BRAX

class KorvUserTopicNotifier;

namespace KORV {
namespace SIM {
class SimPublisher;
class SimServer;
class SimTopic;
}  // namespace SIM
namespace USER {
class KorvUserMdqpStub;
class KorvUserMirpDemuxer;
class KorvUserSubscriber;
}  // namespace USER
}  // namespace KORV

class OfflineReplay {
public:
    // market: the simulator options whose seed, instrument count, depth and
    // credentials make the query side; its topic list and locations are
    // replaced. handler is not owned.
    OfflineReplay(int topic_id, const KORV::SIM::SimOptions& market,
                  BRAX::KORV_USER_API::KorvMarketDataHandler* handler);
    ~OfflineReplay();
    OfflineReplay(const OfflineReplay&) = delete;
    OfflineReplay& operator=(const OfflineReplay&) = delete;

    // Starts the query server, with the market's time set to seconds and
    // millisec (take the capture's first one, so that runs agree) and its
    // snapshot claiming first_packet_no - 1, and steps the loop until the
    // subscriber has its snapshot: 0, or a negative code with error set.
    int start(unsigned seconds, unsigned millisec, uint32_t first_packet_no, std::string& error);
    // One captured datagram through the demultiplexer: its answer (0 when
    // every packet in it was whole).
    int feed(const uint8_t* payload, size_t length);
    // One iteration of the loop that does not wait.
    void poll() { m_reactor.poll_once(); }
    // Steps the loop until the subscriber is live with nothing cached, at
    // most timeout_ms: true when it got there.
    bool settle(unsigned timeout_ms);

    KORV::USER::KorvUserSubscriber* get_subscriber() const;
    const KORV::USER::KorvUserTopic& get_topic() const { return m_topic; }
    // Datagrams the demultiplexer did not take whole.
    uint64_t get_refused() const { return m_refused; }

private:
    ReplayReactor m_reactor;
    KORV::USER::KorvUserMirpDemuxer* m_demuxer;
    KORV::SIM::SimOptions m_market;
    int m_topic_id;
    KORV::SIM::SimPublisher* m_publisher;
    KORV::SIM::SimTopic* m_sim_topic;
    KORV::SIM::SimServer* m_server;
    KORV::USER::KorvUserMdqpStub* m_stub;
    KORV::USER::KorvUserTopic m_topic;
    KorvUserTopicNotifier* m_notifier;
    std::vector<char> m_buffer;
    uint64_t m_refused;
};
