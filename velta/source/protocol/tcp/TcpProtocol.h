// Internal: the TCP transport, the lowest layer of a protocol stack for
// byte-stream connections.
//
// open_session connects to a client key's server (or shares the channel
// already open for it); bind_upper_demuxer either starts reading a channel
// for the demuxer or, for a listening key, starts accepting connections
// whose channels deliver to it. Everything runs on the protocol's reactor
// thread; only the listening descriptor travels between reactors (see
// TcpListenManager).
#pragma once

#include <cstdint>
#include <map>

#include "velta/source/protocol/Protocol.h"
#include "velta/source/protocol/tcp/TcpProtocolKey.h"

class Reactor;
class TcpChannel;
class TcpListener;

class TcpProtocol : public Protocol {
public:
    explicit TcpProtocol(Reactor* reactor);
    TcpProtocol(const TcpProtocol&) = delete;
    TcpProtocol& operator=(const TcpProtocol&) = delete;
    // Stops listening and closes every channel.
    ~TcpProtocol() override;

    static const char* get_protocol_name() { return TCP_PROTOCOL_NAME; }
    Reactor* reactor() const { return m_reactor; }

    // Nothing lies below TCP: both throw.
    int handle_packet(Protocol* from, const ProtocolKey* key, Packet* packet) override;
    int handle_error(Protocol* from, const ProtocolKey* key, int error) override;

    // A new session of the key's channel, connecting first when there is
    // none; null for a foreign key or when the connect cannot be started.
    Session* open_session(const ProtocolKey* key, Protocol* lower, Session* lower_session) override;
    // -EFAULT for a foreign key; -ENOMEM (EC_EXIST) when this protocol
    // listens on the local address already; EC_NOENT for a client key
    // without a channel; else the listener set-up's result.
    int bind_upper_demuxer(const ProtocolKey* key, Demuxer* upper) override;
    int unbind_upper_demuxer(const ProtocolKey* key) override;

    void close_channel(TcpProtocolKey key);
    // A channel for an accepted descriptor, reading for the demuxer at once.
    int passive_open(int fd, const TcpProtocolKey& key, Demuxer* upper);

    TcpChannel* find_channel(const TcpProtocolKey& key) const;
    size_t channel_count() const { return m_channels.size(); }

private:
    TcpChannel* connect(const TcpProtocolKey& key);

    Reactor* m_reactor;
    std::map<TcpProtocolKey, TcpChannel*> m_channels;
    std::map<uint64_t, TcpListener*> m_listeners;
    std::map<TcpProtocolKey, TcpChannel*> m_bound_channels;
};
