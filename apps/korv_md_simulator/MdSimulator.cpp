#include "apps/korv_md_simulator/MdSimulator.h"

#include <signal.h>
#include <time.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "apps/korv_md_simulator/SimPublisher.h"
#include "apps/korv_md_simulator/SimReplaySource.h"
#include "apps/korv_md_simulator/SimServer.h"
#include "apps/korv_md_simulator/SimTopic.h"
#include "apps/korv_md_simulator/SimTruthWriter.h"
#include "source/korv_replay/ReplayQueryServer.h"
#include "velta/source/protocol/ProtocolStackKey.h"
#include "velta/source/protocol/udpg/UdpgProtocol.h"
#include "velta/source/task/SelectReactor.h"

namespace KORV {
namespace SIM {

namespace {

// Set by SIGINT/SIGTERM; looked at between reactor iterations, which wait
// at most a few milliseconds.
volatile sig_atomic_t g_stop_requested = 0;

// A late tick catches up, but never with more than this many sequences at
// once, so that the loop keeps serving queries.
constexpr int MAX_SEQUENCES_PER_TICK = 2000;

uint64_t monotonic_ms()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return uint64_t(now.tv_sec) * 1000 + uint64_t(now.tv_nsec) / 1000000;
}

void wall_clock(unsigned& seconds, unsigned& millisec)
{
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    seconds = unsigned(now.tv_sec);
    millisec = unsigned(now.tv_nsec / 1000000);
}

uint64_t to_ms(double seconds)
{
    return uint64_t(seconds * 1000 + 0.5);
}

}  // namespace

MdSimulator::MdSimulator(const SimOptions& options)
    : m_options(options),
      m_reactor(new SelectReactor()),
      m_udpg(new UdpgProtocol(m_reactor)),
      m_publisher(nullptr),
      m_replay(nullptr),
      m_replay_server(nullptr),
      m_server(nullptr),
      m_tick_scheduler(m_reactor->open_delay_scheduler(TICK_MS)),
      m_tick_task(this),
      m_start_ms(0),
      m_end_ms(0),
      m_sequences(0),
      m_market_packets(0),
      m_next_topic(0),
      m_publishing(false),
      m_burst_done(false),
      m_stop_done(false),
      m_done(false)
{
    ProtocolStackKey publish_key;
    publish_key.push_client(m_options.m_publish_location.c_str());
    Session* session = m_udpg->open_session(publish_key.get_key(0), nullptr, nullptr);
    SimFaults faults;
    faults.drop_fraction = m_options.m_drop_fraction;
    faults.duplicate_fraction = m_options.m_duplicate_fraction;
    faults.reorder_window = m_options.m_reorder_window;
    faults.truncate_fraction = m_options.m_truncate_fraction;
    faults.delay_fraction = m_options.m_delay_fraction;
    m_publisher = new SimPublisher(session, m_options.m_datagram_size, faults, m_options.m_seed);

    unsigned seconds;
    unsigned millisec;
    wall_clock(seconds, millisec);
    for (int topic_id : m_options.m_topics) {
        m_topics.push_back(new SimTopic(topic_id, m_options.m_instruments, m_options.m_depth,
                                        m_options.m_seed, m_options.m_history, m_publisher, seconds,
                                        millisec));
        m_last_sent_ms.push_back(0);
    }
    m_server = new SimServer(m_reactor, m_options, m_topics);
}

MdSimulator::~MdSimulator()
{
    m_tick_task.cancel();
    delete m_tick_scheduler;
    delete m_server;
    delete m_replay_server;
    delete m_replay;
    for (SimTopic* topic : m_topics)
        delete topic;
    delete m_publisher;
    delete m_udpg;
    delete m_reactor;
}

void MdSimulator::request_stop()
{
    g_stop_requested = 1;
}

int MdSimulator::start()
{
    std::string location;
    int result;
    if (!m_options.m_replay_path.empty()) {
        std::string error;
        m_replay = new SimReplaySource();
        if (m_replay->open(m_options.m_replay_path, m_options.m_replay_speed,
                           m_options.m_replay_rounds, error) != 0) {
            fprintf(stderr, "korv_md_simulator: %s\n", error.c_str());
            return -1;
        }
        m_replay_server =
            new ReplayQueryServer(m_reactor, m_replay->get_capture(), m_options.m_listen_locations);
        result = m_replay_server->start(location);
    } else {
        result = m_server->start(location);
    }
    if (result != 0) {
        fprintf(stderr, "korv_md_simulator: cannot listen on %s (error %d)\n", location.c_str(),
                result);
        return -1;
    }
    m_start_ms = monotonic_ms();
    m_publishing = true;
    m_tick_scheduler->schedule(&m_tick_task);
    printf("korv_md_simulator: ready\n");
    fflush(stdout);
    return 0;
}

bool MdSimulator::step()
{
    if (g_stop_requested)
        m_done = true;
    if (m_done)
        return false;
    m_reactor->wake_up();
    return !m_done;
}

int MdSimulator::run()
{
    if (start() != 0)
        return 1;
    while (step()) {
    }
    return finish();
}

uint64_t MdSimulator::elapsed_ms() const
{
    return monotonic_ms() - m_start_ms;
}

void MdSimulator::on_tick()
{
    uint64_t elapsed = elapsed_ms();
    if (!m_burst_done && m_options.m_burst_at_seconds >= 0 &&
        elapsed >= to_ms(m_options.m_burst_at_seconds)) {
        m_publisher->start_burst(m_options.m_burst_count);
        m_burst_done = true;
    }
    if (!m_stop_done && m_options.m_stop_at_seconds >= 0 &&
        elapsed >= to_ms(m_options.m_stop_at_seconds)) {
        m_server->stop_serving(m_options.m_stop_location);
        m_stop_done = true;
    }
    if (m_replay != nullptr) {
        m_replay->publish_due(elapsed, *m_publisher);
        m_replay_server->set_point(m_replay->get_point());
        // The file, not the duration, says when publishing ends.
        if (m_replay->at_end() && m_publishing)
            m_publishing = false;
    } else if (m_publishing) {
        if (elapsed >= to_ms(m_options.m_duration_seconds))
            m_publishing = false;
        else
            publish_due(elapsed);
    }
    if (!m_publishing && m_end_ms == 0)
        m_end_ms = elapsed + to_ms(m_options.m_linger_seconds);
    unsigned seconds;
    unsigned millisec;
    wall_clock(seconds, millisec);
    for (size_t i = 0; i < m_topics.size() && m_replay == nullptr; ++i) {
        if (elapsed - m_last_sent_ms[i] >= uint64_t(m_options.m_heartbeat_ms)) {
            m_topics[i]->publish_heartbeat(seconds, millisec);
            m_last_sent_ms[i] = elapsed;
        }
    }
    m_publisher->flush();
    if (!m_publishing && elapsed >= m_end_ms) {
        m_done = true;
        return;
    }
    m_tick_scheduler->schedule(&m_tick_task);
}

void MdSimulator::publish_due(uint64_t elapsed)
{
    if (m_topics.empty())
        return;
    unsigned seconds;
    unsigned millisec;
    wall_clock(seconds, millisec);
    uint64_t due = uint64_t(m_options.m_rate) * elapsed / 1000;
    for (int n = 0; m_market_packets < due && n < MAX_SEQUENCES_PER_TICK; ++n) {
        size_t i = m_next_topic++ % m_topics.size();
        int packets = m_topics[i]->publish_sequence(seconds, millisec);
        if (packets > 0) {
            m_market_packets += uint64_t(packets);
            ++m_sequences;
            m_last_sent_ms[i] = elapsed;
        }
    }
}

int MdSimulator::write_truth(const std::string& path) const
{
    FILE* out = fopen(path.c_str(), "w");
    if (out == nullptr) {
        fprintf(stderr, "korv_md_simulator: cannot write the truth to %s: %s\n", path.c_str(),
                strerror(errno));
        return 1;
    }
    SimTruthWriter writer(out);
    for (const SimTopic* topic : m_topics)
        writer.write_topic(topic->get_model(), topic->get_packet_no(), topic->get_snap_no());
    if (fclose(out) != 0) {
        fprintf(stderr, "korv_md_simulator: cannot write the truth to %s: %s\n", path.c_str(),
                strerror(errno));
        return 1;
    }
    return 0;
}

std::string MdSimulator::summary_line() const
{
    uint64_t heartbeats = 0;
    uint64_t encode_failures = 0;
    for (const SimTopic* topic : m_topics) {
        heartbeats += topic->get_heartbeat_count();
        encode_failures += topic->get_encode_failures();
    }
    const SimPublisherCounters& p = m_publisher->get_counters();
    SimServerCounters s = m_server->get_counters();
    if (m_replay_server != nullptr) {
        // The file's query side answered instead.
        const ReplayQueryCounters& r = m_replay_server->get_counters();
        s.connections = r.connections;
        s.logins = r.logins;
        s.snapshots = r.snapshots;
        s.gap_queries = r.gap_queries;
        s.gap_packets = r.gap_packets;
    }
    char line[512];
    snprintf(line, sizeof line,
             "korv_md_simulator: topics %zu, sequences %llu, market packets %llu, heartbeats %llu, "
             "datagrams %llu, sent %llu, dropped %llu, duplicated %llu, send failures %llu, "
             "encode failures %llu, connections %llu, logins %llu, refused logins %llu, "
             "snapshots %llu, gap queries %llu, gap packets %llu, truncated %llu, delayed %llu",
             m_topics.size(), (unsigned long long)m_sequences, (unsigned long long)m_market_packets,
             (unsigned long long)heartbeats, (unsigned long long)p.datagrams,
             (unsigned long long)p.sent, (unsigned long long)p.dropped,
             (unsigned long long)p.duplicated, (unsigned long long)p.send_failures,
             (unsigned long long)encode_failures, (unsigned long long)s.connections,
             (unsigned long long)s.logins, (unsigned long long)s.refused_logins,
             (unsigned long long)s.snapshots, (unsigned long long)s.gap_queries,
             (unsigned long long)s.gap_packets, (unsigned long long)p.truncated,
             (unsigned long long)p.delayed);
    return line;
}

int MdSimulator::finish()
{
    m_publisher->finish();
    int status = m_options.m_truth_path.empty() ? 0 : write_truth(m_options.m_truth_path);
    printf("%s\n", summary_line().c_str());
    fflush(stdout);
    return status;
}

}  // namespace SIM
}  // namespace KORV
