#include "velta/source/protocol/udpg/UdpgChannel.h"

#include <sys/socket.h>

#include <cerrno>
#include <cstdio>

#include "velta/source/base/ErrorCode.h"
#include "velta/source/base/Log.h"
#include "velta/source/base/SocketFunctions.h"
#include "velta/source/base/Trace.h"
#include "velta/source/protocol/Demuxer.h"
#include "velta/source/protocol/ProtocolReport.h"
#include "velta/source/protocol/udpg/UdpgProtocol.h"
#include "velta/source/task/Reactor.h"
#include "velta/source/task/TaskScheduler.h"

namespace {

// A socket bound to the wildcard address otherwise also receives the
// datagrams of every other group joined on the host for the same port, by
// any socket, so a channel would take another group's packets for its own.
int socket_set_multicast_all_off(int fd)
{
    int off = 0;
    return setsockopt(fd, IPPROTO_IP, IP_MULTICAST_ALL, &off, sizeof(off)) == 0 ? EC_NONE
                                                                                : EC_ERROR;
}

// The kernel cuts the request to its maximum (net.core.rmem_max) without an
// error, and reports twice what it grants, counting its own bookkeeping.
void report_short_receive_buffer(int fd, int asked)
{
    int granted = 0;
    socklen_t length = sizeof(granted);
    if (getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &granted, &length) != 0 || granted / 2 >= asked)
        return;
    trace_printf("UdpgChannel: receive buffer of %d bytes asked, %d granted\n", asked, granted / 2);
    report_event(2, "EnvError",
                 "multicast receive buffer of %d bytes asked, %d granted (net.core.rmem_max)",
                 asked, granted / 2);
}

}  // namespace

UdpgChannel::UdpgChannel(Reactor* reactor, UdpgProtocol* protocol,
                         const UdpgProtocolKey& protocol_key)
    : m_reactor(reactor),
      m_protocol(protocol),
      m_key(protocol_key),
      m_group_fd(-1),
      m_close_reason(0),
      m_upper_demuxer(nullptr),
      m_read_task(this),
      m_sender(),
      m_input_scheduler(nullptr),
      m_alive(nullptr)
{
}

int UdpgChannel::open()
{
    in_addr local_if{get_subnet_if_addr(m_key.m_if_addr.s_addr)};
    if ((m_group_fd = udp_create()) < 0) {
        VELTA_PRINT_RUNTIME_ERROR("Can not create read socket for group communication");
        return m_group_fd;
    }
    // Several processes of a host may read the same group, so the port is
    // shared, and the kernel keeps datagrams while the reactor is busy.
    VELTA_TRY_SETUP(socket_set_reuseaddr(m_group_fd));
    VELTA_TRY_SETUP(socket_set_nonblocking(m_group_fd));
    VELTA_TRY_SETUP(socket_set_rcvbuf(m_group_fd, UDPG_RECEIVE_BUFFER));
    report_short_receive_buffer(m_group_fd, UDPG_RECEIVE_BUFFER);
    VELTA_TRY_SETUP(socket_set_multicast_all_off(m_group_fd));
    // Bound to the port alone: the group's datagrams reach a socket bound
    // to any address, and the membership below picks the interface.
    sockaddr_in read_addr{};
    read_addr.sin_family = AF_INET;
    read_addr.sin_port = m_key.m_group_addr.sin_port;
    VELTA_TRY_SETUP(socket_bind(m_group_fd, read_addr));
    // Any source, unless the location named one.
    VELTA_TRY_SETUP(socket_join_multicast_group(m_group_fd, m_key.m_group_addr.sin_addr, local_if,
                                                m_key.m_source_addr));
    if ((m_input_scheduler = m_reactor->open_input_scheduler(m_group_fd)) == nullptr) {
        VELTA_PRINT_RUNTIME_ERROR("open_input_scheduler(m_group_fd)");
        return EC_ERROR;
    }
    trace_printf("UdpgChannel::UdpgChannel %p\n", static_cast<void*>(this));
    return EC_NONE;
}

UdpgChannel::~UdpgChannel()
{
    trace_printf("UdpgChannel::~UdpgChannel %p\n", static_cast<void*>(this));
    if (m_alive != nullptr)
        *m_alive = false;
    delete m_input_scheduler;
    if (m_group_fd >= 0)
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
    trace_printf("UdpgChannel::unbind_upper_demuxer %p\n", static_cast<void*>(this));
    m_upper_demuxer = nullptr;
    verify_reference();
}

void UdpgChannel::verify_reference()
{
    trace_printf("UdpgChannel::verify_reference %p ,upper demuxer %p\n", static_cast<void*>(this),
                 static_cast<void*>(m_upper_demuxer));
    if (m_upper_demuxer == nullptr)
        close(0);
}

void UdpgChannel::close(int reason)
{
    m_close_reason = reason;
    m_protocol->close_channel(m_key);
}

// A spinning reactor never waits: the read task stays ready and looks at the
// socket on every turn, a non-blocking read instead of a select.
void UdpgChannel::post_read()
{
    if (m_read_task.in_queue())
        return;
    if (m_reactor->spinning() || m_input_scheduler->schedule(&m_read_task) == 0)
        m_reactor->schedule(&m_read_task);
}

// udp_recv_from answers -2 both for a failed receive and for an empty
// datagram; only a failure sets errno. An empty datagram reads as 0 bytes.
int UdpgChannel::receive()
{
    errno = 0;
    int result =
        udp_recv_from(m_group_fd, m_recv_buffer.tail(), m_recv_buffer.tail_size(), m_sender);
    return result == EC_ERROR && errno == 0 ? 0 : result;
}

void UdpgChannel::on_read()
{
    if (m_upper_demuxer == nullptr)
        return;
    bool alive = true;
    m_alive = &alive;
    for (int count = 0; count < UDPG_READ_BURST; ++count) {
        m_recv_buffer.reset(0);
        int result = receive();
        if (result == EC_WOULDBLOCK) {
            m_alive = nullptr;
            post_read();
            return;
        }
        if (result < 0) {
            m_alive = nullptr;
            close(result);
            return;
        }
        m_recv_buffer.extend(static_cast<unsigned long>(result));
        // Whatever the demuxer answers other than 0 drops the rest of this
        // datagram only.
        while (m_recv_buffer.length() != 0) {
            // A demuxer may unbind itself, which closes the channel.
            int handled = m_upper_demuxer->handle_packet(m_protocol, &m_key, &m_recv_buffer);
            if (!alive)
                return;
            if (handled != 0)
                break;
        }
        // A spinning loop comes back to the socket on its next turn anyway:
        // what the datagram made ready (the delivery of a completed
        // sequence) runs first, without waiting for a read that would only
        // find the socket empty.
        if (m_reactor->spinning() && m_reactor->has_ready())
            break;
    }
    m_alive = nullptr;
    m_read_task.cancel();
    m_reactor->schedule(&m_read_task);
}
