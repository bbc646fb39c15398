// Internal: one accepted MDQP connection of the simulator's query server.
//
// Answers in the order the client stub expects: a login response (trans id
// RspUserLogin) to each login, then, once logged in, one multi-packet
// response per snapshot or gap query under the query's request id. Queries
// before a successful login, for unknown topics or malformed ones are
// answered with an MDQP_RspInfo error instead. The channel underneath
// keeps the connection alive with heartbeats and drops a silent peer.
//
// Reactor thread only. Owns its channel and sender; the server owns the
// connection and deletes it after the channel reported its end.
#pragma once

#include <cstdint>

#include "source/mdqp_protocol/MdqpPacketHandler.h"

class MdqpChannel;
class MdqpSender;
class Reactor;
class Session;

namespace KORV {
namespace SIM {

class SimServer;

class SimConnection : public MdqpPacketHandler {
public:
    // Takes the session of the accepted connection.
    SimConnection(SimServer* server, int listen_index, Reactor* reactor, Session* session);
    ~SimConnection() override;
    SimConnection(const SimConnection&) = delete;
    SimConnection& operator=(const SimConnection&) = delete;

    int handle_packet(MdqpChannel* channel, const MdqpPacket* packet) override;
    int handle_error(MdqpChannel* channel, int error) override;

    MdqpChannel* get_channel() const { return m_channel; }
    int get_listen_index() const { return m_listen_index; }

private:
    void on_login(const MdqpPacket& packet);
    void on_snapshot(const MdqpPacket& packet);
    void on_gap(const MdqpPacket& packet);
    void reply_error(uint8_t trans_id, uint32_t request_id, int error_id, const char* text);

    SimServer* m_server;
    int m_listen_index;
    MdqpChannel* m_channel;
    MdqpSender* m_sender;
    bool m_logged_in;
    // Set once the channel reported its end (or is being deleted): its
    // later reports are ignored.
    bool m_closed;
};

}  // namespace SIM
}  // namespace KORV
