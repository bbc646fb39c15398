#include "velta/source/protocol/udpg/UdpgProtocol.h"

#include <arpa/inet.h>

#include <memory>
#include <stdexcept>

#include "velta/source/base/ErrorCode.h"
#include "velta/source/base/PacketBuffer.h"
#include "velta/source/base/SocketFunctions.h"
#include "velta/source/protocol/ProtocolReport.h"
#include "velta/source/protocol/udpg/UdpgChannel.h"
#include "velta/source/task/Reactor.h"
#include "velta/source/task/TaskScheduler.h"

UdpgSession::UdpgSession(Reactor* reactor, UdpgProtocol* protocol, const UdpgProtocolKey& key)
    : m_reactor(reactor), m_local_fd(-1), m_protocol(protocol), m_key(key),
      m_output_scheduler(nullptr)
{
    // Sends go out through the selected interface only, so that a host on
    // several networks publishes on the one its subscribers are on.
    if ((m_local_fd = udp_create()) < 0)
        VELTA_RUNTIME_ERROR("Can not create write socket for group communication");
    // Enough hops for a routed site, never the open network.
    VELTA_CHECK_SETUP(socket_set_multicast_ttl(m_local_fd, 32));
    // A selector of 0.0.0.0 matches no interface address and leaves the
    // choice to the routing table.
    in_addr local_if{get_subnet_if_addr(key.m_if_addr.s_addr)};
    VELTA_CHECK_SETUP(socket_set_multicast_if(m_local_fd, local_if));
    // A full socket buffer must not stall the reactor.
    VELTA_CHECK_SETUP(socket_set_nonblocking(m_local_fd));
    // Any free port on the interface's address.
    VELTA_CHECK_SETUP(socket_bind(m_local_fd, ntohl(local_if.s_addr), 0));
    if ((m_output_scheduler = reactor->open_output_scheduler(m_local_fd)) == nullptr)
        VELTA_RUNTIME_ERROR("open_output_scheduler(m_local_fd)");
}

UdpgSession::~UdpgSession()
{
    socket_close(m_local_fd);
    delete m_output_scheduler;
}

int UdpgSession::schedule(Task* task)
{
    return m_output_scheduler->schedule(task);
}

int UdpgSession::write(const PacketBuffer& buffer)
{
    int result = udp_send_to(m_local_fd, buffer.data(), buffer.length(), m_key.m_group_addr);
    return result < 0 ? result : 0;
}

UdpgProtocol::UdpgProtocol(Reactor* reactor) : m_reactor(reactor) {}

UdpgProtocol::~UdpgProtocol()
{
    while (!m_channels.empty())
        close_channel(m_channels.begin()->first);
}

int UdpgProtocol::handle_packet(Protocol*, const ProtocolKey*, Packet*)
{
    throw std::logic_error("The method or operation is not implemented.");
}

int UdpgProtocol::handle_error(Protocol*, const ProtocolKey*, int)
{
    throw std::logic_error("The method or operation is not implemented.");
}

Session* UdpgProtocol::open_session(const ProtocolKey* key, Protocol*, Session*)
{
    if (key == nullptr || key->protocol_id() != PROTOCOL_ID_UDPG)
        return nullptr;
    return new UdpgSession(m_reactor, this, *static_cast<const UdpgProtocolKey*>(key));
}

int UdpgProtocol::bind_upper_demuxer(const ProtocolKey* key, Demuxer* upper)
{
    if (key == nullptr || key->protocol_id() != PROTOCOL_ID_UDPG)
        return EC_MISMATCH;
    const UdpgProtocolKey& group_key = *static_cast<const UdpgProtocolKey*>(key);
    UdpgChannel* channel = find_channel(group_key);
    if (channel == nullptr) {
        std::unique_ptr<UdpgChannel> opened(new UdpgChannel(m_reactor, this, group_key));
        int result = opened->open();
        if (result != 0)
            return result;
        channel = opened.release();
        m_channels[group_key] = channel;
    }
    m_bound_channels[group_key] = channel;
    channel->bind_upper_demuxer(upper);
    return 0;
}

int UdpgProtocol::unbind_upper_demuxer(const ProtocolKey* key)
{
    if (key == nullptr || key->protocol_id() != PROTOCOL_ID_UDPG)
        return EC_MISMATCH;
    auto bound = m_bound_channels.find(*static_cast<const UdpgProtocolKey*>(key));
    if (bound == m_bound_channels.end())
        return 0;
    // Closes the channel, which takes it out of both maps.
    bound->second->unbind_upper_demuxer();
    return 0;
}

UdpgChannel* UdpgProtocol::find_channel(const UdpgProtocolKey& key) const
{
    auto found = m_channels.find(key);
    return found == m_channels.end() ? nullptr : found->second;
}

bool UdpgProtocol::get_sender(const ProtocolKey* key, sockaddr_in& sender) const
{
    if (key == nullptr || key->protocol_id() != PROTOCOL_ID_UDPG)
        return false;
    UdpgChannel* channel = find_channel(*static_cast<const UdpgProtocolKey*>(key));
    if (channel == nullptr)
        return false;
    sender = channel->sender();
    return true;
}

void UdpgProtocol::close_channel(UdpgProtocolKey key)
{
    auto found = m_channels.find(key);
    if (found == m_channels.end())
        return;
    UdpgChannel* channel = found->second;
    // Out of both maps before the channel goes: its destructor tells the
    // demuxer, which may call back into this protocol for the same group.
    m_channels.erase(found);
    m_bound_channels.erase(key);
    delete channel;
}
