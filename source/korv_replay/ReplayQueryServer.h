// Public interface of the replay component: a query server that answers
// from a capture file what the recorded query server answered.
//
// It listens through the library's TCP transport, so the library's own
// query stub (or any client) reaches it as it reaches a live server: the
// login gets the recorded login answer; a snapshot query gets the latest
// recorded snapshot of its topic at or before the replay's point in the
// file (set_point, counted in datagrams), and waits for the point to reach
// the topic's first snapshot when there is none before it yet; a gap query
// gets every packet of its range that the file holds, from any line or gap
// reply, up to a limit per topic (the start of a hole nothing covers, so
// that nothing beyond what the replay vouches for is served).
//
// Reactor thread only.
#pragma once

#include <cstdint>
#include <list>
#include <map>
#include <string>
#include <vector>

#include "velta/source/protocol/Demuxer.h"
#include "velta/source/protocol/tcp/TcpProtocolKey.h"
#include "velta/source/task/Task.h"

class MdqpSender;
class ReplayCapture;
class ReplayQueryConnection;
class Reactor;
class TcpProtocol;

struct ReplayQueryCounters {
    uint64_t connections = 0;
    uint64_t logins = 0;
    uint64_t snapshots = 0;
    uint64_t held_snapshots = 0;
    uint64_t gap_queries = 0;
    uint64_t gap_packets = 0;
};

class ReplayQueryServer {
public:
    // The most packets one gap reply carries; a client asking for more
    // meets the rest of its gap again and asks again.
    static constexpr int MAX_GAP_REPLY = 1000;

    // capture is not owned and must outlive the server.
    ReplayQueryServer(Reactor* reactor, const ReplayCapture& capture,
                      const std::vector<std::string>& locations);
    ~ReplayQueryServer();
    ReplayQueryServer(const ReplayQueryServer&) = delete;
    ReplayQueryServer& operator=(const ReplayQueryServer&) = delete;

    // Starts listening everywhere: 0, or the first failure (error_location
    // says where).
    int start(std::string& error_location);
    // The replay has handed on this many datagrams of the file; snapshot
    // queries that waited for it are answered now.
    void set_point(size_t datagrams);
    // Packets of the topic from this number on are not served.
    void set_limit(int topic_id, uint32_t packet_no) { m_limits[topic_id] = packet_no; }
    const ReplayQueryCounters& get_counters() const { return m_counters; }

    // For the connections.
    void answer_login(MdqpSender& sender, uint32_t request_id);
    void answer_snapshot(ReplayQueryConnection* connection, uint32_t request_id, int topic_id);
    void answer_gap(MdqpSender& sender, uint32_t request_id, int topic_id, uint32_t begin,
                    uint32_t end);
    // Deletes the connection on the reactor's next turn.
    void release(ReplayQueryConnection* connection);

private:
    class ListenPoint : public Demuxer {
    public:
        ListenPoint(ReplayQueryServer* server, const std::string& location,
                    const TcpProtocolKey& key)
            : m_server(server), m_location(location), m_key(key)
        {
        }
        int handle_packet(Protocol* from, const ProtocolKey* key, Packet* stream) override;
        int handle_error(Protocol*, const ProtocolKey*, int) override { return 0; }

        ReplayQueryServer* m_server;
        std::string m_location;
        TcpProtocolKey m_key;
        bool m_listening = false;
    };

    struct m_cleanup_task_type : Task {
        explicit m_cleanup_task_type(ReplayQueryServer* owner) : m_owner(owner) {}
        void wake_up() override { m_owner->on_cleanup(); }
        ReplayQueryServer* m_owner;
    };

    struct HeldQuery {
        ReplayQueryConnection* connection;
        uint32_t request_id;
        int topic_id;
    };

    int accept(Protocol* from, const ProtocolKey* key, Packet* stream);
    void on_cleanup();
    void destroy(ReplayQueryConnection* connection);
    // The latest snapshot of the topic at or before the point, or -1; sets
    // later when the file holds one after it.
    int find_snapshot(int topic_id, bool& later) const;
    void send_snapshot(MdqpSender& sender, uint32_t request_id, size_t index);

    Reactor* m_reactor;
    const ReplayCapture& m_capture;
    TcpProtocol* m_tcp;
    std::vector<ListenPoint*> m_points;
    std::list<ReplayQueryConnection*> m_connections;
    std::vector<ReplayQueryConnection*> m_released;
    std::vector<HeldQuery> m_held;
    std::map<int, uint32_t> m_limits;
    m_cleanup_task_type m_cleanup_task;
    size_t m_point = 0;
    ReplayQueryCounters m_counters;
};
