// Internal to the replay component: one accepted connection of the
// recorded query server; it reads the client's MDQP requests and leaves
// the answers to the server.
//
// Reactor thread only. Owns its channel and sender; the server owns the
// connection and deletes it after the channel reported its end.
#pragma once

#include "source/mdqp_protocol/MdqpPacketHandler.h"

class MdqpChannel;
class MdqpSender;
class Reactor;
class ReplayQueryServer;
class Session;

class ReplayQueryConnection : public MdqpPacketHandler {
public:
    ReplayQueryConnection(ReplayQueryServer* server, Reactor* reactor, Session* session);
    ~ReplayQueryConnection() override;
    ReplayQueryConnection(const ReplayQueryConnection&) = delete;
    ReplayQueryConnection& operator=(const ReplayQueryConnection&) = delete;

    int handle_packet(MdqpChannel* channel, const MdqpPacket* packet) override;
    int handle_error(MdqpChannel* channel, int error) override;

    MdqpChannel* get_channel() const { return m_channel; }
    MdqpSender& get_sender() { return *m_sender; }

private:
    ReplayQueryServer* m_server;
    MdqpChannel* m_channel;
    MdqpSender* m_sender;
    bool m_closed;
};
