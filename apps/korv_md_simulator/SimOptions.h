// Internal: the simulator's command line.
//
// Every option has a default, so that running the simulator without any
// starts a complete market in the private test network (see usage_text).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace KORV {
namespace SIM {

class SimOptions {
public:
    SimOptions();

    // 0 to run, 1 when --help was asked for, -1 on a bad command line
    // (get_error() says why).
    int parse(int argc, const char* const* argv);
    const std::string& get_error() const { return m_error; }

    // The usage text; program is the name to show.
    static std::string usage_text(const char* program);

    std::vector<std::string> m_listen_locations;
    std::string m_publish_location;
    std::vector<int> m_topics;
    int m_instruments;
    // Market event packets per second, all topics together.
    int m_rate;
    double m_duration_seconds;
    // Serving queries and heartbeats goes on this long after publishing ends.
    double m_linger_seconds;
    uint64_t m_seed;
    int m_depth;
    std::string m_participant_id;
    std::string m_user_id;
    std::string m_password;
    // MIRP packets kept per topic for gap queries.
    int m_history;
    int m_heartbeat_ms;
    // The query server sends at most this many Mbit/s on each connection,
    // as a slower link would; 0: as fast as the connection takes.
    double m_snapshot_mbit;
    int m_datagram_size;
    std::string m_truth_path;
    // A capture file to publish instead of the market, at this multiple of
    // its recorded pace, this many times (0: without end).
    std::string m_replay_path;
    double m_replay_speed;
    int m_replay_rounds;

    // Fault injection.
    double m_drop_fraction;
    double m_duplicate_fraction;
    int m_reorder_window;
    double m_truncate_fraction;
    double m_delay_fraction;
    double m_burst_at_seconds;  // negative: no burst
    int m_burst_count;
    std::string m_stop_location;
    double m_stop_at_seconds;
    std::string m_login_error_location;

private:
    int fail(const std::string& text);
    int parse_option(const std::string& name, const char* value);

    std::string m_error;
};

}  // namespace SIM
}  // namespace KORV
