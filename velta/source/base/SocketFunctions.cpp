#include "velta/source/base/SocketFunctions.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "velta/source/base/ErrorCode.h"
#include "velta/source/base/Trace.h"

namespace {

// A descriptor of 0 counts as a failure, so it must not be kept open either.
int checked_descriptor(int fd)
{
    if (fd == 0)
        close(fd);
    return fd < 1 ? EC_ERROR : fd;
}

int set_int_option(int fd, int level, int name, int value)
{
    return setsockopt(fd, level, name, &value, sizeof(value)) == 0 ? EC_NONE : EC_ERROR;
}

// Nothing to do now, try again when the descriptor is ready.
bool is_retry(int error)
{
    return error == EAGAIN || error == EWOULDBLOCK || error == EINTR || error == 0;
}

}  // namespace

int socket_init_env()
{
    return 0;
}

void socket_close(int fd)
{
    close(fd);
}

int tcp_create()
{
    int fd = checked_descriptor(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    if (fd >= 0)
        set_int_option(fd, IPPROTO_TCP, TCP_NODELAY, 1);
    return fd;
}

int udp_create()
{
    return checked_descriptor(socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP));
}

int socket_set_nonblocking(int fd)
{
    int on = 1;
    int result;
    do {
        result = ioctl(fd, FIONBIO, &on);
    } while (result < 0 && errno == EINTR);
    return result < 0 ? EC_ERROR : EC_NONE;
}

int socket_set_reuseaddr(int fd)
{
    return set_int_option(fd, SOL_SOCKET, SO_REUSEADDR, 1);
}

int socket_set_rcvbuf(int fd, int size)
{
    return set_int_option(fd, SOL_SOCKET, SO_RCVBUF, size);
}

int socket_bind(int fd, const sockaddr_in& addr)
{
    if (bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) != 0)
        return -errno;
    return 0;
}

int socket_bind(int fd, unsigned int addr, unsigned short port)
{
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(addr);
    local.sin_port = htons(port);
    return socket_bind(fd, local);
}

int tcp_listen(int fd)
{
    return listen(fd, 5) == 0 ? EC_NONE : EC_ERROR;
}

int tcp_accept(int fd)
{
    return checked_descriptor(accept(fd, nullptr, nullptr));
}

int tcp_connect(int fd, const sockaddr_in& addr)
{
    if (connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) == 0)
        return EC_NONE;
    if (errno == EAGAIN || errno == EINPROGRESS)
        return EC_WOULDBLOCK;
    return EC_ERROR;
}

int tcp_recv(int fd, char* buf, unsigned long n)
{
    if (n == 0)
        return -EACCES;
    ssize_t result = recv(fd, buf, n, 0);
    if (result > 0)
        return static_cast<int>(result);
    if (result == 0)
        return EC_CLOSED;
    return is_retry(errno) ? EC_WOULDBLOCK : EC_READ;
}

int tcp_send(int fd, const char* buf, unsigned long n)
{
    ssize_t result = send(fd, buf, n, MSG_NOSIGNAL);
    if (result > 0)
        return static_cast<int>(result);
    if (n == 0)
        return -EACCES;
    return result < 0 && is_retry(errno) ? EC_WOULDBLOCK : EC_ERROR;
}

int tcp_get_local_addr(int fd, sockaddr_in& addr)
{
    socklen_t length = sizeof(addr);
    return getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length) == 0 ? EC_NONE : EC_ERROR;
}

int tcp_get_peer_addr(int fd, sockaddr_in& addr)
{
    socklen_t length = sizeof(addr);
    return getpeername(fd, reinterpret_cast<sockaddr*>(&addr), &length) == 0 ? EC_NONE : EC_ERROR;
}

int socket_set_multicast_ttl(int fd, unsigned char ttl)
{
    return setsockopt(fd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof(ttl)) == 0 ? EC_NONE : EC_ERROR;
}

int socket_set_multicast_if(int fd, const in_addr& if_addr)
{
    return setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &if_addr, sizeof(if_addr)) == 0 ? EC_NONE
                                                                                        : EC_ERROR;
}

int socket_set_multicast_if(int fd, const char* if_addr)
{
    in_addr addr;
    addr.s_addr = inet_addr(if_addr);
    return socket_set_multicast_if(fd, addr);
}

int socket_join_multicast_group(int fd, const in_addr& group, const in_addr& if_addr,
                                const in_addr& source)
{
    trace_printf("source_addr =%x\n", source.s_addr);
    int result;
    if (source.s_addr == 0) {
        ip_mreq request{};
        request.imr_multiaddr = group;
        request.imr_interface = if_addr;
        result = setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &request, sizeof(request));
    } else {
        ip_mreq_source request{};
        request.imr_multiaddr = group;
        request.imr_interface = if_addr;
        request.imr_sourceaddr = source;
        result = setsockopt(fd, IPPROTO_IP, IP_ADD_SOURCE_MEMBERSHIP, &request, sizeof(request));
    }
    return result == 0 ? EC_NONE : EC_ERROR;
}

int udp_recv_from(int fd, char* buf, unsigned long n, sockaddr_in& from)
{
    socklen_t length = sizeof(from);
    ssize_t result = recvfrom(fd, buf, n, 0, reinterpret_cast<sockaddr*>(&from), &length);
    if (result > 0)
        return static_cast<int>(result);
    if (result < 0 && is_retry(errno))
        return EC_WOULDBLOCK;
    if (result == 0 && n == 0)
        return -EACCES;
    return EC_ERROR;
}

int udp_send_to(int fd, const char* buf, unsigned long n, const sockaddr_in& to)
{
    ssize_t result = sendto(fd, buf, n, 0, reinterpret_cast<const sockaddr*>(&to), sizeof(to));
    if (result > 0)
        return static_cast<int>(result);
    if (result == 0 && n == 0)
        return 0;
    return result < 0 && is_retry(errno) ? EC_WOULDBLOCK : EC_ERROR;
}

unsigned int get_subnet_if_addr(unsigned int selector)
{
    int probe = socket(AF_INET, SOCK_DGRAM, 0);
    if (probe < 0)
        return 0;
    ifreq entries[64];
    ifconf list{};
    list.ifc_len = sizeof(entries);
    list.ifc_req = entries;
    unsigned int found = 0;
    if (ioctl(probe, SIOCGIFCONF, &list) == 0) {
        int count = list.ifc_len / static_cast<int>(sizeof(ifreq));
        for (int i = 0; i < count; ++i) {
            if (entries[i].ifr_addr.sa_family != AF_INET)
                continue;
            ifreq request = entries[i];
            if (ioctl(probe, SIOCGIFADDR, &request) != 0)
                break;
            sockaddr_in addr;
            memcpy(&addr, &request.ifr_addr, sizeof(addr));
            unsigned int candidate = addr.sin_addr.s_addr;
            if ((selector & candidate) == candidate) {
                found = candidate;
                break;
            }
        }
    }
    close(probe);
    return found;
}
