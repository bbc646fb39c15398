#include "velta/source/protocol/tcp/TcpProtocol.h"

#include <arpa/inet.h>
#include <sys/select.h>

#include <cstdio>
#include <stdexcept>

#include "velta/source/base/ErrorCode.h"
#include "velta/source/base/SocketFunctions.h"
#include "velta/source/base/Trace.h"
#include "velta/source/protocol/ProtocolReport.h"
#include "velta/source/protocol/tcp/TcpChannel.h"
#include "velta/source/protocol/tcp/TcpListenManager.h"
#include "velta/source/protocol/tcp/TcpListener.h"
#include "velta/source/protocol/tcp/TcpSession.h"

TcpProtocol::TcpProtocol(Reactor* reactor) : m_reactor(reactor) {}

TcpProtocol::~TcpProtocol()
{
    while (!m_listeners.empty()) {
        TcpListener* listener = m_listeners.begin()->second;
        m_listeners.erase(m_listeners.begin());
        TcpListenManager::m_instance.unreg_listener(listener->local_addr(), listener);
        delete listener;
    }
    while (!m_channels.empty())
        close_channel(m_channels.begin()->first);
}

int TcpProtocol::handle_packet(Protocol*, const ProtocolKey*, Packet*)
{
    throw std::logic_error("The method or operation is not implemented.");
}

int TcpProtocol::handle_error(Protocol*, const ProtocolKey*, int)
{
    throw std::logic_error("The method or operation is not implemented.");
}

TcpChannel* TcpProtocol::find_channel(const TcpProtocolKey& key) const
{
    auto found = m_channels.find(key);
    return found == m_channels.end() ? nullptr : found->second;
}

Session* TcpProtocol::open_session(const ProtocolKey* key, Protocol*, Session*)
{
    if (key == nullptr || key->protocol_id() != PROTOCOL_ID_TCP)
        return nullptr;
    const TcpProtocolKey& tcp_key = *static_cast<const TcpProtocolKey*>(key);
    TcpChannel* channel = find_channel(tcp_key);
    if (channel == nullptr)
        channel = connect(tcp_key);
    return channel == nullptr ? nullptr : channel->open_session();
}

TcpChannel* TcpProtocol::connect(const TcpProtocolKey& key)
{
    int fd = tcp_create();
    // select() cannot wait for a descriptor beyond its set.
    if (fd >= FD_SETSIZE) {
        socket_close(fd);
        fd = EC_ERROR;
    }
    if (fd < 0) {
        VELTA_PRINT_RUNTIME_ERROR("Can not create socket for tcp client");
        return nullptr;
    }
    if (socket_set_nonblocking(fd) != 0) {
        VELTA_PRINT_RUNTIME_ERROR("socket_set_nonblocking(fd)");
        socket_close(fd);
        return nullptr;
    }
    sockaddr_in addr;
    TcpProtocolKey::get_addr(key.m_remote_addr, addr);
    char host[INET_ADDRSTRLEN];
    trace_printf("connect to %s:%d\n", inet_ntop(AF_INET, &addr.sin_addr, host, sizeof(host)),
                 ntohs(addr.sin_port));
    int result = tcp_connect(fd, addr);
    if (result != 0 && result != EC_WOULDBLOCK) {
        VELTA_PRINT_RUNTIME_ERROR("Can not connect socket for tcp client");
        socket_close(fd);
        return nullptr;
    }
    TcpChannel* channel = new TcpChannel(m_reactor, fd, this, key);
    m_channels[key] = channel;
    return channel;
}

int TcpProtocol::bind_upper_demuxer(const ProtocolKey* key, Demuxer* upper)
{
    if (key == nullptr || key->protocol_id() != PROTOCOL_ID_TCP)
        return EC_MISMATCH;
    const TcpProtocolKey& tcp_key = *static_cast<const TcpProtocolKey*>(key);
    TcpChannel* channel = find_channel(tcp_key);
    if (channel != nullptr) {
        m_bound_channels[tcp_key] = channel;
        channel->bind_upper_demuxer(upper);
        return 0;
    }
    // Only a key without a remote address names an address to listen on.
    if (tcp_key.m_remote_addr != 0)
        return EC_NOENT;
    if (m_listeners.count(tcp_key.m_local_addr) != 0)
        return EC_EXIST;
    TcpListener* listener = new TcpListener(m_reactor, this, tcp_key.m_local_addr, upper);
    int result = TcpListenManager::m_instance.reg_listener(tcp_key.m_local_addr, listener);
    if (result != 0) {
        delete listener;
        return result;
    }
    m_listeners[tcp_key.m_local_addr] = listener;
    return 0;
}

int TcpProtocol::unbind_upper_demuxer(const ProtocolKey* key)
{
    if (key == nullptr || key->protocol_id() != PROTOCOL_ID_TCP)
        return EC_MISMATCH;
    const TcpProtocolKey& tcp_key = *static_cast<const TcpProtocolKey*>(key);
    auto bound = m_bound_channels.find(tcp_key);
    if (bound != m_bound_channels.end()) {
        TcpChannel* channel = bound->second;
        m_bound_channels.erase(bound);
        channel->unbind_upper_demuxer();
    }
    if (tcp_key.m_remote_addr == 0) {
        auto listening = m_listeners.find(tcp_key.m_local_addr);
        if (listening != m_listeners.end()) {
            TcpListener* listener = listening->second;
            m_listeners.erase(listening);
            TcpListenManager::m_instance.unreg_listener(tcp_key.m_local_addr, listener);
            delete listener;
        }
    }
    return 0;
}

void TcpProtocol::close_channel(TcpProtocolKey key)
{
    auto found = m_channels.find(key);
    if (found == m_channels.end())
        return;
    TcpChannel* channel = found->second;
    // Out of both maps before the channel goes: its destructor tells the
    // demuxer, which may call back into this protocol for the same key.
    m_channels.erase(found);
    m_bound_channels.erase(key);
    delete channel;
}

int TcpProtocol::passive_open(int fd, const TcpProtocolKey& key, Demuxer* upper)
{
    if (fd >= FD_SETSIZE || m_channels.count(key) != 0) {
        socket_close(fd);
        return EC_ERROR;
    }
    TcpChannel* channel = new TcpChannel(m_reactor, fd, this, key);
    m_channels[key] = channel;
    m_bound_channels[key] = channel;
    channel->bind_upper_demuxer(upper);
    return 0;
}
