// Internal: the simulator's MDQP query server.
//
// Listens on every configured location through the TCP transport. The
// first bytes of an accepted connection reach the location's listen point,
// which opens a session on the connection and wraps it in a SimConnection;
// from then on the connection's own MDQP channel reads it. For failover
// tests a location can stop serving (its listener goes and its connections
// are closed), and one location can refuse every login.
//
// Reactor thread only.
#pragma once

#include <cstdint>
#include <list>
#include <string>
#include <vector>

#include "velta/source/protocol/Demuxer.h"
#include "velta/source/protocol/tcp/TcpProtocolKey.h"
#include "velta/source/task/Task.h"

namespace BRAX {
namespace KORV {
class MDQP_ReqUserLogin;
}  // namespace KORV
}  // namespace BRAX

class Reactor;
class TcpProtocol;

namespace KORV {
namespace SIM {

class SimConnection;
class SimOptions;
class SimTopic;

struct SimServerCounters {
    uint64_t connections = 0;
    uint64_t logins = 0;
    uint64_t refused_logins = 0;
    uint64_t snapshots = 0;
    uint64_t gap_queries = 0;
    uint64_t gap_packets = 0;
};

class SimServer {
public:
    // The most packets one gap reply carries; a client asking for more
    // meets the rest of its gap again and asks again.
    static constexpr int MAX_GAP_REPLY = 1000;

    SimServer(Reactor* reactor, const SimOptions& options, const std::vector<SimTopic*>& topics);
    ~SimServer();
    SimServer(const SimServer&) = delete;
    SimServer& operator=(const SimServer&) = delete;

    // Starts listening everywhere: 0, or the first failure (error_location
    // says where).
    int start(std::string& error_location);
    // The location stops accepting and its connections are closed.
    void stop_serving(const std::string& location);

    // For the connections.
    SimTopic* find_topic(int topic_id) const;
    bool accepts_login(int listen_index, const BRAX::KORV::MDQP_ReqUserLogin& login) const;
    bool refuses_logins(int listen_index) const;
    // Deletes the connection on the reactor's next turn.
    void release(SimConnection* connection);
    SimServerCounters& counters() { return m_counters; }
    const SimServerCounters& get_counters() const { return m_counters; }

private:
    // Where the connections of one location first deliver.
    class ListenPoint : public Demuxer {
    public:
        ListenPoint(SimServer* server, int index, const std::string& location,
                    const TcpProtocolKey& key)
            : m_server(server), m_index(index), m_location(location), m_key(key)
        {
        }
        int handle_packet(Protocol* from, const ProtocolKey* key, Packet* stream) override;
        // A connection that closed before it sent anything.
        int handle_error(Protocol*, const ProtocolKey*, int) override { return 0; }

        SimServer* m_server;
        int m_index;
        std::string m_location;
        TcpProtocolKey m_key;
        bool m_listening = false;
    };

    struct m_cleanup_task_type : Task {
        explicit m_cleanup_task_type(SimServer* owner) : m_owner(owner) {}
        void wake_up() override { m_owner->on_cleanup(); }
        SimServer* m_owner;
    };

    int accept(ListenPoint* point, Protocol* from, const ProtocolKey* key, Packet* stream);
    void on_cleanup();
    void destroy(SimConnection* connection);

    Reactor* m_reactor;
    const SimOptions& m_options;
    std::vector<SimTopic*> m_topics;
    TcpProtocol* m_tcp;
    std::vector<ListenPoint*> m_points;
    std::list<SimConnection*> m_connections;
    std::vector<SimConnection*> m_released;
    m_cleanup_task_type m_cleanup_task;
    SimServerCounters m_counters;
};

}  // namespace SIM
}  // namespace KORV
