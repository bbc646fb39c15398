// Internal: the whole market data simulator: the topics, the multicast
// publisher and the MDQP query server on one reactor.
//
// A tick every TICK_MS publishes as many sequences as the packet rate
// allows by then (topics in turn), sends a heartbeat for every topic idle
// for the heartbeat time, runs the timed faults and ends the datagram
// being packed. Publishing stops after the duration; serving and heartbeats
// go on for the linger time, then the simulator is done. With a capture
// to replay, its datagrams are published instead of the topics' sequences
// and heartbeats, until the file ends, and the query server answers from
// the file's recorded query side instead of the market.
//
// The reactor's loop is driven by the caller, one iteration per step(),
// on the caller's thread; tests interleave their own objects on the same
// reactor that way. run() is the whole life of the executable.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "apps/korv_md_simulator/SimOptions.h"
#include "velta/source/task/Task.h"

class Reactor;
class TaskScheduler;
class ReplayQueryServer;
class UdpgProtocol;

namespace KORV {
namespace SIM {

class SimPublisher;
class SimReplaySource;
class SimServer;
class SimTopic;

class MdSimulator {
public:
    // One jiffy of the timing wheel, its finest delay (a shorter one would
    // wait a whole turn of the wheel).
    static constexpr unsigned TICK_MS = 8;

    explicit MdSimulator(const SimOptions& options);
    ~MdSimulator();
    MdSimulator(const MdSimulator&) = delete;
    MdSimulator& operator=(const MdSimulator&) = delete;

    // Starts serving and the clock: 0, or -1 with a message on stderr.
    int start();
    // One reactor iteration; false once the simulator is done.
    bool step();
    // Ends publishing and serving now (safe from a signal handler).
    static void request_stop();
    // start(), step() until done, finish(): the exit status.
    int run();
    // Writes the truth file if asked for and prints the summary line:
    // 0, or 1 when the truth could not be written.
    int finish();

    Reactor* get_reactor() const { return m_reactor; }
    // True until the duration has passed (after start).
    bool is_publishing() const { return m_publishing; }
    const std::vector<SimTopic*>& get_topics() const { return m_topics; }
    SimServer* get_server() const { return m_server; }
    SimPublisher* get_publisher() const { return m_publisher; }
    std::string summary_line() const;
    int write_truth(const std::string& path) const;

private:
    struct m_tick_task_type : Task {
        explicit m_tick_task_type(MdSimulator* owner) : m_owner(owner) {}
        void wake_up() override { m_owner->on_tick(); }
        MdSimulator* m_owner;
    };

    void on_tick();
    uint64_t elapsed_ms() const;
    void publish_due(uint64_t elapsed);

    SimOptions m_options;
    Reactor* m_reactor;
    UdpgProtocol* m_udpg;
    SimPublisher* m_publisher;
    // Set with --replay: publishes instead of the topics, and its query
    // side answers instead of m_server.
    SimReplaySource* m_replay;
    ReplayQueryServer* m_replay_server;
    std::vector<SimTopic*> m_topics;
    std::vector<uint64_t> m_last_sent_ms;
    SimServer* m_server;
    TaskScheduler* m_tick_scheduler;
    m_tick_task_type m_tick_task;
    uint64_t m_start_ms;
    // When serving ends (after the linger), once publishing has ended.
    uint64_t m_end_ms;
    uint64_t m_sequences;
    uint64_t m_market_packets;
    size_t m_next_topic;
    bool m_publishing;
    bool m_burst_done;
    bool m_stop_done;
    bool m_done;
};

}  // namespace SIM
}  // namespace KORV
