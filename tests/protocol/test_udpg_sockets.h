// Test helper: finds the socket of a multicast channel by its port, and makes
// its next receive fail the way a broken socket does.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace udpg_test {

// The first IPv4 datagram socket of the process bound to port, or -1.
inline int find_group_socket(unsigned short port)
{
    for (int fd = 3; fd < 1024; ++fd) {
        int type = 0;
        socklen_t length = sizeof(type);
        if (getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &length) != 0 || type != SOCK_DGRAM)
            continue;
        sockaddr_in addr{};
        length = sizeof(addr);
        if (getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length) == 0 &&
            addr.sin_family == AF_INET && addr.sin_port == htons(port))
            return fd;
    }
    return -1;
}

// Puts an unconnected stream socket in the place of fd: select finds it
// ready (hung up) and every receive on it fails with ENOTCONN.
inline bool break_socket(int fd)
{
    int stream = socket(AF_INET, SOCK_STREAM, 0);
    bool replaced = stream >= 0 && dup2(stream, fd) == fd;
    if (stream >= 0)
        close(stream);
    return replaced;
}

}  // namespace udpg_test
