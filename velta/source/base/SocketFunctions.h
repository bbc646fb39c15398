// Internal: the IPv4 socket routines of the transports.
//
// Each routine sorts its system call's outcome into the framework's result
// codes in one place, so that the channels only tell three cases apart:
// a count or 0 (go on), -1 (EC_WOULDBLOCK: nothing now, wait for readiness)
// and any other negative code (give up on the descriptor):
//   tcp_recv        > 0 bytes | -13 n was 0 | -19 peer closed | -1 | -7
//   tcp_send        > 0 bytes | -13 n was 0 | -1 | -2
//   udp_recv_from   > 0 bytes | -13 n was 0 | -1 | -2 (also an empty datagram)
//   udp_send_to     > 0 bytes | 0 n was 0   | -1 | -2
// Set-up routines give 0 or -2 (socket_bind: -errno). Descriptors 0 and
// below count as failures, as if no descriptor had been made.
#pragma once

#include <netinet/in.h>

int socket_init_env();
void socket_close(int fd);

int tcp_create();
int udp_create();

int socket_set_nonblocking(int fd);
int socket_set_reuseaddr(int fd);
int socket_set_rcvbuf(int fd, int size);
int socket_bind(int fd, const sockaddr_in& addr);
// Address and port in host order.
int socket_bind(int fd, unsigned int addr, unsigned short port);

// Listens with a backlog of 5.
int tcp_listen(int fd);
// The accepted descriptor, or -2.
int tcp_accept(int fd);
// 0 when connected at once, -1 while the connect is in progress, else -2.
int tcp_connect(int fd, const sockaddr_in& addr);
int tcp_recv(int fd, char* buf, unsigned long n);
// Never raises SIGPIPE: a vanished peer is an ordinary -2.
int tcp_send(int fd, const char* buf, unsigned long n);
int tcp_get_local_addr(int fd, sockaddr_in& addr);
int tcp_get_peer_addr(int fd, sockaddr_in& addr);

int socket_set_multicast_ttl(int fd, unsigned char ttl);
int socket_set_multicast_if(int fd, const in_addr& if_addr);
int socket_set_multicast_if(int fd, const char* if_addr);
// Any-source join when source is 0, else source-specific. Prints
// "source_addr =%x\n".
int socket_join_multicast_group(int fd, const in_addr& group, const in_addr& if_addr,
                                const in_addr& source);
int udp_recv_from(int fd, char* buf, unsigned long n, sockaddr_in& from);
int udp_send_to(int fd, const char* buf, unsigned long n, const sockaddr_in& to);

// The first IPv4 interface address A of the host with (selector & A) == A,
// i.e. every bit of A is also set in the selector, so that a subnet's
// broadcast address picks the interface in that subnet. Both in network
// order; 0 (any interface) when none matches or the list cannot be read.
unsigned int get_subnet_if_addr(unsigned int selector);
