// Internal to the capture: the capture's own session with the query
// server. It logs in, asks for snapshots and gaps, keeps the session alive
// with heartbeats, and hands every byte it sends and receives to a
// TcpStreamRecorder, so that the file holds the session as a capture of the
// wire would.
//
// The socket is non-blocking and the owner's poll loop drives it
// (get_poll_events, on_ready, on_tick), so a slow or silent server never
// holds up the recording of the multicast lines. Queries asked before the
// login has been answered wait and go out right after it.
//
// A gap reply that does not hold every packet asked for leaves a hole that
// nothing in the session fills, so the client then asks for a snapshot of
// the topic.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

class PcapngWriter;
class TcpStreamRecorder;

struct CaptureCredentials {
    std::string participant_id;
    std::string user_id;
    std::string password;
};

class CaptureQueryClient {
public:
    enum State { ST_Connecting, ST_WaitLogin, ST_LoggedIn, ST_Failed };

    // Records into interface_id of the writer, which outlives the client.
    CaptureQueryClient(const std::string& location, const sockaddr_in& server,
                       const CaptureCredentials& credentials, PcapngWriter& writer,
                       uint32_t interface_id);
    ~CaptureQueryClient();
    CaptureQueryClient(const CaptureQueryClient&) = delete;
    CaptureQueryClient& operator=(const CaptureQueryClient&) = delete;

    // Starts connecting; the state is then ST_Connecting or ST_Failed.
    void start();
    // The socket (-1 once failed) and the poll events it waits for.
    int get_fd() const { return m_fd; }
    short get_poll_events() const;
    // The socket is ready (revents from poll).
    void on_ready(short revents);
    // Time-outs, heartbeats and keep-alive; call a few times a second.
    void on_tick();

    void query_snapshot(uint16_t topic);
    void query_gap(uint16_t topic, uint32_t begin, uint32_t end);
    // Ends the session and records the close of its stream.
    void close();

    State get_state() const { return m_state; }
    // Why the session failed (ST_Failed), and whether it had logged in.
    const std::string& get_failure() const { return m_failure; }
    bool was_logged_in() const { return m_logged_in; }

    uint64_t get_snapshots() const { return m_snapshots; }
    uint64_t get_gap_queries() const { return m_gap_queries; }
    uint64_t get_unfilled_gaps() const { return m_unfilled_gaps; }
    uint64_t get_refused_queries() const { return m_refused_queries; }

    // How long the connection and the login may take, and the silence after
    // which a session counts as dead, in seconds.
    static constexpr int CONNECT_TIMEOUT_S = 5;
    static constexpr int LOGIN_TIMEOUT_S = 5;
    static constexpr int KEEP_ALIVE_S = 10;
    static constexpr int HEARTBEAT_S = 3;

private:
    struct Query {
        uint8_t trans_id;
        uint16_t topic;
        uint32_t begin;
        uint32_t end;
        uint64_t packets;  // of a gap reply: packets in [begin, end)
        bool refused;      // the reply carried an error
    };

    void connected();
    void send_login();
    void send_query(uint32_t request_id, const Query& query);
    void send_packet(uint8_t trans_id, uint32_t request_id, uint16_t field_id, const char* field,
                     int field_size);
    void flush_output();
    void read_input();
    void handle_packet(uint8_t trans_id, uint8_t flag, uint32_t request_id, const char* body,
                       int length);
    void handle_reply(Query& query, uint32_t request_id, bool last, const char* body, int length);
    void fail(const std::string& reason);

    std::string m_location;
    sockaddr_in m_server;
    CaptureCredentials m_credentials;
    PcapngWriter& m_writer;
    uint32_t m_interface_id;
    std::unique_ptr<TcpStreamRecorder> m_recorder;
    int m_fd = -1;
    State m_state = ST_Connecting;
    bool m_logged_in = false;
    std::string m_failure;
    uint32_t m_request_id = 0;
    // Asked before the login was answered, in order.
    std::vector<Query> m_waiting;
    // Sent and not yet wholly answered, by request id.
    std::map<uint32_t, Query> m_open;
    std::string m_output;
    std::string m_input;
    int64_t m_state_since_ms = 0;
    int64_t m_last_received_ms = 0;
    int64_t m_last_heartbeat_ms = 0;
    uint64_t m_snapshots = 0;
    uint64_t m_gap_queries = 0;
    uint64_t m_unfilled_gaps = 0;
    uint64_t m_refused_queries = 0;
};
