// Internal to the capture: the raw IPv4 packets (no link header) that a
// capture file of link type IPv4 holds, around a UDP datagram or a TCP
// segment. The IPv4 header checksum is always right; UDP goes without a
// checksum (IPv4 allows it), TCP carries its real one, so that tools which
// check it reassemble the stream without complaint.
#pragma once

#include <cstddef>
#include <cstdint>

// One end of a datagram or connection: address in network order, port in
// host order.
struct Ipv4Endpoint {
    uint32_t addr = 0;
    uint16_t port = 0;
};

constexpr size_t IPV4_HEADER_SIZE = 20;
constexpr size_t UDP_HEADER_SIZE = 8;
constexpr size_t TCP_HEADER_SIZE = 20;
// The largest payload one IPv4 packet carries behind a UDP header.
constexpr size_t IPV4_UDP_MAX_PAYLOAD = 65535 - IPV4_HEADER_SIZE - UDP_HEADER_SIZE;

constexpr uint8_t TCP_FLAG_FIN = 0x01;
constexpr uint8_t TCP_FLAG_SYN = 0x02;
constexpr uint8_t TCP_FLAG_PSH = 0x08;
constexpr uint8_t TCP_FLAG_ACK = 0x10;

// Writes the IPv4 packet of the datagram to out (room for the headers and
// length bytes) and returns its size; 0 when the payload is too large.
size_t build_udp_packet(const Ipv4Endpoint& from, const Ipv4Endpoint& to, uint16_t ip_id,
                        const uint8_t* payload, size_t length, uint8_t* out);

// The same for one TCP segment with the given sequence and acknowledgement
// numbers and flags; 0 when the payload does not fit one IPv4 packet.
size_t build_tcp_packet(const Ipv4Endpoint& from, const Ipv4Endpoint& to, uint16_t ip_id,
                        uint32_t seq, uint32_t ack, uint8_t flags, const uint8_t* payload,
                        size_t length, uint8_t* out);
