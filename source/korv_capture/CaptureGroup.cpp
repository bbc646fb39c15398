#include "source/korv_capture/CaptureGroup.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "source/korv_capture/CaptureClock.h"
#include "source/korv_capture/CaptureText.h"
#include "velta/source/base/SocketFunctions.h"
#include "velta/source/protocol/udpg/UdpgLocation.h"

CaptureGroup::CaptureGroup(const std::string& location) : m_location(location) {}

CaptureGroup::~CaptureGroup()
{
    if (m_fd >= 0)
        socket_close(m_fd);
}

int CaptureGroup::open(int rcvbuf_bytes, std::string& error)
{
    sockaddr_in group;
    in_addr if_addr;
    in_addr source;
    if (location_to_addr(group, if_addr, source, "udpg", m_location.c_str()) != 0) {
        error = capture_text::format(capture_text::BAD_GROUP_LOCATION, m_location.c_str());
        return -1;
    }
    m_group.addr = group.sin_addr.s_addr;
    m_group.port = ntohs(group.sin_port);
    int on = 1;
    int off = 0;
    in_addr local_if{get_subnet_if_addr(if_addr.s_addr)};
    if ((m_fd = udp_create()) < 0 || socket_set_reuseaddr(m_fd) != 0 ||
        socket_set_nonblocking(m_fd) != 0 ||
        setsockopt(m_fd, IPPROTO_IP, IP_MULTICAST_ALL, &off, sizeof off) != 0 ||
        setsockopt(m_fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on) != 0 ||
        socket_bind(m_fd, INADDR_ANY, m_group.port) != 0 ||
        socket_join_multicast_group(m_fd, group.sin_addr, local_if, source) != 0) {
        error =
            capture_text::format(capture_text::CANNOT_JOIN, m_location.c_str(), strerror(errno));
        return -1;
    }
    // Past the system's limit only a privileged process gets what it asks;
    // an ordinary one gets the limit, which is what the summary reports.
    if (setsockopt(m_fd, SOL_SOCKET, SO_RCVBUFFORCE, &rcvbuf_bytes, sizeof rcvbuf_bytes) != 0)
        socket_set_rcvbuf(m_fd, rcvbuf_bytes);
    // The kernel reports twice the size it took from the request (its own
    // bookkeeping counts against the buffer); halved, it compares with what
    // was asked.
    int reported = 0;
    socklen_t size = sizeof reported;
    getsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &reported, &size);
    m_rcvbuf = reported / 2;
    m_drops_known = setsockopt(m_fd, SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof on) == 0;
    return 0;
}

int CaptureGroup::receive(std::vector<uint8_t>& buffer, ReceivedDatagram& out)
{
    sockaddr_in from{};
    iovec io{buffer.data(), buffer.size()};
    alignas(cmsghdr) char control[256];
    msghdr message{};
    message.msg_name = &from;
    message.msg_namelen = sizeof from;
    message.msg_iov = &io;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    ssize_t length = recvmsg(m_fd, &message, 0);
    if (length < 0)
        return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? 0 : -1;
    out.source.addr = from.sin_addr.s_addr;
    out.source.port = ntohs(from.sin_port);
    out.payload = buffer.data();
    out.length = size_t(length);
    out.time_ns = 0;
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
        if (c->cmsg_level != SOL_SOCKET)
            continue;
        if (c->cmsg_type == SCM_TIMESTAMPNS) {
            timespec stamp;
            memcpy(&stamp, CMSG_DATA(c), sizeof stamp);
            out.time_ns = int64_t(stamp.tv_sec) * 1000000000 + stamp.tv_nsec;
        } else if (c->cmsg_type == SO_RXQ_OVFL) {
            uint32_t drops;
            memcpy(&drops, CMSG_DATA(c), sizeof drops);
            m_drops = drops;
        }
    }
    if (out.time_ns == 0)
        out.time_ns = capture_realtime_ns();
    return 1;
}
