// Internal: the UDP multicast transport, always the lowest layer of a stack.
//
// Binding an upper demuxer for a group location opens one receiving channel
// per distinct group and interface selector (two locations that differ only
// in their source share the first one's channel) and hands every datagram
// to the demuxer as a packet. open_session gives a sending session. All on
// the protocol's reactor thread.
#pragma once

#include <netinet/in.h>

#include <map>

#include "velta/source/protocol/Protocol.h"
#include "velta/source/protocol/Session.h"
#include "velta/source/protocol/udpg/UdpgProtocolKey.h"

class Reactor;
class TaskScheduler;
class UdpgChannel;

class UdpgProtocol : public Protocol {
public:
    explicit UdpgProtocol(Reactor* reactor);
    UdpgProtocol(const UdpgProtocol&) = delete;
    UdpgProtocol& operator=(const UdpgProtocol&) = delete;
    // Closes every channel.
    ~UdpgProtocol() override;

    static const char* get_protocol_name() { return UDPG_PROTOCOL_NAME; }

    // UDPG is always the lowest layer: both throw.
    int handle_packet(Protocol* from, const ProtocolKey* key, Packet* packet) override;
    int handle_error(Protocol* from, const ProtocolKey* key, int error) override;

    // A new sending session for the group, owned by the caller; null for a
    // foreign key.
    Session* open_session(const ProtocolKey* key, Protocol* lower, Session* lower_session) override;
    // -EFAULT for a foreign key. Joins the group on first use; a second
    // demuxer for the same group replaces the first. A group that cannot
    // be joined (its route or interface gone) gives the failing step's
    // negative code, reported on standard output, and leaves no channel.
    int bind_upper_demuxer(const ProtocolKey* key, Demuxer* upper) override;
    // Closes the group's channel.
    int unbind_upper_demuxer(const ProtocolKey* key) override;

    void close_channel(UdpgProtocolKey key);
    size_t channel_count() const { return m_channels.size(); }
    // The sender of the datagram the group's channel is handing up; false
    // for a foreign key or a group without a channel.
    bool get_sender(const ProtocolKey* key, sockaddr_in& sender) const;

private:
    UdpgChannel* find_channel(const UdpgProtocolKey& key) const;

    Reactor* m_reactor;
    std::map<UdpgProtocolKey, UdpgChannel*> m_channels;
    std::map<UdpgProtocolKey, UdpgChannel*> m_bound_channels;
};

// A sending socket for one group: multicast TTL 32 through the interface
// the key's selector picks.
class UdpgSession : public Session {
public:
    // A failing set-up step stops the process.
    UdpgSession(Reactor* reactor, UdpgProtocol* protocol, const UdpgProtocolKey& key);
    UdpgSession(const UdpgSession&) = delete;
    UdpgSession& operator=(const UdpgSession&) = delete;
    ~UdpgSession() override;

    // Wakes the task when the socket can be written.
    int schedule(Task* task) override;
    // 0 when sent, -1 when the socket cannot take it now, else the error.
    int write(const PacketBuffer& buffer) override;
    ProtocolKey* get_protocol_key() override { return &m_key; }
    Protocol* get_protocol() override { return m_protocol; }
    int fd() const { return m_local_fd; }

private:
    Reactor* m_reactor;
    int m_local_fd;
    UdpgProtocol* m_protocol;
    UdpgProtocolKey m_key;
    TaskScheduler* m_output_scheduler;
};
