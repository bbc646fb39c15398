#include "velta/source/protocol/udpg/UdpgChannel.h"

#include <cstdio>

#include "velta/source/base/ErrorCode.h"
#include "velta/source/base/SocketFunctions.h"
#include "velta/source/protocol/Demuxer.h"
#include "velta/source/protocol/ProtocolReport.h"
#include "velta/source/protocol/udpg/UdpgProtocol.h"
#include "velta/source/task/Reactor.h"
#include "velta/source/task/TaskScheduler.h"

UdpgChannel::UdpgChannel(Reactor* reactor, UdpgProtocol* protocol,
                         const UdpgProtocolKey& protocol_key)
    : m_reactor(reactor), m_protocol(protocol), m_key(protocol_key), m_group_fd(-1),
      m_close_reason(0), m_upper_demuxer(nullptr), m_read_task(this), m_input_scheduler(nullptr),
      m_alive(nullptr)
{
    in_addr local_if{get_subnet_if_addr(protocol_key.m_if_addr.s_addr)};
    if ((m_group_fd = udp_create()) < 0)
        VELTA_RUNTIME_ERROR("Can not create read socket for group communication");
    // Several processes of a host may read the same group, so the port is
    // shared, and the kernel keeps datagrams while the reactor is busy.
    VELTA_CHECK_SETUP(socket_set_reuseaddr(m_group_fd));
    VELTA_CHECK_SETUP(socket_set_nonblocking(m_group_fd));
    VELTA_CHECK_SETUP(socket_set_rcvbuf(m_group_fd, 10 * 1024 * 1024));
    // Bound to the port alone: the group's datagrams reach a socket bound
    // to any address, and the membership below picks the interface.
    sockaddr_in read_addr{};
    read_addr.sin_family = AF_INET;
    read_addr.sin_port = protocol_key.m_group_addr.sin_port;
    VELTA_CHECK_SETUP(socket_bind(m_group_fd, read_addr));
    // Any source, unless the location named one.
    VELTA_CHECK_SETUP(socket_join_multicast_group(m_group_fd, protocol_key.m_group_addr.sin_addr,
                                                  local_if, protocol_key.m_source_addr));
    if ((m_input_scheduler = reactor->open_input_scheduler(m_group_fd)) == nullptr)
        VELTA_RUNTIME_ERROR("open_input_scheduler(m_group_fd)");
    printf("UdpgChannel::UdpgChannel %p\n", static_cast<void*>(this));
}

UdpgChannel::~UdpgChannel()
{
    printf("UdpgChannel::~UdpgChannel %p\n", static_cast<void*>(this));
    if (m_alive != nullptr)
        *m_alive = false;
    delete m_input_scheduler;
    socket_close(m_group_fd);
    if (m_upper_demuxer != nullptr)
        m_upper_demuxer->handle_error(m_protocol, &m_key, m_close_reason);
}

void UdpgChannel::bind_upper_demuxer(Demuxer* upper)
{
    m_upper_demuxer = upper;
    post_read();
}

void UdpgChannel::unbind_upper_demuxer()
{
    printf("UdpgChannel::unbind_upper_demuxer %p\n", static_cast<void*>(this));
    m_upper_demuxer = nullptr;
    verify_reference();
}

void UdpgChannel::verify_reference()
{
    printf("UdpgChannel::verify_reference %p ,upper demuxer %p\n", static_cast<void*>(this),
           static_cast<void*>(m_upper_demuxer));
    if (m_upper_demuxer == nullptr)
        close(0);
}

void UdpgChannel::close(int reason)
{
    m_close_reason = reason;
    m_protocol->close_channel(m_key);
}

void UdpgChannel::post_read()
{
    if (m_read_task.in_queue())
        return;
    if (m_input_scheduler->schedule(&m_read_task) == 0)
        m_reactor->schedule(&m_read_task);
}

void UdpgChannel::on_read()
{
    if (m_upper_demuxer == nullptr)
        return;
    bool alive = true;
    m_alive = &alive;
    for (int count = 0; count < UDPG_READ_BURST; ++count) {
        m_recv_buffer.reset(0);
        sockaddr_in from;
        int result =
            udp_recv_from(m_group_fd, m_recv_buffer.tail(), m_recv_buffer.tail_size(), from);
        if (result > 0) {
            m_recv_buffer.extend(static_cast<unsigned long>(result));
            result = 0;
            while (m_recv_buffer.length() != 0) {
                // A demuxer may unbind itself, which closes the channel.
                result = m_upper_demuxer->handle_packet(m_protocol, &m_key, &m_recv_buffer);
                if (!alive)
                    return;
                if (result != 0)
                    break;
            }
        }
        if (result == EC_WOULDBLOCK) {
            m_alive = nullptr;
            post_read();
            return;
        }
        if (result != 0) {
            m_alive = nullptr;
            close(result);
            return;
        }
    }
    m_alive = nullptr;
    m_read_task.cancel();
    m_reactor->schedule(&m_read_task);
}
